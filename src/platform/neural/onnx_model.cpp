#include "platform/neural/onnx_model.h"

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <type_traits>

#include "platform/neural/model_error.h"

namespace kov {
namespace {

// Larger tensors or extents than these are taken as damage, far below where sizes overflow.
constexpr std::int64_t kMaxValues = std::int64_t{1} << 28;
constexpr std::int64_t kMaxExtent = std::int64_t{1} << 20;

using Shape4 = std::array<int, 4>;  // NHWC

// A constant of the file, in the file's own (NCHW) order.
struct Constant {
  std::vector<std::int64_t> dims;
  std::vector<float> floats;        // FLOAT data
  std::vector<std::int64_t> ints;   // INT64 or INT32 data
  bool isFloat = true;
  std::size_t count() const { return isFloat ? floats.size() : ints.size(); }
};

class OnnxReader {
 public:
  OnnxReader(const onnx::ModelProto& proto, const std::string& name, int height, int width)
      : proto_(proto), name_(name), height_(height), width_(width) {
    model_.name = name;
  }

  Model read() {
    if (height_ < 1 || width_ < 1 || height_ > kMaxExtent || width_ > kMaxExtent)
      fail("the input size " + std::to_string(width_) + "x" + std::to_string(height_) + " is unusable");
    const onnx::GraphProto& graph = proto_.graph();
    for (const onnx::TensorProto& tensor : graph.initializer()) constants_[tensor.name()] = constant(tensor);
    for (const onnx::OperatorSetIdProto& set : proto_.opset_import())
      if (set.domain().empty() || set.domain() == "ai.onnx") opset_ = set.version();
    countReaders(graph);
    readInput(graph);
    // Constants depend on nothing, so they are all known before the first operator is read.
    for (int i = 0; i < graph.node_size(); ++i) {
      if (graph.node(i).op_type() != "Constant") continue;
      where_ = "operator " + std::to_string(i) + " (Constant)";
      readConstant(graph.node(i));
      skipped_.insert(i);
    }
    for (int i = 0; i < graph.node_size(); ++i) {
      if (skipped_.count(i)) continue;
      where_ = "operator " + std::to_string(i) + " (" + graph.node(i).op_type() + ")";
      current_ = &graph.node(i);
      currentPosition_ = i;
      if (readHardSwish(graph, i)) continue;
      readNode(graph.node(i), i);
    }
    where_.clear();
    if (graph.output_size() == 0) fail("the graph has no outputs");
    for (const onnx::ValueInfoProto& output : graph.output()) {
      auto found = activations_.find(output.name());
      if (found == activations_.end()) fail("no operator writes the graph output \"" + output.name() + "\"");
      model_.outputs.push_back(found->second);
    }
    return std::move(model_);
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw ModelError(name_ + ": " + (where_.empty() ? "" : where_ + ": ") + what);
  }

  void countReaders(const onnx::GraphProto& graph) {
    for (int i = 0; i < graph.node_size(); ++i)
      for (const std::string& input : graph.node(i).input()) {
        ++readers_[input];
        consumers_[input].push_back(i);
      }
    for (const onnx::ValueInfoProto& output : graph.output()) ++readers_[output.name()];
  }

  // The one picture input: the graph inputs that are not initializers.
  void readInput(const onnx::GraphProto& graph) {
    const onnx::ValueInfoProto* input = nullptr;
    for (const onnx::ValueInfoProto& candidate : graph.input()) {
      if (constants_.count(candidate.name())) continue;
      if (input) fail("the graph has more than one input");
      input = &candidate;
    }
    if (!input) fail("the graph has no input");
    const auto& type = input->type().tensor_type();
    if (type.elem_type() != onnx::TensorProto::FLOAT) fail("the graph input is not float32");
    if (type.shape().dim_size() != 4) fail("the graph input is not a 4-D NCHW picture");
    const auto& channels = type.shape().dim(1);
    if (!channels.has_dim_value() || channels.dim_value() < 1 || channels.dim_value() > 4096)
      fail("the graph input has no fixed channel count");
    for (int axis : {2, 3}) {
      const auto& dim = type.shape().dim(axis);
      const int wanted = axis == 2 ? height_ : width_;
      if (dim.has_dim_value() && dim.dim_value() != wanted)
        fail("the graph input is fixed at " + std::to_string(dim.dim_value()) + " along axis " + std::to_string(axis) +
             ", not " + std::to_string(wanted));
    }
    const int index = addActivation(input->name(), {1, height_, width_, static_cast<int>(channels.dim_value())});
    model_.inputs.push_back(index);
  }

  // A tensor's `n` values come either as raw little-endian bytes of type `Stored` or in the typed
  // field of their kind.
  template <typename Stored, typename Field, typename Value>
  void copyValues(const onnx::TensorProto& tensor, std::size_t n, const Field& typed, std::vector<Value>& out) const {
    const std::size_t given = tensor.has_raw_data() ? tensor.raw_data().size() / sizeof(Stored) : static_cast<std::size_t>(typed.size());
    if (given != n || (tensor.has_raw_data() && tensor.raw_data().size() % sizeof(Stored) != 0))
      fail("the tensor \"" + tensor.name() + "\" holds a different number of values than its shape");
    if (!tensor.has_raw_data()) {
      out.assign(typed.begin(), typed.end());
    } else if constexpr (std::is_same_v<Stored, Value>) {
      out.resize(n);
      std::memcpy(out.data(), tensor.raw_data().data(), n * sizeof(Stored));
    } else {
      std::vector<Stored> values(n);
      std::memcpy(values.data(), tensor.raw_data().data(), n * sizeof(Stored));
      out.assign(values.begin(), values.end());
    }
  }

  Constant constant(const onnx::TensorProto& tensor) const {
    if (tensor.data_location() == onnx::TensorProto::EXTERNAL)
      fail("the tensor \"" + tensor.name() + "\" keeps its data in another file");
    Constant c;
    std::int64_t count = 1;
    for (std::int64_t d : tensor.dims()) {
      if (d < 0 || d > kMaxValues) fail("the tensor \"" + tensor.name() + "\" has an unusable shape");
      count *= d;
      if (count > kMaxValues) fail("the tensor \"" + tensor.name() + "\" is too large");
      c.dims.push_back(d);
    }
    const std::size_t n = static_cast<std::size_t>(count);
    switch (tensor.data_type()) {
      case onnx::TensorProto::FLOAT:
        copyValues<float>(tensor, n, tensor.float_data(), c.floats);
        break;
      case onnx::TensorProto::INT64:
        c.isFloat = false;
        copyValues<std::int64_t>(tensor, n, tensor.int64_data(), c.ints);
        break;
      case onnx::TensorProto::INT32:
        c.isFloat = false;
        copyValues<std::int32_t>(tensor, n, tensor.int32_data(), c.ints);
        break;
      default:
        fail("the tensor \"" + tensor.name() + "\" has the unsupported type " + std::to_string(tensor.data_type()));
    }
    return c;
  }

  int addTensor(ModelTensor tensor) {
    model_.tensors.push_back(std::move(tensor));
    return static_cast<int>(model_.tensors.size() - 1);
  }

  int addActivation(const std::string& name, const Shape4& shape) {
    if (activations_.count(name) || constants_.count(name)) fail("the value \"" + name + "\" is written twice");
    ModelTensor tensor;
    tensor.name = name;
    tensor.shape.assign(shape.begin(), shape.end());
    const int index = addTensor(std::move(tensor));
    activations_[name] = index;
    return index;
  }

  int addFloatConstant(const std::string& name, std::vector<int> shape, std::vector<float> values) {
    ModelTensor tensor;
    tensor.name = name;
    tensor.shape = std::move(shape);
    tensor.constant = true;
    tensor.floats = std::move(values);
    return addTensor(std::move(tensor));
  }

  int addIntConstant(const std::string& name, std::vector<int> values) {
    ModelTensor tensor;
    tensor.name = name;
    tensor.shape = {static_cast<int>(values.size())};
    tensor.type = TensorType::Int32;
    tensor.constant = true;
    tensor.ints = std::move(values);
    return addTensor(std::move(tensor));
  }

  Shape4 shapeOf(int tensor) const {
    Shape4 shape{1, 1, 1, 1};
    const auto& s = model_.tensors[static_cast<std::size_t>(tensor)].shape;
    std::copy(s.begin(), s.end(), shape.begin() + static_cast<std::ptrdiff_t>(4 - s.size()));
    return shape;
  }

