// Every operator kernel against a plain reference written from the operator's definition: explicit
// padding loops for the window operators, OpenCV for bilinear resizing.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "platform/neural/kernels.h"
#include "platform/neural/worker_pool.h"

namespace kov {
namespace {

std::vector<float> randomValues(std::size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (float& x : v) x = value(rng);
  return v;
}

void expectClose(const std::vector<float>& actual, const std::vector<float>& expected, float tolerance,
                 const std::string& what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  for (std::size_t i = 0; i < actual.size(); ++i)
    ASSERT_NEAR(actual[i], expected[i], tolerance) << what << " at element " << i;
}

// The input padded explicitly with zeros, then a window walked over the padded tensor.
std::vector<float> padded(const std::vector<float>& in, Dims d, int top, int left, int bottom, int right, Dims& out) {
  out = {d.h + top + bottom, d.w + left + right, d.c};
  std::vector<float> p(out.size(), 0.0f);
  for (int y = 0; y < d.h; ++y)
    for (int x = 0; x < d.w; ++x)
      for (int c = 0; c < d.c; ++c)
        p[((static_cast<std::size_t>(y + top)) * out.w + (x + left)) * d.c + c] = in[(static_cast<std::size_t>(y) * d.w + x) * d.c + c];
  return p;
}

struct Window {
  int kh, kw, strideH, strideW, dilationH, dilationW;
  Padding padding;
};

// TensorFlow's padding: the total needed to cover the input, the odd one at the bottom/right.
void tfPadding(Dims in, const Window& w, int outH, int outW, int& top, int& left, int& bottom, int& right) {
  top = left = bottom = right = 0;
  if (w.padding == Padding::Valid) return;
  int totalH = std::max((outH - 1) * w.strideH + (w.kh - 1) * w.dilationH + 1 - in.h, 0);
  int totalW = std::max((outW - 1) * w.strideW + (w.kw - 1) * w.dilationW + 1 - in.w, 0);
  top = totalH / 2;
  bottom = totalH - top;
  left = totalW / 2;
  right = totalW - left;
}

int expectedExtent(int in, int k, int stride, int dilation, Padding padding) {
  int effective = (k - 1) * dilation + 1;
  return padding == Padding::Same ? static_cast<int>(std::ceil(in / static_cast<double>(stride)))
                                  : static_cast<int>(std::ceil((in - effective + 1) / static_cast<double>(stride)));
}

std::vector<float> referenceConv(const std::vector<float>& in, Dims d, const std::vector<float>& weights, int outC,
                                 const std::vector<float>& bias, const Window& w, Dims& outDims) {
  int outH = expectedExtent(d.h, w.kh, w.strideH, w.dilationH, w.padding);
  int outW = expectedExtent(d.w, w.kw, w.strideW, w.dilationW, w.padding);
  int top, left, bottom, right;
  tfPadding(d, w, outH, outW, top, left, bottom, right);
  Dims pd;
  std::vector<float> p = padded(in, d, top, left, bottom, right, pd);
  outDims = {outH, outW, outC};
  std::vector<float> out(outDims.size());
  for (int oy = 0; oy < outH; ++oy)
    for (int ox = 0; ox < outW; ++ox)
      for (int o = 0; o < outC; ++o) {
        double sum = bias[static_cast<std::size_t>(o)];
        for (int ky = 0; ky < w.kh; ++ky)
          for (int kx = 0; kx < w.kw; ++kx)
            for (int i = 0; i < d.c; ++i) {
              int y = oy * w.strideH + ky * w.dilationH, x = ox * w.strideW + kx * w.dilationW;
              sum += p[(static_cast<std::size_t>(y) * pd.w + x) * d.c + i] *
                     weights[((static_cast<std::size_t>(o) * w.kh + ky) * w.kw + kx) * d.c + i];
            }
        out[(static_cast<std::size_t>(oy) * outW + ox) * outC + o] = static_cast<float>(sum);
      }
  return out;
}

WindowGeometry geometryFor(Dims in, const Window& w, int outH, int outW) {
  WindowGeometry g;
  g.strideH = w.strideH;
  g.strideW = w.strideW;
  g.dilationH = w.dilationH;
  g.dilationW = w.dilationW;
  if (w.padding == Padding::Same) {
    g.padTop = windowPaddingBefore(in.h, w.kh, w.strideH, w.dilationH, outH);
    g.padLeft = windowPaddingBefore(in.w, w.kw, w.strideW, w.dilationW, outW);
  }
  return g;
}

TEST(Kernels, ConvolutionMatchesPaddedLoopsForOddEvenSizesStridesAndPadding) {
  WorkerPool pool(2);
  const Window windows[] = {
      {1, 1, 1, 1, 1, 1, Padding::Same},  {1, 1, 2, 2, 1, 1, Padding::Valid}, {3, 3, 1, 1, 1, 1, Padding::Same},
      {3, 3, 2, 2, 1, 1, Padding::Same},  {3, 3, 2, 2, 1, 1, Padding::Valid}, {5, 3, 1, 2, 1, 1, Padding::Same},
      {2, 2, 2, 2, 1, 1, Padding::Same},  {3, 3, 1, 1, 2, 2, Padding::Same},  {4, 4, 3, 3, 1, 1, Padding::Valid}};
  const Dims inputs[] = {{9, 7, 3}, {8, 8, 16}, {5, 12, 5}, {1, 1, 4}, {16, 11, 24}};
  const int outChannels[] = {1, 8, 13, 24};
  unsigned seed = 1;
  for (const Window& w : windows)
    for (Dims d : inputs)
      for (int outC : outChannels) {
        if (w.padding == Padding::Valid && (d.h < w.kh || d.w < w.kw)) continue;
        std::vector<float> in = randomValues(d.size(), seed++);
        std::vector<float> weights = randomValues(static_cast<std::size_t>(outC) * w.kh * w.kw * d.c, seed++);
        std::vector<float> bias = randomValues(static_cast<std::size_t>(outC), seed++);
        Dims expectedDims;
        std::vector<float> expected = referenceConv(in, d, weights, outC, bias, w, expectedDims);
        int outH = windowOutputExtent(d.h, w.kh, w.strideH, w.dilationH, w.padding);
        int outW = windowOutputExtent(d.w, w.kw, w.strideW, w.dilationW, w.padding);
        ASSERT_EQ(outH, expectedDims.h);
        ASSERT_EQ(outW, expectedDims.w);
        PackedFilter filter = packConvFilter(weights.data(), outC, w.kh, w.kw, d.c, bias.data());
        std::vector<float> out(expectedDims.size());
        conv2d(in.data(), d, filter, geometryFor(d, w, outH, outW), Activation::None, out.data(), expectedDims, pool);
        std::string what = "conv " + std::to_string(w.kh) + "x" + std::to_string(w.kw) + " s" +
                           std::to_string(w.strideH) + " in " + std::to_string(d.h) + "x" + std::to_string(d.w) +
                           "x" + std::to_string(d.c) + " out " + std::to_string(outC) +
                           (w.padding == Padding::Same ? " SAME" : " VALID");
        expectClose(out, expected, 1e-4f, what);
      }
}

TEST(Kernels, FusedActivationsClampOrSwishWhileStoring) {
  WorkerPool pool(1);
  Dims d{6, 5, 8};
  std::vector<float> in = randomValues(d.size(), 7);
  for (float& x : in) x *= 8;  // reach past the clamps of RELU6 and hard-swish
  std::vector<float> weights = randomValues(16 * 8, 8), bias = randomValues(16, 9);
  Window w{1, 1, 1, 1, 1, 1, Padding::Same};
  Dims outDims;
  std::vector<float> plain = referenceConv(in, d, weights, 16, bias, w, outDims);
  PackedFilter filter = packConvFilter(weights.data(), 16, 1, 1, 8, bias.data());
  auto hardSwishOf = [](float x) { return x * std::min(std::max(x + 3.0f, 0.0f), 6.0f) / 6.0f; };
  struct Case {
    Activation activation;
    std::function<float(float)> expected;
  } cases[] = {{Activation::Relu, [](float x) { return std::max(x, 0.0f); }},
               {Activation::Relu6, [](float x) { return std::min(std::max(x, 0.0f), 6.0f); }},
               {Activation::ReluN1To1, [](float x) { return std::min(std::max(x, -1.0f), 1.0f); }},
               {Activation::HardSwish, hardSwishOf}};
  for (const Case& c : cases) {
    std::vector<float> out(outDims.size()), expected(plain);
    for (float& x : expected) x = c.expected(x);
    conv2d(in.data(), d, filter, WindowGeometry{}, c.activation, out.data(), outDims, pool);
    expectClose(out, expected, 1e-3f, "activation " + std::to_string(static_cast<int>(c.activation)));
  }
}

TEST(Kernels, DepthwiseConvolutionMatchesPaddedLoops) {
  WorkerPool pool(2);
  const Window windows[] = {{3, 3, 1, 1, 1, 1, Padding::Same},  {3, 3, 2, 2, 1, 1, Padding::Same},
                            {5, 5, 2, 2, 1, 1, Padding::Same},  {5, 5, 1, 1, 1, 1, Padding::Valid},
                            {3, 3, 2, 2, 1, 1, Padding::Valid}, {3, 3, 1, 1, 2, 2, Padding::Same}};
  const Dims inputs[] = {{9, 9, 16}, {8, 10, 72}, {7, 6, 5}, {16, 16, 3}};
  unsigned seed = 100;
  for (const Window& w : windows)
    for (Dims d : inputs)
      for (int multiplier : {1, 2}) {
        const int outC = d.c * multiplier;
        int outH = windowOutputExtent(d.h, w.kh, w.strideH, w.dilationH, w.padding);
        int outW = windowOutputExtent(d.w, w.kw, w.strideW, w.dilationW, w.padding);
        ASSERT_EQ(outH, expectedExtent(d.h, w.kh, w.strideH, w.dilationH, w.padding));
        std::vector<float> in = randomValues(d.size(), seed++);
        std::vector<float> weights = randomValues(static_cast<std::size_t>(w.kh) * w.kw * outC, seed++);
        std::vector<float> bias = randomValues(static_cast<std::size_t>(outC), seed++);
        int top, left, bottom, right;
        tfPadding(d, w, outH, outW, top, left, bottom, right);
        Dims pd;
        std::vector<float> p = padded(in, d, top, left, bottom, right, pd);
        Dims outDims{outH, outW, outC};
        std::vector<float> expected(outDims.size());
        for (int oy = 0; oy < outH; ++oy)
          for (int ox = 0; ox < outW; ++ox)
            for (int i = 0; i < d.c; ++i)
              for (int m = 0; m < multiplier; ++m) {
                int o = i * multiplier + m;
                double sum = bias[static_cast<std::size_t>(o)];
                for (int ky = 0; ky < w.kh; ++ky)
                  for (int kx = 0; kx < w.kw; ++kx) {
                    int y = oy * w.strideH + ky * w.dilationH, x = ox * w.strideW + kx * w.dilationW;
                    sum += p[(static_cast<std::size_t>(y) * pd.w + x) * d.c + i] *
                           weights[(static_cast<std::size_t>(ky) * w.kw + kx) * outC + o];
                  }
                expected[(static_cast<std::size_t>(oy) * outW + ox) * outC + o] = static_cast<float>(sum);
              }
        std::vector<float> out(outDims.size());
        depthwiseConv2d(in.data(), d, weights.data(), w.kh, w.kw, multiplier, bias.data(),
                        geometryFor(d, w, outH, outW), Activation::None, out.data(), outDims, pool);
        expectClose(out, expected, 1e-4f,
                    "depthwise " + std::to_string(w.kh) + " s" + std::to_string(w.strideH) + " in " +
                        std::to_string(d.h) + "x" + std::to_string(d.w) + "x" + std::to_string(d.c) + " x" +
                        std::to_string(multiplier));
      }
}

TEST(Kernels, TransposedConvolutionScattersEveryInputPixelOrTilesTheOutput) {
  WorkerPool pool(2);
  struct Case {
    Dims in;
    int outC, k, stride;
    Padding padding;
  } cases[] = {{{4, 5, 16}, 1, 2, 2, Padding::Same}, {{3, 3, 4}, 3, 3, 2, Padding::Valid},
               {{5, 4, 8}, 2, 3, 1, Padding::Same},  {{6, 7, 3}, 9, 2, 2, Padding::Valid}};
  unsigned seed = 300;
  for (const Case& c : cases) {
    const Dims d = c.in;
    std::vector<float> in = randomValues(d.size(), seed++);
    std::vector<float> weights = randomValues(static_cast<std::size_t>(c.outC) * c.k * c.k * d.c, seed++);
    std::vector<float> bias = randomValues(static_cast<std::size_t>(c.outC), seed++);
    // The full scatter without cropping, then the crop that SAME or VALID keeps.
    int fullH = (d.h - 1) * c.stride + c.k, fullW = (d.w - 1) * c.stride + c.k;
    std::vector<double> full(static_cast<std::size_t>(fullH) * fullW * c.outC, 0.0);
    for (int iy = 0; iy < d.h; ++iy)
      for (int ix = 0; ix < d.w; ++ix)
        for (int ky = 0; ky < c.k; ++ky)
          for (int kx = 0; kx < c.k; ++kx)
            for (int o = 0; o < c.outC; ++o)
              for (int i = 0; i < d.c; ++i)
                full[((static_cast<std::size_t>(iy * c.stride + ky)) * fullW + ix * c.stride + kx) * c.outC + o] +=
                    in[(static_cast<std::size_t>(iy) * d.w + ix) * d.c + i] *
                    weights[((static_cast<std::size_t>(o) * c.k + ky) * c.k + kx) * d.c + i];
    Dims outDims = c.padding == Padding::Same ? Dims{d.h * c.stride, d.w * c.stride, c.outC} : Dims{fullH, fullW, c.outC};
    int top = (fullH - outDims.h) / 2, left = (fullW - outDims.w) / 2;
    std::vector<float> expected(outDims.size());
    for (int y = 0; y < outDims.h; ++y)
      for (int x = 0; x < outDims.w; ++x)
        for (int o = 0; o < c.outC; ++o)
          expected[(static_cast<std::size_t>(y) * outDims.w + x) * c.outC + o] = static_cast<float>(
              bias[static_cast<std::size_t>(o)] + full[((static_cast<std::size_t>(y + top)) * fullW + x + left) * c.outC + o]);
    WindowGeometry g;
    g.strideH = g.strideW = c.stride;
    g.padTop = top;
    g.padLeft = left;
    PackedFilter filter = packTransposeFilter(weights.data(), c.outC, c.k, c.k, d.c);
    std::vector<float> out(outDims.size());
    transposeConvBias(in.data(), d, filter, bias.data(), g, out.data(), outDims, pool);
    expectClose(out, expected, 1e-4f, "transpose k" + std::to_string(c.k) + " s" + std::to_string(c.stride));
    // Windows that tile the output are written straight from the product, activation included.
    const bool tiles = c.k == c.stride;
    ASSERT_EQ(transposeTilesOutput(c.k, c.k, g, d, outDims), tiles);
    if (!tiles) continue;
    const PackedFilter tiled = packTiledTransposeFilter(weights.data(), c.outC, c.k, c.k, d.c, bias.data());
    for (Activation activation : {Activation::None, Activation::Relu}) {
      std::vector<float> written(outDims.size(), std::nanf("")), rectified = expected;
      if (activation == Activation::Relu)
        for (float& v : rectified) v = std::max(v, 0.0f);
      transposeConvTiled(in.data(), d, tiled, activation, written.data(), outDims, pool);
      expectClose(written, rectified, 1e-4f, "tiled transpose, " + std::to_string(c.outC) + " channels");
    }
  }
}

TEST(Kernels, BilinearResizeMatchesOpenCvAndTheCornerRules) {
  const Dims inputs[] = {{16, 16, 24}, {7, 5, 3}, {8, 9, 4}, {1, 1, 2}};
  const std::pair<int, int> sizes[] = {{32, 32}, {14, 10}, {5, 3}, {16, 18}, {2, 2}};
  unsigned seed = 500;
  for (Dims d : inputs)
    for (auto [outH, outW] : sizes) {
      std::vector<float> in = randomValues(d.size(), seed++);
      Dims outDims{outH, outW, d.c};
      std::vector<float> out(outDims.size());
      resizeBilinear(in.data(), d, out.data(), outDims, false, true);
      cv::Mat source(d.h, d.w, CV_32FC(d.c), in.data());
      cv::Mat expected;
      cv::resize(source, expected, cv::Size(outW, outH), 0, 0, cv::INTER_LINEAR);
      std::vector<float> expectedValues(expected.ptr<float>(), expected.ptr<float>() + outDims.size());
      expectClose(out, expectedValues, 1e-4f, "half-pixel resize to " + std::to_string(outH) + "x" + std::to_string(outW));

      // Without half-pixel centres output pixel o samples o * in / out; with aligned corners
      // o * (in - 1) / (out - 1), both clamped to the last pixel.
      for (bool align : {false, true}) {
        resizeBilinear(in.data(), d, out.data(), outDims, align, false);
        auto source1 = [&](int o, int input, int output) {
          double scale = align && output > 1 ? (input - 1.0) / (output - 1.0) : static_cast<double>(input) / output;
          return o * scale;
        };
        for (int y = 0; y < outH; ++y)
          for (int x = 0; x < outW; ++x)
            for (int ch = 0; ch < d.c; ++ch) {
              double sy = source1(y, d.h, outH), sx = source1(x, d.w, outW);
              int y0 = static_cast<int>(sy), x0 = static_cast<int>(sx);
              int y1 = std::min(y0 + 1, d.h - 1), x1 = std::min(x0 + 1, d.w - 1);
              double fy = sy - y0, fx = sx - x0;
              auto at = [&](int yy, int xx) { return in[(static_cast<std::size_t>(yy) * d.w + xx) * d.c + ch]; };
              double value = (at(y0, x0) * (1 - fx) + at(y0, x1) * fx) * (1 - fy) + (at(y1, x0) * (1 - fx) + at(y1, x1) * fx) * fy;
              ASSERT_NEAR(out[(static_cast<std::size_t>(y) * outW + x) * d.c + ch], value, 1e-4)
                  << (align ? "aligned" : "legacy") << " at " << y << "," << x;
            }
      }
    }
}

TEST(Kernels, PoolingMeanAndElementwiseOperators) {
  // Global average pool (VALID, window = input) and MEAN over height and width agree with sums.
  Dims d{5, 6, 7};
  std::vector<float> in = randomValues(d.size(), 900);
  std::vector<float> channelMean(7, 0.0f);
  for (std::size_t p = 0; p < 30; ++p)
    for (int c = 0; c < 7; ++c) channelMean[static_cast<std::size_t>(c)] += in[p * 7 + c] / 30.0f;
  std::vector<float> pooled(7), mean(7);
  averagePool(in.data(), d, 5, 6, WindowGeometry{5, 6, 1, 1, 0, 0}, Activation::None, pooled.data(), Dims{1, 1, 7});
  meanOverSpace(in.data(), d, mean.data());
  expectClose(pooled, channelMean, 1e-5f, "global pool");
  expectClose(mean, channelMean, 1e-5f, "mean");

  // A 3x3 SAME pool with stride 2 counts only the cells inside the input.
  Dims small{5, 5, 1};
  std::vector<float> ramp(25);
  for (int i = 0; i < 25; ++i) ramp[static_cast<std::size_t>(i)] = static_cast<float>(i);
  int outH = windowOutputExtent(5, 3, 2, 1, Padding::Same);
  ASSERT_EQ(outH, 3);
  std::vector<float> pool3(9);
  averagePool(ramp.data(), small, 3, 3, WindowGeometry{2, 2, 1, 1, windowPaddingBefore(5, 3, 2, 1, 3), windowPaddingBefore(5, 3, 2, 1, 3)},
              Activation::None, pool3.data(), Dims{3, 3, 1});
  EXPECT_FLOAT_EQ(pool3[0], (0 + 1 + 5 + 6) / 4.0f);
  EXPECT_FLOAT_EQ(pool3[4], (6 + 7 + 8 + 11 + 12 + 13 + 16 + 17 + 18) / 9.0f);
  EXPECT_FLOAT_EQ(pool3[8], (18 + 19 + 23 + 24) / 4.0f);

  // Broadcasting: per channel either way round, equal shapes, and a general [1,H,1,C] x [1,1,W,1].
  std::vector<float> a = randomValues(2 * 3 * 4, 901), channel = randomValues(4, 902), b = randomValues(24, 903);
  std::vector<float> out(24);
  int full[4] = {1, 2, 3, 4}, perChannel[4] = {1, 1, 1, 4};
  broadcastBinary(BinaryOp::Mul, a.data(), full, channel.data(), perChannel, out.data(), full, Activation::None);
  for (std::size_t i = 0; i < 24; ++i) EXPECT_FLOAT_EQ(out[i], a[i] * channel[i % 4]);
  broadcastBinary(BinaryOp::Add, channel.data(), perChannel, a.data(), full, out.data(), full, Activation::Relu);
  for (std::size_t i = 0; i < 24; ++i) EXPECT_FLOAT_EQ(out[i], std::max(a[i] + channel[i % 4], 0.0f));
  broadcastBinary(BinaryOp::Add, a.data(), full, b.data(), full, out.data(), full, Activation::None);
  for (std::size_t i = 0; i < 24; ++i) EXPECT_FLOAT_EQ(out[i], a[i] + b[i]);
  int column[4] = {1, 2, 1, 4}, row[4] = {1, 1, 3, 1};
  std::vector<float> col = randomValues(8, 904), rw = randomValues(3, 905);
  broadcastBinary(BinaryOp::Mul, col.data(), column, rw.data(), row, out.data(), full, Activation::None);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x)
      for (int c = 0; c < 4; ++c)
        EXPECT_FLOAT_EQ(out[static_cast<std::size_t>((y * 3 + x) * 4 + c)],
                        col[static_cast<std::size_t>(y * 4 + c)] * rw[static_cast<std::size_t>(x)]);

