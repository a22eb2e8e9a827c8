#include "capture/picture_files.h"

#include <png.h>
#include <turbojpeg.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/files/output_file.h"
#include "platform/process/visible_text.h"

namespace kov {
namespace {

std::uint32_t bigEndian32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::string systemError(int code) { return std::strerror(code); }

// mkdir that treats an existing folder as success and keeps the real errno otherwise.
int makeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  int code = errno;
  struct stat st {};
  if (code == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  return code;
}

}  // namespace

std::optional<PixelSize> pngSize(std::string_view bytes) {
  static constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (bytes.size() < 24 || std::memcmp(bytes.data(), kSignature, 8) != 0) return std::nullopt;
  const auto* header = reinterpret_cast<const unsigned char*>(bytes.data());
  if (std::memcmp(header + 12, "IHDR", 4) != 0) return std::nullopt;
  std::uint32_t width = bigEndian32(header + 16);
  std::uint32_t height = bigEndian32(header + 20);
  if (width == 0 || height == 0 || width > 0x7fffffff || height > 0x7fffffff) return std::nullopt;
  return PixelSize{static_cast<int>(width), static_cast<int>(height)};
}

bool pngDecodes(std::string_view bytes) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return false;
  image.format = PNG_FORMAT_RGBA;
  std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
  bool ok = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) != 0;
  png_image_free(&image);
  return ok;
}

std::optional<PixelSize> jpegSize(std::string_view bytes) {
  if (bytes.empty()) return std::nullopt;
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitDecompress(), tjDestroy);
  if (!handle) return std::nullopt;
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (tjDecompressHeader3(handle.get(), data, static_cast<unsigned long>(bytes.size()), &width, &height,
                          &subsampling, &colorspace) != 0)
    return std::nullopt;
  if (width <= 0 || height <= 0) return std::nullopt;
  return PixelSize{width, height};
}

std::string outputRefusal(const std::string& path) {
  OutputTarget target = outputTarget(path);
  if (target.error != kNotARegularFile) return {};
  return "cannot write " + visiblePath(path) + ": " + target.error;
}

std::optional<std::string> createFolders(const std::string& path) {
  // Walk the path from the root so each missing parent is made in turn.
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (int code = makeFolder(path.substr(0, slash)); code != 0 && code != EEXIST) return systemError(code);
  }
  if (int code = makeFolder(path); code != 0) return systemError(code);
  return std::nullopt;
}

}  // namespace kov
