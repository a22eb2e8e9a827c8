#include "platform/neural/xnnpack_convolution.h"

#include <xnnpack.h>

#include <limits>

#include "platform/neural/model_error.h"

namespace kov {
namespace {

bool xnnpackReady() {
  static const bool ready = xnn_initialize(nullptr) == xnn_status_success;
  return ready;
}

// Padding after the last element along one axis: what the window needs to produce `output` values,
// never more (an explicit padding that overshoots adds nothing the runner computes).
int paddingAfter(int input, int kernel, int stride, int dilation, int before, int output) {
  const int effective = (kernel - 1) * dilation + 1;
  return std::max((output - 1) * stride + effective - input - before, 0);
}

int outputExtent(int input, int before, int after, int kernel, int stride, int dilation) {
  const int effective = (kernel - 1) * dilation + 1;
  return (input + before + after - effective) / stride + 1;
}

struct ClampRange {
  float low, high;
};

ClampRange clampFor(Activation activation) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  switch (activation) {
    case Activation::Relu: return {0.0f, kInf};
    case Activation::Relu6: return {0.0f, 6.0f};
    case Activation::ReluN1To1: return {-1.0f, 1.0f};
    case Activation::HardSwish:
    case Activation::None: break;
  }
  return {-kInf, kInf};
}

}  // namespace

struct XnnpackConvolution::Operators {
  xnn_operator_t convolution = nullptr;
  xnn_operator_t hardSwish = nullptr;  // applied to the output in place, when fused
  Dims in, out;

  ~Operators() {
    if (convolution) xnn_delete_operator(convolution);
    if (hardSwish) xnn_delete_operator(hardSwish);
  }
};

XnnpackConvolution::XnnpackConvolution(std::unique_ptr<Operators> operators) : operators_(std::move(operators)) {}

XnnpackConvolution::~XnnpackConvolution() = default;

std::unique_ptr<XnnpackConvolution> XnnpackConvolution::create(const ConvolutionShape& shape, const float* weights,
                                                               const float* bias, Activation activation) {
  if (!xnnpackReady()) return nullptr;
  const WindowGeometry& g = shape.geometry;
  const int padBottom = paddingAfter(shape.in.h, shape.kh, g.strideH, g.dilationH, g.padTop, shape.out.h);
  const int padRight = paddingAfter(shape.in.w, shape.kw, g.strideW, g.dilationW, g.padLeft, shape.out.w);
  if (outputExtent(shape.in.h, g.padTop, padBottom, shape.kh, g.strideH, g.dilationH) != shape.out.h ||
      outputExtent(shape.in.w, g.padLeft, padRight, shape.kw, g.strideW, g.dilationW) != shape.out.w)
    return nullptr;
  const std::size_t groups = shape.depthwise ? static_cast<std::size_t>(shape.in.c) : 1;
  const std::size_t groupIn = shape.depthwise ? 1 : static_cast<std::size_t>(shape.in.c);
  const std::size_t groupOut = shape.depthwise ? static_cast<std::size_t>(shape.multiplier)
                                               : static_cast<std::size_t>(shape.out.c);
  const ClampRange clamp = clampFor(activation);
  auto operators = std::make_unique<Operators>();
  operators->in = shape.in;
  operators->out = shape.out;
  if (xnn_create_convolution2d_nhwc_f32(
          static_cast<std::uint32_t>(g.padTop), static_cast<std::uint32_t>(padRight),
          static_cast<std::uint32_t>(padBottom), static_cast<std::uint32_t>(g.padLeft),
          static_cast<std::uint32_t>(shape.kh), static_cast<std::uint32_t>(shape.kw),
          static_cast<std::uint32_t>(g.strideH), static_cast<std::uint32_t>(g.strideW),
          static_cast<std::uint32_t>(g.dilationH), static_cast<std::uint32_t>(g.dilationW),
          static_cast<std::uint32_t>(groups), groupIn, groupOut, static_cast<std::size_t>(shape.in.c),
          static_cast<std::size_t>(shape.out.c), weights, bias, clamp.low, clamp.high,
          (shape.depthwise ? XNN_FLAG_DEPTHWISE_CONVOLUTION : 0),
          &operators->convolution) != xnn_status_success)
    return nullptr;
  if (activation == Activation::HardSwish) {
    const auto channels = static_cast<std::size_t>(shape.out.c);
    if (xnn_create_hardswish_nc_f32(channels, channels, channels, 0, &operators->hardSwish) != xnn_status_success)
      return nullptr;
  }
  return std::unique_ptr<XnnpackConvolution>(new XnnpackConvolution(std::move(operators)));
}

bool XnnpackConvolution::bind(const float* in, float* out) {
  Operators& ops = *operators_;
  if (xnn_setup_convolution2d_nhwc_f32(ops.convolution, 1, static_cast<std::size_t>(ops.in.h),
                                       static_cast<std::size_t>(ops.in.w), in, out, nullptr) != xnn_status_success)
    return false;
  if (ops.hardSwish) {
    const auto pixels = static_cast<std::size_t>(ops.out.h) * static_cast<std::size_t>(ops.out.w);
    if (xnn_setup_hardswish_nc_f32(ops.hardSwish, pixels, out, out, nullptr) != xnn_status_success) return false;
  }
  return true;
}

void XnnpackConvolution::run() {
  bool done = xnn_run_operator(operators_->convolution, nullptr) == xnn_status_success;
  if (done && operators_->hardSwish) done = xnn_run_operator(operators_->hardSwish, nullptr) == xnn_status_success;
  if (!done) throw ModelError("XNNPACK could not run a convolution it had accepted");
}

}  // namespace kov
