#include "platform/neural/tflite_model.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/neural/flat_reader.h"
#include "platform/neural/model_error.h"
#include "platform/neural/sparse_tensor.h"

namespace kov {

// Without branches on the common path, so that a loop over a model's weights vectorises.
float halfToFloat(std::uint16_t half) {
  constexpr std::uint32_t kExponentMask = 0x7c00u << 13;  // the half's exponent, moved into place
  std::uint32_t bits = (half & 0x7fffu) << 13;
  const std::uint32_t exponent = bits & kExponentMask;
  bits += (127 - 15) << 23;  // rebias the exponent
  float value;
  if (exponent == kExponentMask) {
    bits += (128 - 16) << 23;  // infinity or NaN: the largest exponent
    std::memcpy(&value, &bits, sizeof value);
  } else if (exponent == 0) {
    // Subnormal (or zero): read as if the implicit bit were set, then take that bit's value away.
    bits += 1u << 23;
    std::memcpy(&value, &bits, sizeof value);
    value -= 6.103515625e-05f;  // 2^-14
  } else {
    std::memcpy(&value, &bits, sizeof value);
  }
  std::uint32_t out;
  std::memcpy(&out, &value, sizeof out);
  out |= static_cast<std::uint32_t>(half & 0x8000u) << 16;
  std::memcpy(&value, &out, sizeof value);
  return value;
}

namespace {

// Field slots of the tables we read (byte offsets into each table's vtable).
namespace slot {
constexpr std::uint16_t kModelOperatorCodes = 6, kModelSubgraphs = 8, kModelBuffers = 12;
constexpr std::uint16_t kSubgraphTensors = 4, kSubgraphInputs = 6, kSubgraphOutputs = 8, kSubgraphOperators = 10;
constexpr std::uint16_t kTensorShape = 4, kTensorType = 6, kTensorBuffer = 8, kTensorName = 10, kTensorSparsity = 16;
constexpr std::uint16_t kSparsityTraversal = 4, kSparsityBlockMap = 6, kSparsityDimensions = 8;
constexpr std::uint16_t kDimensionFormat = 4, kDimensionDenseSize = 6, kDimensionSegmentsType = 8,
                        kDimensionSegments = 10, kDimensionIndicesType = 12, kDimensionIndices = 14;
constexpr std::uint16_t kIndexVectorValues = 4;
constexpr std::uint16_t kBufferData = 4;
constexpr std::uint16_t kOperatorOpcode = 4, kOperatorInputs = 6, kOperatorOutputs = 8,
                        kOperatorBuiltinOptions = 12, kOperatorCustomOptions = 14;
constexpr std::uint16_t kCodeDeprecatedBuiltin = 4, kCodeCustom = 6, kCodeBuiltin = 10;
}  // namespace slot

// Builtin operator codes of the operators we run.
constexpr int kAdd = 0, kAveragePool = 1, kConcatenation = 2, kConv = 3, kDepthwiseConv = 4, kDepthToSpace = 5, kDequantize = 6,
              kLogistic = 14, kMaxPool = 17, kMul = 18, kRelu = 19, kReshape = 22, kResizeBilinear = 23,
              kCustom = 32, kPad = 34, kMean = 40, kSub = 41, kPRelu = 54, kAbs = 101, kHardSwish = 117, kDensify = 124;

constexpr const char* kTransposeConvBias = "Convolution2DTransposeBias";

// Elements allowed in one tensor; far above what a segmentation model needs and small enough that
// the sizes computed from a damaged shape cannot overflow.
constexpr std::int64_t kMaxTensorElements = std::int64_t{1} << 28;

class ModelReader {
 public:
  ModelReader(std::span<const std::uint8_t> bytes, const std::string& name) : file_(bytes, name) {}

