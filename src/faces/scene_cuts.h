// Scene cuts: a 16 x 9 grid of mean luma per decoded frame, compared with the previous frame's.
#pragma once

#include <vector>

#include "platform/pixels.h"

namespace kov {

// The 144 cell means, row by row from the top-left, reading every fourth byte in each direction;
// empty when the plane has no pixels.
std::vector<float> signature(const GreyView& luma);

class CutDetector {
 public:
  // Feeds the frame at time t (seconds from the range start). Returns true when a cut was
  // recorded at this frame.
  bool step(const GreyView& luma, double t);

  // The recorded cut times, rounded to three decimals.
  const std::vector<double>& cuts() const { return cuts_; }

 private:
  std::vector<float> previous_;
  float previousDiff_ = 0;
  std::vector<double> cuts_;  // rounded to three decimals
};

}  // namespace kov
