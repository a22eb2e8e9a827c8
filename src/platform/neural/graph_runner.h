// Runs a TensorFlow Lite graph of the supported operators on float32 NHWC tensors of batch 1.
// Loading checks every operator's tensors and shapes, so running never reads or writes out of bounds.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/neural/kernels.h"
#include "platform/neural/tflite_model.h"
#include "platform/neural/worker_pool.h"

namespace kov {

class GraphRunner {
 public:
  // Plans the run: packs weights, checks shapes, assigns activation buffers (reused once a tensor is
  // no longer read). Throws ModelError naming the model and the operator that cannot run.
  // Runners may share one pool of threads; without one, a pool of inferenceThreads() is made.
  explicit GraphRunner(const Model& model, std::shared_ptr<WorkerPool> workers = nullptr);
  ~GraphRunner();

  Dims inputDims() const { return inputDims_; }
  Dims outputDims() const { return outputDims_; }

  // The input tensor (inputDims().size() values) to fill before `run`.
  float* input() { return inputData_; }

  // Runs every operator; returns the output tensor (outputDims().size() values), valid until the next run.
  const float* run();

  // Number of activation buffers allocated for the whole graph (tensors share them).
  std::size_t activationBufferCount() const { return buffers_.size(); }

 private:
  struct Step;
  class Planner;

  std::shared_ptr<WorkerPool> workers_;
  std::vector<Step> steps_;
  std::vector<std::vector<float>> buffers_;
  std::vector<std::vector<float>> constants_;
  Dims inputDims_;
  Dims outputDims_;
  float* inputData_ = nullptr;
  const float* outputData_ = nullptr;
};

}  // namespace kov