  Model read() {
    Model model;
    model.name = file_.name();
    FlatTable root = file_.root("TFL3");
    readBuffers(root);
    readOperatorCodes(root);

    FlatVector subgraphs = root.vector(slot::kModelSubgraphs, 4, "subgraph list");
    if (subgraphs.count == 0) file_.damaged("the model has no subgraph");
    FlatTable graph = file_.tableElement(subgraphs, 0, "subgraph");

    FlatVector tensors = graph.vector(slot::kSubgraphTensors, 4, "tensor list");
    for (std::uint32_t i = 0; i < tensors.count; ++i)
      model.tensors.push_back(readTensor(file_.tableElement(tensors, i, "tensor")));
    model.inputs = tensorIndices(graph.vector(slot::kSubgraphInputs, 4, "input list"), model, "graph input", false);
    model.outputs = tensorIndices(graph.vector(slot::kSubgraphOutputs, 4, "output list"), model, "graph output", false);

    FlatVector operators = graph.vector(slot::kSubgraphOperators, 4, "operator list");
    std::vector<ModelOperator> read;
    read.reserve(operators.count);
    for (std::uint32_t i = 0; i < operators.count; ++i)
      read.push_back(readOperator(file_.tableElement(operators, i, "operator"), model, i));
    std::vector<int> readers = readersOfEachTensor(read, model);
    for (ModelOperator& op : read) {
      if ((op.kind == OpKind::Dequantize || op.kind == OpKind::Densify) && foldConstant(op, model, readers)) continue;
      model.operators.push_back(std::move(op));
    }
    foldPadsIntoWindows(model, readers);
    return model;
  }

 private:
  struct OperatorCode {
    int builtin = 0;
    std::string custom;
  };

  void readBuffers(const FlatTable& root) {
    FlatVector buffers = root.vector(slot::kModelBuffers, 4, "buffer list");
    for (std::uint32_t i = 0; i < buffers.count; ++i) {
      FlatTable buffer = file_.tableElement(buffers, i, "buffer");
      FlatVector data = buffer.vector(slot::kBufferData, 1, "buffer data");
      buffers_.push_back(file_.bytes().subspan(data.position, data.count));
    }
  }

  void readOperatorCodes(const FlatTable& root) {
    FlatVector codes = root.vector(slot::kModelOperatorCodes, 4, "operator code list");
    for (std::uint32_t i = 0; i < codes.count; ++i) {
      FlatTable code = file_.tableElement(codes, i, "operator code");
      OperatorCode entry;
      entry.builtin = std::max<int>(code.i8(slot::kCodeDeprecatedBuiltin, 0), code.i32(slot::kCodeBuiltin, 0));
      if (entry.builtin == kCustom) entry.custom = code.string(slot::kCodeCustom, "custom operator name");
      codes_.push_back(std::move(entry));
    }
  }

  ModelTensor readTensor(const FlatTable& table) {
    ModelTensor tensor;
    tensor.name = table.string(slot::kTensorName, "tensor name");
    FlatVector shape = table.vector(slot::kTensorShape, 4, "tensor shape");
    std::int64_t elements = 1;
    for (std::uint32_t d = 0; d < shape.count; ++d) {
      std::int32_t extent = file_.int32Element(shape, d, "tensor shape");
      if (extent < 1 || elements * extent > kMaxTensorElements)
        file_.damaged("tensor \"" + tensor.name + "\" has an unusable shape");
      elements *= extent;
      tensor.shape.push_back(extent);
    }
    tensor.typeCode = table.i8(slot::kTensorType, 0);
    tensor.type = tensor.typeCode == 0   ? TensorType::Float32
                  : tensor.typeCode == 1 ? TensorType::Float16
                  : tensor.typeCode == 2 ? TensorType::Int32
                                         : TensorType::Other;
    std::uint32_t bufferIndex = table.u32(slot::kTensorBuffer, 0);
    if (bufferIndex >= buffers_.size())
      file_.damaged("tensor \"" + tensor.name + "\" refers to buffer " + std::to_string(bufferIndex) +
                    " of " + std::to_string(buffers_.size()));
    std::span<const std::uint8_t> data = buffers_[bufferIndex];
    FlatTable sparsity = table;
    const bool sparse = table.table(slot::kTensorSparsity, "tensor sparsity", sparsity);
    if (data.empty()) return tensor;
    if (!sparse) {
      readConstant(tensor, data, elements, tensor.floats);
      return tensor;
    }
    // Only the non-zero values are stored: read them, then put them in their places.
    if (tensor.type != TensorType::Float32 && tensor.type != TensorType::Float16)
      file_.damaged("tensor \"" + tensor.name + "\" is sparse but not of floats");
    const std::size_t elementSize = tensor.type == TensorType::Float16 ? 2 : 4;
    if (data.size() % elementSize != 0)
      file_.damaged("tensor \"" + tensor.name + "\" holds a part of a value");
    // The stored values go to a buffer kept from tensor to tensor: only the dense tensor is new memory.
    readConstant(tensor, data, static_cast<std::int64_t>(data.size() / elementSize), storedValues_);
    std::optional<std::vector<float>> dense = densify(storedValues_, tensor.shape, readSparsity(sparsity));
    if (!dense) file_.damaged("tensor \"" + tensor.name + "\" has sparse data that does not fit its shape");
    tensor.floats = std::move(*dense);
    return tensor;
  }

