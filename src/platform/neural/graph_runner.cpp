#include "platform/neural/graph_runner.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <ctime>

#include "platform/neural/model_error.h"
#include "platform/neural/sequence_kernels.h"
#include "platform/neural/winograd.h"
#include "platform/neural/xnnpack_convolution.h"

namespace kov {

struct GraphRunner::Step {
  OpKind kind = OpKind::Add;
  std::vector<const float*> inputs;  // resolved once the buffers exist
  std::vector<int> inputTensors;
  float* output = nullptr;
  int outputTensor = -1;
  Dims inDims, outDims;
  int aShape[4] = {1, 1, 1, 1}, bShape[4] = {1, 1, 1, 1}, outShape[4] = {1, 1, 1, 1};
  PackedFilter filter;
  std::unique_ptr<WinogradFilter> winograd;   // a 3x3 convolution run by Winograd's transforms
  std::unique_ptr<XnnpackConvolution> xnnpack;  // runs the convolution instead of the own kernels
  int weightTensor = -1, biasTensor = -1;     // convolutions: the constants XNNPACK packs
  const float* weights = nullptr;
  const float* bias = nullptr;
  std::vector<float> foldedBias;  // TRANSPOSE_CONV: the bias with constants folded in, when it has them
  bool tiledTranspose = false;    // TRANSPOSE_CONV: windows tile the output, written by transposeConvTiled
  int kh = 1, kw = 1, multiplier = 1;
  WindowGeometry geometry;
  Activation activation = Activation::None;
  // After the activation: value * storeScale + storeShift, applied by a convolution as it stores, or
  // as the whole of a step when `affine` (single-value MUL, ADD and SUB steps merged into one pass).
  float storeScale = 1, storeShift = 0;
  bool affine = false;
  bool residualScale = false;  // ADD of x and x * s (s per channel), read as inputs {x, s}
  // Steps a convolution does as it stores (see StoreOp): the addition of inputs[1] then the
  // activation `afterResidual`, PReLU by `slopes` (padded to a multiple of 8), the logistic function.
  bool residualAdd = false;
  Activation afterResidual = Activation::None;
  std::vector<float> slopes;
  bool logisticAfter = false;
  bool upsampledAdd = false;  // ADD of a tensor and a nearest-neighbour enlargement of inputs[1] (inDims)
  float low = 0, high = 0;  // CLIP bounds; HARD_SIGMOID alpha and beta
  bool alignCorners = false, halfPixelCenters = false;
  int padBefore[4] = {0, 0, 0, 0};
  std::vector<std::size_t> blockSizes;  // CONCATENATION: values per run from each input
  std::size_t outer = 1;                 // CONCATENATION: runs
  std::size_t count = 0;                 // element-wise steps and RESHAPE: values
  std::array<int, 4> perm{0, 1, 2, 3};   // TRANSPOSE
  std::size_t inner = 1;                 // SOFTMAX, MEAN_OF_RUNS: values of one run
  ModelOperator::Window window;          // SLICE
  int batches = 1, rows = 1, depth = 1, cols = 1;  // BATCH_MATMUL
  int scalarInput = -1;  // ADD, MUL, SUB, DIV: the input (0 or 1) that is one constant value, if any
};

namespace {

// Limits that keep every index computation of the kernels far inside int.
constexpr int kMaxStride = 1 << 16;
constexpr std::int64_t kMaxWindow = 1 << 20;
constexpr std::int64_t kMaxExtent = 1 << 28;

using Shape4 = std::array<int, 4>;

BinaryOp binaryOp(OpKind kind) {
  switch (kind) {
    case OpKind::Mul: return BinaryOp::Mul;
    case OpKind::Sub: return BinaryOp::Sub;
    case OpKind::PRelu: return BinaryOp::PRelu;
    case OpKind::Div: return BinaryOp::Div;
    default: return BinaryOp::Add;
  }
}

const char* kindName(OpKind kind) {
  switch (kind) {
    case OpKind::Add: return "add";
    case OpKind::AveragePool: return "average pool";
    case OpKind::Conv: return "conv";
    case OpKind::DepthwiseConv: return "depthwise";
    case OpKind::Dequantize: return "dequantize";
    case OpKind::Logistic: return "logistic";
    case OpKind::Mul: return "mul";
    case OpKind::Relu: return "relu";
    case OpKind::ResizeBilinear: return "resize bilinear";
    case OpKind::TransposeConvBias: return "transposed conv";
    case OpKind::Mean: return "mean";
    case OpKind::HardSwish: return "hard swish";
    case OpKind::MaxPool: return "max pool";
    case OpKind::Pad: return "pad";
    case OpKind::Reshape: return "reshape";
    case OpKind::Concatenation: return "concatenation";
    case OpKind::PRelu: return "prelu";
    case OpKind::Sub: return "sub";
    case OpKind::Abs: return "abs";
    case OpKind::Densify: return "densify";
    case OpKind::DepthToSpace: return "depth to space";
    case OpKind::Div: return "div";
    case OpKind::Clip: return "clip";
    case OpKind::HardSigmoid: return "hard sigmoid";
    case OpKind::ResizeNearest: return "resize nearest";
    case OpKind::Transpose: return "transpose";
    case OpKind::BatchMatmul: return "batch matmul";
    case OpKind::Softmax: return "softmax";
    case OpKind::MeanOfRuns: return "mean of runs";
    case OpKind::Slice: return "slice";
    case OpKind::Pow: return "pow";
    case OpKind::Sqrt: return "sqrt";
  }
  return "?";
}

}  // namespace

class GraphRunner::Planner {
 public:
  Planner(const Model& model, GraphRunner& runner) : model_(model), runner_(runner) {}

  void plan() {
    if (model_.inputs.empty() || model_.outputs.empty())
      fail("the graph must have inputs and outputs, it has " + std::to_string(model_.inputs.size()) + " and " +
           std::to_string(model_.outputs.size()));
    const std::size_t count = model_.tensors.size();
    shapes_.assign(count, Shape4{1, 1, 1, 1});
    available_.assign(count, false);
    runner_.constants_.assign(count, {});
    for (std::size_t t = 0; t < count; ++t) {
      const ModelTensor& tensor = model_.tensors[t];
      if (tensor.constant) available_[t] = true;
    }
    for (int input : model_.inputs) {
      requireActivation(input, "the graph input");
      if (available_[static_cast<std::size_t>(input)]) fail("the graph input " + describe(input) + " is listed twice");
      available_[static_cast<std::size_t>(input)] = true;
      shapes_[static_cast<std::size_t>(input)] = shape4(input, "the graph input");
      runner_.inputs_.push_back({input, dimsOf(input, "the graph input"), nullptr});
    }

    for (std::size_t i = 0; i < model_.operators.size(); ++i) {
      const ModelOperator& op = model_.operators[i];
      where_ = model_.name + ": operator " + std::to_string(op.position) + " (" + op.name + ")";
      runner_.steps_.push_back(planStep(model_.operators[i]));
    }
    where_ = model_.name;
    for (int output : model_.outputs) {
      if (!available_[static_cast<std::size_t>(output)] || model_.tensors[static_cast<std::size_t>(output)].constant ||
          isGraphInput(output))
        fail("no operator writes the graph output " + describe(output));
      runner_.outputs_.push_back({output, dimsOf(output, "the graph output"), nullptr});
    }
    fuseSpelledOutPRelu();
    fuseActivations();
    foldConstantsIntoTransposedConvolutions();
    fuseResidualScale();
    fuseScalarAffine();
    if (runner_.fusion_ == StoreFusion::Merged) {
      fuseIntoConvolutionStores();
      fuseNearestResizeIntoAdditions();
    }
    assignBuffers();
    if (runner_.kernels_ != ConvolutionKernels::Own) handConvolutionsToXnnpack(runner_.kernels_ == ConvolutionKernels::Xnnpack);
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw ModelError((where_.empty() ? model_.name : where_) + ": " + what);
  }

  const ModelTensor& tensor(int index) const { return model_.tensors[static_cast<std::size_t>(index)]; }

  bool isGraphInput(int index) const {
    return std::find(model_.inputs.begin(), model_.inputs.end(), index) != model_.inputs.end();
  }
  bool isGraphOutput(int index) const {
    return std::find(model_.outputs.begin(), model_.outputs.end(), index) != model_.outputs.end();
  }

  std::string describe(int index) const { return "tensor \"" + tensor(index).name + "\""; }

  void requireActivation(int index, const std::string& what) const {
    if (index < 0) fail(what + " is missing");
    if (tensor(index).type != TensorType::Float32)
      fail(what + " (" + describe(index) + ") has the unsupported type " + std::to_string(tensor(index).typeCode));
  }

