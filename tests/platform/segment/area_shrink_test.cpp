#include "platform/segment/area_shrink.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace kov {
namespace {

// Whole factors (block sums, the same factor both ways or not), other factors (shares of the pixels
// a cell cuts) and halves (left to OpenCV) all give exactly OpenCV's area averaging, down to the
// rounding, for colour pictures and masks.
TEST(AreaShrink, GivesOpenCvsAreaAveragingExactly) {
  cv::setRNGSeed(11);
  struct Case {
    cv::Size from, to;
  };
  const Case cases[] = {{{1280, 720}, {256, 144}}, {{1920, 1080}, {256, 144}}, {{30, 21}, {10, 7}},
                        {{12, 40}, {4, 10}},        {{12, 40}, {12, 10}},        {{40, 12}, {10, 12}},
                        {{64, 64}, {32, 32}},       {{1000, 700}, {256, 179}},   {{5, 5}, {1, 1}},
                        {{1920, 1280}, {224, 149}}, {{7, 3}, {3, 2}},           {{256, 144}, {256, 100}}};
  for (int type : {CV_8UC4, CV_8UC1}) {
    for (const Case& c : cases) {
      cv::Mat picture(c.from, type);
      cv::randu(picture, 0, 256);
      // Columns of 0 and 1 in turn over the top half: blocks of an even area average exactly halfway
      // between two levels, where the rounding must break the tie as OpenCV does.
      for (int x = 0; x < c.from.width; ++x)
        picture(cv::Rect(x, 0, 1, c.from.height / 2)).setTo(cv::Scalar::all(x % 2));
      cv::Mat expected, shrunk;
      cv::resize(picture, expected, c.to, 0, 0, cv::INTER_AREA);
      shrinkByArea(picture, c.to, shrunk);
      ASSERT_EQ(shrunk.size(), c.to);
      EXPECT_EQ(cv::norm(shrunk, expected, cv::NORM_INF), 0) << c.from << " -> " << c.to << " of type " << type;
    }
  }
}

}  // namespace
}  // namespace kov
