// The edge of a person mask corrected by the picture's colours, on a real photo's people set on a
// plain background, with masks whose edge is a few pixels off.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "platform/image/picture.h"
#include "platform/segment/colour_correction.h"
#include "platform/segment/person_segmenter.h"
#include "support/fixtures.h"

namespace kov {
namespace {

struct Scene {
  BgraImage picture;
  cv::Mat truth;  // 255 on the people
};

// The people of the second photo, cut out along the segmenter's own mask, on plain green.
Scene peopleOnGreen() {
  std::string error;
  auto segmenter = createPersonSegmenter(error);
  EXPECT_TRUE(segmenter) << error;
  std::optional<BgraImage> photo = readPicture(test::samplePhoto(2));
  EXPECT_TRUE(photo);
  if (!segmenter || !photo) return {};
  GreyImage small = *segmenter->segment(photo->view(), SegmentQuality::Accurate);
  cv::Mat truth;
  cv::resize(cv::Mat(small.height, small.width, CV_8UC1, small.pixels.data()), truth, cv::Size(photo->width, photo->height));
  truth = truth >= 128;
  cv::erode(truth, truth, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(13, 13)));
  cv::Mat pixels(photo->height, photo->width, CV_8UC4, photo->pixels.data());
  pixels.setTo(cv::Scalar(60, 170, 60, 255), truth == 0);
  return {std::move(*photo), truth};
}

GreyImage maskOf(const cv::Mat& values) {
  GreyImage mask{values.cols, values.rows, std::vector<std::uint8_t>(values.total())};
  values.copyTo(cv::Mat(values.rows, values.cols, CV_8UC1, mask.pixels.data()));
  return mask;
}

int countWhere(const GreyImage& mask, const cv::Mat& truth, bool person, bool marked) {
  const cv::Mat values(mask.height, mask.width, CV_8UC1, const_cast<std::uint8_t*>(mask.pixels.data()));
  return cv::countNonZero((person ? truth : ~truth) & (marked ? values >= 128 : values < 128));
}

TEST(ColourCorrection, PullsTheEdgeOntoThePeopleOnAPlainBackground) {
  Scene scene = peopleOnGreen();
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
  Scene scene = peopleOnGreen();
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
