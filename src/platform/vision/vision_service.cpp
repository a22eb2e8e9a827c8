// Interim: no detectors yet.
#include "platform/vision/vision.h"

namespace kov {
namespace {

class NoRequests : public FrameRequests {
 public:
  std::vector<FaceObservation> faceLandmarks() override { return {}; }
  std::optional<std::vector<float>> featurePrint(const NormBox&) override { return std::nullopt; }
  std::vector<SalientObject> salientObjects() override { return {}; }
  std::vector<TextObservation> recognizeText(float) override { return {}; }
};

class NoVision : public VisionService {
 public:
  std::unique_ptr<FrameRequests> forFrame(const DecodedFrame&) override { return std::make_unique<NoRequests>(); }
};

}  // namespace

std::unique_ptr<VisionService> createVisionService(std::string&) { return std::make_unique<NoVision>(); }

}  // namespace kov