  SparseLayout readSparsity(const FlatTable& sparsity) {
    SparseLayout layout;
    layout.traversalOrder = intList(sparsity.vector(slot::kSparsityTraversal, 4, "traversal order"), "traversal order");
    layout.blockMap = intList(sparsity.vector(slot::kSparsityBlockMap, 4, "block map"), "block map");
    FlatVector dimensions = sparsity.vector(slot::kSparsityDimensions, 4, "sparse dimensions");
    if (dimensions.count > layout.traversalOrder.size()) file_.damaged("sparse dimensions outnumber the traversal");
    for (std::uint32_t i = 0; i < dimensions.count; ++i) {
      FlatTable table = file_.tableElement(dimensions, i, "sparse dimension");
      SparseDimension dimension;
      dimension.compressed = table.u8(slot::kDimensionFormat, 0) == 1;
      dimension.denseSize = table.i32(slot::kDimensionDenseSize, 0);
      if (dimension.compressed) {
        dimension.segments = indexVector(table, slot::kDimensionSegmentsType, slot::kDimensionSegments);
        dimension.indices = indexVector(table, slot::kDimensionIndicesType, slot::kDimensionIndices);
      }
      layout.dimensions.push_back(std::move(dimension));
    }
    return layout;
  }

  std::vector<int> intList(const FlatVector& list, const std::string& what) {
    std::vector<int> values;
    for (std::uint32_t i = 0; i < list.count; ++i) values.push_back(file_.int32Element(list, i, what));
    return values;
  }

  // A union of int32, uint16 and uint8 vectors (type codes 1, 2, 3).
  std::vector<int> indexVector(const FlatTable& dimension, std::uint16_t typeSlot, std::uint16_t valueSlot) {
    const std::uint8_t type = dimension.u8(typeSlot, 0);
    FlatTable holder = dimension;
    if (type < 1 || type > 3 || !dimension.table(valueSlot, "sparse index vector", holder))
      file_.damaged("a sparse dimension lacks its index vectors");
    const std::size_t size = type == 1 ? 4 : type == 2 ? 2 : 1;
    // The whole vector lies inside the file (checked when it was found), so its elements are read directly.
    FlatVector values = holder.vector(slot::kIndexVectorValues, size, "sparse indices");
    const std::uint8_t* p = file_.bytes().data() + values.position;
    std::vector<int> out(values.count);
    for (std::uint32_t i = 0; i < values.count; ++i, p += size)
      out[i] = type == 1 ? static_cast<std::int32_t>(littleEndian32(p)) : type == 2 ? p[0] | (p[1] << 8) : p[0];
    return out;
  }

  // Floats go to `floats` (the tensor's own, or a buffer for sparse values), integers to the tensor.
  void readConstant(ModelTensor& tensor, std::span<const std::uint8_t> data, std::int64_t elements,
                    std::vector<float>& floats) {
    tensor.constant = true;
    std::size_t elementSize = tensor.type == TensorType::Float16 ? 2 : 4;
    if (tensor.type == TensorType::Other) return;  // rejected by the runner if an operator uses it
    if (data.size() != static_cast<std::size_t>(elements) * elementSize)
      file_.damaged("tensor \"" + tensor.name + "\" holds " + std::to_string(data.size()) +
                    " bytes of data but its shape needs " + std::to_string(elements * elementSize));
    const std::size_t count = static_cast<std::size_t>(elements);
    const std::uint8_t* p = data.data();
    if (tensor.type == TensorType::Float16) {
      floats.resize(count);
      for (std::size_t i = 0; i < count; ++i, p += 2) floats[i] = halfToFloat(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
    } else if (tensor.type == TensorType::Int32) {
      tensor.ints.resize(count);
      for (std::size_t i = 0; i < count; ++i, p += 4) tensor.ints[i] = static_cast<std::int32_t>(littleEndian32(p));
    } else {
      floats.resize(count);
      for (std::size_t i = 0; i < count; ++i, p += 4) {
        const std::uint32_t bits = littleEndian32(p);
        std::memcpy(&floats[i], &bits, sizeof bits);
      }
    }
  }

  static std::uint32_t littleEndian32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
  }

