// Person segmentation with the selfie-segmentation models built into the tool. A mask has one byte
// per pixel, 128 and above meaning person, at the model's resolution over the picture's extent
// (its aspect ratio is the picture's, up to rounding).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/pixels.h"

namespace kov {

enum class SegmentQuality {
  Accurate,  // the square model on the whole picture, letterboxed, and on its mirror image, averaged
  Balanced,  // the model that fits the picture's shape: the landscape one for wide pictures
};

// Frames of one video, in order. Probabilities are smoothed over time, so a still scene gives a
// steady mask while moving edges follow within a frame or two.
class SequenceSegmenter {
 public:
  virtual ~SequenceSegmenter() = default;
  // No value for an empty frame.
  virtual std::optional<GreyImage> next(const BgraView& frame) = 0;
};

class PersonSegmenter {
 public:
  virtual ~PersonSegmenter() = default;

  // One picture on its own. No value for an empty picture.
  virtual std::optional<GreyImage> segment(const BgraView& picture, SegmentQuality quality) = 0;

  // A sequence at the given quality; it shares this segmenter's models and must not outlive it.
  // Without smoothing every frame is segmented on its own (for measuring what smoothing removes).
  virtual std::unique_ptr<SequenceSegmenter> startSequence(SegmentQuality quality, bool smoothOverTime = true) = 0;
};

// Loads the built-in models. On failure returns none and sets `error` to a one-line message.
std::unique_ptr<PersonSegmenter> createPersonSegmenter(std::string& error);

}  // namespace kov
