#include <gtest/gtest.h>

#include "matte/mask_timing.h"

namespace kov {
namespace {

TEST(MaskTiming, SixHundredWhereItIsExactElseTheCoarsestExactMultiple) {
  for (int rate : {1, 24, 25, 30, 50, 60, 120, 600}) EXPECT_EQ(maskTimeScale(rate, 1), 600) << rate;
  EXPECT_EQ(maskTimeScale(25, 2), 600);            // 12.5 fps: 48 ticks a frame
  EXPECT_EQ(maskTimeScale(1000, 1), 3000);
  EXPECT_EQ(maskTimeScale(30000, 1001), 30000);
  EXPECT_EQ(maskTimeScale(24000, 1001), 24000);
  EXPECT_EQ(maskTimeScale(960, 1), 4800);
  EXPECT_EQ(maskTimeScale(999983, 1), 1000000);    // a prime rate: the finest scale, not exact
  EXPECT_EQ(maskTimeScale(0, 0), 600);             // unknown
  EXPECT_EQ(maskTimeScale(30, 0), 600);
}

TEST(MaskTiming, StampsAreRoundedAndAlwaysIncrease) {
  MaskStamps stamps(600);
  EXPECT_EQ(stamps.stampOf(0), 0);
  EXPECT_EQ(stamps.stampOf(0.04), 24);
  EXPECT_EQ(stamps.stampOf(0.0405), 25);  // 24.3 would round back onto the last stamp
  EXPECT_EQ(stamps.stampOf(0.0406), 26);
  EXPECT_EQ(stamps.stampOf(1.0), 600);
}

}  // namespace
}  // namespace kov
