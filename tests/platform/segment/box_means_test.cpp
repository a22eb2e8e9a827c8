#include "platform/segment/box_means.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace kov {
namespace {

cv::Mat randomPlane(int width, int height) {
  cv::Mat plane(height, width, CV_32F);
  cv::randu(plane, 0.0f, 1.0f);
  return plane;
}

// The means are OpenCV's mirrored box filter to float precision, whatever the plane's size against
// the window (planes narrower than the window mirror more than once), and in place as well.
TEST(BoxMeans, AreTheMirroredBoxFilterForEverySizeAndInPlace) {
  cv::setRNGSeed(7);
  BoxMeans means;
  const cv::Size sizes[] = {{320, 180}, {257, 31}, {1, 1}, {3, 40}, {40, 3}, {17, 17}, {6, 9}};
  for (cv::Size size : sizes)
    for (int radius : {0, 1, 8}) {
      const cv::Mat plane = randomPlane(size.width, size.height);
      cv::Mat expected;
      cv::boxFilter(plane, expected, CV_32F, cv::Size(2 * radius + 1, 2 * radius + 1), cv::Point(-1, -1), true,
                    cv::BORDER_REFLECT);
      cv::Mat made;
      means.compute(plane, radius, made);
      ASSERT_EQ(made.size(), size);
      EXPECT_LT(cv::norm(made, expected, cv::NORM_INF), 2e-6) << size << " radius " << radius;

      cv::Mat inPlace = plane.clone();
      means.compute(inPlace, radius, inPlace);
      EXPECT_LT(cv::norm(inPlace, expected, cv::NORM_INF), 2e-6) << size << " radius " << radius << " in place";
    }
}

}  // namespace
}  // namespace kov
