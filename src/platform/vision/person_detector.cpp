#include "platform/vision/person_detector.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "platform/neural/model_error.h"
#include "platform/neural/runner_pool.h"
#include "platform/vision/face_detector.h"
#include "platform/vision/model_input.h"

extern "C" {
extern const std::uint8_t kov_person_detection_begin[], kov_person_detection_end[];
}

namespace kov {
namespace {

// The model's SSD layout: 28 x 28 cells at stride 8 and 14 x 14 at stride 16 with two anchors each,
// then the three stride-32 layers merged into 7 x 7 cells of six anchors; anchors of fixed size, so
// only their centres matter. Each anchor gives a box (centre, size) and four keypoints.
const std::vector<int> kStrides{8, 16, 32};
const std::vector<int> kAnchorsPerCell{2, 2, 6};
constexpr int kValuesPerAnchor = 12;
constexpr float kLowestScore = 0.1f;
constexpr double kMergeOverlap = 0.3;
constexpr float kScoreClip = 100.0f;
// Keypoint 0 is the middle of the hips, keypoint 1 lies on the circle the whole body fits in; the
// square around that circle is widened by this factor so that hands and hair stay inside.
constexpr int kPoseKeypoints = 4;
constexpr double kBodyMargin = 1.25;

float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-std::clamp(x, -kScoreClip, kScoreClip))); }

// The built-in model's input side; the model is checked against it when it loads.
constexpr int kInputSide = 224;

class PoseDetector : public PersonDetector {
 public:
  // A matte run checks one picture at a time and mostly waits for the verdict (the segmentation needs
  // the people found), so a check may use the cores inference is given (the same detections).
  PoseDetector() : runners_(std::span<const std::uint8_t>(kov_person_detection_begin, kov_person_detection_end),
                            "pose_detection.tflite", inferenceThreads()) {
    side_ = runners_.inputDims().w;
    if (side_ != kInputSide || runners_.inputDims().h != kInputSide)
      throw ModelError("pose_detection.tflite: the input is not " + std::to_string(kInputSide) + " pixels square");
    anchors_ = faceAnchors(side_, kStrides, kAnchorsPerCell);
  }

  std::vector<PersonDetection> detect(const BgraView& picture) override { return detect(personDetectorInput(picture)); }

  std::vector<PersonDetection> detect(const PersonDetectorInput& input) override {
    if (input.bgr.empty()) return {};
    auto runner = runners_.borrow();
    if (runner->outputCount() != 2 || runner->outputDims(0).size() != anchors_.size() * kValuesPerAnchor ||
        runner->outputDims(1).size() != anchors_.size())
      return {};
    fillModelInput(input.bgr, squareToPicture({side_ / 2.0, side_ / 2.0}, side_, 0, side_), side_, 2.0f / 255.0f,
                   -1.0f, runner->input());
    runner->run();
    const float* regression = runner->output(0);
    const float* scores = runner->output(1);
    std::vector<FaceDetection> found;
    for (std::size_t a = 0; a < anchors_.size(); ++a) {
      const float score = sigmoid(scores[a]);
      if (score >= kLowestScore) found.push_back(decodeBox(regression + a * kValuesPerAnchor, anchors_[a], score, input));
    }
    std::vector<PersonDetection> people;
    for (const FaceDetection& d : weightedNonMaxSuppression(std::move(found), kMergeOverlap))
      people.push_back({d.box, bodySquare(d.keypoints[0], d.keypoints[1]), d.score});
    return people;
  }

 private:
  static cv::Rect2d bodySquare(cv::Point2d hips, cv::Point2d onCircle) {
    const double half = cv::norm(onCircle - hips) * kBodyMargin;
    return {hips.x - half, hips.y - half, 2 * half, 2 * half};
  }

  // Box centre and size and the keypoints, in input pixels relative to the anchor, mapped back to
  // picture pixels.
  FaceDetection decodeBox(const float* r, cv::Point2f anchor, float score, const PersonDetectorInput& input) const {
    const double ax = anchor.x * side_, ay = anchor.y * side_;
    const auto toPicture = [&](double x, double y) {
      return cv::Point2d((x + ax - input.offset.x) / input.scale, (y + ay - input.offset.y) / input.scale);
    };
    FaceDetection d;
    d.box = cv::Rect2d(toPicture(r[0] - r[2] / 2, r[1] - r[3] / 2), cv::Size2d(r[2] / input.scale, r[3] / input.scale));
    for (int k = 0; k < kPoseKeypoints; ++k) d.keypoints[static_cast<std::size_t>(k)] = toPicture(r[4 + 2 * k], r[5 + 2 * k]);
    d.score = score;
    return d;
  }

  RunnerPool runners_;
  int side_ = 0;
  std::vector<cv::Point2f> anchors_;
};

}  // namespace

PersonDetectorInput personDetectorInput(const BgraView& picture) {
  PersonDetectorInput input;
  if (picture.width <= 0 || picture.height <= 0 || !picture.data) return input;
  const int side = kInputSide;
  const cv::Mat source(picture.height, picture.width, CV_8UC4, const_cast<std::uint8_t*>(picture.data),
                       static_cast<std::size_t>(picture.stride));
  input.scale = static_cast<double>(side) / std::max(picture.width, picture.height);
  const int w = std::clamp(static_cast<int>(std::lround(picture.width * input.scale)), 1, side);
  const int h = std::clamp(static_cast<int>(std::lround(picture.height * input.scale)), 1, side);
  input.offset = {(side - w) / 2.0, (side - h) / 2.0};
  cv::Mat shrunk;
  cv::resize(source, shrunk, cv::Size(w, h), 0, 0, cv::INTER_AREA);
  input.bgr = cv::Mat::zeros(side, side, CV_8UC3);
  cv::cvtColor(shrunk, input.bgr(cv::Rect((side - w) / 2, (side - h) / 2, w, h)), cv::COLOR_BGRA2BGR);
  return input;
}

std::unique_ptr<PersonDetector> createPersonDetector(std::string& error) {
  return loadedOrNone([]() -> std::unique_ptr<PersonDetector> { return std::make_unique<PoseDetector>(); },
                      "the person detection model", error);
}

bool showsPerson(PersonDetector& detector, const BgraView& picture) {
  const std::vector<PersonDetection> people = detector.detect(picture);
  return !people.empty() && people.front().score > kPersonScore;
}

std::vector<cv::Rect2d> personRegions(PersonDetector& detector, const BgraView& picture) {
  return personRegions(detector, personDetectorInput(picture));
}

std::vector<cv::Rect2d> personRegions(PersonDetector& detector, const PersonDetectorInput& input) {
  std::vector<cv::Rect2d> regions;
  for (const PersonDetection& person : detector.detect(input))
    if (person.score > kPersonScore) regions.push_back(person.body);
  return regions;
}

}  // namespace kov
