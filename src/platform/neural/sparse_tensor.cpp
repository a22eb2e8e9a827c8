#include "platform/neural/sparse_tensor.h"

#include <algorithm>
#include <cstdint>

namespace kov {
namespace {

constexpr std::size_t kMaxTraversalLevels = 12;

class Densifier {
 public:
  Densifier(const std::vector<float>& values, const std::vector<int>& shape, const SparseLayout& layout,
            std::vector<float>& out)
      : values_(values),
        shape_(shape),
        layout_(layout),
        out_(out),
        position_(layout.traversalOrder.size(), 0),
        index_(shape.size(), 0) {}

  // Walks the stored order level by level; every index met is checked against its extent.
  bool walk(std::size_t level, std::int64_t parent) {
    if (level == position_.size()) return place();
    const SparseDimension& dimension = layout_.dimensions[level];
    const std::int64_t extent = extentOf(level);
    if (!dimension.compressed) {
      if (dimension.denseSize != extent) return false;
      for (int i = 0; i < dimension.denseSize; ++i) {
        position_[level] = i;
        if (!walk(level + 1, parent * dimension.denseSize + i)) return false;
      }
      return true;
    }
    if (parent < 0 || parent + 1 >= static_cast<std::int64_t>(dimension.segments.size())) return false;
    const int begin = dimension.segments[static_cast<std::size_t>(parent)];
    const int end = dimension.segments[static_cast<std::size_t>(parent) + 1];
    if (begin < 0 || end < begin || end > static_cast<int>(dimension.indices.size())) return false;
    for (int i = begin; i < end; ++i) {
      const int index = dimension.indices[static_cast<std::size_t>(i)];
      if (index < 0 || index >= extent) return false;
      position_[level] = index;
      if (!walk(level + 1, i)) return false;
    }
    return true;
  }

  bool usedEveryValue() const { return next_ == values_.size(); }

  // The extent of a traversed dimension: a tensor dimension counted in blocks when it is split, or
  // a block's size.
  std::int64_t extentOf(std::size_t level) const {
    const int which = layout_.traversalOrder[level];
    const int rank = static_cast<int>(shape_.size());
    if (which >= rank) return layout_.dimensions[blockLevel(which - rank)].denseSize;
    std::int64_t extent = shape_[static_cast<std::size_t>(which)];
    for (std::size_t b = 0; b < layout_.blockMap.size(); ++b)
      if (layout_.blockMap[b] == which) extent /= layout_.dimensions[blockLevel(static_cast<int>(b))].denseSize;
    return extent;
  }

 private:
  std::size_t blockLevel(int block) const {
    const int wanted = static_cast<int>(shape_.size()) + block;
    for (std::size_t level = 0; level < layout_.traversalOrder.size(); ++level)
      if (layout_.traversalOrder[level] == wanted) return level;
    return 0;  // not reached: the layout is checked first
  }

  bool place() {
    if (next_ >= values_.size()) return false;
    const std::size_t rank = shape_.size();
    std::vector<std::int64_t>& index = index_;  // reused: this runs once for every stored value
    std::fill(index.begin(), index.end(), 0);
    for (std::size_t level = 0; level < rank; ++level)
      index[static_cast<std::size_t>(layout_.traversalOrder[level])] = position_[level];
    for (std::size_t level = rank; level < position_.size(); ++level) {
      const std::size_t block = static_cast<std::size_t>(layout_.traversalOrder[level]) - rank;
      const std::size_t dimension = static_cast<std::size_t>(layout_.blockMap[block]);
      index[dimension] = index[dimension] * layout_.dimensions[level].denseSize + position_[level];
    }
    std::int64_t flat = 0;
    for (std::size_t d = 0; d < rank; ++d) {
      if (index[d] >= shape_[d]) return false;
      flat = flat * shape_[d] + index[d];
    }
    out_[static_cast<std::size_t>(flat)] = values_[next_++];
    return true;
  }

