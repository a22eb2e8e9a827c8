// The text models, built into the executable from their npm package.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kov {

// PP-OCRv4 text detection (ONNX, NCHW input of any size that is a multiple of 32): a probability
// map of text at the input's size.
std::span<const std::uint8_t> textDetectionModel();

// PP-OCRv4 line recognition (ONNX, NCHW input 48 high): per time step the probabilities of a
// blank, the characters of textAlphabet() and a space.
std::span<const std::uint8_t> textRecognitionModel();

// The recogniser's characters, one a line (UTF-8).
std::string_view textAlphabet();

}  // namespace kov
