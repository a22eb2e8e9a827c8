// Decides the band along a person mask's edge anew from the picture's colours, at a reduced
// resolution: the colours of the person and of the background near the edge are counted, each pixel
// of the band weighs the evidence of its colour against the mask's own, and neighbours of similar
// colour are drawn to the same side, so whole patches of background the mask took in (or of person
// it left out) change side together rather than pixel by pixel. (A few rounds of mean-field
// smoothing under a contrast-sensitive neighbour term: what a graph cut of the band would decide,
// at a small part of its cost.)
#pragma once

#include <opencv2/core.hpp>

namespace kov {

struct BandLabelSettings {
  int band = 8;                  // half width of the band around the mask's edge, in pixels
  int reach = 3;                 // colours are counted within this many band widths of the edge
  int rounds = 4;                // of smoothing
  float neighbourWeight = 1.5f;  // pull of a neighbour of the same colour, against the evidence of colour
  float maskWeight = 2.0f;       // weight of the mask's own log-odds
  float contrast = 0.002f;       // a neighbour's pull falls off as exp(-contrast * squared colour distance)
  float evidenceLimit = 4;       // bound on a colour's log-likelihood ratio
};

// `picture` is BGRA, `mask` 8-bit of the same size (128 and above: person). Returns a mask of that
// size: in the band the person's probability (0..255), elsewhere the mask's side (0 or 255). A mask
// without an edge, or with too few pixels of either side near it, comes back unchanged.
cv::Mat labelEdgeBandByColour(const cv::Mat& picture, const cv::Mat& mask, BandLabelSettings settings = {});

}  // namespace kov