  const std::vector<float>& values_;
  const std::vector<int>& shape_;
  const SparseLayout& layout_;
  std::vector<float>& out_;
  std::vector<std::int64_t> position_;
  std::vector<std::int64_t> index_;
  std::size_t next_ = 0;
};

// Every tensor dimension and every block dimension appears once in the traversal, the tensor's own
// first; blocks split tensor dimensions evenly.
bool layoutFits(const std::vector<int>& shape, const SparseLayout& layout) {
  const std::size_t rank = shape.size(), levels = layout.traversalOrder.size();
  if (levels != rank + layout.blockMap.size() || layout.dimensions.size() != levels || levels > kMaxTraversalLevels)
    return false;
  std::vector<bool> seen(levels, false);
  for (int which : layout.traversalOrder) {
    if (which < 0 || static_cast<std::size_t>(which) >= levels || seen[static_cast<std::size_t>(which)]) return false;
    seen[static_cast<std::size_t>(which)] = true;
  }
  // The tensor's own dimensions come first, the block dimensions after them.
  for (std::size_t level = 0; level < rank; ++level)
    if (static_cast<std::size_t>(layout.traversalOrder[level]) >= rank) return false;
  for (std::size_t level = 0; level < levels; ++level)
    if (static_cast<std::size_t>(layout.traversalOrder[level]) >= rank &&
        (layout.dimensions[level].compressed || layout.dimensions[level].denseSize < 1))
      return false;
  for (std::size_t b = 0; b < layout.blockMap.size(); ++b) {
    const int dimension = layout.blockMap[b];
    if (dimension < 0 || static_cast<std::size_t>(dimension) >= rank) return false;
    for (std::size_t level = 0; level < levels; ++level)
      if (static_cast<std::size_t>(layout.traversalOrder[level]) == rank + b &&
          shape[static_cast<std::size_t>(dimension)] % layout.dimensions[level].denseSize != 0)
        return false;
  }
  return true;
}

// The layout converters write for weights: the tensor's dimensions in their own order, all dense but
// the last, which is compressed; no blocks. Its rows are then the dense positions in row-major order.
bool rowsOfCompressedColumns(const std::vector<int>& shape, const SparseLayout& layout) {
  if (!layout.blockMap.empty() || shape.empty()) return false;
  const std::size_t last = shape.size() - 1;
  for (std::size_t level = 0; level < shape.size(); ++level) {
    if (layout.traversalOrder[level] != static_cast<int>(level)) return false;
    const SparseDimension& dimension = layout.dimensions[level];
    if (dimension.compressed != (level == last)) return false;
    if (level != last && dimension.denseSize != shape[level]) return false;
  }
  return true;
}

// The same walk as Densifier's for that layout, with the same checks, as one loop over the rows.
bool placeRowsOfCompressedColumns(const std::vector<float>& values, const std::vector<int>& shape,
                                  const SparseDimension& columns, std::vector<float>& out) {
  const std::int64_t width = shape.back();
  const std::int64_t rows = static_cast<std::int64_t>(out.size()) / width;
  if (rows + 1 > static_cast<std::int64_t>(columns.segments.size())) return false;
  const int stored = static_cast<int>(columns.indices.size());
  std::size_t next = 0;
  for (std::int64_t row = 0; row < rows; ++row) {
    const int begin = columns.segments[static_cast<std::size_t>(row)];
    const int end = columns.segments[static_cast<std::size_t>(row) + 1];
    if (begin < 0 || end < begin || end > stored) return false;
    if (static_cast<std::size_t>(end - begin) > values.size() - next) return false;
    float* rowStart = out.data() + row * width;
    for (int i = begin; i < end; ++i) {
      const int column = columns.indices[static_cast<std::size_t>(i)];
      if (column < 0 || column >= width) return false;
      rowStart[column] = values[next++];
    }
  }
  return next == values.size();
}

}  // namespace

std::optional<std::vector<float>> densify(const std::vector<float>& values, const std::vector<int>& shape,
                                          const SparseLayout& layout) {
  if (!layoutFits(shape, layout)) return std::nullopt;
  std::size_t total = 1;
  for (int extent : shape) {
    if (extent < 1) return std::nullopt;
    total *= static_cast<std::size_t>(extent);
  }
  std::vector<float> dense(total, 0.0f);
  if (rowsOfCompressedColumns(shape, layout)) {
    if (!placeRowsOfCompressedColumns(values, shape, layout.dimensions.back(), dense)) return std::nullopt;
    return dense;
  }
  Densifier densifier(values, shape, layout, dense);
  if (!densifier.walk(0, 0) || !densifier.usedEveryValue()) return std::nullopt;
  return dense;
}

}  // namespace kov
