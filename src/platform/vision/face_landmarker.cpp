#include "platform/vision/face_landmarker.h"

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/opencv/cv_image.h>

#include <cmath>
#include <filesystem>

namespace kov {
namespace {

// Points 60..67 of the 68-point model outline the inner lips.
constexpr unsigned long kFirstInnerLipPoint = 60;
constexpr unsigned long kLastInnerLipPoint = 67;

class DlibFaceLandmarker : public FaceLandmarker {
 public:
  explicit DlibFaceLandmarker(dlib::shape_predictor shapes)
      : detector_(dlib::get_frontal_face_detector()), shapes_(std::move(shapes)) {}

  // The detector's window is 80 px, so faces down to about 40 px are only found on the frame
  // enlarged two times; detection and landmarks both run on that picture.
  std::vector<FaceObservation> detect(const FrameImages& images) override {
    std::vector<FaceObservation> faces;
    if (images.greyDouble.empty()) return faces;
    dlib::cv_image<unsigned char> picture(images.greyDouble);
    std::vector<dlib::rect_detection> found;
    detector_(picture, found, 0.0);
    for (const auto& detection : found) faces.push_back(observation(picture, detection, images));
    return faces;
  }

 private:
  FaceObservation observation(const dlib::cv_image<unsigned char>& picture, const dlib::rect_detection& detection,
                              const FrameImages& images) {
    const dlib::rectangle& r = detection.rect;
    const double scale = static_cast<double>(images.greyDouble.cols) / images.grey.cols;
    cv::Rect2d pixels(r.left() / scale, r.top() / scale, r.width() / scale, r.height() / scale);
    FaceObservation face;
    face.box = normalisedBox(pixels, images.grey.cols, images.grey.rows);
    face.confidence = faceConfidence(detection.detection_confidence);
    dlib::full_object_detection shape = shapes_(picture, r);
    if (shape.num_parts() > kLastInnerLipPoint && r.width() > 0 && r.height() > 0) {
      face.hasLandmarks = true;
      for (unsigned long i = kFirstInnerLipPoint; i <= kLastInnerLipPoint; ++i) {
        const dlib::point p = shape.part(i);
        // Fractions of the face box, origin at its bottom-left like the box itself.
        face.innerLips.push_back({static_cast<double>(p.x() - r.left()) / r.width(),
                                  static_cast<double>(r.top() + r.height() - p.y()) / r.height()});
      }
    }
    return face;
  }

  dlib::frontal_face_detector detector_;
  dlib::shape_predictor shapes_;
};

}  // namespace

float faceConfidence(double score) { return static_cast<float>(1.0 / (1.0 + std::exp(-2.0 * score))); }

std::unique_ptr<FaceLandmarker> loadFaceLandmarker(const std::string& modelPath, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(modelPath, ec)) {
    error = "missing face landmark model " + modelPath;
    return nullptr;
  }
  dlib::shape_predictor shapes;
  try {
    dlib::deserialize(modelPath) >> shapes;
  } catch (const std::exception&) {
    error = "cannot read face landmark model " + modelPath;
    return nullptr;
  }
  if (shapes.num_parts() <= kLastInnerLipPoint) {
    error = "cannot read face landmark model " + modelPath;
    return nullptr;
  }
  return std::make_unique<DlibFaceLandmarker>(std::move(shapes));
}

}  // namespace kov
