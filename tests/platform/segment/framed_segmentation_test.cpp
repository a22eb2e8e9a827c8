// Segmentation framed around people, on real photos: what stands apart from the people is dropped,
// while people standing apart from each other are all kept.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "platform/image/picture.h"
#include "platform/segment/framed_segmentation.h"
#include "support/fixtures.h"
#include "support/people_scene.h"

namespace kov {
namespace {

using test::segmenter;

cv::Mat photo(int index) {
  std::optional<BgraImage> p = readPicture(test::samplePhoto(index));
  EXPECT_TRUE(p) << test::samplePhoto(index);
  if (!p) return {};
  cv::Mat bgra(p->height, p->width, CV_8UC4, p->pixels.data());
  cv::Mat bgr;
  cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
  return bgr;
}

BgraImage toBgra(const cv::Mat& bgr) {
  BgraImage image{bgr.cols, bgr.rows, std::vector<std::uint8_t>(static_cast<std::size_t>(bgr.cols) * bgr.rows * 4)};
  cv::Mat target(image.height, image.width, CV_8UC4, image.pixels.data());
  cv::cvtColor(bgr, target, cv::COLOR_BGR2BGRA);
  return image;
}

double foregroundShare(const cv::Mat& mask, cv::Rect area) {
  return static_cast<double>(cv::countNonZero(mask(area) >= 128)) / area.area();
}

cv::Mat fullSize(const GreyImage& mask, cv::Size size) {
  cv::Mat full;
  cv::resize(cv::Mat(mask.height, mask.width, CV_8UC1, const_cast<std::uint8_t*>(mask.pixels.data())), full, size, 0, 0,
             cv::INTER_LINEAR);
  return full;
}

// The group of the first photo, cut out along the segmenter's own mask, standing at the right of a
// wall of doors (the person-free left part of the third photo, mirrored outwards). The doors' pale,
// skin-coloured panels to the left of the group look like a face to the model.
cv::Mat groupBeforeDoors(PersonSegmenter& s) {
  const cv::Mat group = photo(1), doors = photo(3);
  const cv::Size size = group.size();
  BgraImage groupPixels = toBgra(group);
  cv::Mat alpha = fullSize(*s.segment(groupPixels.view(), SegmentQuality::Accurate), size) >= 128;
  cv::erode(alpha, alpha, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(13, 13)));
  cv::Mat scene;
  cv::copyMakeBorder(doors(cv::Rect(0, 0, 360, 680)).clone(), scene, 0, size.height - 680, 0, size.width - 360, cv::BORDER_REFLECT);
  cv::Mat smallGroup, smallAlpha;
  cv::resize(group, smallGroup, cv::Size(), 0.8, 0.8, cv::INTER_AREA);
  cv::resize(alpha, smallAlpha, cv::Size(), 0.8, 0.8, cv::INTER_AREA);
  const cv::Rect place(size.width / 4, size.height - smallGroup.rows, smallGroup.cols, smallGroup.rows);
  const cv::Rect visible = place & cv::Rect(0, 0, size.width, size.height);
  smallGroup(cv::Rect(0, 0, visible.width, visible.height))
      .copyTo(scene(visible), smallAlpha(cv::Rect(0, 0, visible.width, visible.height)) >= 128);
  return scene;
}

TEST(FramedSegmentation, DropsWhatStandsApartFromThePeople) {
  auto s = segmenter();
  ASSERT_TRUE(s);
  const cv::Mat scene = groupBeforeDoors(*s);
  BgraImage picture = toBgra(scene);
  const cv::Rect2d everywhere(0, 0, scene.cols, scene.rows);
  auto mask = segmentAroundPeople(*s, picture.view(), {everywhere});
  ASSERT_TRUE(mask);
  const cv::Mat full = fullSize(*mask, scene.size());
  // Left of the group: doors only.
  EXPECT_LT(foregroundShare(full, cv::Rect(0, 0, scene.cols / 4 - 20, scene.rows)), 0.005);
  // The group itself stays.
  EXPECT_GT(foregroundShare(full, cv::Rect(scene.cols / 2, scene.rows * 3 / 4, scene.cols / 4, scene.rows / 4)), 0.9);
}

TEST(FramedSegmentation, KeepsPeopleStandingApart) {
  auto s = segmenter();
  ASSERT_TRUE(s);
  // The people of the second photo twice on a wide grey canvas, apart, once at 0.8 times the other's
  // height: the smaller group is a smaller part of the mask, and is kept all the same.
  const cv::Mat person = photo(2);
  cv::Mat canvas(1000, 2900, CV_8UC3, cv::Scalar(128, 128, 128));
  cv::Mat large, small;
  cv::resize(person, large, cv::Size(), 1000.0 / person.rows, 1000.0 / person.rows, cv::INTER_AREA);
  cv::resize(person, small, cv::Size(), 800.0 / person.rows, 800.0 / person.rows, cv::INTER_AREA);
  large.copyTo(canvas(cv::Rect(0, 0, large.cols, large.rows)));
  const cv::Rect smallPlace(canvas.cols - small.cols, canvas.rows - small.rows, small.cols, small.rows);
  small.copyTo(canvas(smallPlace));
  BgraImage picture = toBgra(canvas);
  auto mask = segmentAroundPeople(*s, picture.view(), {cv::Rect2d(0, 0, canvas.cols, canvas.rows)});
  ASSERT_TRUE(mask);
  const cv::Mat full = fullSize(*mask, canvas.size());
  EXPECT_GT(foregroundShare(full, cv::Rect(0, 0, large.cols, large.rows)), 0.15);
  EXPECT_GT(foregroundShare(full, smallPlace), 0.03);  // the model marks a smaller group more faintly
}

}  // namespace
}  // namespace kov