  // Unary activations.
  std::vector<float> values = {-5.0f, -3.0f, -1.5f, 0.0f, 0.5f, 3.0f, 7.0f};
  std::vector<float> r(values.size()), h(values.size()), s(values.size());
  relu(values.data(), r.data(), values.size());
  hardSwish(values.data(), h.data(), values.size());
  logistic(values.data(), s.data(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    float x = values[i];
    EXPECT_FLOAT_EQ(r[i], x > 0 ? x : 0.0f);
    EXPECT_NEAR(h[i], x <= -3 ? 0.0 : x >= 3 ? x : x * (x + 3) / 6, 1e-6);
    EXPECT_NEAR(s[i], 1.0 / (1.0 + std::exp(-static_cast<double>(x))), 1e-6);
  }
}

TEST(Kernels, MatrixProductHandlesEveryColumnAndRowRemainder) {
  for (int rows : {1, 5, 6, 7, 13})
    for (int cols : {1, 7, 8, 9, 16, 17, 24, 33})
      for (int depth : {1, 3, 16}) {
        std::vector<float> a = randomValues(static_cast<std::size_t>(rows) * depth, static_cast<unsigned>(rows * 100 + cols));
        std::vector<float> w = randomValues(static_cast<std::size_t>(cols) * depth, static_cast<unsigned>(depth));
        std::vector<float> bias = randomValues(static_cast<std::size_t>(cols), 3);
        PackedFilter f = packConvFilter(w.data(), cols, 1, 1, depth, bias.data());
        std::vector<float> c(static_cast<std::size_t>(rows) * (cols + 3), -99.0f);
        matmulBias(a.data(), depth, rows, depth, f.weights.data(), f.paddedCols, f.bias.data(), cols, c.data(), cols + 3,
                   Activation::None);
        for (int r = 0; r < rows; ++r) {
          for (int o = 0; o < cols; ++o) {
            double sum = bias[static_cast<std::size_t>(o)];
            for (int k = 0; k < depth; ++k)
              sum += a[static_cast<std::size_t>(r * depth + k)] * w[static_cast<std::size_t>(o * depth + k)];
            ASSERT_NEAR(c[static_cast<std::size_t>(r * (cols + 3) + o)], sum, 1e-4);
          }
          for (int o = cols; o < cols + 3; ++o)  // the row stride's gap stays untouched
            ASSERT_EQ(c[static_cast<std::size_t>(r * (cols + 3) + o)], -99.0f);
        }
      }
}

}  // namespace
}  // namespace kov

