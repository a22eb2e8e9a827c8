// Reading model files: small graphs built here with a FlatBuffer builder, the real models, and
// damaged or foreign files, which must end in a ModelError that names the file, never in a crash.
#include <gtest/gtest.h>

#include <flatbuffers/flatbuffer_builder.h>

#include <cmath>
#include <cstring>
#include <random>

#include "platform/segment/embedded_models.h"
#include "platform/neural/graph_runner.h"
#include "platform/neural/model_error.h"
#include "platform/neural/tflite_model.h"
#include "support/fixtures.h"

namespace kov {
namespace {

using Builder = flatbuffers::FlatBufferBuilder;
using Ref = flatbuffers::Offset<void>;

std::uint16_t halfOf(float value) {
  // Exact for the small multiples of 1/4 used here.
  if (value == 0.0f) return 0;
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  std::uint32_t sign = (bits >> 16) & 0x8000u;
  int exponent = static_cast<int>((bits >> 23) & 0xff) - 127 + 15;
  return static_cast<std::uint16_t>(sign | (static_cast<std::uint32_t>(exponent) << 10) | ((bits >> 13) & 0x3ffu));
}

// Describes a graph compactly; `build` writes it as a TensorFlow Lite FlatBuffer.
struct TensorSpec {
  std::vector<int> shape;
  int type = 0;                 // 0 float32, 1 float16, 2 int32
  std::vector<float> floats;    // constant data, if any
  std::vector<std::int32_t> ints;
};

struct OpSpec {
  int builtin = 0;
  std::string custom;
  std::vector<int> inputs, outputs;
  std::function<Ref(Builder&)> options;  // builtin options table
  std::vector<std::uint8_t> customOptions;
};

struct GraphSpec {
  std::vector<TensorSpec> tensors;
  std::vector<OpSpec> ops;
  std::vector<int> inputs, outputs;
};

std::vector<std::uint8_t> build(const GraphSpec& g) {
  Builder b;
  std::vector<Ref> buffers;
  auto table = [&](auto fill) {
    auto start = b.StartTable();
    fill();
    return Ref(b.EndTable(start));
  };
  buffers.push_back(table([] {}));
  std::vector<Ref> tensors;
  for (const TensorSpec& t : g.tensors) {
    std::uint32_t bufferIndex = 0;
    if (!t.floats.empty() || !t.ints.empty()) {
      std::vector<std::uint8_t> bytes;
      if (t.type == 1) {
        for (float f : t.floats) {
          std::uint16_t h = halfOf(f);
          bytes.push_back(static_cast<std::uint8_t>(h & 0xff));
          bytes.push_back(static_cast<std::uint8_t>(h >> 8));
        }
      } else if (t.type == 2) {
        bytes.resize(t.ints.size() * 4);
        std::memcpy(bytes.data(), t.ints.data(), bytes.size());
      } else {
        bytes.resize(t.floats.size() * 4);
        std::memcpy(bytes.data(), t.floats.data(), bytes.size());
      }
      auto data = b.CreateVector(bytes);
      buffers.push_back(table([&] { b.AddOffset(4, data); }));
      bufferIndex = static_cast<std::uint32_t>(buffers.size() - 1);
    }
    auto shape = b.CreateVector(t.shape);
    auto name = b.CreateString("t" + std::to_string(tensors.size()));
    tensors.push_back(table([&] {
      b.AddOffset(4, shape);
      b.AddElement<std::int8_t>(6, static_cast<std::int8_t>(t.type), 0);
      b.AddElement<std::uint32_t>(8, bufferIndex, 0);
      b.AddOffset(10, name);
    }));
  }
  std::vector<Ref> codes, ops;
  for (std::size_t i = 0; i < g.ops.size(); ++i) {
    const OpSpec& op = g.ops[i];
    auto customName = b.CreateString(op.custom);
    codes.push_back(table([&] {
      b.AddElement<std::int8_t>(4, static_cast<std::int8_t>(std::min(op.builtin, 127)), 0);
      if (!op.custom.empty()) b.AddOffset(6, customName);
      b.AddElement<std::int32_t>(10, op.builtin, 0);
    }));
    auto inputs = b.CreateVector(op.inputs);
    auto outputs = b.CreateVector(op.outputs);
    Ref options = op.options ? op.options(b) : Ref();
    auto customOptions = b.CreateVector(op.customOptions);
    ops.push_back(table([&] {
      b.AddElement<std::uint32_t>(4, static_cast<std::uint32_t>(i), 0);
      b.AddOffset(6, inputs);
      b.AddOffset(8, outputs);
      if (op.options) b.AddOffset(12, options);
      if (!op.customOptions.empty()) b.AddOffset(14, customOptions);
    }));
  }
  auto tensorVector = b.CreateVector(tensors);
  auto graphInputs = b.CreateVector(g.inputs);
  auto graphOutputs = b.CreateVector(g.outputs);
  auto opVector = b.CreateVector(ops);
  Ref graph = table([&] {
    b.AddOffset(4, tensorVector);
    b.AddOffset(6, graphInputs);
    b.AddOffset(8, graphOutputs);
    b.AddOffset(10, opVector);
  });
  auto codeVector = b.CreateVector(codes);
  std::vector<Ref> graphs = {graph};
  auto graphVector = b.CreateVector(graphs);
  auto bufferVector = b.CreateVector(buffers);
  Ref model = table([&] {
    b.AddElement<std::uint32_t>(4, 3, 0);
    b.AddOffset(6, codeVector);
    b.AddOffset(8, graphVector);
    b.AddOffset(12, bufferVector);
  });
  b.Finish(flatbuffers::Offset<flatbuffers::Table>(model.o), "TFL3");
  return std::vector<std::uint8_t>(b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize());
}

std::function<Ref(Builder&)> convOptions(int padding, int stride, int activation = 0) {
  return [=](Builder& b) {
    auto start = b.StartTable();
    b.AddElement<std::int8_t>(4, static_cast<std::int8_t>(padding), 0);
    b.AddElement<std::int32_t>(6, stride, 0);
    b.AddElement<std::int32_t>(8, stride, 0);
    b.AddElement<std::int8_t>(10, static_cast<std::int8_t>(activation), 0);
    return Ref(b.EndTable(start));
  };
}

// input [1,4,5,2] -> DEQUANTIZE'd float16 weights -> CONV_2D 1x1 (3 outputs) -> RELU -> output.
GraphSpec smallGraph() {
  GraphSpec g;
  g.tensors = {
      {{1, 4, 5, 2}, 0, {}, {}},                                            // 0 input
      {{3, 1, 1, 2}, 1, {0.5f, -1.0f, 1.25f, 0.25f, -0.75f, 2.0f}, {}},     // 1 weights, float16
      {{3, 1, 1, 2}, 0, {}, {}},                                            // 2 weights, float32
      {{3}, 0, {0.25f, -0.5f, 0.0f}, {}},                                   // 3 bias
      {{1, 4, 5, 3}, 0, {}, {}},                                            // 4 conv out
      {{1, 4, 5, 3}, 0, {}, {}},                                            // 5 relu out
  };
  g.ops = {{6, "", {1}, {2}, nullptr, {}},
           {3, "", {0, 2, 3}, {4}, convOptions(0, 1), {}},
           {19, "", {4}, {5}, nullptr, {}}};
  g.inputs = {0};
  g.outputs = {5};
  return g;
}

std::string loadError(const std::vector<std::uint8_t>& bytes, const std::string& name = "graph.tflite") {
  try {
    Model model = readModel(bytes, name);
    GraphRunner runner(model);
  } catch (const ModelError& e) {
    return e.what();
  }
  return "";
}

TEST(ModelFile, RunsABuiltGraphWithFloat16WeightsFoldedAndReluFused) {
  Model model = readModel(build(smallGraph()), "graph.tflite");
  ASSERT_EQ(model.operators.size(), 2u);  // the DEQUANTIZE of constant data is done at load
  EXPECT_TRUE(model.tensors[2].constant);
  EXPECT_FLOAT_EQ(model.tensors[2].floats[5], 2.0f);
  GraphRunner runner(model, std::make_shared<WorkerPool>(1));
  ASSERT_EQ(runner.inputDims(), (Dims{4, 5, 2}));
  ASSERT_EQ(runner.outputDims(), (Dims{4, 5, 3}));
  const float w[3][2] = {{0.5f, -1.0f}, {1.25f, 0.25f}, {-0.75f, 2.0f}}, bias[3] = {0.25f, -0.5f, 0.0f};
  for (int i = 0; i < 40; ++i) runner.input()[i] = static_cast<float>(i % 7) - 3.0f;
  const float* out = runner.run();
  for (int p = 0; p < 20; ++p)
    for (int o = 0; o < 3; ++o) {
      float x0 = static_cast<float>((2 * p) % 7) - 3.0f, x1 = static_cast<float>((2 * p + 1) % 7) - 3.0f;
      EXPECT_FLOAT_EQ(out[p * 3 + o], std::max(0.0f, bias[o] + w[o][0] * x0 + w[o][1] * x1)) << p << "," << o;
    }
}

TEST(ModelFile, EveryHalfPrecisionValueWidensExactly) {
  for (std::uint32_t bits = 0; bits < 0x10000u; ++bits) {
    const std::uint16_t half = static_cast<std::uint16_t>(bits);
    const int exponent = (half >> 10) & 0x1f, mantissa = half & 0x3ff;
    const float sign = (half & 0x8000u) ? -1.0f : 1.0f;
    const float widened = halfToFloat(half);
    std::uint32_t widenedBits;
    std::memcpy(&widenedBits, &widened, 4);
    if (exponent == 0x1f) {  // infinity, or NaN keeping its payload and sign
      EXPECT_EQ(widenedBits, ((bits & 0x8000u) << 16) | 0x7f800000u | (static_cast<std::uint32_t>(mantissa) << 13)) << bits;
      continue;
    }
    const float expected = exponent == 0 ? sign * std::ldexp(static_cast<float>(mantissa), -24)
                                         : sign * std::ldexp(static_cast<float>(mantissa + 1024), exponent - 25);
    std::uint32_t expectedBits;
    std::memcpy(&expectedBits, &expected, 4);
    EXPECT_EQ(widenedBits, expectedBits) << bits;  // bit for bit, so zero keeps its sign
  }
}

TEST(ModelFile, ConstantsFoldedForSeveralReadersReachEveryOne) {
  // The float16 weights are widened twice, by the convolution's DEQUANTIZE and by a second one after it:
  // both results hold the values (the first fold must not take them from the second).
  GraphSpec g = smallGraph();
  g.tensors.push_back({{3, 1, 1, 2}, 0, {}, {}});  // 6: the second widening
  g.ops.push_back({6, "", {1}, {6}, nullptr, {}});
  const Model model = readModel(build(g), "graph.tflite");
  ASSERT_EQ(model.operators.size(), 2u);
  const std::vector<float> weights{0.5f, -1.0f, 1.25f, 0.25f, -0.75f, 2.0f};
  EXPECT_EQ(model.tensors[2].floats, weights);
  EXPECT_EQ(model.tensors[6].floats, weights);
  EXPECT_TRUE(model.tensors[6].constant);
}

// input [1,4,5,2] -> PAD of one zero all round -> CONV_2D 3x3 VALID (3 outputs) -> output [1,4,5,3].
GraphSpec paddedConvolution() {
  GraphSpec g;
  std::vector<float> weights(3 * 3 * 3 * 2);
  for (std::size_t i = 0; i < weights.size(); ++i) weights[i] = static_cast<float>(static_cast<int>(i % 9) - 4) * 0.25f;
  g.tensors = {
      {{1, 4, 5, 2}, 0, {}, {}},                            // 0 input
      {{4, 2}, 2, {}, {0, 0, 1, 1, 1, 1, 0, 0}},            // 1 paddings
      {{1, 6, 7, 2}, 0, {}, {}},                            // 2 padded
      {{3, 3, 3, 2}, 0, weights, {}},                       // 3 weights
      {{3}, 0, {0.5f, -0.25f, 0.0f}, {}},                   // 4 bias
      {{1, 4, 5, 3}, 0, {}, {}},                            // 5 output
  };
  g.ops = {{34, "", {0, 1}, {2}, nullptr, {}}, {3, "", {2, 3, 4}, {5}, convOptions(1, 1), {}}};
  g.inputs = {0};
  g.outputs = {5};
  return g;
}

TEST(ModelFile, AZeroPadBeforeAValidConvolutionBecomesItsPaddingWithTheSameOutput) {
  const GraphSpec g = paddedConvolution();
  const Model model = readModel(build(g), "graph.tflite");
  ASSERT_EQ(model.operators.size(), 1u);
  const ModelOperator& conv = model.operators[0];
  EXPECT_EQ(conv.inputs[0], 0);
  EXPECT_EQ(conv.padding, Padding::Explicit);
  EXPECT_EQ(std::vector<int>({conv.padTop, conv.padBottom, conv.padLeft, conv.padRight}), std::vector<int>({1, 1, 1, 1}));

  GraphRunner runner(model, std::make_shared<WorkerPool>(1));
  ASSERT_EQ(runner.inputDims(), (Dims{4, 5, 2}));
  ASSERT_EQ(runner.outputDims(), (Dims{4, 5, 3}));
  const auto input = [](int at) { return static_cast<float>(at % 7) - 3.0f; };
  for (int i = 0; i < 40; ++i) runner.input()[i] = input(i);
  const float* out = runner.run();
  const std::vector<float>& w = g.tensors[3].floats;
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x)
      for (int o = 0; o < 3; ++o) {
        float expected = g.tensors[4].floats[static_cast<std::size_t>(o)];
        for (int ky = 0; ky < 3; ++ky)
          for (int kx = 0; kx < 3; ++kx)
            for (int c = 0; c < 2; ++c) {
              const int iy = y + ky - 1, ix = x + kx - 1;
              if (iy < 0 || iy >= 4 || ix < 0 || ix >= 5) continue;  // the pad's zeros
              expected += w[static_cast<std::size_t>(((o * 3 + ky) * 3 + kx) * 2 + c)] * input((iy * 5 + ix) * 2 + c);
            }
        EXPECT_NEAR(out[(y * 5 + x) * 3 + o], expected, 1e-4f) << y << "," << x << "," << o;
      }

