// Plain views of pixel memory, shared by the tool's logic and the platform adapters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kov {

// One 8-bit plane: luma, a mask, or a grey picture. Rows run top to bottom, `stride` bytes apart.
struct GreyView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  std::ptrdiff_t stride = 0;

  std::uint8_t at(int x, int y) const { return data[static_cast<std::ptrdiff_t>(y) * stride + x]; }
};

// A 32-bit picture with bytes in the order blue, green, red, alpha.
struct BgraView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  std::ptrdiff_t stride = 0;
};

// An owned 8-bit single-channel picture (masks).
struct GreyImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;  // width * height, no padding

  GreyView view() const { return {pixels.data(), width, height, width}; }
};

// An owned BGRA picture.
struct BgraImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;  // width * height * 4, no padding

  BgraView view() const { return {pixels.data(), width, height, static_cast<std::ptrdiff_t>(width) * 4}; }
};

// A zeroed (fully transparent) BGRA picture of the given size.
inline BgraImage blankBgraImage(int width, int height) {
  BgraImage image;
  image.width = width;
  image.height = height;
  image.pixels.resize(static_cast<std::size_t>(width) * height * 4);
  return image;
}

// A box in fractions of the frame with the origin at the top-left, as pixel rows and the reports run.
struct NormBox {
  double x = 0;  // left
  double y = 0;  // top
  double w = 0;
  double h = 0;

  double maxX() const { return x + w; }  // right
  double maxY() const { return y + h; }  // bottom
  double midX() const { return x + w / 2; }
  double midY() const { return y + h / 2; }
};

}  // namespace kov