  std::vector<int> tensorIndices(const FlatVector& list, const Model& model, const std::string& what,
                                 bool optional) {
    std::vector<int> indices;
    for (std::uint32_t i = 0; i < list.count; ++i) {
      std::int32_t index = file_.int32Element(list, i, what);
      if ((index < 0 && !(optional && index == -1)) || index >= static_cast<std::int64_t>(model.tensors.size()))
        file_.damaged(what + " refers to tensor " + std::to_string(index) + " of " +
                      std::to_string(model.tensors.size()));
      indices.push_back(index);
    }
    return indices;
  }

  ModelOperator readOperator(const FlatTable& table, const Model& model, std::uint32_t position) {
    std::string where = "operator " + std::to_string(position);
    std::uint32_t codeIndex = table.u32(slot::kOperatorOpcode, 0);
    if (codeIndex >= codes_.size())
      file_.damaged(where + " refers to operator code " + std::to_string(codeIndex) + " of " +
                    std::to_string(codes_.size()));
    const OperatorCode& code = codes_[codeIndex];

    ModelOperator op;
    op.position = static_cast<int>(position);
    op.name = code.builtin == kCustom ? code.custom : builtinOperatorName(code.builtin);
    where += " (" + op.name + ")";
    op.inputs = tensorIndices(table.vector(slot::kOperatorInputs, 4, where + " inputs"), model, where + " input", true);
    op.outputs = tensorIndices(table.vector(slot::kOperatorOutputs, 4, where + " outputs"), model, where + " output", false);
    FlatTable options = table;
    bool hasOptions = table.table(slot::kOperatorBuiltinOptions, where + " options", options);

    switch (code.builtin) {
      case kAdd: op.kind = OpKind::Add; break;
      case kMul: op.kind = OpKind::Mul; break;
      case kAveragePool: op.kind = OpKind::AveragePool; break;
      case kConv: op.kind = OpKind::Conv; break;
      case kDepthwiseConv: op.kind = OpKind::DepthwiseConv; break;
      case kDequantize: op.kind = OpKind::Dequantize; break;
      case kLogistic: op.kind = OpKind::Logistic; break;
      case kRelu: op.kind = OpKind::Relu; break;
      case kResizeBilinear: op.kind = OpKind::ResizeBilinear; break;
      case kMean: op.kind = OpKind::Mean; break;
      case kHardSwish: op.kind = OpKind::HardSwish; break;
      case kMaxPool: op.kind = OpKind::MaxPool; break;
      case kPad: op.kind = OpKind::Pad; break;
      case kReshape: op.kind = OpKind::Reshape; break;
      case kConcatenation: op.kind = OpKind::Concatenation; break;
      case kPRelu: op.kind = OpKind::PRelu; break;
      case kSub: op.kind = OpKind::Sub; break;
      case kAbs: op.kind = OpKind::Abs; break;
      case kDensify: op.kind = OpKind::Densify; break;
      case kDepthToSpace: op.kind = OpKind::DepthToSpace; break;
      case kCustom:
        if (code.custom != kTransposeConvBias)
          file_.damaged(where + ": the custom operator \"" + code.custom + "\" is not supported");
        op.kind = OpKind::TransposeConvBias;
        readTransposeOptions(table.vector(slot::kOperatorCustomOptions, 1, where + " custom options"), op, where);
        return op;
      default:
        file_.damaged(where + ": the operator " + op.name + " is not supported");
    }
    if (hasOptions) readBuiltinOptions(options, op, where);
    return op;
  }