namespace kov {
namespace {

TEST(Kernels, MaxPoolPaddingConcatenationAndTheOperatorsThatDoNotCommute) {
  // A 2x2 VALID max pool with stride 2 and a 3x3 SAME one that ignores the padding cells, also for
  // all-negative inputs.
  Dims d{4, 4, 1};
  std::vector<float> ramp(16);
  for (int i = 0; i < 16; ++i) ramp[static_cast<std::size_t>(i)] = static_cast<float>(i % 5) - 10.0f * (i / 8);
  std::vector<float> pooled(4);
  maxPool(ramp.data(), d, 2, 2, WindowGeometry{2, 2, 1, 1, 0, 0}, Activation::None, pooled.data(), Dims{2, 2, 1});
  EXPECT_EQ(pooled, (std::vector<float>{4, 3, -6, -6}));
  std::vector<float> same(16);
  maxPool(ramp.data(), d, 3, 3, WindowGeometry{1, 1, 1, 1, 1, 1}, Activation::None, same.data(), d);
  EXPECT_FLOAT_EQ(same[0], 4.0f);    // cells 0, 1, 4, 5
  EXPECT_FLOAT_EQ(same[15], -6.0f);  // cells 10, 11, 14, 15: -10, -9, -6, -10
  maxPool(ramp.data(), d, 3, 3, WindowGeometry{1, 1, 1, 1, 1, 1}, Activation::Relu, same.data(), d);
  EXPECT_FLOAT_EQ(same[15], 0.0f);

  // Zero padding on every axis keeps each value at its shifted place.
  const int inShape[4] = {1, 2, 3, 2}, before[4] = {0, 1, 0, 3}, outShape[4] = {1, 4, 4, 6};
  std::vector<float> in = randomValues(12, 950), padded(96, -1.0f);
  zeroPad(in.data(), inShape, before, padded.data(), outShape);
  int nonZero = 0;
  for (float v : padded) nonZero += v != 0.0f;
  EXPECT_EQ(nonZero, 12);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x)
      for (int c = 0; c < 2; ++c)
        EXPECT_EQ(padded[static_cast<std::size_t>(((y + 1) * 4 + x) * 6 + c + 3)], in[static_cast<std::size_t>((y * 3 + x) * 2 + c)]);

