#include "platform/neural/input_size.h"

#include <cstdint>
#include <limits>
#include <string>

#include "platform/neural/model_error.h"

namespace kov {
namespace {

// `extent` * to / from, or a ModelError when that is not whole.
int scaledExtent(const Model& model, std::int64_t extent, std::int64_t to, std::int64_t from) {
  if ((extent * to) % from != 0)
    throw ModelError(model.name + ": an extent of " + std::to_string(extent) + " does not scale from " +
                     std::to_string(from) + " to " + std::to_string(to));
  return static_cast<int>(extent * to / from);
}

// Gives a PAD's output the shape of its (already resized) input plus the border, when the operator
// is well formed; otherwise leaves it for the runner to refuse with its own message.
void padShape(Model& model, const ModelOperator& op) {
  if (op.inputs.size() < 2 || op.outputs.size() != 1) return;
  const auto valid = [&](int index) { return index >= 0 && static_cast<std::size_t>(index) < model.tensors.size(); };
  if (!valid(op.inputs[0]) || !valid(op.inputs[1]) || !valid(op.outputs[0])) return;
  const std::vector<int>& in = model.tensors[static_cast<std::size_t>(op.inputs[0])].shape;
  const std::vector<std::int32_t>& border = model.tensors[static_cast<std::size_t>(op.inputs[1])].ints;
  std::vector<int>& out = model.tensors[static_cast<std::size_t>(op.outputs[0])].shape;
  if (border.size() != in.size() * 2 || out.size() != in.size()) return;
  for (std::size_t d = 0; d < in.size(); ++d) {
    const std::int64_t extent = std::int64_t{in[d]} + border[2 * d] + border[2 * d + 1];
    if (border[2 * d] < 0 || border[2 * d + 1] < 0 || extent > std::numeric_limits<int>::max()) return;
    out[d] = static_cast<int>(extent);
  }
}

}  // namespace

void resizePictureInput(Model& model, int height, int width) {
  if (model.inputs.empty()) throw ModelError(model.name + ": the graph has no input");
  const std::vector<int> input = model.tensors.at(static_cast<std::size_t>(model.inputs[0])).shape;
  if (input.size() != 4 || input[0] != 1 || input[1] < 1 || input[2] < 1 || height < 1 || width < 1)
    throw ModelError(model.name + ": the input is not one picture");
  const int oldHeight = input[1], oldWidth = input[2];
  if (height == oldHeight && width == oldWidth) return;
  const std::int64_t oldArea = std::int64_t{oldHeight} * oldWidth, area = std::int64_t{height} * width;
  // A PAD adds a fixed border, so what it writes is its input plus that border, not a scaled extent.
  std::vector<bool> padded(model.tensors.size(), false);
  for (const ModelOperator& op : model.operators)
    if (op.kind == OpKind::Pad && op.outputs.size() == 1 && op.outputs[0] >= 0 &&
        static_cast<std::size_t>(op.outputs[0]) < padded.size())
      padded[static_cast<std::size_t>(op.outputs[0])] = true;
  // Tensors no operator reads or writes (such as what a PAD folded into a convolution would have
  // written) keep their shapes: nothing runs on them.
  std::vector<bool> used(model.tensors.size(), false);
  const auto use = [&](int index) {
    if (index >= 0 && static_cast<std::size_t>(index) < used.size()) used[static_cast<std::size_t>(index)] = true;
  };
  for (const ModelOperator& op : model.operators) {
    for (int index : op.inputs) use(index);
    for (int index : op.outputs) use(index);
  }
  for (int index : model.inputs) use(index);
  for (int index : model.outputs) use(index);
  for (std::size_t t = 0; t < model.tensors.size(); ++t) {
    ModelTensor& tensor = model.tensors[t];
    if (tensor.constant || padded[t] || !used[t]) continue;
    std::vector<int>& s = tensor.shape;
    if (s.size() == 4) {
      // An extent of 1 is a picture pooled to one value (a mean over space) and stays so.
      if (s[1] != 1) s[1] = scaledExtent(model, s[1], height, oldHeight);
      if (s[2] != 1) s[2] = scaledExtent(model, s[2], width, oldWidth);
    } else if (s.size() == 3) {
      s[1] = scaledExtent(model, s[1], area, oldArea);
    }
  }
  for (const ModelOperator& op : model.operators)
    if (op.kind == OpKind::Pad) padShape(model, op);
  for (const ModelOperator& op : model.operators) {
    if ((op.kind != OpKind::ResizeBilinear && op.kind != OpKind::ResizeNearest) || op.inputs.size() < 2 || op.inputs[1] < 0)
      continue;
    ModelTensor& size = model.tensors.at(static_cast<std::size_t>(op.inputs[1]));
    if (!size.constant || size.ints.size() != 2) continue;  // the runner refuses it with its own message
    size.ints[0] = scaledExtent(model, size.ints[0], height, oldHeight);
    size.ints[1] = scaledExtent(model, size.ints[1], width, oldWidth);
  }
}

}  // namespace kov
