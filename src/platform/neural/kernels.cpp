#include "platform/neural/kernels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "platform/neural/vector8.h"
#include "platform/neural/worker_pool.h"

namespace kov {
namespace {

template <bool Extras>
inline __attribute__((always_inline)) void store(float* target, Float8 v, const PostOp& post, int channel, int count) {
  if constexpr (Extras)
    finishAndStore(target, v, post, channel, count);
  else
    storePart(target, finish8(v, post), count);
}

// One block of `Rows` rows times all columns, 16 columns at a time (then 8).
// `Extras`: the store has parts beyond finish8 (see PostOp); without them the store stays as short
// as it can, which matters for products of little depth.
template <int Rows, bool Extras>
inline __attribute__((always_inline)) void matmulBlock(const float* a, std::ptrdiff_t aStride, int depth,
                                                        const float* b, int paddedCols, const float* bias,
                                                        int cols, float* c, std::ptrdiff_t cStride,
                                                        const PostOp& post) {
  int col = 0;
  for (; col + 16 <= paddedCols; col += 16) {
    Float8 acc[Rows][2];
    Float8 bias0 = load8(bias + col), bias1 = load8(bias + col + 8);
    for (int r = 0; r < Rows; ++r) {
      acc[r][0] = bias0;
      acc[r][1] = bias1;
    }
    const float* bk = b + col;
    for (int k = 0; k < depth; ++k, bk += paddedCols) {
      Float8 b0 = load8(bk), b1 = load8(bk + 8);
      for (int r = 0; r < Rows; ++r) {
        Float8 av = splat8(a[r * aStride + k]);
        acc[r][0] += av * b0;
        acc[r][1] += av * b1;
      }
    }
    for (int r = 0; r < Rows; ++r) {
      store<Extras>(c + r * cStride + col, acc[r][0], post, col, cols - col);
      if (cols - col > 8) store<Extras>(c + r * cStride + col + 8, acc[r][1], post, col + 8, cols - col - 8);
    }
  }
  if (col < paddedCols) {  // one last group of 8 columns
    Float8 acc[Rows];
    for (int r = 0; r < Rows; ++r) acc[r] = load8(bias + col);
    const float* bk = b + col;
    for (int k = 0; k < depth; ++k, bk += paddedCols) {
      Float8 b0 = load8(bk);
      for (int r = 0; r < Rows; ++r) acc[r] += splat8(a[r * aStride + k]) * b0;
    }
    for (int r = 0; r < Rows; ++r) store<Extras>(c + r * cStride + col, acc[r], post, col, cols - col);
  }
}

KOV_VECTOR_CLONES
void matmulRows(const float* a, std::ptrdiff_t aStride, int rows, int depth, const float* b, int paddedCols,
                const float* bias, int cols, float* c, std::ptrdiff_t cStride, PostOp post) {
  const bool extras = post.residual || post.clampAfter || post.slopes || post.logistic;
  int r = 0;
  for (; r + 6 <= rows; r += 6) {
    if (extras)
      matmulBlock<6, true>(a + r * aStride, aStride, depth, b, paddedCols, bias, cols, c + r * cStride, cStride, post);
    else
      matmulBlock<6, false>(a + r * aStride, aStride, depth, b, paddedCols, bias, cols, c + r * cStride, cStride, post);
  }
  for (; r < rows; ++r) {
    if (extras)
      matmulBlock<1, true>(a + r * aStride, aStride, depth, b, paddedCols, bias, cols, c + r * cStride, cStride, post);
    else
      matmulBlock<1, false>(a + r * aStride, aStride, depth, b, paddedCols, bias, cols, c + r * cStride, cStride, post);
  }
}

// The taps of a window that fall inside the input along one axis: k in [first, last).
struct TapRange {
  int first, last;
};

inline __attribute__((always_inline)) TapRange tapsInside(int origin, int kernel, int dilation, int input) {
  TapRange range{0, kernel};
  while (range.first < kernel && origin + range.first * dilation < 0) ++range.first;
  while (range.last > range.first && origin + (range.last - 1) * dilation >= input) --range.last;
  return range;
}

KOV_VECTOR_CLONES
void depthwiseRows(const float* in, Dims inDims, const float* weights, int kh, int kw, int multiplier,
                   const float* bias, const WindowGeometry& g, PostOp post, float* out, Dims outDims,
                   int rowBegin, int rowEnd) {
  const int inC = inDims.c;
  const int outC = outDims.c;
  const bool vectorChannels = multiplier == 1 && outC % 8 == 0;
  const std::ptrdiff_t rowStride = static_cast<std::ptrdiff_t>(inDims.w) * inC;
  for (int oy = rowBegin; oy < rowEnd; ++oy) {
    const int originY = oy * g.strideH - g.padTop;
    const TapRange rows = tapsInside(originY, kh, g.dilationH, inDims.h);
    for (int ox = 0; ox < outDims.w; ++ox) {
      const int originX = ox * g.strideW - g.padLeft;
      const TapRange columns = tapsInside(originX, kw, g.dilationW, inDims.w);
      float* o = out + (static_cast<std::size_t>(oy) * outDims.w + ox) * outC;
      // Offset of the window's top-left tap, which may lie outside the input; only taps inside are read.
      const std::ptrdiff_t origin = static_cast<std::ptrdiff_t>(originY) * rowStride + static_cast<std::ptrdiff_t>(originX) * inC;
      if (vectorChannels) {
        for (int ch = 0; ch < outC; ch += 8) {
          Float8 acc = bias ? load8(bias + ch) : splat8(0.0f);
          for (int ky = rows.first; ky < rows.last; ++ky) {
            const float* ip = in + (origin + ky * g.dilationH * rowStride + ch);
            const float* wp = weights + static_cast<std::ptrdiff_t>(ky) * kw * outC + ch;
            for (int kx = columns.first; kx < columns.last; ++kx)
              acc += load8(ip + kx * g.dilationW * inC) * load8(wp + kx * outC);
          }
          finishAndStore(o + ch, acc, post, ch, 8);
        }
        continue;
      }
      for (int ch = 0; ch < outC; ++ch) o[ch] = bias ? bias[ch] : 0.0f;
      for (int ky = rows.first; ky < rows.last; ++ky) {
        for (int kx = columns.first; kx < columns.last; ++kx) {
          const float* ip = in + (origin + ky * g.dilationH * rowStride + kx * g.dilationW * inC);
          const float* wp = weights + static_cast<std::size_t>(ky * kw + kx) * outC;
          for (int i = 0; i < inC; ++i)
            for (int m = 0; m < multiplier; ++m) o[i * multiplier + m] += ip[i] * wp[i * multiplier + m];
        }
      }
      for (int ch = 0; ch < outC; ch += 8) finishAndStore(o + ch, loadPart(o + ch, outC - ch), post, ch, outC - ch);
    }
  }
}

int roundUpTo8(int n) { return (n + 7) / 8 * 8; }

// Writes the patch of output row `oy` (outDims.w patches of kh * kw * inC values) for the matrix product.
void gatherPatches(const float* in, Dims inDims, const PackedFilter& f, const WindowGeometry& g, int oy,
                   int outW, float* patch) {
  const std::size_t pixelBytes = static_cast<std::size_t>(f.inC) * sizeof(float);
  const std::size_t tapRowValues = static_cast<std::size_t>(f.kw) * f.inC;
  for (int ox = 0; ox < outW; ++ox) {
    const int firstX = ox * g.strideW - g.padLeft;
    const bool rowOfTapsInside = g.dilationW == 1 && firstX >= 0 && firstX + f.kw <= inDims.w;
    for (int ky = 0; ky < f.kh; ++ky) {
      int iy = oy * g.strideH + ky * g.dilationH - g.padTop;
      if (rowOfTapsInside && iy >= 0 && iy < inDims.h) {  // the kw taps are adjacent pixels: one copy
        std::memcpy(patch, in + (static_cast<std::size_t>(iy) * inDims.w + firstX) * inDims.c, tapRowValues * sizeof(float));
        patch += tapRowValues;
        continue;
      }
      for (int kx = 0; kx < f.kw; ++kx, patch += f.inC) {
        int ix = ox * g.strideW + kx * g.dilationW - g.padLeft;
        if (iy < 0 || iy >= inDims.h || ix < 0 || ix >= inDims.w) {
          std::fill_n(patch, f.inC, 0.0f);
          continue;
        }
        const float* pixel = in + (static_cast<std::size_t>(iy) * inDims.w + ix) * inDims.c;
        if (f.inC == 3)  // a colour input: a fixed-size copy is inlined, a call per tap would cost more
          std::memcpy(patch, pixel, 3 * sizeof(float));
        else
          std::memcpy(patch, pixel, pixelBytes);
      }
    }
  }
}

bool isPointwise(const PackedFilter& f, const WindowGeometry& g) {
  return f.kh == 1 && f.kw == 1 && g.strideH == 1 && g.strideW == 1 && g.padTop == 0 && g.padLeft == 0;
}

// Rows of output handed to one thread at least; below that a second thread costs more than it saves.
int minimumRowsPerThread(std::size_t workPerRow) {
  constexpr std::size_t kMinimumWork = 1 << 17;
  return static_cast<int>(std::max<std::size_t>(1, kMinimumWork / std::max<std::size_t>(workPerRow, 1)));
}

// A filter's extents, its weights not yet packed.
PackedFilter filterShape(int outC, int kh, int kw, int inC) {
  PackedFilter f;
  f.kh = kh;
  f.kw = kw;
  f.inC = inC;
  f.outC = outC;
  return f;
}

}  // namespace

int windowOutputExtent(int input, int kernel, int stride, int dilation, Padding padding) {
  int effective = (kernel - 1) * dilation + 1;
  if (padding == Padding::Same) return (input + stride - 1) / stride;
  return (input - effective + stride) / stride;
}

int windowPaddingBefore(int input, int kernel, int stride, int dilation, int output) {
  int effective = (kernel - 1) * dilation + 1;
  int total = std::max((output - 1) * stride + effective - input, 0);
  return total / 2;
}

PackedFilter packConvFilter(const float* weights, int outC, int kh, int kw, int inC, const float* bias) {
  PackedFilter f = filterShape(outC, kh, kw, inC);
  f.paddedCols = roundUpTo8(outC);
  const std::size_t depth = static_cast<std::size_t>(kh) * kw * inC;
  f.weights.assign(depth * f.paddedCols, 0.0f);
  f.bias.assign(static_cast<std::size_t>(f.paddedCols), 0.0f);
  // A transpose in tiles, so that both the rows read and the rows written stay in the cache.
  constexpr std::size_t kTile = 16;
  const std::size_t outs = static_cast<std::size_t>(outC), cols = static_cast<std::size_t>(f.paddedCols);
  for (std::size_t o0 = 0; o0 < outs; o0 += kTile) {
    const std::size_t o1 = std::min(outs, o0 + kTile);
    for (std::size_t k0 = 0; k0 < depth; k0 += kTile) {
      const std::size_t k1 = std::min(depth, k0 + kTile);
      for (std::size_t k = k0; k < k1; ++k)
        for (std::size_t o = o0; o < o1; ++o) f.weights[k * cols + o] = weights[o * depth + k];
    }
  }
  if (bias) std::copy(bias, bias + outC, f.bias.begin());
  return f;
}

PackedFilter packTransposeFilter(const float* weights, int outC, int kh, int kw, int inC) {
  PackedFilter f = filterShape(outC, kh, kw, inC);
  const int cols = kh * kw * outC;
  f.paddedCols = roundUpTo8(cols);
  f.weights.assign(static_cast<std::size_t>(inC) * f.paddedCols, 0.0f);
  f.bias.assign(static_cast<std::size_t>(f.paddedCols), 0.0f);
  // Column (ky * kw + kx) * outC + o of row i holds weights[o][ky][kx][i].
  for (int o = 0; o < outC; ++o)
    for (int ky = 0; ky < kh; ++ky)
      for (int kx = 0; kx < kw; ++kx)
        for (int i = 0; i < inC; ++i)
          f.weights[static_cast<std::size_t>(i) * f.paddedCols + (ky * kw + kx) * outC + o] =
              weights[((static_cast<std::size_t>(o) * kh + ky) * kw + kx) * inC + i];
  return f;
}

PostOp postOpForStore(const StoreOp& store, const float* out) {
  PostOp post = postOpFor(store.activation, store.scale, store.shift);
  if (store.residual) {
    post.residual = true;
    post.residualOffset = store.residual - out;
  }
  if (store.afterResidual != Activation::None) {
    const PostOp after = postOpFor(store.afterResidual);
    post.clampAfter = true;
    post.lowAfter = after.low;
    post.highAfter = after.high;
  }
  post.slopes = store.slopes;
  post.logistic = store.logistic;
  return post;
}

void matmulBias(const float* a, std::ptrdiff_t aStride, int rows, int depth, const float* b, int paddedCols,
                const float* bias, int cols, float* c, std::ptrdiff_t cStride, StoreOp store) {
  matmulRows(a, aStride, rows, depth, b, paddedCols, bias, cols, c, cStride, postOpForStore(store, c));
}

namespace {

// The store of the values from `first` on: a residual tensor is read from the same place.
StoreOp from(StoreOp store, std::size_t first) {
  if (store.residual) store.residual += first;
  return store;
}

}  // namespace

void conv2d(const float* in, Dims inDims, const PackedFilter& f, const WindowGeometry& g, StoreOp store, float* out,
            Dims outDims, WorkerPool& workers) {
  const int depth = f.kh * f.kw * f.inC;
  const std::size_t workPerRow = static_cast<std::size_t>(outDims.w) * depth * f.outC;
  if (isPointwise(f, g)) {
    const int pixels = outDims.h * outDims.w;
    workers.run(pixels, minimumRowsPerThread(static_cast<std::size_t>(depth) * f.outC), [&](int begin, int end, int) {
      const std::size_t first = static_cast<std::size_t>(begin) * f.outC;
      matmulBias(in + static_cast<std::size_t>(begin) * depth, depth, end - begin, depth, f.weights.data(),
                 f.paddedCols, f.bias.data(), f.outC, out + first, f.outC, from(store, first));
    });
    return;
  }
  workers.run(outDims.h, minimumRowsPerThread(workPerRow), [&](int begin, int end, int) {
    thread_local std::vector<float> patch;
    patch.resize(static_cast<std::size_t>(outDims.w) * depth);
    for (int oy = begin; oy < end; ++oy) {
      gatherPatches(in, inDims, f, g, oy, outDims.w, patch.data());
      const std::size_t first = static_cast<std::size_t>(oy) * outDims.w * f.outC;
      matmulBias(patch.data(), depth, outDims.w, depth, f.weights.data(), f.paddedCols, f.bias.data(), f.outC,
                 out + first, f.outC, from(store, first));
    }
  });
}

void depthwiseConv2d(const float* in, Dims inDims, const float* weights, int kh, int kw, int multiplier,
                     const float* bias, const WindowGeometry& geometry, StoreOp store, float* out,
                     Dims outDims, WorkerPool& workers) {
  const PostOp post = postOpForStore(store, out);
  const std::size_t workPerRow = static_cast<std::size_t>(outDims.w) * outDims.c * kh * kw;
  workers.run(outDims.h, minimumRowsPerThread(workPerRow), [&](int begin, int end, int) {
    depthwiseRows(in, inDims, weights, kh, kw, multiplier, bias, geometry, post, out, outDims, begin, end);
  });
}

void transposeConvBias(const float* in, Dims inDims, const PackedFilter& f, const float* bias,
                       const WindowGeometry& g, float* out, Dims outDims, WorkerPool& workers) {
  const int pixels = inDims.h * inDims.w;
  const int cols = f.kh * f.kw * f.outC;
  thread_local std::vector<float> products;
  products.resize(static_cast<std::size_t>(pixels) * cols);
  float* productData = products.data();
  workers.run(pixels, minimumRowsPerThread(static_cast<std::size_t>(f.inC) * cols), [&](int begin, int end, int) {
    matmulBias(in + static_cast<std::size_t>(begin) * f.inC, f.inC, end - begin, f.inC, f.weights.data(),
               f.paddedCols, f.bias.data(), cols, productData + static_cast<std::size_t>(begin) * cols, cols,
               Activation::None);
  });
  for (std::size_t p = 0; p < static_cast<std::size_t>(outDims.h) * outDims.w; ++p)
    for (int o = 0; o < f.outC; ++o) out[p * f.outC + o] = bias ? bias[o] : 0.0f;
  for (int iy = 0; iy < inDims.h; ++iy) {
    for (int ix = 0; ix < inDims.w; ++ix) {
      const float* product = productData + (static_cast<std::size_t>(iy) * inDims.w + ix) * cols;
      for (int ky = 0; ky < f.kh; ++ky) {
        int oy = iy * g.strideH + ky - g.padTop;
        if (oy < 0 || oy >= outDims.h) continue;
        for (int kx = 0; kx < f.kw; ++kx) {
          int ox = ix * g.strideW + kx - g.padLeft;
          if (ox < 0 || ox >= outDims.w) continue;
          float* o = out + (static_cast<std::size_t>(oy) * outDims.w + ox) * f.outC;
          const float* v = product + (ky * f.kw + kx) * f.outC;
          for (int ch = 0; ch < f.outC; ++ch) o[ch] += v[ch];
        }
      }
    }
  }
}

PackedFilter packTiledTransposeFilter(const float* weights, int outC, int kh, int kw, int inC, const float* bias) {
  PackedFilter f = filterShape(outC, kh, kw, inC);
  f.paddedCols = roundUpTo8(kw * outC);
  f.weights.assign(static_cast<std::size_t>(kh) * inC * f.paddedCols, 0.0f);
  f.bias.assign(static_cast<std::size_t>(f.paddedCols), 0.0f);
  for (int kx = 0; kx < kw; ++kx)
    for (int o = 0; o < outC; ++o) f.bias[static_cast<std::size_t>(kx * outC + o)] = bias ? bias[o] : 0.0f;
  for (int o = 0; o < outC; ++o)
    for (int ky = 0; ky < kh; ++ky)
      for (int kx = 0; kx < kw; ++kx)
        for (int i = 0; i < inC; ++i)
          f.weights[(static_cast<std::size_t>(ky) * inC + i) * f.paddedCols + kx * outC + o] =
              weights[((static_cast<std::size_t>(o) * kh + ky) * kw + kx) * inC + i];
  return f;
}

bool transposeTilesOutput(int kh, int kw, const WindowGeometry& g, Dims inDims, Dims outDims) {
  return g.strideH == kh && g.strideW == kw && g.padTop == 0 && g.padLeft == 0 &&
         static_cast<std::int64_t>(inDims.h) * kh == outDims.h && static_cast<std::int64_t>(inDims.w) * kw == outDims.w;
}

void transposeConvTiled(const float* in, Dims inDims, const PackedFilter& f, StoreOp store, float* out,
                        Dims outDims, WorkerPool& workers) {
  // Input row iy and kernel row ky make output row iy * kh + ky: pixel ix fills its kw pixels
  // ix * kw .. ix * kw + kw - 1, which are the next kw * outC values of that row.
  const int cols = f.kw * f.outC;
  const std::size_t block = static_cast<std::size_t>(f.inC) * f.paddedCols;
  const std::size_t workPerRow = static_cast<std::size_t>(inDims.w) * f.inC * f.kh * cols;
  workers.run(inDims.h, minimumRowsPerThread(workPerRow), [&](int begin, int end, int) {
    for (int iy = begin; iy < end; ++iy)
      for (int ky = 0; ky < f.kh; ++ky)
        matmulBias(in + static_cast<std::size_t>(iy) * inDims.w * f.inC, f.inC, inDims.w, f.inC,
                   f.weights.data() + ky * block, f.paddedCols, f.bias.data(), cols,
                   out + static_cast<std::size_t>(iy * f.kh + ky) * outDims.w * f.outC, cols, store);
  });
}

void resizeBilinear(const float* in, Dims inDims, float* out, Dims outDims, bool alignCorners,
                    bool halfPixelCenters) {
  auto sourceScale = [&](int input, int output) {
    if (alignCorners && output > 1) return static_cast<float>(input - 1) / static_cast<float>(output - 1);
    return static_cast<float>(input) / static_cast<float>(output);
  };
  struct Tap {
    int lower, upper;
    float weight;  // of the upper neighbour
  };
  auto taps = [&](int input, int output) {
    float scale = sourceScale(input, output);
    std::vector<Tap> result(static_cast<std::size_t>(output));
    for (int o = 0; o < output; ++o) {
      float source = halfPixelCenters ? (static_cast<float>(o) + 0.5f) * scale - 0.5f : static_cast<float>(o) * scale;
      float lowerEdge = std::floor(source);
      int lower = static_cast<int>(lowerEdge);
      result[static_cast<std::size_t>(o)] = {std::clamp(lower, 0, input - 1), std::clamp(lower + 1, 0, input - 1),
                                              source - lowerEdge};
    }
    return result;
  };
  std::vector<Tap> rows = taps(inDims.h, outDims.h), columns = taps(inDims.w, outDims.w);
  const int c = inDims.c;
  for (int oy = 0; oy < outDims.h; ++oy) {
    const Tap& ty = rows[static_cast<std::size_t>(oy)];
    const float* top = in + static_cast<std::size_t>(ty.lower) * inDims.w * c;
    const float* bottom = in + static_cast<std::size_t>(ty.upper) * inDims.w * c;
    float* o = out + static_cast<std::size_t>(oy) * outDims.w * c;
    for (int ox = 0; ox < outDims.w; ++ox, o += c) {
      const Tap& tx = columns[static_cast<std::size_t>(ox)];
      const float* tl = top + static_cast<std::size_t>(tx.lower) * c;
      const float* tr = top + static_cast<std::size_t>(tx.upper) * c;
      const float* bl = bottom + static_cast<std::size_t>(tx.lower) * c;
      const float* br = bottom + static_cast<std::size_t>(tx.upper) * c;
      for (int ch = 0; ch < c; ++ch) {
        float upper = tl[ch] + (tr[ch] - tl[ch]) * tx.weight;
        float lower = bl[ch] + (br[ch] - bl[ch]) * tx.weight;
        o[ch] = upper + (lower - upper) * ty.weight;
      }
    }
  }
}

// Calls `visit` with each input cell (its channels) that the window of output cell (oy, ox) covers;
// cells of the padding are left out.
template <typename Visit>
void forEachCellInWindow(const float* in, Dims inDims, int filterH, int filterW, const WindowGeometry& g, int oy,
                         int ox, Visit visit) {
  for (int ky = 0; ky < filterH; ++ky) {
    int iy = oy * g.strideH + ky - g.padTop;
    if (iy < 0 || iy >= inDims.h) continue;
    for (int kx = 0; kx < filterW; ++kx) {
      int ix = ox * g.strideW + kx - g.padLeft;
      if (ix < 0 || ix >= inDims.w) continue;
      visit(in + (static_cast<std::size_t>(iy) * inDims.w + ix) * inDims.c);
    }
  }
}

void averagePool(const float* in, Dims inDims, int filterH, int filterW, const WindowGeometry& g,
                 Activation activation, float* out, Dims outDims) {
  const std::size_t c = static_cast<std::size_t>(inDims.c);
  std::vector<float> sum(c);
  for (int oy = 0; oy < outDims.h; ++oy) {
    for (int ox = 0; ox < outDims.w; ++ox) {
      std::fill(sum.begin(), sum.end(), 0.0f);
      int cells = 0;
      forEachCellInWindow(in, inDims, filterH, filterW, g, oy, ox, [&](const float* p) {
        for (std::size_t ch = 0; ch < c; ++ch) sum[ch] += p[ch];
        ++cells;
      });
      float* o = out + (static_cast<std::size_t>(oy) * outDims.w + ox) * c;
      for (std::size_t ch = 0; ch < c; ++ch) o[ch] = cells ? sum[ch] / cells : 0.0f;
    }
  }
  applyActivation(out, outDims.size(), activation);
}

void maxPool(const float* in, Dims inDims, int filterH, int filterW, const WindowGeometry& g,
             Activation activation, float* out, Dims outDims) {
  const std::size_t c = static_cast<std::size_t>(inDims.c);
  for (int oy = 0; oy < outDims.h; ++oy) {
    for (int ox = 0; ox < outDims.w; ++ox) {
      float* o = out + (static_cast<std::size_t>(oy) * outDims.w + ox) * c;
      bool first = true;
      forEachCellInWindow(in, inDims, filterH, filterW, g, oy, ox, [&](const float* p) {
        if (first) {
          std::copy(p, p + c, o);
          first = false;
        } else {
          for (std::size_t ch = 0; ch < c; ++ch) o[ch] = std::max(o[ch], p[ch]);
        }
      });
      if (first) std::fill(o, o + c, 0.0f);
    }
  }
  applyActivation(out, outDims.size(), activation);
}

void depthToSpace(const float* in, const int (&inShape)[4], int block, float* out) {
  const int outChannels = inShape[3] / (block * block);
  const std::size_t run = static_cast<std::size_t>(block) * outChannels;  // one output row's share of a cell
  const std::size_t outRow = static_cast<std::size_t>(inShape[2]) * block * outChannels;
  for (int n = 0; n < inShape[0]; ++n)
    for (int y = 0; y < inShape[1]; ++y)
      for (int x = 0; x < inShape[2]; ++x) {
        const float* cell = in + ((static_cast<std::size_t>(n) * inShape[1] + y) * inShape[2] + x) * inShape[3];
        for (int dy = 0; dy < block; ++dy) {
          float* target = out + ((static_cast<std::size_t>(n) * inShape[1] + y) * block + dy) * outRow + x * run;
          std::copy(cell + dy * run, cell + (dy + 1) * run, target);
        }
      }
}

void zeroPad(const float* in, const int (&inShape)[4], const int (&before)[4], float* out, const int (&outShape)[4]) {
  const std::size_t total = static_cast<std::size_t>(outShape[0]) * outShape[1] * outShape[2] * outShape[3];
  std::fill(out, out + total, 0.0f);
  const std::size_t row = static_cast<std::size_t>(inShape[3]);
  for (int i0 = 0; i0 < inShape[0]; ++i0)
    for (int i1 = 0; i1 < inShape[1]; ++i1)
      for (int i2 = 0; i2 < inShape[2]; ++i2) {
        const float* source = in + ((static_cast<std::size_t>(i0) * inShape[1] + i1) * inShape[2] + i2) * row;
        std::size_t target = ((static_cast<std::size_t>(i0 + before[0]) * outShape[1] + (i1 + before[1])) * outShape[2] +
                              (i2 + before[2])) * outShape[3] + before[3];
        std::copy(source, source + row, out + target);
      }
}

void concatenate(const std::vector<const float*>& inputs, const std::vector<std::size_t>& blockSizes,
                 std::size_t outer, float* out) {
  for (std::size_t run = 0; run < outer; ++run)
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      const float* block = inputs[i] + run * blockSizes[i];
      out = std::copy(block, block + blockSizes[i], out);
    }
}

