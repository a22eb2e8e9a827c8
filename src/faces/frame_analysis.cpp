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

PendingFrame::PendingFrame(FrameRecord record, std::unique_ptr<FrameRequests> requests,
                           std::future<std::vector<TextObservation>> text)
    : record_(std::move(record)), requests_(std::move(requests)), text_(std::move(text)) {}

// The text request uses `requests_`, so it must end before they go.
PendingFrame::~PendingFrame() {
  if (text_.valid()) text_.wait();
}

FrameRecord PendingFrame::finish() {
  if (text_.valid()) record_.text = textLines(text_.get());
  return std::move(record_);
}

bool textIsDue(const AnalysisSettings& settings, const AnalysisSchedule& schedule, double t) {
  return isDue(settings.textEvery, schedule.nextText, t);
}

PendingFrame startFrameAnalysis(const DecodedFrame& frame, double t, VisionService& vision,
                                const AnalysisSettings& settings, AnalysisSchedule& schedule) {
  std::unique_ptr<FrameRequests> requests = vision.forFrame(frame);

  // Text recognition does not depend on the faces, so on text frames it runs on another thread
  // while the faces are measured, and may go on while the next frames are.
  std::future<std::vector<TextObservation>> text;
  if (textIsDue(settings, schedule, t)) {
    schedule.nextText = t + settings.textEvery;
    FrameRequests* textRequests = requests.get();
    text = std::async(std::launch::async, [textRequests] { return textRequests->recognizeText(kMinimumTextHeight); });
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
  if (text.valid()) record.text.emplace();  // a text frame has a text list even before it is read
  return PendingFrame(std::move(record), std::move(requests), std::move(text));
}

FrameRecord analyseFrame(const DecodedFrame& frame, double t, VisionService& vision,
                         const AnalysisSettings& settings, AnalysisSchedule& schedule) {
  return startFrameAnalysis(frame, t, vision, settings, schedule).finish();
}

}  // namespace kov
