#include "platform/segment/person_segmenter.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <system_error>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "platform/segment/area_shrink.h"
#include "platform/segment/embedded_models.h"
#include "platform/neural/graph_runner.h"
#include "platform/neural/model_error.h"

namespace kov {
namespace {

// Pictures at least this much wider than tall use the landscape model at the balanced level: from
// 3:2 on the 144 x 256 input keeps most of the detail of the square one at about half the work.
constexpr double kLandscapeAspect = 1.5;

// Temporal smoothing: each pixel moves towards its new probability by the share
// min(1, kSmoothingFloor + kSmoothingGain * |step|) of the step. Steps of 0.4 or more (something
// moved) pass at once; small ones (sensor and compression noise) are damped to a fifth.
constexpr float kSmoothingFloor = 0.2f;
constexpr float kSmoothingGain = 2.0f;

// Where the picture sits inside the model's input: scaled to fit, centred, black around it.
struct Letterbox {
  int width = 1, height = 1;
  int left = 0, top = 0;
};

Letterbox fitInto(int pictureWidth, int pictureHeight, Dims model) {
  double scale = std::min(static_cast<double>(model.w) / pictureWidth, static_cast<double>(model.h) / pictureHeight);
  Letterbox box;
  box.width = std::clamp(static_cast<int>(std::lround(pictureWidth * scale)), 1, model.w);
  box.height = std::clamp(static_cast<int>(std::lround(pictureHeight * scale)), 1, model.h);
  box.left = (model.w - box.width) / 2;
  box.top = (model.h - box.height) / 2;
  return box;
}

// A picture scaled to fit a model's input, and where it sits there.
struct ScaledPicture {
  cv::Mat pixels;  // BGRA, box.width x box.height
  Letterbox box;
};

// A probability plane over the picture's extent at the model's resolution.
struct Probabilities {
  int width = 0, height = 0;
  std::vector<float> values;
};

GreyImage toMask(const Probabilities& p) {
  GreyImage mask;
  mask.width = p.width;
  mask.height = p.height;
  mask.pixels.resize(p.values.size());
  for (std::size_t i = 0; i < p.values.size(); ++i)
    mask.pixels[i] = static_cast<std::uint8_t>(std::lround(std::clamp(p.values[i], 0.0f, 1.0f) * 255.0f));
  return mask;
}

class ModelSlot {
 public:
  ModelSlot(std::span<const std::uint8_t> bytes, const std::string& name, std::shared_ptr<WorkerPool> workers)
      : runner_(readModel(bytes, name), std::move(workers)) {
    Dims in = runner_.inputDims(), out = runner_.outputDims();
    if (in.c != 3) throw ModelError(name + ": the input does not have 3 colour channels");
    if (out.h != in.h || out.w != in.w || out.c != 1)
      throw ModelError(name + ": the output is not one probability per input pixel");
  }

  Dims inputDims() const { return runner_.inputDims(); }

  // The picture scaled into this model's letterbox (a model of the same input size can use it too).
  ScaledPicture scaled(const BgraView& picture) const {
    ScaledPicture result;
    result.box = fitInto(picture.width, picture.height, runner_.inputDims());
    cv::Mat source(picture.height, picture.width, CV_8UC4, const_cast<std::uint8_t*>(picture.data),
                   static_cast<std::size_t>(picture.stride));
    const cv::Size size(result.box.width, result.box.height);
    if (size.width < picture.width || size.height < picture.height)
      shrinkByArea(source, size, result.pixels);
    else
      cv::resize(source, result.pixels, size, 0, 0, cv::INTER_LINEAR);
    return result;
  }

  Probabilities run(const BgraView& picture) { return run(scaled(picture), false); }

  // With `mirrored` the model sees the picture flipped left to right; the result is flipped back.
  Probabilities run(const ScaledPicture& picture, bool mirrored) {
    Dims dims = runner_.inputDims();
    const Letterbox& box = picture.box;
    fillInput(picture, dims, mirrored);
    const float* out = runner_.run();
    Probabilities p;
    p.width = box.width;
    p.height = box.height;
    p.values.resize(static_cast<std::size_t>(box.width) * box.height);
    for (int y = 0; y < box.height; ++y) {
      const float* row = out + static_cast<std::size_t>(box.top + y) * dims.w + box.left;
      auto target = p.values.begin() + static_cast<std::ptrdiff_t>(y) * box.width;
      if (mirrored)
        std::reverse_copy(row, row + box.width, target);
      else
        std::copy_n(row, box.width, target);
    }
    return p;
  }

 private:
  // RGB in 0..1 from the scaled picture (read right to left when mirrored); transparent parts count
  // as black.
  void fillInput(const ScaledPicture& picture, Dims dims, bool mirrored) {
    const Letterbox& box = picture.box;
    float* input = runner_.input();
    std::fill(input, input + dims.size(), 0.0f);
    constexpr float kScale = 1.0f / (255.0f * 255.0f);
    for (int y = 0; y < box.height; ++y) {
      const std::uint8_t* row = picture.pixels.ptr<std::uint8_t>(y);
      float* rgb = input + (static_cast<std::size_t>(box.top + y) * dims.w + box.left) * 3;
      for (int x = 0; x < box.width; ++x, rgb += 3) {
        const std::uint8_t* bgra = row + 4 * (mirrored ? box.width - 1 - x : x);
        float alpha = static_cast<float>(bgra[3]) * kScale;
        rgb[0] = static_cast<float>(bgra[2]) * alpha;
        rgb[1] = static_cast<float>(bgra[1]) * alpha;
        rgb[2] = static_cast<float>(bgra[0]) * alpha;
      }
    }
  }

