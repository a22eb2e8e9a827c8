#include "platform/vision/vision.h"

#include <exception>
#include <future>

#include "platform/vision/face_landmarker.h"
#include "platform/vision/feature_print.h"
#include "platform/vision/frame_images.h"
#include "platform/vision/saliency_finder.h"
#include "platform/vision/text_recognizer.h"

namespace kov {
namespace {

// A request that fails inside a library (an exception from OpenCV or dlib, memory exhausted) has
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
    return emptyOnFailure([&] { return faces_.detect(images_); });
  }

  std::optional<std::vector<float>> featurePrint(const NormBox& region) override {
    return emptyOnFailure([&] { return describeRegion(images_.bgr, pixelBox(region, images_.bgr.cols, images_.bgr.rows)); });
  }

  std::vector<SalientObject> salientObjects() override {
    return emptyOnFailure([&] { return findSalientObjects(images_.bgr); });
  }

  std::vector<TextObservation> recognizeText(float minimumTextHeight) override {
    if (!text_) return {};
    return emptyOnFailure([&] { return text_->recognize(images_, minimumTextHeight); });
  }

 private:
  FrameImages images_;
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
  return {"/usr/share/dlib/shape_predictor_68_face_landmarks.dat", "/usr/share/tesseract-ocr/5/tessdata"};
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
  std::unique_ptr<FaceLandmarker> faces = loadFaceLandmarker(models.faceShapes, error);
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