  bool isActivation(const onnx::NodeProto& node, int position) const {
    return position < node.input_size() && activations_.count(node.input(position)) > 0;
  }

  int activation(const onnx::NodeProto& node, int position) const {
    if (position >= node.input_size() || node.input(position).empty())
      fail("input " + std::to_string(position) + " is missing");
    auto found = activations_.find(node.input(position));
    if (found == activations_.end()) {
      if (constants_.count(node.input(position)))
        fail("input " + std::to_string(position) + " (\"" + node.input(position) + "\") must not be constant");
      fail("input " + std::to_string(position) + " (\"" + node.input(position) + "\") is read before any operator writes it");
    }
    return found->second;
  }

  const Constant* optionalConstant(const onnx::NodeProto& node, int position) const {
    if (position >= node.input_size() || node.input(position).empty()) return nullptr;
    auto found = constants_.find(node.input(position));
    if (found == constants_.end())
      fail("input " + std::to_string(position) + " (\"" + node.input(position) + "\") must be constant");
    return &found->second;
  }

  const Constant& requiredConstant(const onnx::NodeProto& node, int position) const {
    const Constant* c = optionalConstant(node, position);
    if (!c) fail("input " + std::to_string(position) + " is missing");
    return *c;
  }

  const Constant& floatConstant(const onnx::NodeProto& node, int position) const {
    const Constant& c = requiredConstant(node, position);
    if (!c.isFloat) fail("input " + std::to_string(position) + " is not float32");
    return c;
  }

  const onnx::AttributeProto* attribute(const onnx::NodeProto& node, const std::string& name) const {
    for (const onnx::AttributeProto& a : node.attribute())
      if (a.name() == name) return &a;
    return nullptr;
  }

  std::int64_t intAttribute(const onnx::NodeProto& node, const std::string& name, std::int64_t fallback) const {
    const auto* a = attribute(node, name);
    return a ? a->i() : fallback;
  }

  float floatAttribute(const onnx::NodeProto& node, const std::string& name, float fallback) const {
    const auto* a = attribute(node, name);
    return a ? a->f() : fallback;
  }

  std::string textAttribute(const onnx::NodeProto& node, const std::string& name, const std::string& fallback) const {
    const auto* a = attribute(node, name);
    return a ? a->s() : fallback;
  }

  // A list of `count` whole numbers, each within [low, high]; `fallback` when absent.
  std::vector<int> intsAttribute(const onnx::NodeProto& node, const std::string& name, std::size_t count, int low,
                                 int high, int fallback) const {
    const auto* a = attribute(node, name);
    if (!a) return std::vector<int>(count, fallback);
    if (static_cast<std::size_t>(a->ints_size()) != count)
      fail("the attribute " + name + " does not hold " + std::to_string(count) + " values");
    std::vector<int> values;
    for (std::int64_t v : a->ints()) {
      if (v < low || v > high) fail("the attribute " + name + " holds the unusable value " + std::to_string(v));
      values.push_back(static_cast<int>(v));
    }
    return values;
  }

  std::string output(const onnx::NodeProto& node) const {
    if (node.output_size() < 1 || node.output(0).empty()) fail("has no output");
    for (int i = 1; i < node.output_size(); ++i)
      if (!node.output(i).empty() && readers_.count(node.output(i)))
        fail("only the first output of this operator is supported");
    return node.output(0);
  }

  ModelOperator& addOperator(OpKind kind, const onnx::NodeProto& node, int position, std::vector<int> inputs,
                             const Shape4& outShape) {
    for (int extent : outShape)
      if (extent < 1 || extent > kMaxExtent) fail("computes an unusable output shape");
    if (static_cast<std::int64_t>(outShape[1]) * outShape[2] * outShape[3] > kMaxValues)
      fail("makes an output too large to hold");
    ModelOperator op;
    op.kind = kind;
    op.name = node.op_type();
    op.position = position;
    op.inputs = std::move(inputs);
    op.outputs = {addActivation(output(node), outShape)};
    model_.operators.push_back(std::move(op));
    producers_[model_.operators.back().outputs[0]] = model_.operators.size() - 1;
    return model_.operators.back();
  }

  bool isScalar(const std::string& name, float value) const {
    auto found = constants_.find(name);
    return found != constants_.end() && found->second.isFloat && found->second.count() == 1 &&
           found->second.floats[0] == value;
  }

  // The position of the only operator that reads `value` when it is of type `type`, else -1.
  int onlyReader(const onnx::GraphProto& graph, const std::string& value, const std::string& type) const {
    auto found = consumers_.find(value);
    if (found == consumers_.end() || found->second.size() != 1 || readers_.at(value) != 1) return -1;
    const onnx::NodeProto& node = graph.node(found->second[0]);
    return node.op_type() == type && node.output_size() >= 1 ? found->second[0] : -1;
  }

  // x * clip(x + 3, 0, 6) / 6, written out as Add, Clip, Mul and Div, is one hard-swish, which the
  // runner applies as it stores a convolution's results.
  bool readHardSwish(const onnx::GraphProto& graph, int position) {
    const onnx::NodeProto& add = graph.node(position);
    if (add.op_type() != "Add" || add.input_size() != 2 || add.output_size() < 1) return false;
    const int xAt = isScalar(add.input(1), 3.0f) ? 0 : isScalar(add.input(0), 3.0f) ? 1 : -1;
    if (xAt < 0 || !isActivation(add, xAt)) return false;
    const std::string& x = add.input(xAt);
    const int clipAt = onlyReader(graph, add.output(0), "Clip");
    if (clipAt < 0) return false;
    const onnx::NodeProto* clip = &graph.node(clipAt);
    // Older files give the bounds as attributes, newer ones as inputs.
    const bool boundsAsInputs = clip->input_size() == 3 && isScalar(clip->input(1), 0.0f) && isScalar(clip->input(2), 6.0f);
    const bool boundsAsAttributes = clip->input_size() == 1 && attribute(*clip, "min") && attribute(*clip, "max") &&
                                    floatAttribute(*clip, "min", -1) == 0.0f && floatAttribute(*clip, "max", -1) == 6.0f;
    if (clip->input(0) != add.output(0) || !(boundsAsInputs || boundsAsAttributes)) return false;
    const int mulAt = onlyReader(graph, clip->output(0), "Mul");
    if (mulAt < 0) return false;
    const onnx::NodeProto* mul = &graph.node(mulAt);
    if ( mul->input_size() != 2 || !((mul->input(0) == x) != (mul->input(1) == x))) return false;
    const int divAt = onlyReader(graph, mul->output(0), "Div");
    if (divAt < 0) return false;
    const onnx::NodeProto* div = &graph.node(divAt);
    if ( div->input_size() != 2 || div->input(0) != mul->output(0) || !isScalar(div->input(1), 6.0f)) return false;
    const int in = activation(add, xAt);
    addOperatorLike(OpKind::HardSwish, *div, position, {in}, in);
    skipped_.insert({clipAt, mulAt, divAt});
    return true;
  }

  void readNode(const onnx::NodeProto& node, int position) {
    if (!node.domain().empty() && node.domain() != "ai.onnx") fail("the operator domain " + node.domain() + " is not supported");
    const std::string& type = node.op_type();
    current_ = &node;
    currentPosition_ = position;
    if (type == "Constant") return readConstant(node);
    if (foldConstantNode(node)) return;
    if (type == "Conv") return readConv(node, position);
    if (type == "ConvTranspose") return readConvTranspose(node, position);
    if (type == "BatchNormalization") return readBatchNormalization(node, position);
    if (type == "Add") return readBinary(OpKind::Add, node, position);
    if (type == "Mul") return readBinary(OpKind::Mul, node, position);
    if (type == "Sub") return readBinary(OpKind::Sub, node, position);
    if (type == "Div") return readBinary(OpKind::Div, node, position);
    if (type == "Relu") {
      readUnary(OpKind::Relu, node, position);
      return;
    }
    if (type == "Sigmoid") {
      readUnary(OpKind::Logistic, node, position);
      return;
    }
    if (type == "HardSigmoid") {
      ModelOperator& op = readUnary(OpKind::HardSigmoid, node, position);
      op.alpha = floatAttribute(node, "alpha", 0.2f);
      op.beta = floatAttribute(node, "beta", 0.5f);
      return;
    }
    if (type == "Clip") return readClip(node, position);
    if (type == "GlobalAveragePool") return readGlobalAveragePool(node, position);
    if (type == "Concat") return readConcat(node, position);
    if (type == "Resize") return readResize(node, position);
    if (type == "AveragePool") return readAveragePool(node, position);
    if (type == "MatMul") return readMatMul(node, position);
    if (type == "Transpose") return readTranspose(node, position);
    if (type == "Reshape" || type == "Squeeze" || type == "Unsqueeze" || type == "Flatten") return readReshape(node, position);
    if (type == "Slice") return readSlice(node, position);
    if (type == "Softmax") return readSoftmax(node, position);
    if (type == "ReduceMean") return readReduceMean(node, position);
    if (type == "Pow") return readPow(node, position);
    if (type == "Sqrt") {
      readUnary(OpKind::Sqrt, node, position);
      return;
    }
    fail("the operator " + type + " is not supported");
  }

