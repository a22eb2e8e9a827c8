#include "platform/vision/face_detector.h"

#include <algorithm>
#include <cmath>

#include "platform/neural/runner_pool.h"
#include "platform/vision/face_models.h"
#include "platform/vision/model_input.h"

namespace kov {
namespace {

struct RangeSettings {
  std::vector<int> strides;
  std::vector<int> anchorsPerCell;
  float minimumScore;
};

RangeSettings settingsFor(FaceRange range) {
  if (range == FaceRange::Short) return {{8, 16}, {2, 6}, 0.5f};
  return {{4}, {1}, 0.6f};
}

constexpr double kMergeOverlap = 0.3;
constexpr float kScoreClip = 100.0f;

float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-std::clamp(x, -kScoreClip, kScoreClip))); }

// A square of the picture that the detector looks at, turned by `angle` radians about its centre.
struct View {
  cv::Point2d centre;
  double side = 0;
  double angle = 0;
};

// The detector is trained on faces within about 30 degrees of upright, so the whole picture is
// also seen turned both ways, which finds heads rolled further. Squares as tall as the picture
// across its width show smaller faces larger; one more square than would cover the width makes them
// overlap widely (three for a 16:9 frame), as the detector is weak near a square's border.
constexpr double kTurn = 40 * CV_PI / 180;

std::vector<View> viewsOf(int width, int height) {
  std::vector<View> views;
  const double longSide = std::max(width, height), shortSide = std::min(width, height);
  const cv::Point2d middle(width / 2.0, height / 2.0);
  for (double angle : {0.0, -kTurn, kTurn}) views.push_back({middle, longSide, angle});
  if (longSide < shortSide * 1.2) return views;
  const int count = static_cast<int>(std::ceil(longSide / shortSide)) + 1;
  for (int i = 0; i < count; ++i) {
    const double along = (longSide - shortSide) * i / (count - 1) + shortSide / 2;
    views.push_back({width >= height ? cv::Point2d(along, height / 2.0) : cv::Point2d(width / 2.0, along), shortSide, 0});
  }
  return views;
}

class MediaPipeFaceDetector : public FaceDetector {
 public:
  MediaPipeFaceDetector(std::span<const std::uint8_t> bytes, const std::string& name, FaceRange range)
      : runners_(bytes, name), settings_(settingsFor(range)) {
    side_ = runners_.inputDims().w;
    anchors_ = faceAnchors(side_, settings_.strides, settings_.anchorsPerCell);
  }

  std::vector<FaceDetection> detect(const cv::Mat& bgr) override {
    std::vector<FaceDetection> found;
    if (bgr.empty()) return found;
    auto runner = runners_.borrow();
    if (runner->outputCount() != 2 || runner->outputDims(0).size() != anchors_.size() * 16 ||
        runner->outputDims(1).size() != anchors_.size())
      return found;
    for (const View& view : viewsOf(bgr.cols, bgr.rows)) {
      const cv::Matx23d toPicture = squareToPicture(view.centre, view.side, view.angle, side_);
      fillModelInput(bgr, toPicture, side_, 2.0f / 255.0f, -1.0f, runner->input());
      runner->run();
      const float* regression = runner->output(0);
      const float* scores = runner->output(1);
      for (std::size_t a = 0; a < anchors_.size(); ++a) {
        const float score = sigmoid(scores[a]);
        if (score < settings_.minimumScore) continue;
        found.push_back(
            toPictureDetection(decodeFaceAnchor(regression + a * 16, anchors_[a], side_, score), toPicture, view.side));
      }
    }
    return weightedNonMaxSuppression(std::move(found), kMergeOverlap);
  }

