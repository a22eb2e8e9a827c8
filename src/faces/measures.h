// Measurements of one detected face: mouth openness, lip gap, the picture band around it, and its
// pooled face print.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "platform/pixels.h"
#include "platform/vision/vision.h"

namespace kov {

// Inner lips' height over their width, 0..2; 0 without at least 4 inner-lip points.
double mouthOpenness(const FaceObservation& face);

// Inner lips' height in face-box units, 0..0.5; 0 without at least 4 inner-lip points.
double lipGap(const FaceObservation& face);

// The rows (top, bottom), as fractions of the frame height from the top, between the dark bands
// (letterbox bars) above and below the face's centre; (0, 1) when there are none or the luma plane
// cannot be read.
std::pair<double, double> pictureBand(const GreyView& luma, const NormBox& face);

// The region a print describes: twice the face's width and 2.2 times its height, reaching 0.3 of
// the face height above it and 0.9 below it.
NormBox printRegion(const NormBox& face);

// `size` values pooled from a raw feature vector, mean-centred, scaled to unit length and rounded
// to three decimals; none when the raw vector is shorter than `size` or has no spread.
std::optional<std::vector<float>> poolPrint(const std::vector<float>& raw, int size);

// The face print of `face` on the frame of `requests`; none when the clipped region is too small
// or the request gives no usable vector.
std::optional<std::vector<float>> facePrint(FrameRequests& requests, const NormBox& face, int size);

}  // namespace kov
