// Runners of one model for callers on several threads: a runner keeps its activations between the
// filling of its inputs and the reading of its outputs, so each caller borrows one of its own. There
// are never more runners than the cores can run at once (inferenceThreads()): a runner holds its
// activations and XNNPACK's tables for its whole life, and a further caller waits for one to come
// back rather than making another that could only share the cores.
#pragma once

#include <condition_variable>
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
  // The same for a model already read (and perhaps reshaped), with at most `mostRunners` runners
  // (at least one).
  explicit RunnerPool(Model model, int mostRunners = inferenceThreads(), int threadsPerRunner = 1);

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

  // An idle runner, a new one while there are fewer than the most, else the first given back.
  Lease borrow();

  Dims inputDims() const { return inputDims_; }
  int runnersMade() const;
  // Whether the pool still keeps the model's weights to make runners from: it lets them go once it
  // has made all the runners it may.
  bool keepsModel() const;

 private:
  void giveBack(std::unique_ptr<GraphRunner> runner);
  void releaseModelWhenComplete();

  Model model_;
  int threadsPerRunner_;
  Dims inputDims_;
  const int mostRunners_;
  int made_ = 0;
  int planning_ = 0;  // runners being made outside the lock
  mutable std::mutex mutex_;
  std::condition_variable givenBack_;
  std::vector<std::unique_ptr<GraphRunner>> idle_;
};

}  // namespace kov
