// The walk over a decoded range: every frame from the range start goes through the cut detector,
// and the frames that pass the sampling gate are handed on for analysis.
#pragma once

#include <functional>
#include <vector>

#include "platform/media/video_reader.h"

namespace kov {

// When the next sampled frame is due for text and for face prints. The walk owns it: a scene cut
// pulls `nextPrint` back to the cut; the analysis of a sampled frame moves both on.
struct AnalysisSchedule {
  double nextText = 0;
  double nextPrint = 0;
};

using AnalyseSampledFrame = std::function<void(const DecodedFrame&, double t, AnalysisSchedule&)>;

// Walks `reader` to its end, handing each sampled frame to `analyse` with its time from `start`.
// A frame is sampled once `1 / sampleFps` seconds have passed since the last sampled one, and at
// every scene cut. Returns the cut times (three-decimal rounded); the reader's failure, if any, is
// left to the caller.
std::vector<double> sampleRange(VideoReader& reader, double start, double sampleFps,
                                const AnalyseSampledFrame& analyse);

}  // namespace kov
