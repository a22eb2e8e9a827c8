#include "platform/vision/saliency_finder.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>
#include <opencv2/saliency.hpp>

#include "platform/vision/frame_images.h"

namespace kov {
namespace {

constexpr double kMinimumAreaShare = 0.01;

cv::Mat saliencyMap(const cv::Mat& bgr) {
  cv::saliency::StaticSaliencySpectralResidual residual;
  cv::Mat map;
  if (!residual.computeSaliency(bgr, map) || map.empty()) return {};
  map.convertTo(map, CV_32F);
  cv::normalize(map, map, 0.0, 1.0, cv::NORM_MINMAX);
  return map;
}

// The larger of Otsu's level and mean + one standard deviation, as a byte picture of the map.
cv::Mat salientMask(const cv::Mat& map) {
  cv::Mat bytes;
  map.convertTo(bytes, CV_8U, 255.0);
  cv::Mat ignored;
  const double otsu = cv::threshold(bytes, ignored, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  cv::Scalar mean, spread;
  cv::meanStdDev(bytes, mean, spread);
  const double level = std::max(otsu, mean[0] + spread[0]);
  cv::Mat mask;
  cv::threshold(bytes, mask, level, 255, cv::THRESH_BINARY);
  const int side = std::max(3, std::min(map.cols, map.rows) / 40) | 1;
  cv::morphologyEx(mask, mask, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(side, side)));
  return mask;
}

}  // namespace

std::vector<SalientObject> findSalientObjects(const cv::Mat& bgr) {
  std::vector<SalientObject> objects;
  if (bgr.empty()) return objects;
  const cv::Mat map = saliencyMap(bgr);
  if (map.empty()) return objects;
  const cv::Mat mask = salientMask(map);
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  const double minimumArea = kMinimumAreaShare * bgr.cols * bgr.rows;
  for (int label = 1; label < count; ++label) {
    if (stats.at<int>(label, cv::CC_STAT_AREA) < minimumArea) continue;
    const cv::Rect bounds(stats.at<int>(label, cv::CC_STAT_LEFT), stats.at<int>(label, cv::CC_STAT_TOP),
                          stats.at<int>(label, cv::CC_STAT_WIDTH), stats.at<int>(label, cv::CC_STAT_HEIGHT));
    const double meanSaliency = cv::mean(map(bounds), labels(bounds) == label)[0];
    SalientObject object;
    object.box = normalisedBox(cv::Rect2d(bounds), bgr.cols, bgr.rows);
    object.confidence = static_cast<float>(std::clamp(meanSaliency, 0.0, 1.0));
    objects.push_back(object);
  }
  return objects;
}

}  // namespace kov
