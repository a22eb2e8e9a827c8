// Runners of one model for callers on several threads: a runner keeps its activations between the
// filling of its inputs and the reading of its outputs, so each caller borrows one of its own.
#pragma once

#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/neural/graph_runner.h"
#include "platform/neural/tflite_model.h"

namespace kov {

class RunnerPool {
 public:
  // Reads and plans the model once (throws ModelError); later runners reuse the plan's model.
  // Each runner works on the thread that borrowed it alone, or with `threadsPerRunner` - 1 helpers of
  // its own (for a caller that runs one model at a time and has a core to spare).
  RunnerPool(std::span<const std::uint8_t> bytes, const std::string& name, int threadsPerRunner = 1);
  // The same for a model already read (and perhaps reshaped).
  explicit RunnerPool(Model model, int threadsPerRunner = 1);

  class Lease {
   public:
    Lease(RunnerPool& pool, std::unique_ptr<GraphRunner> runner) : pool_(&pool), runner_(std::move(runner)) {}
    Lease(Lease&&) = default;
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
      if (runner_) pool_->giveBack(std::move(runner_));
    }
    GraphRunner& operator*() { return *runner_; }
    GraphRunner* operator->() { return runner_.get(); }

   private:
    RunnerPool* pool_;
    std::unique_ptr<GraphRunner> runner_;
  };

  Lease borrow();

  Dims inputDims() const { return inputDims_; }

 private:
  void giveBack(std::unique_ptr<GraphRunner> runner);

  Model model_;
  int threadsPerRunner_;
  Dims inputDims_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<GraphRunner>> idle_;
};

}  // namespace kov