  Shape4 shape4(int index, const std::string& what) const {
    const auto& shape = tensor(index).shape;
    if (shape.size() > 4) fail(what + " (" + describe(index) + ") has more than 4 dimensions");
    Shape4 result{1, 1, 1, 1};
    std::copy(shape.begin(), shape.end(), result.begin() + static_cast<std::ptrdiff_t>(4 - shape.size()));
    return result;
  }

  Dims dimsOf(int index, const std::string& what) const {
    Shape4 s = shapes_[static_cast<std::size_t>(index)];
    if (s[0] != 1) fail(what + " (" + describe(index) + ") has a batch of " + std::to_string(s[0]));
    return {s[1], s[2], s[3]};
  }

  int activationInput(const ModelOperator& op, std::size_t position) {
    if (position >= op.inputs.size()) fail("has too few inputs");
    int index = op.inputs[position];
    std::string what = "input " + std::to_string(position);
    requireActivation(index, what);
    if (!available_[static_cast<std::size_t>(index)])
      fail(what + " (" + describe(index) + ") is read before any operator writes it");
    if (tensor(index).constant) shapes_[static_cast<std::size_t>(index)] = shape4(index, what);
    return index;
  }

  const ModelTensor* constantInput(const ModelOperator& op, std::size_t position, TensorType type, bool optional) {
    if (position >= op.inputs.size() || op.inputs[position] < 0) {
      if (optional) return nullptr;
      fail("input " + std::to_string(position) + " is missing");
    }
    const ModelTensor& t = tensor(op.inputs[position]);
    if (!t.constant) fail("input " + std::to_string(position) + " (" + describe(op.inputs[position]) + ") must be constant");
    if (t.type != type && !(type == TensorType::Float32 && t.type == TensorType::Float16))
      fail("input " + std::to_string(position) + " (" + describe(op.inputs[position]) + ") has the wrong type");
    return &t;
  }

  const float* keepConstant(int index) {
    auto& stored = runner_.constants_[static_cast<std::size_t>(index)];
    if (stored.empty()) stored = tensor(index).floats;
    return stored.data();
  }

  // Checks the output tensor's declared shape against the computed one and marks it written.
  int output(const ModelOperator& op, const Shape4& computed) {
    if (op.outputs.size() != 1) fail("must have one output, it has " + std::to_string(op.outputs.size()));
    int index = op.outputs[0];
    requireActivation(index, "the output");
    if (tensor(index).constant || available_[static_cast<std::size_t>(index)])
      fail("writes " + describe(index) + ", which already has a value");
    Shape4 declared = shape4(index, "the output");
    for (int extent : computed)
      if (extent < 1) fail("computes an empty output");
    if (declared != computed)
      fail("the output " + describe(index) + " is declared as " + text(declared) + " but the operator makes " +
           text(computed));
    shapes_[static_cast<std::size_t>(index)] = computed;
    available_[static_cast<std::size_t>(index)] = true;
    return index;
  }

  static std::string text(const Shape4& s) {
    std::string result = "[";
    for (int d = 0; d < 4; ++d) {
      if (d > 0) result += ',';
      result += std::to_string(s[static_cast<std::size_t>(d)]);
    }
    return result + "]";
  }

  void checkStrides(const ModelOperator& op) const {
    if (op.strideW < 1 || op.strideH < 1 || op.strideW > kMaxStride || op.strideH > kMaxStride)
      fail("has the unusable stride " + std::to_string(op.strideW) + "x" + std::to_string(op.strideH));
    if (op.dilationW < 1 || op.dilationH < 1 || op.dilationW > kMaxStride || op.dilationH > kMaxStride)
      fail("has the unusable dilation " + std::to_string(op.dilationW) + "x" + std::to_string(op.dilationH));
  }

  WindowGeometry window(const ModelOperator& op, Dims in, int kh, int kw, int& outH, int& outW) const {
    checkStrides(op);
    if ((kh - 1) * std::int64_t{op.dilationH} >= kMaxWindow || (kw - 1) * std::int64_t{op.dilationW} >= kMaxWindow)
      fail("has an unusable window size");
    if (op.padding == Padding::Explicit) {
      const int most = static_cast<int>(kMaxExtent);
      if (op.padTop < 0 || op.padLeft < 0 || op.padBottom < 0 || op.padRight < 0 || op.padTop > most ||
          op.padLeft > most || op.padBottom > most || op.padRight > most)
        fail("has unusable paddings");
      outH = windowOutputExtent(in.h + op.padTop + op.padBottom, kh, op.strideH, op.dilationH, Padding::Valid);
      outW = windowOutputExtent(in.w + op.padLeft + op.padRight, kw, op.strideW, op.dilationW, Padding::Valid);
    } else {
      outH = windowOutputExtent(in.h, kh, op.strideH, op.dilationH, op.padding);
      outW = windowOutputExtent(in.w, kw, op.strideW, op.dilationW, op.padding);
    }
    if (outH < 1 || outW < 1) fail("has a window larger than its input");
    WindowGeometry g;
    g.strideH = op.strideH;
    g.strideW = op.strideW;
    g.dilationH = op.dilationH;
    g.dilationW = op.dilationW;
    if (op.padding == Padding::Same) {
      g.padTop = windowPaddingBefore(in.h, kh, op.strideH, op.dilationH, outH);
      g.padLeft = windowPaddingBefore(in.w, kw, op.strideW, op.dilationW, outW);
    } else if (op.padding == Padding::Explicit) {
      g.padTop = op.padTop;
      g.padLeft = op.padLeft;
    }
    return g;
  }

  Step planStep(const ModelOperator& op) {
    Step step;
    step.kind = op.kind;
    step.activation = op.activation;
    step.low = op.kind == OpKind::HardSigmoid || op.kind == OpKind::Pow ? op.alpha : op.clipMin;
    step.high = op.kind == OpKind::HardSigmoid ? op.beta : op.clipMax;
    switch (op.kind) {
      case OpKind::Conv: planConv(op, step); break;
      case OpKind::DepthwiseConv: planDepthwise(op, step); break;
      case OpKind::TransposeConvBias: planTranspose(op, step); break;
      case OpKind::ResizeBilinear:
      case OpKind::ResizeNearest: planResize(op, step); break;
      case OpKind::AveragePool:
      case OpKind::MaxPool: planPool(op, step); break;
      case OpKind::Mean: planMean(op, step); break;
      case OpKind::Add:
      case OpKind::Mul:
      case OpKind::Sub:
      case OpKind::Div:
      case OpKind::PRelu: planBinary(op, step); break;
      case OpKind::Clip:
        if (!(op.clipMin <= op.clipMax)) fail("has a minimum above its maximum");
        planUnary(op, step);
        break;
      case OpKind::HardSigmoid:
      case OpKind::Relu:
      case OpKind::HardSwish:
      case OpKind::Logistic:
      case OpKind::Abs: planUnary(op, step); break;
      case OpKind::Pad: planPad(op, step); break;
      case OpKind::DepthToSpace: planDepthToSpace(op, step); break;
      case OpKind::Reshape: planReshape(op, step); break;
      case OpKind::Concatenation: planConcatenation(op, step); break;
      case OpKind::Transpose: planTransposeAxes(op, step); break;
      case OpKind::BatchMatmul: planBatchMatmul(op, step); break;
      case OpKind::Softmax:
      case OpKind::MeanOfRuns: planRuns(op, step); break;
      case OpKind::Slice: planSlice(op, step); break;
      case OpKind::Pow:
      case OpKind::Sqrt: planUnary(op, step); break;
      case OpKind::Dequantize: fail("only constant float16 data can be dequantized");
      case OpKind::Densify: fail("only constant data can be densified");
    }
    return step;
  }

  // The activation input and the [out, kh, kw, in] weights with their optional bias, checked
  // against each other.
  std::pair<const ModelTensor*, const ModelTensor*> filterInputs(const ModelOperator& op, Step& step) {
    int in = activationInput(op, 0);
    step.inputTensors = {in};
    step.inDims = dimsOf(in, "input 0");
    const ModelTensor* weights = constantInput(op, 1, TensorType::Float32, false);
    const auto& w = weights->shape;
    if (w.size() != 4 || w[3] != step.inDims.c)
      fail("the weights do not have the shape [out, kh, kw, " + std::to_string(step.inDims.c) + "]");
    const ModelTensor* bias = constantInput(op, 2, TensorType::Float32, true);
    if (bias && bias->floats.size() != static_cast<std::size_t>(w[0])) fail("the bias does not match the weights");
    return {weights, bias};
  }

