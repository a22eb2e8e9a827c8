// The band along a person mask's edge, where the edge corrections work, and the neighbourhood around
// it they take colours from.
#pragma once

#include <opencv2/core.hpp>

namespace kov {

struct EdgeBand {
  cv::Mat person;  // the mask at 128 and above
  cv::Mat inside;  // person pixels further than the band's half width from the edge
  cv::Mat band;    // pixels within that half width of the edge, on either side
  cv::Mat near;    // pixels within `reach` band widths of the band
};

// `mask` is 8-bit; the neighbourhoods are squares (separable, so many times faster than round ones).
// The band is empty when the mask has no edge.
EdgeBand edgeBandOf(const cv::Mat& mask, int halfWidth, int reach);

}  // namespace kov
