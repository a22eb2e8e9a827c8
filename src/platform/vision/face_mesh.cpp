#include "platform/vision/face_mesh.h"

#include <cmath>

#include "platform/neural/runner_pool.h"
#include "platform/vision/face_models.h"
#include "platform/vision/model_input.h"

namespace kov {
namespace {

// Mesh points of the inner lip contour (upper lip from the right corner, then the lower lip back).
constexpr int kInnerLips[] = {78, 191, 80, 81, 82, 13, 312, 311, 310, 415, 308, 324, 318, 402, 317, 14, 87, 178, 88, 95};
// Eye contours: the person's right eye, then the left eye.
constexpr int kRightEyeContour[] = {33, 7, 163, 144, 145, 153, 154, 155, 133, 173, 157, 158, 159, 160, 161, 246};
constexpr int kLeftEyeContour[] = {362, 382, 381, 380, 374, 373, 390, 249, 263, 466, 388, 387, 386, 385, 384, 398};
constexpr int kMeshNoseTip = 1, kRightMouthCorner = 61, kLeftMouthCorner = 291;

// The detector's box is widened this much (and made square) to take in the whole head.
constexpr double kRegionScale = 1.5;

template <std::size_t N>
cv::Point2d meanOf(const FaceMesh& mesh, const int (&indices)[N]) {
  cv::Point2d sum;
  for (int i : indices) sum += mesh.points[static_cast<std::size_t>(i)];
  return sum / static_cast<double>(N);
}

class MediaPipeFaceMesh : public FaceMeshModel {
 public:
  MediaPipeFaceMesh() : runners_(faceLandmarkModel(), "face_landmark.tflite") { side_ = runners_.inputDims().w; }

  std::optional<FaceMesh> landmarks(const cv::Mat& picture, const FaceDetection& detection) override {
    if (picture.empty() || !(detection.box.width > 0) || !(detection.box.height > 0)) return std::nullopt;
    auto runner = runners_.borrow();
    if (runner->outputCount() != 2 || runner->outputDims(0).size() != kFaceMeshPoints * 3) return std::nullopt;
    const cv::Point2d eyes = detection.keypoints[kLeftEye_] - detection.keypoints[kRightEye_];
    const double angle = std::atan2(eyes.y, eyes.x);
    const cv::Point2d centre(detection.box.x + detection.box.width / 2, detection.box.y + detection.box.height / 2);
    const double side = std::max(detection.box.width, detection.box.height) * kRegionScale;
    const cv::Matx23d toPicture = squareToPicture(centre, side, angle, side_);
    fillModelInput(picture, toPicture, side_, 1.0f / 255.0f, 0.0f, runner->input());
    runner->run();
    const float* points = runner->output(0);
    FaceMesh mesh;
    mesh.presence = 1.0f / (1.0f + std::exp(-std::clamp(runner->output(1)[0], -100.0f, 100.0f)));
    for (int i = 0; i < kFaceMeshPoints; ++i) mesh.points.push_back(mapPoint(toPicture, points[3 * i], points[3 * i + 1]));
    return mesh;
  }

 private:
  static constexpr int kRightEye_ = kov::kRightEye;
  static constexpr int kLeftEye_ = kov::kLeftEye;
  RunnerPool runners_;
  int side_ = 0;
};

}  // namespace

std::pair<cv::Point2d, cv::Point2d> eyeCentres(const FaceMesh& mesh) { return {meanOf(mesh, kRightEyeContour), meanOf(mesh, kLeftEyeContour)}; }

double faceRoll(const FaceMesh& mesh) {
  const auto [right, left] = eyeCentres(mesh);
  return std::atan2(left.y - right.y, left.x - right.x);
}

std::vector<cv::Point2d> uprightInnerLips(const FaceMesh& mesh) {
  const double roll = faceRoll(mesh);
  const double c = std::cos(-roll), s = std::sin(-roll);
  const cv::Point2d centre = meanOf(mesh, kInnerLips);
  std::vector<cv::Point2d> lips;
  for (int i : kInnerLips) {
    const cv::Point2d d = mesh.points[static_cast<std::size_t>(i)] - centre;
    lips.emplace_back(centre.x + c * d.x - s * d.y, centre.y + s * d.x + c * d.y);
  }
  return lips;
}

std::vector<cv::Point2d> alignmentPoints(const FaceMesh& mesh) {
  const auto [right, left] = eyeCentres(mesh);
  return {right, left, mesh.points[kMeshNoseTip], mesh.points[kRightMouthCorner], mesh.points[kLeftMouthCorner]};
}

std::unique_ptr<FaceMeshModel> createFaceMeshModel() { return std::make_unique<MediaPipeFaceMesh>(); }

}  // namespace kov
