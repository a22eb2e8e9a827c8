// The steps a convolution can do as it stores (a residual addition with a clamp, PReLU, the logistic
// function) against the same steps done one after the other on its plain output, for every kernel
// that stores through them, on shapes whose channels leave partial vectors; and the addition of a
// nearest-neighbour enlargement against the enlargement and the addition. Outputs start as NaN so
// a value the merged kernel skips shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/neural/kernels.h"
#include "platform/neural/winograd.h"
#include "platform/neural/worker_pool.h"
#include "runner_test_support.h"

namespace kov {
namespace {

struct Parts {
  bool residual = false;
  Activation afterResidual = Activation::None;
  bool prelu = false;
  bool logistic = false;
};

std::vector<Parts> combinations() {
  return {{true, Activation::None, false, false}, {true, Activation::Relu, false, false},
          {true, Activation::Relu6, true, false}, {false, Activation::None, true, false},
          {false, Activation::None, false, true}, {true, Activation::ReluN1To1, true, true}};
}

// The parts applied one after the other to a convolution's plain output, as separate steps would.
std::vector<float> applied(std::vector<float> values, const Parts& parts, const std::vector<float>& residual,
                           const std::vector<float>& slopes, int channels) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    float v = values[i];
    if (parts.residual) v = v + residual[i];
    if (parts.afterResidual == Activation::Relu) v = std::max(v, 0.0f);
    if (parts.afterResidual == Activation::Relu6) v = std::min(std::max(v, 0.0f), 6.0f);
    if (parts.afterResidual == Activation::ReluN1To1) v = std::min(std::max(v, -1.0f), 1.0f);
    if (parts.prelu) v = std::max(v, 0.0f) + std::min(v, 0.0f) * slopes[i % static_cast<std::size_t>(channels)];
    if (parts.logistic) v = 1.0f / (1.0f + std::exp(-v));
    values[i] = v;
  }
  return values;
}

StoreOp storeWith(Activation activation, const Parts& parts, const std::vector<float>& residual,
                  const std::vector<float>& slopes) {
  StoreOp store(activation);
  if (parts.residual) store.residual = residual.data();
  store.afterResidual = parts.afterResidual;
  if (parts.prelu) store.slopes = slopes.data();
  store.logistic = parts.logistic;
  return store;
}

void expectSameBits(const std::vector<float>& actual, const std::vector<float>& expected, const std::string& what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  for (std::size_t i = 0; i < actual.size(); ++i)
    ASSERT_EQ(std::memcmp(&actual[i], &expected[i], sizeof(float)), 0)
        << what << " at element " << i << ": " << actual[i] << " instead of " << expected[i];
}

// Slopes of both signs, padded to a multiple of 8 as the store reads them.
std::vector<float> slopesFor(int channels, unsigned seed) {
  std::vector<float> slopes = randomValues(static_cast<std::size_t>(channels), seed, 0.5f);
  slopes.resize(static_cast<std::size_t>((channels + 7) / 8 * 8), 0.0f);
  return slopes;
}

TEST(StoreFusion, ConvolutionsStoreResidualPReluAndLogisticAsTheSeparateStepsCompute) {
  WorkerPool pool(2);
  struct Case {
    Dims in;
    int outC, k;
  } cases[] = {{{3, 7, 5}, 13, 1}, {{6, 9, 16}, 12, 3}, {{1, 1, 8}, 3, 1}, {{5, 4, 3}, 24, 3}, {{9, 10, 17}, 33, 1}};
  unsigned seed = 900;
  for (const Case& c : cases) {
    const int pad = c.k / 2;
    WindowGeometry g;
    g.padTop = g.padLeft = pad;
    const Dims outDims{c.in.h, c.in.w, c.outC};
    const std::vector<float> in = randomValues(c.in.size(), seed++, 2.0f);
    const std::vector<float> weights = randomValues(static_cast<std::size_t>(c.outC) * c.k * c.k * c.in.c, seed++);
    const std::vector<float> bias = randomValues(static_cast<std::size_t>(c.outC), seed++);
    const std::vector<float> residual = randomValues(outDims.size(), seed++, 3.0f);
    const std::vector<float> slopes = slopesFor(c.outC, seed++);
    const PackedFilter filter = packConvFilter(weights.data(), c.outC, c.k, c.k, c.in.c, bias.data());
    const bool winograd = winogradPays(c.k, c.k, g, c.in.c, c.outC, outDims);
    const WinogradFilter transformed =
        c.k == 3 ? packWinogradFilter(weights.data(), c.outC, c.in.c, bias.data(), 4) : WinogradFilter{};
    auto run = [&](StoreOp store, bool useWinograd) {
      std::vector<float> out(outDims.size(), std::nanf(""));
      if (useWinograd)
        winogradConv3x3(in.data(), c.in, transformed, pad, pad, store, out.data(), outDims, pool);
      else
        conv2d(in.data(), c.in, filter, g, store, out.data(), outDims, pool);
      return out;
    };
    for (bool useWinograd : {false, true}) {
      if (useWinograd && c.k != 3) continue;
      for (Activation activation : {Activation::None, Activation::Relu6}) {
        const std::vector<float> plain = run(StoreOp(activation), useWinograd);
        for (const Parts& parts : combinations()) {
          const std::string what = std::string(useWinograd ? "winograd" : "conv") + " " + std::to_string(c.k) + "x" +
                                   std::to_string(c.k) + " " + std::to_string(c.in.c) + "->" + std::to_string(c.outC) +
                                   (winograd ? " (winograd pays)" : "");
          expectSameBits(run(storeWith(activation, parts, residual, slopes), useWinograd),
                         applied(plain, parts, residual, slopes, c.outC), what);
        }
      }
    }
  }
}