  void readBuiltinOptions(const FlatTable& options, ModelOperator& op, const std::string& where) {
    switch (op.kind) {
      case OpKind::Add:
      case OpKind::Mul:
      case OpKind::Sub:
        op.activation = activation(options.i8(4, 0), where);
        break;
      case OpKind::DepthToSpace:
        op.blockSize = options.i32(4, 0);
        break;
      case OpKind::Concatenation:
        op.axis = options.i32(4, 0);
        op.activation = activation(options.i8(6, 0), where);
        break;
      case OpKind::AveragePool:
      case OpKind::MaxPool:
        op.padding = padding(options.i8(4, 0), where);
        op.strideW = options.i32(6, 0);
        op.strideH = options.i32(8, 0);
        op.filterW = options.i32(10, 0);
        op.filterH = options.i32(12, 0);
        op.activation = activation(options.i8(14, 0), where);
        break;
      case OpKind::Conv:
        op.padding = padding(options.i8(4, 0), where);
        op.strideW = options.i32(6, 0);
        op.strideH = options.i32(8, 0);
        op.activation = activation(options.i8(10, 0), where);
        op.dilationW = options.i32(12, 1);
        op.dilationH = options.i32(14, 1);
        break;
      case OpKind::DepthwiseConv:
        op.padding = padding(options.i8(4, 0), where);
        op.strideW = options.i32(6, 0);
        op.strideH = options.i32(8, 0);
        op.depthMultiplier = options.i32(10, 0);
        op.activation = activation(options.i8(12, 0), where);
        op.dilationW = options.i32(14, 1);
        op.dilationH = options.i32(16, 1);
        break;
      case OpKind::ResizeBilinear:
        op.alignCorners = options.boolean(8, false);
        op.halfPixelCenters = options.boolean(10, false);
        break;
      case OpKind::Mean:
        op.keepDims = options.boolean(4, false);
        break;
      default:
        break;
    }
  }

  void readTransposeOptions(const FlatVector& options, ModelOperator& op, const std::string& where) {
    if (options.count != 12)
      file_.damaged(where + " has " + std::to_string(options.count) + " bytes of options instead of 12");
    std::int32_t paddingCode = file_.i32(options.position, "custom options");
    if (paddingCode != 1 && paddingCode != 2)
      file_.damaged(where + " has the unknown padding " + std::to_string(paddingCode));
    op.padding = paddingCode == 1 ? Padding::Same : Padding::Valid;
    op.strideW = file_.i32(options.position + 4, "custom options");
    op.strideH = file_.i32(options.position + 8, "custom options");
  }

  Padding padding(int code, const std::string& where) {
    if (code != 0 && code != 1) file_.damaged(where + " has the unknown padding " + std::to_string(code));
    return code == 0 ? Padding::Same : Padding::Valid;
  }

  Activation activation(int code, const std::string& where) {
    switch (code) {
      case 0: return Activation::None;
      case 1: return Activation::Relu;
      case 2: return Activation::ReluN1To1;
      case 3: return Activation::Relu6;
      default: file_.damaged(where + ": the fused activation " + std::to_string(code) + " is not supported");
    }
  }

  // A DEQUANTIZE or DENSIFY of constant data is done here once, so the runner never sees it (sparse
  // data is already densified when read, float16 already widened; a DENSIFY keeps the type).
  // The values move when this operator is their only reader (the usual case, and a model's weights
  // are most of its bytes); they are copied when something else reads them too.
  bool foldConstant(const ModelOperator& op, Model& model, std::vector<int>& readers) {
    if (op.inputs.size() != 1 || op.outputs.size() != 1 || op.inputs[0] < 0) return false;
    const std::size_t from = static_cast<std::size_t>(op.inputs[0]);
    ModelTensor& source = model.tensors[from];
    ModelTensor& target = model.tensors[static_cast<std::size_t>(op.outputs[0])];
    if (!source.constant || (source.type != TensorType::Float16 && source.type != TensorType::Float32)) return false;
    const TensorType wanted = op.kind == OpKind::Densify ? source.type : TensorType::Float32;
    if (target.type != wanted || target.constant || source.shape != target.shape) return false;
    if (--readers[from] == 0)
      target.floats = std::move(source.floats);
    else
      target.floats = source.floats;
    target.constant = true;
    return true;
  }

