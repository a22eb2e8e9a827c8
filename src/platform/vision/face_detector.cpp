#include "platform/vision/face_detector.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <string>

#include "platform/neural/input_size.h"
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

// The upright pass sees the whole picture at once, its short side at this share of the model's own
// input size (224 rows of a 16:9 frame for the full-range model, 416 columns): small faces then have
// enough pixels without the overlapping squares the model's square input would otherwise need.
constexpr double kUprightScale = 7.0 / 6;
// Input extents must be whole multiples of the model's coarsest grid, and the long side is kept
// within four times the short one (a longer strip of a picture is seen letterboxed).
constexpr int kGrid = 32;
constexpr int kLongestRatio = 4;

// The detector is trained on faces within about 30 degrees of upright, so heads rolled further are
// searched on the whole picture turned both ways by this angle. Those two passes cost about as
// much as the upright one, and a rolled head nearly always leaves a weak face-like score on the
// upright pass, so they run only when some anchor of the upright pass scores at least this much
// away from the faces it found.
constexpr double kTurn = 40 * CV_PI / 180;
constexpr float kTurnHintScore = 0.2f;

// One detection model planned for one input size.
class DetectionModel {
 public:
  DetectionModel(Model model, const RangeSettings& settings) : runners_(std::move(model)), settings_(settings) {
    const Dims dims = runners_.inputDims();
    input_ = cv::Size(dims.w, dims.h);
    anchors_ = faceAnchors(input_, settings_.strides, settings_.anchorsPerCell);
  }

  cv::Size input() const { return input_; }

  // Adds the faces the model finds on the part of `bgr` that `toPicture` maps its input onto
  // (`scale` picture pixels per input pixel) to `found`, and weaker ones scoring at least
  // `hintScore` to `hints` when it is given.
  void detectIn(const cv::Mat& bgr, const cv::Matx23d& toPicture, double scale, std::vector<FaceDetection>& found,
                std::vector<FaceDetection>* hints = nullptr, float hintScore = 1) {
    auto runner = runners_.borrow();
    if (runner->outputCount() != 2 || runner->outputDims(0).size() != anchors_.size() * 16 ||
        runner->outputDims(1).size() != anchors_.size())
      return;
    fillModelInput(bgr, toPicture, input_, 2.0f / 255.0f, -1.0f, runner->input());
    runner->run();
    const float* regression = runner->output(0);
    const float* scores = runner->output(1);
    for (std::size_t a = 0; a < anchors_.size(); ++a) {
      const float score = sigmoid(scores[a]);
      const bool face = score >= settings_.minimumScore;
      if (!face && (hints == nullptr || score < hintScore)) continue;
      const FaceDetection d = inPicture(decodeFaceAnchor(regression + a * 16, anchors_[a], input_, score), toPicture, scale);
      (face ? found : *hints).push_back(d);
    }
  }

 private:
  // A box found on a turned view keeps its size around its mapped centre.
  FaceDetection inPicture(FaceDetection d, const cv::Matx23d& toPicture, double scale) const {
    const double w = input_.width, h = input_.height;
    const cv::Point2d centre = mapPoint(toPicture, (d.box.x + d.box.width / 2) * w, (d.box.y + d.box.height / 2) * h);
    const double bw = d.box.width * w * scale, bh = d.box.height * h * scale;
    d.box = cv::Rect2d(centre.x - bw / 2, centre.y - bh / 2, bw, bh);
    for (cv::Point2d& p : d.keypoints) p = mapPoint(toPicture, p.x * w, p.y * h);
    return d;
  }

  RunnerPool runners_;
  RangeSettings settings_;
  cv::Size input_;
  std::vector<cv::Point2f> anchors_;
};

// True when a hint lies away from every found face.
bool hintsAnotherFace(const std::vector<FaceDetection>& hints, const std::vector<FaceDetection>& found) {
  return std::any_of(hints.begin(), hints.end(), [&](const FaceDetection& hint) {
    return std::none_of(found.begin(), found.end(), [&](const FaceDetection& face) {
      return intersectionOverUnion(hint.box, face.box) > kMergeOverlap;
    });
  });
}

