// The band along a person mask's edge labelled anew by the picture's colours, on a real photo's people
// set before a real door and window, at the reduced size the refiner works at, with masks whose edge
// is off by more than the model's usual few pixels.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "platform/segment/band_labelling.h"
#include "support/people_scene.h"

namespace kov {
namespace {

// The scene reduced four times, as the refiner reduces a picture of this size.
struct ReducedScene {
  cv::Mat picture;  // BGRA
  cv::Mat truth;    // 255 on the people
};

ReducedScene peopleBeforeADoor() {
  test::PeopleScene scene = test::peopleOnPartOfPhoto(6, cv::Rect(0, 0, 160, 1280));
  if (scene.truth.empty()) return {};
  const cv::Size size(scene.picture.width / 4, scene.picture.height / 4);
  ReducedScene reduced;
  cv::resize(cv::Mat(scene.picture.height, scene.picture.width, CV_8UC4, scene.picture.pixels.data()), reduced.picture,
             size, 0, 0, cv::INTER_AREA);
  cv::resize(scene.truth, reduced.truth, size, 0, 0, cv::INTER_AREA);
  reduced.truth = reduced.truth >= 128;
  return reduced;
}

// A mask shaped like the truth grown (or shrunk, for a negative `by`) by `by` pixels, with the soft
// edge of a model's mask stretched to this size.
cv::Mat offMask(const cv::Mat& truth, int by) {
  cv::Mat shaped;
  const cv::Mat round = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * std::abs(by) + 1, 2 * std::abs(by) + 1));
  if (by > 0)
    cv::dilate(truth, shaped, round);
  else
    cv::erode(truth, shaped, round);
  cv::GaussianBlur(shaped, shaped, cv::Size(0, 0), 3);
  return shaped;
}

int wrongPixels(const cv::Mat& mask, const cv::Mat& truth) { return cv::countNonZero((mask >= 128) != truth); }

TEST(BandLabelling, MovesAnEdgeThatIsOffOntoThePeople) {
  const ReducedScene scene = peopleBeforeADoor();
  ASSERT_FALSE(scene.truth.empty());
  // 4 reduced pixels are 16 px at the picture's size: a rim of door or a strip of the people.
  for (int by : {3, -3}) {
    const cv::Mat mask = offMask(scene.truth, by);
    const int before = wrongPixels(mask, scene.truth);
    const cv::Mat labelled = labelEdgeBandByColour(scene.picture, mask);
    ASSERT_EQ(labelled.size(), mask.size());
    EXPECT_LT(wrongPixels(labelled, scene.truth), before * 2 / 3) << by << " px";
  }
}

TEST(BandLabelling, DropsAPatchOfBackgroundTheMaskTookIn) {
  const ReducedScene scene = peopleBeforeADoor();
  ASSERT_FALSE(scene.truth.empty());
  // A blob of door attached to the people's side, as the model adds next to dark clothes.
  const cv::Rect people = cv::boundingRect(scene.truth);
  cv::Mat mask = offMask(scene.truth, 1);
  const cv::Point centre(people.x, people.y + people.height * 2 / 3);
  cv::circle(mask, centre, 5, cv::Scalar(255), cv::FILLED);
  const cv::Mat patch = (mask >= 128) & ~scene.truth;
  const int patchBefore = cv::countNonZero(patch);
  ASSERT_GT(patchBefore, 20);
  const cv::Mat labelled = labelEdgeBandByColour(scene.picture, mask);
  EXPECT_LT(cv::countNonZero(patch & (labelled >= 128)), patchBefore / 3);
}

TEST(BandLabelling, LeavesMasksWithoutAnEdgeOrEnoughColoursOrOfAnotherSizeAlone) {
  const ReducedScene scene = peopleBeforeADoor();
  ASSERT_FALSE(scene.truth.empty());
  for (int level : {0, 255}) {
    const cv::Mat uniform(scene.truth.size(), CV_8UC1, cv::Scalar(level));
    EXPECT_EQ(cv::countNonZero(labelEdgeBandByColour(scene.picture, uniform) != uniform), 0) << level;
  }
  const cv::Mat smaller = offMask(scene.truth, 2)(cv::Rect(0, 0, 100, 100)).clone();
  EXPECT_EQ(cv::countNonZero(labelEdgeBandByColour(scene.picture, smaller) != smaller), 0);
  // Too few background pixels to tell its colours: a person mask with a hole of 5 x 5.
  cv::Mat holed(scene.truth.size(), CV_8UC1, cv::Scalar(255));
  holed(cv::Rect(200, 150, 5, 5)).setTo(0);
  EXPECT_EQ(cv::countNonZero(labelEdgeBandByColour(scene.picture, holed) != holed), 0);
}

}  // namespace
}  // namespace kov