  void readConstant(const onnx::NodeProto& node) {
    const auto* value = attribute(node, "value");
    if (!value || !value->has_t()) fail("only a constant tensor in the value attribute is supported");
    const std::string name = output(node);
    if (activations_.count(name) || constants_.count(name)) fail("the value \"" + name + "\" is written twice");
    constants_[name] = constant(value->t());
  }

  // A 4-D tensor in the file's order: dims and values as [a, b, c, d].
  static std::array<int, 4> dims4(const Constant& c) {
    return {static_cast<int>(c.dims[0]), static_cast<int>(c.dims[1]), static_cast<int>(c.dims[2]),
            static_cast<int>(c.dims[3])};
  }

  // Explicit paddings [top, left, bottom, right] as ONNX gives them ([x1_begin, x2_begin, x1_end, x2_end]).
  void readPads(const onnx::NodeProto& node, ModelOperator& op) {
    const std::string autoPad = textAttribute(node, "auto_pad", "NOTSET");
    if (autoPad != "NOTSET" && autoPad != "VALID") fail("the auto_pad " + autoPad + " is not supported");
    std::vector<int> pads = intsAttribute(node, "pads", 4, 0, static_cast<int>(kMaxExtent), 0);
    op.padding = Padding::Explicit;
    op.padTop = pads[0];
    op.padLeft = pads[1];
    op.padBottom = pads[2];
    op.padRight = pads[3];
  }

  // The window a convolution or pooling step slides: its paddings (as `readPads` read them), strides
  // and extent.
  static void setWindow(ModelOperator& added, const ModelOperator& pads, const std::vector<int>& strides, int kh, int kw) {
    added.padding = pads.padding;
    added.padTop = pads.padTop;
    added.padLeft = pads.padLeft;
    added.padBottom = pads.padBottom;
    added.padRight = pads.padRight;
    added.strideH = strides[0];
    added.strideW = strides[1];
    added.filterH = kh;
    added.filterW = kw;
  }

  void readConv(const onnx::NodeProto& node, int position) {
    const int in = pictureInput(node, 0);
    const Shape4 inShape = shapeOf(in);
    const Constant& weights = floatConstant(node, 1);
    const Constant* bias = optionalConstant(node, 2);
    if (weights.dims.size() != 4) fail("only 2-D convolutions are supported");
    const auto [outC, groupC, kh, kw] = dims4(weights);
    const std::int64_t group = intAttribute(node, "group", 1);
    if (group < 1 || groupC * group != inShape[3])
      fail("the weights [" + std::to_string(outC) + ", " + std::to_string(groupC) + ", ...] do not fit " +
           std::to_string(inShape[3]) + " input channels in " + std::to_string(group) + " groups");
    const bool depthwise = group > 1;
    if (depthwise && (groupC != 1 || outC % group != 0)) fail("only plain and depthwise convolutions are supported");
    if (bias && (!bias->isFloat || bias->count() != static_cast<std::size_t>(outC))) fail("the bias does not match the weights");
    const std::vector<int> kernel = intsAttribute(node, "kernel_shape", 2, 1, static_cast<int>(kMaxExtent), 0);
    if (attribute(node, "kernel_shape") && (kernel[0] != kh || kernel[1] != kw)) fail("kernel_shape differs from the weights");
    const std::vector<int> strides = intsAttribute(node, "strides", 2, 1, 1 << 16, 1);
    const std::vector<int> dilations = intsAttribute(node, "dilations", 2, 1, 1 << 16, 1);

    // [out, in, kh, kw] becomes [out, kh, kw, in]; depthwise [out, 1, kh, kw] becomes [1, kh, kw, out].
    std::vector<float> packed(weights.floats.size());
    for (int o = 0; o < outC; ++o)
      for (int i = 0; i < groupC; ++i)
        for (int y = 0; y < kh; ++y)
          for (int x = 0; x < kw; ++x) {
            const float v = weights.floats[((static_cast<std::size_t>(o) * groupC + i) * kh + y) * kw + x];
            if (depthwise) packed[(static_cast<std::size_t>(y) * kw + x) * outC + o] = v;
            else packed[((static_cast<std::size_t>(o) * kh + y) * kw + x) * groupC + i] = v;
          }
    std::vector<int> shape = depthwise ? std::vector<int>{1, kh, kw, outC} : std::vector<int>{outC, kh, kw, groupC};
    const int weightTensor = addFloatConstant(node.input(1), shape, std::move(packed));
    const int biasTensor = bias ? addFloatConstant(node.input(2), {outC}, bias->floats) : -1;

    ModelOperator op;
    readPads(node, op);
    auto extent = [&](int input, int before, int after, int k, int stride, int dilation) {
      const std::int64_t padded = std::int64_t{input} + before + after - (std::int64_t{k} - 1) * dilation - 1;
      if (padded < 0) fail("has a window larger than its input");
      return static_cast<int>(padded / stride + 1);
    };
    const Shape4 outShape{1, extent(inShape[1], op.padTop, op.padBottom, kh, strides[0], dilations[0]),
                          extent(inShape[2], op.padLeft, op.padRight, kw, strides[1], dilations[1]), outC};
    ModelOperator& added = addOperator(depthwise ? OpKind::DepthwiseConv : OpKind::Conv, node, position,
                                       {in, weightTensor, biasTensor}, outShape);
    setWindow(added, op, strides, kh, kw);
    added.dilationH = dilations[0];
    added.dilationW = dilations[1];
    added.depthMultiplier = depthwise ? outC / static_cast<int>(group) : 1;
  }

  // Only the forms the runner's transposed convolution has: no padding (each input pixel spreads over
  // a whole kernel), or symmetric padding that makes the output exactly stride times the input.
  void readConvTranspose(const onnx::NodeProto& node, int position) {
    const int in = pictureInput(node, 0);
    const Shape4 inShape = shapeOf(in);
    const Constant& weights = floatConstant(node, 1);
    const Constant* bias = optionalConstant(node, 2);
    if (weights.dims.size() != 4) fail("only 2-D transposed convolutions are supported");
    const auto [inC, outC, kh, kw] = dims4(weights);
    if (intAttribute(node, "group", 1) != 1) fail("only transposed convolutions of one group are supported");
    if (inC != inShape[3]) fail("the weights do not fit " + std::to_string(inShape[3]) + " input channels");
    if (bias && (!bias->isFloat || bias->count() != static_cast<std::size_t>(outC))) fail("the bias does not match the weights");
    if (intsAttribute(node, "dilations", 2, 1, 1, 1) != std::vector<int>{1, 1}) fail("dilated transposed convolutions are not supported");
    if (intsAttribute(node, "output_padding", 2, 0, 0, 0) != std::vector<int>{0, 0}) fail("output_padding is not supported");
    if (attribute(node, "output_shape")) fail("output_shape is not supported");
    const std::vector<int> strides = intsAttribute(node, "strides", 2, 1, 1 << 16, 1);
    const std::vector<int> pads = intsAttribute(node, "pads", 4, 0, static_cast<int>(kMaxExtent), 0);
    Padding padding;
    Shape4 outShape{1, 0, 0, outC};
    if (pads == std::vector<int>{0, 0, 0, 0}) {
      padding = Padding::Valid;
      outShape[1] = (inShape[1] - 1) * strides[0] + kh;
      outShape[2] = (inShape[2] - 1) * strides[1] + kw;
    } else if (pads[0] == pads[2] && pads[1] == pads[3] && kh - 2 * pads[0] == strides[0] && kw - 2 * pads[1] == strides[1]) {
      padding = Padding::Same;
      outShape[1] = inShape[1] * strides[0];
      outShape[2] = inShape[2] * strides[1];
    } else {
      fail("only no padding, or padding that gives stride times the input, is supported");
    }
    // [in, out, kh, kw] becomes [out, kh, kw, in].
    std::vector<float> packed(weights.floats.size());
    for (int i = 0; i < inC; ++i)
      for (int o = 0; o < outC; ++o)
        for (int y = 0; y < kh; ++y)
          for (int x = 0; x < kw; ++x)
            packed[((static_cast<std::size_t>(o) * kh + y) * kw + x) * inC + i] =
                weights.floats[((static_cast<std::size_t>(i) * outC + o) * kh + y) * kw + x];
    const int weightTensor = addFloatConstant(node.input(1), {outC, kh, kw, inC}, std::move(packed));
    const int biasTensor = bias ? addFloatConstant(node.input(2), {outC}, bias->floats) : -1;
    ModelOperator& op = addOperator(OpKind::TransposeConvBias, node, position, {in, weightTensor, biasTensor}, outShape);
    op.padding = padding;
    op.strideH = strides[0];
    op.strideW = strides[1];
  }