  void planConv(const ModelOperator& op, Step& step) {
    auto [weights, bias] = filterInputs(op, step);
    const auto& w = weights->shape;
    int outH, outW;
    step.geometry = window(op, step.inDims, w[1], w[2], outH, outW);
    const float* biasValues = bias ? bias->floats.data() : nullptr;
    step.filter = packConvFilter(weights->floats.data(), w[0], w[1], w[2], w[3], biasValues);
    if (winogradPays(w[1], w[2], step.geometry, w[3], w[0], {outH, outW, w[0]})) {
      step.winograd = std::make_unique<WinogradFilter>(packWinogradFilter(weights->floats.data(), w[0], w[3], biasValues, 4));
      step.filter.weights = {};  // only the transformed weights are used
      step.filter.bias = {};
    }
    step.weightTensor = op.inputs[1];
    step.biasTensor = bias ? op.inputs[2] : -1;
    step.outputTensor = output(op, {1, outH, outW, w[0]});
    step.outDims = {outH, outW, w[0]};
  }

  void planDepthwise(const ModelOperator& op, Step& step) {
    int in = activationInput(op, 0);
    step.inputTensors = {in};
    step.inDims = dimsOf(in, "input 0");
    const ModelTensor* weights = constantInput(op, 1, TensorType::Float32, false);
    const auto& w = weights->shape;
    if (w.size() != 4 || w[0] != 1 || w[3] % step.inDims.c != 0)
      fail("the weights do not have the shape [1, kh, kw, " + std::to_string(step.inDims.c) + " x multiplier]");
    const ModelTensor* bias = constantInput(op, 2, TensorType::Float32, true);
    if (bias && bias->floats.size() != static_cast<std::size_t>(w[3])) fail("the bias does not match the weights");
    int outH, outW;
    step.geometry = window(op, step.inDims, w[1], w[2], outH, outW);
    step.kh = w[1];
    step.kw = w[2];
    step.multiplier = w[3] / step.inDims.c;
    step.weightTensor = op.inputs[1];
    step.biasTensor = bias ? op.inputs[2] : -1;
    step.weights = keepConstant(op.inputs[1]);
    step.bias = bias ? keepConstant(op.inputs[2]) : nullptr;
    step.outputTensor = output(op, {1, outH, outW, w[3]});
    step.outDims = {outH, outW, w[3]};
  }

  void planTranspose(const ModelOperator& op, Step& step) {
    auto [weights, bias] = filterInputs(op, step);
    const auto& w = weights->shape;
    ModelOperator plain = op;
    plain.dilationH = plain.dilationW = 1;
    checkStrides(plain);
    auto extent = [&](int input, int kernel, int stride) {
      std::int64_t size = op.padding == Padding::Same ? std::int64_t{input} * stride
                                                      : std::int64_t{input - 1} * stride + kernel;
      if (size > kMaxExtent) fail("makes an output too large to hold");
      return static_cast<int>(size);
    };
    int outH = extent(step.inDims.h, w[1], op.strideH), outW = extent(step.inDims.w, w[2], op.strideW);
    step.geometry.strideH = op.strideH;
    step.geometry.strideW = op.strideW;
    step.geometry.padTop = std::max((step.inDims.h - 1) * op.strideH + w[1] - outH, 0) / 2;
    step.geometry.padLeft = std::max((step.inDims.w - 1) * op.strideW + w[2] - outW, 0) / 2;
    step.bias = bias ? keepConstant(op.inputs[2]) : nullptr;
    step.weightTensor = op.inputs[1];
    step.kh = w[1];
    step.kw = w[2];
    step.outputTensor = output(op, {1, outH, outW, w[0]});
    step.outDims = {outH, outW, w[0]};
    step.tiledTranspose = transposeTilesOutput(w[1], w[2], step.geometry, step.inDims, step.outDims);
    packTranspose(step, weights->floats.data(), step.bias);
  }

  static void packTranspose(Step& step, const float* weights, const float* bias) {
    const int outC = step.outDims.c, kh = step.kh, kw = step.kw, inC = step.inDims.c;
    step.filter = step.tiledTranspose ? packTiledTransposeFilter(weights, outC, kh, kw, inC, bias)
                                      : packTransposeFilter(weights, outC, kh, kw, inC);
  }

  void planResize(const ModelOperator& op, Step& step) {
    int in = activationInput(op, 0);
    step.inputTensors = {in};
    step.inDims = dimsOf(in, "input 0");
    const ModelTensor* size = constantInput(op, 1, TensorType::Int32, false);
    if (size->ints.size() != 2 || size->ints[0] < 1 || size->ints[1] < 1) fail("the target size is not [height, width]");
    if (op.alignCorners && op.halfPixelCenters) fail("align_corners and half_pixel_centers cannot both be set");
    step.alignCorners = op.alignCorners;
    step.halfPixelCenters = op.halfPixelCenters;
    step.outputTensor = output(op, {1, size->ints[0], size->ints[1], step.inDims.c});
    step.outDims = {size->ints[0], size->ints[1], step.inDims.c};
  }

  void planPool(const ModelOperator& op, Step& step) {
    int in = activationInput(op, 0);
    step.inputTensors = {in};
    step.inDims = dimsOf(in, "input 0");
    if (op.filterH < 1 || op.filterW < 1 || op.filterH > 4096 || op.filterW > 4096)
      fail("has the unusable filter size " + std::to_string(op.filterW) + "x" + std::to_string(op.filterH));
    ModelOperator plain = op;
    plain.dilationH = plain.dilationW = 1;
    int outH, outW;
    step.geometry = window(plain, step.inDims, op.filterH, op.filterW, outH, outW);
    step.kh = op.filterH;
    step.kw = op.filterW;
    step.outputTensor = output(op, {1, outH, outW, step.inDims.c});
    step.outDims = {outH, outW, step.inDims.c};
  }

  void planMean(const ModelOperator& op, Step& step) {
    int in = activationInput(op, 0);
    step.inputTensors = {in};
    if (tensor(in).shape.size() != 4) fail("only the mean over height and width of a 4-D tensor is supported");
    step.inDims = dimsOf(in, "input 0");
    const ModelTensor* axes = constantInput(op, 1, TensorType::Int32, false);
    std::vector<int> normalized;
    for (int axis : axes->ints) normalized.push_back(axis < 0 ? axis + 4 : axis);
    std::sort(normalized.begin(), normalized.end());
    if (normalized != std::vector<int>{1, 2}) fail("only the mean over height and width (axes 1 and 2) is supported");
    step.outputTensor = output(op, {1, 1, 1, step.inDims.c});
    step.outDims = {1, 1, step.inDims.c};
  }

  void planBinary(const ModelOperator& op, Step& step) {
    if (op.inputs.size() != 2) fail("must have two inputs");
    int a = activationInput(op, 0), b = activationInput(op, 1);
    step.inputTensors = {a, b};
    Shape4 sa = shapes_[static_cast<std::size_t>(a)], sb = shapes_[static_cast<std::size_t>(b)], out;
    for (int d = 0; d < 4; ++d) {
      if (sa[d] != sb[d] && sa[d] != 1 && sb[d] != 1) fail("the shapes of its inputs cannot be broadcast together");
      out[d] = std::max(sa[d], sb[d]);
    }
    std::copy(sa.begin(), sa.end(), step.aShape);
    std::copy(sb.begin(), sb.end(), step.bShape);
    std::copy(out.begin(), out.end(), step.outShape);
    step.outputTensor = output(op, out);
    if (op.kind != OpKind::PRelu)
      for (int side = 0; side < 2; ++side)
        if (tensor(side == 0 ? a : b).constant && elements(side == 0 ? a : b) == 1) step.scalarInput = side;
    step.count = static_cast<std::size_t>(out[0]) * out[1] * out[2] * out[3];
  }

  void planUnary(const ModelOperator& op, Step& step) {
    int in = activationInput(op, 0);
    step.inputTensors = {in};
    step.outputTensor = output(op, shapes_[static_cast<std::size_t>(in)]);
    Shape4 s = shapes_[static_cast<std::size_t>(in)];
    step.outDims = {s[0] * s[1], s[2], s[3]};
    step.count = elements(in);
  }

