#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <sstream>

#include <sys/stat.h>

#include "faces/faces_command.h"
#include "faces/scene_cuts.h"
#include "support/fixtures.h"
#include "support/reports.h"
#include "support/tool_run.h"

namespace kov {
namespace {

using nlohmann::json;
using test::TempDir;

// A plain grey plane of the given luma.
struct Plane {
  int width, height;
  std::vector<std::uint8_t> bytes;
  Plane(int w, int h, std::uint8_t level) : width(w), height(h), bytes(static_cast<size_t>(w) * h, level) {}
  GreyView view() const { return {bytes.data(), width, height, width}; }
};

TEST(FacesOptions, DefaultsAndClamps) {
  auto read = [](Args extra) {
    Args args{"faces", "v.mp4"};
    args.insert(args.end(), extra.begin(), extra.end());
    return readFacesOptions(args);
  };
  FacesOptions o = read({});
  EXPECT_EQ(o.sampleFps, 6);
  EXPECT_EQ(o.analysis.textEvery, 0.5);
  EXPECT_EQ(o.analysis.printEvery, 1);
  EXPECT_EQ(o.analysis.printSize, 64);
  EXPECT_EQ(read({"--fps", "0.5"}).sampleFps, 1);
  EXPECT_EQ(read({"--fps", "120"}).sampleFps, 30);
  EXPECT_EQ(read({"--fps", "nan"}).sampleFps, 1);
  EXPECT_EQ(read({"--fps", "12", "--fps", "3"}).sampleFps, 12);
  EXPECT_EQ(read({"--fps", "abc", "--fps", "3"}).sampleFps, 6);
  EXPECT_EQ(read({"--text-every", "-2"}).analysis.textEvery, 0);
  EXPECT_EQ(read({"--print-every", "nan"}).analysis.printEvery, 0);
  EXPECT_EQ(read({"--print-size", "8.9"}).analysis.printSize, 16);
  EXPECT_EQ(read({"--print-size", "100.9"}).analysis.printSize, 100);
  EXPECT_EQ(read({"--print-size", "1e9"}).analysis.printSize, 2048);
  EXPECT_TRUE(std::isnan(read({"--start", "nan"}).start));
}

TEST(Signature, AveragesEveryFourthByteOfEachCell) {
  Plane plane(64, 36, 0);
  for (int y = 0; y < 36; ++y)
    for (int x = 0; x < 64; ++x) plane.bytes[y * 64 + x] = static_cast<std::uint8_t>(x < 4 && y < 4 ? (x + y * 4) * 10 : 7);
  std::vector<float> sig = signature(plane.view());
  ASSERT_EQ(sig.size(), 144u);
  EXPECT_EQ(sig[0], 0.0f);  // only (0,0) of the 4x4 top-left cell is read
  EXPECT_EQ(sig[1], 7.0f);
  EXPECT_EQ(sig[143], 7.0f);
  EXPECT_TRUE(signature(GreyView{}).empty());
}

TEST(CutDetector, RecordsHardCutsSpaced) {
  Plane black(160, 90, 16), white(160, 90, 235), grey(160, 90, 120);
  CutDetector cuts;
  EXPECT_FALSE(cuts.step(white.view(), 0.0));  // first frame: no previous
  EXPECT_FALSE(cuts.step(white.view(), 0.04));
  EXPECT_TRUE(cuts.step(black.view(), 0.08));
  EXPECT_FALSE(cuts.step(black.view(), 0.12));
  // 0.2 s after the cut: a candidate, but too close to be recorded.
  EXPECT_FALSE(cuts.step(white.view(), 0.28));
  // Its large difference still counts as the previous one: the next change must beat 3 x 219 + 6.
  EXPECT_FALSE(cuts.step(black.view(), 0.32));
  EXPECT_FALSE(cuts.step(black.view(), 0.36));
  EXPECT_TRUE(cuts.step(grey.view(), 0.40));
  EXPECT_EQ(cuts.cuts(), std::vector<double>({0.08, 0.4}));
}

TEST(CutDetector, NothingBeforeTheFirstCutAndNothingAfterAnUnreadableFrame) {
  Plane black(160, 90, 16), white(160, 90, 235);
  CutDetector cuts;
  EXPECT_FALSE(cuts.step(black.view(), 0.0));
  EXPECT_FALSE(cuts.step(GreyView{}, 0.04));
  EXPECT_FALSE(cuts.step(white.view(), 0.08));
  EXPECT_TRUE(cuts.cuts().empty());
}

TEST(CutDetector, SpacingIsMeasuredFromTheRoundedCutTime) {
  Plane black(160, 90, 16), white(160, 90, 235);
  CutDetector exact, later;
  exact.step(black.view(), 0.0);
  exact.step(white.view(), 1.0);
  exact.step(white.view(), 1.1);
  exact.step(white.view(), 1.2);
  exact.step(black.view(), 1.25);  // exactly 0.25 after the recorded 1.0
  EXPECT_EQ(exact.cuts(), std::vector<double>({1.0}));
  later.step(black.view(), 0.0);
  later.step(white.view(), 1.0);
  later.step(white.view(), 1.1);
  later.step(white.view(), 1.2);
  later.step(black.view(), 1.26);
  EXPECT_EQ(later.cuts(), std::vector<double>({1.0, 1.26}));
}

TEST(CutDetector, AGentleFadeIsNoCut) {
  CutDetector cuts;
  for (int i = 0; i <= 40; ++i) {
    Plane frame(160, 90, static_cast<std::uint8_t>(16 + i * 5));
    EXPECT_FALSE(cuts.step(frame.view(), i * 0.04));
  }
}

// Videos made with FFmpeg's test sources: a colour source per shot, joined without transitions.
std::string shots(const std::vector<std::pair<std::string, double>>& parts, int rate) {
  std::ostringstream command;
  for (const auto& [colour, seconds] : parts)
    command << "-f lavfi -i color=c=" << colour << ":s=160x90:r=" << rate << ":d=" << seconds << ' ';
  command << "-filter_complex \"";
  for (size_t i = 0; i < parts.size(); ++i) command << '[' << i << ']';
  command << "concat=n=" << parts.size() << ":v=1[v]\" -map \"[v]\" -c:v libx264 -preset ultrafast -pix_fmt yuv420p ";
  return command.str();
}

json runFaces(const std::vector<std::string>& args) { return test::successfulReport(test::runTool(args)); }

std::vector<double> times(const json& report) {
  std::vector<double> t;
  for (const auto& frame : report["frames"]) t.push_back(frame["t"].get<double>());
  return t;
}

TEST(FacesRun, FindsTheCutsOfAVideoAndSamplesEachCutFrame) {
  TempDir dir;
  std::string video = dir.file("cuts.mp4");
  test::ffmpeg(shots({{"black", 1.0}, {"white", 1.2}, {"black", 0.2}, {"white", 1.6}}, 25) + video);
  json report = runFaces({"faces", video, "--fps", "1", "--text-every", "0", "--print-every", "0"});
  // Cuts at 1.0 and 2.2; the one at 2.4 is only 0.2 s after 2.2.
  EXPECT_EQ(report["cuts"], json::parse("[1,2.2]"));
  EXPECT_EQ(times(report), std::vector<double>({0, 1, 2, 2.2, 3.2}));
  EXPECT_EQ(report["width"], 160);
  EXPECT_EQ(report["height"], 90);
  EXPECT_EQ(report["fps"], 25);
  EXPECT_EQ(report["duration"], 4);
  for (const auto& frame : report["frames"]) {
    EXPECT_EQ(frame["faces"], json::array());
    EXPECT_FALSE(frame.contains("text"));
  }

  // From --start 1.5 the cut at 2.2 is reported relative to the start, and --end is cut to the file.
  json later = runFaces({"faces", video, "--start", "1.5", "--end", "99", "--fps", "1", "--text-every", "0"});
  EXPECT_EQ(later["cuts"], json::parse("[0.7]"));
  EXPECT_EQ(later["duration"], 2.5);
}

TEST(FacesRun, AFadeGivesNoCut) {
  TempDir dir;
  std::string video = dir.file("fade.mp4");
  test::ffmpeg("-f lavfi -i color=c=white:s=160x90:r=25:d=3 -vf fade=t=out:st=0:d=3 -c:v libx264 -preset ultrafast -pix_fmt yuv420p " + video);
  json report = runFaces({"faces", video, "--text-every", "0"});
  EXPECT_EQ(report["cuts"], json::array());
}

TEST(FacesRun, SamplesByTheFramesActuallyDecoded) {
  TempDir dir;
  std::string pal = dir.file("pal.mp4"), ntsc = dir.file("ntsc.mp4");
  test::ffmpeg("-f lavfi -i testsrc2=s=160x90:r=25:d=2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p " + pal);
  test::ffmpeg("-f lavfi -i testsrc2=s=160x90:r=30000/1001:d=1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p " + ntsc);
  json every5th = runFaces({"faces", pal, "--text-every", "0", "--print-every", "0"});
  std::vector<double> expected;
  for (int i = 0; i < 50; i += 5) expected.push_back(i * 0.04);
  std::vector<double> got = times(every5th);
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], expected[i], 1e-9);