TEST(StoreFusion, DepthwiseConvolutionsStoreTheSamePartsWithAnyMultiplier) {
  WorkerPool pool(2);
  struct Case {
    Dims in;
    int multiplier, k, stride;
  } cases[] = {{{7, 6, 16}, 1, 3, 1}, {{5, 9, 5}, 1, 5, 2}, {{4, 4, 3}, 2, 3, 1}, {{8, 3, 24}, 1, 3, 2}};
  unsigned seed = 1900;
  for (const Case& c : cases) {
    const int outC = c.in.c * c.multiplier;
    WindowGeometry g;
    g.strideH = g.strideW = c.stride;
    g.padTop = g.padLeft = c.k / 2;
    const Dims outDims{(c.in.h + c.stride - 1) / c.stride, (c.in.w + c.stride - 1) / c.stride, outC};
    const std::vector<float> in = randomValues(c.in.size(), seed++, 2.0f);
    const std::vector<float> weights = randomValues(static_cast<std::size_t>(outC) * c.k * c.k, seed++);
    const std::vector<float> bias = randomValues(static_cast<std::size_t>(outC), seed++);
    const std::vector<float> residual = randomValues(outDims.size(), seed++, 3.0f);
    const std::vector<float> slopes = slopesFor(outC, seed++);
    auto run = [&](StoreOp store) {
      std::vector<float> out(outDims.size(), std::nanf(""));
      depthwiseConv2d(in.data(), c.in, weights.data(), c.k, c.k, c.multiplier, bias.data(), g, store, out.data(),
                      outDims, pool);
      return out;
    };
    for (Activation activation : {Activation::None, Activation::Relu}) {
      const std::vector<float> plain = run(StoreOp(activation));
      for (const Parts& parts : combinations())
        expectSameBits(run(storeWith(activation, parts, residual, slopes)),
                       applied(plain, parts, residual, slopes, outC),
                       "depthwise " + std::to_string(c.k) + "/" + std::to_string(c.stride) + " " +
                           std::to_string(c.in.c) + " x" + std::to_string(c.multiplier));
    }
  }
}

TEST(StoreFusion, ATiledTransposedConvolutionStoresTheLogisticOfItsValues) {
  WorkerPool pool(2);
  for (int outC : {1, 3, 24}) {
    const Dims in{5, 7, 6};
    const Dims outDims{10, 14, outC};
    const std::vector<float> values = randomValues(in.size(), 40u + static_cast<unsigned>(outC), 2.0f);
    const std::vector<float> weights = randomValues(static_cast<std::size_t>(outC) * 4 * in.c, 50u + static_cast<unsigned>(outC));
    const std::vector<float> bias = randomValues(static_cast<std::size_t>(outC), 60u + static_cast<unsigned>(outC));
    const PackedFilter tiled = packTiledTransposeFilter(weights.data(), outC, 2, 2, in.c, bias.data());
    std::vector<float> plain(outDims.size(), std::nanf("")), merged(outDims.size(), std::nanf(""));
    transposeConvTiled(values.data(), in, tiled, Activation::Relu, plain.data(), outDims, pool);
    StoreOp store(Activation::Relu);
    store.logistic = true;
    transposeConvTiled(values.data(), in, tiled, store, merged.data(), outDims, pool);
    Parts logistic;
    logistic.logistic = true;
    expectSameBits(merged, applied(plain, logistic, {}, {}, outC), "transposed " + std::to_string(outC));
  }
}

TEST(StoreFusion, AnAdditionOfANearestEnlargementReadsTheSmallTensorWhereTheEnlargementWould) {
  struct Case {
    Dims small, out;
  } cases[] = {{{11, 20, 96}, {22, 40, 96}}, {{3, 5, 5}, {7, 11, 5}}, {{1, 1, 3}, {4, 2, 3}}, {{4, 6, 9}, {4, 6, 9}}};
  unsigned seed = 2900;
  for (const Case& c : cases) {
    const std::vector<float> small = randomValues(c.small.size(), seed++), full = randomValues(c.out.size(), seed++);
    std::vector<float> enlarged(c.out.size(), std::nanf("")), expected(c.out.size());
    resizeNearest(small.data(), c.small, enlarged.data(), c.out);
    for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = full[i] + enlarged[i];
    std::vector<float> out(c.out.size(), std::nanf(""));
    addNearestUpsampled(full.data(), small.data(), c.small, out.data(), c.out);
    expectSameBits(out, expected,
                   std::to_string(c.small.h) + "x" + std::to_string(c.small.w) + " to " + std::to_string(c.out.h) + "x" +
                       std::to_string(c.out.w));
  }
}

}  // namespace
}  // namespace kov
