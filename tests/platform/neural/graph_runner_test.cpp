// The runner's rewrites of a planned graph, each taken only where nothing else reads what it removes:
// PReLU spelled out as relu(x) + c * (x - |x|) becomes one PRELU step with the same values, and a
// RELU or HARD_SWISH after a binary operator is applied by that operator; activations share one
// arena no larger than what the graph holds at once, and a reshape of a tensor read by nothing
// after it leaves the values in place.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "runner_test_support.h"
#include "platform/neural/graph_runner.h"
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
