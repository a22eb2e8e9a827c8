// An identity embedding of one face: the face aligned on five points of its mesh to the usual
// 112 x 112 face-recognition crop, run through MobileFaceNet.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

namespace kov {

constexpr int kIdentityLength = 192;

// The least-squares similarity (scale, rotation, shift) taking `from` onto `to`.
cv::Matx23d similarityTransform(const std::vector<cv::Point2d>& from, const std::vector<cv::Point2d>& to);

class FaceIdentityModel {
 public:
  virtual ~FaceIdentityModel() = default;
  // A unit-length vector of kIdentityLength values for the face whose alignment points (see
  // alignmentPoints) are given in pixels of the BGR `picture`. Several threads may call this.
  virtual std::optional<std::vector<float>> embed(const cv::Mat& picture, const std::vector<cv::Point2d>& points) = 0;
};

// Loads the built-in model; throws ModelError when it cannot be run.
std::unique_ptr<FaceIdentityModel> createFaceIdentityModel();

}  // namespace kov
