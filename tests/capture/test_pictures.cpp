#include "capture/test_pictures.h"

#include <png.h>
#include <turbojpeg.h>

#include <memory>

namespace kov::test {

RgbPicture solidPicture(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  RgbPicture picture{width, height, {}};
  picture.rgb.reserve(static_cast<size_t>(width) * height * 3);
  for (int i = 0; i < width * height; ++i) picture.rgb.insert(picture.rgb.end(), {r, g, b});
  return picture;
}

std::string encodePng(const RgbPicture& picture) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(picture.width);
  image.height = static_cast<png_uint_32>(picture.height);
  image.format = PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, picture.rgb.data(), 0, nullptr)) return {};
  std::string bytes(size, '\0');
  if (!png_image_write_to_memory(&image, bytes.data(), &size, 0, picture.rgb.data(), 0, nullptr)) return {};
  bytes.resize(size);
  return bytes;
}

std::string encodeJpeg(const RgbPicture& picture, int quality) {
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitCompress(), tjDestroy);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  if (tjCompress2(handle.get(), picture.rgb.data(), picture.width, 0, picture.height, TJPF_RGB, &out, &size, TJSAMP_420,
                  quality, 0) != 0)
    return {};
  std::string bytes(reinterpret_cast<char*>(out), size);
  tjFree(out);
  return bytes;
}

std::optional<RgbPicture> decodePng(const std::string& bytes) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return std::nullopt;
  image.format = PNG_FORMAT_RGB;
  RgbPicture picture{static_cast<int>(image.width), static_cast<int>(image.height), {}};
  picture.rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) return std::nullopt;
  return picture;
}

std::optional<RgbPicture> decodeJpeg(const std::string& bytes) {
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitDecompress(), tjDestroy);
  auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(handle.get(), data, bytes.size(), &width, &height, &subsampling, &colorspace) != 0)
    return std::nullopt;
  RgbPicture picture{width, height, std::vector<std::uint8_t>(static_cast<size_t>(width) * height * 3)};
  if (tjDecompress2(handle.get(), data, bytes.size(), picture.rgb.data(), width, 0, height, TJPF_RGB, 0) != 0)
    return std::nullopt;
  return picture;
}

}  // namespace kov::test
