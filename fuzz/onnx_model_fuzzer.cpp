// The ONNX reader and the runner's planning on arbitrary bytes: a damaged, foreign or unsupported
// file ends in a ModelError; a model that reads and plans runs without touching memory outside its
// buffers (the sanitizers watch). The first byte picks the input size, small so that runs stay quick.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/neural/graph_runner.h"
#include "platform/neural/model_error.h"
#include "platform/neural/onnx_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int height = 1 + (data[0] & 0x0f), width = 1 + (data[0] >> 4);
  try {
    const kov::Model model = kov::readOnnxModel(std::span<const std::uint8_t>(data + 1, size - 1), "fuzzed.onnx", height, width);
    auto known = [&](int tensor) { return tensor >= 0 && tensor < static_cast<int>(model.tensors.size()); };
    for (const kov::ModelOperator& op : model.operators) {
      for (int tensor : op.inputs)
        if (tensor != -1 && !known(tensor)) std::abort();
      for (int tensor : op.outputs)
        if (!known(tensor)) std::abort();
    }
    kov::GraphRunner runner(model, std::make_shared<kov::WorkerPool>(1));
    // Small models only: the sanitizers make big ones too slow to run for every input.
    std::size_t values = 0;
    for (const kov::ModelTensor& tensor : model.tensors) values += tensor.floats.size();
    if (values > (1u << 20)) return 0;
    for (int i = 0; i < runner.inputCount(); ++i) {
      float* input = runner.input(i);
      const std::size_t count = runner.inputDims(i).size();
      for (std::size_t k = 0; k < count; ++k) input[k] = static_cast<float>(k % 7) - 3.0f;
    }
    runner.run();
  } catch (const kov::ModelError&) {
  }
  return 0;
}
