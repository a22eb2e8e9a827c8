#include "faces/frame_analysis.h"

#include <future>

#include "cli/json.h"
#include "faces/measures.h"
#include "faces/sampling.h"
#include "platform/vision/characters.h"

namespace kov {
namespace {

constexpr double kPrintMinimumHeight = 0.06;
constexpr float kPrintMinimumConfidence = 0.5f;
constexpr double kSizeableFaceHeight = 0.045;
constexpr float kSizeableFaceConfidence = 0.3f;
constexpr float kMinimumTextHeight = 0.012f;
constexpr float kMinimumTextConfidence = 0.3f;
constexpr int kTextLength = 80;

bool isDue(double every, double next, double t) { return every > 0 && !(next > t + kDueTolerance); }

FaceRecord faceRecord(const FaceObservation& face, const GreyView& luma, FrameRequests& requests,
                      bool printThisFace, int printSize) {
  FaceRecord record;
  record.x = face.box.x;
  record.y = 1.0 - face.box.maxY();
  record.w = face.box.w;
  record.h = face.box.h;
  record.mouth = mouthOpenness(face);
  record.lip = lipGap(face);
  const auto [top, bottom] = pictureBand(luma, face.box);
  record.top = round3(top);
  record.bottom = round3(bottom);
  record.conf = face.confidence;
  if (printThisFace) record.print = facePrint(requests, face.box, printSize);
  return record;
}

bool hasSizeableFace(const std::vector<FaceObservation>& faces) {
  for (const FaceObservation& face : faces) {
    if (face.box.h >= kSizeableFaceHeight && face.confidence >= kSizeableFaceConfidence) return true;
  }
  return false;
}

// The most confident salient object; the earliest wins a tie.
std::optional<SubjectRecord> salientSubject(FrameRequests& requests) {
  const std::vector<SalientObject> objects = requests.salientObjects();
  const SalientObject* best = nullptr;
  for (const SalientObject& object : objects) {
    if (best == nullptr || object.confidence > best->confidence) best = &object;
  }
  if (best == nullptr) return std::nullopt;
  return SubjectRecord{best->box.x, 1.0 - best->box.maxY(), best->box.w, best->box.h, best->confidence};
}

std::vector<TextLineRecord> textLines(const std::vector<TextObservation>& observations) {
  std::vector<TextLineRecord> lines;
  for (const TextObservation& observation : observations) {
    if (!observation.hasCandidate || observation.confidence < kMinimumTextConfidence) continue;
    const NormBox& box = observation.box;
    lines.push_back({round3(box.x), round3(1.0 - box.maxY()), round3(box.w), round3(box.h),
                     firstCharacters(observation.text, kTextLength)});
  }
  return lines;
}

}  // namespace

FrameRecord analyseFrame(const DecodedFrame& frame, double t, VisionService& vision,
                         const AnalysisSettings& settings, AnalysisSchedule& schedule) {
  std::unique_ptr<FrameRequests> requests = vision.forFrame(frame);

  // Text recognition does not depend on the faces, so on text frames it runs on the second core
  // while the faces are measured; its result is taken in its place after the subject.
  std::future<std::vector<TextObservation>> text;
  if (isDue(settings.textEvery, schedule.nextText, t)) {
    schedule.nextText = t + settings.textEvery;
    text = std::async(std::launch::async, [&requests] { return requests->recognizeText(kMinimumTextHeight); });
  }

  const std::vector<FaceObservation> faces = requests->faceLandmarks();
  const bool printFrame = isDue(settings.printEvery, schedule.nextPrint, t);
  if (printFrame) schedule.nextPrint = t + settings.printEvery;

  FrameRecord record;
  record.t = round3(t);
  const GreyView luma = frame.layout == PixelLayout::Nv12 ? frame.luma() : GreyView{};
  for (const FaceObservation& face : faces) {
    const bool printThisFace =
        printFrame && face.box.h >= kPrintMinimumHeight && face.confidence >= kPrintMinimumConfidence;
    record.faces.push_back(faceRecord(face, luma, *requests, printThisFace, settings.printSize));
  }
  if (!hasSizeableFace(faces)) record.subject = salientSubject(*requests);
  if (text.valid()) record.text = textLines(text.get());
  return record;
}

}  // namespace kov
