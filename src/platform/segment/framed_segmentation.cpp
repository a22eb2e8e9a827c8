#include "platform/segment/framed_segmentation.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace kov {
namespace {

GreyImage background(int width, int height) {
  return {width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height, 0)};
}

// Clears the mask outside the people's regions (picture pixels; the mask covers the picture at any
// resolution), so what the segmenter takes for a person away from everyone found is dropped.
void keepOnlyInside(const std::vector<cv::Rect2d>& regions, int pictureWidth, int pictureHeight, GreyImage& mask) {
  const double sx = static_cast<double>(mask.width) / pictureWidth, sy = static_cast<double>(mask.height) / pictureHeight;
  cv::Mat inside = cv::Mat::zeros(mask.height, mask.width, CV_8UC1);
  for (const cv::Rect2d& r : regions) {
    const cv::Point from(static_cast<int>(std::floor(r.x * sx)), static_cast<int>(std::floor(r.y * sy)));
    const cv::Point to(static_cast<int>(std::ceil(r.br().x * sx)), static_cast<int>(std::ceil(r.br().y * sy)));
    cv::rectangle(inside, from, to, cv::Scalar(255), cv::FILLED);
  }
  cv::Mat(mask.height, mask.width, CV_8UC1, mask.pixels.data()).setTo(0, inside == 0);
}

// The part of the picture the segmenter looks at: the people's regions and a quarter of their extent
// around them, within the picture. People small in a large picture then fill more of the model's input
// (the segmenter hardly marks people under about a third of its input's height).
constexpr double kFramingMargin = 0.25;

cv::Rect framingOf(const std::vector<cv::Rect2d>& regions, int width, int height) {
  cv::Rect2d all = regions.front();
  for (const cv::Rect2d& r : regions) all |= r;
  const double dx = all.width * kFramingMargin, dy = all.height * kFramingMargin;
  const cv::Point from(static_cast<int>(std::floor(all.x - dx)), static_cast<int>(std::floor(all.y - dy)));
  const cv::Point to(static_cast<int>(std::ceil(all.br().x + dx)), static_cast<int>(std::ceil(all.br().y + dy)));
  return cv::Rect(from, to) & cv::Rect(0, 0, width, height);
}

// The mask of the framed part placed into an all-background mask of the whole picture, at the framed
// mask's scale (at most the picture's own).
GreyImage placedInPicture(const GreyImage& framedMask, cv::Rect framing, int width, int height) {
  const double scale = std::min(1.0, static_cast<double>(framedMask.width) / framing.width);
  GreyImage mask = background(std::max(1, static_cast<int>(std::lround(width * scale))),
                              std::max(1, static_cast<int>(std::lround(height * scale))));
  const cv::Rect place = cv::Rect(static_cast<int>(std::lround(framing.x * scale)), static_cast<int>(std::lround(framing.y * scale)),
                                  std::max(1, static_cast<int>(std::lround(framing.width * scale))),
                                  std::max(1, static_cast<int>(std::lround(framing.height * scale)))) &
                         cv::Rect(0, 0, mask.width, mask.height);
  if (place.empty()) return mask;
  const cv::Mat source(framedMask.height, framedMask.width, CV_8UC1, const_cast<std::uint8_t*>(framedMask.pixels.data()));
  cv::Mat target(mask.height, mask.width, CV_8UC1, mask.pixels.data());
  cv::resize(source, target(place), place.size(), 0, 0, cv::INTER_LINEAR);
  return mask;
}

}  // namespace

std::optional<GreyImage> segmentAroundPeople(PersonSegmenter& segmenter, const BgraView& picture,
                                             const std::vector<cv::Rect2d>& people) {
  if (people.empty()) return background(picture.width, picture.height);
  const cv::Rect framing = framingOf(people, picture.width, picture.height);
  if (framing.empty()) return background(picture.width, picture.height);
  const BgraView framed{picture.data + static_cast<std::ptrdiff_t>(framing.y) * picture.stride + 4 * framing.x,
                        framing.width, framing.height, picture.stride};
  std::optional<GreyImage> framedMask = segmenter.segment(framed, SegmentQuality::Accurate);
  if (!framedMask) return std::nullopt;
  GreyImage mask = placedInPicture(*framedMask, framing, picture.width, picture.height);
  keepOnlyInside(people, picture.width, picture.height, mask);
  return mask;
}

}  // namespace kov