  // Zero padding; the paddings are a constant [rank, 2] of (before, after) counts.
  void planPad(const ModelOperator& op, Step& step) {
    int in = activationInput(op, 0);
    step.inputTensors = {in};
    const ModelTensor* paddings = constantInput(op, 1, TensorType::Int32, false);
    const std::size_t rank = tensor(in).shape.size();
    if (paddings->ints.size() != rank * 2) fail("the paddings are not [" + std::to_string(rank) + ", 2]");
    Shape4 s = shapes_[static_cast<std::size_t>(in)], out = s;
    for (std::size_t d = 0; d < rank; ++d) {
      std::size_t axis = 4 - rank + d;
      std::int64_t before = paddings->ints[2 * d], after = paddings->ints[2 * d + 1];
      if (before < 0 || after < 0 || before > kMaxExtent || after > kMaxExtent || s[axis] + before + after > kMaxExtent)
        fail("has unusable paddings");
      step.padBefore[axis] = static_cast<int>(before);
      out[axis] = static_cast<int>(s[axis] + before + after);
    }
    if (static_cast<std::int64_t>(out[0]) * out[1] * out[2] * out[3] > kMaxExtent) fail("makes an output too large to hold");
    std::copy(s.begin(), s.end(), step.aShape);
    std::copy(out.begin(), out.end(), step.outShape);
    step.outputTensor = output(op, out);
  }

  void planDepthToSpace(const ModelOperator& op, Step& step) {
    int in = activationInput(op, 0);
    step.inputTensors = {in};
    Shape4 s = shapes_[static_cast<std::size_t>(in)];
    const int block = op.blockSize;
    if (block < 1 || block > kMaxStride || s[3] % (block * block) != 0)
      fail("has a block size " + std::to_string(block) + " that does not divide the depth " + std::to_string(s[3]));
    if (static_cast<std::int64_t>(s[1]) * block > kMaxExtent || static_cast<std::int64_t>(s[2]) * block > kMaxExtent)
      fail("makes an output too large to hold");
    std::copy(s.begin(), s.end(), step.aShape);
    step.multiplier = block;
    step.outputTensor = output(op, {s[0], s[1] * block, s[2] * block, s[3] / (block * block)});
  }

  // The output keeps the values in order under its declared shape.
  void planReshape(const ModelOperator& op, Step& step) {
    int in = activationInput(op, 0);
    step.inputTensors = {in};
    if (op.outputs.size() != 1) fail("must have one output, it has " + std::to_string(op.outputs.size()));
    Shape4 declared = shape4(op.outputs[0], "the output");
    std::size_t declaredCount = static_cast<std::size_t>(declared[0]) * declared[1] * declared[2] * declared[3];
    if (declaredCount != elements(in))
      fail("reshapes " + std::to_string(elements(in)) + " values into " + std::to_string(declaredCount));
    step.count = elements(in);
    step.outputTensor = output(op, declared);
  }

  void planConcatenation(const ModelOperator& op, Step& step) {
    if (op.inputs.empty()) fail("has no inputs");
    const std::size_t rank = tensor(op.inputs[0]).shape.size();
    const int axis = op.axis < 0 ? op.axis + static_cast<int>(rank) : op.axis;
    if (rank == 0 || axis < 0 || axis >= static_cast<int>(rank)) fail("has the unusable axis " + std::to_string(op.axis));
    const std::size_t axis4 = 4 - rank + static_cast<std::size_t>(axis);
    Shape4 out{};
    for (std::size_t i = 0; i < op.inputs.size(); ++i) {
      int in = activationInput(op, i);
      step.inputTensors.push_back(in);
      if (tensor(in).shape.size() != rank) fail("joins tensors of different ranks");
      Shape4 s = shapes_[static_cast<std::size_t>(in)];
      if (i == 0) {
        out = s;
        out[axis4] = 0;
      }
      for (std::size_t d = 0; d < 4; ++d)
        if (d != axis4 && s[d] != out[d]) fail("joins tensors whose shapes differ off the axis");
      out[axis4] += s[axis4];
      std::size_t block = 1;
      for (std::size_t d = axis4; d < 4; ++d) block *= static_cast<std::size_t>(s[d]);
      step.blockSizes.push_back(block);
    }
    step.outer = 1;
    for (std::size_t d = 0; d < axis4; ++d) step.outer *= static_cast<std::size_t>(out[d]);
    step.outputTensor = output(op, out);
    Shape4 o = shapes_[static_cast<std::size_t>(step.outputTensor)];
    step.outDims = {o[0] * o[1], o[2], o[3]};
  }

  // The declared output shape, checked to hold `count` values.
  int outputOfCount(const ModelOperator& op, std::size_t count) {
    if (op.outputs.size() != 1) fail("must have one output, it has " + std::to_string(op.outputs.size()));
    const Shape4 declared = shape4(op.outputs[0], "the output");
    const std::size_t declaredCount = static_cast<std::size_t>(declared[0]) * declared[1] * declared[2] * declared[3];
    if (declaredCount != count)
      fail("makes " + std::to_string(count) + " values, but its output holds " + std::to_string(declaredCount));
    return output(op, declared);
  }

  void planTransposeAxes(const ModelOperator& op, Step& step) {
    int in = activationInput(op, 0);
    step.inputTensors = {in};
    std::array<bool, 4> seen{};
    std::size_t count = 1;
    for (std::size_t d = 0; d < 4; ++d) {
      const int axis = op.perm[d], extent = op.transposeShape[d];
      if (axis < 0 || axis > 3 || seen[static_cast<std::size_t>(axis)]) fail("has a permutation that is not one");
      seen[static_cast<std::size_t>(axis)] = true;
      if (extent < 1 || extent > kMaxExtent) fail("has an unusable shape");
      count *= static_cast<std::size_t>(extent);
    }
    if (count != elements(in)) fail("transposes " + std::to_string(count) + " values of a tensor of " + std::to_string(elements(in)));
    step.perm = op.perm;
    std::copy(op.transposeShape.begin(), op.transposeShape.end(), step.aShape);
    step.outputTensor = outputOfCount(op, count);
  }

  // [.., rows, depth] x [.., depth, cols]: the extents in front of the last two are the batches and
  // must agree.
  void planBatchMatmul(const ModelOperator& op, Step& step) {
    if (op.inputs.size() != 2) fail("must have two inputs");
    int a = activationInput(op, 0), b = activationInput(op, 1);
    step.inputTensors = {a, b};
    const Shape4 sa = shapes_[static_cast<std::size_t>(a)], sb = shapes_[static_cast<std::size_t>(b)];
    if (sa[0] != sb[0] || sa[1] != sb[1]) fail("multiplies batches of different sizes");
    if (sa[3] != sb[2]) fail("multiplies [.., " + std::to_string(sa[2]) + ", " + std::to_string(sa[3]) + "] by [.., " +
                             std::to_string(sb[2]) + ", " + std::to_string(sb[3]) + "]");
    step.batches = sa[0] * sa[1];
    step.rows = sa[2];
    step.depth = sa[3];
    step.cols = sb[3];
    if (static_cast<std::int64_t>(step.batches) * step.rows * step.cols > kMaxExtent) fail("makes an output too large to hold");
    step.outputTensor = output(op, {sa[0], sa[1], sa[2], sb[3]});
  }

  void planRuns(const ModelOperator& op, Step& step) {
    int in = activationInput(op, 0);
    step.inputTensors = {in};
    if (op.inner < 1 || elements(in) % static_cast<std::size_t>(op.inner) != 0)
      fail("has runs of " + std::to_string(op.inner) + " values, which do not divide its input");
    step.inner = static_cast<std::size_t>(op.inner);
    step.count = elements(in);
    step.outputTensor = outputOfCount(op, op.kind == OpKind::Softmax ? step.count : step.count / step.inner);
  }

  void planSlice(const ModelOperator& op, Step& step) {
    int in = activationInput(op, 0);
    step.inputTensors = {in};
    const ModelOperator::Window& w = op.window;
    if (w.outer < 1 || w.inner < 1 || w.inExtent < 1 || w.outExtent < 1 || w.start < 0 || w.outer > kMaxExtent ||
        w.inner > kMaxExtent || w.inExtent > kMaxExtent || w.outer * w.inner > kMaxExtent ||
        w.start > w.inExtent - w.outExtent)
      fail("has an unusable window");
    if (static_cast<std::size_t>(w.outer * w.inExtent * w.inner) != elements(in)) fail("has a window that does not fit its input");
    step.window = w;
    step.outputTensor = outputOfCount(op, static_cast<std::size_t>(w.outer * w.outExtent * w.inner));
  }

  // How many planned steps read each tensor.
  std::vector<int> countReaders() const {
    std::vector<int> readers(model_.tensors.size(), 0);
    for (const Step& step : runner_.steps_)
      for (int t : step.inputTensors) ++readers[static_cast<std::size_t>(t)];
    return readers;
  }

  // Which planned step writes each tensor (-1: none; a model input or constant).
  std::vector<int> stepWriting() const {
    std::vector<int> writer(model_.tensors.size(), -1);
    for (std::size_t i = 0; i < runner_.steps_.size(); ++i)
      writer[static_cast<std::size_t>(runner_.steps_[i].outputTensor)] = static_cast<int>(i);
    return writer;
  }

