#include <gtest/gtest.h>

#include "numeric/rounding.h"

namespace kov {
namespace {

TEST(Rounding, HalvesGoAwayFromZero) {
  EXPECT_EQ(round3(0.0005), 0.001);
  EXPECT_EQ(round3(-0.0005), -0.001);
  EXPECT_EQ(round3(2.0 / 4000), 0.001);
  EXPECT_EQ(round3(1.23449), 1.234);
  EXPECT_EQ(round3f(0.1234f), 0.123f);
  EXPECT_EQ(round3f(-0.0125f), -0.013f);
}

}  // namespace
}  // namespace kov
