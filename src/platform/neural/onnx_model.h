// An ONNX graph read into the runner's model description. ONNX keeps activations as NCHW; the runner
// works on NHWC, so every tensor is described in NHWC, weights are reordered at load and a
// BatchNormalization that follows a convolution is folded into its weights. ONNX graphs often leave
// the picture size open, so the caller fixes it and every tensor's shape is worked out here.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/neural/tflite_model.h"

namespace kov {

// Reads a model from memory for a single input of 1 x channels x `height` x `width` (the channel
// count is the file's); `name` is used in error messages. Throws ModelError for a damaged or foreign
// file and for operators or attributes outside the supported set (named in the message).
Model readOnnxModel(std::span<const std::uint8_t> bytes, const std::string& name, int height, int width);

// Reads a model file. Throws ModelError naming the file when it cannot be read or is damaged.
Model readOnnxModelFile(const std::string& path, int height, int width);

}  // namespace kov
