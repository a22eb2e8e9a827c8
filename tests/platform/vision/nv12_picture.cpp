#include "nv12_picture.h"

#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace kov::test {

DecodedFrame Nv12Picture::frame() const {
  DecodedFrame f;
  f.layout = PixelLayout::Nv12;
  f.width = width;
  f.height = height;
  f.planes[0] = bytes.data();
  f.planes[1] = bytes.data() + static_cast<std::ptrdiff_t>(width) * height;
  f.strides[0] = width;
  f.strides[1] = width;
  return f;
}

Nv12Picture nv12Picture(const std::string& input, const std::string& filter, int width, int height) {
  TempDir dir;
  const std::string out = dir.file("frame.yuv");
  std::string chain = filter.empty() ? "" : filter + ",";
  chain += "scale=" + std::to_string(width) + ":" + std::to_string(height) + ",format=nv12";
  ffmpeg(input + " -frames:v 1 -filter_complex \"" + chain + "\" -f rawvideo " + out);
  Nv12Picture picture;
  picture.width = width;
  picture.height = height;
  const std::string bytes = readFile(out);
  picture.bytes.assign(bytes.begin(), bytes.end());
  EXPECT_EQ(picture.bytes.size(), static_cast<size_t>(width) * height * 3 / 2) << input;
  return picture;
}

}  // namespace kov::test
