// The vision services that `faces` asks about one sampled frame: face landmarks, feature prints,
// saliency and text. All boxes are fractions of the frame with the origin at the top-left; only the
// inner-lip points, of which only the spread counts, run up from the face box's bottom edge.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/video_reader.h"
#include "platform/pixels.h"

namespace kov {

struct PointF {
  double x = 0;
  double y = 0;
};

struct FaceObservation {
  NormBox box;
  float confidence = 0;
  bool hasLandmarks = false;
  std::vector<PointF> innerLips;  // fractions of the face box, y up from its bottom edge (see lipsInBox)
};

struct SalientObject {
  NormBox box;
  float confidence = 0;
};

struct TextObservation {
  NormBox box;
  bool hasCandidate = false;
  std::string text;  // the best candidate, UTF-8
  float confidence = 0;
};

// The requests made on one sampled frame; the object keeps its own copies of the frame's pictures.
// A failed request gives an empty result, never an error, with one exception: `recognizeText` throws
// a std::runtime_error naming the file when the text model, loaded on first use, is unreadable (the
// run cannot read text at all). `recognizeText` may run on another thread
// at the same time as the other requests, and the requests of different frames may run at the same
// time; the other requests of one frame are made from one thread at a time.
class FrameRequests {
 public:
  virtual ~FrameRequests() = default;
  // The frame's luma plane (for a BGRA frame, its grey picture), kept as long as the requests are.
  virtual GreyView luma() const = 0;
  virtual std::vector<FaceObservation> faceLandmarks() = 0;
  // A raw feature vector for the face whose print region (clipped to the frame by the caller) is
  // `region`: the identity of the face found by faceLandmarks() that fits the region best; none when
  // no found face fits it or the face cannot be described.
  virtual std::optional<std::vector<float>> featurePrint(const NormBox& region) = 0;
  virtual std::vector<SalientObject> salientObjects() = 0;
  // Text lines at least `minimumTextHeight` (fraction of the frame height) tall.
  virtual std::vector<TextObservation> recognizeText(float minimumTextHeight) = 0;
};

class VisionService {
 public:
  virtual ~VisionService() = default;
  virtual std::unique_ptr<FrameRequests> forFrame(const DecodedFrame& frame) = 0;
};

// Where the detectors' model files are; the face models are built into the tool.
struct VisionModels {
  std::string tessdata;    // folder holding Tesseract's eng.traineddata
  bool loadText = true;    // without the text model, text requests find nothing
  std::string textDetector;  // ONNX text line detector; empty: the one built into the tool
};

// The models installed by the setup.
VisionModels installedVisionModels();

// Loads the detectors' models. On failure (a model file missing or unreadable) returns none and
// sets `error` to a one-line message (without line feed) naming the file.
std::unique_ptr<VisionService> createVisionService(std::string& error);
std::unique_ptr<VisionService> createVisionService(const VisionModels& models, std::string& error);

}  // namespace kov
