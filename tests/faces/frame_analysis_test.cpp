#include <gtest/gtest.h>

#include "faces/frame_analysis.h"

namespace kov {
namespace {

// Detector answers chosen by the test, with a count of the requests made.
struct Answers {
  std::vector<FaceObservation> faces;
  std::vector<SalientObject> salient;
  std::vector<TextObservation> text;
  std::optional<std::vector<float>> print;
  int faceRequests = 0, printRequests = 0, saliencyRequests = 0, textRequests = 0;
  float textHeightAsked = 0;
};

// Keeps a copy of the frame's luma plane, as the requests of the vision service do.
class ScriptedRequests : public FrameRequests {
 public:
  ScriptedRequests(Answers& answers, const GreyView& luma) : answers_(answers) {
    luma_.width = luma.width;
    luma_.height = luma.height;
    for (int y = 0; y < luma.height; ++y) luma_.pixels.insert(luma_.pixels.end(), &luma.data[y * luma.stride], &luma.data[y * luma.stride + luma.width]);
  }
  GreyView luma() const override { return luma_.view(); }
  std::vector<FaceObservation> faceLandmarks() override {
    ++answers_.faceRequests;
    return answers_.faces;
  }
  std::optional<std::vector<float>> featurePrint(const NormBox&) override {
    ++answers_.printRequests;
    return answers_.print;
  }
  std::vector<SalientObject> salientObjects() override {
    ++answers_.saliencyRequests;
    return answers_.salient;
  }
  std::vector<TextObservation> recognizeText(float minimumTextHeight) override {
    ++answers_.textRequests;
    answers_.textHeightAsked = minimumTextHeight;
    return answers_.text;
  }

