// The sequence kernels on small tensors worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/neural/sequence_kernels.h"

namespace kov {
namespace {

TEST(SequenceKernels, TransposeMovesEveryAxis) {
  // [2, 1, 2, 3] with values 0..11; perm {2, 3, 0, 1} gives [2, 3, 2, 1]: out(a, b, c, 0) = in(c, 0, a, b).
  std::vector<float> in(12), out(12);
  for (int i = 0; i < 12; ++i) in[static_cast<std::size_t>(i)] = static_cast<float>(i);
  transposeAxes(in.data(), {2, 1, 2, 3}, {2, 3, 0, 1}, out.data());
  EXPECT_EQ(out, (std::vector<float>{0, 6, 1, 7, 2, 8, 3, 9, 4, 10, 5, 11}));
}

TEST(SequenceKernels, BatchesOfMatricesAreMultipliedApart) {
  // Batch 0: [1 2] x [[1 0] [0 1]] = [1 2]; batch 1: [3 4] x [[2 0] [1 1]] = [10 4].
  const std::vector<float> a = {1, 2, 3, 4}, b = {1, 0, 0, 1, 2, 0, 1, 1};
  std::vector<float> c(4, -1);
  batchMatmul(a.data(), b.data(), 2, 1, 2, 2, c.data());
  EXPECT_EQ(c, (std::vector<float>{1, 2, 10, 4}));
}

TEST(SequenceKernels, RunsSlicesAndElementWiseSteps) {
  const std::vector<float> in = {0, 0, 1000, 1000};  // large values must not overflow
  std::vector<float> out(4);
  softmaxRuns(in.data(), out.data(), 4, 2);
  for (float v : out) EXPECT_FLOAT_EQ(v, 0.5f);

  const std::vector<float> values = {1, 2, 3, 4, 5, 6};
  std::vector<float> means(3);
  meanOfRuns(values.data(), means.data(), 6, 2);
  EXPECT_EQ(means, (std::vector<float>{1.5f, 3.5f, 5.5f}));

  // Two blocks of [3 x 1]: keep the middle one of each.
  std::vector<float> middle(2);
  sliceAxis(values.data(), 2, 3, 1, 1, 1, middle.data());
  EXPECT_EQ(middle, (std::vector<float>{2, 5}));

  std::vector<float> result(3);
  const std::vector<float> three = {1, 4, 9};
  powerOf(three.data(), result.data(), 3, 2);
  EXPECT_EQ(result, (std::vector<float>{1, 16, 81}));
  powerOf(three.data(), result.data(), 3, 0.5f);
  EXPECT_EQ(result, (std::vector<float>{1, 2, 3}));
  squareRoot(three.data(), result.data(), 3);
  EXPECT_EQ(result, (std::vector<float>{1, 2, 3}));
  scalarBinary(ScalarOp::Sub, three.data(), 10, true, result.data(), 3);
  EXPECT_EQ(result, (std::vector<float>{9, 6, 1}));
  scalarBinary(ScalarOp::Div, three.data(), 2, false, result.data(), 3);
  EXPECT_EQ(result, (std::vector<float>{0.5f, 2, 4.5f}));
  scalarBinary(ScalarOp::Div, three.data(), 36, true, result.data(), 3);
  EXPECT_EQ(result, (std::vector<float>{36, 9, 4}));
}

}  // namespace
}  // namespace kov
