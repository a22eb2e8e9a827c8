// A 768-value descriptor of a picture region: shape (HOG), colour layout and texture, each part
// normalised and weighted so the whole vector has unit length.
#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

namespace kov {

constexpr int kFeaturePrintLength = 768;

// Describes `region` (pixels of `bgr`, clipped to the picture) stretched to a fixed square; none
// when the clipped region is empty.
std::optional<std::vector<float>> describeRegion(const cv::Mat& bgr, const cv::Rect2d& region);

}  // namespace kov
