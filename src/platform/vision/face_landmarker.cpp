#include "platform/vision/face_landmarker.h"

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/opencv/cv_image.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <future>
#include <mutex>

#include <opencv2/imgproc.hpp>

namespace kov {
namespace {

// Points 60..67 of the 68-point model outline the inner lips.
constexpr unsigned long kFirstInnerLipPoint = 60;
constexpr unsigned long kLastInnerLipPoint = 67;

// The detector scans a pyramid whose levels shrink by 5/6. The two largest levels of the enlarged
// frame cost about as much as all the others together, so they are scanned on a second thread
// while this one scans the rest, starting from the enlarged frame shrunk by (5/6)^2.
constexpr unsigned long kLevelsOnSecondThread = 2;
constexpr double kRestScale = 25.0 / 36.0;

dlib::frontal_face_detector withMaxLevels(const dlib::frontal_face_detector& base, unsigned long levels) {
  dlib::frontal_face_detector::image_scanner_type scanner;
  scanner.copy_configuration(base.get_scanner());
  scanner.set_max_pyramid_levels(levels);
  std::vector<dlib::frontal_face_detector> parts;
  for (unsigned long i = 0; i < base.num_detectors(); ++i) parts.emplace_back(scanner, base.get_overlap_tester(), base.get_w(i));
  return dlib::frontal_face_detector(parts);
}

// A detector keeps the pyramid of the picture it scans, so each scan needs a detector of its own.
struct Scanners {
  dlib::frontal_face_detector allLevels;
  dlib::frontal_face_detector largeLevels;
};

class DlibFaceLandmarker : public FaceLandmarker {
 public:
  DlibFaceLandmarker(dlib::frontal_face_detector detector, dlib::shape_predictor shapes)
      : detector_(std::move(detector)), shapes_(std::move(shapes)) {}

  // The detector's window is 80 px, so faces down to about 40 px are only found on the frame
  // enlarged two times; detection and landmarks both run on that picture.
  std::vector<FaceObservation> detect(const FrameImages& images) override {
    std::vector<FaceObservation> faces;
    if (images.greyDouble.empty()) return faces;
    dlib::cv_image<unsigned char> picture(images.greyDouble);
    for (const auto& detection : detections(images.greyDouble)) faces.push_back(observation(picture, detection, images));
    return faces;
  }

 private:
  // Scanners left by earlier calls, or new ones when every one is in use.
  std::unique_ptr<Scanners> borrowScanners() {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        std::unique_ptr<Scanners> scanners = std::move(idle_.back());
        idle_.pop_back();
        return scanners;
      }
    }
    return std::make_unique<Scanners>(Scanners{detector_, withMaxLevels(detector_, kLevelsOnSecondThread)});
  }

  void returnScanners(std::unique_ptr<Scanners> scanners) {
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(scanners));
  }

  // All detections on the enlarged frame, strongest first, overlapping weaker ones dropped as the
  // detector itself does within one scan.
  std::vector<dlib::rect_detection> detections(const cv::Mat& enlarged) {
    std::unique_ptr<Scanners> scanners = borrowScanners();
    std::vector<dlib::rect_detection> large;
    auto largeScan = std::async(std::launch::async, [&] {
      dlib::cv_image<unsigned char> picture(enlarged);
      scanners->largeLevels(picture, large, 0.0);
    });
    cv::Mat smaller;
    cv::resize(enlarged, smaller, cv::Size(), kRestScale, kRestScale, cv::INTER_AREA);
    std::vector<dlib::rect_detection> found;
    scanners->allLevels(dlib::cv_image<unsigned char>(smaller), found, 0.0);
    for (auto& detection : found) detection.rect = dlib::scale_rect(detection.rect, 1.0 / kRestScale);
    largeScan.get();
    returnScanners(std::move(scanners));
    found.insert(found.end(), large.begin(), large.end());
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
      return a.detection_confidence > b.detection_confidence;
    });
    std::vector<dlib::rect_detection> kept;
    const auto overlaps = detector_.get_overlap_tester();
    for (const auto& detection : found) {
      const bool hidden = std::any_of(kept.begin(), kept.end(),
                                      [&](const auto& k) { return overlaps(k.rect, detection.rect); });
      if (!hidden) kept.push_back(detection);
    }
    return kept;
  }

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

  const dlib::frontal_face_detector detector_;  // copied for each scanner, never scanned with
  const dlib::shape_predictor shapes_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Scanners>> idle_;
};

}  // namespace

float faceConfidence(double score) { return static_cast<float>(1.0 / (1.0 + std::exp(-2.0 * score))); }

std::unique_ptr<FaceLandmarker> loadFaceLandmarker(const std::string& modelPath, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(modelPath, ec)) {
    error = "missing face landmark model " + modelPath;
    return nullptr;
  }
  // Unpacking the detector built into dlib takes about 0.3 s and reading the shape model about
  // 0.6 s; they are done at the same time.
  auto detector = std::async(std::launch::async, [] { return dlib::get_frontal_face_detector(); });
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
  return std::make_unique<DlibFaceLandmarker>(detector.get(), std::move(shapes));
}

}  // namespace kov
