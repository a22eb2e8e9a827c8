// The edge band of a picture's mask corrected by the picture's colours, on a real photo's people set
// on a plain wall, with masks whose edge is further off than the model's usual few pixels.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "matte/matte_masks.h"
#include "platform/image/picture.h"
#include "support/fixtures.h"

namespace kov {
namespace {

struct Scene {
  BgraImage picture;  // 1920 px wide
  cv::Mat truth;      // 255 on the people
};

// The people of the second photo, cut out along the segmenter's own mask, before a grey wall.
Scene peopleBeforeAPlainWall() {
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
  cv::Mat(photo->height, photo->width, CV_8UC4, photo->pixels.data()).setTo(cv::Scalar(128, 128, 128, 255), truth == 0);
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

// The refiner's reduced copy of the picture, which the correction takes its colours from.
cv::Mat reducedCopy(const BgraImage& picture, const GreyImage& mask) {
  MaskRefiner refiner(pictureRefinement());
  refiner.refine(mask.view(), picture.view());
  return refiner.reducedPicture().clone();
}

TEST(PictureEdgeByColour, PullsAWideRimOfWallBackToThePeople) {
  Scene scene = peopleBeforeAPlainWall();
  ASSERT_FALSE(scene.truth.empty());
  const int people = cv::countNonZero(scene.truth);
  for (int rim : {12, 36}) {
    // A rim of wall around the people, as the model marks next to hair and clothes on textured
    // backgrounds; 36 px reaches beyond the default band (28 px at this size).
    cv::Mat wide;
    cv::dilate(scene.truth, wide, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * rim + 1, 2 * rim + 1)));
    GreyImage mask = maskOf(wide);
    const int rimBefore = countWhere(mask, scene.truth, false, true);
    correctPictureEdgeByColour(mask, scene.picture.view(), reducedCopy(scene.picture, mask));
    EXPECT_LT(countWhere(mask, scene.truth, false, true), rimBefore / 10) << rim << " px";
    EXPECT_LT(countWhere(mask, scene.truth, true, false), people / 50) << rim << " px";
  }
}

TEST(PictureEdgeByColour, LeavesMasksWithoutAnEdgeAlone) {
  Scene scene = peopleBeforeAPlainWall();
  ASSERT_FALSE(scene.truth.empty());
  for (std::uint8_t level : {0, 255}) {
    GreyImage uniform = maskOf(cv::Mat(scene.truth.size(), CV_8UC1, cv::Scalar(level)));
    correctPictureEdgeByColour(uniform, scene.picture.view(), reducedCopy(scene.picture, uniform));
    EXPECT_EQ(uniform.pixels, std::vector<std::uint8_t>(uniform.pixels.size(), level));
  }
}

}  // namespace
}  // namespace kov
