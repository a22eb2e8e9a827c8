// The masks that both forms of `matte` write: the segmenter's low-resolution mask refined against the
// picture itself, so the edges sit on the picture's own edges at its full resolution.
#pragma once

#include <memory>
#include <optional>

#include "platform/pixels.h"
#include "platform/segment/mask_refiner.h"
#include "platform/segment/person_segmenter.h"

namespace kov {

// The mask of one picture at the picture's size (accurate level); none when the segmenter gives none.
std::optional<GreyImage> pictureMask(PersonSegmenter& segmenter, MaskRefiner& refiner, const BgraView& picture);

// The masks of a movie's frames, in order, each at its frame's size. The first frame that yields a
// mask is segmented at the accurate level on its own, later ones at the balanced level through one
// sequence that smooths them over time.
class MovieMasks {
 public:
  explicit MovieMasks(PersonSegmenter& segmenter);

  // None when the segmenter gives no mask for the frame.
  std::optional<GreyImage> next(const BgraView& frame);

 private:
  PersonSegmenter& segmenter_;
  std::unique_ptr<SequenceSegmenter> sequence_;
  MaskRefiner refiner_;
  bool started_ = false;
};

}  // namespace kov
