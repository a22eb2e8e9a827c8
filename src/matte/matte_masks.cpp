#include "matte/matte_masks.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <opencv2/imgproc.hpp>

#include "platform/neural/model_error.h"

namespace kov {
namespace {

void copyInto(const BgraView& source, BgraImage& target) {
  target.width = source.width;
  target.height = source.height;
  target.pixels.resize(static_cast<std::size_t>(source.width) * source.height * 4);
  const std::size_t row = static_cast<std::size_t>(source.width) * 4;
  for (int y = 0; y < source.height; ++y)
    std::memcpy(target.pixels.data() + y * row, source.data + static_cast<std::ptrdiff_t>(y) * source.stride, row);
}

GreyImage background(int width, int height) {
  return {width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height, 0)};
}

// Clears the mask outside the people's regions (picture pixels; the mask covers the picture at any
// resolution), so what the segmenter takes for a person away from everyone found is dropped.
void keepOnlyInside(const std::vector<cv::Rect2d>& regions, int pictureWidth, int pictureHeight, GreyImage& mask) {
  const double sx = static_cast<double>(mask.width) / pictureWidth, sy = static_cast<double>(mask.height) / pictureHeight;
  cv::Mat inside = cv::Mat::zeros(mask.height, mask.width, CV_8UC1);
  for (const cv::Rect2d& r : regions) {
    const cv::Point from(static_cast<int>(std::floor(r.x * sx)), static_cast<int>(std::floor(r.y * sy)));
    const cv::Point to(static_cast<int>(std::ceil(r.br().x * sx)), static_cast<int>(std::ceil(r.br().y * sy)));
    cv::rectangle(inside, from, to, cv::Scalar(255), cv::FILLED);
  }
  cv::Mat(mask.height, mask.width, CV_8UC1, mask.pixels.data()).setTo(0, inside == 0);
}

// The part of the picture the segmenter looks at: the people's regions and a quarter of their extent
// around them, within the picture. People small in a large picture then fill more of the model's input
// (the segmenter hardly marks people under about a third of its input's height).
constexpr double kFramingMargin = 0.25;

cv::Rect framingOf(const std::vector<cv::Rect2d>& regions, int width, int height) {
  cv::Rect2d all = regions.front();
  for (const cv::Rect2d& r : regions) all |= r;
  const double dx = all.width * kFramingMargin, dy = all.height * kFramingMargin;
  const cv::Point from(static_cast<int>(std::floor(all.x - dx)), static_cast<int>(std::floor(all.y - dy)));
  const cv::Point to(static_cast<int>(std::ceil(all.br().x + dx)), static_cast<int>(std::ceil(all.br().y + dy)));
  return cv::Rect(from, to) & cv::Rect(0, 0, width, height);
}

// The mask of the framed part placed into an all-background mask of the whole picture, at the framed
// mask's scale (at most the picture's own).
GreyImage placedInPicture(const GreyImage& framedMask, cv::Rect framing, int width, int height) {
  const double scale = std::min(1.0, static_cast<double>(framedMask.width) / framing.width);
  GreyImage mask = background(std::max(1, static_cast<int>(std::lround(width * scale))),
                              std::max(1, static_cast<int>(std::lround(height * scale))));
  const cv::Rect place = cv::Rect(static_cast<int>(std::lround(framing.x * scale)), static_cast<int>(std::lround(framing.y * scale)),
                                  std::max(1, static_cast<int>(std::lround(framing.width * scale))),
                                  std::max(1, static_cast<int>(std::lround(framing.height * scale)))) &
                         cv::Rect(0, 0, mask.width, mask.height);
  if (place.empty()) return mask;
  const cv::Mat source(framedMask.height, framedMask.width, CV_8UC1, const_cast<std::uint8_t*>(framedMask.pixels.data()));
  cv::Mat target(mask.height, mask.width, CV_8UC1, mask.pixels.data());
  cv::resize(source, target(place), place.size(), 0, 0, cv::INTER_LINEAR);
  return mask;
}

constexpr double kGateInterval = 0.5;   // seconds between checks for people in a movie
constexpr double kTimeTolerance = 0.0005;

}  // namespace

