// The mask refiner: a blurred low-resolution mask comes back at the picture's size with its edge
// moved onto the picture's own edge, solid far from it, for any picture size and row stride.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "platform/segment/mask_refiner.h"

namespace kov {
namespace {

// A picture whose left part up to column `edge` (exclusive) is one colour and the rest another.
BgraImage twoColours(int width, int height, int edge, cv::Vec4b left, cv::Vec4b right) {
  BgraImage picture = blankBgraImage(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      std::copy_n(&(x < edge ? left : right)[0], 4, &picture.pixels[(static_cast<std::size_t>(y) * width + x) * 4]);
  return picture;
}

// A soft low-resolution mask, person (255) on the left, whose middle value sits at `edge` in
// picture columns, rising over about `softness` picture columns, as a segmentation model gives it.
GreyImage softMask(int maskWidth, int maskHeight, int pictureWidth, double edge, double softness) {
  GreyImage mask{maskWidth, maskHeight, std::vector<std::uint8_t>(static_cast<std::size_t>(maskWidth) * maskHeight)};
  for (int x = 0; x < maskWidth; ++x) {
    double column = (x + 0.5) * pictureWidth / maskWidth;
    double value = 255.0 / (1.0 + std::exp((column - edge) / (softness / 4.4)));
    for (int y = 0; y < maskHeight; ++y) mask.pixels[static_cast<std::size_t>(y) * maskWidth + x] = static_cast<std::uint8_t>(std::lround(value));
  }
  return mask;
}

// Columns of one row where the mask rises from below 26 to 230 or more, counted from the right.
int riseWidth(const GreyImage& mask, int row) {
  const std::uint8_t* values = &mask.pixels[static_cast<std::size_t>(row) * mask.width];
  int high = 0, low = mask.width - 1;
  while (high < mask.width && values[high] >= 230) ++high;
  while (low > 0 && values[low] < 26) --low;
  return std::max(0, low - high + 1);
}

// The first column of a row whose value is below 128.
int firstBackgroundColumn(const GreyImage& mask, int row) {
  for (int x = 0; x < mask.width; ++x)
    if (mask.pixels[static_cast<std::size_t>(row) * mask.width + x] < 128) return x;
  return mask.width;
}

TEST(MaskRefiner, MovesASoftEdgeOntoThePicturesEdgeAndSharpensIt) {
  const int width = 1280, height = 720, edge = 603;
  BgraImage picture = twoColours(width, height, edge, {60, 90, 200, 255}, {180, 170, 90, 255});
  MaskRefiner refiner;
  const double modelRamp = 30;
  for (double modelEdge : {edge - 9.0, edge + 0.0, edge + 11.0}) {
    GreyImage mask = softMask(256, 144, width, modelEdge, modelRamp);
    GreyImage refined = refiner.refine(mask.view(), picture.view());
    ASSERT_EQ(refined.width, width);
    ASSERT_EQ(refined.height, height);
    for (int row : {0, 360, 719}) {
      EXPECT_NEAR(firstBackgroundColumn(refined, row), edge, 1) << "model edge at " << modelEdge << ", row " << row;
      // Where the model was right the edge is one step; where it was off, a short tail remains.
      EXPECT_LE(riseWidth(refined, row), modelEdge == edge ? 2 : modelRamp / 2) << "model edge at " << modelEdge << ", row " << row;
    }
    // Solid away from the edge.
    for (int x : {0, 100, 400, 560}) EXPECT_EQ(refined.pixels[static_cast<std::size_t>(300) * width + x], 255) << x;
    for (int x : {650, 900, 1279}) EXPECT_EQ(refined.pixels[static_cast<std::size_t>(300) * width + x], 0) << x;
  }
}

TEST(MaskRefiner, KeepsTheModelsEdgeWhereThePictureHasNone) {
  // One flat colour: nothing to snap to, so the edge stays where the model put it.
  BgraImage picture = twoColours(960, 540, 960, {120, 120, 120, 255}, {120, 120, 120, 255});
  GreyImage mask = softMask(256, 144, 960, 400, 20);
  GreyImage refined = MaskRefiner().refine(mask.view(), picture.view());
  EXPECT_NEAR(firstBackgroundColumn(refined, 270), 400, 3);
  // An empty mask stays empty and a full one full.
  GreyImage empty{64, 36, std::vector<std::uint8_t>(64 * 36, 0)}, full{64, 36, std::vector<std::uint8_t>(64 * 36, 255)};
  BgraImage scene = twoColours(960, 540, 500, {10, 200, 30, 255}, {200, 30, 10, 255});
  GreyImage none = MaskRefiner().refine(empty.view(), scene.view());
  GreyImage all = MaskRefiner().refine(full.view(), scene.view());
  EXPECT_EQ(*std::max_element(none.pixels.begin(), none.pixels.end()), 0);
  GreyImage nothing = MaskRefiner().refine(GreyView{}, scene.view());
  ASSERT_EQ(nothing.pixels.size(), 960u * 540u);
  EXPECT_EQ(*std::max_element(nothing.pixels.begin(), nothing.pixels.end()), 0);
  EXPECT_EQ(*std::min_element(all.pixels.begin(), all.pixels.end()), 255);
}

TEST(MaskRefiner, AnySizeAndRowStride) {
  MaskRefiner refiner;  // one refiner over changing sizes, as buffers are kept between calls
  for (auto [width, height] : {std::pair{1, 1}, {3, 2}, {257, 129}, {1919, 1081}, {100, 900}}) {
    BgraImage picture = twoColours(width, height, width / 2, {0, 0, 0, 255}, {255, 255, 255, 255});
    GreyImage mask = softMask(std::min(width, 256), std::min(height, 144), width, width / 2.0, 4);
    GreyImage refined = refiner.refine(mask.view(), picture.view());
    ASSERT_EQ(refined.width, width);
    ASSERT_EQ(refined.height, height);
    ASSERT_EQ(refined.pixels.size(), static_cast<std::size_t>(width) * height);
  }
  // A picture stored with padding after each row gives the same mask as a packed one.
  BgraImage packed = twoColours(301, 170, 150, {30, 60, 90, 255}, {200, 100, 50, 255});
  std::vector<std::uint8_t> padded(static_cast<std::size_t>(301 * 4 + 36) * 170, 0xee);
  for (int y = 0; y < 170; ++y)
    std::copy_n(&packed.pixels[static_cast<std::size_t>(y) * 301 * 4], 301 * 4, &padded[static_cast<std::size_t>(y) * (301 * 4 + 36)]);
  GreyImage mask = softMask(128, 72, 301, 140, 12);
  GreyImage fromPacked = refiner.refine(mask.view(), packed.view());
  GreyImage fromPadded = refiner.refine(mask.view(), BgraView{padded.data(), 301, 170, 301 * 4 + 36});
  EXPECT_EQ(fromPacked.pixels, fromPadded.pixels);
}

// The picture's part done ahead gives the very mask of a refinement in one go; it is used once, only
// for the picture it was done for, and a prepared picture whose pixels then change is no trap as long
// as `refine` names another picture.
TEST(MaskRefiner, ThePicturesPartDoneAheadGivesTheSameMask) {
  BgraImage first = twoColours(640, 360, 300, {20, 40, 220, 255}, {200, 180, 60, 255});
  BgraImage second = twoColours(640, 360, 420, {90, 200, 30, 255}, {10, 10, 10, 255});
  GreyImage mask = softMask(256, 144, 640, 330, 30);
  MaskRefiner inOneGo, ahead;
  const GreyImage expectedFirst = inOneGo.refine(mask.view(), first.view());
  const GreyImage expectedSecond = inOneGo.refine(mask.view(), second.view());
  ASSERT_NE(expectedFirst.pixels, expectedSecond.pixels);

  ahead.preparePicture(first.view());
  EXPECT_EQ(ahead.refine(mask.view(), first.view()).pixels, expectedFirst.pixels);
  // Prepared for the first picture, asked for the second: the second's own fit.
  ahead.preparePicture(first.view());
  EXPECT_EQ(ahead.refine(mask.view(), second.view()).pixels, expectedSecond.pixels);
  // Used once: the first picture's pixels replaced by the second's at the same place are fitted anew.
  ahead.preparePicture(first.view());
  EXPECT_EQ(ahead.refine(mask.view(), first.view()).pixels, expectedFirst.pixels);
  first.pixels = second.pixels;
  EXPECT_EQ(ahead.refine(mask.view(), first.view()).pixels, expectedSecond.pixels);
}

}  // namespace
}  // namespace kov
