#include "platform/segment/area_shrink.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "platform/neural/vector8.h"

namespace kov {
namespace {

typedef std::uint32_t Pixel32 __attribute__((vector_size(16)));  // one pixel's four channel sums
typedef float PixelFloat __attribute__((vector_size(16)));

// Each output row: the factor's rows summed per byte, then each output pixel's block of those sums,
// times 1 / (block area) and rounded to the nearest (ties to even), as OpenCV rounds.
KOV_VECTOR_CLONES void shrinkWhole(const cv::Mat& picture, int factorX, int factorY, cv::Mat& out,
                                   std::uint16_t* __restrict columnSums) {
  const int channels = picture.channels(), rowBytes = picture.cols * channels;
  const float scale = 1.0f / static_cast<float>(factorX * factorY);
  for (int y = 0; y < out.rows; ++y) {
    std::fill_n(columnSums, rowBytes, std::uint16_t{0});
    for (int k = 0; k < factorY; ++k) {
      const std::uint8_t* __restrict row = picture.ptr<std::uint8_t>(y * factorY + k);
      for (int i = 0; i < rowBytes; ++i) columnSums[i] = static_cast<std::uint16_t>(columnSums[i] + row[i]);
    }
    std::uint8_t* __restrict target = out.ptr<std::uint8_t>(y);
    const std::uint16_t* block = columnSums;
    if (channels == 4) {
      for (int x = 0; x < out.cols; ++x) {
        Pixel32 sum = {0, 0, 0, 0};
        for (int j = 0; j < factorX; ++j, block += 4) sum += Pixel32{block[0], block[1], block[2], block[3]};
        const PixelFloat mean = __builtin_convertvector(sum, PixelFloat) * scale;
        for (int c = 0; c < 4; ++c) target[x * 4 + c] = static_cast<std::uint8_t>(static_cast<int>(std::rint(mean[c])));
      }
    } else {
      for (int x = 0; x < out.cols; ++x) {
        std::uint32_t sum = 0;
        for (int j = 0; j < factorX; ++j) sum += *block++;
        target[x] = static_cast<std::uint8_t>(static_cast<int>(std::rint(static_cast<float>(sum) * scale)));
      }
    }
  }
}

// One source pixel's (or row's) share in one output pixel (or row): output `target`, source
// `source`, weight `weight`, in the order OpenCV's area averaging adds them.
struct Share {
  int target, source;
  float weight;
};

// The shares of an axis of `sourceSize` shrunk to `targetSize` by `scale` source pixels an output
// pixel: the whole pixels inside the output's cell, and the parts of the pixels it cuts at either end.
std::vector<Share> sharesOf(int sourceSize, int targetSize, double scale) {
  std::vector<Share> shares;
  for (int target = 0; target < targetSize; ++target) {
    const double start = target * scale, end = start + scale;
    const double cell = std::min(scale, sourceSize - start);
    int first = static_cast<int>(std::ceil(start)), last = static_cast<int>(std::floor(end));
    last = std::min(last, sourceSize - 1);
    first = std::min(first, last);
    if (first - start > 1e-3) shares.push_back({target, first - 1, static_cast<float>((first - start) / cell)});
    for (int source = first; source < last; ++source) shares.push_back({target, source, static_cast<float>(1.0 / cell)});
    if (end - last > 1e-3)
      shares.push_back({target, last, static_cast<float>(std::min(std::min(end - last, 1.0), cell) / cell)});
  }
  return shares;
}

typedef std::uint8_t PixelBytes __attribute__((vector_size(4)));

// The shares across a row, `perTarget` for every output pixel: outputs with fewer shares get shares
// of weight zero at the end, which leave the sums as they are (0 x a level is +0, and a sum plus +0 is
// the sum), so every output takes the same number of steps and the loop's branches are foreseen.
struct RowShares {
  std::vector<Share> shares;
  int perTarget = 0;
};

RowShares evenedOut(const std::vector<Share>& shares, int targetSize) {
  std::vector<int> counts(static_cast<std::size_t>(targetSize), 0);
  for (const Share& share : shares) ++counts[static_cast<std::size_t>(share.target)];
  RowShares row;
  row.perTarget = *std::max_element(counts.begin(), counts.end());
  row.shares.reserve(static_cast<std::size_t>(row.perTarget) * static_cast<std::size_t>(targetSize));
  std::size_t k = 0;
  for (int target = 0; target < targetSize; ++target) {
    int source = 0;
    for (int i = 0; i < counts[static_cast<std::size_t>(target)]; ++i, ++k) {
      row.shares.push_back(shares[k]);
      source = shares[k].source;
    }
    for (int i = counts[static_cast<std::size_t>(target)]; i < row.perTarget; ++i) row.shares.push_back({target, source, 0.0f});
  }
  return row;
}

// Sums of the shares of a BGRA row into `sums` (four floats an output pixel), each output's shares
// added one after the other from zero as OpenCV adds them, so the sums are the same to the bit (a
// product and a sum, never fused: this function is built for the baseline instruction set).
void sumRow(const std::uint8_t* __restrict row, const RowShares& across, float* __restrict sums, int targetWidth) {
  const Share* __restrict share = across.shares.data();
  const int perTarget = across.perTarget;
  for (int target = 0; target < targetWidth; ++target) {
    PixelFloat sum = {0, 0, 0, 0};
    for (int k = 0; k < perTarget; ++k, ++share) {
      PixelBytes bytes;
      std::memcpy(&bytes, row + 4 * share->source, sizeof bytes);
      sum = sum + __builtin_convertvector(bytes, PixelFloat) * share->weight;
    }
    std::memcpy(sums + 4 * target, &sum, sizeof sum);
  }
}

// OpenCV's area averaging for factors that are not whole: each source row's shares summed across,
// then the rows' shares summed down, rounded to the nearest level. Quicker than OpenCV's own loop,
// which adds one channel of one share at a time and keeps every sum in memory.
void shrinkByShares(const cv::Mat& picture, cv::Mat& out) {
  const double scaleX = 1.0 / (static_cast<double>(out.cols) / picture.cols);
  const double scaleY = 1.0 / (static_cast<double>(out.rows) / picture.rows);
  const RowShares across = evenedOut(sharesOf(picture.cols, out.cols, scaleX), out.cols);
  const std::vector<Share> down = sharesOf(picture.rows, out.rows, scaleY);
  const int width = out.cols * 4;
  std::vector<float> rowSums(static_cast<std::size_t>(width)), sums(static_cast<std::size_t>(width), 0.0f);
  int currentRow = down.front().target;
  for (const Share& share : down) {
    sumRow(picture.ptr<std::uint8_t>(share.source), across, rowSums.data(), out.cols);
    const float weight = share.weight;
    if (share.target != currentRow) {
      std::uint8_t* target = out.ptr<std::uint8_t>(currentRow);
      for (int i = 0; i < width; ++i) {
        target[i] = cv::saturate_cast<std::uint8_t>(sums[static_cast<std::size_t>(i)]);
        sums[static_cast<std::size_t>(i)] = weight * rowSums[static_cast<std::size_t>(i)];
      }
      currentRow = share.target;
    } else {
      for (int i = 0; i < width; ++i) sums[static_cast<std::size_t>(i)] += weight * rowSums[static_cast<std::size_t>(i)];
    }
  }
  std::uint8_t* target = out.ptr<std::uint8_t>(currentRow);
  for (int i = 0; i < width; ++i) target[i] = cv::saturate_cast<std::uint8_t>(sums[static_cast<std::size_t>(i)]);
}

}  // namespace

void shrinkByArea(const cv::Mat& picture, cv::Size size, cv::Mat& out) {
  const bool shrinking = size.width > 0 && size.height > 0 && size.width <= picture.cols && size.height <= picture.rows &&
                         size != picture.size();
  const bool bytes = picture.type() == CV_8UC4 || picture.type() == CV_8UC1;
  if (!bytes || !shrinking) {
    cv::resize(picture, out, size, 0, 0, cv::INTER_AREA);
    return;
  }
  const bool whole = picture.cols % size.width == 0 && picture.rows % size.height == 0;
  const int factorX = picture.cols / size.width, factorY = picture.rows / size.height;
  // OpenCV halves quickly itself; column sums of up to 257 rows of bytes fit 16 bits; shares are
  // summed for four channels only.
  const bool blocks = whole && !(factorX == 2 && factorY == 2) && factorY <= 257;
  if (!blocks && (picture.type() != CV_8UC4 || whole)) {
    cv::resize(picture, out, size, 0, 0, cv::INTER_AREA);
    return;
  }
  cv::Mat made(size, picture.type());
  if (blocks) {
    std::vector<std::uint16_t> columnSums(static_cast<std::size_t>(picture.cols) * static_cast<std::size_t>(picture.channels()));
    shrinkWhole(picture, factorX, factorY, made, columnSums.data());
  } else {
    shrinkByShares(picture, made);
  }
  out = made;
}

}  // namespace kov