  // Joining [2, 3] and [2, 1] along the last axis.
  std::vector<float> a = {1, 2, 3, 4, 5, 6}, b = {7, 8}, joined(8);
  concatenate({a.data(), b.data()}, {3, 1}, 2, joined.data());
  EXPECT_EQ(joined, (std::vector<float>{1, 2, 3, 7, 4, 5, 6, 8}));

  // SUB and PRELU keep the order of their operands, with the per-channel operand on either side.
  std::vector<float> full = {-2, 3, -4, 5}, slopes = {0.5f, 0.25f}, out(4);
  int fullShape[4] = {1, 1, 2, 2}, channelShape[4] = {1, 1, 1, 2};
  broadcastBinary(BinaryOp::Sub, full.data(), fullShape, slopes.data(), channelShape, out.data(), fullShape, Activation::None);
  EXPECT_EQ(out, (std::vector<float>{-2.5f, 2.75f, -4.5f, 4.75f}));
  broadcastBinary(BinaryOp::Sub, slopes.data(), channelShape, full.data(), fullShape, out.data(), fullShape, Activation::None);
  EXPECT_EQ(out, (std::vector<float>{2.5f, -2.75f, 4.5f, -4.75f}));
  broadcastBinary(BinaryOp::PRelu, full.data(), fullShape, slopes.data(), channelShape, out.data(), fullShape, Activation::None);
  EXPECT_EQ(out, (std::vector<float>{-1.0f, 3.0f, -2.0f, 5.0f}));
  absolute(full.data(), out.data(), 4);
  EXPECT_EQ(out, (std::vector<float>{2, 3, 4, 5}));
}

}  // namespace
}  // namespace kov