  // Removes the steps a fusion made redundant, keeping the order of the rest.
  void dropSteps(const std::vector<bool>& removed) {
    auto& steps = runner_.steps_;
    std::vector<Step> kept;
    for (std::size_t i = 0; i < steps.size(); ++i)
      if (!removed[i]) kept.push_back(std::move(steps[i]));
    steps = std::move(kept);
  }

  // Some files spell PReLU out as relu(x) + c * (x - |x|) (MobileFaceNet does after every
  // convolution): five passes over the tensor and four intermediate tensors. One PRELU step with the
  // slopes 2c gives the same values (x where x >= 0, else 2c * x, which equals c * (x - |x|) = c * 2x
  // exactly, doubling being exact) in one pass. Only taken when the intermediates are read by the
  // pattern alone and c holds one value per channel of x.
  void fuseSpelledOutPRelu() {
    auto& steps = runner_.steps_;
    const std::vector<int> readers = countReaders(), writer = stepWriting();
    auto writtenBy = [&](int t, OpKind kind) -> Step* {
      const int i = writer[static_cast<std::size_t>(t)];
      if (i < 0 || steps[static_cast<std::size_t>(i)].kind != kind) return nullptr;
      return &steps[static_cast<std::size_t>(i)];
    };
    auto readOnce = [&](int t) { return readers[static_cast<std::size_t>(t)] == 1 && !isGraphOutput(t); };
    std::vector<bool> removed(steps.size(), false);
    for (Step& add : steps) {
      if (add.kind != OpKind::Add) continue;
      for (int order = 0; order < 2; ++order) {
        const int r = add.inputTensors[static_cast<std::size_t>(order)];
        const int m = add.inputTensors[static_cast<std::size_t>(1 - order)];
        Step* relu = writtenBy(r, OpKind::Relu);
        Step* mul = writtenBy(m, OpKind::Mul);
        if (!relu || !mul || mul->activation != Activation::None) continue;
        const int x = relu->inputTensors[0];
        const int constantAt = tensor(mul->inputTensors[0]).constant ? 0 : tensor(mul->inputTensors[1]).constant ? 1 : -1;
        if (constantAt < 0) continue;
        const int c = mul->inputTensors[static_cast<std::size_t>(constantAt)];
        const int d = mul->inputTensors[static_cast<std::size_t>(1 - constantAt)];
        Step* sub = writtenBy(d, OpKind::Sub);
        if (!sub || sub->activation != Activation::None || sub->inputTensors[0] != x) continue;
        const int a = sub->inputTensors[1];
        Step* abs = writtenBy(a, OpKind::Abs);
        if (!abs || abs->inputTensors[0] != x) continue;
        const Shape4 xShape = shapes_[static_cast<std::size_t>(x)], cShape = shapes_[static_cast<std::size_t>(c)];
        if (cShape != Shape4{1, 1, 1, xShape[3]} || !std::equal(xShape.begin(), xShape.end(), add.outShape)) continue;
        // c doubled in place: no other step may read it, nor have kept it already (depthwise weights).
        if (!readOnce(r) || !readOnce(m) || !readOnce(d) || !readOnce(a) || readers[static_cast<std::size_t>(c)] != 1 ||
            !runner_.constants_[static_cast<std::size_t>(c)].empty())
          continue;
        for (Step* gone : {relu, mul, sub, abs}) removed[static_cast<std::size_t>(gone - steps.data())] = true;
        std::vector<float> slopes = tensor(c).floats;
        for (float& slope : slopes) slope *= 2.0f;
        runner_.constants_[static_cast<std::size_t>(c)] = std::move(slopes);
        add.kind = OpKind::PRelu;
        add.inputTensors = {x, c};
        std::copy(xShape.begin(), xShape.end(), add.aShape);
        std::copy(cShape.begin(), cShape.end(), add.bShape);
        break;
      }
    }
    dropSteps(removed);
  }

  // A convolution or binary operator whose only reader is a RELU or HARD_SWISH applies it to its
  // own output (a convolution while storing it), which saves a tensor's write and read; the
  // activation step disappears.
  void fuseActivations() {
    auto& steps = runner_.steps_;
    const std::vector<int> readers = countReaders();
    std::vector<bool> removed(steps.size(), false);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      Step& step = steps[i];
      const bool takesActivation = step.kind == OpKind::Conv || step.kind == OpKind::DepthwiseConv ||
                                   step.kind == OpKind::Add || step.kind == OpKind::Sub || step.kind == OpKind::Mul ||
                                   step.kind == OpKind::Div || step.kind == OpKind::PRelu;
      int out = step.outputTensor;
      if (!takesActivation || step.activation != Activation::None || isGraphOutput(out) ||
          readers[static_cast<std::size_t>(out)] != 1)
        continue;
      for (std::size_t j = i + 1; j < steps.size(); ++j) {
        if (std::find(steps[j].inputTensors.begin(), steps[j].inputTensors.end(), out) == steps[j].inputTensors.end())
          continue;
        if (steps[j].kind == OpKind::Relu || steps[j].kind == OpKind::HardSwish) {
          step.activation = steps[j].kind == OpKind::Relu ? Activation::Relu : Activation::HardSwish;
          step.outputTensor = steps[j].outputTensor;
          removed[j] = true;
        }
        break;
      }
    }
    dropSteps(removed);
  }

