// The person detector on real photos with people, on person-free parts of the same photos (which the
// segmenter takes for people) and on rendered pictures without people.
#include <gtest/gtest.h>

#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/vision/person_detector.h"
#include "support/fixtures.h"

namespace kov {
namespace {

BgraImage toBgra(const cv::Mat& bgr) {
  BgraImage image{bgr.cols, bgr.rows, std::vector<std::uint8_t>(static_cast<std::size_t>(bgr.cols) * bgr.rows * 4)};
  cv::Mat wrapped(bgr.rows, bgr.cols, CV_8UC4, image.pixels.data());
  cv::cvtColor(bgr, wrapped, cv::COLOR_BGR2BGRA);
  return image;
}

std::vector<PersonDetection> detect(PersonDetector& detector, const cv::Mat& bgr) {
  BgraImage image = toBgra(bgr);
  return detector.detect(image.view());
}

float strongest(PersonDetector& detector, const cv::Mat& bgr) {
  std::vector<PersonDetection> people = detect(detector, bgr);
  return people.empty() ? 0.0f : people.front().score;
}

cv::Mat photo(int index) {
  cv::Mat picture = cv::imread(test::samplePhoto(index), cv::IMREAD_COLOR);
  EXPECT_FALSE(picture.empty()) << test::samplePhoto(index);
  return picture;
}

// The input made ahead gives exactly the detections of the picture itself, tall and wide; an empty
// picture gives an empty input and nobody.
TEST(PersonDetector, InputMadeAheadGivesTheSameDetections) {
  std::string error;
  auto detector = createPersonDetector(error);
  ASSERT_TRUE(detector) << error;
  cv::Mat wide = photo(2), tall;
  cv::rotate(wide, tall, cv::ROTATE_90_CLOCKWISE);
  for (const cv::Mat& bgr : {wide, tall}) {
    BgraImage picture = toBgra(bgr);
    const PersonDetectorInput input = personDetectorInput(picture.view());
    ASSERT_EQ(input.bgr.size(), cv::Size(224, 224));
    const std::vector<PersonDetection> direct = detector->detect(picture.view());
    const std::vector<PersonDetection> ahead = detector->detect(input);
    ASSERT_FALSE(direct.empty());
    ASSERT_EQ(direct.size(), ahead.size());
    for (std::size_t k = 0; k < direct.size(); ++k) {
      EXPECT_EQ(direct[k].score, ahead[k].score);
      EXPECT_EQ(direct[k].body, ahead[k].body);
    }
    EXPECT_EQ(personRegions(*detector, input), personRegions(*detector, picture.view()));
  }
  const PersonDetectorInput empty = personDetectorInput(BgraView{});
  EXPECT_TRUE(empty.bgr.empty());
  EXPECT_TRUE(detector->detect(empty).empty());
}

TEST(PersonDetector, FindsThePeopleOfEverySamplePhotoAtAnySize) {
  std::string error;
  auto detector = createPersonDetector(error);
  ASSERT_TRUE(detector) << error;
  for (int i = 1; i <= 6; ++i) {
    cv::Mat full = photo(i), small;
    cv::resize(full, small, cv::Size(480, full.rows * 480 / full.cols), 0, 0, cv::INTER_AREA);
    for (const cv::Mat& picture : {full, small}) {
      std::vector<PersonDetection> people = detect(*detector, picture);
      ASSERT_FALSE(people.empty()) << "sample" << i << " at " << picture.cols;
      EXPECT_GT(people.front().score, kPersonScore) << "sample" << i << " at " << picture.cols;
      for (std::size_t k = 1; k < people.size(); ++k) EXPECT_LE(people[k].score, people[k - 1].score);
      // The body's box is in picture pixels: its centre lies in the picture.
      const cv::Point2d centre = (people.front().box.tl() + people.front().box.br()) / 2;
      EXPECT_TRUE(cv::Rect2d(0, 0, picture.cols, picture.rows).contains(centre)) << "sample" << i;
    }
    // The same picture letterboxed in a wide grey frame: the person is still found.
    cv::Mat wide(full.rows, full.cols * 2, CV_8UC3, cv::Scalar(128, 128, 128));
    full.copyTo(wide(cv::Rect(full.cols / 2, 0, full.cols, full.rows)));
    EXPECT_GT(strongest(*detector, wide), kPersonScore) << "sample" << i << " in a wide frame";
  }
}

TEST(PersonDetector, BodySquaresHoldThePeopleAndFollowThemAcrossTheFrame) {
  std::string error;
  auto detector = createPersonDetector(error);
  ASSERT_TRUE(detector) << error;
  for (int i : {2, 6}) {
    cv::Mat full = photo(i);
    std::vector<PersonDetection> people = detect(*detector, full);
    ASSERT_FALSE(people.empty()) << "sample" << i;
    const PersonDetection& first = people.front();
    EXPECT_DOUBLE_EQ(first.body.width, first.body.height) << "sample" << i;
    // The whole body is larger than its core and holds it.
    EXPECT_GT(first.body.height, first.box.height) << "sample" << i;
    EXPECT_TRUE(first.body.contains((first.box.tl() + first.box.br()) / 2)) << "sample" << i;

    // The photo moved right inside a wide frame: the body square moves with it.
    cv::Mat wide(full.rows, full.cols * 2, CV_8UC3, cv::Scalar(128, 128, 128));
    const int shift = full.cols / 2;
    full.copyTo(wide(cv::Rect(shift, 0, full.cols, full.rows)));
    std::vector<PersonDetection> moved = detect(*detector, wide);
    ASSERT_FALSE(moved.empty()) << "sample" << i;
    const cv::Point2d expected = (first.body.tl() + first.body.br()) / 2 + cv::Point2d(shift, 0);
    bool found = false;
    for (const PersonDetection& person : moved)
      if (person.score > kPersonScore && cv::norm((person.body.tl() + person.body.br()) / 2 - expected) < 0.1 * first.body.width)
        found = true;
    EXPECT_TRUE(found) << "sample" << i;
  }
}

// Soft coloured noise at several scales, like foliage or stone.
cv::Mat texture(cv::Size size, unsigned seed) {
  cv::RNG rng(seed);
  cv::Mat sum = cv::Mat::zeros(size, CV_32FC3);
  for (int scale : {64, 16, 4}) {
    cv::Mat small(std::max(1, size.height / scale), std::max(1, size.width / scale), CV_32FC3);
    rng.fill(small, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(255.0 / 3));
    cv::Mat big;
    cv::resize(small, big, size, 0, 0, cv::INTER_CUBIC);
    sum += big;
  }
  cv::Mat out;
  sum.convertTo(out, CV_8UC3);
  return out;
}

// A room: a wall, a floor, a table on legs, a cupboard, a lamp, a picture frame and a round mirror.
cv::Mat room(cv::Size size) {
  const int w = size.width, h = size.height, floorTop = h * 2 / 3;
  cv::Mat scene(size, CV_8UC3, cv::Scalar(170, 180, 190));
  cv::rectangle(scene, cv::Rect(0, floorTop, w, h - floorTop), cv::Scalar(40, 80, 120), cv::FILLED);
  cv::rectangle(scene, cv::Rect(w / 5, floorTop - h / 10, w / 3, h / 30), cv::Scalar(30, 50, 90), cv::FILLED);
  for (int leg : {w / 5 + 10, w / 5 + w / 3 - 30})
    cv::rectangle(scene, cv::Rect(leg, floorTop - h / 15, 20, h / 5), cv::Scalar(25, 45, 80), cv::FILLED);
  cv::rectangle(scene, cv::Rect(w * 3 / 5, floorTop - h / 4, w / 6, h / 3), cv::Scalar(90, 60, 160), cv::FILLED);
  cv::rectangle(scene, cv::Rect(w * 4 / 5, h / 8, w / 10, h / 7), cv::Scalar(30, 30, 30), 12);
  cv::circle(scene, cv::Point(w * 9 / 10, floorTop - h / 3), h / 12, cv::Scalar(120, 220, 250), cv::FILLED);
  cv::circle(scene, cv::Point(w / 10, h / 4), h / 10, cv::Scalar(200, 200, 210), cv::FILLED);
  return scene;
}

// Two standing shapes with a round top on a narrow base (vases, bollards), on a plain floor.
cv::Mat standingShapes(cv::Size size) {
  cv::Mat scene(size, CV_8UC3, cv::Scalar(200, 210, 215));
  for (int x : {size.width / 3, size.width * 2 / 3}) {
    cv::circle(scene, cv::Point(x, size.height / 3), size.height / 10, cv::Scalar(90, 90, 100), cv::FILLED);
    cv::rectangle(scene, cv::Rect(x - size.height / 14, size.height / 3, size.height / 7, size.height / 2),
                  cv::Scalar(90, 90, 100), cv::FILLED);
  }
  return scene;
}

TEST(PersonDetector, FindsNobodyInPicturesWithoutPeople) {
  std::string error;
  auto detector = createPersonDetector(error);
  ASSERT_TRUE(detector) << error;
  const cv::Size size(1280, 853);
  std::vector<std::pair<std::string, cv::Mat>> pictures = {
      {"flat grey", cv::Mat(size, CV_8UC3, cv::Scalar(128, 128, 128))},
      {"texture", texture(size, 3)},
      {"room", room(size)},
      {"standing shapes", standingShapes(size)},
      // Parts of the photos without people: stairs with a railing (which the segmenter takes for a
      // person), window blinds, a door. (The dark room left of sample1's people, with a chair and
      // clothes, scores 0.61: the detector alone does not always say no; the segmenter marks nothing
      // there.)
      {"stairs", photo(5)(cv::Rect(0, 0, 440, 680)).clone()},
      {"blinds", photo(6)(cv::Rect(0, 0, 160, 1280)).clone()},
      {"door", photo(3)(cv::Rect(0, 0, 360, 680)).clone()},
  };
  for (const auto& [name, picture] : pictures) EXPECT_LT(strongest(*detector, picture), kPersonScore) << name;

  BgraImage none;
  EXPECT_TRUE(detector->detect(none.view()).empty());
}

}  // namespace
}  // namespace kov