void meanOverSpace(const float* in, Dims inDims, float* out) {
  std::vector<double> sum(static_cast<std::size_t>(inDims.c), 0.0);
  const std::size_t pixels = static_cast<std::size_t>(inDims.h) * inDims.w;
  for (std::size_t p = 0; p < pixels; ++p)
    for (int ch = 0; ch < inDims.c; ++ch) sum[static_cast<std::size_t>(ch)] += in[p * inDims.c + ch];
  for (int ch = 0; ch < inDims.c; ++ch) out[ch] = static_cast<float>(sum[static_cast<std::size_t>(ch)] / pixels);
}

namespace {

inline float combine(BinaryOp op, float x, float y) {
  switch (op) {
    case BinaryOp::Add: return x + y;
    case BinaryOp::Mul: return x * y;
    case BinaryOp::Sub: return x - y;
    // Without a branch, so loops over it become vector code (a branch on the sign mispredicts on
    // half the values): exactly x for x >= 0 and x * y below, for any finite slope y.
    case BinaryOp::PRelu: return std::max(x, 0.0f) + std::min(x, 0.0f) * y;
    case BinaryOp::Div: return x / y;
  }
  return 0.0f;
}

template <BinaryOp op>
void combineSameShape(const float* __restrict a, const float* __restrict b, float* __restrict out, std::size_t total) {
  for (std::size_t i = 0; i < total; ++i) out[i] = combine(op, a[i], b[i]);
}

// One operand is whole, the other holds one value per channel; `ChannelFirst` keeps the order of
// the operands for the operators that do not commute. Plain loops over restrict pointers, so the
// compiler turns the channel loop into vector code (PReLU after the convolutions of the face mesh
// took half of its time as a scalar loop).
template <BinaryOp op, bool ChannelFirst>
void combinePerChannelAs(const float* __restrict full, const float* __restrict channel, float* __restrict out,
                         std::size_t total, int c) {
  for (std::size_t p = 0; p < total; p += static_cast<std::size_t>(c)) {
    const float* __restrict f = full + p;
    float* __restrict o = out + p;
    for (int ch = 0; ch < c; ++ch) o[ch] = ChannelFirst ? combine(op, channel[ch], f[ch]) : combine(op, f[ch], channel[ch]);
  }
}

// One operand is a single value (the learnable scale and shift of some ONNX files).
template <BinaryOp op, bool ScalarFirst>
void combineWithScalarAs(const float* __restrict full, float scalar, float* __restrict out, std::size_t total) {
  for (std::size_t i = 0; i < total; ++i) out[i] = ScalarFirst ? combine(op, scalar, full[i]) : combine(op, full[i], scalar);
}

template <BinaryOp op>
void combinePerChannel(const float* full, const float* channel, bool channelFirst, float* out, std::size_t total,
                       int c) {
  if (channelFirst)
    combinePerChannelAs<op, true>(full, channel, out, total, c);
  else
    combinePerChannelAs<op, false>(full, channel, out, total, c);
}

template <BinaryOp op>
void broadcastAs(const float* a, const int (&aShape)[4], const float* b, const int (&bShape)[4], float* out,
                 const int (&outShape)[4]) {
  auto sameShape = [](const int (&x)[4], const int (&y)[4]) { return std::equal(x, x + 4, y); };
  auto perChannel = [&](const int (&shape)[4]) {
    return shape[0] == 1 && shape[1] == 1 && shape[2] == 1 && shape[3] == outShape[3];
  };
  auto single = [](const int (&shape)[4]) { return shape[0] == 1 && shape[1] == 1 && shape[2] == 1 && shape[3] == 1; };
  const std::size_t total = static_cast<std::size_t>(outShape[0]) * outShape[1] * outShape[2] * outShape[3];
  if (sameShape(aShape, outShape) && sameShape(bShape, outShape)) {
    combineSameShape<op>(a, b, out, total);
  } else if (sameShape(aShape, outShape) && single(bShape)) {
    combineWithScalarAs<op, false>(a, b[0], out, total);
  } else if (sameShape(bShape, outShape) && single(aShape)) {
    combineWithScalarAs<op, true>(b, a[0], out, total);
  } else if (sameShape(aShape, outShape) && perChannel(bShape)) {
    combinePerChannel<op>(a, b, false, out, total, outShape[3]);
  } else if (sameShape(bShape, outShape) && perChannel(aShape)) {
    combinePerChannel<op>(b, a, true, out, total, outShape[3]);
  } else {
    auto strides = [](const int (&shape)[4], std::size_t (&s)[4]) {
      std::size_t step = 1;
      for (int d = 3; d >= 0; --d) {
        s[d] = shape[d] == 1 ? 0 : step;
        step *= static_cast<std::size_t>(shape[d]);
      }
    };
    std::size_t as[4], bs[4];
    strides(aShape, as);
    strides(bShape, bs);
    float* o = out;
    for (int i0 = 0; i0 < outShape[0]; ++i0)
      for (int i1 = 0; i1 < outShape[1]; ++i1)
        for (int i2 = 0; i2 < outShape[2]; ++i2)
          for (int i3 = 0; i3 < outShape[3]; ++i3)
            *o++ = combine(op, a[i0 * as[0] + i1 * as[1] + i2 * as[2] + i3 * as[3]],
                           b[i0 * bs[0] + i1 * bs[1] + i2 * bs[2] + i3 * bs[3]]);
  }
}

}  // namespace

