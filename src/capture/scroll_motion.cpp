#include "capture/scroll_motion.h"

#include <algorithm>
#include <cmath>

namespace kov {
namespace {

constexpr double kHoldFraction = 0.12;
constexpr double kEaseFraction = 0.88;

double easeInOutQuad(double u) {
  if (u < 0.5) return 2 * u * u;
  double rest = 2 - 2 * u;
  return 1 - rest * rest / 2;
}

}  // namespace

int scrollFrameCount(double fps, double seconds) {
  double count = std::trunc(fps * seconds);
  return count < 2 ? 2 : static_cast<int>(count);
}

double scrollTravel(double pageHeight, int viewportHeight, double distance) {
  double height = viewportHeight;
  return std::max(0.0, std::min(pageHeight - height, distance * height));
}

double easedProgress(int index, int frameCount) {
  double t = static_cast<double>(index) / (frameCount - 1);
  double p = t - kHoldFraction;
  if (p < 0) return 0;
  return easeInOutQuad(p / kEaseFraction);
}

std::int64_t scrollPosition(int index, int frameCount, double travel) {
  return static_cast<std::int64_t>(std::trunc(easedProgress(index, frameCount) * travel));
}

std::string scrollScript(std::int64_t y) { return "window.scrollTo(0, " + std::to_string(y) + ")"; }

}  // namespace kov
