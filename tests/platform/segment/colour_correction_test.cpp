// The edge of a person mask corrected by the picture's colours, on a real photo's people set on a
// plain background, with masks whose edge is a few pixels off.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "platform/image/picture.h"
#include "platform/segment/colour_correction.h"
#include "support/people_scene.h"

namespace kov {
namespace {

using test::countWhere;
using test::maskOf;

test::PeopleScene peopleOnGreen() { return test::peopleOnPlainBackground(cv::Scalar(60, 170, 60, 255)); }

TEST(ColourCorrection, PullsTheEdgeOntoThePeopleOnAPlainBackground) {
  test::PeopleScene scene = peopleOnGreen();
  ASSERT_FALSE(scene.truth.empty());
  const cv::Mat round = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(17, 17));

  // Too wide: a rim of green is marked.
  cv::Mat wide;
  cv::dilate(scene.truth, wide, round);
  GreyImage tooWide = maskOf(wide);
  const int rimBefore = countWhere(tooWide, scene.truth, false, true);
  correctEdgeByColour(tooWide, scene.picture.view());
  EXPECT_LT(countWhere(tooWide, scene.truth, false, true), rimBefore / 5);
  EXPECT_LT(countWhere(tooWide, scene.truth, true, false), cv::countNonZero(scene.truth) / 100);

  // Too narrow: part of the people is left out, and some of it comes back.
  cv::Mat narrow;
  cv::erode(scene.truth, narrow, round);
  GreyImage tooNarrow = maskOf(narrow);
  const int missedBefore = countWhere(tooNarrow, scene.truth, true, false);
  correctEdgeByColour(tooNarrow, scene.picture.view());
  EXPECT_LT(countWhere(tooNarrow, scene.truth, true, false), missedBefore * 3 / 4);
  EXPECT_EQ(countWhere(tooNarrow, scene.truth, false, true), 0);
}

TEST(ColourCorrection, LeavesMasksWithoutAnEdgeAlone) {
  test::PeopleScene scene = peopleOnGreen();
  ASSERT_FALSE(scene.truth.empty());
  GreyImage empty = maskOf(cv::Mat::zeros(scene.truth.size(), CV_8UC1));
  correctEdgeByColour(empty, scene.picture.view());
  EXPECT_EQ(cv::countNonZero(cv::Mat(empty.height, empty.width, CV_8UC1, empty.pixels.data())), 0);
  GreyImage wrongSize = maskOf(cv::Mat(10, 10, CV_8UC1, cv::Scalar(200)));
  correctEdgeByColour(wrongSize, scene.picture.view());
  EXPECT_EQ(wrongSize.pixels, std::vector<std::uint8_t>(100, 200));
}

// A red picture with a blue square marked background, and a ring of red around it only half marked:
// the red beyond the band says person, but the background beyond the band is only 2 x 2 reduced
// pixels, too little to judge the band's colours by, so the ring is left as it is.
TEST(ColourCorrection, NeedsAHundredPixelsOfEitherSideBeyondTheBand) {
  BgraImage picture = blankBgraImage(256, 256);
  cv::Mat colours(256, 256, CV_8UC4, picture.pixels.data());
  colours.setTo(cv::Scalar(20, 20, 220, 255));
  const cv::Rect square(96, 96, 64, 64);  // 16 x 16 reduced pixels; the band reaches 7 into it
  colours(square).setTo(cv::Scalar(220, 20, 20, 255));
  cv::Mat marks(256, 256, CV_8UC1, cv::Scalar(255));
  const cv::Rect ring(square.x - 8, square.y - 8, square.width + 16, square.height + 16);
  marks(ring).setTo(100);
  marks(square).setTo(0);
  GreyImage mask = maskOf(marks);
  correctEdgeByColour(mask, picture.view());
  EXPECT_EQ(mask.pixels, maskOf(marks).pixels);

  // With a square big enough to give the background's colours, the ring goes to the person.
  const cv::Rect bigSquare(64, 64, 128, 128);
  colours(bigSquare).setTo(cv::Scalar(220, 20, 20, 255));
  marks.setTo(255);
  marks(cv::Rect(bigSquare.x - 8, bigSquare.y - 8, bigSquare.width + 16, bigSquare.height + 16)).setTo(100);
  marks(bigSquare).setTo(0);
  GreyImage corrected = maskOf(marks);
  correctEdgeByColour(corrected, picture.view());
  EXPECT_EQ(corrected.pixels[static_cast<std::size_t>(60) * 256 + 128], 255);
}

}  // namespace
}  // namespace kov
