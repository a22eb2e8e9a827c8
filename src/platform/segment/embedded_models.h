// The two selfie-segmentation models, built into the executable from the npm package.
#pragma once

#include <cstdint>
#include <span>

namespace kov {

std::span<const std::uint8_t> squareSegmentationModel();     // input 256 x 256
std::span<const std::uint8_t> landscapeSegmentationModel();  // input 144 x 256 (height x width)

}  // namespace kov