  // Per-channel scale and shift; folded into the convolution that writes the input when nothing
  // else reads its result, else applied as a multiplication and an addition.
  void readBatchNormalization(const onnx::NodeProto& node, int position) {
    const int in = pictureInput(node, 0);
    const Shape4 inShape = shapeOf(in);
    const std::size_t channels = static_cast<std::size_t>(inShape[3]);
    const float epsilon = floatAttribute(node, "epsilon", 1e-5f);
    std::vector<float> scale(channels), shift(channels);
    const Constant* parts[4];
    for (int i = 0; i < 4; ++i) {
      parts[i] = &floatConstant(node, i + 1);
      if (parts[i]->count() != channels) fail("input " + std::to_string(i + 1) + " does not hold one value per channel");
    }
    for (std::size_t c = 0; c < channels; ++c) {
      const float variance = parts[3]->floats[c] + epsilon;
      if (!(variance > 0)) fail("has a variance that is not above zero");
      scale[c] = parts[0]->floats[c] / std::sqrt(variance);
      shift[c] = parts[1]->floats[c] - parts[2]->floats[c] * scale[c];
    }
    if (foldIntoConvolution(node, node.input(0), in, scale, shift)) return;
    const std::string name = output(node);
    const int scaleTensor = addFloatConstant(name + " scale", {1, 1, 1, static_cast<int>(channels)}, std::move(scale));
    const int shiftTensor = addFloatConstant(name + " shift", {1, 1, 1, static_cast<int>(channels)}, std::move(shift));
    ModelTensor scaled;
    scaled.name = name + " scaled";
    scaled.shape.assign(inShape.begin(), inShape.end());
    const int scaledTensor = addTensor(std::move(scaled));
    ModelOperator mul;
    mul.kind = OpKind::Mul;
    mul.name = node.op_type();
    mul.position = position;
    mul.inputs = {in, scaleTensor};
    mul.outputs = {scaledTensor};
    model_.operators.push_back(mul);
    addOperator(OpKind::Add, node, position, {scaledTensor, shiftTensor}, inShape);
  }

  // Folds out = in * scale + shift (per output channel) into the convolution that writes `in` when
  // nothing else reads `in`; then the convolution writes `node`'s output.
  bool foldIntoConvolution(const onnx::NodeProto& node, const std::string& inName, int in,
                           const std::vector<float>& scale, const std::vector<float>& shift) {
    auto producer = producers_.find(in);
    if (producer == producers_.end() || readers_[inName] != 1) return false;
    ModelOperator& conv = model_.operators[producer->second];
    if (conv.kind != OpKind::Conv && conv.kind != OpKind::DepthwiseConv) return false;
    ModelTensor& weights = model_.tensors[static_cast<std::size_t>(conv.inputs[1])];
    const std::size_t channels = scale.size();
    if (conv.kind == OpKind::Conv) {
      const std::size_t perOutput = weights.floats.size() / channels;
      for (std::size_t o = 0; o < channels; ++o)
        for (std::size_t k = 0; k < perOutput; ++k) weights.floats[o * perOutput + k] *= scale[o];
    } else {
      for (std::size_t k = 0; k < weights.floats.size(); ++k) weights.floats[k] *= scale[k % channels];
    }
    if (conv.inputs[2] < 0) conv.inputs[2] = addFloatConstant(weights.name + " bias", {static_cast<int>(channels)},
                                                              std::vector<float>(channels, 0.0f));
    ModelTensor& bias = model_.tensors[static_cast<std::size_t>(conv.inputs[2])];
    for (std::size_t o = 0; o < channels; ++o) bias.floats[o] = bias.floats[o] * scale[o] + shift[o];
    // The convolution now writes the normalised values under the normalisation's output name.
    const int result = conv.outputs[0];
    activations_.erase(inName);
    model_.tensors[static_cast<std::size_t>(result)].name = output(node);
    if (activations_.count(output(node)) || constants_.count(output(node)))
      fail("the value \"" + output(node) + "\" is written twice");
    activations_[output(node)] = result;
    return true;
  }

  // A constant operand of an element-wise operator in NHWC: ONNX lines up trailing axes, so it is
  // taken as [n, c, h, w] after ones are put in front, then reordered.
  int elementwiseConstant(const std::string& name, const Constant& c) {
    if (!c.isFloat) fail("the constant \"" + name + "\" is not float32");
    if (c.dims.size() > 4) fail("the constant \"" + name + "\" has more than 4 dimensions");
    std::array<int, 4> nchw{1, 1, 1, 1};
    for (std::size_t d = 0; d < c.dims.size(); ++d) nchw[4 - c.dims.size() + d] = static_cast<int>(c.dims[d]);
    const auto [n, ch, h, w] = nchw;
    std::vector<float> values(c.floats.size());
    for (int b = 0; b < n; ++b)
      for (int k = 0; k < ch; ++k)
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x)
            values[((static_cast<std::size_t>(b) * h + y) * w + x) * ch + k] =
                c.floats[((static_cast<std::size_t>(b) * ch + k) * h + y) * w + x];
    return addFloatConstant(name, {n, h, w, ch}, std::move(values));
  }

  // A multiplication or addition of a convolution's result by a constant of one value, or of one
  // value per channel, becomes part of the convolution's weights and bias.
  bool foldAffine(OpKind kind, const onnx::NodeProto& node) {
    if (kind != OpKind::Mul && kind != OpKind::Add) return false;
    if (isActivation(node, 0) == isActivation(node, 1)) return false;
    const int activationAt = isActivation(node, 0) ? 0 : 1;
    const int in = activation(node, activationAt);
    const Constant& c = requiredConstant(node, 1 - activationAt);
    const std::size_t channels = static_cast<std::size_t>(shapeOf(in)[3]);
    if (!c.isFloat || c.dims.size() > 4) return false;
    std::vector<float> perChannel;
    if (c.count() == 1) {
      perChannel.assign(channels, c.floats[0]);
    } else if (isPlain(in)) {
      // A plain tensor keeps its channels on the last axis: [.., 1, C] lines up with them.
      if (c.dims.empty() || c.dims.back() != static_cast<std::int64_t>(channels) || c.count() != channels) return false;
      perChannel = c.floats;
    } else {
      // One value per channel only when its shape lines up with the channel axis: [C, 1, 1] or [1, C, 1, 1].
      std::vector<std::int64_t> dims(4 - c.dims.size(), 1);
      dims.insert(dims.end(), c.dims.begin(), c.dims.end());
      if (dims[0] != 1 || dims[1] != static_cast<std::int64_t>(channels) || dims[2] != 1 || dims[3] != 1) return false;
      perChannel = c.floats;
    }
    const std::vector<float> ones(channels, 1.0f), zeros(channels, 0.0f);
    return kind == OpKind::Mul ? foldIntoConvolution(node, node.input(activationAt), in, perChannel, zeros)
                               : foldIntoConvolution(node, node.input(activationAt), in, ones, perChannel);
  }

  int operand(const onnx::NodeProto& node, int position) {
    if (isActivation(node, position)) return activation(node, position);
    return elementwiseConstant(node.input(position), requiredConstant(node, position));
  }

