// The enlarged parts of a picture that Tesseract reads.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/vision/frame_images.h"

namespace kov {
namespace {

// A part enlarged on its own has exactly the pixels of the same part of the whole picture enlarged:
// parts inside the picture, on each of its edges, at odd and even places, of one pixel and of the
// whole picture, and parts reaching past the picture (cut to it).
TEST(FrameImages, APartEnlargedTwiceHasThePixelsOfTheWholeEnlarged) {
  cv::Mat grey(37, 64, CV_8UC1);
  cv::randu(grey, 0, 256);
  cv::Mat whole;
  cv::resize(grey, whole, cv::Size(), 2, 2, cv::INTER_LINEAR);
  const cv::Rect wholeRect(0, 0, whole.cols, whole.rows);
  const cv::Rect parts[] = {{10, 8, 40, 20},  {11, 9, 41, 21},  {0, 0, 30, 15},   {97, 50, 31, 24}, {0, 60, 128, 14},
                            {5, 0, 1, 1},     {127, 73, 1, 1},  {0, 0, 128, 74},  {-6, -4, 30, 20}, {110, 60, 40, 30}};
  for (const cv::Rect& part : parts) {
    SCOPED_TRACE(::testing::Message() << part);
    const cv::Mat enlarged = enlargedTwice(grey, part);
    const cv::Rect inside = part & wholeRect;
    ASSERT_EQ(enlarged.size(), inside.size());
    EXPECT_EQ(cv::norm(enlarged, whole(inside), cv::NORM_INF), 0.0);
  }
  EXPECT_TRUE(enlargedTwice(grey, {200, 200, 10, 10}).empty());
}

}  // namespace
}  // namespace kov
