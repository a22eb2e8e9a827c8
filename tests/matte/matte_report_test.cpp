// maskBox on hand-made masks, the union of boxes and the report's JSON.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "matte/matte_report.h"

namespace kov {
namespace {

struct Mask {
  int width, height;
  std::ptrdiff_t stride;
  std::vector<std::uint8_t> bytes;

  Mask(int w, int h, std::ptrdiff_t s = 0, std::uint8_t fill = 0)
      : width(w), height(h), stride(s ? s : w), bytes(static_cast<std::size_t>(std::max<std::ptrdiff_t>(stride * h, 1)), fill) {}
  void set(int x, int y, std::uint8_t v) { bytes[static_cast<std::size_t>(y * stride + x)] = v; }
  void fill(int x0, int x1, int y0, int y1, std::uint8_t v) {
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) set(x, y, v);
  }
  GreyView view() const { return {bytes.data(), width, height, stride}; }
};

void expectBox(const std::optional<MatteBox>& box, double x, double y, double w, double h) {
  ASSERT_TRUE(box);
  EXPECT_EQ(box->x, x);
  EXPECT_EQ(box->y, y);
  EXPECT_EQ(box->w, w);
  EXPECT_EQ(box->h, h);
}

TEST(MaskBox, MeasuresEvenPositionsWithThreeDecimals) {
  Mask m(100, 50);
  m.fill(10, 19, 20, 29, 200);
  expectBox(maskBox(m.view()), 0.1, 0.4, 0.09, 0.18);  // examined columns 10..18, rows 20..28

  // Only odd rows or odd columns: nothing examined is foreground.
  Mask odd(20, 20);
  for (int i = 0; i < 20; ++i) {
    odd.set(i, 5, 255);
    odd.set(7, i, 255);
  }
  EXPECT_FALSE(maskBox(odd.view()));

  // 128 counts as person, 127 does not.
  Mask threshold(10, 10);
  threshold.set(4, 6, 127);
  EXPECT_FALSE(maskBox(threshold.view()));
  threshold.set(4, 6, 128);
  expectBox(maskBox(threshold.view()), 0.4, 0.6, 0.1, 0.1);

  // Full masks: even width 512 reaches 511/512, an odd width the whole way.
  expectBox(maskBox(Mask(512, 5, 0, 255).view()), 0, 0, 0.998, 1);
  expectBox(maskBox(Mask(512, 4, 0, 255).view()), 0, 0, 0.998, 0.75);  // rows 0 and 2 of 4
  expectBox(maskBox(Mask(511, 3, 0, 255).view()), 0, 0, 1, 1);

  // Halves round away from zero: 2 / 4000 = 0.0005 -> 0.001.
  Mask wide(4000, 2);
  wide.set(2, 0, 255);
  expectBox(maskBox(wide.view()), 0.001, 0, 0.0, 0.5);
}

TEST(MaskBox, RowStrideAndEmptyMasks) {
  Mask tight(30, 20);
  tight.fill(4, 13, 6, 11, 255);
  Mask padded(30, 20, 48);
  padded.fill(4, 13, 6, 11, 255);
  for (int y = 0; y < 20; ++y)
    for (int x = 30; x < 48; ++x) padded.set(x, y, 255);  // bytes past the width never count
  auto a = maskBox(tight.view()), b = maskBox(padded.view());
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->x, b->x);
  EXPECT_EQ(a->y, b->y);
  EXPECT_EQ(a->w, b->w);
  EXPECT_EQ(a->h, b->h);

  EXPECT_FALSE(maskBox(GreyView{nullptr, 10, 10, 10}));
  Mask noRows(10, 0);
  EXPECT_FALSE(maskBox(noRows.view()));
  Mask noColumns(0, 4, 4, 255);
  EXPECT_FALSE(maskBox(noColumns.view()));
  EXPECT_FALSE(maskBox(Mask(16, 16).view()));
}

TEST(MatteReport, UnionIsNotRoundedAgainAndJsonLeavesOutMissingBoxes) {
  MatteBox u = unionOf({0.1, 0.2, 0.2, 0.5}, {0.3, 0.1, 0.1, 0.4});
  EXPECT_EQ(u.x, 0.1);
  EXPECT_EQ(u.y, 0.1);
  EXPECT_EQ(u.w, 0.30000000000000004);
  EXPECT_EQ(u.h, 0.6);

  MatteReport report;
  report.width = 1280;
  report.height = 720;
  report.fps = static_cast<double>(29.97f);
  report.frames = 3;
  report.box = u;
  report.sampled = {{0, MatteBox{0.1, 0.2, 0.2, 0.5}}, {0.52, std::nullopt}};
  report.out = "/tmp/a b/m.mp4";
  EXPECT_EQ(encodeReport(report),
            "{\"width\":1280,\"height\":720,\"fps\":29.969999313354492,\"frames\":3,"
            "\"box\":{\"x\":0.1,\"y\":0.1,\"w\":0.30000000000000004,\"h\":0.6},"
            "\"sampled\":[{\"t\":0,\"box\":{\"x\":0.1,\"y\":0.2,\"w\":0.2,\"h\":0.5}},{\"t\":0.52}],"
            "\"out\":\"\\/tmp\\/a b\\/m.mp4\"}");

  MatteReport picture;
  picture.width = 1;
  picture.height = 1;
  picture.frames = 1;
  picture.out = "/x.png";
  EXPECT_EQ(encodeReport(picture),
            "{\"width\":1,\"height\":1,\"fps\":0,\"frames\":1,\"sampled\":[],\"out\":\"\\/x.png\"}");
  picture.fps = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(encodeReport(picture), "");
}

}  // namespace
}  // namespace kov
