#include "platform/neural/sequence_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kov {

void transposeAxes(const float* in, const std::array<int, 4>& inShape, const std::array<int, 4>& perm, float* out) {
  std::array<std::size_t, 4> inStride{};
  std::size_t stride = 1;
  for (int d = 3; d >= 0; --d) {
    inStride[static_cast<std::size_t>(d)] = stride;
    stride *= static_cast<std::size_t>(inShape[static_cast<std::size_t>(d)]);
  }
  std::array<int, 4> outShape{};
  std::array<std::size_t, 4> step{};  // input stride of each output axis
  for (std::size_t d = 0; d < 4; ++d) {
    outShape[d] = inShape[static_cast<std::size_t>(perm[d])];
    step[d] = inStride[static_cast<std::size_t>(perm[d])];
  }
  for (int a = 0; a < outShape[0]; ++a)
    for (int b = 0; b < outShape[1]; ++b)
      for (int c = 0; c < outShape[2]; ++c) {
        const float* from = in + a * step[0] + b * step[1] + c * step[2];
        if (step[3] == 1) {
          std::memcpy(out, from, static_cast<std::size_t>(outShape[3]) * sizeof(float));
          out += outShape[3];
        } else {
          for (int d = 0; d < outShape[3]; ++d) *out++ = from[d * step[3]];
        }
      }
}

void batchMatmul(const float* a, const float* b, int batches, int rows, int depth, int cols, float* c) {
  const std::size_t aSize = static_cast<std::size_t>(rows) * depth, bSize = static_cast<std::size_t>(depth) * cols,
                    cSize = static_cast<std::size_t>(rows) * cols;
  for (int n = 0; n < batches; ++n, a += aSize, b += bSize, c += cSize) {
    std::fill(c, c + cSize, 0.0f);
    for (int r = 0; r < rows; ++r) {
      float* row = c + static_cast<std::size_t>(r) * cols;
      for (int k = 0; k < depth; ++k) {
        const float x = a[static_cast<std::size_t>(r) * depth + k];
        const float* bRow = b + static_cast<std::size_t>(k) * cols;
        for (int j = 0; j < cols; ++j) row[j] += x * bRow[j];
      }
    }
  }
}

void softmaxRuns(const float* in, float* out, std::size_t count, std::size_t inner) {
  for (std::size_t start = 0; start + inner <= count; start += inner) {
    const float* x = in + start;
    float* y = out + start;
    const float top = *std::max_element(x, x + inner);
    float sum = 0;
    for (std::size_t i = 0; i < inner; ++i) sum += y[i] = std::exp(x[i] - top);
    const float scale = 1.0f / sum;
    for (std::size_t i = 0; i < inner; ++i) y[i] *= scale;
  }
}

void meanOfRuns(const float* in, float* out, std::size_t count, std::size_t inner) {
  for (std::size_t start = 0; start + inner <= count; start += inner) {
    double sum = 0;
    for (std::size_t i = 0; i < inner; ++i) sum += in[start + i];
    *out++ = static_cast<float>(sum / static_cast<double>(inner));
  }
}

void sliceAxis(const float* in, std::size_t outer, int inExtent, int start, int outExtent, std::size_t inner,
               float* out) {
  const std::size_t inBlock = static_cast<std::size_t>(inExtent) * inner, outBlock = static_cast<std::size_t>(outExtent) * inner;
  for (std::size_t o = 0; o < outer; ++o)
    std::memcpy(out + o * outBlock, in + o * inBlock + static_cast<std::size_t>(start) * inner, outBlock * sizeof(float));
}

void powerOf(const float* in, float* out, std::size_t count, float exponent) {
  if (exponent == 2.0f) {
    for (std::size_t i = 0; i < count; ++i) out[i] = in[i] * in[i];
    return;
  }
  for (std::size_t i = 0; i < count; ++i) out[i] = std::pow(in[i], exponent);
}

void squareRoot(const float* in, float* out, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) out[i] = std::sqrt(in[i]);
}

void scalarBinary(ScalarOp op, const float* in, float value, bool valueFirst, float* out, std::size_t count) {
  switch (op) {
    case ScalarOp::Add:
      for (std::size_t i = 0; i < count; ++i) out[i] = in[i] + value;
      break;
    case ScalarOp::Mul:
      for (std::size_t i = 0; i < count; ++i) out[i] = in[i] * value;
      break;
    case ScalarOp::Sub:
      if (valueFirst)
        for (std::size_t i = 0; i < count; ++i) out[i] = value - in[i];
      else
        for (std::size_t i = 0; i < count; ++i) out[i] = in[i] - value;
      break;
    case ScalarOp::Div:
      if (valueFirst)
        for (std::size_t i = 0; i < count; ++i) out[i] = value / in[i];
      else
        for (std::size_t i = 0; i < count; ++i) out[i] = in[i] / value;
      break;
  }
}

}  // namespace kov
