// 3x3 convolutions of stride 1 by Winograd's minimal filtering F(m x m, 3x3): each m x m block of
// output comes from an (m + 2) x (m + 2) block of input, transformed so that the channels mix in
// (m + 2)^2 small matrix products instead of 9 m^2. With m = 4 that is a quarter of the
// multiplications of the direct convolution (with m = 2, four ninths), at the cost of a transform of
// the input and of the output and of some rounding (the transforms' constants grow with m).
#pragma once

#include <vector>

#include "platform/neural/kernels.h"

namespace kov {

class WorkerPool;

// Weights transformed for one output tile size: (tile + 2)^2 matrices of paddedIn x paddedOut
// (rows past inC and columns past outC are zeros), one for each point of the transformed tile.
struct WinogradFilter {
  int tile = 4;  // m: 2 or 4
  int inC = 1, outC = 1;
  int paddedIn = 8, paddedOut = 8;
  std::vector<float> weights;
  std::vector<float> bias;  // paddedOut
};

// Transforms CONV_2D weights [out, 3, 3, in] for output tiles of `tile` (2 or 4); `bias` may be null.
WinogradFilter packWinogradFilter(const float* weights, int outC, int inC, const float* bias, int tile);

// The same output as conv2d with a 3x3 window, stride 1 and no dilation, `padTop` and `padLeft`
// zeros before the input (those after follow from outDims).
void winogradConv3x3(const float* in, Dims inDims, const WinogradFilter& filter, int padTop, int padLeft,
                     StoreOp store, float* out, Dims outDims, WorkerPool& workers);

// Whether a convolution of this shape runs faster by winogradConv3x3 (3x3, stride 1, no dilation,
// enough channels and output to repay the transforms), as measured on the built-in models.
bool winogradPays(int kh, int kw, const WindowGeometry& geometry, int inC, int outC, Dims outDims);

}  // namespace kov
