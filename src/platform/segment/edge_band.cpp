#include "platform/segment/edge_band.h"

#include <opencv2/imgproc.hpp>

namespace kov {

EdgeBand edgeBandOf(const cv::Mat& mask, int halfWidth, int reach) {
  EdgeBand edge;
  const int side = 2 * halfWidth + 1;
  const cv::Mat square = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(side, side));
  edge.person = mask >= 128;
  cv::Mat grown;
  cv::dilate(edge.person, grown, square);
  cv::erode(edge.person, edge.inside, square);
  edge.band = grown & ~edge.inside;
  cv::dilate(edge.band, edge.near, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(reach * side, reach * side)));
  return edge;
}

}  // namespace kov
