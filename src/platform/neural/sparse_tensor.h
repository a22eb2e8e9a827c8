// Constant tensors stored sparsely (TensorFlow Lite's sparsity parameters): only the non-zero values
// are in the file, in the order of a traversal of the tensor's dimensions, possibly split into blocks,
// where each traversed dimension is either dense or compressed (CSR: segments and indices).
#pragma once

#include <optional>
#include <vector>

namespace kov {

struct SparseDimension {
  bool compressed = false;    // CSR when true, else dense
  int denseSize = 0;          // extent of a dense dimension
  std::vector<int> segments;  // CSR: where each parent position's indices start and end
  std::vector<int> indices;   // CSR: the positions along this dimension that hold values
};

struct SparseLayout {
  std::vector<int> traversalOrder;  // the tensor's dimensions, then its block dimensions, in storage order
  std::vector<int> blockMap;        // for each block dimension, the tensor dimension it splits
  std::vector<SparseDimension> dimensions;  // one per entry of traversalOrder
};

// The dense tensor of `shape` (row-major) holding `values` where the layout puts them, zero
// elsewhere. None when the layout does not fit the shape or the number of values (a damaged file).
std::optional<std::vector<float>> densify(const std::vector<float>& values, const std::vector<int>& shape,
                                          const SparseLayout& layout);

}  // namespace kov
