#include "platform/segment/area_shrink.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace kov {
namespace {

// Whole factors (block sums, the same factor both ways or not), other factors (shares of the pixels
// a cell cuts) and halves (left to OpenCV) all give exactly OpenCV's area averaging, down to the
// rounding.
TEST(AreaShrink, GivesOpenCvsAreaAveragingExactly) {
  cv::setRNGSeed(11);
  struct Case {
    cv::Size from, to;
  };
  const Case cases[] = {{{1280, 720}, {256, 144}}, {{1920, 1080}, {256, 144}}, {{30, 21}, {10, 7}},
                        {{12, 40}, {4, 10}},        {{12, 40}, {12, 10}},        {{40, 12}, {10, 12}},
                        {{64, 64}, {32, 32}},       {{1000, 700}, {256, 179}},   {{5, 5}, {1, 1}},
                        {{1920, 1280}, {224, 149}}, {{7, 3}, {3, 2}},           {{256, 144}, {256, 100}}};
  for (const Case& c : cases) {
    cv::Mat picture(c.from, CV_8UC4);
    cv::randu(picture, 0, 256);
    // Flat blocks make sums that fall exactly halfway between two levels.
    picture.rowRange(0, c.from.height / 2).setTo(cv::Scalar(0, 1, 2, 255));
    cv::Mat expected, shrunk;
    cv::resize(picture, expected, c.to, 0, 0, cv::INTER_AREA);
    shrinkByArea(picture, c.to, shrunk);
    ASSERT_EQ(shrunk.size(), c.to);
    EXPECT_EQ(cv::norm(shrunk, expected, cv::NORM_INF), 0) << c.from << " -> " << c.to;
  }
}

}  // namespace
}  // namespace kov
