// Kernels for the attention and sequence parts of a graph (a text recogniser's neck and head):
// tensors here are plain row-major arrays of their logical shape, not pictures. Each kernel trusts
// its arguments; GraphRunner checks every extent against the buffers when it loads a model.
#pragma once

#include <array>
#include <cstddef>

namespace kov {

// Reorders the axes of a row-major tensor of up to four dimensions: output axis d is input axis
// perm[d]. `inShape` has ones in front for fewer dimensions.
void transposeAxes(const float* in, const std::array<int, 4>& inShape, const std::array<int, 4>& perm, float* out);

// `batches` independent products c = a x b of a [rows x depth] and b [depth x cols], each stored
// one after the other.
void batchMatmul(const float* a, const float* b, int batches, int rows, int depth, int cols, float* c);

// Softmax over every run of `inner` consecutive values (`count` values in all).
void softmaxRuns(const float* in, float* out, std::size_t count, std::size_t inner);

// The mean of every run of `inner` consecutive values: count / inner results.
void meanOfRuns(const float* in, float* out, std::size_t count, std::size_t inner);

// A window of one axis: the input is `outer` blocks of `inExtent` x `inner` values; the output
// keeps `outExtent` x `inner` values of each, from `start` x `inner` on.
void sliceAxis(const float* in, std::size_t outer, int inExtent, int start, int outExtent, std::size_t inner,
               float* out);

// out = in ^ exponent (a square when the exponent is 2), and out = sqrt(in).
void powerOf(const float* in, float* out, std::size_t count, float exponent);
void squareRoot(const float* in, float* out, std::size_t count);

// out = in op value for a single constant value (on its right when `valueFirst` is false); the
// common case of an element-wise step, without the broadcasting index work.
enum class ScalarOp { Add, Mul, Sub, Div };
void scalarBinary(ScalarOp op, const float* in, float value, bool valueFirst, float* out, std::size_t count);

}  // namespace kov
