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
    return emptyOnFailure([&] { return text_->recognize(images_, minimumTextHeight); });
  }

 private:
  const std::vector<LandmarkedFace>& found() {
    if (!found_) found_ = emptyOnFailure([&] { return faces_.detect(images_); });
    return *found_;
  }

  // The found face a print region was made around: the one with the largest share of its box
  // inside `region` (at least half), the larger one among equals. A region reaches well beyond its
  // face, so a smaller neighbour may lie inside it too, but never a larger one.
  const LandmarkedFace* faceFitting(const NormBox& region) {
    const LandmarkedFace* best = nullptr;
    double bestShare = 0.5;
    for (const LandmarkedFace& face : found()) {
      const NormBox& box = face.observation.box;
      const double share = shareInside(box, region);
      if (share > bestShare + 1e-9 || (best && share > bestShare - 1e-9 && box.w * box.h > best->observation.box.w * best->observation.box.h)) {
        best = &face;
        bestShare = std::max(bestShare, share);
      }
    }
    return best;
  }

  static double shareInside(const NormBox& box, const NormBox& region) {
    const double ix = std::min(box.maxX(), region.maxX()) - std::max(box.x, region.x);
    const double iy = std::min(box.maxY(), region.maxY()) - std::max(box.y, region.y);
    if (!(ix > 0) || !(iy > 0) || !(box.w * box.h > 0)) return 0;
    return ix * iy / (box.w * box.h);
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
  return {"/usr/share/tesseract-ocr/5/tessdata"};
}

std::unique_ptr<VisionService> createVisionService(std::string& error) {
  return createVisionService(installedVisionModels(), error);
}

// The text model loads while the face models do; a broken face model is reported first.
std::unique_ptr<VisionService> createVisionService(const VisionModels& models, std::string& error) {
  std::string textError;
  std::future<std::unique_ptr<TextRecognizer>> loadingText;
  if (models.loadText) {
    loadingText = std::async(std::launch::async, [&] { return loadTextRecognizer(models.tessdata, textError); });
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
