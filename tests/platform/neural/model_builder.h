// Builds small models in memory for runner tests: tensors and operators in execution order.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/neural/tflite_model.h"

namespace kov {

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
