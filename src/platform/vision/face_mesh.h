// The 468-point face mesh of one detected face, from the MediaPipe face landmark model, and the
// face's roll, eyes and upright inner lips taken from it.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "platform/vision/face_detector.h"

namespace kov {

constexpr int kFaceMeshPoints = 468;

struct FaceMesh {
  std::vector<cv::Point2d> points;  // kFaceMeshPoints, pixels of the picture
  float presence = 0;               // the model's belief that a face is there, 0..1
};

// The centres of the person's right and left eye (the right one is on the left of an upright,
// frontal face in the picture).
std::pair<cv::Point2d, cv::Point2d> eyeCentres(const FaceMesh& mesh);

// The angle (radians, clockwise on screen) of the line from the right to the left eye.
double faceRoll(const FaceMesh& mesh);

// The inner-lip contour, turned back by the face's roll about the mouth's centre, so that its
// height and width are those of the upright face.
std::vector<cv::Point2d> uprightInnerLips(const FaceMesh& mesh);

// Five points for aligning a face: eye centres (right, left), nose tip, mouth corners (right, left).
std::vector<cv::Point2d> alignmentPoints(const FaceMesh& mesh);

class FaceMeshModel {
 public:
  virtual ~FaceMeshModel() = default;
  // The mesh of the face found by `detection` in the BGR `picture`. Several threads may call this
  // at the same time.
  virtual std::optional<FaceMesh> landmarks(const cv::Mat& picture, const FaceDetection& detection) = 0;
};

// Loads the built-in landmark model; throws ModelError when it cannot be run.
std::unique_ptr<FaceMeshModel> createFaceMeshModel();

}  // namespace kov
