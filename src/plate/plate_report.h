// What a plate run yields: its report, its own errors, and the frame arithmetic both rely on.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kov {

struct PlateReport {
  std::int64_t frames = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
  double fps = 0;
  std::string out;
};

// The compact JSON document: frames, width, height, fps, out.
std::string encodeReport(const PlateReport& report);

// A failure of the plate run itself (as opposed to one the browser reports); its text is the
// description that follows "plate failed: ".
class PlateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  std::string description() const { return what(); }
};

// seconds x fps rounded half away from zero, at least 1.
std::int64_t plateFrameCount(double seconds, std::int64_t fps);

// The page time of frame `index`: index / fps seconds.
double plateFrameTime(std::int64_t index, std::int64_t fps);

}  // namespace kov
