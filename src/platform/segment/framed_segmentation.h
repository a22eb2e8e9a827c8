// Segmentation of the part of a picture where people were found: the segmenter sees that part
// framed with a margin, so people small in a large picture fill more of the model's input, and the
// mask is cleared outside the people's regions and of small parts standing apart from the rest, so
// what merely looks like a person elsewhere is dropped.
#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "platform/pixels.h"
#include "platform/segment/person_segmenter.h"

namespace kov {

// `people` are regions in picture pixels, origin top-left (they may reach beyond the picture). The
// mask covers the whole picture at the framed mask's scale (at most the picture's own); no value
// when the segmenter gives none. Regions wholly outside the picture give an all-background mask.
std::optional<GreyImage> segmentAroundPeople(PersonSegmenter& segmenter, const BgraView& picture,
                                             const std::vector<cv::Rect2d>& people);

}  // namespace kov
