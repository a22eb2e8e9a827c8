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

// Which kernels run the convolutions. Measured on the built-in models (bench/neural), XNNPACK's
// depthwise convolutions take a fifth to over a half less time than the runner's own, while its
// plain convolutions are no faster than the runner's matrix product, so the default mixes them.
enum class ConvolutionKernels {
  Fastest,  // XNNPACK for depthwise convolutions, the runner's own for plain ones
  Xnnpack,  // XNNPACK for every convolution it takes
  Own,      // the runner's own throughout
};

// Whether steps after a convolution (a residual addition, PReLU, the logistic function) are done by
// the convolution as it stores its output, and a nearest enlargement by the addition that reads it,
// or run as steps of their own (the plain plan, to check the merged one against).
enum class StoreFusion { Merged, Separate };

class GraphRunner {
 public:
  // Plans the run: packs weights, checks shapes, assigns activation buffers (reused once a tensor is
  // no longer read). Throws ModelError naming the model and the operator that cannot run.
  // Runners may share one pool of threads; without one, a pool of inferenceThreads() is made.
  // A pool of one thread keeps each run on the calling thread, for callers that run several runners at
  // once.
  explicit GraphRunner(const Model& model, std::shared_ptr<WorkerPool> workers = nullptr,
                       ConvolutionKernels kernels = ConvolutionKernels::Fastest,
                       StoreFusion fusion = StoreFusion::Merged);
  ~GraphRunner();

  // Graph inputs and outputs in the file's order. A tensor of fewer than four dimensions is seen
  // with ones put in front ([1, 896, 16] has h 1, w 896, c 16).
  int inputCount() const { return static_cast<int>(inputs_.size()); }
  int outputCount() const { return static_cast<int>(outputs_.size()); }
  Dims inputDims(int index = 0) const { return inputs_.at(static_cast<std::size_t>(index)).dims; }
  Dims outputDims(int index = 0) const { return outputs_.at(static_cast<std::size_t>(index)).dims; }

  // An input tensor (inputDims(index).size() values) to fill before `run`.
  float* input(int index = 0) { return inputs_.at(static_cast<std::size_t>(index)).data; }

  // Runs every operator; returns the first output tensor, valid until the next run.
  const float* run();

  // For benchmarks: a run that adds the calling thread's CPU seconds of each planned step to `seconds`
  // (one entry a step; a pool's other threads are not counted), and
  // what each step is: "conv 1x1", "conv kxk", "depthwise", "transposed conv" or "other: " and the
  // operator's kind.
  const float* runTimed(std::vector<double>& seconds);
  std::vector<std::string> stepKinds() const;
  // Each step's shape in words, for profiles: a convolution's window, stride, channels and output
  // size ("3x3/1 64->64 88x160"), or the output size of other steps.
  std::vector<std::string> stepShapes() const;
  // How many convolutions XNNPACK runs.
  int stepsOnXnnpack() const;

  // An output tensor of the last run (outputDims(index).size() values).
  const float* output(int index) const { return outputs_.at(static_cast<std::size_t>(index)).data; }

  // Bytes of the one arena that holds every activation tensor (tensors that never live at the same
  // time share memory).
  std::size_t activationBytes() const { return arena_.size() * sizeof(float); }

 private:
  struct Step;
  class Planner;

  void runScalar(const Step& step);
  static StoreOp storeOf(const Step& step);
  void runStep(Step& step);

  std::shared_ptr<WorkerPool> workers_;
  ConvolutionKernels kernels_;
  StoreFusion fusion_;
  std::vector<Step> steps_;
  std::vector<float> arena_;
  std::vector<std::vector<float>> constants_;
  struct Port {
    int tensor = -1;
    Dims dims;
    float* data = nullptr;
  };
  std::vector<Port> inputs_;
  std::vector<Port> outputs_;
};

}  // namespace kov
