// The model-file reader on arbitrary bytes: a damaged or foreign file ends in a ModelError, and a
// model that reads has operators that name only tensors it has.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/neural/model_error.h"
#include "platform/neural/tflite_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    kov::Model model = kov::readModel(std::span<const std::uint8_t>(data, size), "fuzzed.tflite");
    auto known = [&](int tensor) { return tensor >= 0 && tensor < static_cast<int>(model.tensors.size()); };
    for (const kov::ModelOperator& op : model.operators) {
      for (int tensor : op.inputs)
        if (tensor != -1 && !known(tensor)) std::abort();  // -1: an optional input left out
      for (int tensor : op.outputs)
        if (!known(tensor)) std::abort();
    }
    for (int tensor : model.inputs)
      if (!known(tensor)) std::abort();
    for (int tensor : model.outputs)
      if (!known(tensor)) std::abort();
  } catch (const kov::ModelError&) {
  }
  return 0;
}
