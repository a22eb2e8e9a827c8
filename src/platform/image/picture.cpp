#include "platform/image/picture.h"

#include <cstring>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <zlib.h>

namespace kov {
namespace {

cv::Mat wrap(const GreyView& view) {
  return cv::Mat(view.height, view.width, CV_8UC1, const_cast<std::uint8_t*>(view.data),
                 static_cast<std::size_t>(view.stride));
}

cv::Mat wrap(const BgraView& view) {
  return cv::Mat(view.height, view.width, CV_8UC4, const_cast<std::uint8_t*>(view.data),
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

BgraImage bgraImage(int width, int height) {
  BgraImage image;
  image.width = width;
  image.height = height;
  image.pixels.resize(static_cast<std::size_t>(width) * height * 4);
  return image;
}

// Samples of any depth brought to 8 bits: 16-bit by 1/257 (65535 -> 255), floating point as 0..1.
cv::Mat toEightBit(const cv::Mat& decoded) {
  if (decoded.depth() == CV_8U) return decoded;
  cv::Mat result;
  switch (decoded.depth()) {
    case CV_16U: decoded.convertTo(result, CV_8U, 1.0 / 257.0); break;
    case CV_32F:
    case CV_64F: decoded.convertTo(result, CV_8U, 255.0); break;
    default: decoded.convertTo(result, CV_8U); break;
  }
  return result;
}

cv::Mat toBgra(const cv::Mat& eightBit) {
  cv::Mat bgra;
  switch (eightBit.channels()) {
    case 1: cv::cvtColor(eightBit, bgra, cv::COLOR_GRAY2BGRA); break;
    case 2: {  // grey and alpha
      cv::Mat planes[2];
      cv::split(eightBit, planes);
      cv::Mat merged[4] = {planes[0], planes[0], planes[0], planes[1]};
      cv::merge(merged, 4, bgra);
      break;
    }
    case 3: cv::cvtColor(eightBit, bgra, cv::COLOR_BGR2BGRA); break;
    case 4: bgra = eightBit; break;
    default: break;
  }
  return bgra;
}

// The sRGB chunk (rendering intent perceptual), placed right after the IHDR chunk.
void markAsSrgb(std::string& png) {
  constexpr std::size_t kAfterHeader = 8 + 4 + 4 + 13 + 4;  // signature, IHDR length, type, data, CRC
  if (png.size() < kAfterHeader || png.compare(12, 4, "IHDR") != 0) return;
  const unsigned char body[5] = {'s', 'R', 'G', 'B', 0};
  unsigned long crc = crc32(0L, body, sizeof body);
  const char chunk[13] = {0, 0, 0, 1, 's', 'R', 'G', 'B', 0,
                          static_cast<char>((crc >> 24) & 0xff), static_cast<char>((crc >> 16) & 0xff),
                          static_cast<char>((crc >> 8) & 0xff), static_cast<char>(crc & 0xff)};
  png.insert(kAfterHeader, chunk, sizeof chunk);
}

}  // namespace

std::optional<BgraImage> readPicture(const std::string& path) {
  // The decoders' own warnings would break the one-line failure convention of standard error.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  cv::Mat decoded;
  try {
    decoded = cv::imread(path, cv::IMREAD_UNCHANGED | cv::IMREAD_IGNORE_ORIENTATION);
  } catch (const cv::Exception&) {
    return std::nullopt;
  }
  if (decoded.empty() || decoded.dims != 2) return std::nullopt;
  cv::Mat bgra = toBgra(toEightBit(decoded));
  if (bgra.empty()) return std::nullopt;
  BgraImage image = bgraImage(bgra.cols, bgra.rows);
  bgra.copyTo(wrap(image));
  return image;
}

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
  BgraImage result = bgraImage(picture.width, picture.height);
  for (int y = 0; y < picture.height; ++y) {
    const std::uint8_t* source = picture.data + static_cast<std::ptrdiff_t>(y) * picture.stride;
    const std::uint8_t* weights = mask.data + static_cast<std::ptrdiff_t>(y) * mask.stride;
    std::uint8_t* out = result.pixels.data() + static_cast<std::size_t>(y) * picture.width * 4;
    for (int x = 0; x < picture.width; ++x, source += 4, out += 4) {
      out[0] = source[0];
      out[1] = source[1];
      out[2] = source[2];
      out[3] = static_cast<std::uint8_t>((source[3] * weights[x] + 127) / 255);
    }
  }
  return result;
}

std::string encodePng(const BgraView& picture) {
  std::vector<std::uint8_t> bytes;
  try {
    if (!cv::imencode(".png", wrap(picture), bytes)) return {};
  } catch (const cv::Exception&) {
    return {};
  }
  std::string png(bytes.begin(), bytes.end());
  markAsSrgb(png);
  return png;
}

void drawMaskAsGrey(const GreyView& mask, BgraImage& frame) {
  cv::Mat grey;
  cv::resize(wrap(mask), grey, cv::Size(frame.width, frame.height), 0, 0, cv::INTER_LINEAR);
  cv::Mat target = wrap(frame);
  cv::cvtColor(grey, target, cv::COLOR_GRAY2BGRA);
}

}  // namespace kov
