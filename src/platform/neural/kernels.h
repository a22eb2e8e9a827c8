// The operator kernels of the segmentation runner: NHWC float32 tensors of batch 1. Each kernel
// trusts its arguments; GraphRunner checks every shape when it loads a model.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/neural/tflite_model.h"

namespace kov {

class WorkerPool;

// Height, width and channels of one NHWC tensor of batch 1.
struct Dims {
  int h = 1;
  int w = 1;
  int c = 1;
  std::size_t size() const { return static_cast<std::size_t>(h) * w * c; }
  bool operator==(const Dims&) const = default;
};

// Output extent of a window operation along one axis (TensorFlow's rule).
int windowOutputExtent(int input, int kernel, int stride, int dilation, Padding padding);
// Padding before the first element along one axis; SAME puts an odd extra element at the end.
int windowPaddingBefore(int input, int kernel, int stride, int dilation, int output);

struct WindowGeometry {
  int strideH = 1, strideW = 1;
  int dilationH = 1, dilationW = 1;
  int padTop = 0, padLeft = 0;
};

// What a convolution does to each value as it stores it: the activation, then value * scale + shift
// (some models scale and shift every activation by two learnt numbers; doing it while storing saves
// two passes over the tensor).
// After that, in this order and each only when set: the value at the same place in `residual` (a
// tensor laid out as the output) is added, `afterResidual` (a clamping activation, not hard-swish)
// is applied, PReLU by `slopes` (one per output channel, readable up to a multiple of 8), and the
// logistic function: the steps a graph may have after a convolution, done without a pass of their
// own.
struct StoreOp {
  Activation activation = Activation::None;
  float scale = 1.0f;
  float shift = 0.0f;
  const float* residual = nullptr;
  Activation afterResidual = Activation::None;
  const float* slopes = nullptr;
  bool logistic = false;
  StoreOp(Activation a = Activation::None) : activation(a) {}  // an activation alone converts implicitly
  StoreOp(Activation a, float s, float t) : activation(a), scale(s), shift(t) {}
};

struct PostOp;
// What the kernels apply to each value stored into `out` (PostOp of vector8.h).
PostOp postOpForStore(const StoreOp& store, const float* out);

// Convolution weights laid out for the matrix product: row (ky * kw + kx) * inC + i, column o, with
// the columns padded with zeros to a multiple of 8.
struct PackedFilter {
  int kh = 1, kw = 1, inC = 1, outC = 1;
  int paddedCols = 8;
  std::vector<float> weights;  // (kh * kw * inC) x paddedCols
  std::vector<float> bias;     // paddedCols
};

// Packs CONV_2D weights [out, kh, kw, in]; `bias` may be null.
PackedFilter packConvFilter(const float* weights, int outC, int kh, int kw, int inC, const float* bias);
// Packs transposed-convolution weights [out, kh, kw, in] as an in x (kh * kw * out) matrix.
PackedFilter packTransposeFilter(const float* weights, int outC, int kh, int kw, int inC);

// c[r][0..cols) = store(sum_k a[r][k] * b[k][..] + bias), for `rows` rows of `depth` values; a
// residual of `store` is laid out as c (its first value is added to c[0][0]).
void matmulBias(const float* a, std::ptrdiff_t aStride, int rows, int depth, const float* b, int paddedCols,
                const float* bias, int cols, float* c, std::ptrdiff_t cStride, StoreOp store);

void conv2d(const float* in, Dims inDims, const PackedFilter& filter, const WindowGeometry& geometry, StoreOp store,
            float* out, Dims outDims, WorkerPool& workers);

// Weights [1, kh, kw, inC * multiplier]; output channel i * multiplier + m reads input channel i.
void depthwiseConv2d(const float* in, Dims inDims, const float* weights, int kh, int kw, int multiplier,
                     const float* bias, const WindowGeometry& geometry, StoreOp store, float* out,
                     Dims outDims, WorkerPool& workers);

// Transposed convolution with bias: every input pixel adds its weighted kernel to the output at
// (iy * strideH + ky - padTop, ix * strideW + kx - padLeft).
void transposeConvBias(const float* in, Dims inDims, const PackedFilter& filter, const float* bias,
                       const WindowGeometry& geometry, float* out, Dims outDims, WorkerPool& workers);

// Transposed convolutions whose windows tile the output without overlap (stride equal to the kernel,
// nothing cropped) write every output value once, straight from the matrix product: for each kernel
// row ky an in x round8(kw * out) block, column kx * out + o, with the bias in every column.
PackedFilter packTiledTransposeFilter(const float* weights, int outC, int kh, int kw, int inC, const float* bias);
bool transposeTilesOutput(int kh, int kw, const WindowGeometry& geometry, Dims inDims, Dims outDims);
// `store` may not add a residual nor apply PReLU (its columns are not the output's channels).
void transposeConvTiled(const float* in, Dims inDims, const PackedFilter& filter, StoreOp store, float* out,
                        Dims outDims, WorkerPool& workers);

void resizeBilinear(const float* in, Dims inDims, float* out, Dims outDims, bool alignCorners,
                    bool halfPixelCenters);

// Average over the window cells inside the input (padding cells are not counted).
void averagePool(const float* in, Dims inDims, int filterH, int filterW, const WindowGeometry& geometry,
                 Activation activation, float* out, Dims outDims);

// Maximum over the window cells inside the input (padding cells are not counted).
void maxPool(const float* in, Dims inDims, int filterH, int filterW, const WindowGeometry& geometry,
             Activation activation, float* out, Dims outDims);

// Copies a 4-D tensor into a larger one of zeros, `before[d]` elements in along each axis.
void zeroPad(const float* in, const int (&inShape)[4], const int (&before)[4], float* out, const int (&outShape)[4]);

// Moves depth into space: output (y * block + dy, x * block + dx, c) is input (y, x, (dy * block + dx) *
// outChannels + c). `inShape` is [n, h, w, block * block * outChannels].
void depthToSpace(const float* in, const int (&inShape)[4], int block, float* out);

// Joins tensors along one axis: the output is `outer` runs, each run holding one block of
// `blockSizes[i]` values from every input i in turn.
void concatenate(const std::vector<const float*>& inputs, const std::vector<std::size_t>& blockSizes,
                 std::size_t outer, float* out);

// Mean over height and width: one value per channel.
void meanOverSpace(const float* in, Dims inDims, float* out);

// PRelu: a where a >= 0, else a * b (b holds the slopes).
enum class BinaryOp { Add, Mul, Sub, PRelu, Div };

// out = act(a op b) with NumPy broadcasting of 4-D shapes (each axis equal or 1); `out` overlaps
// neither input.
void broadcastBinary(BinaryOp op, const float* a, const int (&aShape)[4], const float* b, const int (&bShape)[4],
                     float* out, const int (&outShape)[4], Activation activation);

void relu(const float* in, float* out, std::size_t count);
void hardSwish(const float* in, float* out, std::size_t count);
void logistic(const float* in, float* out, std::size_t count);
void absolute(const float* in, float* out, std::size_t count);
// Each value held within [low, high].
void clip(const float* in, float* out, std::size_t count, float low, float high);
// max(0, min(1, alpha * x + beta)).
void hardSigmoid(const float* in, float* out, std::size_t count, float alpha, float beta);

// Nearest-neighbour resize that takes source pixel floor(y * inH / outH) (the asymmetric mapping,
// rounding down), so a whole-number enlargement repeats every pixel.
void resizeNearest(const float* in, Dims inDims, float* out, Dims outDims);

// out = full + resizeNearest(small) in one pass, the enlarged tensor never written; `full` and
// `out` have outDims.
void addNearestUpsampled(const float* full, const float* small, Dims smallDims, float* out, Dims outDims);

void applyActivation(float* data, std::size_t count, Activation activation);

// out = x + x * s with s one value per channel (a residual squeeze-and-excitation), in one pass over
// `pixels` pixels of `channels` values.
void addScaledByChannel(const float* x, const float* s, float* out, std::size_t pixels, int channels);

// out = in * scale + shift in one pass.
void scaleShift(const float* in, float* out, std::size_t count, float scale, float shift);

}  // namespace kov
