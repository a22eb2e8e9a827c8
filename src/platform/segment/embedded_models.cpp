#include "platform/segment/embedded_models.h"

extern "C" {
extern const std::uint8_t kov_square_model_begin[];
extern const std::uint8_t kov_square_model_end[];
extern const std::uint8_t kov_landscape_model_begin[];
extern const std::uint8_t kov_landscape_model_end[];
}

namespace kov {

std::span<const std::uint8_t> squareSegmentationModel() {
  return {kov_square_model_begin, kov_square_model_end};
}

std::span<const std::uint8_t> landscapeSegmentationModel() {
  return {kov_landscape_model_begin, kov_landscape_model_end};
}

}  // namespace kov