  void readBinary(OpKind kind, const onnx::NodeProto& node, int position) {
    if (node.input_size() != 2) fail("must have two inputs");
    for (int i = 0; i < 2; ++i)
      if (!isActivation(node, i) && !constants_.count(node.input(i))) activation(node, i);  // names the unknown input
    if (!isActivation(node, 0) && !isActivation(node, 1)) fail("operators on constants alone are not supported");
    if (foldAffine(kind, node)) return;
    if ((isActivation(node, 0) && isPlain(activation(node, 0))) || (isActivation(node, 1) && isPlain(activation(node, 1))))
      return readPlainBinary(kind, node, position);
    const int a = operand(node, 0), b = operand(node, 1);
    const Shape4 sa = shapeOf(a), sb = shapeOf(b);
    Shape4 out;
    for (int d = 0; d < 4; ++d) {
      if (sa[d] != sb[d] && sa[d] != 1 && sb[d] != 1) fail("the shapes of its inputs cannot be broadcast together");
      out[d] = std::max(sa[d], sb[d]);
    }
    addOperator(kind, node, position, {a, b}, out);
  }

  ModelOperator& readUnary(OpKind kind, const onnx::NodeProto& node, int position) {
    const int in = activation(node, 0);
    return addOperatorLike(kind, node, position, {in}, in);
  }

  // Bounds from inputs 1 and 2 (scalars, either may be absent) or, in older files, from attributes.
  void readClip(const onnx::NodeProto& node, int position) {
    auto bound = [&](int input, const char* name, float fallback) {
      if (const Constant* c = optionalConstant(node, input)) {
        if (!c->isFloat || c->count() != 1) fail("input " + std::to_string(input) + " is not one float32 value");
        return c->floats[0];
      }
      return floatAttribute(node, name, fallback);
    };
    const float low = bound(1, "min", -std::numeric_limits<float>::infinity());
    const float high = bound(2, "max", std::numeric_limits<float>::infinity());
    ModelOperator& op = readUnary(OpKind::Clip, node, position);
    op.clipMin = low;
    op.clipMax = high;
  }

  void readGlobalAveragePool(const onnx::NodeProto& node, int position) {
    const int in = pictureInput(node, 0);
    const Shape4 s = shapeOf(in);
    const int axes = addIntConstant(output(node) + " axes", {1, 2});
    addOperator(OpKind::Mean, node, position, {in, axes}, {1, 1, 1, s[3]}).keepDims = true;
  }

  void readConcat(const onnx::NodeProto& node, int position) {
    if (node.input_size() < 1) fail("has no inputs");
    std::int64_t axis = intAttribute(node, "axis", 1);
    if (axis < 0) axis += 4;
    if (axis < 0 || axis > 3) fail("has the unusable axis " + std::to_string(intAttribute(node, "axis", 1)));
    static constexpr int kNhwcAxis[4] = {0, 3, 1, 2};
    const int nhwc = kNhwcAxis[axis];
    std::vector<int> inputs;
    Shape4 out{};
    for (int i = 0; i < node.input_size(); ++i) {
      const int in = pictureInput(node, i);
      const Shape4 s = shapeOf(in);
      if (i == 0) {
        out = s;
        out[static_cast<std::size_t>(nhwc)] = 0;
      }
      for (int d = 0; d < 4; ++d)
        if (d != nhwc && s[static_cast<std::size_t>(d)] != out[static_cast<std::size_t>(d)])
          fail("joins tensors whose shapes differ off the axis");
      out[static_cast<std::size_t>(nhwc)] += s[static_cast<std::size_t>(nhwc)];
      inputs.push_back(in);
    }
    addOperator(OpKind::Concatenation, node, position, std::move(inputs), out).axis = nhwc;
  }

  // Nearest (asymmetric, rounding down) or bilinear resizing of height and width, by constant
  // scales or sizes.
  void readResize(const onnx::NodeProto& node, int position) {
    const int in = pictureInput(node, 0);
    const Shape4 s = shapeOf(in);
    const std::string mode = textAttribute(node, "mode", "nearest");
    const std::string transform = textAttribute(node, "coordinate_transformation_mode", "half_pixel");
    int outH = 0, outW = 0;
    if (const Constant* sizes = node.input_size() > 3 ? optionalConstant(node, 3) : nullptr;
        sizes && sizes->count() > 0) {
      if (sizes->isFloat || sizes->count() != 4 || sizes->ints[0] != 1 || sizes->ints[1] != s[3])
        fail("only sizes that keep the batch and the channels are supported");
      if (sizes->ints[2] < 1 || sizes->ints[2] > kMaxExtent || sizes->ints[3] < 1 || sizes->ints[3] > kMaxExtent)
        fail("has unusable sizes");
      outH = static_cast<int>(sizes->ints[2]);
      outW = static_cast<int>(sizes->ints[3]);
    } else {
      const Constant* scales = optionalConstant(node, 2);
      if (!scales || !scales->isFloat || scales->count() != 4 || scales->floats[0] != 1 || scales->floats[1] != 1)
        fail("only scales of height and width are supported");
      const double h = std::floor(s[1] * static_cast<double>(scales->floats[2]));
      const double w = std::floor(s[2] * static_cast<double>(scales->floats[3]));
      if (!(h >= 1 && h <= kMaxExtent && w >= 1 && w <= kMaxExtent)) fail("has unusable scales");
      outH = static_cast<int>(h);
      outW = static_cast<int>(w);
    }
    const int size = addIntConstant(output(node) + " size", {outH, outW});
    if (mode == "nearest") {
      const std::string rounding = textAttribute(node, "nearest_mode", "round_prefer_floor");
      if (transform != "asymmetric" || rounding != "floor")
        fail("nearest resizing is supported with asymmetric coordinates rounded down only");
      addOperator(OpKind::ResizeNearest, node, position, {in, size}, {1, outH, outW, s[3]});
    } else if (mode == "linear") {
      if (transform != "half_pixel" && transform != "align_corners" && transform != "asymmetric")
        fail("linear resizing with " + transform + " coordinates is not supported");
      ModelOperator& op = addOperator(OpKind::ResizeBilinear, node, position, {in, size}, {1, outH, outW, s[3]});
      op.halfPixelCenters = transform == "half_pixel";
      op.alignCorners = transform == "align_corners";
    } else {
      fail("the resize mode " + mode + " is not supported");
    }
  }

  // ---- Plain tensors ----
  // Sequence parts of a graph (attention, reshaping, the classifier over time steps) work on tensors
  // that are not pictures. Those are kept in the file's own row-major order under their logical
  // (ONNX) shape; the runner sees them with leading ones dropped, at most four axes. Picture
  // operators and plain ones meet through a transposition, added where one reads the other.

  using Logical = std::vector<std::int64_t>;

  bool isPlain(int tensor) const { return plainShape_.count(tensor) > 0; }

  // The logical shape of an activation: a picture is [1, C, H, W].
  Logical logicalShape(int tensor) const {
    auto found = plainShape_.find(tensor);
    if (found != plainShape_.end()) return found->second;
    const Shape4 s = shapeOf(tensor);
    return {s[0], s[3], s[1], s[2]};
  }

  // The runner's shape of a logical shape: leading ones dropped while there are more than four
  // axes, then other ones.
  std::vector<int> runnerShape(Logical logical) const {
    while (logical.size() > 4 && logical.front() == 1) logical.erase(logical.begin());
    for (auto it = logical.begin(); logical.size() > 4 && it != logical.end();)
      it = *it == 1 ? logical.erase(it) : it + 1;
    if (logical.size() > 4) fail("needs a tensor of more than four axes longer than one");
    std::int64_t count = 1;
    for (std::int64_t extent : logical) {
      if (extent < 1 || extent > kMaxExtent) fail("computes an unusable output shape");
      count *= extent;
      if (count > kMaxValues) fail("makes an output too large to hold");
    }
    return std::vector<int>(logical.begin(), logical.end());
  }

  static std::int64_t countOf(const Logical& logical) {
    std::int64_t count = 1;
    for (std::int64_t extent : logical) count *= extent;
    return count;
  }