 private:
  Answers& answers_;
  GreyImage luma_;
};

class ScriptedVision : public VisionService {
 public:
  Answers answers;
  std::unique_ptr<FrameRequests> forFrame(const DecodedFrame& frame) override {
    return std::make_unique<ScriptedRequests>(answers, frame.luma());
  }
};

FaceObservation face(double x, double y, double w, double h, float confidence) {
  FaceObservation f;
  f.box = {x, y, w, h};
  f.confidence = confidence;
  return f;
}

std::vector<float> rawPrint() {
  std::vector<float> raw(768);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<float>(i % 7);
  return raw;
}

// A 64x48 NV12 frame of mid grey with black bars over the top and bottom 8 rows.
struct GreyFrame {
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(64 * 48 * 3 / 2, 128);
  GreyFrame() {
    std::fill_n(bytes.begin(), 64 * 8, 16);
    std::fill_n(bytes.begin() + 64 * 40, 64 * 8, 16);
  }
  DecodedFrame frame() const {
    DecodedFrame f;
    f.width = 64;
    f.height = 48;
    f.planes[0] = bytes.data();
    f.planes[1] = bytes.data() + 64 * 48;
    f.strides[0] = f.strides[1] = 64;
    return f;
  }
};

TEST(FrameAnalysis, FacesGetMeasuresAndPrintsOnlyWhenLargeConfidentAndDue) {
  ScriptedVision vision;
  vision.answers.print = rawPrint();
  FaceObservation open = face(0.4, 1.0 - (0.3 + 0.4), 0.2, 0.4, 0.9f);
  open.hasLandmarks = true;
  open.innerLips = {{0.3, 0.3}, {0.5, 0.35}, {0.7, 0.3}, {0.5, 0.25}};
  vision.answers.faces = {open, face(0.1, 0.1, 0.1, 0.2, 0.49f), face(0.7, 0.7, 0.05, 0.059, 0.99f),
                          face(0.7, 0.1, 0.1, 0.06, 0.5f)};
  GreyFrame grey;
  AnalysisSettings settings;
  settings.textEvery = 0;
  settings.printEvery = 1;
  settings.printSize = 32;
  AnalysisSchedule schedule;

  FrameRecord first = analyseFrame(grey.frame(), 0.0004, vision, settings, schedule);
  EXPECT_EQ(first.t, 0.0);
  ASSERT_EQ(first.faces.size(), 4u);
  const FaceRecord& a = first.faces[0];
  EXPECT_EQ(a.x, 0.4);
  EXPECT_EQ(a.y, 1.0 - (0.3 + 0.4));
  EXPECT_EQ(a.w, 0.2);
  EXPECT_EQ(a.h, 0.4);
  EXPECT_NEAR(a.mouth, 0.25, 1e-12);
  EXPECT_NEAR(a.lip, 0.1, 1e-12);
  EXPECT_EQ(a.conf, static_cast<double>(0.9f));
  // Bars of 8 rows in 48 (run length 3): the band is rows 8 to 40, rounded to three decimals.
  EXPECT_EQ(a.top, 0.167);
  EXPECT_EQ(a.bottom, 0.833);
  ASSERT_TRUE(a.print);
  EXPECT_EQ(a.print->size(), 32u);
  EXPECT_FALSE(first.faces[1].print);  // confidence 0.49
  EXPECT_FALSE(first.faces[2].print);  // height below 0.06
  EXPECT_TRUE(first.faces[3].print);   // exactly 0.06 high and 0.5 confident
  EXPECT_EQ(vision.answers.printRequests, 2);
  EXPECT_NEAR(schedule.nextPrint, 1.0004, 1e-12);
  EXPECT_FALSE(first.text);
  EXPECT_FALSE(first.subject);
  EXPECT_EQ(vision.answers.saliencyRequests, 0);

  // Not yet due at 0.999 (the tolerance is 0.0005 seconds), due at 1.
  FrameRecord second = analyseFrame(grey.frame(), 0.999, vision, settings, schedule);
  EXPECT_FALSE(second.faces[0].print);
  EXPECT_NEAR(schedule.nextPrint, 1.0004, 1e-12);
  FrameRecord third = analyseFrame(grey.frame(), 1.0, vision, settings, schedule);
  EXPECT_TRUE(third.faces[0].print);
  EXPECT_EQ(schedule.nextPrint, 2.0);
  EXPECT_EQ(third.t, 1.0);

  // The print time moves on also when no face is printed; prints off with an interval of 0.
  vision.answers.faces = {face(0.1, 0.1, 0.1, 0.2, 0.3f)};
  analyseFrame(grey.frame(), 2.0, vision, settings, schedule);
  EXPECT_NEAR(schedule.nextPrint, 3.0, 1e-12);
  settings.printEvery = 0;
  vision.answers.faces = {open};
  FrameRecord off = analyseFrame(grey.frame(), 5.0, vision, settings, schedule);
  EXPECT_FALSE(off.faces[0].print);
  EXPECT_EQ(vision.answers.faceRequests, 5);
}

TEST(FrameAnalysis, SubjectOnlyWithoutASizeableConfidentFace) {
  ScriptedVision vision;
  vision.answers.salient = {{{0.1, 0.2, 0.3, 0.4}, 0.6f}, {{0.5, 1.0 - 0.7, 0.2, 0.2}, 0.8f}, {{0.0, 0.0, 0.9, 0.9}, 0.8f}};
  GreyFrame grey;
  AnalysisSettings settings;
  settings.textEvery = 0;
  settings.printEvery = 0;
  AnalysisSchedule schedule;

  // A 0.05 high face of confidence 0.9: no print (below 0.06) but no subject either.
  vision.answers.faces = {face(0.2, 0.2, 0.05, 0.05, 0.9f)};
  EXPECT_FALSE(analyseFrame(grey.frame(), 0, vision, settings, schedule).subject);
  EXPECT_EQ(vision.answers.saliencyRequests, 0);
  // Exactly 0.045 high and 0.3 confident still counts as sizeable.
  vision.answers.faces = {face(0.2, 0.2, 0.045, 0.045, 0.3f)};
  EXPECT_FALSE(analyseFrame(grey.frame(), 0, vision, settings, schedule).subject);

  // Only a 0.03 high face, or a large one of confidence 0.29: the most confident object, the
  // earlier of two equal ones.
  for (const FaceObservation& weak : {face(0.2, 0.2, 0.03, 0.03, 0.9f), face(0.2, 0.2, 0.3, 0.3, 0.29f)}) {
    vision.answers.faces = {weak};
    const FrameRecord record = analyseFrame(grey.frame(), 0, vision, settings, schedule);
    ASSERT_TRUE(record.subject);
    EXPECT_EQ(record.subject->x, 0.5);
    EXPECT_EQ(record.subject->y, 1.0 - 0.7);
    EXPECT_EQ(record.subject->w, 0.2);
    EXPECT_EQ(record.subject->h, 0.2);
    EXPECT_EQ(record.subject->conf, static_cast<double>(0.8f));
  }
  vision.answers.faces.clear();
  vision.answers.salient.clear();
  EXPECT_FALSE(analyseFrame(grey.frame(), 0, vision, settings, schedule).subject);
  EXPECT_EQ(vision.answers.saliencyRequests, 3);
}

TEST(FrameAnalysis, TextOnScheduleWithConfidenceCutRoundedBoxesAndEightyCharacters) {
  ScriptedVision vision;
  std::string longLine;
  for (int i = 0; i < 120; ++i) longLine += i == 5 ? "\xF0\x9F\x98\x80" : "x";
  vision.answers.text = {{{0.12345, 0.4596, 0.3, 0.04}, true, "A/B", 0.95f},
                         {{0.1, 0.1, 0.2, 0.05}, true, "dropped", 0.29f},
                         {{0.1, 0.1, 0.2, 0.05}, false, "", 0.99f},
                         {{0.1, 0.2, 0.8, 0.05}, true, longLine, 0.3f}};
  GreyFrame grey;
  AnalysisSettings settings;
  settings.textEvery = 0.5;
  settings.printEvery = 0;
  AnalysisSchedule schedule;

  FrameRecord first = analyseFrame(grey.frame(), 0, vision, settings, schedule);
  ASSERT_TRUE(first.text);
  ASSERT_EQ(first.text->size(), 2u);
  const TextLineRecord& line = (*first.text)[0];
  EXPECT_EQ(line.x, 0.123);
  EXPECT_EQ(line.y, 0.46);
  EXPECT_EQ(line.w, 0.3);
  EXPECT_EQ(line.h, 0.04);
  EXPECT_EQ(line.s, "A/B");
  EXPECT_EQ((*first.text)[1].s, longLine.substr(0, 83));  // 79 letters and one 4-byte emoji
  EXPECT_FLOAT_EQ(vision.answers.textHeightAsked, 0.012f);
  EXPECT_NEAR(schedule.nextText, 0.5, 1e-12);

  EXPECT_FALSE(analyseFrame(grey.frame(), 0.49, vision, settings, schedule).text);
  EXPECT_TRUE(analyseFrame(grey.frame(), 0.4996, vision, settings, schedule).text);
  EXPECT_EQ(vision.answers.textRequests, 2);

  // A text frame without text has an empty list; an interval of 0 never recognises text.
  vision.answers.text.clear();
  FrameRecord empty = analyseFrame(grey.frame(), 1.0, vision, settings, schedule);
  ASSERT_TRUE(empty.text);
  EXPECT_TRUE(empty.text->empty());
  settings.textEvery = 0;
  EXPECT_FALSE(analyseFrame(grey.frame(), 5.0, vision, settings, schedule).text);
  EXPECT_EQ(vision.answers.textRequests, 3);
}

}  // namespace
}  // namespace kov
