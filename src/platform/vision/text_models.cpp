#include "platform/vision/text_models.h"

extern "C" {
extern const std::uint8_t kov_text_detection_begin[], kov_text_detection_end[];
extern const std::uint8_t kov_text_recognition_begin[], kov_text_recognition_end[];
extern const char kov_text_alphabet_begin[], kov_text_alphabet_end[];
}

namespace kov {

std::span<const std::uint8_t> textDetectionModel() { return {kov_text_detection_begin, kov_text_detection_end}; }

std::span<const std::uint8_t> textRecognitionModel() { return {kov_text_recognition_begin, kov_text_recognition_end}; }

std::string_view textAlphabet() {
  return {kov_text_alphabet_begin, static_cast<std::size_t>(kov_text_alphabet_end - kov_text_alphabet_begin)};
}

}  // namespace kov
