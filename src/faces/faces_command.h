#pragma once

#include <optional>

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

// Runs `faces` on args ("faces", video path, options…); returns the exit status on success.
int runFaces(const Args& args);

}  // namespace kov
