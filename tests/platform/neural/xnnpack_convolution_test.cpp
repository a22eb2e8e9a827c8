// XNNPACK's convolutions against a plain reference written from the operator's definition (zero
// padding, groups, dilation, fused activations), and the runner's XNNPACK path against its own
// kernels on a small graph.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "platform/neural/graph_runner.h"
#include "platform/neural/worker_pool.h"
#include "platform/neural/xnnpack_convolution.h"
#include "runner_test_support.h"

namespace kov {
namespace {

float activated(float x, Activation activation) {
  switch (activation) {
    case Activation::Relu: return std::max(x, 0.0f);
    case Activation::Relu6: return std::clamp(x, 0.0f, 6.0f);
    case Activation::ReluN1To1: return std::clamp(x, -1.0f, 1.0f);
    case Activation::HardSwish: return x * std::clamp(x + 3.0f, 0.0f, 6.0f) / 6.0f;
    case Activation::None: break;
  }
  return x;
}

// Every output value summed tap by tap; taps outside the input read zero.
std::vector<float> referenceConvolution(const std::vector<float>& in, const ConvolutionShape& s,
                                        const std::vector<float>& weights, const std::vector<float>& bias,
                                        Activation activation) {
  std::vector<float> out(s.out.size());
  const WindowGeometry& g = s.geometry;
  for (int oy = 0; oy < s.out.h; ++oy)
    for (int ox = 0; ox < s.out.w; ++ox)
      for (int o = 0; o < s.out.c; ++o) {
        double sum = bias.empty() ? 0.0 : bias[static_cast<std::size_t>(o)];
        for (int ky = 0; ky < s.kh; ++ky)
          for (int kx = 0; kx < s.kw; ++kx) {
            const int y = oy * g.strideH + ky * g.dilationH - g.padTop;
            const int x = ox * g.strideW + kx * g.dilationW - g.padLeft;
            if (y < 0 || y >= s.in.h || x < 0 || x >= s.in.w) continue;
            const float* pixel = &in[(static_cast<std::size_t>(y) * s.in.w + x) * s.in.c];
            if (s.depthwise) {
              sum += pixel[o / s.multiplier] * weights[(static_cast<std::size_t>(ky) * s.kw + kx) * s.out.c + o];
            } else {
              for (int i = 0; i < s.in.c; ++i)
                sum += pixel[i] * weights[((static_cast<std::size_t>(o) * s.kh + ky) * s.kw + kx) * s.in.c + i];
            }
          }
        out[(static_cast<std::size_t>(oy) * s.out.w + ox) * s.out.c + o] = activated(static_cast<float>(sum), activation);
      }
  return out;
}

struct Window {
  int kh, kw, stride, dilation;
  bool same;  // TensorFlow's SAME padding, else none
};

ConvolutionShape shapeFor(Dims in, int outC, const Window& w, bool depthwise) {
  ConvolutionShape s;
  s.in = in;
  s.kh = w.kh;
  s.kw = w.kw;
  s.depthwise = depthwise;
  s.multiplier = depthwise ? outC / in.c : 1;
  const Padding padding = w.same ? Padding::Same : Padding::Valid;
  s.out = {windowOutputExtent(in.h, w.kh, w.stride, w.dilation, padding),
           windowOutputExtent(in.w, w.kw, w.stride, w.dilation, padding), outC};
  s.geometry.strideH = s.geometry.strideW = w.stride;
  s.geometry.dilationH = s.geometry.dilationW = w.dilation;
  if (w.same) {
    s.geometry.padTop = windowPaddingBefore(in.h, w.kh, w.stride, w.dilation, s.out.h);
    s.geometry.padLeft = windowPaddingBefore(in.w, w.kw, w.stride, w.dilation, s.out.w);
  }
  return s;
}

std::string describe(const ConvolutionShape& s, Activation activation) {
  return std::string(s.depthwise ? "depthwise " : "conv ") + std::to_string(s.kh) + "x" + std::to_string(s.kw) +
         " stride " + std::to_string(s.geometry.strideH) + " dilation " + std::to_string(s.geometry.dilationH) +
         " pad " + std::to_string(s.geometry.padTop) + "," + std::to_string(s.geometry.padLeft) + " in " +
         std::to_string(s.in.h) + "x" + std::to_string(s.in.w) + "x" + std::to_string(s.in.c) + " out " +
         std::to_string(s.out.h) + "x" + std::to_string(s.out.w) + "x" + std::to_string(s.out.c) + " activation " +
         std::to_string(static_cast<int>(activation));
}

// Runs one convolution through XNNPACK on tensors with the room past their ends that the runner gives.
std::vector<float> viaXnnpack(const std::vector<float>& in, const ConvolutionShape& s, const std::vector<float>& weights,
                              const std::vector<float>& bias, Activation activation) {
  const std::size_t slack = kXnnpackOverreadBytes / sizeof(float);
  std::vector<float> input(in), output(s.out.size() + slack, 0.0f);
  input.resize(in.size() + slack, 0.0f);
  auto convolution = XnnpackConvolution::create(s, weights.data(), bias.empty() ? nullptr : bias.data(), activation);
  if (!convolution || !convolution->bind(input.data(), output.data())) return {};
  convolution->run();
  output.resize(s.out.size());
  return output;
}

void expectClose(const std::vector<float>& actual, const std::vector<float>& expected, const std::string& what) {
  ASSERT_EQ(actual.size(), expected.size()) << what << " (an empty result: XNNPACK refused it)";
  for (std::size_t i = 0; i < actual.size(); ++i)
    ASSERT_NEAR(actual[i], expected[i], 1e-4f * (1.0f + std::fabs(expected[i]))) << what << " at element " << i;
}

TEST(XnnpackConvolution, PlainConvolutionsMatchTheReferenceForEveryWindowKind) {
  const Window windows[] = {{1, 1, 1, 1, false}, {1, 1, 2, 1, true},  {3, 3, 1, 1, true}, {3, 3, 2, 1, true},
                            {3, 3, 2, 1, false}, {5, 5, 2, 1, true},  {2, 2, 2, 1, true}, {3, 3, 1, 2, true},
                            {4, 4, 3, 1, false}, {5, 3, 1, 1, true}};
  const Dims inputs[] = {{9, 7, 3}, {8, 8, 16}, {1, 1, 4}, {12, 11, 24}};
  unsigned seed = 1;
  for (const Window& w : windows)
    for (Dims d : inputs)
      for (int outC : {1, 13, 32}) {
        if (!w.same && (d.h < w.kh || d.w < w.kw)) continue;
        const ConvolutionShape s = shapeFor(d, outC, w, false);
        const std::vector<float> in = randomValues(d.size(), seed++);
        const std::vector<float> weights = randomValues(static_cast<std::size_t>(outC) * w.kh * w.kw * d.c, seed++);
        const std::vector<float> bias = seed % 3 ? randomValues(static_cast<std::size_t>(outC), seed) : std::vector<float>{};
        const std::vector<float> expected = referenceConvolution(in, s, weights, bias, Activation::None);
        expectClose(viaXnnpack(in, s, weights, bias, Activation::None), expected, describe(s, Activation::None));
      }
}

TEST(XnnpackConvolution, DepthwiseConvolutionsMatchTheReferenceWithMultipliersAndDilation) {
  const Window windows[] = {{3, 3, 1, 1, true}, {3, 3, 2, 1, true}, {5, 5, 2, 1, true},
                            {5, 5, 1, 1, false}, {3, 3, 2, 1, false}, {3, 3, 1, 2, true}};
  const Dims inputs[] = {{9, 9, 16}, {8, 10, 72}, {7, 6, 5}, {16, 16, 3}};
  unsigned seed = 500;
  for (const Window& w : windows)
    for (Dims d : inputs)
      for (int multiplier : {1, 2}) {
        const ConvolutionShape s = shapeFor(d, d.c * multiplier, w, true);
        const std::vector<float> in = randomValues(d.size(), seed++);
        const std::vector<float> weights = randomValues(static_cast<std::size_t>(w.kh) * w.kw * s.out.c, seed++);
        const std::vector<float> bias = randomValues(static_cast<std::size_t>(s.out.c), seed++);
        expectClose(viaXnnpack(in, s, weights, bias, Activation::None),
                    referenceConvolution(in, s, weights, bias, Activation::None), describe(s, Activation::None));
      }
}

TEST(XnnpackConvolution, FusedActivationsAndExplicitPaddingMatchTheReference) {
  ConvolutionShape s = shapeFor({10, 9, 8}, 16, {3, 3, 2, 1, false}, false);
  // Explicit padding as an ONNX file gives it: one before, two after (the second adds no output).
  s.geometry.padTop = s.geometry.padLeft = 1;
  s.out.h = (10 + 1 + 2 - 3) / 2 + 1;
  s.out.w = (9 + 1 + 2 - 3) / 2 + 1;
  std::vector<float> in = randomValues(s.in.size(), 3);
  for (float& x : in) x *= 8;  // reach past the clamps of RELU6 and hard-swish
  const std::vector<float> weights = randomValues(16 * 3 * 3 * 8, 4), bias = randomValues(16, 5);
  for (Activation activation :
       {Activation::None, Activation::Relu, Activation::Relu6, Activation::ReluN1To1, Activation::HardSwish}) {
    expectClose(viaXnnpack(in, s, weights, bias, activation),
                referenceConvolution(in, s, weights, bias, activation), describe(s, activation));
    ConvolutionShape depthwise = s;
    depthwise.depthwise = true;
    depthwise.out.c = 8;
    const std::vector<float> depthwiseWeights = randomValues(3 * 3 * 8, 6);
    expectClose(viaXnnpack(in, depthwise, depthwiseWeights, {}, activation),
                referenceConvolution(in, depthwise, depthwiseWeights, {}, activation), describe(depthwise, activation));
  }
}

// A 3x3 convolution of stride 2 whose HARD_SWISH is fused, a 5x5 depthwise one with RELU fused and a
// 1x1 convolution with RELU6 that is the graph's output.
Model smallGraph() {
  ModelBuilder b("small graph");
  const int input = b.tensor({1, 17, 15, 3});
  const int x1 = b.tensor({1, 9, 8, 16}), x2 = b.tensor({1, 9, 8, 16}), x3 = b.tensor({1, 9, 8, 16});
  const int x4 = b.tensor({1, 9, 8, 16}), out = b.tensor({1, 9, 8, 24});
  const int w1 = b.tensor({16, 3, 3, 3}, randomValues(16 * 3 * 3 * 3, 11)), b1 = b.tensor({16}, randomValues(16, 12));
  const int w2 = b.tensor({1, 5, 5, 16}, randomValues(5 * 5 * 16, 13)), b2 = b.tensor({16}, randomValues(16, 14));
  const int w3 = b.tensor({24, 1, 1, 16}, randomValues(24 * 16, 15)), b3 = b.tensor({24}, randomValues(24, 16));
  ModelOperator& first = b.op(OpKind::Conv, {input, w1, b1}, x1);
  first.strideH = first.strideW = 2;
  b.op(OpKind::HardSwish, {x1}, x2);
  b.op(OpKind::DepthwiseConv, {x2, w2, b2}, x3);
  b.op(OpKind::Relu, {x3}, x4);
  b.op(OpKind::Conv, {x4, w3, b3}, out).activation = Activation::Relu6;
  return b.done({input}, {out});
}

TEST(XnnpackConvolution, TheRunnerGivesTheSameOutputWithXnnpackAsWithItsOwnKernels) {
  const Model model = smallGraph();
  GraphRunner own(model, std::make_shared<WorkerPool>(1), ConvolutionKernels::Own);
  EXPECT_EQ(own.stepsOnXnnpack(), 0);
  const struct {
    ConvolutionKernels kernels;
    int onXnnpack;
  } choices[] = {{ConvolutionKernels::Xnnpack, 3}, {ConvolutionKernels::Fastest, 1}};
  for (const auto& choice : choices)
    for (int threads : {1, 2}) {
      GraphRunner fast(model, std::make_shared<WorkerPool>(threads), choice.kernels);
      EXPECT_EQ(fast.stepsOnXnnpack(), choice.onXnnpack);
      for (unsigned seed : {21u, 22u}) {
        const std::vector<float> in = randomValues(own.inputDims().size(), seed);
        std::copy(in.begin(), in.end(), own.input());
        std::copy(in.begin(), in.end(), fast.input());
        const float* expected = own.run();
        const float* actual = fast.run();
        for (std::size_t i = 0; i < own.outputDims().size(); ++i)
          ASSERT_NEAR(actual[i], expected[i], 1e-4f * (1.0f + std::fabs(expected[i])))
              << "element " << i << " with " << choice.onXnnpack << " steps on XNNPACK, " << threads << " threads";
      }
    }
}

}  // namespace
}  // namespace kov
