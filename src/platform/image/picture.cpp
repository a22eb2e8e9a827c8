#include "platform/image/picture.h"

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
  for (int y = 0; y < picture.height; ++y) {
    const std::uint8_t* source = picture.data + static_cast<std::ptrdiff_t>(y) * picture.stride;
    const std::uint8_t* weights = mask.data + static_cast<std::ptrdiff_t>(y) * mask.stride;
    std::uint8_t* out = result.pixels.data() + static_cast<std::size_t>(y) * picture.width * 4;
    for (int x = 0; x < picture.width; ++x, source += 4, out += 4) {
      std::uint8_t alpha = static_cast<std::uint8_t>((source[3] * weights[x] + 127) / 255);
      // A fully transparent pixel carries no colour (as a blend in premultiplied form gives it),
      // which also lets the PNG compress the cut-away background to almost nothing.
      std::uint8_t keep = alpha ? 0xff : 0;
      out[0] = source[0] & keep;
      out[1] = source[1] & keep;
      out[2] = source[2] & keep;
      out[3] = alpha;
    }
  }
  return result;
}

void drawMaskAsGrey(const GreyView& mask, BgraImage& frame) {
  cv::Mat grey;
  cv::resize(wrap(mask), grey, cv::Size(frame.width, frame.height), 0, 0, cv::INTER_LINEAR);
  cv::Mat target = wrap(frame);
  cv::cvtColor(grey, target, cv::COLOR_GRAY2BGRA);
}

}  // namespace kov
