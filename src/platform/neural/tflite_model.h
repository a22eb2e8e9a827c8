// A TensorFlow Lite graph as read from its FlatBuffer file: tensors with their constant data and the
// operators in execution order with their options. Reading checks the file's structure; whether the
// graph can run is checked by GraphRunner.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kov {

enum class TensorType { Float32, Float16, Int32, Other };

struct ModelTensor {
  std::string name;
  std::vector<int> shape;
  TensorType type = TensorType::Float32;
  int typeCode = 0;                   // the file's type code, for messages about unsupported types
  bool constant = false;              // holds data from the file (float16 data is already widened)
  std::vector<float> floats;          // constant FLOAT32 or FLOAT16 data, as float32
  std::vector<std::int32_t> ints;     // constant INT32 data
};

enum class OpKind {
  Add,
  AveragePool,
  Conv,
  DepthwiseConv,
  Dequantize,
  Logistic,
  Mul,
  Relu,
  ResizeBilinear,
  TransposeConvBias,
  Mean,
  HardSwish,
  MaxPool,
  Pad,
  Reshape,
  Concatenation,
  PRelu,
  Sub,
  Abs,
  Densify,
  DepthToSpace,
  Div,
  Clip,         // clipMin, clipMax
  HardSigmoid,  // alpha, beta
  ResizeNearest,
  // Sequence operators of ONNX graphs, on row-major tensors of their logical shape:
  Transpose,     // perm, transposeShape
  BatchMatmul,   // [.., m, k] x [.., k, n], both activations with equal leading extents
  Softmax,       // runs of `inner` values
  MeanOfRuns,    // the mean of every run of `inner` values
  Slice,         // window
  Pow,           // alpha: the exponent
  Sqrt,
};

// Explicit: padTop and padLeft zeros before the input, padBottom and padRight after it.
enum class Padding { Same, Valid, Explicit };
// The fused activations of the file, plus HardSwish, which GraphRunner fuses into the step before a
// HARD_SWISH operator.
enum class Activation { None, Relu, ReluN1To1, Relu6, HardSwish };

struct ModelOperator {
  OpKind kind = OpKind::Add;
  std::string name;          // as the file names it, for messages
  int position = 0;          // index in the file's operator list, for messages
  std::vector<int> inputs;   // tensor indices; -1 marks an absent optional input
  std::vector<int> outputs;
  Padding padding = Padding::Same;
  int strideW = 1, strideH = 1;
  int dilationW = 1, dilationH = 1;
  int filterW = 1, filterH = 1;
  int depthMultiplier = 1;
  Activation activation = Activation::None;
  bool alignCorners = false;
  bool halfPixelCenters = false;
  bool keepDims = false;
  int axis = 0;              // CONCATENATION, as the file gives it (may be negative)
  int blockSize = 0;         // DEPTH_TO_SPACE
  int padTop = 0, padLeft = 0, padBottom = 0, padRight = 0;  // Padding::Explicit
  float clipMin = 0, clipMax = 0;
  float alpha = 0, beta = 0;
  std::array<int, 4> perm{0, 1, 2, 3};            // TRANSPOSE: output axis d is input axis perm[d]
  std::array<int, 4> transposeShape{1, 1, 1, 1};  // TRANSPOSE: the input seen with these four extents
  int inner = 0;                                  // SOFTMAX, MEAN_OF_RUNS: values of one run
  // SLICE: `outer` blocks of inExtent x `inner` values keep outExtent x `inner` from start x `inner`.
  struct Window {
    std::int64_t outer = 1, inner = 1;
    int inExtent = 1, start = 0, outExtent = 1;
  } window;
};

struct Model {
  std::string name;
  std::vector<ModelTensor> tensors;
  std::vector<ModelOperator> operators;  // execution order; constant DEQUANTIZE steps already folded
  std::vector<int> inputs;
  std::vector<int> outputs;
};

// Reads a model from memory; `name` is used in error messages. Throws ModelError for a damaged or
// foreign file and for operators outside the supported set (named in the message).
Model readModel(std::span<const std::uint8_t> bytes, const std::string& name);

// Some files declare a fixed batch above one (a face model made for pairs of faces). The runner
// runs one item: every non-constant tensor whose first extent is the graph input's batch gets 1.
// Nothing changes when the input's batch is already 1.
void reduceBatchToOne(Model& model);

// Reads a model file. Throws ModelError naming the file when it cannot be read or is damaged.
Model readModelFile(const std::string& path);

// The builtin operator name for a code ("CONV_2D"), or "builtin operator <code>".
std::string builtinOperatorName(int code);

// The float of an IEEE half-precision value, exactly (subnormals, infinities and NaN payloads included).
float halfToFloat(std::uint16_t half);

}  // namespace kov
