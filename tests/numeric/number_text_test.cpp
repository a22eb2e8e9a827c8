#include <gtest/gtest.h>

#include "numeric/number_text.h"
#include "numeric/schedule.h"

namespace kov {
namespace {

TEST(NumberText, DigitsDecideBetweenShortAndExactText) {
  EXPECT_EQ(numberText(60, 6), "60");
  EXPECT_EQ(numberText(1.0 / 30, 6), "0.0333333");
  EXPECT_EQ(numberText(1.0 / 30, 17), "0.033333333333333333");
  EXPECT_EQ(numberText(0.1, 17), "0.10000000000000001");
  EXPECT_EQ(secondsText(4.2), "4.200 s");
  EXPECT_EQ(secondsText(0.00049), "0.000 s");
}

TEST(Schedule, AFrameHalfAMillisecondEarlyStillReachesTheDueTime) {
  EXPECT_TRUE(isDueAt(1.0, 1.0));
  EXPECT_TRUE(isDueAt(1.0, 2.0));
  EXPECT_TRUE(isDueAt(1.0, 0.9996));
  EXPECT_FALSE(isDueAt(1.0, 0.999));
}

}  // namespace
}  // namespace kov
