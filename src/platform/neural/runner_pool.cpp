#include "platform/neural/runner_pool.h"

#include <algorithm>

namespace kov {

RunnerPool::RunnerPool(std::span<const std::uint8_t> bytes, const std::string& name, int threadsPerRunner)
    : RunnerPool(readModel(bytes, name), inferenceThreads(), threadsPerRunner) {}

RunnerPool::RunnerPool(Model model, int mostRunners, int threadsPerRunner)
    : model_(std::move(model)), threadsPerRunner_(std::max(1, threadsPerRunner)), mostRunners_(std::max(mostRunners, 1)) {
  reduceBatchToOne(model_);
  auto first = std::make_unique<GraphRunner>(model_, std::make_shared<WorkerPool>(threadsPerRunner_));
  inputDims_ = first->inputDims();
  idle_.push_back(std::move(first));
  made_ = 1;
  releaseModelWhenComplete();
}

RunnerPool::Lease RunnerPool::borrow() {
  {
    std::unique_lock lock(mutex_);
    givenBack_.wait(lock, [&] { return !idle_.empty() || made_ < mostRunners_; });
    if (!idle_.empty()) {
      std::unique_ptr<GraphRunner> runner = std::move(idle_.back());
      idle_.pop_back();
      return Lease(*this, std::move(runner));
    }
    ++made_;  // counted before planning, so no other caller makes one too many meanwhile
    ++planning_;
  }
  std::unique_ptr<GraphRunner> runner;
  try {
    runner = std::make_unique<GraphRunner>(model_, std::make_shared<WorkerPool>(threadsPerRunner_));
  } catch (...) {
    std::lock_guard lock(mutex_);
    --made_;
    --planning_;
    givenBack_.notify_one();
    throw;
  }
  std::lock_guard lock(mutex_);
  --planning_;
  releaseModelWhenComplete();
  return Lease(*this, std::move(runner));
}

// Called with the lock held (or before any other thread can see the pool).
void RunnerPool::releaseModelWhenComplete() {
  if (made_ == mostRunners_ && planning_ == 0) model_ = Model{};
}

bool RunnerPool::keepsModel() const {
  std::lock_guard lock(mutex_);
  return !model_.tensors.empty();
}

int RunnerPool::runnersMade() const {
  std::lock_guard lock(mutex_);
  return made_;
}

void RunnerPool::giveBack(std::unique_ptr<GraphRunner> runner) {
  {
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(runner));
  }
  givenBack_.notify_one();
}

}  // namespace kov
