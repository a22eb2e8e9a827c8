// Faces with their inner-lip landmarks and identity prints: the MediaPipe face detector and face
// mesh, and MobileFaceNet, all run by our own model runner.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/vision/frame_images.h"
#include "platform/vision/vision.h"

namespace kov {

constexpr int kFeaturePrintLength = 768;

struct LandmarkedFace {
  FaceObservation observation;
  std::vector<PointF> alignment;  // eyes, nose tip and mouth corners in frame pixels; empty without a mesh
};

class FaceLandmarker {
 public:
  virtual ~FaceLandmarker() = default;
  // Faces in `images`, strongest first; boxes normalised to the frame. Several threads may detect
  // at the same time.
  virtual std::vector<LandmarkedFace> detect(const FrameImages& images) = 0;

  // The raw print of a face: its identity embedding with each value repeated so that the vector is
  // kFeaturePrintLength long, unit length. None without a mesh.
  virtual std::optional<std::vector<float>> print(const FrameImages& images, const LandmarkedFace& face) = 0;
};

// Loads the built-in models; none with a one-line `error` when one cannot be run.
std::unique_ptr<FaceLandmarker> loadFaceLandmarker(std::string& error);

}  // namespace kov
