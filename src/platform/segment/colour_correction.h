// Moves a refined person mask towards what the picture's own colours say near the person's edge:
// colour statistics of the sure person and the sure background nearby, and within a band around the
// mask's edge the pixels whose colour is clearly one or the other are pulled to it.
#pragma once

#include <opencv2/core.hpp>

#include "platform/pixels.h"

namespace kov {

struct ColourCorrectionSettings {
  int band = 7;             // half width of the band around the edge, in pixels of the reduced picture
  int reduction = 4;        // statistics are taken on the picture reduced this many times
  double certainty = 0.85;  // a colour this likely person (or background) counts as clear evidence
};

// `mask` is at the picture's size.
void correctEdgeByColour(GreyImage& mask, const BgraView& picture, ColourCorrectionSettings settings = {});
// The same with the picture already reduced (BGRA; the settings' reduction is then not used).
void correctEdgeByColour(GreyImage& mask, const BgraView& picture, const cv::Mat& reducedPicture,
                         ColourCorrectionSettings settings = {});

}  // namespace kov
