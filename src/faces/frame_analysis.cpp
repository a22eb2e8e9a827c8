#include "faces/frame_analysis.h"

#include <future>

#include "faces/measures.h"
#include "faces/sampling.h"
#include "numeric/rounding.h"
#include "numeric/schedule.h"
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

bool isDue(double every, double next, double t) { return every > 0 && isDueAt(next, t); }

FaceRecord faceRecord(const FaceObservation& face, const GreyView& luma, FrameRequests& requests,
                      bool printThisFace, int printSize) {
  FaceRecord record;
  record.x = face.box.x;
  record.y = face.box.y;
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
  return SubjectRecord{best->box.x, best->box.y, best->box.w, best->box.h, best->confidence};
}

std::vector<TextLineRecord> textLines(const std::vector<TextObservation>& observations) {
  std::vector<TextLineRecord> lines;
  for (const TextObservation& observation : observations) {
    if (!observation.hasCandidate || observation.confidence < kMinimumTextConfidence) continue;
    const NormBox& box = observation.box;
    lines.push_back({round3(box.x), round3(box.y), round3(box.w), round3(box.h),
                     firstCharacters(observation.text, kTextLength)});
  }
  return lines;
}

// Everything of a frame's record but its text lines.
FrameRecord faceAndSubjectRecord(FrameRequests& requests, double t, const GreyView& luma, bool printFrame,
                                 bool textFrame, int printSize) {
  const std::vector<FaceObservation> faces = requests.faceLandmarks();
  FrameRecord record;
  record.t = round3(t);
  for (const FaceObservation& face : faces) {
    const bool printThisFace =
        printFrame && face.box.h >= kPrintMinimumHeight && face.confidence >= kPrintMinimumConfidence;
    record.faces.push_back(faceRecord(face, luma, requests, printThisFace, printSize));
  }
  if (!hasSizeableFace(faces)) record.subject = salientSubject(requests);
  if (textFrame) record.text.emplace();  // a text frame has a text list even when nothing is read
  return record;
}

}  // namespace

PendingFrame::PendingFrame(std::unique_ptr<FrameRequests> requests, std::future<FrameRecord> record,
                           std::future<std::vector<TextObservation>> text)
    : requests_(std::move(requests)), record_(std::move(record)), text_(std::move(text)) {}

// The measuring uses `requests_`, so it must end before they go.
PendingFrame::~PendingFrame() {
  if (record_.valid()) record_.wait();
  if (text_.valid()) text_.wait();
}

FrameRecord PendingFrame::finish() {
  FrameRecord record = record_.get();
  if (text_.valid()) record.text = textLines(text_.get());
  return record;
}

bool textIsDue(const AnalysisSettings& settings, const AnalysisSchedule& schedule, double t) {
  return isDue(settings.textEvery, schedule.nextText, t);
}

PendingFrame startFrameAnalysis(const DecodedFrame& frame, double t, VisionService& vision,
                                const AnalysisSettings& settings, AnalysisSchedule& schedule) {
  std::unique_ptr<FrameRequests> requests = vision.forFrame(frame);
  FrameRequests* measure = requests.get();

  std::future<std::vector<TextObservation>> text;
  const bool textFrame = textIsDue(settings, schedule, t);
  if (textFrame) {
    schedule.nextText = t + settings.textEvery;
    text = std::async(std::launch::async, [measure] { return measure->recognizeText(kMinimumTextHeight); });
  }
  const bool printFrame = isDue(settings.printEvery, schedule.nextPrint, t);
  if (printFrame) schedule.nextPrint = t + settings.printEvery;

  auto record = std::async(std::launch::async, [measure, t, printFrame, textFrame, printSize = settings.printSize] {
    return faceAndSubjectRecord(*measure, t, measure->luma(), printFrame, textFrame, printSize);
  });
  return PendingFrame(std::move(requests), std::move(record), std::move(text));
}

FrameRecord analyseFrame(const DecodedFrame& frame, double t, VisionService& vision,
                         const AnalysisSettings& settings, AnalysisSchedule& schedule) {
  return startFrameAnalysis(frame, t, vision, settings, schedule).finish();
}

}  // namespace kov
