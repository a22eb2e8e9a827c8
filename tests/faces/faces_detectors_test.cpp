// `faces` end to end on videos made from real photos of people: faces, mouths, picture bands,
// prints, text lines, the salient subject and cuts.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>

#include "support/fixtures.h"
#include "support/reports.h"
#include "support/tool_run.h"

namespace kov {
namespace {

using nlohmann::json;

double printLengthSquared(const json& print) {
  double sum = 0;
  for (const auto& v : print) sum += v.get<double>() * v.get<double>();
  return sum;
}

double printDistance(const json& a, const json& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::pow(a[i].get<double>() - b[i].get<double>(), 2);
  return std::sqrt(sum);
}

bool covers(const json& box, double x, double y) {
  return box["x"] <= x && x <= box["x"].get<double>() + box["w"].get<double>() && box["y"] <= y &&
         y <= box["y"].get<double>() + box["h"].get<double>();
}

bool isSizeable(const json& face) { return face["h"] >= 0.045 && face["conf"] >= 0.3; }

bool hasLineWith(const json& frame, const std::string& words) {
  for (const auto& line : frame["text"]) {
    if (line["s"].get<std::string>().find(words) != std::string::npos) return true;
  }
  return false;
}

// The centre of the face of person 0 or 1 of the first shot at time t: photo 3 pans left by 40 of
// 960 columns per second.
std::pair<double, double> photoThreeFace(int person, double t) {
  return {(person == 0 ? 0.409 : 0.953) - 40.0 / 960 * t, 0.283};
}

const json* faceCovering(const json& frame, double x, double y) {
  for (const auto& face : frame["faces"]) {
    if (covers(face, x, y)) return &face;
  }
  return nullptr;
}

class ThreeShots : public ::testing::Test {
 protected:
  // The one `faces` run over the three-shot video (see tests/support/make_fixture_videos.sh): 5.5 s
  // at 960x540, 30 fps, three shots with hard cuts at 2 and 4 seconds:
  //  - photo 3 panning slowly between black bars of 67 rows above and 68 below;
  //  - photo 6 with a boxed caption at the top;
  //  - a plain wall with a moving test pattern on it, no people.
  static void SetUpTestSuite() {
    const std::string folder = test::fixtureVideos();
    ASSERT_EQ(test::readFile(folder + "/three-shots.status"), "0\n") << test::readFile(folder + "/three-shots.err");
    // The libraries' own messages are silenced: a successful run writes nothing on standard error.
    EXPECT_EQ(test::readFile(folder + "/three-shots.err"), "");
    report_ = new json(json::parse(test::readFile(folder + "/three-shots.json")));
  }
  static void TearDownTestSuite() { delete report_; }
  static const json& frames() { return (*report_)["frames"]; }
  static inline json* report_ = nullptr;
};

TEST_F(ThreeShots, CutsAndFacesWhereThePeopleAreWithBandsAtTheBars) {
  const json& cuts = (*report_)["cuts"];
  ASSERT_EQ(cuts.size(), 2u) << cuts.dump();
  EXPECT_NEAR(cuts[0].get<double>(), 2.0, 0.05);
  EXPECT_NEAR(cuts[1].get<double>(), 4.0, 0.05);
  ASSERT_GE(frames().size(), 30u);
  // Several frames are measured at a time, but they are reported in time order.
  for (size_t i = 1; i < frames().size(); ++i) EXPECT_LT(frames()[i - 1]["t"], frames()[i]["t"]);

  int firstShotFrames = 0;
  for (const json& frame : frames()) {
    const double t = frame["t"];
    if (t >= 1.95) continue;
    ++firstShotFrames;
    for (int person = 0; person < 2; ++person) {
      const auto [x, y] = photoThreeFace(person, t);
      const json* face = faceCovering(frame, x, y);
      ASSERT_TRUE(face) << "t=" << t << " no face at " << x << "," << y << " in " << frame["faces"].dump();
      EXPECT_GE((*face)["conf"], 0.5);
      EXPECT_GT((*face)["w"], 0.05);
      EXPECT_LT((*face)["w"], 0.2);
      // Bars of 67 and 68 rows in 540 are 44.7 and 45.3 rows of the 360-row decoded frame.
      EXPECT_NEAR((*face)["top"].get<double>(), 45.0 / 360, 0.01);
      EXPECT_NEAR((*face)["bottom"].get<double>(), 315.0 / 360, 0.01);
      // The first person keeps her mouth closed (the face mesh's inner-lip contour of closed lips
      // curves a little: 0.11 to 0.135 from frame to frame; the parted lips of the others read
      // 0.155 and more).
      if (person == 0) {
        EXPECT_LT((*face)["mouth"], 0.145);
      }
    }
  }
  EXPECT_EQ(firstShotFrames, 12);

  // Photo 6 fills the frame: no bars.
  int secondShotFaces = 0;
  for (const json& frame : frames()) {
    const double t = frame["t"];
    if (t < 2.05 || t >= 3.95) continue;
    for (const json& face : frame["faces"]) {
      if (face["conf"] < 0.6) continue;
      ++secondShotFaces;
      EXPECT_EQ(face["top"], 0);
      EXPECT_EQ(face["bottom"], 1);
      EXPECT_GE(face["mouth"], 0);
      EXPECT_LE(face["mouth"], 2);
      EXPECT_GE(face["lip"], 0);
      EXPECT_LE(face["lip"], 0.5);
    }
  }
  EXPECT_GE(secondShotFaces, 3 * 12);
}

TEST_F(ThreeShots, PrintsExactlyOnPrintFramesCloserWithinAShotThanBetweenPeople) {
  // Print frames: 0 and 1, the cut at 2, then 3, the cut at 4, then 5.
  int printed = 0;
  for (const json& frame : frames()) {
    const double t = frame["t"];
    const bool printFrame = std::fabs(t - std::round(t)) < 0.001;
    for (const json& face : frame["faces"]) {
      const bool wanted = printFrame && face["h"] >= 0.06 && face["conf"] >= 0.5;
      ASSERT_EQ(face.contains("print"), wanted) << "t=" << t << " " << face.dump();
      if (!wanted) continue;
      ++printed;
      ASSERT_EQ(face["print"].size(), 64u);
      EXPECT_NEAR(printLengthSquared(face["print"]), 1.0, 0.01);
      for (const auto& v : face["print"]) EXPECT_EQ(std::round(v.get<double>() * 1000) / 1000, v.get<double>());
    }
  }
  EXPECT_GE(printed, 2 * 2 + 2 * 4);

  // The same person at 0 s and 1 s, against the other person of the shot and the four people of
  // the next shot.
  const json* start = nullptr;
  const json* later = nullptr;
  const json* nextShot = nullptr;
  for (const json& frame : frames()) {
    if (frame["t"] == 0) start = &frame;
    if (frame["t"] == 1) later = &frame;
    if (frame["t"] == 2) nextShot = &frame;
  }
  ASSERT_TRUE(start && later && nextShot);
  for (int person = 0; person < 2; ++person) {
    const json* before = faceCovering(*start, photoThreeFace(person, 0).first, photoThreeFace(person, 0).second);
    const json* after = faceCovering(*later, photoThreeFace(person, 1).first, photoThreeFace(person, 1).second);
    ASSERT_TRUE(before && after && before->contains("print") && after->contains("print"));
    const double same = printDistance((*before)["print"], (*after)["print"]);
    int others = 0;
    for (const json* frame : {start, nextShot}) {
      for (const json& other : (*frame)["faces"]) {
        if (&other == before || !other.contains("print")) continue;
        ++others;
        EXPECT_LT(same, printDistance((*before)["print"], other["print"])) << "person " << person;
      }
    }
    // The three people of the first shot (the one between the two followed here tilts her head)
    // and the four of the next.
    EXPECT_EQ(others, 6);
  }
}

TEST_F(ThreeShots, TextAtItsIntervalAndASubjectOnlyWithoutASizeableFace) {
  int textFrames = 0, captions = 0, subjects = 0;
  for (const json& frame : frames()) {
    const double t = frame["t"];
    if (frame.contains("text")) {
      ++textFrames;
      if (t > 2.05 && t < 3.95) {
        EXPECT_TRUE(hasLineWith(frame, "Meet the team at noon")) << frame["text"].dump();
        ++captions;
      }
      for (const auto& line : frame["text"]) {
        EXPECT_LE(line["y"].get<double>() + line["h"].get<double>(), 1.0);
        EXPECT_GT(line["h"], 0.012);
      }
    }
    bool sizeable = false;
    for (const json& face : frame["faces"]) sizeable = sizeable || isSizeable(face);
    if (sizeable) {
      EXPECT_FALSE(frame.contains("subject")) << "t=" << t;
    }
    if (t > 4.05) {
      EXPECT_TRUE(frame["faces"].empty()) << frame["faces"].dump();
      ASSERT_TRUE(frame.contains("subject")) << "t=" << t;
      ++subjects;
      // The 240x180 pattern starts at (500 + 40 t, 200) of the 960x540 wall; the subject's centre
      // lies on it.
      const json& subject = frame["subject"];
      const double left = (500 + 40 * (t - 4)) / 960;
      const json pattern = {{"x", left}, {"y", 200.0 / 540}, {"w", 240.0 / 960}, {"h", 180.0 / 540}};
      EXPECT_TRUE(covers(pattern, subject["x"].get<double>() + subject["w"].get<double>() / 2,
                         subject["y"].get<double>() + subject["h"].get<double>() / 2))
          << subject.dump();
      EXPECT_GT(frame["subject"]["conf"], 0);
      EXPECT_LE(frame["subject"]["conf"], 1);
    }
  }
  // Text every half second: 0, 0.5, ... 5.0 plus the frame at each cut where due.
  EXPECT_GE(textFrames, 11);
  EXPECT_LE(textFrames, 12);
  EXPECT_GE(captions, 3);
  EXPECT_GE(subjects, 8);
}

// The demo video's caption is white with a thin black outline straight on the photos. Read from a
// picture thresholded at Otsu's level, its letters merged with the bright photo and the hyphen came
// out as other marks; every reading of it must be the caption itself.
TEST(DemoVideo, TheOutlinedCaptionReadsExactlyOnEveryTextFrame) {
  test::TempDir dir;
  ASSERT_EQ(test::shell(test::sourceRoot() + "/bench/make-sample.sh " + dir.file("demo.mp4") + " 4 >/dev/null 2>&1"), 0);
  // At two frames a second every sampled frame is a text frame of the default half-second interval,
  // the same frames as at the default rate, without the faces of the frames in between.
  json report =
      test::successfulReport(test::runTool({"faces", dir.file("demo.mp4"), "--print-every", "0", "--fps", "2"}));
  int captions = 0;
  for (const json& frame : report["frames"])
    for (const json& line : frame.value("text", json::array())) {
      // The caption sits in the bottom band; anything else read there would be the photo.
      if (line["y"].get<double>() < 0.8) continue;
      EXPECT_EQ(line["s"], "kov-vision sample") << "at " << frame["t"];
      ++captions;
    }
  EXPECT_GE(captions, 6);
}

}  // namespace
}  // namespace kov
