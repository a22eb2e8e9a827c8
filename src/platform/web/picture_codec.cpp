#include "platform/web/picture_codec.h"

#include <array>
#include <cstdint>

#include <png.h>
#include <turbojpeg.h>

namespace kov {
namespace {

constexpr std::array<std::int8_t, 256> base64Values() {
  std::array<std::int8_t, 256> values{};
  for (auto& v : values) v = -1;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
  return values;
}

constexpr auto kBase64 = base64Values();

}  // namespace

std::optional<std::string> decodeBase64(std::string_view text) {
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3 + 3);
  std::uint32_t bits = 0;
  int count = 0;
  for (unsigned char c : text) {
    int value = kBase64[c];
    if (value < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    if (++count == 4) {
      bytes.push_back(static_cast<char>(bits >> 16));
      bytes.push_back(static_cast<char>(bits >> 8));
      bytes.push_back(static_cast<char>(bits));
      bits = 0;
      count = 0;
    }
  }
  if (count == 1) return std::nullopt;
  if (count == 2) bytes.push_back(static_cast<char>(bits >> 4));
  if (count == 3) {
    bytes.push_back(static_cast<char>(bits >> 10));
    bytes.push_back(static_cast<char>(bits >> 2));
  }
  return bytes;
}

std::optional<std::string> decodePng(std::string_view png, BgraImage& picture) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return std::string(image.message);
  image.format = PNG_FORMAT_BGRA;
  picture.width = static_cast<int>(image.width);
  picture.height = static_cast<int>(image.height);
  picture.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr)) {
    std::string reason = image.message;
    png_image_free(&image);
    return reason;
  }
  return std::nullopt;
}

std::optional<std::string> decodeJpeg(std::string_view jpeg, BgraImage& picture) {
  tjhandle decoder = tjInitDecompress();
  if (!decoder) return std::string("cannot start the JPEG decoder");
  auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  std::optional<std::string> failure;
  if (tjDecompressHeader3(decoder, data, jpeg.size(), &width, &height, &subsampling, &colorspace) != 0) {
    failure = tjGetErrorStr2(decoder);
  } else {
    picture.width = width;
    picture.height = height;
    picture.pixels.resize(static_cast<size_t>(width) * height * 4);
    if (tjDecompress2(decoder, data, jpeg.size(), picture.pixels.data(), width, width * 4, height, TJPF_BGRA, 0) != 0)
      failure = tjGetErrorStr2(decoder);
  }
  tjDestroy(decoder);
  return failure;
}

}  // namespace kov
