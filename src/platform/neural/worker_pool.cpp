#include "platform/neural/worker_pool.h"

#include <algorithm>

namespace kov {
namespace {

void partBounds(int count, int parts, int part, int& begin, int& end) {
  begin = static_cast<int>(static_cast<long long>(count) * part / parts);
  end = static_cast<int>(static_cast<long long>(count) * (part + 1) / parts);
}

}  // namespace

WorkerPool::WorkerPool(int threads) {
  for (int slot = 1; slot < threads; ++slot) helpers_.emplace_back([this, slot] { helperLoop(slot); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& helper : helpers_) helper.join();
}

void WorkerPool::run(int count, int minimumPerThread, const std::function<void(int, int, int)>& task) {
  if (count <= 0) return;
  int parts = std::min(threads(), std::max(1, count / std::max(1, minimumPerThread)));
  if (parts <= 1) {
    task(0, count, 0);
    return;
  }
  std::lock_guard turn(turn_);
  {
    std::lock_guard lock(mutex_);
    task_ = &task;
    count_ = count;
    parts_ = parts;
    pending_ = parts - 1;
    ++generation_;
  }
  wake_.notify_all();
  int begin, end;
  partBounds(count, parts, 0, begin, end);
  task(begin, end, 0);
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return pending_ == 0; });
  task_ = nullptr;
}

void WorkerPool::helperLoop(int slot) {
  unsigned seen = 0;
  for (;;) {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    if (stopping_) return;
    seen = generation_;
    if (slot >= parts_) continue;
    const auto* task = task_;
    int begin, end;
    partBounds(count_, parts_, slot, begin, end);
    lock.unlock();
    (*task)(begin, end, slot);
    lock.lock();
    if (--pending_ == 0) done_.notify_one();
  }
}

int inferenceThreads() {
  unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(cores, 1u, 2u));
}

}  // namespace kov
