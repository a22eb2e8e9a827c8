#include "platform/neural/runner_pool.h"

#include <algorithm>

namespace kov {

RunnerPool::RunnerPool(std::span<const std::uint8_t> bytes, const std::string& name, int threadsPerRunner)
    : RunnerPool(readModel(bytes, name), threadsPerRunner) {}

RunnerPool::RunnerPool(Model model, int threadsPerRunner)
    : model_(std::move(model)), threadsPerRunner_(std::max(1, threadsPerRunner)) {
  reduceBatchToOne(model_);
  auto first = std::make_unique<GraphRunner>(model_, std::make_shared<WorkerPool>(threadsPerRunner_));
  inputDims_ = first->inputDims();
  idle_.push_back(std::move(first));
}

RunnerPool::Lease RunnerPool::borrow() {
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<GraphRunner> runner = std::move(idle_.back());
      idle_.pop_back();
      return Lease(*this, std::move(runner));
    }
  }
  return Lease(*this, std::make_unique<GraphRunner>(model_, std::make_shared<WorkerPool>(threadsPerRunner_)));
}

void RunnerPool::giveBack(std::unique_ptr<GraphRunner> runner) {
  std::lock_guard lock(mutex_);
  idle_.push_back(std::move(runner));
}

}  // namespace kov
