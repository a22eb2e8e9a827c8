// The worker pool: every item of a range is worked on exactly once, also when callers on several
// threads share one pool (runners may share it).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/neural/worker_pool.h"

namespace kov {
namespace {

TEST(WorkerPool, CallersOnTwoThreadsEachGetTheirWholeRangeDoneOnce) {
  WorkerPool pool(2);
  constexpr int kItems = 512, kRounds = 300;
  std::vector<std::atomic<int>> first(kItems), second(kItems);
  auto caller = [&](std::vector<std::atomic<int>>& hits) {
    for (int round = 0; round < kRounds; ++round)
      pool.run(kItems, 1, [&](int begin, int end, int slot) {
        ASSERT_GE(slot, 0);
        ASSERT_LT(slot, pool.threads());
        for (int i = begin; i < end; ++i) hits[static_cast<std::size_t>(i)].fetch_add(1);
      });
  };
  std::thread other(caller, std::ref(second));
  caller(first);
  other.join();
  for (int i = 0; i < kItems; ++i) {
    ASSERT_EQ(first[static_cast<std::size_t>(i)].load(), kRounds) << "item " << i << " of the first caller";
    ASSERT_EQ(second[static_cast<std::size_t>(i)].load(), kRounds) << "item " << i << " of the second caller";
  }
}

}  // namespace
}  // namespace kov