  json everyFrame = runFaces({"faces", ntsc, "--fps", "30", "--text-every", "0"});
  EXPECT_EQ(everyFrame["frames"].size(), 30u);  // 1/30 s is longer than the 1001/30000 s spacing
  EXPECT_EQ(everyFrame["frames"][1]["t"], 0.033);
  EXPECT_EQ(everyFrame["fps"], static_cast<double>(30000.0f / 1001.0f));
  EXPECT_EQ(everyFrame["fps"].dump(), "29.970029830932617");
}

TEST(FacesRun, AnEmptyRangeGivesEmptyLists) {
  TempDir dir;
  std::string video = dir.file("v.mp4");
  test::ffmpeg("-f lavfi -i testsrc2=s=160x90:r=25:d=2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p " + video);
  auto run = test::runTool({"faces", video, "--start", "1.001", "--end", "1.02", "--text-every", "0"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(json::parse(run.out)["frames"], json::array());
  EXPECT_EQ(json::parse(run.out)["cuts"], json::array());
}

TEST(FacesRun, BadInputsEndInOneLineAndStatusOne) {
  TempDir dir;
  std::string spaced = dir.file("with space é.mp4");
  test::ffmpeg("-f lavfi -i testsrc2=s=160x90:r=25:d=2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p \"" + spaced + "\"");
  test::writeFile(dir.file("notes.txt"), "not a video\n");
  test::ffmpeg("-f lavfi -i sine=d=1 " + dir.file("tone.m4a"));
  std::filesystem::create_directory(dir.file("clips"));

  struct Case {
    std::vector<std::string> args;
    std::string err;
    std::string cwd;
  };
  std::vector<Case> cases = {
      {{"faces", dir.file("missing.mp4")}, "no video track in " + dir.file("missing.mp4") + "\n", ""},
      {{"faces", dir.file("notes.txt")}, "no video track in " + dir.file("notes.txt") + "\n", ""},
      {{"faces", dir.file("tone.m4a")}, "no video track in " + dir.file("tone.m4a") + "\n", ""},
      {{"faces", "clips/a.mov"}, "no video track in " + dir.file("clips/a.mov") + "\n", dir.path()},
      {{"faces", spaced, "--start", "1", "--end", "1"}, "--end must be after --start\n", ""},
      {{"faces", spaced, "--start", "2"}, "--end must be after --start\n", ""},
      {{"faces", spaced, "--start", "nan"}, "--end must be after --start\n", ""},
      {{"faces", spaced, "--end", "-inf"}, "--end must be after --start\n", ""},
      {{"faces", spaced, "--start", "-inf"}, "--end must be after --start\n", ""},
      {{"faces", spaced, "--start", "-1e306"}, "--end must be after --start\n", ""},
      {{"faces", spaced, "--start", "-inf", "--end", "1"}, "--end must be after --start\n", ""},
  };
  for (const auto& c : cases) {
    auto run = test::runTool(c.args, c.cwd);
    EXPECT_EQ(run.status, 1) << c.args[1];
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
  }
  auto good = test::runTool({"faces", spaced, "--text-every", "0"});
  EXPECT_EQ(good.status, 0) << good.err;
}

TEST(FacesRun, AFifoOrAFolderIsNoVideoAndAnswersAtOnce) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.file("stream.mp4").c_str(), 0600), 0);
  std::filesystem::create_directory(dir.file("folder.mp4"));
  for (const char* name : {"stream.mp4", "folder.mp4"}) {
    // Opening a FIFO for reading waits for a writer: a hang shows as status 124.
    auto run = test::runProgram({"timeout", "20", test::toolPath(), "faces", dir.file(name)});
    EXPECT_EQ(run.status, 1) << name;
    EXPECT_EQ(run.err, "no video track in " + dir.file(name) + "\n");
    EXPECT_EQ(run.out, "");
  }
}

