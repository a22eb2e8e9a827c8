#include "platform/vision/text_detector.h"

#include <algorithm>
#include <cmath>
#include <malloc.h>

#include <opencv2/imgproc.hpp>

#include "platform/neural/model_error.h"

namespace kov {
namespace {

// The detector's training settings: pixels above kPixelThreshold belong to a line, a line is kept
// when its mean probability reaches kLineThreshold, and lines were shrunk for training by an
// offset that kUnclipRatio x area / perimeter undoes.
constexpr float kPixelThreshold = 0.3f;
constexpr double kLineThreshold = 0.6;
constexpr double kUnclipRatio = 1.5;
// Regions thinner than this (map pixels) are specks.
constexpr int kThinnest = 2;

// The normalisation the model was trained with, applied to the channels in B, G, R order.
constexpr float kMean[3] = {0.485f, 0.456f, 0.406f};
constexpr float kDeviation[3] = {0.229f, 0.224f, 0.225f};

// The model's input value of each byte value of each channel, worked out once: a table look-up
// instead of two divisions for each of the 675,840 values of a 640x352 picture.
struct NormalisedValues {
  float of[3][256];
  NormalisedValues() {
    for (int c = 0; c < 3; ++c)
      for (int v = 0; v < 256; ++v) of[c][v] = (static_cast<float>(v) / 255.0f - kMean[c]) / kDeviation[c];
  }
};

int roundTo32(double extent) { return std::max(32, static_cast<int>(std::lround(extent / 32.0)) * 32); }

}  // namespace

std::vector<FoundLine> linesFromProbability(const cv::Mat& probability) {
  std::vector<FoundLine> lines;
  if (probability.empty() || probability.type() != CV_32F) return lines;
  cv::Mat inside = probability > kPixelThreshold;
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(inside, labels, stats, centroids, 8, CV_32S);
  for (int i = 1; i < count; ++i) {
    const cv::Rect box(stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                       stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT));
    if (std::min(box.width, box.height) < kThinnest) continue;
    const double score = cv::mean(probability(box), labels(box) == i)[0];
    if (score < kLineThreshold) continue;
    const double area = stats.at<int>(i, cv::CC_STAT_AREA);
    const double grow = area * kUnclipRatio / (2.0 * (box.width + box.height));
    lines.push_back({cv::Rect2d(box.x - grow, box.y - grow, box.width + 2 * grow, box.height + 2 * grow),
                     static_cast<float>(score)});
  }
  std::sort(lines.begin(), lines.end(), [](const FoundLine& a, const FoundLine& b) {
    return a.box.y != b.box.y ? a.box.y < b.box.y : a.box.x < b.box.x;
  });
  return lines;
}

TextLineFinder::TextLineFinder(std::span<const std::uint8_t> model, std::string name, cv::Size expected, int searchWidth,
                               std::shared_ptr<WorkerPool> workers)
    : name_(std::move(name)), graph_(model, name_), workers_(std::move(workers)) {
  if (!workers_) workers_ = std::make_shared<WorkerPool>(inferenceThreads());
  const cv::Size input = searchSize(expected, searchWidth);
  GraphRunner& planned = runnerFor(input);
  const Dims in = planned.inputDims(), out = planned.outputDims();
  if (planned.inputCount() != 1 || planned.outputCount() != 1 || in.c != 3 || out.h != in.h || out.w != in.w || out.c != 1 ||
      in.h != input.height || in.w != input.width)
    throw ModelError(name_ + ": not a text detector (one colour picture in, one probability map of its size out)");
}

TextLineFinder::~TextLineFinder() = default;

cv::Size TextLineFinder::searchSize(cv::Size size, int searchWidth) {
  const int width = roundTo32(std::min(searchWidth, size.width));
  return {width, roundTo32(static_cast<double>(size.height) * width / size.width)};
}

GraphRunner& TextLineFinder::runnerFor(cv::Size input) {
  if (runner_ && plannedSize_ == input) return *runner_;
  runner_.reset();
  runner_ = std::make_unique<GraphRunner>(graph_.read(input.height, input.width), workers_);
  plannedSize_ = input;
  // Reading and planning leave tens of megabytes of freed temporaries that the allocator would
  // otherwise keep for the rest of the run.
  malloc_trim(0);
  return *runner_;
}

std::vector<FoundLine> TextLineFinder::find(const cv::Mat& bgr, int searchWidth) {
  if (bgr.empty() || bgr.type() != CV_8UC3 || searchWidth < 32) return {};
  const cv::Size input = searchSize(bgr.size(), searchWidth);
  const int width = input.width, height = input.height;
  GraphRunner& runner = runnerFor(input);
  cv::Mat resized;
  cv::resize(bgr, resized, input, 0, 0, cv::INTER_AREA);
  static const NormalisedValues normalised;
  float* data = runner.input();
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* row = resized.ptr<std::uint8_t>(y);
    for (int x = 0; x < width; ++x, row += 3, data += 3)
      for (int c = 0; c < 3; ++c) data[c] = normalised.of[c][row[c]];
  }
  const cv::Mat probability(height, width, CV_32F, const_cast<float*>(runner.run()));
  std::vector<FoundLine> lines = linesFromProbability(probability);
  const double sx = static_cast<double>(bgr.cols) / width, sy = static_cast<double>(bgr.rows) / height;
  for (FoundLine& line : lines)
    line.box = cv::Rect2d(line.box.x * sx, line.box.y * sy, line.box.width * sx, line.box.height * sy);
  return lines;
}

}  // namespace kov
