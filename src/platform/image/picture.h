// Pictures for the matte command: decoding files as stored, scaling and softening masks, cutting a
// picture out through a mask, PNG encoding and drawing a mask into a movie frame.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/pixels.h"

namespace kov {

// The largest picture `readPicture` decodes, in pixels (100 megapixels, such as 10000 x 10000).
inline constexpr std::uint64_t kLargestPicturePixels = 100'000'000;

// The first picture of a file, as stored (no orientation tag applied), as 8-bit BGRA: 16-bit and
// floating-point samples are scaled down, grey and CMYK become colour, a missing alpha becomes opaque.
// No value when the path is not a regular file, the file cannot be opened or decoded, its decoded
// size exceeds `kLargestPicturePixels`, or a JPEG's data ends before its first scan.
std::optional<BgraImage> readPicture(const std::string& path);

// The mask stretched to width x height (bilinear; the two axes scale independently).
GreyImage scaleMask(const GreyView& mask, int width, int height);

// Gaussian blur with the given standard deviation in pixels; edge pixels are repeated outwards, so a
// mask that reaches the border stays solid there.
void blurMask(GreyImage& mask, double sigma);

// The picture over full transparency through a mask of the same size: colours kept, alpha multiplied
// by mask / 255; pixels that end fully transparent are transparent black.
BgraImage cutOut(const BgraView& picture, const GreyView& mask);

// 8-bit RGBA PNG bytes marked as sRGB; empty when encoding fails.
std::string encodePng(const BgraView& picture);

// Draws the mask stretched over the whole frame as grey (blue = green = red = mask, alpha opaque).
void drawMaskAsGrey(const GreyView& mask, BgraImage& frame);

}  // namespace kov
