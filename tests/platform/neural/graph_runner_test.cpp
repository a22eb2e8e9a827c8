// The runner's rewrites of a planned graph, each taken only where nothing else reads what it removes:
// PReLU spelled out as relu(x) + c * (x - |x|) becomes one PRELU step with the same values, and a
// RELU or HARD_SWISH after a binary operator is applied by that operator, and multiplications and
// additions of single constants after a convolution are done as it stores (or in one pass), and
// per-channel constants and an activation after a transposed convolution fold into it; x + x * s
// (s per channel) is one pass. Activations share one arena no larger than what the graph holds at
// once, and a reshape of a tensor read by nothing after it leaves the values in place. Residual
// additions, PReLU and the logistic function after a convolution are done as it stores, and an
// addition of a nearest enlargement reads the small tensor, with the values of the separate steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "runner_test_support.h"
#include "platform/neural/graph_runner.h"
#include "platform/neural/kernels.h"
#include "platform/neural/worker_pool.h"

namespace kov {
namespace {

struct SpelledOutPRelu {
  Model model;
  std::vector<float> c;  // the MUL's constant: one value per channel
};

// relu(x) + c * (x - |x|) on a 5x6x8 input, the operands of MUL and ADD in the given orders; when
// `absIsOutput`, |x| is a graph output too.
SpelledOutPRelu spelledOutPRelu(bool constantFirst, bool reluFirst, bool absIsOutput) {
  ModelBuilder b("spelled-out PReLU");
  const std::vector<int> shape{1, 5, 6, 8};
  const int x = b.tensor(shape), r = b.tensor(shape), a = b.tensor(shape), d = b.tensor(shape);
  const int m = b.tensor(shape), y = b.tensor(shape);
  std::vector<float> c = randomValues(8, 3, 0.5f);
  const int slopes = b.tensor({8}, c);
  b.op(OpKind::Relu, {x}, r);
  b.op(OpKind::Abs, {x}, a);
  b.op(OpKind::Sub, {x, a}, d);
  b.op(OpKind::Mul, constantFirst ? std::vector<int>{slopes, d} : std::vector<int>{d, slopes}, m);
  b.op(OpKind::Add, reluFirst ? std::vector<int>{r, m} : std::vector<int>{m, r}, y);
  return {b.done({x}, absIsOutput ? std::vector<int>{y, a} : std::vector<int>{y}), c};
}

TEST(GraphRunner, SpelledOutPReluRunsAsOneStepWithTheSameValues) {
  for (bool constantFirst : {false, true})
    for (bool reluFirst : {false, true})
      for (bool absIsOutput : {false, true}) {
        const SpelledOutPRelu graph = spelledOutPRelu(constantFirst, reluFirst, absIsOutput);
        GraphRunner runner(graph.model, std::make_shared<WorkerPool>(1));
        EXPECT_EQ(runner.stepKinds().size(), absIsOutput ? 5u : 1u)
            << "fused although |x| is read outside the pattern: " << absIsOutput;
        const std::vector<float> x = randomValues(5 * 6 * 8, 9, 4.0f);
        std::copy(x.begin(), x.end(), runner.input());
        const float* y = runner.run();
        for (std::size_t i = 0; i < x.size(); ++i) {
          const float c = graph.c[i % 8];
          const float expected = std::max(x[i], 0.0f) + c * (x[i] - std::fabs(x[i]));
          ASSERT_EQ(y[i], expected) << "element " << i << ", constant first " << constantFirst << ", relu first "
                                    << reluFirst;
        }
        if (absIsOutput) {
          const float* a = runner.output(1);
          for (std::size_t i = 0; i < x.size(); ++i) ASSERT_EQ(a[i], std::fabs(x[i]));
        }
      }
}

TEST(GraphRunner, AnActivationAfterABinaryOperatorIsAppliedByIt) {
  for (bool sumIsOutput : {false, true})
    for (OpKind activation : {OpKind::Relu, OpKind::HardSwish}) {
      ModelBuilder b("add then activation");
      const int x = b.tensor({1, 3, 4, 8}), y = b.tensor({1, 3, 4, 8}), sum = b.tensor({1, 3, 4, 8});
      const int out = b.tensor({1, 3, 4, 8});
      b.op(OpKind::Add, {x, y}, sum);
      b.op(activation, {sum}, out);
      GraphRunner runner(b.done({x, y}, sumIsOutput ? std::vector<int>{out, sum} : std::vector<int>{out}),
                         std::make_shared<WorkerPool>(1));
      EXPECT_EQ(runner.stepKinds().size(), sumIsOutput ? 2u : 1u);
      const std::vector<float> xs = randomValues(96, 31, 5.0f), ys = randomValues(96, 32, 5.0f);
      std::copy(xs.begin(), xs.end(), runner.input(0));
      std::copy(ys.begin(), ys.end(), runner.input(1));
      const float* result = runner.run();
      for (std::size_t i = 0; i < xs.size(); ++i) {
        const float s = xs[i] + ys[i];
        const float expected = activation == OpKind::Relu ? std::max(s, 0.0f) : s * std::clamp(s + 3.0f, 0.0f, 6.0f) / 6.0f;
        ASSERT_NEAR(result[i], expected, 1e-5f * (1.0f + std::fabs(expected))) << "element " << i;
        if (sumIsOutput) {
          ASSERT_EQ(runner.output(1)[i], s);
        }
      }
    }
}

// conv (3x3 or 1x1, SAME, with bias) -> HARD_SWISH -> MUL by 0.7 -> ADD -0.3 -> SUB 0.25 on a 6x7x16
// input; when `productIsOutput`, the MUL's result is a graph output too.
struct ScaledConvolution {
  Model model;
  std::vector<float> weights, bias;
  int k;
};

ScaledConvolution scaledConvolution(int k, bool productIsOutput, bool constantFirst) {
  ModelBuilder b("scaled convolution");
  const int x = b.tensor({1, 6, 7, 16});
  std::vector<float> weights = randomValues(static_cast<std::size_t>(8) * k * k * 16, 41, 0.5f);
  std::vector<float> bias = randomValues(8, 42);
  const int w = b.tensor({8, k, k, 16}, weights), bi = b.tensor({8}, bias);
  const int c = b.tensor({1, 6, 7, 8}), h = b.tensor({1, 6, 7, 8}), m = b.tensor({1, 6, 7, 8});
  const int a = b.tensor({1, 6, 7, 8}), s = b.tensor({1, 6, 7, 8});
  const int scale = b.tensor({1}, {0.7f}), shift = b.tensor({1}, {-0.3f}), minus = b.tensor({1}, {0.25f});
  b.op(OpKind::Conv, {x, w, bi}, c);
  b.op(OpKind::HardSwish, {c}, h);
  b.op(OpKind::Mul, constantFirst ? std::vector<int>{scale, h} : std::vector<int>{h, scale}, m);
  b.op(OpKind::Add, constantFirst ? std::vector<int>{shift, m} : std::vector<int>{m, shift}, a);
  b.op(OpKind::Sub, {a, minus}, s);
  return {b.done({x}, productIsOutput ? std::vector<int>{s, m} : std::vector<int>{s}), weights, bias, k};
}

TEST(GraphRunner, ScalarScaleAndShiftAfterAConvolutionAreDoneAsItStores) {
  WorkerPool pool(1);
  for (int k : {1, 3})
    for (bool productIsOutput : {false, true})
      for (bool constantFirst : {false, true})
        for (ConvolutionKernels kernels : {ConvolutionKernels::Fastest, ConvolutionKernels::Own, ConvolutionKernels::Xnnpack}) {
          const ScaledConvolution graph = scaledConvolution(k, productIsOutput, constantFirst);
          GraphRunner runner(graph.model, std::make_shared<WorkerPool>(1), kernels);
          // The convolution takes the activation, and the scale and shift unless XNNPACK runs it;
          // then they are one step. A product read outside the chain stays a tensor of its own.
          std::size_t steps = kernels == ConvolutionKernels::Xnnpack ? 2 : 1;
          if (productIsOutput) steps = kernels == ConvolutionKernels::Xnnpack ? 3 : 2;
          EXPECT_EQ(runner.stepKinds().size(), steps) << "k " << k << " product is output " << productIsOutput;
          const std::vector<float> x = randomValues(6 * 7 * 16, 43);
          std::copy(x.begin(), x.end(), runner.input());
          const float* result = runner.run();

          std::vector<float> convolved(6 * 7 * 8);
          WindowGeometry g;
          g.padTop = g.padLeft = k / 2;
          conv2d(x.data(), {6, 7, 16}, packConvFilter(graph.weights.data(), 8, k, k, 16, graph.bias.data()), g,
                 Activation::HardSwish, convolved.data(), {6, 7, 8}, pool);
          for (std::size_t i = 0; i < convolved.size(); ++i) {
            const float product = convolved[i] * 0.7f;
            ASSERT_NEAR(result[i], product - 0.3f - 0.25f, 1e-5f) << "element " << i << " k " << k;
            if (productIsOutput) {
              ASSERT_NEAR(runner.output(1)[i], product, 1e-5f);
            }
          }
        }
}

// transposed conv (k x k, stride 2, VALID, bias) -> ADD per channel -> MUL per channel -> SUB one
// value -> RELU on a 5x4x8 input; with k = 2 the windows tile the output, with k = 3 they overlap.
TEST(GraphRunner, ChannelConstantsAndAnActivationAfterATransposedConvolutionFoldIntoIt) {
  WorkerPool pool(1);
  for (int k : {2, 3})
    for (bool sumIsOutput : {false, true}) {
      ModelBuilder b("transposed convolution then batch normalisation");
      const Dims in{5, 4, 8};
      const Dims out{(in.h - 1) * 2 + k, (in.w - 1) * 2 + k, 6};
      const std::vector<int> shape{1, out.h, out.w, out.c};
      std::vector<float> weights = randomValues(static_cast<std::size_t>(6) * k * k * 8, 51);
      const std::vector<float> bias = randomValues(6, 52), added = randomValues(6, 53), scale = randomValues(6, 54, 2.0f);
      const int x = b.tensor({1, in.h, in.w, in.c}), w = b.tensor({6, k, k, 8}, weights), bi = b.tensor({6}, bias);
      const int t = b.tensor(shape), sum = b.tensor(shape), product = b.tensor(shape), difference = b.tensor(shape);
      const int y = b.tensor(shape);
      const int addend = b.tensor({6}, added), factor = b.tensor({1, 1, 1, 6}, scale), less = b.tensor({1}, {0.5f});
      ModelOperator& transposed = b.op(OpKind::TransposeConvBias, {x, w, bi}, t);
      transposed.padding = Padding::Valid;
      transposed.strideH = transposed.strideW = 2;
      b.op(OpKind::Add, {t, addend}, sum);
      b.op(OpKind::Mul, {factor, sum}, product);
      b.op(OpKind::Sub, {product, less}, difference);
      b.op(OpKind::Relu, {difference}, y);
      GraphRunner runner(b.done({x}, sumIsOutput ? std::vector<int>{y, sum} : std::vector<int>{y}),
                         std::make_shared<WorkerPool>(1));
      EXPECT_EQ(runner.stepKinds().size(), sumIsOutput ? 3u : 1u) << "k " << k;
      const std::vector<float> input = randomValues(in.size(), 55);
      std::copy(input.begin(), input.end(), runner.input());
      const float* result = runner.run();

      WindowGeometry g;
      g.strideH = g.strideW = 2;
      std::vector<float> expected(out.size());
      transposeConvBias(input.data(), in, packTransposeFilter(weights.data(), 6, k, k, 8), bias.data(), g,
                        expected.data(), out, pool);
      for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::size_t o = i % 6;
        const float s = expected[i] + added[o];
        ASSERT_NEAR(result[i], std::max((s * scale[o]) - 0.5f, 0.0f), 1e-4f) << "element " << i << " k " << k;
        if (sumIsOutput) {
          ASSERT_NEAR(runner.output(1)[i], s, 1e-5f);
        }
      }
    }
}

TEST(GraphRunner, AResidualScaleByChannelIsOnePass) {
  for (bool productFirst : {false, true})
    for (bool sFirst : {false, true})
      for (bool productIsOutput : {false, true}) {
        ModelBuilder b("residual squeeze and excitation");
        const int x = b.tensor({1, 4, 5, 8}), s = b.tensor({1, 1, 1, 8}), m = b.tensor({1, 4, 5, 8});
        const int y = b.tensor({1, 4, 5, 8}), r = b.tensor({1, 4, 5, 8});
        b.op(OpKind::Mul, sFirst ? std::vector<int>{s, x} : std::vector<int>{x, s}, m);
        b.op(OpKind::Add, productFirst ? std::vector<int>{m, x} : std::vector<int>{x, m}, y);
        b.op(OpKind::Relu, {y}, r);
        GraphRunner runner(b.done({x, s}, productIsOutput ? std::vector<int>{r, m} : std::vector<int>{r}),
                           std::make_shared<WorkerPool>(1));
        EXPECT_EQ(runner.stepKinds().size(), productIsOutput ? 2u : 1u);
        const std::vector<float> xs = randomValues(160, 61, 3.0f), ss = randomValues(8, 62);
        std::copy(xs.begin(), xs.end(), runner.input(0));
        std::copy(ss.begin(), ss.end(), runner.input(1));
        const float* result = runner.run();
        for (std::size_t i = 0; i < xs.size(); ++i) {
          ASSERT_NEAR(result[i], std::max(xs[i] + xs[i] * ss[i % 8], 0.0f), 1e-6f) << "element " << i;
          if (productIsOutput) {
            ASSERT_EQ(runner.output(1)[i], xs[i] * ss[i % 8]);
          }
        }
      }
}

// x doubled four times by joining each tensor to itself: 1, 2, 4, 8 and 16 blocks of 1024 values.
// Each step holds its input and its output, so at most 8 + 16 blocks are alive at once, where giving
// each growing tensor a buffer of its own would take all 31.
TEST(GraphRunner, ActivationsTakeNoMoreThanTheMostAliveAtOnce) {
  constexpr int kBlock = 1024;
  ModelBuilder b("doubling chain");
  const int x = b.tensor({1, 1, 1, kBlock});
  int previous = x;
  for (int blocks = 2; blocks <= 16; blocks *= 2) {
    const int joined = b.tensor({1, 1, 1, blocks * kBlock});
    b.op(OpKind::Concatenation, {previous, previous}, joined).axis = 3;
    previous = joined;
  }
  GraphRunner runner(b.done({x}, {previous}), std::make_shared<WorkerPool>(1));
  const std::size_t mostAlive = (8 + 16) * kBlock * sizeof(float);
  const std::size_t roomPerTensor = 128;  // XNNPACK's reading room, rounded up to cache lines
  EXPECT_GE(runner.activationBytes(), mostAlive);
  EXPECT_LE(runner.activationBytes(), mostAlive + 2 * roomPerTensor);

  for (unsigned run = 0; run < 2; ++run) {  // the second run starts from what the first left behind
    const std::vector<float> xs = randomValues(kBlock, 7 + run, 3.0f);
    std::copy(xs.begin(), xs.end(), runner.input());
    const float* out = runner.run();
    for (std::size_t i = 0; i < 16u * kBlock; ++i) ASSERT_EQ(out[i], xs[i % kBlock]) << "element " << i << ", run " << run;
  }
}

// x (4 channels) joined to itself (8 channels), then reshaped: the join holds 1.5 tensors of 8
// channels, and a reshape that copied would hold 2.
TEST(GraphRunner, AReshapeOfATensorNobodyReadsAfterItMovesNoValues) {
  constexpr std::size_t kJoined = 4 * 6 * 8;
  const std::size_t joinedBytes = kJoined * sizeof(float);
  for (bool readAfter : {false, true}) {
    ModelBuilder b("join and reshape");
    const int x = b.tensor({1, 4, 6, 4}), joined = b.tensor({1, 4, 6, 8}), flat = b.tensor({1, 1, 24, 8});
    b.op(OpKind::Concatenation, {x, x}, joined).axis = 3;
    b.op(OpKind::Reshape, {joined}, flat);
    std::vector<int> outputs{flat};
    if (readAfter) {
      const int again = b.tensor({1, 4, 6, 8});
      b.op(OpKind::Relu, {joined}, again);
      outputs.push_back(again);
    }
    GraphRunner runner(b.done({x}, outputs), std::make_shared<WorkerPool>(1));
    const std::vector<float> xs = randomValues(kJoined / 2, 11, 2.0f);
    std::copy(xs.begin(), xs.end(), runner.input());
    const float* out = runner.run();
    for (std::size_t i = 0; i < kJoined; ++i) ASSERT_EQ(out[i], xs[i / 8 * 4 + i % 4]) << "element " << i;
    if (readAfter) {
      for (std::size_t i = 0; i < kJoined; ++i) ASSERT_EQ(runner.output(1)[i], std::max(out[i], 0.0f));
      EXPECT_GE(runner.activationBytes(), 3 * joinedBytes);  // joined, flat and again at once
    } else {
      EXPECT_LT(runner.activationBytes(), 2 * joinedBytes);
    }
  }
}

}  // namespace
}  // namespace kov