// Raw H.264 has no times and no duration; a WebM written to a pipe, as recorders write it, has
// times but no duration. Both read like the same frames in an MP4.
TEST(FacesRun, VideosWithoutADurationAreMeasuredAndHonourTheEnd) {
  TempDir dir;
  const std::string source = "-f lavfi -i testsrc2=s=160x90:r=25:d=2 ";
  test::ffmpeg(source + "-c:v libx264 -preset ultrafast -pix_fmt yuv420p " + dir.file("v.mp4"));
  test::ffmpeg(source + "-c:v libx264 -preset ultrafast -pix_fmt yuv420p " + dir.file("v.h264"));
  test::ffmpeg(source + "-c:v libvpx -deadline realtime -f webm pipe:1 > " + dir.file("v.webm"));
  const std::vector<std::vector<std::string>> ranges = {{}, {"--start", "0.5", "--end", "1.5"}};
  for (const auto& range : ranges) {
    auto options = [&](const std::string& name) {
      std::vector<std::string> args{"faces", dir.file(name), "--text-every", "0", "--print-every", "0"};
      args.insert(args.end(), range.begin(), range.end());
      return args;
    };
    const json expected = runFaces(options("v.mp4"));
    EXPECT_EQ(expected["duration"], range.empty() ? 2 : 1);
    for (const char* name : {"v.h264", "v.webm"}) {
      const json report = runFaces(options(name));
      EXPECT_EQ(report["duration"], expected["duration"]) << name;
      EXPECT_EQ(report["width"], 160);
      EXPECT_EQ(report["fps"], 25);
      EXPECT_EQ(times(report), times(expected)) << name;
      EXPECT_EQ(report["cuts"], json::array());
    }
  }
}

