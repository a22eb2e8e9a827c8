#include "faces/scene_cuts.h"

#include <cmath>

#include "numeric/rounding.h"

namespace kov {

std::vector<float> signature(const GreyView& luma) {
  if (!luma.data) return {};
  const int W = luma.width;
  const int H = luma.height;
  std::vector<float> cells(144, 0.0f);
  for (int gr = 0; gr < 9; ++gr) {
    int y0 = gr * H / 9, y1 = (gr + 1) * H / 9;
    for (int gc = 0; gc < 16; ++gc) {
      int x0 = gc * W / 16, x1 = (gc + 1) * W / 16;
      unsigned long sum = 0, count = 0;
      for (int y = y0; y < y1; y += 4) {
        const std::uint8_t* row = luma.data + static_cast<std::ptrdiff_t>(y) * luma.stride;
        for (int x = x0; x < x1; x += 4) {
          sum += row[x];
          ++count;
        }
      }
      if (count > 0) cells[gr * 16 + gc] = static_cast<float>(sum) / static_cast<float>(count);
    }
  }
  return cells;
}

bool CutDetector::step(const GreyView& luma, double t) {
  std::vector<float> sig = signature(luma);
  float diff = 0;
  if (!previous_.empty() && previous_.size() == sig.size()) {
    float total = 0;
    for (size_t i = 0; i < sig.size(); ++i) total += std::fabs(previous_[i] - sig[i]);
    diff = total / static_cast<float>(sig.size());
  }
  bool recorded = false;
  if (diff > 22.0f && diff > previousDiff_ * 3.0f + 6.0f) {
    if (cuts_.empty() || t - cuts_.back() > 0.25) {
      cuts_.push_back(round3(t));
      recorded = true;
    }
  }
  previousDiff_ = diff;
  previous_ = std::move(sig);
  return recorded;
}

}  // namespace kov
