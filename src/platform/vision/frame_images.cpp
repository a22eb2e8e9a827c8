#include "platform/vision/frame_images.h"

#include <opencv2/imgproc.hpp>

namespace kov {

FrameImages makeFrameImages(const DecodedFrame& frame) {
  FrameImages images;
  if (frame.planes[0] == nullptr || frame.width <= 0 || frame.height <= 0) return images;
  if (frame.layout == PixelLayout::Nv12) {
    images.grey = cv::Mat(frame.height, frame.width, CV_8UC1, const_cast<std::uint8_t*>(frame.planes[0]),
                          static_cast<size_t>(frame.strides[0]))
                      .clone();
    if (frame.planes[1] != nullptr) {
      cv::Mat chroma(frame.height / 2, frame.width / 2, CV_8UC2, const_cast<std::uint8_t*>(frame.planes[1]),
                     static_cast<size_t>(frame.strides[1]));
      cv::cvtColorTwoPlane(images.grey, chroma, images.bgr, cv::COLOR_YUV2BGR_NV12);
    } else {
      cv::cvtColor(images.grey, images.bgr, cv::COLOR_GRAY2BGR);
    }
  } else {
    cv::Mat bgra(frame.height, frame.width, CV_8UC4, const_cast<std::uint8_t*>(frame.planes[0]),
                 static_cast<size_t>(frame.strides[0]));
    cv::cvtColor(bgra, images.bgr, cv::COLOR_BGRA2BGR);
    cv::cvtColor(bgra, images.grey, cv::COLOR_BGRA2GRAY);
  }
  cv::resize(images.grey, images.greyDouble, cv::Size(), 2, 2, cv::INTER_LINEAR);
  return images;
}

NormBox normalisedBox(const cv::Rect2d& pixels, int width, int height) {
  NormBox box;
  box.x = pixels.x / width;
  box.w = pixels.width / width;
  box.h = pixels.height / height;
  box.y = 1.0 - (pixels.y + pixels.height) / height;
  return box;
}

cv::Rect2d pixelBox(const NormBox& box, int width, int height) {
  return {box.x * width, (1.0 - box.maxY()) * height, box.w * width, box.h * height};
}

}  // namespace kov
