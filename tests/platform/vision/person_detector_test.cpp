// The person detector on real photos with people and on rendered pictures without any.
#include <gtest/gtest.h>

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

float strongest(PersonDetector& detector, const cv::Mat& bgr) {
  BgraImage image = toBgra(bgr);
  std::vector<PersonDetection> people = detector.detect(image.view());
  return people.empty() ? 0.0f : people.front().score;
}

TEST(PersonDetector, ScoresOnSamples) {
  auto detector = createPersonDetector();
  for (int i = 1; i <= 6; ++i) {
    cv::Mat photo = cv::imread(test::samplePhoto(i), cv::IMREAD_COLOR);
    std::printf("sample%d %dx%d %.3f\n", i, photo.cols, photo.rows, strongest(*detector, photo));
  }
}

}  // namespace
}  // namespace kov
