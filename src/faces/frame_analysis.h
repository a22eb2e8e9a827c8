// What happens to one sampled frame: faces with their measures and scheduled prints, the salient
// subject, and scheduled text lines.
#pragma once

#include "faces/report.h"
#include "platform/media/video_reader.h"
#include "platform/vision/vision.h"

namespace kov {

struct AnalysisSettings {
  double textEvery = 0.5;   // 0 switches text off
  double printEvery = 1;    // 0 switches prints off
  int printSize = 64;
};

// Due times shared with the frame loop; a scene cut pulls `nextPrint` back to its time.
struct AnalysisSchedule {
  double nextText = 0;
  double nextPrint = 0;
};

// Builds the record of the sampled frame at time `t` (seconds from the range start, unrounded).
FrameRecord analyseFrame(const DecodedFrame& frame, double t, VisionService& vision,
                         const AnalysisSettings& settings, AnalysisSchedule& schedule);

}  // namespace kov
