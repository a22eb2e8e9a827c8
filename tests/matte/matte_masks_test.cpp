// The edge band of a picture's mask corrected by the picture's colours, on a real photo's people set
// on a plain wall, with masks whose edge is further off than the model's usual few pixels, and the
// whole picture mask on the same people in a room of another photo.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "matte/matte_masks.h"
#include "support/people_scene.h"

namespace kov {
namespace {

using test::countWhere;
using test::maskOf;

// A grey wall, 1920 px wide.
test::PeopleScene peopleBeforeAPlainWall() { return test::peopleOnPlainBackground(cv::Scalar(128, 128, 128, 255)); }

// The refiner's reduced copy of the picture, which the correction takes its colours from.
cv::Mat reducedCopy(const BgraImage& picture, const GreyImage& mask) {
  MaskRefiner refiner(pictureRefinement());
  refiner.refine(mask.view(), picture.view());
  return refiner.reducedPicture().clone();
}

TEST(PictureEdgeByColour, PullsAWideRimOfWallBackToThePeople) {
  test::PeopleScene scene = peopleBeforeAPlainWall();
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
  test::PeopleScene scene = peopleBeforeAPlainWall();
  ASSERT_FALSE(scene.truth.empty());
  for (std::uint8_t level : {0, 255}) {
    GreyImage uniform = maskOf(cv::Mat(scene.truth.size(), CV_8UC1, cv::Scalar(level)));
    correctPictureEdgeByColour(uniform, scene.picture.view(), reducedCopy(scene.picture, uniform));
    EXPECT_EQ(uniform.pixels, std::vector<std::uint8_t>(uniform.pixels.size(), level));
  }
}

// Mean |mask - truth| within 15 px of the people's edge on either side, 0..1.
double edgeBandError(const GreyImage& mask, const cv::Mat& truth) {
  const cv::Mat round = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(31, 31));
  cv::Mat grown, shrunk, difference;
  cv::dilate(truth, grown, round);
  cv::erode(truth, shrunk, round);
  cv::absdiff(cv::Mat(mask.height, mask.width, CV_8UC1, const_cast<std::uint8_t*>(mask.pixels.data())), truth, difference);
  return cv::mean(difference, grown & ~shrunk)[0] / 255;
}

TEST(PictureMask, EdgeBandLabelledByColourComesCloserToThePeople) {
  // People in a dim room: dark furniture and shadows beside dark hair and clothes, where the model's
  // edge strays.
  test::PeopleScene scene = test::peopleOnPartOfPhoto(1, cv::Rect(0, 0, 360, 800));
  ASSERT_FALSE(scene.truth.empty());
  auto segmenter = test::segmenter();
  ASSERT_TRUE(segmenter);
  const std::optional<GreyImage> model = segmenter->segment(scene.picture.view(), SegmentQuality::Accurate);
  ASSERT_TRUE(model);
  // The model's mask refined and corrected by colour at full size only, as before the labelling.
  MaskRefiner refiner(pictureRefinement());
  GreyImage unlabelled = refiner.refine(model->view(), scene.picture.view());
  correctPictureEdgeByColour(unlabelled, scene.picture.view(), refiner.reducedPicture());
  const std::optional<GreyImage> mask = pictureMask(*segmenter, refiner, scene.picture.view());
  ASSERT_TRUE(mask);
  EXPECT_LT(edgeBandError(*mask, scene.truth), 0.9 * edgeBandError(unlabelled, scene.truth));
}

}  // namespace
}  // namespace kov
