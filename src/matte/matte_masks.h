// The masks that both forms of `matte` write: the segmenter's low-resolution mask refined against the
// picture itself, so the edges sit on the picture's own edges at its full resolution.
#pragma once

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/pixels.h"
#include "platform/segment/mask_refiner.h"
#include "platform/segment/person_segmenter.h"
#include "platform/vision/person_detector.h"

namespace kov {

// The refinement of a single picture: less regularisation than a movie's default lets the mask follow
// weaker colour edges (edge-band error 0.145 -> 0.139 on the quality bench's composites); in a movie
// it would turn sensor noise into flicker (0.25 -> 0.81 on a still, noisy group).
inline RefinerSettings pictureRefinement() {
  RefinerSettings settings;
  settings.epsilon = 1e-4f;
  return settings;
}

// The segmenter's mask of a picture with the band along its edge labelled anew by the picture's
// colours, at the size of `reducedPicture` (the refiner's reduced copy of the picture), to be refined.
GreyImage labelPictureEdgeByColour(const GreyImage& mask, const cv::Mat& reducedPicture);

// A picture's refined mask (at the picture's size) with its edge band corrected by the picture's
// colours; `reducedPicture` is the refiner's reduced copy of the picture.
void correctPictureEdgeByColour(GreyImage& mask, const BgraView& picture, const cv::Mat& reducedPicture);

// The mask of one picture at the picture's size (accurate level); none when the segmenter gives none.
// With a `gate`, the mask is kept only within the body squares of the people it finds, and a picture
// in which it finds nobody gets an all-background mask: the segmenter also marks animals, statues and
// furniture. `gateInput`, when given, is the gate's input made ahead for this picture.
std::optional<GreyImage> pictureMask(PersonSegmenter& segmenter, MaskRefiner& refiner, const BgraView& picture,
                                     PersonDetector* gate = nullptr, const PersonDetectorInput* gateInput = nullptr);

// One frame's result: its time and its mask, or none when the segmenter gave none.
struct FrameMask {
  double time = 0;
  std::optional<GreyImage> mask;
};

// The masks of a movie's frames, in order, each at its frame's size. The first frame that yields a
// mask is segmented at the accurate level on its own, later ones at the balanced level through one
// sequence that smooths them over time. The refined masks are smoothed over time once more at full
// size: the refinement follows the frame's own pixels, so sensor noise would make edges shimmer.
//
// A frame's refinement runs on a thread of its own while the model works on the next frame, so the
// results come one frame late: `push` hands back the frame before the one pushed, `finish` the last.
//
// With a `gate`, the first frame and then one frame every half second are checked for people, and
// frames are all background while the last check found none (the masks are still computed, so the
// smoothing over time goes on undisturbed).
class MovieMasks {
 public:
  explicit MovieMasks(PersonSegmenter& segmenter, PersonDetector* gate = nullptr);
  ~MovieMasks();
  MovieMasks(const MovieMasks&) = delete;
  MovieMasks& operator=(const MovieMasks&) = delete;

  // `owner`, when given, keeps the frame's pixels valid for as long as it is held (a decoder's
  // frame that owns its copy); the frame is then refined where it is instead of being copied first.
  std::optional<FrameMask> push(double time, const BgraView& frame, std::shared_ptr<const void> owner = nullptr);
  std::optional<FrameMask> finish();

 private:
  struct Pending {
    double time = 0;
    std::optional<std::future<GreyImage>> refined;  // none when the segmenter gave no mask
    bool person = true;                              // the gate's last verdict
  };

  bool gateVerdict(double time, const BgraView& frame);

  std::optional<FrameMask> collect();
  GreyImage refineAndSmooth(const GreyImage& mask, const BgraView& frame);
  void smoothOverTime(GreyImage& mask);

  PersonSegmenter& segmenter_;
  PersonDetector* gate_;
  std::optional<double> lastCheck_;
  bool person_ = true;
  std::unique_ptr<SequenceSegmenter> sequence_;
  bool started_ = false;
  std::optional<Pending> pending_;
  // The frame being refined and its model mask. Without an owner the frame is copied (the decoder
  // reuses its buffer); the next frame's copy is made only after that refinement has been collected.
  BgraImage frameCopy_;
  std::shared_ptr<const void> frameOwner_;
  BgraView frame_;
  GreyImage modelMask_;
  // Used only by the refining thread, one frame at a time.
  MaskRefiner refiner_;
  std::vector<float> state_;  // the smoothed mask, 0..255
};

}  // namespace kov
