#include "matte/mask_timing.h"

#include <cmath>
#include <numeric>

namespace kov {
namespace {

constexpr std::int64_t kDefaultScale = 600;
constexpr std::int64_t kFinestScale = 1000000;

}  // namespace

int maskTimeScale(int rateNum, int rateDen) {
  if (rateNum <= 0 || rateDen <= 0) return kDefaultScale;
  // One frame lasts rateDen / rateNum s: whole ticks of 1/scale s when scale is a multiple of
  // rateNum / gcd(rateNum, rateDen).
  const std::int64_t needed = rateNum / std::gcd(rateNum, rateDen);
  const std::int64_t scale = std::lcm(kDefaultScale, needed);
  return static_cast<int>(std::min(scale, kFinestScale));
}

std::int64_t MaskStamps::stampOf(double seconds) {
  std::int64_t stamp = std::llround(seconds * scale_);
  if (last_ && stamp <= *last_) stamp = *last_ + 1;
  last_ = stamp;
  return stamp;
}

}  // namespace kov
