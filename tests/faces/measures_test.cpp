#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "faces/measures.h"

namespace kov {
namespace {

FaceObservation faceWithLips(std::vector<PointF> lips) {
  FaceObservation face;
  face.hasLandmarks = true;
  face.innerLips = std::move(lips);
  return face;
}

TEST(MouthMeasures, GuardsAndCaps) {
  FaceObservation none;
  EXPECT_EQ(mouthOpenness(none), 0);
  EXPECT_EQ(lipGap(none), 0);

  // Landmarks present but only three inner-lip points.
  const FaceObservation three = faceWithLips({{0.4, 0.3}, {0.5, 0.35}, {0.6, 0.3}});
  EXPECT_EQ(mouthOpenness(three), 0);
  EXPECT_EQ(lipGap(three), 0);

  // Points present but flagged as without landmarks.
  FaceObservation unflagged = faceWithLips({{0.4, 0.3}, {0.5, 0.4}, {0.6, 0.3}, {0.5, 0.2}});
  unflagged.hasLandmarks = false;
  EXPECT_EQ(mouthOpenness(unflagged), 0);
  EXPECT_EQ(lipGap(unflagged), 0);

  // A closed mouth: all points on one line.
  const FaceObservation closed = faceWithLips({{0.4, 0.3}, {0.45, 0.3}, {0.55, 0.3}, {0.6, 0.3}});
  EXPECT_EQ(mouthOpenness(closed), 0);
  EXPECT_EQ(lipGap(closed), 0);

  // 0.3 high and 0.1 wide: openness 3 capped at 2, gap 0.3.
  const FaceObservation wide = faceWithLips({{0.45, 0.1}, {0.55, 0.1}, {0.5, 0.4}, {0.5, 0.25}});
  EXPECT_EQ(mouthOpenness(wide), 2);
  EXPECT_NEAR(lipGap(wide), 0.3, 1e-12);

  // 0.7 high: gap capped at 0.5.
  const FaceObservation tall = faceWithLips({{0.3, 0.0}, {0.7, 0.0}, {0.5, 0.7}, {0.5, 0.3}});
  EXPECT_EQ(lipGap(tall), 0.5);
  EXPECT_NEAR(mouthOpenness(tall), 0.7 / 0.4, 1e-12);

  // Width at most 0.0001: openness 0, while the gap is still measured.
  const FaceObservation narrow = faceWithLips({{0.5, 0.1}, {0.50005, 0.2}, {0.5, 0.3}, {0.5, 0.2}});
  EXPECT_EQ(mouthOpenness(narrow), 0);
  EXPECT_NEAR(lipGap(narrow), 0.2, 1e-12);

  // An ordinary open mouth: height over width.
  const FaceObservation open = faceWithLips({{0.3, 0.3}, {0.5, 0.35}, {0.7, 0.3}, {0.5, 0.25}});
  EXPECT_NEAR(mouthOpenness(open), 0.1 / 0.4, 1e-12);
  EXPECT_NEAR(lipGap(open), 0.1, 1e-12);
}

// A luma plane with rows [0, barTop) and [barBottom, height) at `dark`, the rest at `light`.
struct Plane {
  int width, height, stride;
  std::vector<std::uint8_t> bytes;
  Plane(int w, int h, int padding = 7) : width(w), height(h), stride(w + padding), bytes(static_cast<size_t>(stride) * h, 120) {}
  void fillRows(int from, int to, std::uint8_t value) {
    for (int y = from; y < to; ++y) std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(y) * stride, width, value);
  }
  GreyView view() const { return {bytes.data(), width, height, stride}; }
};

NormBox faceAt(double midX, double midY, double size = 0.1) { return {midX - size / 2, midY - size / 2, size, size}; }

TEST(PictureBand, FindsLetterboxBarsExactly) {
  Plane plane(640, 360);
  EXPECT_EQ(pictureBand(plane.view(), faceAt(0.5, 0.5)), (std::pair<double, double>{0.0, 1.0}));

  // Bars over the top and bottom eighth (45 rows each); the run length is 360 / 28 = 12 rows.
  plane.fillRows(0, 45, 16);
  plane.fillRows(315, 360, 16);
  auto band = pictureBand(plane.view(), faceAt(0.5, 0.5));
  EXPECT_EQ(band.first, 45.0 / 360);
  EXPECT_EQ(band.second, 315.0 / 360);

  // A face near the left edge uses a strip clipped at column 0 and finds the same bars.
  band = pictureBand(plane.view(), faceAt(0.02, 0.6));
  EXPECT_EQ(band.first, 45.0 / 360);
  EXPECT_EQ(band.second, 315.0 / 360);

  // A dark band shorter than the run length is not a bar.
  Plane thin(640, 360);
  thin.fillRows(0, 11, 0);
  thin.fillRows(349, 360, 0);
  EXPECT_EQ(pictureBand(thin.view(), faceAt(0.5, 0.5)), (std::pair<double, double>{0.0, 1.0}));

  // Luma exactly at the limit of 36 is not dark; 35 is.
  Plane limit(640, 360);
  limit.fillRows(0, 45, 36);
  limit.fillRows(315, 360, 35);
  band = pictureBand(limit.view(), faceAt(0.5, 0.5));
  EXPECT_EQ(band.first, 0.0);
  EXPECT_EQ(band.second, 315.0 / 360);
}

TEST(PictureBand, ScansFromTheFaceCentreAndHandlesSmallAndUnreadablePlanes) {
  // A dark stripe inside the picture above the face's centre is found as the top bar.
  Plane plane(640, 360);
  plane.fillRows(100, 130, 10);
  auto band = pictureBand(plane.view(), faceAt(0.5, 200.0 / 360));
  EXPECT_EQ(band.first, 130.0 / 360);
  EXPECT_EQ(band.second, 1.0);
  // A face centre inside a dark band: both scans stop within it, top >= bottom gives the whole height.
  band = pictureBand(plane.view(), faceAt(0.5, 115.0 / 360));
  EXPECT_EQ(band, (std::pair<double, double>{0.0, 1.0}));

  // Below 84 rows the run length is 3.
  Plane small(320, 60);
  small.fillRows(0, 3, 0);
  small.fillRows(57, 60, 0);
  band = pictureBand(small.view(), faceAt(0.5, 0.5));
  EXPECT_EQ(band.first, 3.0 / 60);
  EXPECT_EQ(band.second, 57.0 / 60);

  // A strip narrower than 9 pixels: columns 11 to 18 of a 30-column plane.
  Plane narrow(30, 100);
  narrow.fillRows(0, 20, 0);
  EXPECT_EQ(pictureBand(narrow.view(), faceAt(0.5, 0.5)), (std::pair<double, double>{0.0, 1.0}));

  EXPECT_EQ(pictureBand(GreyView{}, faceAt(0.5, 0.5)), (std::pair<double, double>{0.0, 1.0}));
  // A box far outside the frame or not a number never reads outside the plane.
  EXPECT_EQ(pictureBand(plane.view(), faceAt(1e12, -1e12)), (std::pair<double, double>{0.0, 1.0}));
  EXPECT_EQ(pictureBand(plane.view(), faceAt(NAN, 0.5)), (std::pair<double, double>{0.0, 1.0}));
}

TEST(PrintPooling, PoolsCentresScalesAndRoundsInSinglePrecision) {
  // 768 elements, size 64: each value the mean of 12 consecutive elements.
  std::vector<float> raw(768);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<float>(i / 12 % 2);  // 0,1,0,1 per chunk
  auto pooled = poolPrint(raw, 64);
  ASSERT_TRUE(pooled);
  ASSERT_EQ(pooled->size(), 64u);
  // Centred: -0.5 and +0.5; length sqrt(64 * 0.25) = 4; elements -0.125 and 0.125.
  for (size_t i = 0; i < 64; ++i) EXPECT_EQ((*pooled)[i], i % 2 ? 0.125f : -0.125f);

  // 767 elements and size 64 give chunks of 11; the last 63 elements are ignored.
  std::vector<float> uneven(767, 0.0f);
  for (size_t i = 0; i < 11; ++i) uneven[i] = 1.0f;
  for (size_t i = 704; i < 767; ++i) uneven[i] = 100.0f;
  pooled = poolPrint(uneven, 64);
  ASSERT_TRUE(pooled);
  // pooled = (1, 0, ..., 0): centred 63/64 and -1/64; length sqrt(63)/8.
  const float length = std::sqrt((63.0f / 64) * (63.0f / 64) + 63 * (1.0f / 64) * (1.0f / 64));
  EXPECT_EQ((*pooled)[0], std::round((63.0f / 64) / length * 1000.0f) / 1000.0f);
  EXPECT_EQ((*pooled)[0], 0.992f);
  EXPECT_EQ((*pooled)[63], -0.016f);

  // Negative elements round symmetrically to positive ones.
  std::vector<float> halves = {0.0625f, -0.0625f, 0, 0};
  pooled = poolPrint(halves, 4);
  ASSERT_TRUE(pooled);
  EXPECT_EQ((*pooled)[0], 0.707f);
  EXPECT_EQ((*pooled)[1], -0.707f);

  EXPECT_FALSE(poolPrint(std::vector<float>(63, 1.0f), 64));  // fewer elements than the size
  EXPECT_FALSE(poolPrint(std::vector<float>(768, 0.5f), 64));  // no spread: zero length
}

class RecordingRequests : public FrameRequests {
 public:
  std::vector<NormBox> regions;
  std::optional<std::vector<float>> answer;
  GreyView luma() const override { return {}; }
  std::vector<FaceObservation> faceLandmarks() override { return {}; }
  std::optional<std::vector<float>> featurePrint(const NormBox& region) override {
    regions.push_back(region);
    return answer;
  }
  std::vector<SalientObject> salientObjects() override { return {}; }
  std::vector<TextObservation> recognizeText(float) override { return {}; }
};

TEST(FacePrint, AsksForTheClippedRegionAndPoolsTheAnswer) {
  RecordingRequests requests;
  std::vector<float> raw(768);
  std::iota(raw.begin(), raw.end(), 0.0f);
  requests.answer = raw;

  // Region of a face at (0.4, 0.28, 0.1, 0.2): (0.35, 0.22, 0.2, 0.44), inside the frame.
  auto print = facePrint(requests, {0.4, 0.28, 0.1, 0.2}, 64);
  ASSERT_TRUE(print);
  EXPECT_EQ(print->size(), 64u);
  double squares = 0;
  for (float v : *print) squares += v * v;
  EXPECT_NEAR(squares, 1.0, 0.01);
  ASSERT_EQ(requests.regions.size(), 1u);
  EXPECT_NEAR(requests.regions[0].x, 0.35, 1e-12);
  EXPECT_NEAR(requests.regions[0].y, 0.22, 1e-12);
  EXPECT_NEAR(requests.regions[0].w, 0.2, 1e-12);
  EXPECT_NEAR(requests.regions[0].h, 0.44, 1e-12);

  // A face near the top-left: its region reaches beyond the frame and is clipped.
  print = facePrint(requests, {0.02, 0.03, 0.1, 0.12}, 16);
  ASSERT_TRUE(print);
  EXPECT_EQ(print->size(), 16u);
  const NormBox& clipped = requests.regions.back();
  EXPECT_EQ(clipped.x, 0.0);
  EXPECT_NEAR(clipped.w, 0.02 + 0.15, 1e-12);
  EXPECT_EQ(clipped.y, 0.0);
  EXPECT_NEAR(clipped.maxY(), 0.03 - 0.036 + 0.264, 1e-12);

  // Nothing left inside the unit square, or a sliver of at most 0.01: no request at all.
  const size_t asked = requests.regions.size();
  EXPECT_FALSE(facePrint(requests, {1.5, 0.4, 0.1, 0.1}, 64));
  EXPECT_FALSE(facePrint(requests, {1.045, 0.4, 0.1, 0.1}, 64));  // region starts at 0.995
  EXPECT_EQ(requests.regions.size(), asked);

  // A failed request or a too-short vector gives no print.
  requests.answer.reset();
  EXPECT_FALSE(facePrint(requests, {0.4, 0.4, 0.1, 0.2}, 64));
  requests.answer = std::vector<float>(32, 1.0f);
  EXPECT_FALSE(facePrint(requests, {0.4, 0.4, 0.1, 0.2}, 64));
}

}  // namespace
}  // namespace kov