  // A transposed convolution followed by additions and multiplications of constants, one value per
  // channel or one in all (a batch normalisation after it, say), and an activation: the constants
  // fold into its weights and bias ((t + b) * s + c = t * s + (b * s + c), with t * s the sum of
  // the scaled weights' products), and the activation is applied as it stores. Taken only while
  // nothing else reads the tensors in between.
  void foldConstantsIntoTransposedConvolutions() {
    auto& steps = runner_.steps_;
    const std::vector<int> readers = countReaders();
    std::vector<bool> removed(steps.size(), false);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      Step& step = steps[i];
      if (step.kind != OpKind::TransposeConvBias) continue;
      const Dims d = step.outDims;
      const std::size_t channels = static_cast<std::size_t>(d.c);
      std::vector<double> scale(channels, 1.0), shift(channels, 0.0);
      int absorbed = 0;
      for (std::size_t j = i + 1; j < steps.size(); ++j) {
        const int out = step.outputTensor;
        if (isGraphOutput(out) || readers[static_cast<std::size_t>(out)] != 1 || step.activation != Activation::None) break;
        const Step& next = steps[j];
        const auto& inputs = next.inputTensors;
        if (removed[j] || std::find(inputs.begin(), inputs.end(), out) == inputs.end()) continue;
        if ((next.kind != OpKind::Add && next.kind != OpKind::Mul && next.kind != OpKind::Sub) || inputs.size() != 2) break;
        const int other = inputs[0] == out ? inputs[1] : inputs[0];
        if (other == out || !tensor(other).constant || (next.kind == OpKind::Sub && inputs[1] != other)) break;
        const std::vector<float>& values = tensor(other).floats;
        const bool single = values.size() == 1;
        if (!single && (values.size() != channels || shapes_[static_cast<std::size_t>(other)] != Shape4{1, 1, 1, d.c})) break;
        if (!std::equal(next.outShape, next.outShape + 4, Shape4{1, d.h, d.w, d.c}.begin())) break;
        for (std::size_t o = 0; o < channels; ++o) {
          const double v = values[single ? 0 : o];
          if (next.kind == OpKind::Mul) {
            scale[o] *= v;
            shift[o] *= v;
          } else {
            shift[o] += next.kind == OpKind::Add ? v : -v;
          }
        }
        step.activation = next.activation;
        step.outputTensor = next.outputTensor;
        removed[j] = true;
        ++absorbed;
      }
      if (absorbed == 0) continue;
      std::vector<float> weights = tensor(step.weightTensor).floats;
      const std::size_t perChannel = weights.size() / channels;
      step.foldedBias.assign(channels, 0.0f);
      for (std::size_t o = 0; o < channels; ++o) {
        for (std::size_t k = 0; k < perChannel; ++k)
          weights[o * perChannel + k] = static_cast<float>(weights[o * perChannel + k] * scale[o]);
        step.foldedBias[o] = static_cast<float>((step.bias ? step.bias[o] : 0.0) * scale[o] + shift[o]);
      }
      packTranspose(step, weights.data(), step.foldedBias.data());
    }
    dropSteps(removed);
  }

  // x + x * s with s one value per channel (a squeeze-and-excitation block with a residual path) is
  // a MUL and an ADD, two passes over the tensor; the ADD does both in one when nothing else reads
  // the product.
  void fuseResidualScale() {
    auto& steps = runner_.steps_;
    const std::vector<int> readers = countReaders(), writer = stepWriting();
    std::vector<bool> removed(steps.size(), false);
    for (Step& add : steps) {
      if (add.kind != OpKind::Add || add.scalarInput >= 0 || add.inputTensors.size() != 2) continue;
      for (int order = 0; order < 2; ++order) {
        const int x = add.inputTensors[static_cast<std::size_t>(order)];
        const int m = add.inputTensors[static_cast<std::size_t>(1 - order)];
        const int w = writer[static_cast<std::size_t>(m)];
        if (w < 0 || readers[static_cast<std::size_t>(m)] != 1 || isGraphOutput(m)) continue;
        Step& mul = steps[static_cast<std::size_t>(w)];
        if (mul.kind != OpKind::Mul || mul.activation != Activation::None || mul.scalarInput >= 0) continue;
        const int xAt = mul.inputTensors[0] == x ? 0 : mul.inputTensors[1] == x ? 1 : -1;
        if (xAt < 0) continue;
        const int s = mul.inputTensors[static_cast<std::size_t>(1 - xAt)];
        const Shape4 xShape = shapes_[static_cast<std::size_t>(x)];
        if (s == x || !std::equal(xShape.begin(), xShape.end(), add.outShape) ||
            shapes_[static_cast<std::size_t>(s)] != Shape4{1, 1, 1, xShape[3]})
          continue;
        removed[static_cast<std::size_t>(w)] = true;
        add.inputTensors = {x, s};
        add.residualScale = true;
        add.count = elements(x);
        break;
      }
    }
    dropSteps(removed);
  }

  // Some models scale and shift activations by learnt single numbers: x * a + b as a MUL and an ADD
  // of constants, each a pass over the tensor. A plain convolution that the runner's own kernels run
  // does that while storing its output; any other chain of such steps becomes one pass. Only the
  // steps whose output nothing else reads are merged.
  void fuseScalarAffine() {
    auto& steps = runner_.steps_;
    const std::vector<int> readers = countReaders();
    // Composes a single-value step after value * scale + shift; false for any other step.
    auto compose = [&](const Step& s, float& scale, float& shift) {
      if (s.scalarInput < 0 || s.activation != Activation::None) return false;
      const float c = tensor(s.inputTensors[static_cast<std::size_t>(s.scalarInput)]).floats.at(0);
      if (s.kind == OpKind::Mul) {
        scale *= c;
        shift *= c;
      } else if (s.kind == OpKind::Add) {
        shift += c;
      } else if (s.kind == OpKind::Sub && s.scalarInput == 1) {
        shift -= c;
      } else {
        return false;
      }
      return true;
    };
    std::vector<bool> removed(steps.size(), false);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      Step& step = steps[i];
      if (removed[i]) continue;
      float scale = 1, shift = 0;
      const bool convolution = step.kind == OpKind::Conv && runner_.kernels_ != ConvolutionKernels::Xnnpack;
      const bool scalar = !convolution && compose(step, scale, shift);
      if (!convolution && !scalar) continue;
      int absorbed = 0;
      for (std::size_t j = i + 1; j < steps.size(); ++j) {
        const int out = step.outputTensor;
        if (isGraphOutput(out) || readers[static_cast<std::size_t>(out)] != 1) break;
        const auto& inputs = steps[j].inputTensors;
        if (removed[j] || std::find(inputs.begin(), inputs.end(), out) == inputs.end()) continue;
        if (inputs[static_cast<std::size_t>(steps[j].scalarInput == 0 ? 1 : 0)] != out ||
            !compose(steps[j], scale, shift))
          break;
        step.outputTensor = steps[j].outputTensor;
        removed[j] = true;
        ++absorbed;
      }
      if (absorbed == 0) continue;
      step.storeScale = scale;
      step.storeShift = shift;
      step.affine = scalar;
    }
    dropSteps(removed);
  }

  static bool mergedIntoStore(const Step& step) {
    return step.residualAdd || !step.slopes.empty() || step.logisticAfter;
  }

  // Where a convolution stands in the order of StoreOp's parts, by the last part it has taken.
  enum class StorePart { Activation, Residual, PRelu, Logistic };

  // A convolution that the runner's own kernels run applies what follows it while it stores its
  // output, when that output has no other reader: the addition of a tensor of its shape (a residual
  // connection) with the addition's clamping activation, PReLU by one slope a
  // channel, the logistic function. Each saves writing and reading the tensor once more. Parts are
  // taken in StoreOp's order only, so the values are computed exactly as the separate steps do.
  void fuseIntoConvolutionStores() {
    auto& steps = runner_.steps_;
    const std::vector<int> readers = countReaders(), writer = stepWriting();
    std::vector<bool> removed(steps.size(), false);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      Step& step = steps[i];
      if (removed[i] || !storesThroughOwnKernels(step)) continue;
      StorePart reached = StorePart::Activation;
      std::size_t runAt = i;
      for (std::size_t j = i + 1; j < steps.size(); ++j) {
        const int out = step.outputTensor;
        if (isGraphOutput(out) || readers[static_cast<std::size_t>(out)] != 1) break;
        Step& next = steps[j];
        if (removed[j] || std::find(next.inputTensors.begin(), next.inputTensors.end(), out) == next.inputTensors.end())
          continue;
        if (!mergeIntoStore(step, static_cast<int>(j), next, writer, reached)) break;
        // A residual written after the convolution (a skip path padded to more channels, say):
        // the convolution runs in the addition's place, where nothing but it reads its output.
        if (step.residualAdd && writer[static_cast<std::size_t>(step.inputTensors[1])] > static_cast<int>(i)) runAt = j;
        step.outputTensor = next.outputTensor;
        removed[j] = true;
      }
      if (runAt != i) {
        steps[runAt] = std::move(step);
        removed[runAt] = false;
        removed[i] = true;
      }
    }
    dropSteps(removed);
  }

  // An ADD of a tensor and a nearest-neighbour enlargement of another (the top-down path of a feature
  // pyramid) reads the smaller tensor where the enlargement would: the enlarged tensor is never
  // written nor read. Only when nothing else reads the enlargement and no broadcasting is involved.
  void fuseNearestResizeIntoAdditions() {
    auto& steps = runner_.steps_;
    const std::vector<int> readers = countReaders(), writer = stepWriting();
    std::vector<bool> removed(steps.size(), false);
    for (Step& add : steps) {
      if (add.kind != OpKind::Add || add.inputTensors.size() != 2 || add.residualScale || add.affine || add.scalarInput >= 0 ||
          !std::equal(add.aShape, add.aShape + 4, add.outShape) || !std::equal(add.bShape, add.bShape + 4, add.outShape))
        continue;
      for (int order = 0; order < 2; ++order) {
        const int enlarged = add.inputTensors[static_cast<std::size_t>(order)];
        const int full = add.inputTensors[static_cast<std::size_t>(1 - order)];
        const int w = writer[static_cast<std::size_t>(enlarged)];
        if (w < 0 || enlarged == full || readers[static_cast<std::size_t>(enlarged)] != 1 || isGraphOutput(enlarged)) continue;
        const Step& resize = steps[static_cast<std::size_t>(w)];
        if (resize.kind != OpKind::ResizeNearest || resize.activation != Activation::None || add.outShape[0] != 1) continue;
        removed[static_cast<std::size_t>(w)] = true;
        add.inputTensors = {full, resize.inputTensors[0]};
        add.upsampledAdd = true;
        add.inDims = resize.inDims;
        add.outDims = resize.outDims;
        break;
      }
    }
    dropSteps(removed);
  }

  bool storesThroughOwnKernels(const Step& step) const {
    switch (step.kind) {
      case OpKind::Conv: return runner_.kernels_ != ConvolutionKernels::Xnnpack;
      case OpKind::DepthwiseConv: return runner_.kernels_ == ConvolutionKernels::Own;
      case OpKind::TransposeConvBias: return step.tiledTranspose;
      default: return false;
    }
  }

  // Takes `next`, the only reader of the convolution's output, into its store if it can.
  bool mergeIntoStore(Step& conv, int nextAt, const Step& next, const std::vector<int>& writer, StorePart& reached) {
    const int out = conv.outputTensor;
    const Shape4 shape{1, conv.outDims.h, conv.outDims.w, conv.outDims.c};
    const bool transposed = conv.kind == OpKind::TransposeConvBias;  // its columns are not channels
    // What the convolution took before (it is met again in its new place once it has moved).
    if (conv.logisticAfter) reached = StorePart::Logistic;
    else if (!conv.slopes.empty()) reached = std::max(reached, StorePart::PRelu);
    else if (conv.residualAdd) reached = std::max(reached, StorePart::Residual);
    if (next.kind == OpKind::Add && !transposed && reached < StorePart::Residual && next.inputTensors.size() == 2 &&
        !next.residualScale && !next.affine && next.scalarInput < 0 && clampsOnly(next.activation)) {
      const int other = next.inputTensors[0] == out ? next.inputTensors[1] : next.inputTensors[0];
      const int otherWriter = writer[static_cast<std::size_t>(other)];
      const bool writtenBefore = isGraphInput(other) || (otherWriter >= 0 && otherWriter < nextAt);
      if (other == out || tensor(other).constant || !writtenBefore || !std::equal(next.aShape, next.aShape + 4, shape.begin()) ||
          !std::equal(next.bShape, next.bShape + 4, shape.begin()))
        return false;
      conv.inputTensors.push_back(other);
      conv.residualAdd = true;
      conv.afterResidual = next.activation;
      reached = StorePart::Residual;
      return true;
    }
    if (next.kind == OpKind::PRelu && !transposed && reached < StorePart::PRelu && next.activation == Activation::None &&
        next.inputTensors.size() == 2 && next.inputTensors[0] == out) {
      const int slopes = next.inputTensors[1];
      if (!tensor(slopes).constant || shapes_[static_cast<std::size_t>(slopes)] != Shape4{1, 1, 1, shape[3]} ||
          !std::equal(next.aShape, next.aShape + 4, shape.begin()))
        return false;
      const float* values = keepConstant(slopes);
      conv.slopes.assign(values, values + shape[3]);
      conv.slopes.resize((conv.slopes.size() + 7) / 8 * 8, 0.0f);
      reached = StorePart::PRelu;
      return true;
    }
    if (next.kind == OpKind::Logistic && reached < StorePart::Logistic) {
      conv.logisticAfter = true;
      reached = StorePart::Logistic;
      return true;
    }
    return false;
  }

  static bool clampsOnly(Activation activation) { return activation != Activation::HardSwish; }

  // Gives the depthwise convolutions (and the plain ones too when `plainToo`) that XNNPACK takes to
  // it, once the tensors have their buffers; the packed copy of a plain convolution's weights is then
  // no longer needed.
  void handConvolutionsToXnnpack(bool plainToo) {
    for (Step& step : runner_.steps_) {
      if (step.kind != OpKind::DepthwiseConv && !(plainToo && step.kind == OpKind::Conv)) continue;
      if (tensor(step.inputTensors[0]).constant) continue;  // only activation buffers have room to read past the end
      if (step.storeScale != 1 || step.storeShift != 0) continue;  // XNNPACK cannot scale and shift as it stores
      if (mergedIntoStore(step)) continue;
      ConvolutionShape shape;
      shape.in = step.inDims;
      shape.out = step.outDims;
      shape.geometry = step.geometry;
      shape.depthwise = step.kind == OpKind::DepthwiseConv;
      shape.kh = shape.depthwise ? step.kh : step.filter.kh;
      shape.kw = shape.depthwise ? step.kw : step.filter.kw;
      shape.multiplier = step.multiplier;
      const float* bias = step.biasTensor >= 0 ? tensor(step.biasTensor).floats.data() : nullptr;
      auto convolution = XnnpackConvolution::create(shape, tensor(step.weightTensor).floats.data(), bias, step.activation);
      if (!convolution || !convolution->bind(step.inputs[0], step.output)) continue;
      step.xnnpack = std::move(convolution);
      step.winograd.reset();
      step.filter.weights = {};
      step.filter.bias = {};
    }
  }

  std::size_t elements(int index) const {
    const Shape4& s = shapes_[static_cast<std::size_t>(index)];
    return static_cast<std::size_t>(s[0]) * s[1] * s[2] * s[3];
  }

  // Gives every written tensor a place in one activation arena. A tensor lives from the step that
  // writes it (the graph inputs from before the first) to the last step that reads it (the graph
  // outputs to the end), and two tensors whose lives overlap never share memory, so no step's output
  // overlaps its inputs. Tensors are placed largest first, each in the smallest gap between the
  // tensors already placed that live at the same time (else above them all): this comes close to
  // the most the graph ever holds at once, where a free list of whole buffers keeps every buffer at
  // the size of the first tensor that needed it.
  void assignBuffers() {
    struct Life {
      int first, last;
      std::size_t floats;  // its values plus XNNPACK's reading room, rounded up to a cache line
      std::size_t offset = 0;
    };
    const std::size_t count = model_.tensors.size();
    const int end = static_cast<int>(runner_.steps_.size());
    std::vector<int> lastRead(count, -1);
    for (int i = 0; i < end; ++i)
      for (int t : runner_.steps_[static_cast<std::size_t>(i)].inputTensors) lastRead[static_cast<std::size_t>(t)] = i;
    auto lastUse = [&](int t, int written) { return isGraphOutput(t) ? end : std::max(lastRead[static_cast<std::size_t>(t)], written); };

    std::vector<int> lifeOf(count, -1);
    std::vector<Life> lives;
    auto begin = [&](int t, int step) {
      lifeOf[static_cast<std::size_t>(t)] = static_cast<int>(lives.size());
      lives.push_back({step, lastUse(t, step), paddedFloats(elements(t))});
    };
    for (int input : model_.inputs) begin(input, -1);
    for (int i = 0; i < end; ++i) {
      Step& step = runner_.steps_[static_cast<std::size_t>(i)];
      const int in = step.inputTensors.empty() ? -1 : step.inputTensors[0];
      // A reshape whose input is read by nobody after it keeps the values where they are: its
      // output takes over the input's place, and the step copies nothing.
      if (step.kind == OpKind::Reshape && !tensor(in).constant && lastRead[static_cast<std::size_t>(in)] == i &&
          !isGraphOutput(in)) {
        const int life = lifeOf[static_cast<std::size_t>(in)];
        lifeOf[static_cast<std::size_t>(step.outputTensor)] = life;
        lives[static_cast<std::size_t>(life)].last = lastUse(step.outputTensor, i);
        continue;
      }
      begin(step.outputTensor, i);
    }

    std::vector<Life*> order;
    for (Life& life : lives) order.push_back(&life);
    std::stable_sort(order.begin(), order.end(), [](const Life* a, const Life* b) { return a->floats > b->floats; });
    std::size_t arenaFloats = 0;
    std::vector<const Life*> placed, neighbours;
    for (Life* life : order) {
      neighbours.clear();
      for (const Life* other : placed)
        if (other->first <= life->last && life->first <= other->last) neighbours.push_back(other);
      std::sort(neighbours.begin(), neighbours.end(), [](const Life* a, const Life* b) { return a->offset < b->offset; });
      std::size_t bestOffset = 0, bestGap = SIZE_MAX, reached = 0;
      for (const Life* other : neighbours) {
        if (other->offset >= reached + life->floats && other->offset - reached < bestGap) {
          bestGap = other->offset - reached;
          bestOffset = reached;
        }
        reached = std::max(reached, other->offset + other->floats);
      }
      life->offset = bestGap == SIZE_MAX ? reached : bestOffset;
      arenaFloats = std::max(arenaFloats, life->offset + life->floats);
      placed.push_back(life);
    }
    runner_.arena_.assign(arenaFloats, 0.0f);

    auto pointer = [&](int t) -> float* {
      if (tensor(t).constant) return const_cast<float*>(keepConstant(t));
      return runner_.arena_.data() + lives[static_cast<std::size_t>(lifeOf[static_cast<std::size_t>(t)])].offset;
    };
    for (Step& step : runner_.steps_) {
      for (int t : step.inputTensors) step.inputs.push_back(pointer(t));
      step.output = pointer(step.outputTensor);
    }
    for (Port& port : runner_.inputs_) port.data = pointer(port.tensor);
    for (Port& port : runner_.outputs_) port.data = pointer(port.tensor);
  }

  // Room for `values` floats and XNNPACK's reads past them, in whole 64-byte lines so every tensor
  // starts as aligned as the arena.
  static std::size_t paddedFloats(std::size_t values) {
    constexpr std::size_t line = 64 / sizeof(float);
    const std::size_t slack = (kXnnpackOverreadBytes + sizeof(float) - 1) / sizeof(float);
    return (values + slack + line - 1) / line * line;
  }

  const Model& model_;
  GraphRunner& runner_;
  std::vector<Shape4> shapes_;
  std::vector<bool> available_;
  std::string where_;
};

