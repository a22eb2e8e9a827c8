#include "platform/segment/box_means.h"

#include <algorithm>

#include "platform/neural/vector8.h"

namespace kov {
namespace {

void mirroredPositions(int length, int radius, std::vector<int>& positions) {
  positions.resize(static_cast<std::size_t>(length + 2 * radius));
  for (int i = 0; i < length + 2 * radius; ++i)
    positions[static_cast<std::size_t>(i)] = cv::borderInterpolate(i - radius, length, cv::BORDER_REFLECT);
}

inline void addPairs(const float* __restrict a, const float* __restrict b, float* __restrict sum, int count) {
  for (int x = 0; x < count; ++x) sum[x] = a[x] + b[x];
}

inline void addInto(float* __restrict sum, const float* __restrict b, int count) {
  for (int x = 0; x < count; ++x) sum[x] += b[x];
}

constexpr int kBlockRows = 16;  // rows summed together: their sums stay in the first-level cache

// Where the rows and columns of the window lie, and room for the sums.
struct WindowLayout {
  int width, height, radius;
  const int* mirroredRows;     // height + 2 radius entries
  const int* mirroredColumns;  // width + 2 radius entries
  float* columnSums;           // width
  float* spans[2];             // kBlockRows (width + 2 radius) each
  float* windowSums;           // kBlockRows (width + 2 radius)
};

// The window sums of each row of window sums of columns. The column sums run down the plane (each
// row adds the row entering the window and takes off the one leaving it) and are laid out for a
// block of rows, row after row with mirrored margins. The row sums are built from sums of 1, 2, 4,
// 8 ... neighbours, so a window of 17 takes five passes instead of sixteen, each over the whole
// block at once (a quarter quicker than passes along one short row at a time, which read back
// their own fresh stores at odd offsets).
KOV_VECTOR_CLONES void meansOverWindows(const cv::Mat& plane, const WindowLayout& layout, cv::Mat& means) {
  const int width = layout.width, height = layout.height, radius = layout.radius, window = 2 * radius + 1;
  const int paddedWidth = width + 2 * radius;
  const float scale = 1.0f / static_cast<float>(window * window);
  const auto planeRow = [&](int i) { return plane.ptr<float>(layout.mirroredRows[i]); };
  std::fill_n(layout.columnSums, width, 0.0f);
  for (int k = 0; k < window; ++k) addInto(layout.columnSums, planeRow(k), width);
  for (int top = 0; top < height; top += kBlockRows) {
    const int rows = std::min(kBlockRows, height - top), total = rows * paddedWidth;
    float* spans = layout.spans[0];
    for (int y = top; y < top + rows; ++y) {
      float* padded = spans + static_cast<std::ptrdiff_t>(y - top) * paddedWidth;
      std::copy_n(layout.columnSums, width, padded + radius);
      for (int i = 0; i < radius; ++i) {
        padded[i] = layout.columnSums[layout.mirroredColumns[i]];
        padded[width + radius + i] = layout.columnSums[layout.mirroredColumns[width + radius + i]];
      }
      if (y + 1 < height) {
        const float* __restrict entering = planeRow(y + window);
        const float* __restrict leaving = planeRow(y);
        float* __restrict sums = layout.columnSums;
        for (int x = 0; x < width; ++x) sums[x] += entering[x] - leaving[x];
      }
    }
    // Position p of `spans` holds the sum of `span` neighbours from p on; positions near a row's
    // end mix in the next row, but no output reads them.
    float* spare = layout.spans[1];
    float* windowSum = layout.windowSums;
    int gathered = 0;
    for (int span = 1;; span *= 2) {
      if (window & span) {
        if (gathered == 0)
          std::copy_n(spans, total, windowSum);
        else
          addInto(windowSum, spans + gathered, total - gathered);
        gathered += span;
      }
      if (2 * span > window) break;
      addPairs(spans, spans + span, spare, total - span);
      std::swap(spans, spare);
    }
    for (int y = top; y < top + rows; ++y) {
      const float* __restrict sum = windowSum + static_cast<std::ptrdiff_t>(y - top) * paddedWidth;
      float* __restrict out = means.ptr<float>(y);
      for (int x = 0; x < width; ++x) out[x] = sum[x] * scale;
    }
  }
}

}  // namespace

void BoxMeans::compute(const cv::Mat& plane, int radius, cv::Mat& means) {
  CV_Assert(plane.type() == CV_32F && radius >= 0);
  const int width = plane.cols, height = plane.rows;
  mirroredPositions(height, radius, mirroredRows_);
  mirroredPositions(width, radius, mirroredColumns_);
  const std::size_t padded = static_cast<std::size_t>(width + 2 * radius) * kBlockRows;
  columnSums_.resize(static_cast<std::size_t>(width));
  sums_.resize(3 * padded);
  made_.create(height, width, CV_32F);
  meansOverWindows(plane,
                   {width, height, radius, mirroredRows_.data(), mirroredColumns_.data(), columnSums_.data(),
                    {sums_.data(), sums_.data() + padded}, sums_.data() + 2 * padded},
                   made_);
  std::swap(means, made_);
}

}  // namespace kov