std::optional<GreyImage> pictureMask(PersonSegmenter& segmenter, MaskRefiner& refiner, const BgraView& picture,
                                     PersonDetector* gate) {
  if (!gate || !picture.data || picture.width < 1 || picture.height < 1) {
    std::optional<GreyImage> mask = segmenter.segment(picture, SegmentQuality::Accurate);
    if (!mask) return std::nullopt;
    return refiner.refine(mask->view(), picture);
  }
  const std::vector<cv::Rect2d> people = personRegions(*gate, picture);
  if (people.empty()) return background(picture.width, picture.height);
  const cv::Rect framing = framingOf(people, picture.width, picture.height);
  if (framing.empty()) return background(picture.width, picture.height);
  const BgraView framed{picture.data + static_cast<std::ptrdiff_t>(framing.y) * picture.stride + 4 * framing.x,
                        framing.width, framing.height, picture.stride};
  std::optional<GreyImage> framedMask = segmenter.segment(framed, SegmentQuality::Accurate);
  if (!framedMask) return std::nullopt;
  GreyImage mask = placedInPicture(*framedMask, framing, picture.width, picture.height);
  keepOnlyInside(people, picture.width, picture.height, mask);
  return refiner.refine(mask.view(), picture);
}

std::unique_ptr<PersonDetector> createPersonGate(std::string& error) {
  try {
    return createPersonDetector();
  } catch (const ModelError& e) {
    error = std::string(e.what()) + "\n";
  } catch (const std::bad_alloc&) {
    error = "not enough memory for the person detection model\n";
  }
  return nullptr;
}

MovieMasks::MovieMasks(PersonSegmenter& segmenter, PersonDetector* gate)
    : segmenter_(segmenter), gate_(gate), sequence_(segmenter.startSequence(SegmentQuality::Balanced)) {}

bool MovieMasks::gateVerdict(double time, const BgraView& frame) {
  if (!gate_) return true;
  if (!lastCheck_ || time >= *lastCheck_ + kGateInterval - kTimeTolerance) {
    person_ = showsPerson(*gate_, frame);
    lastCheck_ = time;
  }
  return person_;
}

MovieMasks::~MovieMasks() {
  // A refinement still running uses this object's buffers: wait for it.
  if (pending_ && pending_->refined) pending_->refined->wait();
}

std::optional<FrameMask> MovieMasks::push(double time, const BgraView& frame) {
  std::optional<GreyImage> mask =
      started_ ? sequence_->next(frame) : segmenter_.segment(frame, SegmentQuality::Accurate);
  const bool person = gateVerdict(time, frame);
  std::optional<FrameMask> previous = collect();  // the last frame's refinement ran meanwhile
  pending_ = Pending{time, std::nullopt, person};
  if (!mask) return previous;
  started_ = true;
  copyInto(frame, frame_);
  modelMask_ = std::move(*mask);
  pending_->refined = std::async(std::launch::async, [this] { return refineAndSmooth(modelMask_, frame_); });
  return previous;
}

std::optional<FrameMask> MovieMasks::finish() { return collect(); }

std::optional<FrameMask> MovieMasks::collect() {
  if (!pending_) return std::nullopt;
  FrameMask done{pending_->time, std::nullopt};
  if (pending_->refined) done.mask = pending_->refined->get();
  if (done.mask && !pending_->person) std::fill(done.mask->pixels.begin(), done.mask->pixels.end(), std::uint8_t{0});
  pending_.reset();
  return done;
}

GreyImage MovieMasks::refineAndSmooth(const GreyImage& mask, const BgraImage& frame) {
  GreyImage refined = refiner_.refine(mask.view(), frame.view());
  smoothOverTime(refined);
  return refined;
}

// Each pixel moves towards its new value by the share floor + gain * |step| / 255 of the step: an
// edge that moves (a step of 255) goes 83 % of the way at once, shimmer of a few levels is damped to a
// few percent. Chosen on a synthetic movie (bench/matte): flicker on a still person no higher than
// with the stretched model mask, a person at 300 px/s followed within a third of a frame.
void MovieMasks::smoothOverTime(GreyImage& mask) {
  constexpr float kFloor = 0.03f, kGain = 0.8f / 255.0f;
  if (state_.size() != mask.pixels.size()) {
    state_.assign(mask.pixels.begin(), mask.pixels.end());
    return;
  }
  float* __restrict state = state_.data();
  std::uint8_t* __restrict pixels = mask.pixels.data();
  for (std::size_t i = 0; i < state_.size(); ++i) {
    float step = static_cast<float>(pixels[i]) - state[i];
    state[i] += (kFloor + kGain * std::fabs(step)) * step;
    pixels[i] = static_cast<std::uint8_t>(static_cast<std::int32_t>(state[i] + 0.5f));
  }
}

}  // namespace kov
