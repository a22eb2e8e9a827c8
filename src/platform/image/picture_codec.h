// PNG and JPEG in one place: reading picture files, checking and decoding the encoded pictures the
// web engine hands over, and writing PNG. Failures come back as values: an absent result, or the
// reason as text.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/pixels.h"

namespace kov {

// The largest picture `readPicture` decodes, in pixels (100 megapixels, such as 10000 x 10000).
inline constexpr std::uint64_t kLargestPicturePixels = 100'000'000;

struct PixelSize {
  int width = 0;
  int height = 0;
};

// The first picture of a file, as stored (no orientation tag applied), as 8-bit BGRA: 16-bit and
// floating-point samples are scaled down, grey and CMYK become colour, a missing alpha becomes opaque.
// No value when the path is not a regular file, the file cannot be opened or decoded, its decoded
// size exceeds `kLargestPicturePixels`, or a JPEG's data ends before its first scan.
std::optional<BgraImage> readPicture(const std::string& path);

// 8-bit RGBA PNG bytes marked as sRGB; empty when encoding fails.
std::string encodePng(const BgraView& picture);

// Writes row `y` of a picture being encoded into `rgba` (width x 4 bytes: red, green, blue, alpha).
// May be called from two threads at once, for different rows, and more than once for a row.
using PngRowSource = std::function<void(int y, std::uint8_t* rgba)>;

// The same for a picture made row by row, so that it need not be held whole; empty when encoding
// fails or the picture is empty or larger than `kLargestPicturePixels`.
std::string encodePng(int width, int height, const PngRowSource& rowOf);

// The size in a PNG header; none when the bytes do not start like a PNG.
std::optional<PixelSize> pngSize(std::string_view bytes);

// True when the whole PNG stream decodes (no truncation, no corrupt data).
bool pngDecodes(std::string_view bytes);

// The size in a JPEG header; none when the bytes are not a readable JPEG.
std::optional<PixelSize> jpegSize(std::string_view bytes);

// Decodes PNG bytes to straight-alpha BGRA. On failure returns the reason.
std::optional<std::string> decodePng(std::string_view png, BgraImage& picture);

// Decodes JPEG bytes to opaque BGRA. On failure returns the reason.
std::optional<std::string> decodeJpeg(std::string_view jpeg, BgraImage& picture);

}  // namespace kov
