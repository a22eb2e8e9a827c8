#include "platform/image/picture.h"

#include <cstring>
#include <opencv2/imgproc.hpp>

namespace kov {
namespace {

cv::Mat wrap(const GreyView& view) {
  return cv::Mat(view.height, view.width, CV_8UC1, const_cast<std::uint8_t*>(view.data),
                 static_cast<std::size_t>(view.stride));
}

cv::Mat wrap(GreyImage& image) { return cv::Mat(image.height, image.width, CV_8UC1, image.pixels.data()); }
cv::Mat wrap(BgraImage& image) { return cv::Mat(image.height, image.width, CV_8UC4, image.pixels.data()); }

GreyImage greyImage(int width, int height) {
  GreyImage image;
  image.width = width;
  image.height = height;
  image.pixels.resize(static_cast<std::size_t>(width) * height);
  return image;
}

// One row of the cut-out, its colours in BGRA or (for PNG) RGBA order. Whole pixels are handled as
// 32-bit words (little-endian: blue in the low byte) so that the loop vectorises.
template <bool Rgba>
void cutOutRow(const std::uint8_t* __restrict source, const std::uint8_t* __restrict weights, int width,
               std::uint8_t* __restrict out) {
  for (int x = 0; x < width; ++x) {
    std::uint32_t pixel;
    std::memcpy(&pixel, source + 4 * x, 4);
    // alpha = round(source alpha x mask / 255); (v + 1 + (v >> 8)) >> 8 is v / 255 for v below 65536.
    const std::uint32_t v = (pixel >> 24) * weights[x] + 127;
    const std::uint32_t alpha = (v + 1 + (v >> 8)) >> 8;
    std::uint32_t colour = pixel & 0x00ffffffu;
    if constexpr (Rgba) colour = ((colour & 0xffu) << 16) | (colour & 0xff00u) | (colour >> 16);
    // A fully transparent pixel carries no colour (as a blend in premultiplied form gives it),
    // which also lets the PNG compress the cut-away background to almost nothing.
    const std::uint32_t result = alpha ? (colour | (alpha << 24)) : 0u;
    std::memcpy(out + 4 * x, &result, 4);
  }
}

}  // namespace

GreyImage scaleMask(const GreyView& mask, int width, int height) {
  GreyImage scaled = greyImage(width, height);
  cv::Mat target = wrap(scaled);
  cv::resize(wrap(mask), target, target.size(), 0, 0, cv::INTER_LINEAR);
  return scaled;
}

void blurMask(GreyImage& mask, double sigma) {
  cv::Mat m = wrap(mask);
  cv::GaussianBlur(m, m, cv::Size(), sigma, sigma, cv::BORDER_REPLICATE);
}

BgraImage cutOut(const BgraView& picture, const GreyView& mask) {
  BgraImage result = blankBgraImage(picture.width, picture.height);
  for (int y = 0; y < picture.height; ++y)
    cutOutRow<false>(picture.data + static_cast<std::ptrdiff_t>(y) * picture.stride,
                     mask.data + static_cast<std::ptrdiff_t>(y) * mask.stride, picture.width,
                     result.pixels.data() + static_cast<std::size_t>(y) * picture.width * 4);
  return result;
}

std::string encodeCutOutPng(const BgraView& picture, const GreyView& mask) {
  if (!picture.data || !mask.data || mask.width != picture.width || mask.height != picture.height) return {};
  return encodePng(picture.width, picture.height, [&](int y, std::uint8_t* rgba) {
    cutOutRow<true>(picture.data + static_cast<std::ptrdiff_t>(y) * picture.stride,
                    mask.data + static_cast<std::ptrdiff_t>(y) * mask.stride, picture.width, rgba);
  });
}

void drawMaskAsGrey(const GreyView& mask, BgraImage& frame) {
  cv::Mat grey;
  cv::resize(wrap(mask), grey, cv::Size(frame.width, frame.height), 0, 0, cv::INTER_LINEAR);
  cv::Mat target = wrap(frame);
  cv::cvtColor(grey, target, cv::COLOR_GRAY2BGRA);
}

}  // namespace kov