TEST(FacesRun, CutShortOrDamagedFilesFailInsteadOfLookingShorter) {
  TempDir dir;
  std::string whole = dir.file("whole.mp4");
  test::ffmpeg("-f lavfi -i testsrc2=s=320x240:r=25:d=6 -c:v libx264 -preset ultrafast -movflags +faststart -pix_fmt yuv420p " + whole);
  std::string bytes = test::readFile(whole);
  test::writeFile(dir.file("short.mp4"), bytes.substr(0, bytes.size() * 6 / 10));
  std::string damaged = bytes;
  for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 4000; ++i) damaged[i] = 'X';
  test::writeFile(dir.file("damaged.mp4"), damaged);

  for (const char* name : {"short.mp4", "damaged.mp4"}) {
    auto run = test::runTool({"faces", dir.file(name), "--text-every", "0", "--print-every", "0"});
    EXPECT_EQ(run.status, 1) << name;
    EXPECT_EQ(run.out, "") << name;
    EXPECT_EQ(run.err.rfind("decode failed: ", 0), 0u) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  }
  // The part before the damage still decodes cleanly.
  auto early = test::runTool({"faces", dir.file("damaged.mp4"), "--end", "1", "--text-every", "0"});
  EXPECT_EQ(early.status, 0) << early.err;
}

}  // namespace
}  // namespace kov
