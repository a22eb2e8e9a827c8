#include "platform/vision/feature_print.h"

#include <array>
#include <cmath>

#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

namespace kov {
namespace {

constexpr int kSide = 64;
constexpr int kShapeLength = 576;
constexpr int kColourLength = 128;
constexpr int kTextureLength = 64;
static_assert(kShapeLength + kColourLength + kTextureLength == kFeaturePrintLength);

// Squares add up to 1, so three unit-length parts make a unit-length whole.
constexpr float kShapeWeight = 0.70f;
constexpr float kColourWeight = 0.60f;
const float kTextureWeight = std::sqrt(1.0f - kShapeWeight * kShapeWeight - kColourWeight * kColourWeight);

// Appends `part` centred on its mean and scaled to length `weight`.
void appendScaledToLength(std::vector<float>& out, std::vector<float> part, float weight) {
  double sum = 0;
  for (float v : part) sum += v;
  const float mean = static_cast<float>(sum / static_cast<double>(part.size()));
  double squares = 0;
  for (float& v : part) {
    v -= mean;
    squares += static_cast<double>(v) * v;
  }
  const float factor = squares > 0 ? weight / static_cast<float>(std::sqrt(squares)) : 0.0f;
  for (float v : part) out.push_back(v * factor);
}

// 576 values: 64x64 grey, 16 px cells, 32 px blocks at stride 16, 16 orientation bins. They are
// stored bin by bin (each bin's 36 block-cell values together, blocks row by row), so that the
// means of runs of consecutive values, which shorter prints are pooled from, are orientation
// strengths over parts of the region rather than the flat sum of one cell's bins.
std::vector<float> shapePart(const cv::Mat& grey) {
  static const cv::HOGDescriptor hog(cv::Size(kSide, kSide), cv::Size(32, 32), cv::Size(16, 16), cv::Size(16, 16), 16);
  constexpr int kBins = 16;
  constexpr int kCellSlots = kShapeLength / kBins;
  std::vector<float> cellMajor;
  hog.compute(grey, cellMajor);
  cellMajor.resize(kShapeLength, 0.0f);
  std::vector<float> values(kShapeLength);
  for (int slot = 0; slot < kCellSlots; ++slot) {
    for (int bin = 0; bin < kBins; ++bin) values[bin * kCellSlots + slot] = cellMajor[slot * kBins + bin];
  }
  return values;
}

// 128 values: for a 4x4 grid, the 16 cells' L means, then a means, b means and lightness spreads
// (64), and an 8x8 hue-saturation histogram (64).
std::vector<float> colourPart(const cv::Mat& bgr) {
  std::vector<float> values(64);
  cv::Mat lab;
  cv::cvtColor(bgr, lab, cv::COLOR_BGR2Lab);
  const int cell = kSide / 4;
  for (int index = 0; index < 16; ++index) {
    cv::Scalar mean, spread;
    cv::meanStdDev(lab(cv::Rect(index % 4 * cell, index / 4 * cell, cell, cell)), mean, spread);
    for (int c = 0; c < 3; ++c) values[c * 16 + index] = static_cast<float>(mean[c] / 255.0);
    values[48 + index] = static_cast<float>(spread[0] / 255.0);
  }
  cv::Mat hsv;
  cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
  std::array<float, 64> histogram{};
  for (int y = 0; y < hsv.rows; ++y) {
    const cv::Vec3b* row = hsv.ptr<cv::Vec3b>(y);
    for (int x = 0; x < hsv.cols; ++x) {
      const int hue = row[x][0] * 8 / 180;
      const int saturation = row[x][1] * 8 / 256;
      histogram[std::min(hue, 7) * 8 + saturation] += 1.0f;
    }
  }
  const float pixels = static_cast<float>(hsv.rows * hsv.cols);
  for (float count : histogram) values.push_back(count / pixels);
  return values;
}

// The index of each 8-bit LBP code in a 59-bin uniform histogram (58 uniform codes, 1 for all others).
const std::array<int, 256>& uniformBins() {
  static const std::array<int, 256> bins = [] {
    std::array<int, 256> table{};
    int next = 0;
    for (int code = 0; code < 256; ++code) {
      int transitions = 0;
      for (int bit = 0; bit < 8; ++bit) transitions += ((code >> bit) & 1) != ((code >> ((bit + 1) % 8)) & 1);
      table[code] = transitions <= 2 ? next++ : 58;
    }
    return table;
  }();
  return bins;
}

// 64 values: a uniform-LBP histogram (59) and five global statistics of the grey region.
std::vector<float> texturePart(const cv::Mat& grey) {
  std::vector<float> values(59, 0.0f);
  const auto& bins = uniformBins();
  static const int dx[8] = {-1, 0, 1, 1, 1, 0, -1, -1};
  static const int dy[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
  int samples = 0;
  for (int y = 1; y < grey.rows - 1; ++y) {
    for (int x = 1; x < grey.cols - 1; ++x) {
      const std::uint8_t centre = grey.at<std::uint8_t>(y, x);
      int code = 0;
      for (int k = 0; k < 8; ++k) code |= (grey.at<std::uint8_t>(y + dy[k], x + dx[k]) >= centre) << k;
      values[bins[code]] += 1.0f;
      ++samples;
    }
  }
  for (float& v : values) v /= static_cast<float>(std::max(samples, 1));

  cv::Scalar mean, spread;
  cv::meanStdDev(grey, mean, spread);
  cv::Mat gx, gy, magnitude;
  cv::Sobel(grey, gx, CV_32F, 1, 0);
  cv::Sobel(grey, gy, CV_32F, 0, 1);
  cv::magnitude(gx, gy, magnitude);
  const double meanGradient = cv::mean(magnitude)[0];
  const double edgeShare = cv::countNonZero(magnitude > 100.0) / static_cast<double>(magnitude.total());
  cv::Mat top = grey(cv::Rect(0, 0, kSide, kSide / 2)), bottom = grey(cv::Rect(0, kSide / 2, kSide, kSide / 2));
  const double verticalContrast = (cv::mean(top)[0] - cv::mean(bottom)[0]) / 255.0;
  values.push_back(static_cast<float>(mean[0] / 255.0));
  values.push_back(static_cast<float>(spread[0] / 128.0));
  values.push_back(static_cast<float>(meanGradient / 1020.0));
  values.push_back(static_cast<float>(edgeShare));
  values.push_back(static_cast<float>(verticalContrast));
  return values;
}

}  // namespace

std::optional<std::vector<float>> describeRegion(const cv::Mat& bgr, const cv::Rect2d& region) {
  if (bgr.empty()) return std::nullopt;
  const double x0 = std::max(0.0, std::floor(region.x));
  const double y0 = std::max(0.0, std::floor(region.y));
  const double x1 = std::min<double>(bgr.cols, std::ceil(region.x + region.width));
  const double y1 = std::min<double>(bgr.rows, std::ceil(region.y + region.height));
  if (x1 - x0 < 1 || y1 - y0 < 1) return std::nullopt;
  cv::Mat patch;
  cv::resize(bgr(cv::Rect(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0), static_cast<int>(y1 - y0))),
             patch, cv::Size(kSide, kSide), 0, 0, cv::INTER_AREA);
  cv::Mat grey;
  cv::cvtColor(patch, grey, cv::COLOR_BGR2GRAY);

  std::vector<float> print;
  print.reserve(kFeaturePrintLength);
  appendScaledToLength(print, shapePart(grey), kShapeWeight);
  appendScaledToLength(print, colourPart(patch), kColourWeight);
  appendScaledToLength(print, texturePart(grey), kTextureWeight);
  return print;
}

}  // namespace kov
