// A pool never makes more runners than its limit: a caller past it waits for a runner to come back,
// and gets that very runner; once it has made them all it lets the model's weights go.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "runner_test_support.h"
#include "platform/neural/runner_pool.h"

namespace kov {
namespace {

Model reluModel() {
  ModelBuilder b("relu");
  const int x = b.tensor({1, 2, 2, 4}), y = b.tensor({1, 2, 2, 4});
  b.op(OpKind::Relu, {x}, y);
  return b.done({x}, {y});
}

TEST(RunnerPool, ACallerPastTheLimitWaitsForARunnerToComeBack) {
  RunnerPool pool(reluModel(), 2);
  std::optional<RunnerPool::Lease> first(pool.borrow());
  std::optional<RunnerPool::Lease> second(pool.borrow());
  EXPECT_EQ(pool.runnersMade(), 2);
  EXPECT_FALSE(pool.keepsModel());
  GraphRunner* secondRunner = &**second;

  std::atomic<bool> served = false;
  GraphRunner* thirdRunner = nullptr;
  std::thread third([&] {
    auto lease = pool.borrow();
    thirdRunner = &*lease;
    served = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(served) << "a third runner was handed out while two were in use";
  second.reset();
  third.join();
  EXPECT_TRUE(served);
  EXPECT_EQ(thirdRunner, secondRunner);
  EXPECT_EQ(pool.runnersMade(), 2);
}

TEST(RunnerPool, BorrowedRunnersRunApartFromEachOther) {
  RunnerPool pool(reluModel(), 2);
  EXPECT_TRUE(pool.keepsModel());  // for the second runner
  auto a = pool.borrow();
  auto b = pool.borrow();
  const std::vector<float> xs = randomValues(16, 3), ys = randomValues(16, 4);
  std::copy(xs.begin(), xs.end(), a->input());
  std::copy(ys.begin(), ys.end(), b->input());
  const float* outA = a->run();
  b->run();
  for (std::size_t i = 0; i < xs.size(); ++i) ASSERT_EQ(outA[i], std::max(xs[i], 0.0f));
}

}  // namespace
}  // namespace kov
