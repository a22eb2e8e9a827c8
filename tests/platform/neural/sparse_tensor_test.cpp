// Sparse constant tensors put back in place, and damaged layouts refused rather than followed.
#include <gtest/gtest.h>

#include <random>

#include "platform/neural/sparse_tensor.h"

namespace kov {
namespace {

SparseDimension dense(int size) { return {false, size, {}, {}}; }
SparseDimension compressed(std::vector<int> segments, std::vector<int> indices) {
  return {true, 0, std::move(segments), std::move(indices)};
}

TEST(SparseTensor, RowsOfCompressedColumnsAndBlocksLandInPlace) {
  // 3 x 4: row 0 holds columns 0 and 2, row 1 nothing, row 2 column 1.
  SparseLayout rows{{0, 1}, {}, {dense(3), compressed({0, 2, 2, 3}, {0, 2, 1})}};
  EXPECT_EQ(densify({1, 2, 3}, {3, 4}, rows), (std::vector<float>{1, 0, 2, 0, 0, 0, 0, 0, 0, 3, 0, 0}));

  // The same traversed column-major: columns 0 and 2 of row 0 come in column order.
  SparseLayout columns{{1, 0}, {}, {dense(4), compressed({0, 1, 2, 3, 3}, {0, 2, 0})}};
  EXPECT_EQ(densify({1, 3, 2}, {3, 4}, columns), (std::vector<float>{1, 0, 2, 0, 0, 0, 0, 0, 0, 3, 0, 0}));

  // 2 x 4 in blocks of 1 x 2 along the columns: only block 1 of row 0 is stored, as a dense pair.
  SparseLayout blocks{{0, 1, 2}, {1}, {dense(2), compressed({0, 1, 1}, {1}), dense(2)}};
  EXPECT_EQ(densify({7, 8}, {2, 4}, blocks), (std::vector<float>{0, 0, 7, 8, 0, 0, 0, 0}));

  // Four dimensions, the last compressed under three dense ones (as convolution weights are stored).
  SparseLayout weights{{0, 1, 2, 3}, {}, {dense(2), dense(1), dense(1), compressed({0, 1, 3}, {2, 0, 1})}};
  EXPECT_EQ(densify({5, 6, 7}, {2, 1, 1, 3}, weights), (std::vector<float>{0, 0, 5, 6, 7, 0}));
}

TEST(SparseTensor, ConvolutionWeightsLandAsTheyDoThroughTheBlockWalk) {
  // A random 24 x 1 x 1 x 40 filter with a third of its values kept, stored as dense rows of compressed
  // columns, and the same values stored with the columns split into blocks of one (walked level by level).
  std::mt19937 random(11);
  const int rows = 24, columns = 40;
  std::vector<float> expected(static_cast<std::size_t>(rows * columns), 0.0f), values;
  std::vector<int> segments{0}, indices;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      if (random() % 3 != 0) continue;
      const float value = static_cast<float>(random() % 1000) / 8.0f + 1.0f;
      expected[static_cast<std::size_t>(r * columns + c)] = value;
      values.push_back(value);
      indices.push_back(c);
    }
    segments.push_back(static_cast<int>(indices.size()));
  }
  const SparseLayout weights{{0, 1, 2, 3}, {}, {dense(rows), dense(1), dense(1), compressed(segments, indices)}};
  const SparseLayout blocksOfOne{
      {0, 1, 2, 3, 4}, {3}, {dense(rows), dense(1), dense(1), compressed(segments, indices), dense(1)}};
  EXPECT_EQ(densify(values, {rows, 1, 1, columns}, weights), expected);
  EXPECT_EQ(densify(values, {rows, 1, 1, columns}, blocksOfOne), expected);
  // A segment that runs past the stored values is refused by both.
  std::vector<float> fewer(values.begin(), values.end() - 1);
  EXPECT_FALSE(densify(fewer, {rows, 1, 1, columns}, weights));
  EXPECT_FALSE(densify(fewer, {rows, 1, 1, columns}, blocksOfOne));
}

TEST(SparseTensor, LayoutsThatDoNotFitTheShapeOrTheValuesAreRefused) {
  const std::vector<int> shape{3, 4};
  auto rows = [](std::vector<int> segments, std::vector<int> indices) {
    return SparseLayout{{0, 1}, {}, {dense(3), compressed(std::move(segments), std::move(indices))}};
  };
  EXPECT_FALSE(densify({1, 2, 3}, shape, rows({0, 2, 2, 3}, {0, 4, 1})));   // column past the end
  EXPECT_FALSE(densify({1, 2, 3}, shape, rows({0, 2, 2, 3}, {0, -1, 1})));  // negative column
  EXPECT_FALSE(densify({1, 2}, shape, rows({0, 2, 2, 3}, {0, 2, 1})));      // fewer values than places
  EXPECT_FALSE(densify({1, 2, 3, 4}, shape, rows({0, 2, 2, 3}, {0, 2, 1})));  // values left over
  EXPECT_FALSE(densify({1, 2, 3}, shape, rows({0, 2, 1, 3}, {0, 2, 1})));   // segments going back
  EXPECT_FALSE(densify({1, 2, 3}, shape, rows({0, 2, 2, 9}, {0, 2, 1})));   // segment past the indices
  EXPECT_FALSE(densify({1, 2, 3}, shape, rows({0, 2}, {0, 2, 1})));         // too few segments
  EXPECT_FALSE(densify({1}, shape, SparseLayout{{0, 1}, {}, {dense(2), dense(4)}}));      // wrong extent
  EXPECT_FALSE(densify({1}, shape, SparseLayout{{0, 0}, {}, {dense(3), dense(4)}}));      // dimension twice
  EXPECT_FALSE(densify({1}, shape, SparseLayout{{0, 1}, {}, {dense(3)}}));                // metadata missing
  EXPECT_FALSE(densify({1}, shape, SparseLayout{{0, 1, 2}, {1}, {dense(3), dense(1), dense(3)}}));  // 3 does not divide 4
  EXPECT_FALSE(densify({1}, shape, SparseLayout{{0, 1, 2}, {5}, {dense(3), dense(2), dense(2)}}));  // no dimension 5
  // A block dimension traversed among the tensor's own (which would place values out of bounds).
  EXPECT_FALSE(densify({1, 2, 3, 4, 5, 6, 7, 8}, {2, 4}, SparseLayout{{0, 2, 1}, {1}, {dense(2), dense(2), dense(2)}}));
}

}  // namespace
}  // namespace kov
