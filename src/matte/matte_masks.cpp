#include "matte/matte_masks.h"

namespace kov {

std::optional<GreyImage> pictureMask(PersonSegmenter& segmenter, MaskRefiner& refiner, const BgraView& picture) {
  std::optional<GreyImage> mask = segmenter.segment(picture, SegmentQuality::Accurate);
  if (!mask) return std::nullopt;
  return refiner.refine(mask->view(), picture);
}

MovieMasks::MovieMasks(PersonSegmenter& segmenter)
    : segmenter_(segmenter), sequence_(segmenter.startSequence(SegmentQuality::Balanced)) {}

std::optional<GreyImage> MovieMasks::next(const BgraView& frame) {
  std::optional<GreyImage> mask =
      started_ ? sequence_->next(frame) : segmenter_.segment(frame, SegmentQuality::Accurate);
  if (!mask) return std::nullopt;
  started_ = true;
  return refiner_.refine(mask->view(), frame);
}

}  // namespace kov
