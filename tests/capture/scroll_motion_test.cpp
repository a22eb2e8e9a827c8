#include "capture/scroll_motion.h"

#include <gtest/gtest.h>

#include <cmath>

#include "capture/page_snapper.h"

namespace kov {
namespace {

TEST(ScrollMotion, DefaultClipOnAFiveThousandPixelPageFollowsTheWorkedTable) {
  int frames = scrollFrameCount(15, 4);
  double travel = scrollTravel(5000, 960, 1.5);
  ASSERT_EQ(frames, 60);
  ASSERT_EQ(travel, 1440);

  for (int i = 0; i <= 7; ++i) {
    EXPECT_EQ(easedProgress(i, frames), 0) << "frame " << i;
    EXPECT_EQ(scrollPosition(i, frames, travel), 0) << "frame " << i;
  }
  struct Row {
    int index;
    double eased;
    std::int64_t y;
  };
  for (Row row : {Row{8, 0.000628, 0}, Row{9, 0.002735, 3}, Row{20, 0.123847, 178}, Row{33, 0.498460, 717},
                  Row{34, 0.536296, 772}, Row{50, 0.939904, 1353}, Row{58, 0.999258, 1438}}) {
    EXPECT_NEAR(easedProgress(row.index, frames), row.eased, 5e-7) << "frame " << row.index;
    EXPECT_EQ(scrollPosition(row.index, frames, travel), row.y) << "frame " << row.index;
  }
  EXPECT_EQ(easedProgress(59, frames), 1.0);  // exactly, so the last frame lands on the travel
  EXPECT_EQ(scrollPosition(59, frames, travel), 1440);
}

TEST(ScrollMotion, FiveFramesAndTheEaseOverEveryClipLength) {
  const double expected[] = {0, 0.043647, 0.372934, 0.838585, 1};
  for (int i = 0; i < 5; ++i) EXPECT_NEAR(easedProgress(i, 5), expected[i], 5e-7) << "frame " << i;

  // Every clip the options allow starts at the top, never moves back up, and ends on the travel.
  for (int frames : {2, 3, 5, 8, 59, 60, 61, 359, 360}) {
    for (double travel : {0.0, 1.0, 1040.0, 1440.0, 15360.0}) {
      std::int64_t previous = 0;
      for (int i = 0; i < frames; ++i) {
        std::int64_t y = scrollPosition(i, frames, travel);
        ASSERT_GE(y, previous) << frames << " frames, travel " << travel << ", frame " << i;
        ASSERT_LE(y, static_cast<std::int64_t>(travel));
        previous = y;
      }
      EXPECT_EQ(scrollPosition(0, frames, travel), 0);
      EXPECT_EQ(previous, static_cast<std::int64_t>(travel)) << frames << " frames, travel " << travel;
    }
  }
}

TEST(ScrollMotion, FrameCountTravelAndScript) {
  EXPECT_EQ(scrollFrameCount(5, 1), 5);
  EXPECT_EQ(scrollFrameCount(7.5, 1.1), 8);  // 8.25 toward zero
  EXPECT_EQ(scrollFrameCount(30, 12), 360);
  EXPECT_EQ(scrollFrameCount(1, 1), 2);  // never a single frame: the progress divides by count - 1

  EXPECT_EQ(scrollTravel(2000, 960, 1.5), 1040);  // the bottom of the page comes first
  EXPECT_EQ(scrollTravel(2000, 960, 6), 1040);
  EXPECT_EQ(scrollTravel(960, 960, 1.5), 0);
  EXPECT_EQ(scrollTravel(500, 960, 1.5), 0);  // a short page never scrolls upwards
  EXPECT_EQ(scrollTravel(5000, 960, 0), 0);
  EXPECT_EQ(scrollTravel(5000, 320, 6), 1920);

  EXPECT_EQ(scrollScript(717), "window.scrollTo(0, 717)");
  EXPECT_EQ(scrollScript(0), "window.scrollTo(0, 0)");
  EXPECT_EQ(scrollScript(15360), "window.scrollTo(0, 15360)");

  EXPECT_EQ(frameFileName(0), "frame-0000.jpg");
  EXPECT_EQ(frameFileName(359), "frame-0359.jpg");
}

}  // namespace
}  // namespace kov
