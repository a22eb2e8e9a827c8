#include "faces/measures.h"

#include <algorithm>
#include <cmath>

namespace kov {
namespace {

struct Extent {
  double width = 0;
  double height = 0;
};

std::optional<Extent> innerLipExtent(const FaceObservation& face) {
  if (!face.hasLandmarks || face.innerLips.size() < 4) return std::nullopt;
  auto [minX, maxX] = std::minmax_element(face.innerLips.begin(), face.innerLips.end(),
                                          [](const PointF& a, const PointF& b) { return a.x < b.x; });
  auto [minY, maxY] = std::minmax_element(face.innerLips.begin(), face.innerLips.end(),
                                          [](const PointF& a, const PointF& b) { return a.y < b.y; });
  return Extent{maxX->x - minX->x, maxY->y - minY->y};
}

constexpr std::pair<double, double> kWholeHeight{0.0, 1.0};

int truncatedWithin(double value, int low, int high) {
  return static_cast<int>(std::clamp(value, static_cast<double>(low), static_cast<double>(high)));
}

// Samples every third pixel of the strip's row; dark when the mean is below 36.
bool isDarkRow(const GreyView& luma, int row, int x0, int x1) {
  long sum = 0;
  long count = 0;
  for (int x = x0; x < x1; x += 3) {
    sum += luma.at(x, row);
    ++count;
  }
  return sum < 36 * count;
}

}  // namespace

double mouthOpenness(const FaceObservation& face) {
  const auto lips = innerLipExtent(face);
  if (!lips || lips->width <= 0.0001) return 0;
  return std::min(lips->height / lips->width, 2.0);
}

double lipGap(const FaceObservation& face) {
  const auto lips = innerLipExtent(face);
  if (!lips) return 0;
  return std::min(lips->height, 0.5);
}

std::pair<double, double> pictureBand(const GreyView& luma, const NormBox& face) {
  if (luma.data == nullptr || luma.width <= 0 || luma.height <= 0) return kWholeHeight;
  const int width = luma.width;
  const int height = luma.height;
  if (!std::isfinite(face.midX()) || !std::isfinite(face.midY())) return kWholeHeight;
  // Clamped before the conversion to int (which truncates toward zero) so that boxes far outside
  // the frame stay within range; the result is the same as clamping afterwards.
  const int x0 = truncatedWithin((face.midX() - 0.12) * width, 0, width);
  const int x1 = truncatedWithin((face.midX() + 0.12) * width, 0, width);
  if (x1 - x0 < 9) return kWholeHeight;
  const int startRow = truncatedWithin(face.midY() * height, 0, height - 1);
  const int run = height >= 84 ? height / 28 : 3;

  int topRow = 0;
  for (int row = startRow, dark = 0; row >= 0; --row) {
    dark = isDarkRow(luma, row, x0, x1) ? dark + 1 : 0;
    if (dark >= run) {
      topRow = row + run;
      break;
    }
  }
  int bottomRow = height;
  for (int row = startRow, dark = 0; row < height; ++row) {
    dark = isDarkRow(luma, row, x0, x1) ? dark + 1 : 0;
    if (dark >= run) {
      bottomRow = row - run + 1;
      break;
    }
  }
  if (topRow >= bottomRow) return kWholeHeight;
  return {static_cast<double>(topRow) / height, static_cast<double>(bottomRow) / height};
}

NormBox printRegion(const NormBox& face) {
  return {face.x - 0.5 * face.w, face.y - 0.3 * face.h, 2 * face.w, 2.2 * face.h};
}

std::optional<std::vector<float>> poolPrint(const std::vector<float>& raw, int size) {
  if (size <= 0 || raw.size() < static_cast<size_t>(size)) return std::nullopt;
  const size_t chunk = raw.size() / static_cast<size_t>(size);
  std::vector<float> values(static_cast<size_t>(size));
  for (size_t i = 0; i < values.size(); ++i) {
    float sum = 0;
    for (size_t k = i * chunk; k < i * chunk + chunk; ++k) sum += raw[k];
    values[i] = sum / static_cast<float>(chunk);
  }
  float total = 0;
  for (float v : values) total += v;
  const float mean = total / static_cast<float>(size);
  float squares = 0;
  for (float& v : values) {
    v -= mean;
    squares += v * v;
  }
  if (!(squares > 0)) return std::nullopt;
  const float length = std::sqrt(squares);
  for (float& v : values) v = std::round(v / length * 1000.0f) / 1000.0f;
  return values;
}

std::optional<std::vector<float>> facePrint(FrameRequests& requests, const NormBox& face, int size) {
  const NormBox region = printRegion(face);
  const double x0 = std::max(region.x, 0.0);
  const double y0 = std::max(region.y, 0.0);
  const double x1 = std::min(region.maxX(), 1.0);
  const double y1 = std::min(region.maxY(), 1.0);
  if (!(x1 - x0 > 0.01) || !(y1 - y0 > 0.01)) return std::nullopt;
  const auto raw = requests.featurePrint({x0, y0, x1 - x0, y1 - y0});
  if (!raw) return std::nullopt;
  return poolPrint(*raw, size);
}

}  // namespace kov