void broadcastBinary(BinaryOp op, const float* a, const int (&aShape)[4], const float* b, const int (&bShape)[4],
                     float* out, const int (&outShape)[4], Activation activation) {
  switch (op) {
    case BinaryOp::Add: broadcastAs<BinaryOp::Add>(a, aShape, b, bShape, out, outShape); break;
    case BinaryOp::Mul: broadcastAs<BinaryOp::Mul>(a, aShape, b, bShape, out, outShape); break;
    case BinaryOp::Sub: broadcastAs<BinaryOp::Sub>(a, aShape, b, bShape, out, outShape); break;
    case BinaryOp::PRelu: broadcastAs<BinaryOp::PRelu>(a, aShape, b, bShape, out, outShape); break;
    case BinaryOp::Div: broadcastAs<BinaryOp::Div>(a, aShape, b, bShape, out, outShape); break;
  }
  const std::size_t total = static_cast<std::size_t>(outShape[0]) * outShape[1] * outShape[2] * outShape[3];
  applyActivation(out, total, activation);
}

void relu(const float* in, float* out, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) out[i] = std::max(in[i], 0.0f);
}

void hardSwish(const float* in, float* out, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) out[i] = hardSwishValue(in[i]);
}

void logistic(const float* in, float* out, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) out[i] = 1.0f / (1.0f + std::exp(-in[i]));
}

