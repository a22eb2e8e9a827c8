#include "capture/capture_settings.h"

#include <cmath>

namespace kov {
namespace {

// Default when absent; upper bound first, then the lower bound, which also catches NaN; then
// toward zero. The bounds keep the value finite and well inside int.
int clampedSize(const Args& args, const char* name, double fallback, double lower, double upper) {
  double value = clampNanToLower(argument(name, args).value_or(fallback), lower, upper);
  return static_cast<int>(std::trunc(value));
}

double clampedDouble(const Args& args, const char* name, double fallback, double lower, double upper) {
  return clampNanToLower(argument(name, args).value_or(fallback), lower, upper);
}

// `--distance`: above 6 becomes 6, then negative or NaN becomes 0.
double clampedDistance(const Args& args) {
  double value = argument("--distance", args).value_or(1.5);
  if (value > 6) value = 6;
  if (std::isnan(value) || value < 0) value = 0;
  return value;
}

}  // namespace

SnapSettings readSnapSettings(const Args& args) {
  SnapSettings settings;
  settings.width = clampedSize(args, "--width", 1280, 320, 2560);
  settings.height = clampedSize(args, "--height", 1500, 600, 4000);
  return settings;
}

ScrollSettings readScrollSettings(const Args& args) {
  ScrollSettings settings;
  settings.width = clampedSize(args, "--width", 1080, 320, 2560);
  settings.height = clampedSize(args, "--height", 960, 320, 2560);
  settings.seconds = clampedDouble(args, "--seconds", 4, 1, 12);
  settings.fps = clampedDouble(args, "--fps", 15, 5, 30);
  settings.distance = clampedDistance(args);
  return settings;
}

}  // namespace kov
