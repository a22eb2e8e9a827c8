// Convolutions (plain and depthwise) run by XNNPACK's operators on the runner's float32 NHWC tensors
// of batch 1, on the calling thread. XNNPACK packs the weights when the operator is made; binding
// fixes the tensors, so a run does no planning of its own. (XNNPACK's thread pool waits for its
// helpers by spinning, which cost a pool of two 60 to 75 % more CPU time than one thread for the
// same work and fought with other runners on a busy machine; so XNNPACK gets no threads.)
#pragma once

#include <memory>

#include "platform/neural/kernels.h"

namespace kov {

// Bytes XNNPACK may read (never write) past the end of a tensor it is given.
constexpr std::size_t kXnnpackOverreadBytes = 16;

struct ConvolutionShape {
  Dims in, out;
  int kh = 1, kw = 1;
  WindowGeometry geometry;
  // Depthwise: weights [1, kh, kw, in.c * multiplier], output channel i * multiplier + m reads input
  // channel i. Otherwise weights [out.c, kh, kw, in.c].
  bool depthwise = false;
  int multiplier = 1;
};

class XnnpackConvolution {
 public:
  // Null when XNNPACK is unavailable or cannot compute this convolution exactly as the runner's own
  // kernels do (the caller then uses those). `bias` may be null.
  static std::unique_ptr<XnnpackConvolution> create(const ConvolutionShape& shape, const float* weights,
                                                    const float* bias, Activation activation);
  ~XnnpackConvolution();
  XnnpackConvolution(const XnnpackConvolution&) = delete;
  XnnpackConvolution& operator=(const XnnpackConvolution&) = delete;

  // Fixes the input (readable kXnnpackOverreadBytes past its end) and the output of every later run.
  // False when XNNPACK refuses them.
  bool bind(const float* in, float* out);

  void run();

 private:
  struct Operators;
  explicit XnnpackConvolution(std::unique_ptr<Operators> operators);

  std::unique_ptr<Operators> operators_;
};

}  // namespace kov
