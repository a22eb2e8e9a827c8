// Faces with their inner-lip landmarks: dlib's HOG frontal face detector and 68-point shape model.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/vision/frame_images.h"
#include "platform/vision/vision.h"

namespace kov {

class FaceLandmarker {
 public:
  virtual ~FaceLandmarker() = default;
  // Faces in `images` in the detector's order (strongest first); boxes normalised to the frame.
  // Several threads may detect at the same time.
  virtual std::vector<FaceObservation> detect(const FrameImages& images) = 0;
};

// Loads the shape model from `modelPath`; none with a one-line `error` naming the file when it
// cannot be read.
std::unique_ptr<FaceLandmarker> loadFaceLandmarker(const std::string& modelPath, std::string& error);

// The detector's score turned into a confidence in 0..1 (score 0 gives 0.5).
float faceConfidence(double score);

}  // namespace kov
