// Salient objects of a picture: the spectral-residual saliency map, thresholded into regions.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "platform/vision/vision.h"

namespace kov {

// Regions of at least 1 % of the picture, in the order of their first row; the confidence is the
// mean saliency inside the region, in 0..1.
std::vector<SalientObject> findSalientObjects(const cv::Mat& bgr);

}  // namespace kov