  ModelOperator& addPlainOperator(OpKind kind, const onnx::NodeProto& node, int position, std::vector<int> inputs,
                                  const Logical& logical, const std::string& name) {
    ModelTensor tensor;
    tensor.name = name;
    tensor.shape = runnerShape(logical);
    if (activations_.count(name) || constants_.count(name)) fail("the value \"" + name + "\" is written twice");
    const int index = addTensor(std::move(tensor));
    activations_[name] = index;
    plainShape_[index] = logical;
    ModelOperator op;
    op.kind = kind;
    op.name = node.op_type();
    op.position = position;
    op.inputs = std::move(inputs);
    op.outputs = {index};
    model_.operators.push_back(std::move(op));
    producers_[index] = model_.operators.size() - 1;
    return model_.operators.back();
  }

  ModelOperator& addPlainOperator(OpKind kind, const onnx::NodeProto& node, int position, std::vector<int> inputs,
                                  const Logical& logical) {
    return addPlainOperator(kind, node, position, std::move(inputs), logical, output(node));
  }

  // An operator whose output has the layout and shape of the tensor `like`.
  ModelOperator& addOperatorLike(OpKind kind, const onnx::NodeProto& node, int position, std::vector<int> inputs,
                                 int like) {
    if (isPlain(like)) return addPlainOperator(kind, node, position, std::move(inputs), plainShape_.at(like));
    return addOperator(kind, node, position, std::move(inputs), shapeOf(like));
  }

  // A transposition of up to six axes, seen by the runner without the axes of one value.
  ModelOperator& addTranspose(const onnx::NodeProto& node, int position, int in, const Logical& inShape,
                              const std::vector<int>& perm, const std::string& name) {
    Logical outShape;
    for (int axis : perm) outShape.push_back(inShape[static_cast<std::size_t>(axis)]);
    std::vector<int> kept;  // input axes longer than one
    for (std::size_t a = 0; a < inShape.size(); ++a)
      if (inShape[a] > 1) kept.push_back(static_cast<int>(a));
    if (kept.size() > 4) fail("transposes more than four axes longer than one");
    const int offset = 4 - static_cast<int>(kept.size());
    std::array<int, 4> shape{1, 1, 1, 1}, runnerPerm{0, 1, 2, 3};
    for (std::size_t k = 0; k < kept.size(); ++k) shape[static_cast<std::size_t>(offset) + k] = static_cast<int>(inShape[static_cast<std::size_t>(kept[k])]);
    int next = offset;
    for (int axis : perm) {
      if (inShape[static_cast<std::size_t>(axis)] <= 1) continue;
      const auto at = std::find(kept.begin(), kept.end(), axis) - kept.begin();
      runnerPerm[static_cast<std::size_t>(next++)] = offset + static_cast<int>(at);
    }
    ModelOperator& op = addPlainOperator(OpKind::Transpose, node, position, {in}, outShape, name);
    op.perm = runnerPerm;
    op.transposeShape = shape;
    return op;
  }

  // The plain (NCHW) twin of a picture, made once.
  int asPlain(int tensor) {
    if (isPlain(tensor)) return tensor;
    auto twin = plainTwin_.find(tensor);
    if (twin != plainTwin_.end()) return twin->second;
    const Shape4 s = shapeOf(tensor);
    const std::string name = model_.tensors[static_cast<std::size_t>(tensor)].name + " (NCHW)";
    const onnx::NodeProto& node = *current_;
    const int index = addTranspose(node, currentPosition_, tensor, {s[0], s[1], s[2], s[3]}, {0, 3, 1, 2}, name).outputs[0];
    plainTwin_[tensor] = index;
    return index;
  }

  // The picture (NHWC) twin of a plain tensor of the shape [1, C, H, W], made once.
  int asPicture(int tensor) {
    if (!isPlain(tensor)) return tensor;
    auto twin = pictureTwin_.find(tensor);
    if (twin != pictureTwin_.end()) return twin->second;
    Logical s = plainShape_.at(tensor);
    while (s.size() < 4) s.insert(s.begin(), 1);
    if (s.size() != 4 || s[0] != 1) fail("reads a tensor that is not a picture [1, C, H, W] as one");
    const std::string name = model_.tensors[static_cast<std::size_t>(tensor)].name + " (NHWC)";
    ModelOperator& op = addTranspose(*current_, currentPosition_, tensor, s, {0, 2, 3, 1}, name);
    const int index = op.outputs[0];
    // The result is a picture: its runner shape is already [1, H, W, C].
    plainShape_.erase(index);
    model_.tensors[static_cast<std::size_t>(index)].shape = {1, static_cast<int>(s[2]), static_cast<int>(s[3]),
                                                             static_cast<int>(s[1])};
    pictureTwin_[tensor] = index;
    return index;
  }

  int pictureInput(const onnx::NodeProto& node, int position) { return asPicture(activation(node, position)); }
  int plainInput(const onnx::NodeProto& node, int position) { return asPlain(activation(node, position)); }

  // An axis attribute or value within [-rank, rank) as a non-negative one.
  int normalisedAxis(std::int64_t axis, std::size_t rank) const {
    const auto r = static_cast<std::int64_t>(rank);
    if (axis < -r || axis >= r) fail("has the axis " + std::to_string(axis) + " outside a tensor of " + std::to_string(r) + " axes");
    return static_cast<int>(axis < 0 ? axis + r : axis);
  }

  // Element-wise operators with NumPy broadcasting when either input is plain: the other input is
  // made plain too, a constant stays in the file's order.
  void readPlainBinary(OpKind kind, const onnx::NodeProto& node, int position) {
    int index[2];
    Logical shape[2];
    for (int i = 0; i < 2; ++i) {
      if (isActivation(node, i)) {
        index[i] = plainInput(node, i);
        shape[i] = plainShape_.at(index[i]);
      } else {
        const Constant& c = requiredConstant(node, i);
        if (!c.isFloat) fail("the constant \"" + node.input(i) + "\" is not float32");
        shape[i] = c.dims;
        index[i] = addFloatConstant(node.input(i), runnerShape(c.dims), c.floats);
      }
      while (shape[i].size() > 1 && shape[i].front() == 1) shape[i].erase(shape[i].begin());
      if (shape[i].size() > 4) fail("broadcasts a tensor of more than four axes");
    }
    Logical out(std::max(shape[0].size(), shape[1].size()), 1);
    for (std::size_t d = 0; d < out.size(); ++d) {
      const std::size_t back = out.size() - 1 - d;
      const std::int64_t a = d < shape[0].size() ? shape[0][shape[0].size() - 1 - d] : 1;
      const std::int64_t b = d < shape[1].size() ? shape[1][shape[1].size() - 1 - d] : 1;
      if (a != b && a != 1 && b != 1) fail("the shapes of its inputs cannot be broadcast together");
      out[back] = std::max(a, b);
    }
    // The leading ones of the wider input come back, so that later shapes stay the file's.
    Logical full = logicalShape(isActivation(node, 0) ? index[0] : index[1]);
    while (out.size() < full.size() && full[full.size() - out.size() - 1] == 1) out.insert(out.begin(), 1);
    addPlainOperator(kind, node, position, {index[0], index[1]}, out);
  }

  // Shape arithmetic (Shape, Cast, Slice, Concat, Squeeze, Unsqueeze on constants) is worked out
  // here, since every shape is known once the input size is fixed.
  bool foldConstantNode(const onnx::NodeProto& node) {
    const std::string& type = node.op_type();
    if (type == "Shape") {
      const int in = activation(node, 0);
      Constant c;
      c.isFloat = false;
      c.ints = logicalShape(in);
      c.dims = {static_cast<std::int64_t>(c.ints.size())};
      return addFolded(node, std::move(c));
    }
    static const std::set<std::string> kFoldable = {"Cast", "Slice", "Concat", "Squeeze", "Unsqueeze"};
    if (!kFoldable.count(type) || node.input_size() < 1) return false;
    for (const std::string& input : node.input())
      if (!input.empty() && !constants_.count(input)) return false;
    const Constant& in = requiredConstant(node, 0);
    Constant c = in;
    if (type == "Cast") {
      const std::int64_t to = intAttribute(node, "to", 0);
      if (to == onnx::TensorProto::FLOAT && !in.isFloat) {
        c.isFloat = true;
        c.floats.assign(in.ints.begin(), in.ints.end());
        c.ints.clear();
      } else if ((to == onnx::TensorProto::INT64 || to == onnx::TensorProto::INT32) && in.isFloat) {
        c.isFloat = false;
        for (float f : in.floats) {
          if (!(std::fabs(f) < 1e15f)) fail("casts an unusable value to a whole number");
          c.ints.push_back(static_cast<std::int64_t>(f));
        }
        c.floats.clear();
      } else if (to != onnx::TensorProto::FLOAT && to != onnx::TensorProto::INT64 && to != onnx::TensorProto::INT32) {
        fail("casts to the unsupported type " + std::to_string(to));
      }
    } else if (type == "Slice" || type == "Concat") {
      if (in.isFloat || in.dims.size() != 1) fail("only whole-number lists are supported among constants");
      if (type == "Concat") {
        for (int i = 1; i < node.input_size(); ++i) {
          const Constant& more = requiredConstant(node, i);
          if (more.isFloat || more.dims.size() != 1) fail("only whole-number lists are supported among constants");
          c.ints.insert(c.ints.end(), more.ints.begin(), more.ints.end());
        }
      } else {
        const SliceRange range = sliceRange(node, {static_cast<std::int64_t>(in.ints.size())});
        c.ints.assign(in.ints.begin() + range.start, in.ints.begin() + range.start + range.extent);
      }
      c.dims = {static_cast<std::int64_t>(c.ints.size())};
    } else {
      c.dims = type == "Squeeze" ? squeezed(node, in.dims) : unsqueezed(node, in.dims);
    }
    return addFolded(node, std::move(c));
  }

