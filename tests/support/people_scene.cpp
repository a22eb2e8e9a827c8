#include "support/people_scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <optional>

#include "support/fixtures.h"

namespace kov::test {

std::unique_ptr<PersonSegmenter> segmenter() {
  std::string error;
  auto s = createPersonSegmenter(error);
  EXPECT_TRUE(s) << error;
  return s;
}

namespace {

// The people of the second sample photo (the photo and where they are), none on failure.
std::optional<PeopleScene> peopleOfSecondPhoto() {
  auto model = segmenter();
  std::optional<BgraImage> photo = readPicture(samplePhoto(2));
  EXPECT_TRUE(photo);
  if (!model || !photo) return std::nullopt;
  GreyImage small = *model->segment(photo->view(), SegmentQuality::Accurate);
  cv::Mat truth;
  cv::resize(cv::Mat(small.height, small.width, CV_8UC1, small.pixels.data()), truth, cv::Size(photo->width, photo->height));
  truth = truth >= 128;
  cv::erode(truth, truth, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(13, 13)));
  return PeopleScene{std::move(*photo), truth};
}

cv::Mat pixelsOf(BgraImage& picture) { return cv::Mat(picture.height, picture.width, CV_8UC4, picture.pixels.data()); }

}  // namespace

PeopleScene peopleOnPlainBackground(const cv::Scalar& background) {
  std::optional<PeopleScene> scene = peopleOfSecondPhoto();
  if (!scene) return {};
  pixelsOf(scene->picture).setTo(background, scene->truth == 0);
  return std::move(*scene);
}

PeopleScene peopleOnPartOfPhoto(int photo, const cv::Rect& part) {
  std::optional<PeopleScene> people = peopleOfSecondPhoto();
  std::optional<BgraImage> source = readPicture(samplePhoto(photo));
  EXPECT_TRUE(source);
  if (!people || !source) return {};
  const int width = people->picture.width, height = people->picture.height;
  const cv::Mat piece = pixelsOf(*source)(part & cv::Rect(0, 0, source->width, source->height)).clone();
  cv::Mat background;
  cv::copyMakeBorder(piece, background, 0, std::max(0, height - piece.rows), 0, std::max(0, width - piece.cols),
                     cv::BORDER_REFLECT);
  PeopleScene scene{blankBgraImage(width, height), cv::Mat::zeros(height, width, CV_8UC1)};
  background(cv::Rect(0, 0, width, height)).copyTo(pixelsOf(scene.picture));
  // The people at three quarters of their size, standing on the bottom edge in the middle.
  cv::Mat colours, truth;
  cv::resize(pixelsOf(people->picture), colours, cv::Size(), 0.75, 0.75, cv::INTER_AREA);
  cv::resize(people->truth, truth, colours.size(), 0, 0, cv::INTER_AREA);
  truth = truth >= 128;
  const cv::Rect place((width - colours.cols) / 2, height - colours.rows, colours.cols, colours.rows);
  colours.copyTo(pixelsOf(scene.picture)(place), truth);
  truth.copyTo(scene.truth(place));
  return scene;
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