 private:
  // A box found on a turned view keeps its size around its mapped centre.
  FaceDetection toPictureDetection(FaceDetection d, const cv::Matx23d& toPicture, double viewSide) const {
    const cv::Point2d centre =
        mapPoint(toPicture, (d.box.x + d.box.width / 2) * side_, (d.box.y + d.box.height / 2) * side_);
    const double w = d.box.width * viewSide, h = d.box.height * viewSide;
    d.box = cv::Rect2d(centre.x - w / 2, centre.y - h / 2, w, h);
    for (cv::Point2d& p : d.keypoints) p = mapPoint(toPicture, p.x * side_, p.y * side_);
    return d;
  }

  RunnerPool runners_;
  RangeSettings settings_;
  int side_ = 0;
  std::vector<cv::Point2f> anchors_;
};

}  // namespace

std::vector<cv::Point2f> faceAnchors(int inputSize, const std::vector<int>& strides,
                                     const std::vector<int>& anchorsPerCell) {
  std::vector<cv::Point2f> anchors;
  for (std::size_t layer = 0; layer < strides.size(); ++layer) {
    const int cells = (inputSize + strides[layer] - 1) / strides[layer];
    for (int y = 0; y < cells; ++y)
      for (int x = 0; x < cells; ++x)
        for (int k = 0; k < anchorsPerCell[layer]; ++k)
          anchors.emplace_back((x + 0.5f) / static_cast<float>(cells), (y + 0.5f) / static_cast<float>(cells));
  }
  return anchors;
}

FaceDetection decodeFaceAnchor(const float* r, cv::Point2f anchor, int inputSize, float score) {
  const double size = inputSize;
  const double cx = r[0] / size + anchor.x, cy = r[1] / size + anchor.y;
  const double w = r[2] / size, h = r[3] / size;
  FaceDetection d;
  d.box = cv::Rect2d(cx - w / 2, cy - h / 2, w, h);
  for (int k = 0; k < kFaceKeypoints; ++k) d.keypoints[k] = {r[4 + 2 * k] / size + anchor.x, r[5 + 2 * k] / size + anchor.y};
  d.score = score;
  return d;
}

double intersectionOverUnion(const cv::Rect2d& a, const cv::Rect2d& b) {
  const double common = (a & b).area();
  const double all = a.area() + b.area() - common;
  return all > 0 ? common / all : 0.0;
}

std::vector<FaceDetection> weightedNonMaxSuppression(std::vector<FaceDetection> detections, double overlap) {
  std::stable_sort(detections.begin(), detections.end(),
                   [](const FaceDetection& a, const FaceDetection& b) { return a.score > b.score; });
  std::vector<FaceDetection> kept;
  std::vector<bool> used(detections.size(), false);
  for (std::size_t i = 0; i < detections.size(); ++i) {
    if (used[i]) continue;
    double total = 0, x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    std::array<cv::Point2d, kFaceKeypoints> points{};
    for (std::size_t j = i; j < detections.size(); ++j) {
      if (used[j] || intersectionOverUnion(detections[i].box, detections[j].box) <= overlap) continue;
      used[j] = true;
      const FaceDetection& d = detections[j];
      total += d.score;
      x0 += d.box.x * d.score;
      y0 += d.box.y * d.score;
      x1 += d.box.br().x * d.score;
      y1 += d.box.br().y * d.score;
      for (int k = 0; k < kFaceKeypoints; ++k) points[k] += d.keypoints[k] * d.score;
    }
    FaceDetection merged = detections[i];
    if (total > 0) {
      merged.box = cv::Rect2d(cv::Point2d(x0 / total, y0 / total), cv::Point2d(x1 / total, y1 / total));
      for (int k = 0; k < kFaceKeypoints; ++k) merged.keypoints[k] = points[k] / total;
    }
    kept.push_back(merged);
  }
  return kept;
}

std::unique_ptr<FaceDetector> createFaceDetector(FaceRange range) {
  if (range == FaceRange::Short)
    return std::make_unique<MediaPipeFaceDetector>(shortRangeFaceDetectionModel(), "face_detection_short_range.tflite",
                                                   range);
  return std::make_unique<MediaPipeFaceDetector>(fullRangeFaceDetectionModel(), "face_detection_full_range.tflite", range);
}

}  // namespace kov
