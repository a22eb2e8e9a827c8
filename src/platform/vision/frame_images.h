// The pictures of one decoded frame that the detectors work on, made once per frame.
#pragma once

#include <opencv2/core.hpp>

#include "platform/media/video_reader.h"
#include "platform/pixels.h"

namespace kov {

struct FrameImages {
  cv::Mat grey;      // the luma plane, copied so that requests may outlive the frame
  cv::Mat bgr;       // colour picture converted from the frame
  cv::Mat greyDouble;  // the luma plane enlarged two times, for small faces and small text
};

// Converts an NV12 or BGRA frame. The result owns its pictures.
FrameImages makeFrameImages(const DecodedFrame& frame);

// A detector's box in pixels of a picture `width` x `height` as fractions with the origin at the
// bottom-left.
NormBox normalisedBox(const cv::Rect2d& pixels, int width, int height);

// The inverse: a normalised box in pixels (top-left origin), not clipped.
cv::Rect2d pixelBox(const NormBox& box, int width, int height);

}  // namespace kov
