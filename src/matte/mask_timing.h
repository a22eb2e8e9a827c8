// Time stamps of the mask movie's frames.
#pragma once

#include <cstdint>
#include <optional>

namespace kov {

// Units per second of the mask movie's time stamps for a source of nominal rate num/den: 600 when
// every frame spacing is a whole number of 1/600 s ticks (24, 25, 30, 50, 60 fps and more), else
// the coarsest multiple of 600 on which the spacing is whole (3000 for 1000 fps, 30000 for
// 30000/1001), at most 1,000,000. An unknown rate gets 600.
int maskTimeScale(int rateNum, int rateDen);

// Turns frame times into time stamps in 1/`scale` s units that always increase, so that frames
// closer than one unit (an irregular source) still get stamps of their own.
class MaskStamps {
 public:
  explicit MaskStamps(int scale) : scale_(scale) {}

  std::int64_t stampOf(double seconds);
  int scale() const { return scale_; }

 private:
  int scale_;
  std::optional<std::int64_t> last_;
};

}  // namespace kov