void absolute(const float* in, float* out, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) out[i] = std::fabs(in[i]);
}

void clip(const float* in, float* out, std::size_t count, float low, float high) {
  for (std::size_t i = 0; i < count; ++i) out[i] = std::min(std::max(in[i], low), high);
}

void hardSigmoid(const float* in, float* out, std::size_t count, float alpha, float beta) {
  for (std::size_t i = 0; i < count; ++i) out[i] = std::min(std::max(alpha * in[i] + beta, 0.0f), 1.0f);
}

void resizeNearest(const float* in, Dims inDims, float* out, Dims outDims) {
  const std::size_t channels = static_cast<std::size_t>(inDims.c);
  for (int y = 0; y < outDims.h; ++y) {
    const int sy = std::min(static_cast<int>(static_cast<std::int64_t>(y) * inDims.h / outDims.h), inDims.h - 1);
    for (int x = 0; x < outDims.w; ++x) {
      const int sx = std::min(static_cast<int>(static_cast<std::int64_t>(x) * inDims.w / outDims.w), inDims.w - 1);
      const float* from = in + (static_cast<std::size_t>(sy) * inDims.w + sx) * channels;
      std::copy(from, from + channels, out + (static_cast<std::size_t>(y) * outDims.w + x) * channels);
    }
  }
}