GraphRunner::GraphRunner(const Model& model, std::shared_ptr<WorkerPool> workers, ConvolutionKernels kernels,
                         StoreFusion fusion)
    : workers_(workers ? std::move(workers) : std::make_shared<WorkerPool>(inferenceThreads())),
      kernels_(kernels),
      fusion_(fusion) {
  Planner(model, *this).plan();
}

GraphRunner::~GraphRunner() = default;

void GraphRunner::runScalar(const Step& step) {
  const ScalarOp op = step.kind == OpKind::Mul   ? ScalarOp::Mul
                      : step.kind == OpKind::Sub ? ScalarOp::Sub
                      : step.kind == OpKind::Div ? ScalarOp::Div
                                                 : ScalarOp::Add;
  const bool valueFirst = step.scalarInput == 0;
  scalarBinary(op, step.inputs[valueFirst ? 1 : 0], *step.inputs[valueFirst ? 0 : 1], valueFirst, step.output, step.count);
  applyActivation(step.output, step.count, step.activation);
}

const float* GraphRunner::run() {
  for (Step& step : steps_) runStep(step);
  return outputs_.front().data;
}

namespace {

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

const float* GraphRunner::runTimed(std::vector<double>& seconds) {
  seconds.resize(steps_.size(), 0.0);
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    const double begin = threadCpuSeconds();
    runStep(steps_[i]);
    seconds[i] += threadCpuSeconds() - begin;
  }
  return outputs_.front().data;
}