namespace kov {
namespace {

TEST(Kernels, DepthToSpaceSpreadsEachCellsDepthOverABlockRowByRow) {
  // Two cells side by side, each with a 2 x 2 block of two channels: cell x's value (dy * 2 + dx) * 2 + c
  // goes to output pixel (dy, 2x + dx), channel c.
  std::vector<float> in(16);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i);
  const int inShape[4] = {1, 1, 2, 8};
  std::vector<float> out(16, -1.0f);
  depthToSpace(in.data(), inShape, 2, out.data());
  // Output 1 x 2 x 4 x 2, row-major.
  EXPECT_EQ(out, (std::vector<float>{0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15}));
}

// A single value on either side of a whole tensor, for every operator (SUB, DIV and PRELU do not
// commute), against the general broadcast written out.
TEST(Kernels, BinaryOperatorsWithASingleValueKeepTheOperandOrder) {
  std::vector<float> full = randomValues(2 * 3 * 8, 950), one = {-0.75f}, out(full.size());
  int fullShape[4] = {1, 2, 3, 8}, singleShape[4] = {1, 1, 1, 1};
  for (BinaryOp op : {BinaryOp::Add, BinaryOp::Mul, BinaryOp::Sub, BinaryOp::PRelu, BinaryOp::Div}) {
    auto expected = [&](float x, float y) {
      switch (op) {
        case BinaryOp::Add: return x + y;
        case BinaryOp::Mul: return x * y;
        case BinaryOp::Sub: return x - y;
        case BinaryOp::PRelu: return x >= 0 ? x : x * y;
        case BinaryOp::Div: return x / y;
      }
      return 0.0f;
    };
    broadcastBinary(op, full.data(), fullShape, one.data(), singleShape, out.data(), fullShape, Activation::None);
    for (std::size_t i = 0; i < full.size(); ++i)
      ASSERT_FLOAT_EQ(out[i], expected(full[i], one[0])) << "operator " << static_cast<int>(op) << " at " << i;
    broadcastBinary(op, one.data(), singleShape, full.data(), fullShape, out.data(), fullShape, Activation::Relu6);
    for (std::size_t i = 0; i < full.size(); ++i)
      ASSERT_FLOAT_EQ(out[i], std::clamp(expected(one[0], full[i]), 0.0f, 6.0f))
          << "operator " << static_cast<int>(op) << " reversed at " << i;
  }
}

}  // namespace
}  // namespace kov
