#include "platform/vision/model_input.h"

#include <cmath>

#include <opencv2/imgproc.hpp>

namespace kov {

void fillModelInput(const cv::Mat& picture, const cv::Matx23d& modelToPicture, int side, float scale, float offset,
                    float* out) {
  fillModelInput(picture, modelToPicture, cv::Size(side, side), scale, offset, out);
}

void fillModelInput(const cv::Mat& picture, const cv::Matx23d& modelToPicture, cv::Size size, float scale, float offset,
                    float* out) {
  cv::Mat sampled;
  cv::warpAffine(picture, sampled, cv::Mat(modelToPicture), size, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                 cv::BORDER_CONSTANT, cv::Scalar(0, 0, 0));
  for (int y = 0; y < size.height; ++y) {
    const cv::Vec3b* row = sampled.ptr<cv::Vec3b>(y);
    for (int x = 0; x < size.width; ++x, out += 3) {
      out[0] = row[x][2] * scale + offset;
      out[1] = row[x][1] * scale + offset;
      out[2] = row[x][0] * scale + offset;
    }
  }
}

cv::Matx23d squareToPicture(cv::Point2d centre, double side, double angle, int inputSide) {
  const double s = side / inputSide;
  const double c = std::cos(angle) * s, n = std::sin(angle) * s;
  const double half = inputSide / 2.0;
  // picture = centre + R(angle) * s * (model - half)
  return {c, -n, centre.x - c * half + n * half, n, c, centre.y - n * half - c * half};
}

cv::Point2d mapPoint(const cv::Matx23d& map, double x, double y) {
  return {map(0, 0) * x + map(0, 1) * y + map(0, 2), map(1, 0) * x + map(1, 1) * y + map(1, 2)};
}

}  // namespace kov