std::vector<std::string> GraphRunner::stepKinds() const {
  std::vector<std::string> kinds;
  for (const Step& step : steps_) {
    switch (step.kind) {
      case OpKind::Conv:
        kinds.push_back(step.filter.kh == 1 && step.filter.kw == 1 ? "conv 1x1" : "conv kxk");
        break;
      case OpKind::DepthwiseConv: kinds.push_back("depthwise"); break;
      case OpKind::TransposeConvBias: kinds.push_back("transposed conv"); break;
      default: kinds.push_back(std::string("other: ") + kindName(step.kind)); break;
    }
  }
  return kinds;
}

std::vector<std::string> GraphRunner::stepShapes() const {
  std::vector<std::string> shapes;
  for (const Step& step : steps_) {
    const Dims out = step.outDims == Dims{} ? Dims{step.outShape[1], step.outShape[2], step.outShape[3]} : step.outDims;
    std::string size = std::to_string(out.h) + "x" + std::to_string(out.w) + "x" + std::to_string(out.c);
    if (step.kind == OpKind::Conv || step.kind == OpKind::DepthwiseConv || step.kind == OpKind::TransposeConvBias) {
      const bool depthwise = step.kind == OpKind::DepthwiseConv;
      const int kh = depthwise ? step.kh : step.filter.kh, kw = depthwise ? step.kw : step.filter.kw;
      size = std::to_string(kh) + "x" + std::to_string(kw) + "/" + std::to_string(step.geometry.strideH) + " " +
             std::to_string(step.inDims.c) + "->" + std::to_string(out.c) + " at " + std::to_string(out.h) + "x" +
             std::to_string(out.w) + (step.winograd ? " winograd" : "");
    }
    shapes.push_back(std::move(size));
  }
  return shapes;
}

int GraphRunner::stepsOnXnnpack() const {
  return static_cast<int>(std::count_if(steps_.begin(), steps_.end(), [](const Step& step) { return step.xnnpack != nullptr; }));
}

StoreOp GraphRunner::storeOf(const Step& step) {
  StoreOp store{step.activation, step.storeScale, step.storeShift};
  if (step.residualAdd) store.residual = step.inputs[1];
  store.afterResidual = step.afterResidual;
  if (!step.slopes.empty()) store.slopes = step.slopes.data();
  store.logistic = step.logisticAfter;
  return store;
}

void GraphRunner::runStep(Step& step) {
  const float* in = step.inputs[0];
  if (step.xnnpack) {
    step.xnnpack->run();
    return;
  }
  switch (step.kind) {
    case OpKind::Conv: {
      const StoreOp store = storeOf(step);
      if (step.winograd) {
        winogradConv3x3(in, step.inDims, *step.winograd, step.geometry.padTop, step.geometry.padLeft, store,
                        step.output, step.outDims, *workers_);
        break;
      }
      conv2d(in, step.inDims, step.filter, step.geometry, store, step.output, step.outDims, *workers_);
      break;
    }
    case OpKind::DepthwiseConv:
      depthwiseConv2d(in, step.inDims, step.weights, step.kh, step.kw, step.multiplier, step.bias, step.geometry,
                      storeOf(step), step.output, step.outDims, *workers_);
      break;
    case OpKind::TransposeConvBias:
      if (step.tiledTranspose) {
        transposeConvTiled(in, step.inDims, step.filter, storeOf(step), step.output, step.outDims, *workers_);
        break;
      }
      transposeConvBias(in, step.inDims, step.filter, step.foldedBias.empty() ? step.bias : step.foldedBias.data(),
                        step.geometry, step.output, step.outDims, *workers_);
      applyActivation(step.output, step.outDims.size(), step.activation);
      break;
    case OpKind::ResizeBilinear:
      resizeBilinear(in, step.inDims, step.output, step.outDims, step.alignCorners, step.halfPixelCenters);
      break;
    case OpKind::AveragePool:
      averagePool(in, step.inDims, step.kh, step.kw, step.geometry, step.activation, step.output, step.outDims);
      break;
    case OpKind::MaxPool:
      maxPool(in, step.inDims, step.kh, step.kw, step.geometry, step.activation, step.output, step.outDims);
      break;
    case OpKind::Pad:
      zeroPad(in, step.aShape, step.padBefore, step.output, step.outShape);
      break;
    case OpKind::DepthToSpace:
      depthToSpace(in, step.aShape, step.multiplier, step.output);
      break;
    case OpKind::Reshape:
      if (step.output != in) std::copy(in, in + step.count, step.output);
      break;
    case OpKind::Concatenation:
      concatenate(step.inputs, step.blockSizes, step.outer, step.output);
      applyActivation(step.output, step.outDims.size(), step.activation);
      break;
    case OpKind::Abs:
      absolute(in, step.output, step.count);
      break;
    case OpKind::Mean:
      meanOverSpace(in, step.inDims, step.output);
      break;
    case OpKind::Add:
    case OpKind::Mul:
    case OpKind::Sub:
    case OpKind::Div:
    case OpKind::PRelu:
      if (step.residualScale) {
        addScaledByChannel(in, step.inputs[1], step.output, step.count / static_cast<std::size_t>(step.outShape[3]),
                           step.outShape[3]);
        applyActivation(step.output, step.count, step.activation);
        break;
      }
      if (step.upsampledAdd) {
        addNearestUpsampled(in, step.inputs[1], step.inDims, step.output, step.outDims);
        applyActivation(step.output, step.count, step.activation);
        break;
      }
      if (step.affine) {
        scaleShift(step.inputs[step.scalarInput == 0 ? 1 : 0], step.output, step.count, step.storeScale, step.storeShift);
        break;
      }
      if (step.scalarInput >= 0) {
        runScalar(step);
        break;
      }
      broadcastBinary(binaryOp(step.kind), in, step.aShape, step.inputs[1], step.bShape, step.output, step.outShape,
                      step.activation);
      break;
    case OpKind::Relu:
      relu(in, step.output, step.outDims.size());
      break;
    case OpKind::HardSwish:
      hardSwish(in, step.output, step.outDims.size());
      break;
    case OpKind::Logistic:
      logistic(in, step.output, step.outDims.size());
      break;
    case OpKind::Clip:
      clip(in, step.output, step.count, step.low, step.high);
      break;
    case OpKind::HardSigmoid:
      hardSigmoid(in, step.output, step.count, step.low, step.high);
      break;
    case OpKind::ResizeNearest:
      resizeNearest(in, step.inDims, step.output, step.outDims);
      break;
    case OpKind::Transpose:
      transposeAxes(in, {step.aShape[0], step.aShape[1], step.aShape[2], step.aShape[3]}, step.perm, step.output);
      break;
    case OpKind::BatchMatmul:
      batchMatmul(in, step.inputs[1], step.batches, step.rows, step.depth, step.cols, step.output);
      break;
    case OpKind::Softmax:
      softmaxRuns(in, step.output, step.count, step.inner);
      break;
    case OpKind::MeanOfRuns:
      meanOfRuns(in, step.output, step.count, step.inner);
      break;
    case OpKind::Slice:
      sliceAxis(in, static_cast<std::size_t>(step.window.outer), step.window.inExtent, step.window.start,
                step.window.outExtent, static_cast<std::size_t>(step.window.inner), step.output);
      break;
    case OpKind::Pow:
      powerOf(in, step.output, step.count, step.low);
      break;
    case OpKind::Sqrt:
      squareRoot(in, step.output, step.count);
      break;
    case OpKind::Dequantize:
    case OpKind::Densify:
      break;  // folded at load
  }
}

}  // namespace kov