void addNearestUpsampled(const float* full, const float* small, Dims smallDims, float* out, Dims outDims) {
  const std::size_t channels = static_cast<std::size_t>(outDims.c);
  for (int y = 0; y < outDims.h; ++y) {
    const int sy = std::min(static_cast<int>(static_cast<std::int64_t>(y) * smallDims.h / outDims.h), smallDims.h - 1);
    for (int x = 0; x < outDims.w; ++x) {
      const int sx = std::min(static_cast<int>(static_cast<std::int64_t>(x) * smallDims.w / outDims.w), smallDims.w - 1);
      const float* __restrict from = small + (static_cast<std::size_t>(sy) * smallDims.w + sx) * channels;
      const std::size_t at = (static_cast<std::size_t>(y) * outDims.w + x) * channels;
      const float* __restrict f = full + at;
      float* __restrict o = out + at;
      for (std::size_t ch = 0; ch < channels; ++ch) o[ch] = f[ch] + from[ch];
    }
  }
}

void addScaledByChannel(const float* __restrict x, const float* __restrict s, float* __restrict out, std::size_t pixels,
                        int channels) {
  for (std::size_t p = 0; p < pixels; ++p, x += channels, out += channels)
    for (int c = 0; c < channels; ++c) out[c] = x[c] + x[c] * s[c];
}

void scaleShift(const float* in, float* out, std::size_t count, float scale, float shift) {
  for (std::size_t i = 0; i < count; ++i) out[i] = in[i] * scale + shift;
}

void applyActivation(float* data, std::size_t count, Activation activation) {
  if (activation == Activation::None) return;
  PostOp post = postOpFor(activation);
  for (std::size_t i = 0; i < count; ++i) data[i] = finish1(data[i], post);
}

}  // namespace kov