  GraphRunner runner_;
};

class SelfieSegmenter;

class SmoothedSequence : public SequenceSegmenter {
 public:
  SmoothedSequence(SelfieSegmenter& owner, SegmentQuality quality, bool smooth)
      : owner_(owner), quality_(quality), smooth_(smooth) {}

  std::optional<GreyImage> next(const BgraView& frame) override;

 private:
  void blendIntoState(const Probabilities& fresh);

  SelfieSegmenter& owner_;
  SegmentQuality quality_;
  bool smooth_;
  Probabilities state_;
};

class SelfieSegmenter : public PersonSegmenter {
 public:
  SelfieSegmenter()
      : workers_(std::make_shared<WorkerPool>(inferenceThreads())),
        square_(squareSegmentationModel(), kSquareName, workers_),
        mirrorSquare_(squareSegmentationModel(), kSquareName, std::make_shared<WorkerPool>(1)),
        landscape_(landscapeSegmentationModel(), "built-in model selfie_segmentation_landscape.tflite", workers_) {}

  std::optional<GreyImage> segment(const BgraView& picture, SegmentQuality quality) override {
    std::optional<Probabilities> p = probabilities(picture, quality);
    if (!p) return std::nullopt;
    return toMask(*p);
  }

  std::unique_ptr<SequenceSegmenter> startSequence(SegmentQuality quality, bool smoothOverTime) override {
    return std::make_unique<SmoothedSequence>(*this, quality, smoothOverTime);
  }

  std::optional<Probabilities> probabilities(const BgraView& picture, SegmentQuality quality) {
    if (!picture.data || picture.width < 1 || picture.height < 1) return std::nullopt;
    if (quality == SegmentQuality::Accurate) return averagedWithMirror(picture);
    return modelFor(picture, quality).run(picture);
  }

 private:
  // The model's errors are not symmetric: what it misses or adds on one side of a person it often
  // gets right on the mirror image, so the mean of both is the better mask (on composites of the
  // sample photos' people: worst IoU 0.79 -> 0.83, bench/matte).
  //
  // The two runs are independent, and a run of these small models keeps hardly more than one core
  // busy, so the mirror image is segmented on a thread of its own by a second runner of the model at
  // the same time (one after the other when no thread can be started). The picture is scaled to the
  // model's input once for both.
  Probabilities averagedWithMirror(const BgraView& picture) {
    const ScaledPicture scaled = square_.scaled(picture);  // the same for both runs
    std::future<Probabilities> mirroring;
    try {
      mirroring = std::async(std::launch::async, [this, &scaled] { return mirrorSquare_.run(scaled, true); });
    } catch (const std::system_error&) {
    }
    Probabilities p = square_.run(scaled, false);
    Probabilities mirrored = mirroring.valid() ? mirroring.get() : mirrorSquare_.run(scaled, true);
    for (std::size_t i = 0; i < p.values.size(); ++i) p.values[i] = 0.5f * (p.values[i] + mirrored.values[i]);
    return p;
  }

  ModelSlot& modelFor(const BgraView& picture, SegmentQuality quality) {
    bool wide = static_cast<double>(picture.width) >= kLandscapeAspect * picture.height;
    return quality == SegmentQuality::Balanced && wide ? landscape_ : square_;
  }

  static constexpr const char* kSquareName = "built-in model selfie_segmentation.tflite";

  std::shared_ptr<WorkerPool> workers_;
  ModelSlot square_;
  ModelSlot mirrorSquare_;  // the mirror image's runs, on a thread of their own with one-thread runs
  ModelSlot landscape_;
};

std::optional<GreyImage> SmoothedSequence::next(const BgraView& frame) {
  std::optional<Probabilities> fresh = owner_.probabilities(frame, quality_);
  if (!fresh) return std::nullopt;
  if (smooth_ && state_.width == fresh->width && state_.height == fresh->height)
    blendIntoState(*fresh);
  else
    state_ = std::move(*fresh);
  return toMask(state_);
}

void SmoothedSequence::blendIntoState(const Probabilities& fresh) {
  for (std::size_t i = 0; i < state_.values.size(); ++i) {
    float step = fresh.values[i] - state_.values[i];
    float rate = std::min(1.0f, kSmoothingFloor + kSmoothingGain * std::fabs(step));
    state_.values[i] += rate * step;
  }
}

}  // namespace

std::unique_ptr<PersonSegmenter> createPersonSegmenter(std::string& error) {
  return loadedOrNone([]() -> std::unique_ptr<PersonSegmenter> { return std::make_unique<SelfieSegmenter>(); },
                      "the segmentation models", error);
}

}  // namespace kov
