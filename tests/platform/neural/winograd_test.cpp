// The Winograd 3x3 convolution against the direct one (whose own tests compare it with plain loops):
// odd and tiny sizes, SAME, VALID and uneven explicit padding, channels off multiples of 8, with and
// without bias, each fused activation, and both tile sizes, single- and multi-threaded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "runner_test_support.h"
#include "platform/neural/kernels.h"
#include "platform/neural/winograd.h"
#include "platform/neural/worker_pool.h"

namespace kov {
namespace {

struct Case {
  Dims in;
  int outC;
  int padTop, padLeft, padBottom, padRight;
};

// Largest difference from the direct convolution, relative to the typical size of an output before
// its activation (a sum of 9 * inC products of values in [-1, 1]).
float relativeError(const Case& c, int tile, bool withBias, Activation activation, WorkerPool& pool, unsigned seed) {
  const std::vector<float> in = randomValues(c.in.size(), seed);
  const std::vector<float> weights = randomValues(static_cast<std::size_t>(c.outC) * 9 * c.in.c, seed + 1);
  const std::vector<float> bias = randomValues(static_cast<std::size_t>(c.outC), seed + 2);
  const Dims out{c.in.h + c.padTop + c.padBottom - 2, c.in.w + c.padLeft + c.padRight - 2, c.outC};
  WindowGeometry g;
  g.padTop = c.padTop;
  g.padLeft = c.padLeft;
  const float* b = withBias ? bias.data() : nullptr;
  std::vector<float> direct(out.size()), winograd(out.size(), std::nanf(""));
  conv2d(in.data(), c.in, packConvFilter(weights.data(), c.outC, 3, 3, c.in.c, b), g, activation, direct.data(), out, pool);
  winogradConv3x3(in.data(), c.in, packWinogradFilter(weights.data(), c.outC, c.in.c, b, tile), c.padTop, c.padLeft,
                  activation, winograd.data(), out, pool);
  float worst = 0.0f;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (!std::isfinite(winograd[i])) return INFINITY;  // an output left unwritten
    worst = std::max(worst, std::fabs(winograd[i] - direct[i]));
  }
  return worst / std::sqrt(9.0f * static_cast<float>(c.in.c));
}

std::string describe(const Case& c, int tile, bool withBias, Activation activation) {
  return "F(" + std::to_string(tile) + ",3) in " + std::to_string(c.in.h) + "x" + std::to_string(c.in.w) + "x" +
         std::to_string(c.in.c) + " out channels " + std::to_string(c.outC) + " pad " + std::to_string(c.padTop) +
         "," + std::to_string(c.padLeft) + "," + std::to_string(c.padBottom) + "," + std::to_string(c.padRight) +
         " bias " + std::to_string(withBias) + " activation " + std::to_string(static_cast<int>(activation));
}

TEST(Winograd, MatchesTheDirectConvolutionOnAwkwardShapes) {
  const Case cases[] = {
      {{9, 7, 3}, 5, 1, 1, 1, 1},      // SAME, sizes not multiples of any tile
      {{8, 8, 16}, 24, 1, 1, 1, 1},    // whole tiles
      {{5, 12, 13}, 8, 0, 0, 0, 0},    // VALID
      {{3, 3, 8}, 9, 1, 1, 1, 1},      // smaller than one tile
      {{17, 30, 40}, 17, 0, 1, 2, 0},  // uneven explicit padding
      {{22, 41, 96}, 24, 1, 1, 1, 1},  // the text detector's channels, many tiles a row
      {{6, 200, 8}, 3, 2, 2, 2, 2},    // wider than one block of tiles
  };
  const Activation activations[] = {Activation::None, Activation::Relu, Activation::Relu6, Activation::HardSwish};
  WorkerPool one(1), two(2);
  unsigned seed = 10;
  for (const Case& c : cases)
    for (int tile : {2, 4})
      for (bool withBias : {false, true})
        for (Activation activation : activations) {
          WorkerPool& pool = seed % 2 ? two : one;
          // F(4,3)'s constants (up to 8 in the output transform) cost a few more bits than F(2,3).
          const float tolerance = tile == 4 ? 3e-5f : 5e-6f;
          EXPECT_LT(relativeError(c, tile, withBias, activation, pool, seed), tolerance)
              << describe(c, tile, withBias, activation);
          seed += 3;
        }
}

TEST(Winograd, TakenOnlyForPlain3x3WindowsWithEnoughChannelsAndOutput) {
  WindowGeometry plain;
  EXPECT_TRUE(winogradPays(3, 3, plain, 96, 24, {88, 160, 24}));
  EXPECT_FALSE(winogradPays(3, 3, plain, 3, 16, {88, 160, 16}));  // a colour input: the transforms cost more
  EXPECT_FALSE(winogradPays(5, 5, plain, 96, 24, {88, 160, 24}));
  EXPECT_FALSE(winogradPays(3, 3, plain, 96, 24, {2, 160, 24}));
  WindowGeometry strided;
  strided.strideH = strided.strideW = 2;
  EXPECT_FALSE(winogradPays(3, 3, strided, 96, 24, {88, 160, 24}));
  WindowGeometry dilated;
  dilated.dilationH = dilated.dilationW = 2;
  EXPECT_FALSE(winogradPays(3, 3, dilated, 96, 24, {88, 160, 24}));
}

}  // namespace
}  // namespace kov
