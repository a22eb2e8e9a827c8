#include "platform/neural/winograd.h"

#include <algorithm>
#include <cstring>

#include "platform/neural/vector8.h"
#include "platform/neural/worker_pool.h"

namespace kov {
namespace {

int roundUpTo8(int n) { return (n + 7) / 8 * 8; }

// The one-dimensional transforms of F(m, 3) on the points 0, 1, -1 (and 2, -2 for m = 4), applied
// to 8 channels at once: `input` is B^T d, `output` is A^T m. The two-dimensional transforms apply
// them along the rows, then along the columns.
template <int M>
struct Transforms;

template <>
struct Transforms<2> {
  static constexpr int kSide = 4;
  static constexpr double kFilter[4][3] = {{1, 0, 0}, {0.5, 0.5, 0.5}, {0.5, -0.5, 0.5}, {0, 0, 1}};
  static inline __attribute__((always_inline)) void input(const Float8 (&d)[4], Float8 (&r)[4]) {
    r[0] = d[0] - d[2];
    r[1] = d[1] + d[2];
    r[2] = d[2] - d[1];
    r[3] = d[1] - d[3];
  }
  static inline __attribute__((always_inline)) void output(const Float8 (&m)[4], Float8 (&y)[2]) {
    y[0] = m[0] + m[1] + m[2];
    y[1] = m[1] - m[2] - m[3];
  }
};

template <>
struct Transforms<4> {
  static constexpr int kSide = 6;
  static constexpr double kFilter[6][3] = {{1.0 / 4, 0, 0},
                                           {-1.0 / 6, -1.0 / 6, -1.0 / 6},
                                           {-1.0 / 6, 1.0 / 6, -1.0 / 6},
                                           {1.0 / 24, 1.0 / 12, 1.0 / 6},
                                           {1.0 / 24, -1.0 / 12, 1.0 / 6},
                                           {0, 0, 1}};
  static inline __attribute__((always_inline)) void input(const Float8 (&d)[6], Float8 (&r)[6]) {
    const Float8 four = splat8(4.0f), five = splat8(5.0f), two = splat8(2.0f);
    const Float8 a = d[4] - four * d[2], b = d[3] - four * d[1];
    const Float8 c = d[4] - d[2], e = two * (d[3] - d[1]);
    r[0] = four * d[0] - five * d[2] + d[4];
    r[1] = a + b;
    r[2] = a - b;
    r[3] = c + e;
    r[4] = c - e;
    r[5] = four * d[1] - five * d[3] + d[5];
  }
  static inline __attribute__((always_inline)) void output(const Float8 (&m)[6], Float8 (&y)[4]) {
    const Float8 two = splat8(2.0f), four = splat8(4.0f), eight = splat8(8.0f);
    const Float8 sum12 = m[1] + m[2], diff12 = m[1] - m[2], sum34 = m[3] + m[4], diff34 = m[3] - m[4];
    y[0] = m[0] + sum12 + sum34;
    y[1] = diff12 + two * diff34;
    y[2] = sum12 + four * sum34;
    y[3] = diff12 + eight * diff34 + m[5];
  }
};

// A run of output tiles along one row of tiles, transformed and multiplied together.
struct TileBlock {
  int tileRow = 0;    // output rows tileRow * m ...
  int firstTile = 0;  // output columns firstTile * m ...
  int tiles = 0;
};

// Copies the input under a block of tiles, (m + 2) rows of m * tiles + 2 pixels of paddedIn values,
// with zeros outside the input.
template <int M>
inline __attribute__((always_inline)) void gatherWindow(const float* in, Dims inDims, const WinogradFilter& f, int padTop, int padLeft, const TileBlock& block,
                  float* window) {
  constexpr int kSide = Transforms<M>::kSide;
  const int width = M * block.tiles + 2;
  const int firstX = block.firstTile * M - padLeft;
  const std::size_t pixelBytes = static_cast<std::size_t>(f.inC) * sizeof(float);
  for (int r = 0; r < kSide; ++r) {
    float* row = window + static_cast<std::size_t>(r) * width * f.paddedIn;
    const int iy = block.tileRow * M - padTop + r;
    if (iy < 0 || iy >= inDims.h) {
      std::fill_n(row, static_cast<std::size_t>(width) * f.paddedIn, 0.0f);
      continue;
    }
    const int insideBegin = std::clamp(-firstX, 0, width), insideEnd = std::clamp(inDims.w - firstX, insideBegin, width);
    std::fill_n(row, static_cast<std::size_t>(insideBegin) * f.paddedIn, 0.0f);
    const float* source = in + (static_cast<std::size_t>(iy) * inDims.w + (firstX + insideBegin)) * inDims.c;
    if (f.inC == f.paddedIn) {
      std::memcpy(row + static_cast<std::size_t>(insideBegin) * f.paddedIn, source,
                  static_cast<std::size_t>(insideEnd - insideBegin) * pixelBytes);
    } else {
      for (int x = insideBegin; x < insideEnd; ++x, source += inDims.c) {
        float* target = row + static_cast<std::size_t>(x) * f.paddedIn;
        std::memcpy(target, source, pixelBytes);
        std::fill(target + f.inC, target + f.paddedIn, 0.0f);
      }
    }
    std::fill(row + static_cast<std::size_t>(insideEnd) * f.paddedIn, row + static_cast<std::size_t>(width) * f.paddedIn,
              0.0f);
  }
}

// V[p][t][c] = (B^T d B)[p] of tile t's window, channel c.
template <int M>
inline __attribute__((always_inline)) void transformInput(const float* window, const WinogradFilter& f, const TileBlock& block, float* v) {
  constexpr int kSide = Transforms<M>::kSide;
  const std::size_t pixelStride = static_cast<std::size_t>(f.paddedIn);
  const std::size_t rowStride = static_cast<std::size_t>(M * block.tiles + 2) * pixelStride;
  const std::size_t pointStride = static_cast<std::size_t>(block.tiles) * pixelStride;
  for (int t = 0; t < block.tiles; ++t) {
    for (int c = 0; c < f.paddedIn; c += 8) {
      const float* corner = window + static_cast<std::size_t>(t) * M * pixelStride + c;
      Float8 rows[kSide][kSide];
      for (int r = 0; r < kSide; ++r) {
        Float8 d[kSide];
        for (int j = 0; j < kSide; ++j) d[j] = load8(corner + r * rowStride + j * pixelStride);
        Transforms<M>::input(d, rows[r]);
      }
      float* target = v + static_cast<std::size_t>(t) * pixelStride + c;
      for (int j = 0; j < kSide; ++j) {
        Float8 column[kSide], transformed[kSide];
        for (int r = 0; r < kSide; ++r) column[r] = rows[r][j];
        Transforms<M>::input(column, transformed);
        for (int i = 0; i < kSide; ++i) store8(target + (i * kSide + j) * pointStride, transformed[i]);
      }
    }
  }
}

// Output tile t = act(A^T M A + bias), the parts inside the output.
template <int M>
inline __attribute__((always_inline)) void transformOutput(const float* products, const WinogradFilter& f, const TileBlock& block, const PostOp& post,
                     float* out, Dims outDims) {
  constexpr int kSide = Transforms<M>::kSide;
  const std::size_t pointStride = static_cast<std::size_t>(block.tiles) * f.paddedOut;
  const int rowsInside = std::min(M, outDims.h - block.tileRow * M);
  for (int t = 0; t < block.tiles; ++t) {
    const int x0 = (block.firstTile + t) * M;
    const int columnsInside = std::min(M, outDims.w - x0);
    for (int c = 0; c < f.paddedOut; c += 8) {
      const float* source = products + static_cast<std::size_t>(t) * f.paddedOut + c;
      Float8 rows[kSide][M];
      for (int i = 0; i < kSide; ++i) {
        Float8 m[kSide];
        for (int j = 0; j < kSide; ++j) m[j] = load8(source + (i * kSide + j) * pointStride);
        Transforms<M>::output(m, rows[i]);
      }
      const Float8 bias = load8(f.bias.data() + c);
      for (int x = 0; x < columnsInside; ++x) {
        Float8 column[kSide], y[M];
        for (int i = 0; i < kSide; ++i) column[i] = rows[i][x];
        Transforms<M>::output(column, y);
        for (int r = 0; r < rowsInside; ++r) {
          float* target = out + (static_cast<std::size_t>(block.tileRow * M + r) * outDims.w + x0 + x) * outDims.c + c;
          finishAndStore(target, y[r] + bias, post, c, f.outC - c);
        }
      }
    }
  }
}

// Tiles handled together: enough rows for the matrix product's blocks of six, few enough that the
// transformed input and products of a block stay in the core's second-level cache.
int tilesPerBlock(const WinogradFilter& f, int side) {
  constexpr std::size_t kBudgetBytes = 256 * 1024;
  const std::size_t bytesPerTile = static_cast<std::size_t>(side) * side * (f.paddedIn + f.paddedOut) * sizeof(float);
  const int fit = static_cast<int>(kBudgetBytes / bytesPerTile);
  return std::max(6, fit / 6 * 6);
}

template <int M>
inline __attribute__((always_inline)) void convolveTileRows(const float* in, Dims inDims, const WinogradFilter& f, int padTop, int padLeft,
                                        PostOp post, float* out, Dims outDims, int rowBegin, int rowEnd) {
  constexpr int kSide = Transforms<M>::kSide;
  constexpr int kPoints = kSide * kSide;
  const int tilesAcross = (outDims.w + M - 1) / M;
  const int blockTiles = std::min(tilesPerBlock(f, kSide), tilesAcross);
  thread_local std::vector<float> window, v, products, noBias;
  noBias.assign(static_cast<std::size_t>(f.paddedOut), 0.0f);  // the bias is added with the output transform
  window.resize(static_cast<std::size_t>(kSide) * (M * blockTiles + 2) * f.paddedIn);
  v.resize(static_cast<std::size_t>(kPoints) * blockTiles * f.paddedIn);
  products.resize(static_cast<std::size_t>(kPoints) * blockTiles * f.paddedOut);
  for (int tileRow = rowBegin; tileRow < rowEnd; ++tileRow) {
    for (int first = 0; first < tilesAcross; first += blockTiles) {
      const TileBlock block{tileRow, first, std::min(blockTiles, tilesAcross - first)};
      gatherWindow<M>(in, inDims, f, padTop, padLeft, block, window.data());
      transformInput<M>(window.data(), f, block, v.data());
      for (int p = 0; p < kPoints; ++p) {
        const std::size_t point = static_cast<std::size_t>(p);
        matmulBias(v.data() + point * block.tiles * f.paddedIn, f.paddedIn, block.tiles, f.inC,
                   f.weights.data() + point * f.paddedIn * f.paddedOut, f.paddedOut, noBias.data(), f.paddedOut,
                   products.data() + point * block.tiles * f.paddedOut, f.paddedOut, Activation::None);
      }
      transformOutput<M>(products.data(), f, block, post, out, outDims);
    }
  }
}

// Built once for the baseline instruction set and once for AVX2 with FMA (see vector8.h).
KOV_VECTOR_CLONES void convolveTileRowsOf2(const float* in, Dims inDims, const WinogradFilter& f, int padTop,
                                           int padLeft, PostOp post, float* out, Dims outDims, int rowBegin, int rowEnd) {
  convolveTileRows<2>(in, inDims, f, padTop, padLeft, post, out, outDims, rowBegin, rowEnd);
}

KOV_VECTOR_CLONES void convolveTileRowsOf4(const float* in, Dims inDims, const WinogradFilter& f, int padTop,
                                           int padLeft, PostOp post, float* out, Dims outDims, int rowBegin, int rowEnd) {
  convolveTileRows<4>(in, inDims, f, padTop, padLeft, post, out, outDims, rowBegin, rowEnd);
}

// U[a][b][i][o] = (G w G^T)[a][b] of the 3x3 weights w from input channel i to output channel o,
// worked out in double precision.
template <int M>
void transformFilter(const float* weights, WinogradFilter& f) {
  constexpr int kSide = Transforms<M>::kSide;
  const auto& g = Transforms<M>::kFilter;
  for (int o = 0; o < f.outC; ++o)
    for (int i = 0; i < f.inC; ++i) {
      auto tap = [&](int ky, int kx) {
        return static_cast<double>(weights[((static_cast<std::size_t>(o) * 3 + ky) * 3 + kx) * f.inC + i]);
      };
      for (int a = 0; a < kSide; ++a)
        for (int b = 0; b < kSide; ++b) {
          double sum = 0;
          for (int ky = 0; ky < 3; ++ky)
            for (int kx = 0; kx < 3; ++kx) sum += g[a][ky] * tap(ky, kx) * g[b][kx];
          f.weights[((static_cast<std::size_t>(a) * kSide + b) * f.paddedIn + i) * f.paddedOut + o] = static_cast<float>(sum);
        }
    }
}

}  // namespace

WinogradFilter packWinogradFilter(const float* weights, int outC, int inC, const float* bias, int tile) {
  WinogradFilter f;
  f.tile = tile == 2 ? 2 : 4;
  f.inC = inC;
  f.outC = outC;
  f.paddedIn = roundUpTo8(inC);
  f.paddedOut = roundUpTo8(outC);
  const int side = f.tile + 2;
  f.weights.assign(static_cast<std::size_t>(side) * side * f.paddedIn * f.paddedOut, 0.0f);
  f.bias.assign(static_cast<std::size_t>(f.paddedOut), 0.0f);
  if (bias) std::copy(bias, bias + outC, f.bias.begin());
  if (f.tile == 2)
    transformFilter<2>(weights, f);
  else
    transformFilter<4>(weights, f);
  return f;
}

void winogradConv3x3(const float* in, Dims inDims, const WinogradFilter& f, int padTop, int padLeft,
                     StoreOp store, float* out, Dims outDims, WorkerPool& workers) {
  const int tile = f.tile;
  const int tileRows = (outDims.h + tile - 1) / tile;
  const PostOp post = postOpForStore(store, out);
  // A row of tiles holds tile * outW * outC * inC * 9 multiply-adds of direct work; a share of a
  // pool is worth it from about 2^17 of them.
  const std::size_t workPerRow = static_cast<std::size_t>(tile) * outDims.w * f.outC * f.inC * 9;
  const int minimumRows = static_cast<int>(std::max<std::size_t>(1, (std::size_t{1} << 17) / std::max<std::size_t>(workPerRow, 1)));
  workers.run(tileRows, minimumRows, [&](int begin, int end, int) {
    if (tile == 2)
      convolveTileRowsOf2(in, inDims, f, padTop, padLeft, post, out, outDims, begin, end);
    else
      convolveTileRowsOf4(in, inDims, f, padTop, padLeft, post, out, outDims, begin, end);
  });
}

bool winogradPays(int kh, int kw, const WindowGeometry& g, int inC, int outC, Dims outDims) {
  return kh == 3 && kw == 3 && g.strideH == 1 && g.strideW == 1 && g.dilationH == 1 && g.dilationW == 1 &&
         inC >= 16 && outC >= 8 && outDims.h >= 4 && outDims.w >= 4;
}

}  // namespace kov
