// What happens to one sampled frame: faces with their measures and scheduled prints, the salient
// subject, and scheduled text lines.
#pragma once

#include <future>
#include <memory>
#include <vector>

#include "faces/report.h"
#include "faces/sampling.h"
#include "platform/media/video_reader.h"
#include "platform/vision/vision.h"

namespace kov {

struct AnalysisSettings {
  double textEvery = 0.5;   // 0 switches text off
  double printEvery = 1;    // 0 switches prints off
  int printSize = 64;
};

// A sampled frame whose faces and text lines are being measured on other threads. The decoded
// frame itself is no longer needed.
class PendingFrame {
 public:
  PendingFrame(std::unique_ptr<FrameRequests> requests, std::future<FrameRecord> record,
               std::future<std::vector<TextObservation>> text);
  PendingFrame(PendingFrame&&) = default;
  PendingFrame& operator=(PendingFrame&&) = default;
  ~PendingFrame();

  // Waits for the measures and hands over the finished record.
  FrameRecord finish();

 private:
  std::unique_ptr<FrameRequests> requests_;  // the measuring runs on these
  std::future<FrameRecord> record_;
  std::future<std::vector<TextObservation>> text_;
};

// True when the frame at time `t` is due for text recognition.
bool textIsDue(const AnalysisSettings& settings, const AnalysisSchedule& schedule, double t);

// Starts measuring the sampled frame at time `t` (seconds from the range start, unrounded). The
// schedules are settled before this returns, so frames may be started one after another while
// earlier ones are still being measured.
PendingFrame startFrameAnalysis(const DecodedFrame& frame, double t, VisionService& vision,
                                const AnalysisSettings& settings, AnalysisSchedule& schedule);

// Builds the whole record of the sampled frame at time `t`.
FrameRecord analyseFrame(const DecodedFrame& frame, double t, VisionService& vision,
                         const AnalysisSettings& settings, AnalysisSchedule& schedule);

}  // namespace kov
