#include "platform/vision/text_models.h"

extern "C" {
extern const std::uint8_t kov_text_detection_begin[], kov_text_detection_end[];
}

namespace kov {

std::span<const std::uint8_t> textDetectionModel() { return {kov_text_detection_begin, kov_text_detection_end}; }

}  // namespace kov
