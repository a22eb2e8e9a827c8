#include "platform/vision/face_landmarker.h"

#include <cmath>
#include <future>
#include <tuple>

#include "platform/neural/model_error.h"
#include "platform/vision/face_detector.h"
#include "platform/vision/face_identity.h"
#include "platform/vision/face_mesh.h"

namespace kov {
namespace {

// Each identity value fills this many places of the raw print, so that a print pooled to the
// default 64 values averages three neighbouring identity values.
constexpr int kRepeats = kFeaturePrintLength / kIdentityLength;
static_assert(kRepeats * kIdentityLength == kFeaturePrintLength);

// The face mesh model also says whether its crop holds a face at all. Faces and face-like marks
// such as the two zeros of a time code can score alike on the detector, but the mesh model gives
// real faces, down to about 20 px, a presence near 1 and such marks one near 0.
constexpr float kMinimumPresence = 0.01f;
constexpr double kRealignAngle = 10 * CV_PI / 180;

class NeuralFaceLandmarker : public FaceLandmarker {
 public:
  NeuralFaceLandmarker(std::unique_ptr<FaceDetector> detector, std::unique_ptr<FaceMeshModel> mesh,
                       std::unique_ptr<FaceIdentityModel> identity)
      : detector_(std::move(detector)), mesh_(std::move(mesh)), identity_(std::move(identity)) {}

  std::vector<LandmarkedFace> detect(const FrameImages& images) override {
    std::vector<LandmarkedFace> faces;
    if (images.bgr.empty()) return faces;
    for (const FaceDetection& detection : detector_->detect(images.bgr)) {
      LandmarkedFace face;
      const cv::Rect2d& box = detection.box;
      face.observation.box = normalisedBox(box, images.bgr.cols, images.bgr.rows);
      face.observation.confidence = detection.score;
      const auto mesh = meshOf(images.bgr, detection);
      if (mesh && mesh->presence < kMinimumPresence) continue;
      if (mesh) {
        std::vector<PointF> lips;
        for (const cv::Point2d& p : uprightInnerLips(*mesh)) lips.push_back({p.x, p.y});
        face.observation.innerLips = lipsInBox(lips, box);
        face.observation.hasLandmarks = !face.observation.innerLips.empty();
        for (const cv::Point2d& p : alignmentPoints(*mesh)) face.alignment.push_back({p.x, p.y});
      }
      faces.push_back(std::move(face));
    }
    return faces;
  }

  std::optional<std::vector<float>> print(const FrameImages& images, const LandmarkedFace& face) override {
    if (face.alignment.empty()) return std::nullopt;
    std::vector<cv::Point2d> points;
    for (const PointF& p : face.alignment) points.emplace_back(p.x, p.y);
    const auto embedding = identity_->embed(images.bgr, points);
    if (!embedding) return std::nullopt;
    std::vector<float> raw;
    raw.reserve(kFeaturePrintLength);
    const float share = 1.0f / std::sqrt(static_cast<float>(kRepeats));  // keeps the whole at unit length
    for (float v : *embedding)
      for (int k = 0; k < kRepeats; ++k) raw.push_back(v * share);
    return raw;
  }

 private:
  // The mesh model is trained on crops turned so that the eyes are level. The detector's eye
  // keypoints set the turn; where they are off by much (a rolled head found on one view only),
  // the mesh is taken again on the crop turned by its own eyes.
  std::optional<FaceMesh> meshOf(const cv::Mat& bgr, const FaceDetection& detection) {
    std::optional<FaceMesh> mesh = mesh_->landmarks(bgr, detection);
    if (!mesh || mesh->presence < kMinimumPresence) return mesh;
    const cv::Point2d eyes = detection.keypoints[kLeftEye] - detection.keypoints[kRightEye];
    const double off = std::remainder(faceRoll(*mesh) - std::atan2(eyes.y, eyes.x), 2 * CV_PI);
    if (std::abs(off) < kRealignAngle) return mesh;
    FaceDetection realigned = detection;
    std::tie(realigned.keypoints[kRightEye], realigned.keypoints[kLeftEye]) = eyeCentres(*mesh);
    std::optional<FaceMesh> again = mesh_->landmarks(bgr, realigned);
    return again && again->presence >= kMinimumPresence ? again : mesh;
  }

  std::unique_ptr<FaceDetector> detector_;
  std::unique_ptr<FaceMeshModel> mesh_;
  std::unique_ptr<FaceIdentityModel> identity_;
};

}  // namespace

// The three models load at the same time.
std::unique_ptr<FaceLandmarker> loadFaceLandmarker(std::string& error) {
  try {
    auto detector = std::async(std::launch::async, [] { return createFaceDetector(FaceRange::Full); });
    auto identity = std::async(std::launch::async, [] { return createFaceIdentityModel(); });
    std::unique_ptr<FaceMeshModel> mesh = createFaceMeshModel();
    return std::make_unique<NeuralFaceLandmarker>(detector.get(), std::move(mesh), identity.get());
  } catch (const ModelError& e) {
    error = std::string("cannot load the face models: ") + e.what();
  } catch (const std::exception& e) {
    error = std::string("cannot load the face models: ") + e.what();
  }
  return nullptr;
}

}  // namespace kov