  bool addFolded(const onnx::NodeProto& node, Constant c) {
    const std::string name = output(node);
    if (activations_.count(name) || constants_.count(name)) fail("the value \"" + name + "\" is written twice");
    constants_[name] = std::move(c);
    return true;
  }

  // The axes of Squeeze, Unsqueeze and ReduceMean: an attribute in older files, input 1 in newer.
  std::vector<std::int64_t> axesOf(const onnx::NodeProto& node) const {
    std::vector<std::int64_t> axes;
    if (const auto* a = attribute(node, "axes")) axes.assign(a->ints().begin(), a->ints().end());
    else if (const Constant* c = optionalConstant(node, 1)) {
      if (c->isFloat) fail("the axes are not whole numbers");
      axes = c->ints;
    }
    return axes;
  }

  Logical squeezed(const onnx::NodeProto& node, const Logical& shape) const {
    std::vector<std::int64_t> axes = axesOf(node);
    std::vector<bool> drop(shape.size(), false);
    if (axes.empty())
      for (std::size_t a = 0; a < shape.size(); ++a) drop[a] = shape[a] == 1;
    for (std::int64_t axis : axes) {
      const int a = normalisedAxis(axis, shape.size());
      if (shape[static_cast<std::size_t>(a)] != 1) fail("squeezes the axis " + std::to_string(axis) + ", which is longer than one");
      drop[static_cast<std::size_t>(a)] = true;
    }
    Logical out;
    for (std::size_t a = 0; a < shape.size(); ++a)
      if (!drop[a]) out.push_back(shape[a]);
    return out;
  }

  Logical unsqueezed(const onnx::NodeProto& node, const Logical& shape) const {
    std::vector<std::int64_t> axes = axesOf(node);
    const std::size_t rank = shape.size() + axes.size();
    std::vector<bool> inserted(rank, false);
    for (std::int64_t axis : axes) {
      const int a = normalisedAxis(axis, rank);
      if (inserted[static_cast<std::size_t>(a)]) fail("inserts the axis " + std::to_string(axis) + " twice");
      inserted[static_cast<std::size_t>(a)] = true;
    }
    Logical out;
    std::size_t from = 0;
    for (std::size_t a = 0; a < rank; ++a) out.push_back(inserted[a] ? 1 : shape[from++]);
    return out;
  }

  struct SliceRange {
    int axis = 0;
    std::int64_t start = 0, extent = 0;
  };

  // The one axis a Slice shortens (starts, ends and axes from attributes in older files, from
  // inputs 1 to 3 in newer ones; steps must be 1), clamped to the tensor as ONNX does.
  SliceRange sliceRange(const onnx::NodeProto& node, const Logical& shape) const {
    std::vector<std::int64_t> starts, ends, axes;
    if (attribute(node, "starts")) {
      if (const auto* a = attribute(node, "starts")) starts.assign(a->ints().begin(), a->ints().end());
      if (const auto* a = attribute(node, "ends")) ends.assign(a->ints().begin(), a->ints().end());
      if (const auto* a = attribute(node, "axes")) axes.assign(a->ints().begin(), a->ints().end());
    } else {
      auto ints = [&](int position) {
        const Constant* c = optionalConstant(node, position);
        if (c && c->isFloat) fail("input " + std::to_string(position) + " is not whole numbers");
        return c ? c->ints : std::vector<std::int64_t>{};
      };
      starts = ints(1);
      ends = ints(2);
      axes = ints(3);
      for (std::int64_t step : ints(4))
        if (step != 1) fail("only slices with steps of 1 are supported");
    }
    if (axes.empty())
      for (std::size_t a = 0; a < starts.size(); ++a) axes.push_back(static_cast<std::int64_t>(a));
    if (starts.size() != ends.size() || starts.size() != axes.size() || starts.empty())
      fail("has starts, ends and axes of different lengths");
    SliceRange range;
    bool found = false;
    for (std::size_t i = 0; i < axes.size(); ++i) {
      const int axis = normalisedAxis(axes[i], shape.size());
      const std::int64_t extent = shape[static_cast<std::size_t>(axis)];
      auto clamp = [&](std::int64_t v) { return std::clamp(v < 0 ? v + extent : v, std::int64_t{0}, extent); };
      const std::int64_t start = clamp(starts[i]), end = std::max(clamp(ends[i]), start);
      if (end - start == 0) fail("makes an empty slice");
      if (end - start == extent) continue;
      if (found) fail("only slices along one axis are supported");
      found = true;
      range = {axis, start, end - start};
    }
    if (!found) range = {0, 0, shape.empty() ? 1 : shape[0]};
    return range;
  }

  void readSlice(const onnx::NodeProto& node, int position) {
    const int in = plainInput(node, 0);
    const Logical shape = plainShape_.at(in);
    if (shape.empty()) fail("slices a tensor without axes");
    const SliceRange range = sliceRange(node, shape);
    Logical out = shape;
    out[static_cast<std::size_t>(range.axis)] = range.extent;
    ModelOperator::Window window;
    for (int a = 0; a < range.axis; ++a) window.outer *= shape[static_cast<std::size_t>(a)];
    for (std::size_t a = static_cast<std::size_t>(range.axis) + 1; a < shape.size(); ++a) window.inner *= shape[a];
    window.inExtent = static_cast<int>(shape[static_cast<std::size_t>(range.axis)]);
    window.start = static_cast<int>(range.start);
    window.outExtent = static_cast<int>(range.extent);
    addPlainOperator(OpKind::Slice, node, position, {in}, out).window = window;
  }

  // Reshape, Squeeze, Unsqueeze and Flatten keep the values in order under a new shape.
  void readReshape(const onnx::NodeProto& node, int position) {
    const int in = plainInput(node, 0);
    const Logical shape = plainShape_.at(in);
    const std::string& type = node.op_type();
    Logical out;
    if (type == "Squeeze") {
      out = squeezed(node, shape);
    } else if (type == "Unsqueeze") {
      out = unsqueezed(node, shape);
    } else if (type == "Flatten") {
      const int axis = normalisedAxis(intAttribute(node, "axis", 1), shape.size() + 1);
      out = {1, 1};
      for (std::size_t a = 0; a < shape.size(); ++a) out[a < static_cast<std::size_t>(axis) ? 0 : 1] *= shape[a];
    } else {
      const Constant& target = requiredConstant(node, 1);
      if (target.isFloat || target.dims.size() != 1) fail("the new shape is not a list of whole numbers");
      const bool allowZero = intAttribute(node, "allowzero", 0) != 0;
      int unknown = -1;
      std::int64_t known = 1;
      for (std::size_t a = 0; a < target.ints.size(); ++a) {
        std::int64_t extent = target.ints[a];
        if (extent == 0 && !allowZero) {
          if (a >= shape.size()) fail("copies an extent the input does not have");
          extent = shape[a];
        }
        if (extent == -1) {
          if (unknown >= 0) fail("leaves more than one extent open");
          unknown = static_cast<int>(a);
        } else if (extent < 1 || extent > kMaxExtent) {
          fail("has the unusable extent " + std::to_string(extent));
        } else {
          known *= extent;
          if (known > kMaxValues) fail("makes an output too large to hold");
        }
        out.push_back(extent);
      }
      if (unknown >= 0) {
        if (countOf(shape) % known != 0) fail("cannot spread " + std::to_string(countOf(shape)) + " values over the new shape");
        out[static_cast<std::size_t>(unknown)] = countOf(shape) / known;
      }
    }
    if (countOf(out) != countOf(shape))
      fail("reshapes " + std::to_string(countOf(shape)) + " values into " + std::to_string(countOf(out)));
    addPlainOperator(OpKind::Reshape, node, position, {in}, out);
  }

