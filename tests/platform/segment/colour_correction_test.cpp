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

}  // namespace
}  // namespace kov
