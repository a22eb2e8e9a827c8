// Eight-float vectors and the store-time activations the runner's kernels share. Plain GCC vector
// extensions: the compiler turns them into AVX registers where the build or a clone allows.
#pragma once

#include <algorithm>
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
// value * scale + shift.
struct PostOp {
  float low;
  float high;
  bool hardSwish;
  float scale = 1.0f;
  float shift = 0.0f;
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

}  // namespace kov