// The input size of the upright pass over a picture.
cv::Size uprightInput(cv::Size picture, int modelSide) {
  const int shortInput = static_cast<int>(std::lround(modelSide * kUprightScale / kGrid)) * kGrid;
  const double shortSide = std::min(picture.width, picture.height), longSide = std::max(picture.width, picture.height);
  const double wanted = std::ceil(longSide * shortInput / shortSide / kGrid) * kGrid;
  const int longInput = static_cast<int>(std::clamp(wanted, static_cast<double>(shortInput), static_cast<double>(kLongestRatio * shortInput)));
  return picture.width >= picture.height ? cv::Size(longInput, shortInput) : cv::Size(shortInput, longInput);
}

class MediaPipeFaceDetector : public FaceDetector {
 public:
  MediaPipeFaceDetector(std::span<const std::uint8_t> bytes, const std::string& name, FaceRange range)
      : bytes_(bytes), name_(name), settings_(settingsFor(range)), square_(readModel(bytes, name), settings_) {}

  std::vector<FaceDetection> detect(const cv::Mat& bgr) override {
    std::vector<FaceDetection> found, hints;
    if (bgr.empty()) return found;
    const cv::Point2d middle(bgr.cols / 2.0, bgr.rows / 2.0);
    DetectionModel& upright = uprightModel(uprightInput(bgr.size(), square_.input().width));
    const cv::Size in = upright.input();
    const double scale = std::max(static_cast<double>(bgr.cols) / in.width, static_cast<double>(bgr.rows) / in.height);
    const cv::Matx23d toPicture(scale, 0, middle.x - scale * in.width / 2.0, 0, scale, middle.y - scale * in.height / 2.0);
    upright.detectIn(bgr, toPicture, scale, found, &hints, kTurnHintScore);
    if (hintsAnotherFace(hints, found)) {
      const int side = square_.input().width;
      const double longSide = std::max(bgr.cols, bgr.rows);
      for (double angle : {-kTurn, kTurn}) square_.detectIn(bgr, squareToPicture(middle, longSide, angle, side), longSide / side, found);
    }
    return weightedNonMaxSuppression(std::move(found), kMergeOverlap);
  }

 private:
  // The model planned for an upright input size, planned on first use (one size for a whole video).
  DetectionModel& uprightModel(cv::Size input) {
    std::lock_guard lock(mutex_);
    std::unique_ptr<DetectionModel>& model = upright_[{input.width, input.height}];
    if (!model) {
      Model resized = readModel(bytes_, name_);
      resizePictureInput(resized, input.height, input.width);
      model = std::make_unique<DetectionModel>(std::move(resized), settings_);
    }
    return *model;
  }

  std::span<const std::uint8_t> bytes_;
  std::string name_;
  RangeSettings settings_;
  DetectionModel square_;
  std::mutex mutex_;
  std::map<std::pair<int, int>, std::unique_ptr<DetectionModel>> upright_;
};

}  // namespace

std::vector<cv::Point2f> faceAnchors(int inputSize, const std::vector<int>& strides,
                                     const std::vector<int>& anchorsPerCell) {
  return faceAnchors(cv::Size(inputSize, inputSize), strides, anchorsPerCell);
}

std::vector<cv::Point2f> faceAnchors(cv::Size input, const std::vector<int>& strides, const std::vector<int>& anchorsPerCell) {
  std::vector<cv::Point2f> anchors;
  for (std::size_t layer = 0; layer < strides.size(); ++layer) {
    const int columns = (input.width + strides[layer] - 1) / strides[layer];
    const int rows = (input.height + strides[layer] - 1) / strides[layer];
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < columns; ++x)
        for (int k = 0; k < anchorsPerCell[layer]; ++k)
          anchors.emplace_back((x + 0.5f) / static_cast<float>(columns), (y + 0.5f) / static_cast<float>(rows));
  }
  return anchors;
}

FaceDetection decodeFaceAnchor(const float* r, cv::Point2f anchor, int inputSize, float score) {
  return decodeFaceAnchor(r, anchor, cv::Size(inputSize, inputSize), score);
}

FaceDetection decodeFaceAnchor(const float* r, cv::Point2f anchor, cv::Size input, float score) {
  const double width = input.width, height = input.height;
  const double cx = r[0] / width + anchor.x, cy = r[1] / height + anchor.y;
  const double w = r[2] / width, h = r[3] / height;
  FaceDetection d;
  d.box = cv::Rect2d(cx - w / 2, cy - h / 2, w, h);
  for (int k = 0; k < kFaceKeypoints; ++k)
    d.keypoints[k] = {r[4 + 2 * k] / width + anchor.x, r[5 + 2 * k] / height + anchor.y};
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
