#include "platform/vision/vision.h"

#include <algorithm>
#include <exception>
#include <future>

#include "platform/vision/face_landmarker.h"
#include "platform/vision/frame_images.h"
#include "platform/vision/saliency_finder.h"
#include "platform/vision/text_recognizer.h"

namespace kov {
namespace {

// A request that fails inside a library (an exception from OpenCV, memory exhausted) has
// no results; it never ends the run.
template <typename Request>
auto emptyOnFailure(Request request) -> decltype(request()) {
  try {
    return request();
  } catch (const std::exception&) {
    return {};
  }
}

class LibraryFrameRequests : public FrameRequests {
 public:
  LibraryFrameRequests(const DecodedFrame& frame, FaceLandmarker& faces, TextRecognizer* text)
      : images_(makeFrameImages(frame)), faces_(faces), text_(text) {}

  GreyView luma() const override {
    const cv::Mat& grey = images_.grey;
    return {grey.data, grey.cols, grey.rows, static_cast<std::ptrdiff_t>(grey.step)};
  }

  std::vector<FaceObservation> faceLandmarks() override {
    std::vector<FaceObservation> observations;
    for (const LandmarkedFace& face : found()) observations.push_back(face.observation);
    return observations;
  }

  std::optional<std::vector<float>> featurePrint(const NormBox& region) override {
    const LandmarkedFace* face = faceFitting(region);
    if (face == nullptr) return std::nullopt;
    return emptyOnFailure([&] { return faces_.print(images_, *face); });
  }

  std::vector<SalientObject> salientObjects() override {
    return emptyOnFailure([&] { return findSalientObjects(images_.bgr); });
  }

  std::vector<TextObservation> recognizeText(float minimumTextHeight) override {
    if (!text_) return {};
    // An unreadable text model is no failure of this one frame: it passes on and ends the run.
    try {
      return text_->recognize(images_, minimumTextHeight);
    } catch (const TextModelUnreadable&) {
      throw;
    } catch (const std::exception&) {
      return {};
    }
  }

 private:
  const std::vector<LandmarkedFace>& found() {
    if (!found_) found_ = emptyOnFailure([&] { return faces_.detect(images_); });
    return *found_;
  }

  // The found face a print region was made around. The tool widens a face box into its print
  // region (twice the width, centred; 0.3 of the height above the face and 0.9 below) and clips it
  // to the frame, so the face whose region made that way matches `region` best is the one; it must
  // match by more than half (intersection over union).
  const LandmarkedFace* faceFitting(const NormBox& region) {
    const LandmarkedFace* best = nullptr;
    double bestOverlap = 0.5;
    for (const LandmarkedFace& face : found()) {
      const NormBox& b = face.observation.box;
      const double overlap = overlapOfClipped({b.x - 0.5 * b.w, b.y - 0.3 * b.h, 2 * b.w, 2.2 * b.h}, region);
      if (overlap > bestOverlap) {
        best = &face;
        bestOverlap = overlap;
      }
    }
    return best;
  }

  // Intersection over union of `a` clipped to the unit square and `b`.
  static double overlapOfClipped(const NormBox& a, const NormBox& b) {
    const double ax0 = std::max(a.x, 0.0), ay0 = std::max(a.y, 0.0);
    const double ax1 = std::min(a.maxX(), 1.0), ay1 = std::min(a.maxY(), 1.0);
    const double ix = std::min(ax1, b.maxX()) - std::max(ax0, b.x), iy = std::min(ay1, b.maxY()) - std::max(ay0, b.y);
    if (!(ix > 0) || !(iy > 0) || !(ax1 > ax0) || !(ay1 > ay0)) return 0;
    const double common = ix * iy;
    return common / ((ax1 - ax0) * (ay1 - ay0) + b.w * b.h - common);
  }

  FrameImages images_;
  std::optional<std::vector<LandmarkedFace>> found_;
  FaceLandmarker& faces_;
  TextRecognizer* text_;
};

class LibraryVisionService : public VisionService {
 public:
  LibraryVisionService(std::unique_ptr<FaceLandmarker> faces, std::unique_ptr<TextRecognizer> text)
      : faces_(std::move(faces)), text_(std::move(text)) {}

  std::unique_ptr<FrameRequests> forFrame(const DecodedFrame& frame) override {
    return std::make_unique<LibraryFrameRequests>(frame, *faces_, text_.get());
  }

 private:
  std::unique_ptr<FaceLandmarker> faces_;
  std::unique_ptr<TextRecognizer> text_;
};

}  // namespace

VisionModels installedVisionModels() {
  return {"/usr/share/tesseract-ocr/5/tessdata", true, ""};
}

std::unique_ptr<VisionService> createVisionService(std::string& error) {
  return createVisionService(installedVisionModels(), error);
}

// The text model loads while the face models do; a broken face model is reported first.
std::unique_ptr<VisionService> createVisionService(const VisionModels& models, std::string& error) {
  std::string textError;
  std::future<std::unique_ptr<TextRecognizer>> loadingText;
  if (models.loadText) {
    loadingText = std::async(std::launch::async, [&] { return loadTextRecognizer(models.tessdata, models.textDetector, textError); });
  }
  std::unique_ptr<FaceLandmarker> faces = loadFaceLandmarker(error);
  if (!faces) return nullptr;
  std::unique_ptr<TextRecognizer> text;
  if (loadingText.valid()) {
    text = loadingText.get();
    if (!text) {
      error = textError;
      return nullptr;
    }
  }
  return std::make_unique<LibraryVisionService>(std::move(faces), std::move(text));
}

}  // namespace kov