  // A PAD of zeros around the rows and columns whose only reader is a VALID convolution becomes that
  // convolution's own padding: the convolution reads zeros for the taps outside its input either
  // way, and the padded copy is never made. PADs of other shapes or readers stay (and are checked
  // when the runner plans them).
  static void foldPadsIntoWindows(Model& model, const std::vector<int>& readers) {
    std::vector<ModelOperator>& ops = model.operators;
    std::vector<bool> folded(ops.size(), false);
    for (std::size_t i = 0; i < ops.size(); ++i) {
      const ModelOperator& pad = ops[i];
      std::array<int, 4> amounts{};  // top, bottom, left, right
      if (pad.kind != OpKind::Pad || !spatialZeroPadding(pad, model, amounts)) continue;
      const int padded = pad.outputs[0];
      if (readers[static_cast<std::size_t>(padded)] != 1) continue;
      for (std::size_t j = i + 1; j < ops.size(); ++j) {
        ModelOperator& window = ops[j];
        if (std::find(window.inputs.begin(), window.inputs.end(), padded) == window.inputs.end()) continue;
        const bool foldable = (window.kind == OpKind::Conv || window.kind == OpKind::DepthwiseConv) &&
                              window.padding == Padding::Valid && window.inputs[0] == padded &&
                              paddingWithinWindow(window, model, amounts);
        if (foldable) {
          window.inputs[0] = pad.inputs[0];
          window.padding = Padding::Explicit;
          window.padTop = amounts[0];
          window.padBottom = amounts[1];
          window.padLeft = amounts[2];
          window.padRight = amounts[3];
          folded[i] = true;
        }
        break;
      }
    }
    std::vector<ModelOperator> kept;
    kept.reserve(ops.size());
    for (std::size_t i = 0; i < ops.size(); ++i)
      if (!folded[i]) kept.push_back(std::move(ops[i]));
    ops = std::move(kept);
  }

  // Whether `pad` pads a four-dimensional tensor with zeros along its rows and columns only, by
  // counts a window can take; `amounts` then holds them (top, bottom, left, right).
  static bool spatialZeroPadding(const ModelOperator& pad, const Model& model, std::array<int, 4>& amounts) {
    if (pad.inputs.size() != 2 || pad.outputs.size() != 1 || pad.inputs[0] < 0 || pad.inputs[1] < 0) return false;
    const ModelTensor& input = model.tensors[static_cast<std::size_t>(pad.inputs[0])];
    const ModelTensor& paddings = model.tensors[static_cast<std::size_t>(pad.inputs[1])];
    if (input.constant || input.shape.size() != 4 || !paddings.constant || paddings.type != TensorType::Int32 ||
        paddings.ints.size() != 8)
      return false;
    const std::vector<std::int32_t>& p = paddings.ints;
    if (p[0] != 0 || p[1] != 0 || p[6] != 0 || p[7] != 0) return false;  // batch and channels untouched
    constexpr std::int32_t kMostPadding = 1 << 16;
    for (int k = 2; k < 6; ++k)
      if (p[static_cast<std::size_t>(k)] < 0 || p[static_cast<std::size_t>(k)] > kMostPadding) return false;
    amounts = {p[2], p[3], p[4], p[5]};
    return true;
  }

  // Whether every padding amount is smaller than the window along its axis, so each output still
  // reads at least one input pixel (the kernels' explicit padding is only ever met in that form).
  static bool paddingWithinWindow(const ModelOperator& window, const Model& model, const std::array<int, 4>& amounts) {
    if (window.inputs.size() < 2 || window.inputs[1] < 0) return false;
    const std::vector<int>& filter = model.tensors[static_cast<std::size_t>(window.inputs[1])].shape;
    if (filter.size() != 4) return false;
    const int rows = filter[1], columns = filter[2];
    return amounts[0] < rows && amounts[1] < rows && amounts[2] < columns && amounts[3] < columns;
  }

  // How many operator inputs and graph outputs name each tensor.
  static std::vector<int> readersOfEachTensor(const std::vector<ModelOperator>& operators, const Model& model) {
    std::vector<int> readers(model.tensors.size(), 0);
    for (const ModelOperator& op : operators)
      for (int input : op.inputs)
        if (input >= 0) ++readers[static_cast<std::size_t>(input)];
    for (int output : model.outputs) ++readers[static_cast<std::size_t>(output)];
    return readers;
  }

