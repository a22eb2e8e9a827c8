#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "cli/options.h"
#include "faces/frame_analysis.h"

namespace kov {

// The `faces` options after their defaults and clamps.
struct FacesOptions {
  double start = 0;
  std::optional<double> end;
  std::optional<double> width;
  double sampleFps = 6;
  AnalysisSettings analysis;
};

FacesOptions readFacesOptions(const Args& args);

struct AnalysedRange {
  std::vector<double> cuts;
  std::vector<FrameRecord> frames;
};

// Walks `reader` from `start` and measures the sampled frames on other threads while the walk goes
// on, with at most `framesInFlight` frames still being measured when the walk moves on (0: each
// frame is finished first). The records come in frame order and are the same whatever
// `framesInFlight` is. The reader's failure, if any, is left to the caller.
AnalysedRange analyseRange(VideoReader& reader, double start, double sampleFps, VisionService& vision,
                           const AnalysisSettings& settings, std::size_t framesInFlight);

// Runs `faces` on args ("faces", video path, options…); returns the exit status on success.
int runFaces(const Args& args);

}  // namespace kov
