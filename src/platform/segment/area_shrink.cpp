#include "platform/segment/area_shrink.h"

#include <algorithm>
#include <cmath>
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
  const int rowBytes = picture.cols * 4;
  const float scale = 1.0f / static_cast<float>(factorX * factorY);
  for (int y = 0; y < out.rows; ++y) {
    std::fill_n(columnSums, rowBytes, std::uint16_t{0});
    for (int k = 0; k < factorY; ++k) {
      const std::uint8_t* __restrict row = picture.ptr<std::uint8_t>(y * factorY + k);
      for (int i = 0; i < rowBytes; ++i) columnSums[i] = static_cast<std::uint16_t>(columnSums[i] + row[i]);
    }
    std::uint8_t* __restrict target = out.ptr<std::uint8_t>(y);
    const std::uint16_t* block = columnSums;
    for (int x = 0; x < out.cols; ++x) {
      Pixel32 sum = {0, 0, 0, 0};
      for (int j = 0; j < factorX; ++j, block += 4) sum += Pixel32{block[0], block[1], block[2], block[3]};
      const PixelFloat mean = __builtin_convertvector(sum, PixelFloat) * scale;
      for (int c = 0; c < 4; ++c) target[x * 4 + c] = static_cast<std::uint8_t>(static_cast<int>(std::rint(mean[c])));
    }
  }
}

}  // namespace

void shrinkByArea(const cv::Mat& picture, cv::Size size, cv::Mat& out) {
  const bool whole = size.width > 0 && size.height > 0 && picture.cols % size.width == 0 &&
                     picture.rows % size.height == 0;
  const int factorX = whole ? picture.cols / size.width : 0, factorY = whole ? picture.rows / size.height : 0;
  // Column sums of up to 257 rows of bytes fit 16 bits.
  if (picture.type() != CV_8UC4 || !whole || (factorX == 2 && factorY == 2) || factorX * factorY < 2 || factorY > 257) {
    cv::resize(picture, out, size, 0, 0, cv::INTER_AREA);
    return;
  }
  out.create(size, CV_8UC4);
  std::vector<std::uint16_t> columnSums(static_cast<std::size_t>(picture.cols) * 4);
  shrinkWhole(picture, factorX, factorY, out, columnSums.data());
}

}  // namespace kov
