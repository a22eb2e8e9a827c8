#include "platform/neural/runner_pool.h"

namespace kov {

RunnerPool::RunnerPool(std::span<const std::uint8_t> bytes, const std::string& name) : RunnerPool(readModel(bytes, name)) {}

RunnerPool::RunnerPool(Model model) : model_(std::move(model)) {
  reduceBatchToOne(model_);
  auto first = std::make_unique<GraphRunner>(model_, std::make_shared<WorkerPool>(1));
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
  return Lease(*this, std::make_unique<GraphRunner>(model_, std::make_shared<WorkerPool>(1)));
}

void RunnerPool::giveBack(std::unique_ptr<GraphRunner> runner) {
  std::lock_guard lock(mutex_);
  idle_.push_back(std::move(runner));
}

}  // namespace kov
