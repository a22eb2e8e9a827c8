// An ONNX graph read into the runner's model description. ONNX keeps activations as NCHW; the runner
// works on NHWC, so every tensor is described in NHWC, weights are reordered at load and a
// BatchNormalization that follows a convolution is folded into its weights. ONNX graphs often leave
// the picture size open, so the caller fixes it and every tensor's shape is worked out here.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/neural/tflite_model.h"

namespace kov {

// An ONNX file parsed once, read into models for as many input sizes as wanted: a model whose
// picture size varies (a text line's width) is read for each size without parsing the file again.
class OnnxGraph {
 public:
  // Parses the file (throws ModelError naming `name` when it is not ONNX or damaged); the bytes
  // are not needed afterwards.
  OnnxGraph(std::span<const std::uint8_t> bytes, std::string name);
  ~OnnxGraph();
  OnnxGraph(const OnnxGraph&) = delete;
  OnnxGraph& operator=(const OnnxGraph&) = delete;

  // The model for an input of 1 x channels x `height` x `width`, as readOnnxModel reads it.
  Model read(int height, int width) const;

 private:
  struct Parsed;
  std::unique_ptr<Parsed> parsed_;
  std::string name_;
};

// Reads a model from memory for a single input of 1 x channels x `height` x `width` (the channel
// count is the file's); `name` is used in error messages. Throws ModelError for a damaged or foreign
// file and for operators or attributes outside the supported set (named in the message).
Model readOnnxModel(std::span<const std::uint8_t> bytes, const std::string& name, int height, int width);

// Reads a model file. Throws ModelError naming the file when it cannot be read or is damaged.
Model readOnnxModelFile(const std::string& path, int height, int width);

}  // namespace kov
