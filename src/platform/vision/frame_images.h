// The pictures of one decoded frame that the detectors work on, made once per frame.
#pragma once

#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "platform/media/video_reader.h"
#include "platform/pixels.h"
#include "platform/vision/vision.h"

namespace kov {

struct FrameImages {
  // The luma plane: the frame's own while `pixelOwner` keeps it, else a copy, so that requests may
  // outlive the frame either way.
  cv::Mat grey;
  cv::Mat bgr;       // colour picture converted from the frame
  std::shared_ptr<const void> pixelOwner;
};

// Converts an NV12 or BGRA frame. The result owns its pictures or shares the frame's owned pixels.
FrameImages makeFrameImages(const DecodedFrame& frame);

// The part `part` (pixels of the enlarged picture) of `grey` enlarged two times with bilinear
// interpolation: the same pixels as cutting it out of the whole picture enlarged, for the work of
// the part alone. Small letters have enough pixels for Tesseract at this size.
cv::Mat enlargedTwice(const cv::Mat& grey, const cv::Rect& part);

// Pixels to fractions. The two conversions below keep a rounding that runs up from the bottom edge;
// frame_images.cpp says why.

// A detector's box in pixels of a picture `width` x `height` as fractions of it.
NormBox normalisedBox(const cv::Rect2d& pixels, int width, int height);

// The inner-lip points of an upright mouth (pixels) as fractions of the face box `face` (pixels):
// x from the box's left edge, y up from its bottom edge. Only their spread is measured.
std::vector<PointF> lipsInBox(const std::vector<PointF>& lips, const cv::Rect2d& face);

}  // namespace kov