  // A padded tensor that is also a graph output, or read by a convolution with padding of its own, keeps its PAD.
  GraphSpec shown = paddedConvolution();
  shown.outputs = {5, 2};
  EXPECT_EQ(readModel(build(shown), "graph.tflite").operators.size(), 2u);
  GraphSpec same = paddedConvolution();
  same.ops[1].options = convOptions(0, 1);
  same.tensors[5].shape = {1, 6, 7, 3};
  EXPECT_EQ(readModel(build(same), "graph.tflite").operators.size(), 2u);
  // Padding as wide as the window would leave outputs that read no input pixel at all; it stays a PAD.
  GraphSpec wide = paddedConvolution();
  wide.tensors[1].ints = {0, 0, 3, 3, 0, 0, 0, 0};
  wide.tensors[2].shape = {1, 10, 5, 2};
  wide.tensors[5].shape = {1, 8, 3, 3};
  EXPECT_EQ(readModel(build(wide), "graph.tflite").operators.size(), 2u);
}

TEST(ModelFile, ForeignOrInconsistentGraphsAreRejectedWithTheFileAndTheReason) {
  // An operator outside the supported set is named.
  GraphSpec softmax = smallGraph();
  softmax.ops[2].builtin = 25;
  EXPECT_EQ(loadError(build(softmax)), "graph.tflite: operator 2 (SOFTMAX): the operator SOFTMAX is not supported");
  GraphSpec custom = smallGraph();
  custom.ops[2].builtin = 32;
  custom.ops[2].custom = "MaxPoolingWithArgmax2D";
  EXPECT_EQ(loadError(build(custom)),
            "graph.tflite: operator 2 (MaxPoolingWithArgmax2D): the custom operator \"MaxPoolingWithArgmax2D\" is not supported");

  // Declared shapes that the operator would not produce.
  GraphSpec wrongShape = smallGraph();
  wrongShape.tensors[4].shape = {1, 4, 4, 3};
  EXPECT_EQ(loadError(build(wrongShape)),
            "graph.tflite: operator 1 (CONV_2D): the output tensor \"t4\" is declared as [1,4,4,3] but the operator "
            "makes [1,4,5,3]");
  GraphSpec wrongWeights = smallGraph();
  wrongWeights.tensors[1].shape = wrongWeights.tensors[2].shape = {2, 1, 1, 3};
  EXPECT_NE(loadError(build(wrongWeights)).find("the weights do not have the shape"), std::string::npos);

  // Reading a tensor nobody wrote, an index past the tensor list, a bad stride, a bad activation.
  GraphSpec unwritten = smallGraph();
  unwritten.ops[2].inputs = {5};
  unwritten.ops[2].outputs = {4};
  EXPECT_NE(loadError(build(unwritten)).find("is read before any operator writes it"), std::string::npos);
  GraphSpec pastEnd = smallGraph();
  pastEnd.ops[1].inputs = {0, 2, 9};
  EXPECT_NE(loadError(build(pastEnd)).find("refers to tensor 9 of 6"), std::string::npos);
  GraphSpec zeroStride = smallGraph();
  zeroStride.ops[1].options = convOptions(0, 0);
  EXPECT_NE(loadError(build(zeroStride)).find("has the unusable stride 0x0"), std::string::npos);
  GraphSpec badActivation = smallGraph();
  badActivation.ops[1].options = convOptions(0, 1, 9);
  EXPECT_NE(loadError(build(badActivation)).find("the fused activation 9 is not supported"), std::string::npos);

  // A transposed convolution whose output would be 5000 x 65536 pixels wide.
  GraphSpec huge;
  huge.tensors = {{{1, 1, 5000, 3}, 0, {}, {}}, {{1, 1, 1, 3}, 0, {1, 1, 1}, {}}, {{1}, 0, {0}, {}},
                  {{1, 1, 1, 1}, 0, {}, {}}};
  huge.ops = {{32, "Convolution2DTransposeBias", {0, 1, 2}, {3}, nullptr,
               {1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0}}};  // SAME, stride_w 65536, stride_h 1
  huge.inputs = {0};
  huge.outputs = {3};
  EXPECT_NE(loadError(build(huge)).find("Convolution2DTransposeBias): makes an output too large to hold"),
            std::string::npos)
      << loadError(build(huge));

  // Constant data that does not fill the tensor's shape.
  GraphSpec shortData = smallGraph();
  shortData.tensors[3].floats.pop_back();
  EXPECT_NE(loadError(build(shortData)).find("holds 8 bytes of data but its shape needs 12"), std::string::npos);
}

TEST(ModelFile, DamagedFilesEndInAClearErrorNeverACrash) {
  test::TempDir dir;
  EXPECT_EQ(loadError({}), "graph.tflite: too short to be a model (0 bytes)");
  std::vector<std::uint8_t> good = build(smallGraph());
  std::vector<std::uint8_t> foreign = good;
  std::memcpy(foreign.data() + 4, "PNG\x0d", 4);
  EXPECT_EQ(loadError(foreign), "graph.tflite: not a TensorFlow Lite model (identifier is not \"TFL3\")");
  std::vector<std::uint8_t> badRoot = good;
  badRoot[0] = 0xf0;
  badRoot[3] = 0x7f;
  EXPECT_NE(loadError(badRoot).find("root table lies outside the file"), std::string::npos);

  // The file-reading entry point names the path.
  try {
    readModelFile(dir.file("missing.tflite"));
    ADD_FAILURE() << "a missing file was read";
  } catch (const ModelError& e) {
    EXPECT_EQ(std::string(e.what()), dir.file("missing.tflite") + ": cannot open the model file");
  }
  test::writeFile(dir.file("text.tflite"), "this is not a model at all, only some text");
  try {
    readModelFile(dir.file("text.tflite"));
    ADD_FAILURE() << "a text file was read as a model";
  } catch (const ModelError& e) {
    EXPECT_EQ(std::string(e.what()).rfind(dir.file("text.tflite") + ": not a TensorFlow Lite model", 0), 0u);
  }

  // Every truncation of the real model, and many random corruptions of it, either load or fail
  // with a ModelError; none may read outside the file (the sanitizer build checks that too).
  std::span<const std::uint8_t> real = squareSegmentationModel();
  std::vector<std::uint8_t> bytes(real.begin(), real.end());
  int rejectedTruncations = 0;
  for (std::size_t length = 0; length < bytes.size(); length += length < 64 ? 1 : 1021) {
    std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
    if (!loadError(cut, "cut.tflite").empty()) ++rejectedTruncations;
  }
  EXPECT_GT(rejectedTruncations, 250);
  std::mt19937 rng(42);
  std::uniform_int_distribution<std::size_t> position(0, bytes.size() - 1);
  std::uniform_int_distribution<int> byte(0, 255);
  int rejectedCorruptions = 0;
  for (int round = 0; round < 300; ++round) {
    std::vector<std::uint8_t> damaged = bytes;
    // Hit the tables (which follow the weights at the end of the file) more often than the data.
    for (int k = 0; k < 6; ++k) {
      std::size_t at = k % 2 ? position(rng) : bytes.size() - 1 - position(rng) % 24000;
      damaged[at] = static_cast<std::uint8_t>(byte(rng));
    }
    std::string error = loadError(damaged, "damaged.tflite");
    if (!error.empty()) {
      ++rejectedCorruptions;
      EXPECT_EQ(error.rfind("damaged.tflite: ", 0), 0u) << error;
    }
  }
  EXPECT_GT(rejectedCorruptions, 0);
}

// input [1,2,2,1] -> PAD (one zero channel after) -> [1,2,2,2] -> RESHAPE [1,4,2] -> CONCATENATION
// with itself along axis 1 -> [1,8,2]; the graph gives the joined and the padded tensors.
GraphSpec twoOutputGraph() {
  GraphSpec g;
  g.tensors = {
      {{1, 2, 2, 1}, 0, {}, {}},                          // 0 input
      {{4, 2}, 2, {}, {0, 0, 0, 0, 0, 0, 0, 1}},          // 1 paddings
      {{1, 2, 2, 2}, 0, {}, {}},                          // 2 padded
      {{3}, 2, {}, {1, 4, 2}},                            // 3 new shape
      {{1, 4, 2}, 0, {}, {}},                             // 4 reshaped
      {{1, 8, 2}, 0, {}, {}},                             // 5 joined
  };
  auto axisOne = [](Builder& b) {
    auto start = b.StartTable();
    b.AddElement<std::int32_t>(4, 1, 0);
    return Ref(b.EndTable(start));
  };
  g.ops = {{34, "", {0, 1}, {2}, nullptr, {}}, {22, "", {2, 3}, {4}, nullptr, {}}, {2, "", {4, 4}, {5}, axisOne, {}}};
  g.inputs = {0};
  g.outputs = {5, 2};
  return g;
}

TEST(ModelFile, GraphsWithSeveralOutputsPaddingReshapingAndJoining) {
  Model model = readModel(build(twoOutputGraph()), "graph.tflite");
  GraphRunner runner(model, std::make_shared<WorkerPool>(1));
  ASSERT_EQ(runner.inputCount(), 1);
  ASSERT_EQ(runner.outputCount(), 2);
  EXPECT_EQ(runner.outputDims(0), (Dims{1, 8, 2}));
  EXPECT_EQ(runner.outputDims(1), (Dims{2, 2, 2}));
  for (int i = 0; i < 4; ++i) runner.input()[i] = static_cast<float>(i + 1);
  runner.run();
  EXPECT_EQ(std::vector<float>(runner.output(1), runner.output(1) + 8), (std::vector<float>{1, 0, 2, 0, 3, 0, 4, 0}));
  EXPECT_EQ(std::vector<float>(runner.output(0), runner.output(0) + 16),
            (std::vector<float>{1, 0, 2, 0, 3, 0, 4, 0, 1, 0, 2, 0, 3, 0, 4, 0}));

  // A declared batch of two runs one item at a time once reduced.
  GraphSpec pair = twoOutputGraph();
  pair.tensors[0].shape[0] = pair.tensors[2].shape[0] = pair.tensors[4].shape[0] = pair.tensors[5].shape[0] = 2;
  EXPECT_NE(loadError(build(pair)).find("has a batch of 2"), std::string::npos) << loadError(build(pair));
  Model reduced = readModel(build(pair), "pair.tflite");
  reduceBatchToOne(reduced);
  EXPECT_EQ(GraphRunner(reduced).outputDims(0), (Dims{1, 8, 2}));

  // Shapes that do not fit are named.
  GraphSpec badReshape = twoOutputGraph();
  badReshape.tensors[4].shape = {1, 3, 2};
  badReshape.tensors[5].shape = {1, 6, 2};
  EXPECT_NE(loadError(build(badReshape)).find("RESHAPE): reshapes 8 values into 6"), std::string::npos);
  GraphSpec badPadding = twoOutputGraph();
  badPadding.tensors[1].ints = {0, 0, 0, 0, 0, 0, 0, -1};
  EXPECT_NE(loadError(build(badPadding)).find("PAD): has unusable paddings"), std::string::npos);
  GraphSpec badAxis = twoOutputGraph();
  badAxis.ops[2].options = [](Builder& b) {
    auto start = b.StartTable();
    b.AddElement<std::int32_t>(4, 7, 0);
    return Ref(b.EndTable(start));
  };
  EXPECT_NE(loadError(build(badAxis)).find("CONCATENATION): has the unusable axis 7"), std::string::npos);
}

TEST(ModelFile, BuiltInModelsHaveTheExpectedGraphs) {
  struct Expected {
    std::span<const std::uint8_t> bytes;
    Dims input;
  } models[] = {{squareSegmentationModel(), {256, 256, 3}}, {landscapeSegmentationModel(), {144, 256, 3}}};
  for (const auto& m : models) {
    Model model = readModel(m.bytes, "built-in");
    EXPECT_EQ(model.operators.size(), 136u);  // 246 minus the 110 folded DEQUANTIZE steps
    GraphRunner runner(model, std::make_shared<WorkerPool>(1));
    EXPECT_EQ(runner.inputDims(), m.input);
    EXPECT_EQ(runner.outputDims(), (Dims{m.input.h, m.input.w, 1}));
    EXPECT_LT(runner.activationBytes(), 16u << 20);  // about 130 tensors share a few megabytes
    // A black picture: probabilities, all finite and inside 0..1.
    std::fill(runner.input(), runner.input() + runner.inputDims().size(), 0.0f);
    const float* out = runner.run();
    for (std::size_t i = 0; i < runner.outputDims().size(); ++i) ASSERT_TRUE(out[i] >= 0.0f && out[i] <= 1.0f);
  }
}

}  // namespace
}  // namespace kov