  void readTranspose(const onnx::NodeProto& node, int position) {
    const int in = plainInput(node, 0);
    const Logical shape = plainShape_.at(in);
    std::vector<int> perm;
    if (const auto* a = attribute(node, "perm")) {
      for (std::int64_t axis : a->ints()) perm.push_back(normalisedAxis(axis, shape.size()));
    } else {
      for (int axis = static_cast<int>(shape.size()) - 1; axis >= 0; --axis) perm.push_back(axis);
    }
    std::vector<int> sorted = perm;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t a = 0; a < sorted.size(); ++a)
      if (sorted[a] != static_cast<int>(a) || sorted.size() != shape.size()) fail("has a permutation that is not one");
    addTranspose(node, position, in, shape, perm, output(node));
  }

  // A product by a constant [K, N] matrix is a 1x1 convolution over the rows; a product of two
  // activations multiplies matching batches of matrices.
  void readMatMul(const onnx::NodeProto& node, int position) {
    const int a = plainInput(node, 0);
    const Logical aShape = plainShape_.at(a);
    if (aShape.size() < 2) fail("multiplies a tensor of fewer than two axes");
    if (!isActivation(node, 1)) {
      const Constant& b = floatConstant(node, 1);
      if (b.dims.size() != 2 || b.dims[0] != aShape.back())
        fail("multiplies [.., " + std::to_string(aShape.back()) + "] by a constant that is not [" +
             std::to_string(aShape.back()) + ", N]");
      const int k = static_cast<int>(b.dims[0]), n = static_cast<int>(b.dims[1]);
      std::vector<float> weights(b.floats.size());
      for (int row = 0; row < k; ++row)
        for (int col = 0; col < n; ++col)
          weights[static_cast<std::size_t>(col) * k + row] = b.floats[static_cast<std::size_t>(row) * n + col];
      const int weightTensor = addFloatConstant(node.input(1), {n, 1, 1, k}, std::move(weights));
      Logical out = aShape;
      out.back() = n;
      ModelOperator& op = addPlainOperator(OpKind::Conv, node, position, {a, weightTensor, -1}, out);
      op.padding = Padding::Valid;
      op.filterH = op.filterW = 1;
      return;
    }
    const int b = plainInput(node, 1);
    const Logical bShape = plainShape_.at(b);
    if (bShape.size() != aShape.size() || !std::equal(aShape.begin(), aShape.end() - 2, bShape.begin()) ||
        bShape[bShape.size() - 2] != aShape.back())
      fail("multiplies tensors whose shapes do not fit ([.., m, k] by [.., k, n] with the same batches)");
    Logical out = aShape;
    out.back() = bShape.back();
    addPlainOperator(OpKind::BatchMatmul, node, position, {a, b}, out);
  }

  // Softmax over the axes from `axis` on (files before opset 13) or over the last axis (newer).
  void readSoftmax(const onnx::NodeProto& node, int position) {
    const int in = plainInput(node, 0);
    const Logical shape = plainShape_.at(in);
    const bool old = opset_ < 13;
    const int axis = normalisedAxis(intAttribute(node, "axis", old ? 1 : -1), shape.size());
    if (!old && axis != static_cast<int>(shape.size()) - 1) fail("only a softmax over the last axis is supported");
    ModelOperator& op = addPlainOperator(OpKind::Softmax, node, position, {in}, shape);
    op.inner = static_cast<int>(countOf(Logical(shape.begin() + axis, shape.end())));
  }

  void readReduceMean(const onnx::NodeProto& node, int position) {
    const int in = plainInput(node, 0);
    Logical shape = plainShape_.at(in);
    const std::vector<std::int64_t> axes = axesOf(node);
    if (axes.size() != 1 || normalisedAxis(axes[0], shape.size()) != static_cast<int>(shape.size()) - 1)
      fail("only the mean over the last axis is supported");
    const int inner = static_cast<int>(shape.back());
    if (intAttribute(node, "keepdims", 1) != 0) shape.back() = 1;
    else shape.pop_back();
    addPlainOperator(OpKind::MeanOfRuns, node, position, {in}, shape).inner = inner;
  }

  void readPow(const onnx::NodeProto& node, int position) {
    const Constant& exponent = floatConstant(node, 1);
    if (exponent.count() != 1) fail("only a single exponent is supported");
    const int in = activation(node, 0);
    addOperatorLike(OpKind::Pow, node, position, {in}, in).alpha = exponent.floats[0];
  }

  // Averages over windows inside the picture (no padding, or padding left out of the count).
  void readAveragePool(const onnx::NodeProto& node, int position) {
    const int in = pictureInput(node, 0);
    const Shape4 s = shapeOf(in);
    if (intAttribute(node, "ceil_mode", 0) != 0) fail("ceil_mode is not supported");
    const std::vector<int> kernel = intsAttribute(node, "kernel_shape", 2, 1, 4096, 0);
    if (kernel[0] < 1) fail("has no kernel_shape");
    const std::vector<int> strides = intsAttribute(node, "strides", 2, 1, 1 << 16, 1);
    ModelOperator op;
    readPads(node, op);
    if (intAttribute(node, "count_include_pad", 0) != 0 && (op.padTop || op.padLeft || op.padBottom || op.padRight))
      fail("counting the padding into the average is not supported");
    auto extent = [&](int input, int before, int after, int k, int stride) {
      const std::int64_t padded = std::int64_t{input} + before + after - k;
      if (padded < 0) fail("has a window larger than its input");
      return static_cast<int>(padded / stride + 1);
    };
    const Shape4 outShape{1, extent(s[1], op.padTop, op.padBottom, kernel[0], strides[0]),
                          extent(s[2], op.padLeft, op.padRight, kernel[1], strides[1]), s[3]};
    ModelOperator& added = addOperator(OpKind::AveragePool, node, position, {in}, outShape);
    setWindow(added, op, strides, kernel[0], kernel[1]);
  }

  const onnx::ModelProto& proto_;
  const std::string& name_;
  const int height_, width_;
  std::string where_;
  Model model_;
  std::map<std::string, Constant> constants_;
  std::map<std::string, int> activations_;
  std::map<std::string, int> readers_;
  std::map<std::string, std::vector<int>> consumers_;  // value -> the operators that read it
  std::set<int> skipped_;                              // operators already read as part of another
  std::map<int, std::size_t> producers_;  // activation tensor -> the operator that writes it
  std::map<int, Logical> plainShape_;     // plain activation -> its logical shape
  std::map<int, int> plainTwin_, pictureTwin_;
  const onnx::NodeProto* current_ = nullptr;  // the operator being read
  int currentPosition_ = 0;
  std::int64_t opset_ = 1;
};

}  // namespace

struct OnnxGraph::Parsed {
  onnx::ModelProto proto;
};

OnnxGraph::OnnxGraph(std::span<const std::uint8_t> bytes, std::string name)
    : parsed_(std::make_unique<Parsed>()), name_(std::move(name)) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) throw ModelError(name_ + ": the model file is too large");
  if (bytes.empty() || !parsed_->proto.ParseFromArray(bytes.data(), static_cast<int>(bytes.size())) ||
      !parsed_->proto.has_graph())
    throw ModelError(name_ + ": not an ONNX model, or a damaged one");
}

OnnxGraph::~OnnxGraph() = default;

Model OnnxGraph::read(int height, int width) const { return OnnxReader(parsed_->proto, name_, height, width).read(); }

Model readOnnxModel(std::span<const std::uint8_t> bytes, const std::string& name, int height, int width) {
  return OnnxGraph(bytes, name).read(height, width);
}

Model readOnnxModelFile(const std::string& path, int height, int width) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ModelError(path + ": cannot open the model file");
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ModelError(path + ": cannot read the model file");
  return readOnnxModel(bytes, path, height, width);
}

}  // namespace kov
