#include "platform/vision/face_identity.h"

#include <cmath>

#include "platform/neural/runner_pool.h"
#include "platform/vision/face_models.h"
#include "platform/vision/model_input.h"

namespace kov {
namespace {

// Where the eyes, nose tip and mouth corners sit in the 112 x 112 crop the model was trained on.
const std::vector<cv::Point2d> kCropPoints = {
    {38.2946, 51.6963}, {73.5318, 51.5014}, {56.0252, 71.7366}, {41.5493, 92.3655}, {70.7299, 92.2041}};

class MobileFaceNet : public FaceIdentityModel {
 public:
  MobileFaceNet() : runners_(faceIdentityModel(), "MobileFaceNet.tflite") { side_ = runners_.inputDims().w; }

  std::optional<std::vector<float>> embed(const cv::Mat& picture, const std::vector<cv::Point2d>& points) override {
    if (picture.empty() || points.size() != kCropPoints.size()) return std::nullopt;
    std::vector<cv::Point2d> crop;
    for (const cv::Point2d& p : kCropPoints) crop.push_back(p * (side_ / 112.0));
    const cv::Matx23d toPicture = similarityTransform(crop, points);
    auto runner = runners_.borrow();
    if (runner->outputDims().size() != kIdentityLength) return std::nullopt;
    fillModelInput(picture, toPicture, side_, 1.0f / 128.0f, -127.5f / 128.0f, runner->input());
    const float* values = runner->run();
    std::vector<float> embedding(values, values + kIdentityLength);
    double squares = 0;
    for (float v : embedding) squares += static_cast<double>(v) * v;
    if (!(squares > 0) || !std::isfinite(squares)) return std::nullopt;
    const float scale = static_cast<float>(1.0 / std::sqrt(squares));
    for (float& v : embedding) v *= scale;
    return embedding;
  }

 private:
  RunnerPool runners_;
  int side_ = 0;
};

}  // namespace

cv::Matx23d similarityTransform(const std::vector<cv::Point2d>& from, const std::vector<cv::Point2d>& to) {
  const std::size_t n = std::min(from.size(), to.size());
  cv::Point2d meanFrom, meanTo;
  for (std::size_t i = 0; i < n; ++i) {
    meanFrom += from[i];
    meanTo += to[i];
  }
  meanFrom /= static_cast<double>(n);
  meanTo /= static_cast<double>(n);
  double spread = 0, a = 0, b = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const cv::Point2d p = from[i] - meanFrom, q = to[i] - meanTo;
    spread += p.dot(p);
    a += p.x * q.x + p.y * q.y;
    b += p.x * q.y - p.y * q.x;
  }
  if (spread > 0) {
    a /= spread;
    b /= spread;
  }
  // to = [a -b; b a] * from + t
  return {a, -b, meanTo.x - a * meanFrom.x + b * meanFrom.y, b, a, meanTo.y - b * meanFrom.x - a * meanFrom.y};
}

std::unique_ptr<FaceIdentityModel> createFaceIdentityModel() { return std::make_unique<MobileFaceNet>(); }

}  // namespace kov
