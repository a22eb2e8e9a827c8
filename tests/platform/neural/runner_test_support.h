// For the runner's tests: random tensors, and small models built in memory (tensors and operators
// in execution order).
#pragma once

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/neural/tflite_model.h"

namespace kov {

// `count` values drawn evenly from [-scale, scale], the same for the same seed.
inline std::vector<float> randomValues(std::size_t count, unsigned seed, float scale = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> value(-scale, scale);
  std::vector<float> v(count);
  for (float& x : v) x = value(rng);
  return v;
}

class ModelBuilder {
 public:
  explicit ModelBuilder(std::string name) { model_.name = std::move(name); }

  // An activation tensor, or a constant one when `values` are given.
  int tensor(std::vector<int> shape, std::vector<float> values = {}) {
    ModelTensor t;
    t.name = "tensor ";
    t.name += std::to_string(model_.tensors.size());
    t.shape = std::move(shape);
    t.constant = !values.empty();
    t.floats = std::move(values);
    model_.tensors.push_back(std::move(t));
    return static_cast<int>(model_.tensors.size() - 1);
  }

  // A constant int32 tensor (sizes, axes).
  int ints(std::vector<int> shape, std::vector<int> values) {
    const int index = tensor(std::move(shape));
    ModelTensor& t = model_.tensors.back();
    t.type = TensorType::Int32;
    t.constant = true;
    t.ints = std::move(values);
    return index;
  }

  // An operator writing `output`; returned so the caller can set its options.
  ModelOperator& op(OpKind kind, std::vector<int> inputs, int output) {
    ModelOperator o;
    o.kind = kind;
    o.name = "operator";
    o.position = static_cast<int>(model_.operators.size());
    o.inputs = std::move(inputs);
    o.outputs = {output};
    model_.operators.push_back(std::move(o));
    return model_.operators.back();
  }

  Model done(std::vector<int> inputs, std::vector<int> outputs) {
    model_.inputs = std::move(inputs);
    model_.outputs = std::move(outputs);
    return model_;
  }

 private:
  Model model_;
};

}  // namespace kov
