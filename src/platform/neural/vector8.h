// Eight-float vectors and the store-time activations the runner's kernels share. Plain GCC vector
// extensions: the compiler turns them into AVX registers where the build or a clone allows.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "platform/neural/tflite_model.h"

// The hot loops are built twice on x86-64: for the baseline instruction set and for AVX2 with FMA,
// picked at load time by the CPU, so the binary still runs everywhere.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define KOV_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define KOV_VECTOR_CLONES
#endif

namespace kov {

typedef float Float8 __attribute__((vector_size(32)));

inline __attribute__((always_inline)) Float8 load8(const float* p) {
  Float8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline __attribute__((always_inline)) void store8(float* p, Float8 v) { std::memcpy(p, &v, sizeof v); }

inline __attribute__((always_inline)) Float8 splat8(float x) { return Float8{x, x, x, x, x, x, x, x}; }

// What happens to a value before it is stored: a clamp, then optionally hard-swish, then
// value * scale + shift. Kernels that store through finishAndStore also apply, in this order, the
// addition of the value at the same place in another tensor (`residual` values past the target),
// a second clamp, PReLU by one slope per channel, and the logistic function: each saves a pass
// over the tensor.
struct PostOp {
  float low;
  float high;
  bool hardSwish;
  float scale = 1.0f;
  float shift = 0.0f;
  bool residual = false;
  std::ptrdiff_t residualOffset = 0;
  bool clampAfter = false;
  float lowAfter = 0.0f, highAfter = 0.0f;
  const float* slopes = nullptr;  // one a channel, readable up to a multiple of 8
  bool logistic = false;
};

inline PostOp postOpFor(Activation activation, float scale = 1.0f, float shift = 0.0f) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  switch (activation) {
    case Activation::Relu: return {0.0f, kInf, false, scale, shift};
    case Activation::Relu6: return {0.0f, 6.0f, false, scale, shift};
    case Activation::ReluN1To1: return {-1.0f, 1.0f, false, scale, shift};
    case Activation::HardSwish: return {-kInf, kInf, true, scale, shift};
    case Activation::None: break;
  }
  return {-kInf, kInf, false, scale, shift};
}

inline __attribute__((always_inline)) float hardSwishValue(float x) {
  return x * std::min(std::max(x + 3.0f, 0.0f), 6.0f) * (1.0f / 6.0f);
}

inline __attribute__((always_inline)) Float8 clamp8(Float8 v, Float8 low, Float8 high) {
  v = v < low ? low : v;
  return v > high ? high : v;
}

inline __attribute__((always_inline)) Float8 finish8(Float8 v, const PostOp& post) {
  v = clamp8(v, splat8(post.low), splat8(post.high));
  if (post.hardSwish) v = v * clamp8(v + splat8(3.0f), splat8(0.0f), splat8(6.0f)) * splat8(1.0f / 6.0f);
  return v * splat8(post.scale) + splat8(post.shift);
}

inline __attribute__((always_inline)) float finish1(float v, const PostOp& post) {
  v = std::min(std::max(v, post.low), post.high);
  return (post.hardSwish ? hardSwishValue(v) : v) * post.scale + post.shift;
}

// Loads the first `count` lanes of a vector, the rest zero.
inline __attribute__((always_inline)) Float8 loadPart(const float* p, int count) {
  if (count >= 8) return load8(p);
  float lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::memcpy(lanes, p, static_cast<std::size_t>(count) * sizeof(float));
  return load8(lanes);
}

// Stores the first `count` lanes of a vector.
inline __attribute__((always_inline)) void storePart(float* p, Float8 v, int count) {
  if (count >= 8) {
    store8(p, v);
    return;
  }
  float lanes[8];
  store8(lanes, v);
  std::memcpy(p, lanes, static_cast<std::size_t>(count) * sizeof(float));
}

// The exact operations of the separate steps (the same formulas as their kernels), so a merged
// store gives the same values.
inline __attribute__((always_inline)) Float8 preluOf8(Float8 v, Float8 slopes) {
  const Float8 zero = splat8(0.0f);
  return (v < zero ? zero : v) + (zero < v ? zero : v) * slopes;
}

inline __attribute__((always_inline)) float logisticValue(float x) { return 1.0f / (1.0f + std::exp(-x)); }

// finish8, then what only a kernel that knows where the values go can apply; stores the first
// `count` lanes at `target`, whose first value is of channel `channel`.
inline __attribute__((always_inline)) void finishAndStore(float* target, Float8 v, const PostOp& post, int channel,
                                                          int count) {
  v = finish8(v, post);
  if (post.residual) v += loadPart(target + post.residualOffset, count);
  if (post.clampAfter) v = clamp8(v, splat8(post.lowAfter), splat8(post.highAfter));
  if (post.slopes) v = preluOf8(v, load8(post.slopes + channel));
  if (post.logistic) {  // only the lanes stored: a narrow output stores one or two a vector
    float lanes[8];
    store8(lanes, v);
    const int stored = std::min(count, 8);
    for (int i = 0; i < stored; ++i) target[i] = logisticValue(lanes[i]);
    return;
  }
  storePart(target, v, count);
}

}  // namespace kov
