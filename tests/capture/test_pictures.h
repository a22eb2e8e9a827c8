// Making and reading small pictures in the capture tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kov::test {

struct RgbPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;  // width * height * 3

  const std::uint8_t* at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

RgbPicture solidPicture(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b);
std::string encodePng(const RgbPicture& picture);
std::string encodeJpeg(const RgbPicture& picture, int quality);

std::optional<RgbPicture> decodePng(const std::string& bytes);
std::optional<RgbPicture> decodeJpeg(const std::string& bytes);

}  // namespace kov::test
