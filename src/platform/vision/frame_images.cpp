#include "platform/vision/frame_images.h"

#include <opencv2/imgproc.hpp>

namespace kov {

FrameImages makeFrameImages(const DecodedFrame& frame) {
  FrameImages images;
  if (frame.planes[0] == nullptr || frame.width <= 0 || frame.height <= 0) return images;
  if (frame.layout == PixelLayout::Nv12) {
    // Only read, never written: the decoded pixels may be shared.
    const cv::Mat luma(frame.height, frame.width, CV_8UC1, const_cast<std::uint8_t*>(frame.planes[0]),
                       static_cast<size_t>(frame.strides[0]));
    images.pixelOwner = frame.pixelOwner;
    images.grey = frame.pixelOwner ? luma : luma.clone();
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
  return images;
}

cv::Mat enlargedTwice(const cv::Mat& grey, const cv::Rect& part) {
  const cv::Rect enlarged = part & cv::Rect(0, 0, grey.cols * 2, grey.rows * 2);
  if (enlarged.empty()) return {};
  // An enlarged pixel blends the two source pixels around its centre; with one source pixel more on
  // every side (within the picture) the pixels at the part's edges blend the same neighbours as in
  // the whole enlarged picture, and the picture's own edges are treated alike.
  const cv::Rect source = cv::Rect(cv::Point(enlarged.x / 2 - 1, enlarged.y / 2 - 1),
                                   cv::Point((enlarged.br().x + 1) / 2 + 1, (enlarged.br().y + 1) / 2 + 1)) &
                          cv::Rect(0, 0, grey.cols, grey.rows);
  cv::Mat doubled;
  cv::resize(grey(source), doubled, cv::Size(source.width * 2, source.height * 2), 0, 0, cv::INTER_LINEAR);
  return doubled(enlarged - source.tl() * 2).clone();
}

// The reports print their fractions with every digit, and those digits come from heights measured
// up from the bottom edge: the box's top is one less its bottom edge's height and its own height,
// and lip heights are measured up from the face box's bottom. `pixels.y / height` or lips measured
// down from the top are the same numbers but for the last digit, which the reports would show.
NormBox normalisedBox(const cv::Rect2d& pixels, int width, int height) {
  NormBox box;
  box.x = pixels.x / width;
  box.w = pixels.width / width;
  box.h = pixels.height / height;
  const double bottomAboveFoot = 1.0 - (pixels.y + pixels.height) / height;
  box.y = 1.0 - (bottomAboveFoot + box.h);
  return box;
}

std::vector<PointF> lipsInBox(const std::vector<PointF>& lips, const cv::Rect2d& face) {
  std::vector<PointF> inBox;
  if (!(face.width > 0) || !(face.height > 0)) return inBox;
  const double bottom = face.y + face.height;
  for (const PointF& p : lips) inBox.push_back({(p.x - face.x) / face.width, (bottom - p.y) / face.height});
  return inBox;
}

}  // namespace kov
