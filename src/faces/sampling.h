// The walk over a decoded range: every frame from the range start goes through the cut detector,
// and the frames that pass the sampling gate are handed on for analysis.
#pragma once

#include <functional>
#include <vector>

#include "platform/media/video_reader.h"

namespace kov {

// Due times are met when they are at most this much after the frame time.
constexpr double kDueTolerance = 0.0005;

// Walks `reader` to its end. `nextPrint` is the print schedule that a cut pulls back to its time.
// Returns the cut times (three-decimal rounded); the reader's failure, if any, is left to the caller.
std::vector<double> sampleRange(VideoReader& reader, double start, double sampleFps, double& nextPrint,
                                const std::function<void(const DecodedFrame&, double t)>& analyse);

}  // namespace kov