  FlatBuffer file_;
  std::vector<std::span<const std::uint8_t>> buffers_;
  std::vector<OperatorCode> codes_;
  std::vector<float> storedValues_;  // a sparse tensor's stored values, before they are put in place
};

}  // namespace

std::string builtinOperatorName(int code) {
  static constexpr std::array<const char*, 127> kNames = {
      "ADD", "AVERAGE_POOL_2D", "CONCATENATION", "CONV_2D", "DEPTHWISE_CONV_2D", "DEPTH_TO_SPACE",
      "DEQUANTIZE", "EMBEDDING_LOOKUP", "FLOOR", "FULLY_CONNECTED", "HASHTABLE_LOOKUP", "L2_NORMALIZATION",
      "L2_POOL_2D", "LOCAL_RESPONSE_NORMALIZATION", "LOGISTIC", "LSH_PROJECTION", "LSTM", "MAX_POOL_2D",
      "MUL", "RELU", "RELU_N1_TO_1", "RELU6", "RESHAPE", "RESIZE_BILINEAR", "RNN", "SOFTMAX",
      "SPACE_TO_DEPTH", "SVDF", "TANH", "CONCAT_EMBEDDINGS", "SKIP_GRAM", "CALL", "CUSTOM",
      "EMBEDDING_LOOKUP_SPARSE", "PAD", "UNIDIRECTIONAL_SEQUENCE_RNN", "GATHER", "BATCH_TO_SPACE_ND",
      "SPACE_TO_BATCH_ND", "TRANSPOSE", "MEAN", "SUB", "DIV", "SQUEEZE", "UNIDIRECTIONAL_SEQUENCE_LSTM",
      "STRIDED_SLICE", "BIDIRECTIONAL_SEQUENCE_RNN", "EXP", "TOPK_V2", "SPLIT", "LOG_SOFTMAX", "DELEGATE",
      "BIDIRECTIONAL_SEQUENCE_LSTM", "CAST", "PRELU", "MAXIMUM", "ARG_MAX", "MINIMUM", "LESS", "NEG",
      "PADV2", "GREATER", "GREATER_EQUAL", "LESS_EQUAL", "SELECT", "SLICE", "SIN", "TRANSPOSE_CONV",
      "SPARSE_TO_DENSE", "TILE", "EXPAND_DIMS", "EQUAL", "NOT_EQUAL", "LOG", "SUM", "SQRT", "RSQRT",
      "SHAPE", "POW", "ARG_MIN", "FAKE_QUANT", "REDUCE_PROD", "REDUCE_MAX", "PACK", "LOGICAL_OR",
      "ONE_HOT", "LOGICAL_AND", "LOGICAL_NOT", "UNPACK", "REDUCE_MIN", "FLOOR_DIV", "REDUCE_ANY",
      "SQUARE", "ZEROS_LIKE", "FILL", "FLOOR_MOD", "RANGE", "RESIZE_NEAREST_NEIGHBOR", "LEAKY_RELU",
      "SQUARED_DIFFERENCE", "MIRROR_PAD", "ABS", "SPLIT_V", "UNIQUE", "CEIL", "REVERSE_V2", "ADD_N",
      "GATHER_ND", "COS", "WHERE", "RANK", "ELU", "REVERSE_SEQUENCE", "MATRIX_DIAG", "QUANTIZE",
      "MATRIX_SET_DIAG", "ROUND", "HARD_SWISH", "IF", "WHILE", "NON_MAX_SUPPRESSION_V4",
      "NON_MAX_SUPPRESSION_V5", "SCATTER_ND", "SELECT_V2", "DENSIFY", "SEGMENT_SUM", "BATCH_MATMUL"};
  if (code >= 0 && code < static_cast<int>(kNames.size())) return kNames[static_cast<std::size_t>(code)];
  return "builtin operator " + std::to_string(code);
}

Model readModel(std::span<const std::uint8_t> bytes, const std::string& name) {
  return ModelReader(bytes, name).read();
}

void reduceBatchToOne(Model& model) {
  if (model.inputs.empty()) return;
  const auto& inputShape = model.tensors[static_cast<std::size_t>(model.inputs[0])].shape;
  if (inputShape.size() < 2 || inputShape[0] == 1) return;
  const int batch = inputShape[0];
  for (ModelTensor& tensor : model.tensors)
    if (!tensor.constant && tensor.shape.size() >= 2 && tensor.shape[0] == batch) tensor.shape[0] = 1;
}

Model readModelFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ModelError(path + ": cannot open the model file");
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ModelError(path + ": cannot read the model file");
  return readModel(bytes, path);
}

}  // namespace kov
