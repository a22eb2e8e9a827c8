// Face detection with the MediaPipe face detection models run by our own model runner: anchors,
// box and keypoint decoding, and weighted non-maximum suppression.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <opencv2/core.hpp>

namespace kov {

// The keypoints the detector gives, in its order; "right" and "left" are the person's own.
enum FaceKeypoint { kRightEye = 0, kLeftEye, kNoseTip, kMouthCentre, kRightEar, kLeftEar, kFaceKeypoints };

struct FaceDetection {
  cv::Rect2d box;                                        // pixels of the picture, origin top-left
  std::array<cv::Point2d, kFaceKeypoints> keypoints{};  // pixels of the picture
  float score = 0;                                       // 0..1
};

// The centre of each anchor as a fraction of the model input, in the order of the model's outputs:
// for each stride, the cells row by row with `anchorsPerCell[i]` anchors in each.
std::vector<cv::Point2f> faceAnchors(int inputSize, const std::vector<int>& strides,
                                     const std::vector<int>& anchorsPerCell);
std::vector<cv::Point2f> faceAnchors(cv::Size input, const std::vector<int>& strides, const std::vector<int>& anchorsPerCell);

// Decodes one anchor's 16 regression values (box centre, size, then six keypoints, in input
// pixels relative to the anchor) into fractions of the model input.
FaceDetection decodeFaceAnchor(const float* regression, cv::Point2f anchor, int inputSize, float score);
FaceDetection decodeFaceAnchor(const float* regression, cv::Point2f anchor, cv::Size input, float score);

double intersectionOverUnion(const cv::Rect2d& a, const cv::Rect2d& b);

// Groups detections that overlap the strongest remaining one by more than `overlap` (IoU) and
// replaces each group by its score-weighted mean box and keypoints with the strongest score.
// Strongest first.
std::vector<FaceDetection> weightedNonMaxSuppression(std::vector<FaceDetection> detections, double overlap);

class FaceDetector {
 public:
  virtual ~FaceDetector() = default;
  // Faces in a BGR picture, strongest first. Several threads may detect at the same time.
  virtual std::vector<FaceDetection> detect(const cv::Mat& bgr) = 0;
};

enum class FaceRange { Short, Full };

// Loads a built-in detection model; throws ModelError when it cannot be run.
std::unique_ptr<FaceDetector> createFaceDetector(FaceRange range);

}  // namespace kov
