#include "support/people_scene.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "support/fixtures.h"

namespace kov::test {

std::unique_ptr<PersonSegmenter> segmenter() {
  std::string error;
  auto s = createPersonSegmenter(error);
  EXPECT_TRUE(s) << error;
  return s;
}

PeopleScene peopleOnPlainBackground(const cv::Scalar& background) {
  auto model = segmenter();
  std::optional<BgraImage> photo = readPicture(samplePhoto(2));
  EXPECT_TRUE(photo);
  if (!model || !photo) return {};
  GreyImage small = *model->segment(photo->view(), SegmentQuality::Accurate);
  cv::Mat truth;
  cv::resize(cv::Mat(small.height, small.width, CV_8UC1, small.pixels.data()), truth, cv::Size(photo->width, photo->height));
  truth = truth >= 128;
  cv::erode(truth, truth, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(13, 13)));
  cv::Mat(photo->height, photo->width, CV_8UC4, photo->pixels.data()).setTo(background, truth == 0);
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

}  // namespace kov::test