namespace kov {
namespace {

// x -> conv 3x3 -> ADD relu(x), RELU (a residual written after the convolution) -> conv 1x1 RELU6 -> PRELU -> conv 1x1 -> PRELU -> ADD of
// the first residual -> LOGISTIC, and a last conv 1x1 that reads the sum and is a graph output too.
Model convolutionChains(int channels) {
  ModelBuilder b("convolution chains");
  const std::vector<int> shape{1, 6, 7, channels};
  auto conv = [&](int in, int k, unsigned seed, Activation activation) {
    const int w = b.tensor({channels, k, k, channels}, randomValues(static_cast<std::size_t>(channels) * k * k * channels, seed, 0.4f));
    const int bias = b.tensor({channels}, randomValues(static_cast<std::size_t>(channels), seed + 1));
    const int out = b.tensor(shape);
    b.op(OpKind::Conv, {in, w, bias}, out).activation = activation;
    return out;
  };
  auto binary = [&](OpKind kind, int first, int second, Activation activation) {
    const int out = b.tensor(shape);
    b.op(kind, {first, second}, out).activation = activation;
    return out;
  };
  const int slopes2 = b.tensor({1, 1, channels}, randomValues(static_cast<std::size_t>(channels), 7, 0.6f));
  const int slopes3 = b.tensor({1, 1, channels}, randomValues(static_cast<std::size_t>(channels), 8, 0.6f));
  const int x = b.tensor(shape);
  // The residual is written after the convolution that it is added to.
  const int c1 = conv(x, 3, 10, Activation::None);
  const int skip = b.tensor(shape);
  b.op(OpKind::Relu, {x}, skip);
  const int r1 = binary(OpKind::Add, skip, c1, Activation::Relu);
  const int p2 = binary(OpKind::PRelu, conv(r1, 1, 20, Activation::Relu6), slopes2, Activation::None);
  const int p3 = binary(OpKind::PRelu, conv(p2, 1, 30, Activation::None), slopes3, Activation::None);
  const int sum = binary(OpKind::Add, p3, r1, Activation::None);
  const int squashed = b.tensor(shape);
  b.op(OpKind::Logistic, {sum}, squashed);
  const int last = conv(sum, 1, 40, Activation::None);
  // A 3x4 tensor enlarged to the 6x7 of the last convolution and added to it.
  const int small = b.tensor({1, 3, 4, channels}), enlarged = b.tensor(shape);
  b.op(OpKind::ResizeNearest, {small, b.ints({2}, {6, 7})}, enlarged);
  const int pyramid = binary(OpKind::Add, last, enlarged, Activation::Relu);
  return b.done({x, small}, {squashed, last, pyramid});
}

TEST(GraphRunner, StepsAfterAConvolutionAreDoneAsItStoresInTheirOrderWithTheSameValues) {
  for (int channels : {16, 13, 5}) {
    const Model model = convolutionChains(channels);
    for (ConvolutionKernels kernels : {ConvolutionKernels::Own, ConvolutionKernels::Fastest, ConvolutionKernels::Xnnpack}) {
      GraphRunner separate(model, std::make_shared<WorkerPool>(1), kernels, StoreFusion::Separate);
      GraphRunner merged(model, std::make_shared<WorkerPool>(2), kernels, StoreFusion::Merged);
      // The residual and both PReLUs join their convolutions; the second ADD follows a PReLU, which
      // a store applies after its residual, so it stays, as does the logistic of a sum and the last
      // convolution, an output. XNNPACK's convolutions take none.
      // The enlargement is read by the addition where it would have been written, whatever the kernels.
      EXPECT_EQ(separate.stepKinds().size(), 12u);
      EXPECT_EQ(merged.stepKinds().size(), kernels == ConvolutionKernels::Xnnpack ? 11u : 8u) << channels;
      for (int input = 0; input < 2; ++input) {
        const std::vector<float> x = randomValues(separate.inputDims(input).size(), 61u + static_cast<unsigned>(input), 2.0f);
        std::copy(x.begin(), x.end(), separate.input(input));
        std::copy(x.begin(), x.end(), merged.input(input));
      }
      separate.run();
      merged.run();
      for (int output = 0; output < 3; ++output)
        for (std::size_t i = 0; i < merged.outputDims(output).size(); ++i)
          ASSERT_EQ(merged.output(output)[i], separate.output(output)[i])
              << "output " << output << " element " << i << ", " << channels << " channels";
    }
  }
}

}  // namespace
}  // namespace kov
