// The text detection model, built into the executable from its npm package.
#pragma once

#include <cstdint>
#include <span>

namespace kov {

// PP-OCRv4 text detection (ONNX, NCHW input of any size that is a multiple of 32): a probability
// map of text at the input's size.
std::span<const std::uint8_t> textDetectionModel();

}  // namespace kov
