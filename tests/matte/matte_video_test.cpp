// `matte <video>` from the command line: the mask movie's size, frames, times and content, the box
// samples, the range and width options, and the failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <csignal>
#include <sstream>
#include <sys/stat.h>
#include <thread>

#include "support/fixtures.h"
#include "support/reports.h"
#include "support/tool_run.h"

namespace kov {
namespace {

using nlohmann::json;
using test::runTool;

const char* kUsage = "usage: kov-vision matte <video> --start <s> --end <s> --out <mask.mp4> [--width 1280]\n";

// A still photo of people in the middle of a grey 1280 x 720 canvas, as videos at 25 fps (2 s) and
// 30 fps (1.6 s), made once per test run (tests/support/make_fixture_videos.sh) and copied into
// the folder the tests work in.
class MatteVideo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir;
    const std::string made = test::fixtureVideos();
    for (const char* name : {"person25.mp4", "person30.mp4"})
      std::filesystem::copy_file(made + "/" + name, dir_->file(name));
  }
  static void TearDownTestSuite() { delete dir_; }

  static std::string file(const std::string& name) { return dir_->file(name); }

  static test::TempDir* dir_;
};

test::TempDir* MatteVideo::dir_ = nullptr;

using test::expectFailure;
using test::successfulReport;

std::vector<double> sampleTimes(const json& report) {
  std::vector<double> times;
  for (const auto& s : report["sampled"]) times.push_back(s["t"].get<double>());
  return times;
}

std::string probe(const std::string& path, const std::string& entries) {
  auto run = test::runProgram({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", entries, "-of",
                               "default=noprint_wrappers=1:nokey=1", path});
  EXPECT_EQ(run.status, 0) << run.err;
  return run.out;
}

std::vector<double> packetTimes(const std::string& path) {
  std::istringstream lines(probe(path, "packet=pts_time"));
  std::vector<double> times;
  for (double t; lines >> t;) times.push_back(t);
  std::sort(times.begin(), times.end());
  return times;
}

TEST_F(MatteVideo, WritesABrightMaskWhereThePersonIs) {
  std::string movie = file("mask.mp4");
  json report = successfulReport(runTool({"matte", file("person25.mp4"), "--out", movie}));
  EXPECT_EQ(report["width"], 1280);
  EXPECT_EQ(report["height"], 720);
  EXPECT_EQ(report["fps"], 25);
  EXPECT_EQ(report["frames"], 50);
  EXPECT_EQ(report["out"], movie);
  EXPECT_EQ(sampleTimes(report), (std::vector<double>{0, 0.52, 1.04, 1.56}));
  ASSERT_TRUE(report.contains("box"));
  for (const auto& sample : report["sampled"]) {
    ASSERT_TRUE(sample.contains("box"));
    EXPECT_GE(sample["box"]["x"].get<double>(), 0.22);
    EXPECT_LE(sample["box"]["x"].get<double>() + sample["box"]["w"].get<double>(), 0.78);
  }

  EXPECT_EQ(probe(movie, "stream=codec_name,profile,width,height"), "h264\nHigh\n1280\n720\n");
  std::vector<double> times = packetTimes(movie);
  ASSERT_EQ(times.size(), 50u);
  for (std::size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(times[i], 0.04 * static_cast<double>(i), 1e-6);

  // A key frame at least every 30 frames.
  std::istringstream flags(probe(movie, "packet=flags"));
  int sinceKey = 0, packets = 0;
  for (std::string flag; flags >> flag; ++packets) {
    sinceKey = flag.find('K') != std::string::npos ? 0 : sinceKey + 1;
    EXPECT_LT(sinceKey, 30) << "packet " << packets;
  }
  EXPECT_EQ(packets, 50);

  // Frame 25 as grey: bright in the middle of the photo, dark on the grey canvas around it.
  test::ffmpeg("-i " + movie + " -vf 'select=eq(n\\,25)' -frames:v 1 -pix_fmt gray " + file("frame25.png"));
  cv::Mat grey = cv::imread(file("frame25.png"), cv::IMREAD_GRAYSCALE);
  ASSERT_EQ(grey.cols, 1280);
  EXPECT_LT(cv::mean(grey(cv::Rect(0, 0, 280, 720)))[0], 20);
  EXPECT_LT(cv::mean(grey(cv::Rect(1000, 0, 280, 720)))[0], 20);
  EXPECT_GT(cv::mean(grey(cv::Rect(560, 300, 160, 200)))[0], 150);
}

TEST_F(MatteVideo, RangesWidthsAndSampling) {
  // 30 frames per second samples on the half second; a range starts its times at zero.
  json report = successfulReport(runTool({"matte", file("person30.mp4"), "--out", file("m30.mp4"), "--width", "640"}));
  EXPECT_EQ(report["width"], 640);
  EXPECT_EQ(report["height"], 360);
  EXPECT_EQ(report["frames"], 48);
  EXPECT_EQ(sampleTimes(report), (std::vector<double>{0, 0.5, 1, 1.5}));
  EXPECT_EQ(probe(file("m30.mp4"), "stream=width,height"), "640\n360\n");

  // Frames lie at multiples of 0.04 s: the range from 0.47 begins with the frame at 0.48, t = 0.01.
  report = successfulReport(runTool({"matte", file("person25.mp4"), "--start", "0.47", "--end", "1.47", "--out",
                                     file("part.mp4"), "--width", "100"}));
  EXPECT_EQ(report["width"], 320);
  EXPECT_EQ(report["height"], 180);
  EXPECT_EQ(report["frames"], 25);
  EXPECT_EQ(sampleTimes(report), (std::vector<double>{0.01, 0.53}));
  std::vector<double> times = packetTimes(file("part.mp4"));
  ASSERT_EQ(times.size(), 25u);
  EXPECT_NEAR(times.front(), 0.01, 1e-6);
  EXPECT_NEAR(times.back(), 0.97, 1e-6);

  // --end past the duration is cut to it; a NaN width is the smallest width.
  report = successfulReport(runTool({"matte", file("person25.mp4"), "--start", "1.6", "--end", "99", "--out",
                                     file("tail.mp4"), "--width", "nan"}));
  EXPECT_EQ(report["width"], 320);
  EXPECT_EQ(report["frames"], 10);

  // The nominal rate is reported as its single-precision value widened to double.
  test::ffmpeg("-f lavfi -i color=c=gray:s=320x180:d=0.3:r=30000/1001 -pix_fmt yuv420p -c:v libx264 -preset ultrafast " +
               file("ntsc.mp4"));
  report = successfulReport(runTool({"matte", file("ntsc.mp4"), "--out", file("ntsc-mask.mp4")}));
  EXPECT_EQ(report["fps"].get<double>(), static_cast<double>(static_cast<float>(30000.0 / 1001.0)));
  EXPECT_NE(report["fps"].get<double>(), 30000.0 / 1001.0);
  EXPECT_EQ(report["frames"], 9);
  // Its mask frames keep the source's exact times, which 1/600 s ticks cannot hold.
  times = packetTimes(file("ntsc-mask.mp4"));
  ASSERT_EQ(times.size(), 9u);
  for (std::size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(times[i], i * 1001.0 / 30000, 1e-6);

  // Odd sizes round to even ones, and a portrait video is never enlarged.
  test::ffmpeg("-f lavfi -i color=c=gray:s=640x360:d=0.2:r=10 -vf scale=1921:1081 -pix_fmt bgr0 -c:v ffv1 " +
               file("odd.mkv"));
  report = successfulReport(runTool({"matte", file("odd.mkv"), "--out", file("odd-mask.mp4"), "--width", "4000"}));
  EXPECT_EQ(report["width"], 1922);
  EXPECT_EQ(report["height"], 1082);
  EXPECT_FALSE(report.contains("box"));  // a plain grey picture has no person
  EXPECT_EQ(report["sampled"].size(), 1u);
  EXPECT_FALSE(report["sampled"][0].contains("box"));
  EXPECT_EQ(probe(file("odd-mask.mp4"), "stream=width,height"), "1922\n1082\n");
  test::ffmpeg("-f lavfi -i color=c=gray:s=360x640:d=0.2:r=10 -pix_fmt yuv420p -c:v libx264 -preset ultrafast " +
               file("tall.mp4"));
  report = successfulReport(runTool({"matte", file("tall.mp4"), "--out", file("tall-mask.mp4")}));
  EXPECT_EQ(report["width"], 360);
  EXPECT_EQ(report["height"], 640);
}

// Mean column of the >= 128 pixels, or NaN without any.
double centreX(const cv::Mat& mask) {
  cv::Moments m = cv::moments(mask >= 128, true);
  return m.m00 > 0 ? m.m10 / m.m00 : NAN;
}

TEST_F(MatteVideo, TheMaskFollowsAMovingPerson) {
  // People cut out of a photo (the tool's own cut-out, shrunk by 4 px so none of the photo's
  // background is left) slide at 300 px/s over a person-free part of another photo, at 30 fps.
  cv::Mat photo = cv::imread(test::samplePhoto(3));
  cv::resize(photo, photo, cv::Size(320, photo.rows * 320 / photo.cols), 0, 0, cv::INTER_AREA);
  ASSERT_TRUE(cv::imwrite(file("people.png"), photo));
  successfulReport(runTool({"matte", "--image", file("people.png"), "--out", file("people-cut.png")}));
  cv::Mat channels[4];
  cv::split(cv::imread(file("people-cut.png"), cv::IMREAD_UNCHANGED), channels);
  cv::Mat core;
  cv::threshold(channels[3], core, 127, 255, cv::THRESH_BINARY);
  cv::erode(core, core, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(9, 9)));
  cv::Mat wall = cv::imread(test::samplePhoto(6))(cv::Rect(0, 0, 160, 1280)).clone();
  cv::Mat background;
  cv::resize(wall, wall, cv::Size(80, 640), 0, 0, cv::INTER_AREA);
  cv::copyMakeBorder(wall, background, 0, 0, 0, 640 - 80, cv::BORDER_REFLECT);
  background = background(cv::Rect(0, 200, 640, 360)).clone();

  const int frames = 30, speed = 10;
  std::vector<double> truthX;
  for (int i = 0; i < frames; ++i) {
    cv::Mat frame = background.clone(), truth = cv::Mat::zeros(frame.size(), CV_8UC1);
    cv::Rect place(20 + speed * i, 360 - photo.rows, photo.cols, photo.rows);
    photo.copyTo(frame(place), core);
    core.copyTo(truth(place));
    truthX.push_back(centreX(truth));
    char name[32];
    std::snprintf(name, sizeof name, "slide%03d.png", i);
    ASSERT_TRUE(cv::imwrite(file(name), frame));
  }
  test::ffmpeg("-framerate 30 -i " + file("slide%03d.png") + " -pix_fmt yuv420p -c:v libx264 -preset ultrafast -crf 16 " +
               file("slide.mp4"));
  json report = successfulReport(runTool({"matte", file("slide.mp4"), "--out", file("slide-mask.mp4")}));
  ASSERT_EQ(report["frames"], frames);
  test::ffmpeg("-i " + file("slide-mask.mp4") + " -pix_fmt gray " + file("mask%03d.png"));

  double lag = 0;
  for (int i = 3; i < frames; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "mask%03d.png", i + 1);
    cv::Mat mask = cv::imread(file(name), cv::IMREAD_GRAYSCALE);
    ASSERT_EQ(mask.cols, 640) << name;
    double behind = (truthX[static_cast<std::size_t>(i)] - centreX(mask)) / speed;
    EXPECT_LT(std::abs(behind), 1.5) << "frame " << i;
    lag += behind / (frames - 3);
  }
  EXPECT_LT(std::abs(lag), 1.0) << "mean lag in frames";
}

TEST_F(MatteVideo, FramesWithoutPeopleAreAllBackgroundUntilAPersonComes) {
  // One second of stairs (which the segmenter alone takes for a person), then one second of the
  // same stairs with people on them, at 25 fps.
  cv::Mat part = cv::imread(test::samplePhoto(5))(cv::Rect(0, 0, 440, 680)).clone(), stairs;
  cv::copyMakeBorder(part, stairs, 0, 0, 0, 520, cv::BORDER_REFLECT);
  cv::resize(stairs(cv::Rect(0, 0, 960, 640)), stairs, cv::Size(480, 320), 0, 0, cv::INTER_AREA);
  cv::Mat people = cv::imread(test::samplePhoto(2)), small;
  cv::resize(people, small, cv::Size(300, people.rows * 300 / people.cols), 0, 0, cv::INTER_AREA);
  cv::Mat visited = stairs.clone();
  small.copyTo(visited(cv::Rect(90, 320 - small.rows, small.cols, small.rows)));
  ASSERT_TRUE(cv::imwrite(file("stairs.png"), stairs));
  ASSERT_TRUE(cv::imwrite(file("visited.png"), visited));
  test::ffmpeg("-loop 1 -framerate 25 -t 1 -i " + file("stairs.png") + " -loop 1 -framerate 25 -t 1 -i " +
               file("visited.png") + " -filter_complex concat=n=2:v=1 -pix_fmt yuv420p -c:v libx264 -preset ultrafast " +
               "-crf 16 " + file("stairs.mp4"));
  json report = successfulReport(runTool({"matte", file("stairs.mp4"), "--out", file("stairs-mask.mp4")}));
  ASSERT_EQ(report["frames"], 50);
  ASSERT_TRUE(report.contains("box"));
  for (const auto& sample : report["sampled"])
    EXPECT_EQ(sample.contains("box"), sample["t"].get<double>() >= 1.0) << sample.dump();

  // The first second is black; within half a second of the people's arrival the mask shows them.
  test::ffmpeg("-i " + file("stairs-mask.mp4") + " -pix_fmt gray " + file("stairs-mask%03d.png"));
  for (int frame = 1; frame <= 50; ++frame) {
    char name[40];
    std::snprintf(name, sizeof name, "stairs-mask%03d.png", frame);
    cv::Mat mask = cv::imread(file(name), cv::IMREAD_GRAYSCALE);
    ASSERT_FALSE(mask.empty()) << name;
    cv::Mat bright = mask >= 128;
    const double share = cv::countNonZero(bright) / static_cast<double>(mask.total());
    if (frame <= 25) {
      EXPECT_LT(share, 0.005) << name;
    } else if (frame > 38) {
      EXPECT_GT(share, 0.015) << name;
    }
  }
}

TEST_F(MatteVideo, FailuresAndOutputFiles) {
  const std::string video = file("person25.mp4");
  expectFailure(runTool({"matte"}), kUsage);
  expectFailure(runTool({"matte", video, "--start", "0", "--end", "1"}), kUsage);
  expectFailure(runTool({"matte", video, "--out"}), kUsage);
  expectFailure(runTool({"matte", video, "--start", "1", "--end", "1", "--out", file("x.mp4")}),
                "--end must be after --start\n");
  expectFailure(runTool({"matte", video, "--start", "2", "--out", file("x.mp4")}), "--end must be after --start\n");
  expectFailure(runTool({"matte", video, "--start", "nan", "--out", file("x.mp4")}), "--end must be after --start\n");
  test::writeFile(file("notes.txt"), "no video here\n");
  expectFailure(runTool({"matte", "notes.txt", "--out", "x.mp4"}, dir_->path()),
                "no video track in " + file("notes.txt") + "\n");
  expectFailure(runTool({"matte", file("missing.mp4"), "--out", file("x.mp4")}),
                "no video track in " + file("missing.mp4") + "\n");
  test::ffmpeg("-f lavfi -i sine=d=1 " + file("sound.m4a"));
  expectFailure(runTool({"matte", file("sound.m4a"), "--out", file("x.mp4")}), "no video track in " + file("sound.m4a") + "\n");
  EXPECT_FALSE(std::filesystem::exists(file("x.mp4")));

  // An old movie is replaced; writing into a missing folder fails with the path.
  test::writeFile(file("old.mp4"), "old movie");
  json report = successfulReport(runTool({"matte", video, "--end", "0.2", "--out", "old.mp4"}, dir_->path()));
  EXPECT_EQ(report["out"], file("old.mp4"));
  EXPECT_EQ(report["frames"], 5);
  EXPECT_NE(test::readFile(file("old.mp4")), "old movie");
  test::RunResult nowhere = runTool({"matte", video, "--end", "0.2", "--out", file("nowhere/m.mp4")});
  EXPECT_EQ(nowhere.status, 1);
  EXPECT_EQ(nowhere.out, "");
  EXPECT_EQ(nowhere.err.rfind("cannot write " + file("nowhere/m.mp4"), 0), 0u) << nowhere.err;

  // Writing over the video being read would destroy it: refused, the video stays.
  std::filesystem::copy_file(video, file("own.mp4"));
  std::string before = test::readFile(file("own.mp4"));
  expectFailure(runTool({"matte", file("own.mp4"), "--out", file("own.mp4")}),
                "cannot write " + file("own.mp4") + ": it is the video being read\n");
  EXPECT_EQ(test::readFile(file("own.mp4")), before);
}

// Names in a folder that look like an unfinished output.
std::vector<std::string> temporariesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().filename().string().find(".partial-") != std::string::npos) names.push_back(entry.path().string());
  return names;
}

TEST_F(MatteVideo, SpecialOutputsAreRefusedAndAnInterruptedRunKeepsTheOldMovie) {
  const std::string video = file("person25.mp4");
  test::TempDir dir;
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(dir.file("folder"));
  std::filesystem::create_symlink("folder", dir.file("to-folder"));
  for (std::string name : {"fifo", "folder", "to-folder"}) {
    expectFailure(runTool({"matte", video, "--end", "0.2", "--out", dir.file(name)}),
                  "cannot write " + dir.file(name) + ": it is not a regular file\n");
  }
  EXPECT_TRUE(std::filesystem::is_fifo(dir.file("fifo")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("to-folder")));
  expectFailure(runTool({"matte", video, "--end", "0.2", "--out", ""}, dir.file("folder")),
                "cannot write " + dir.file("folder") + "/: it is not a regular file\n");
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder")));

  // SIGTERM while the movie is being written: the old movie stays whole and nothing is left beside it.
  test::writeFile(dir.file("old.mp4"), "old movie");
  pid_t tool = test::startProgram({test::toolPath(), "matte", video, "--out", dir.file("old.mp4")});
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (temporariesIn(dir.path()).empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(temporariesIn(dir.path()).size(), 1u) << "the new movie is written beside the old one";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(tool, SIGTERM);
  EXPECT_EQ(test::waitForProgram(tool), 128 + SIGTERM);
  EXPECT_EQ(test::readFile(dir.file("old.mp4")), "old movie");
  EXPECT_TRUE(temporariesIn(dir.path()).empty());

  // A finished run replaces the old movie and leaves nothing else.
  json report = successfulReport(runTool({"matte", video, "--end", "0.2", "--out", dir.file("old.mp4")}));
  EXPECT_EQ(report["frames"], 5);
  EXPECT_NE(test::readFile(dir.file("old.mp4")), "old movie");
  EXPECT_TRUE(temporariesIn(dir.path()).empty());
}

// Above 600 frames per second, 1/600 s ticks would give frames equal time stamps.
TEST(MatteVideoRates, AThousandFramesASecondKeepTheirOwnTimes) {
  test::TempDir dir;
  test::ffmpeg("-f lavfi -i color=c=gray:s=320x180:r=1000:d=0.05 -pix_fmt yuv420p -c:v libx264 -preset ultrafast " +
               dir.file("fast.mp4"));
  json report = successfulReport(runTool({"matte", dir.file("fast.mp4"), "--out", dir.file("mask.mp4")}));
  EXPECT_EQ(report["fps"], 1000);
  EXPECT_EQ(report["frames"], 50);
  std::vector<double> times = packetTimes(dir.file("mask.mp4"));
  ASSERT_EQ(times.size(), 50u);
  for (std::size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(times[i], 0.001 * static_cast<double>(i), 1e-9);
}

TEST(MatteVideoInputs, AFifoOrAFolderIsNoVideoAndAnswersAtOnce) {
  test::TempDir dir;
  ASSERT_EQ(mkfifo(dir.file("stream.mp4").c_str(), 0600), 0);
  std::filesystem::create_directory(dir.file("folder.mp4"));
  for (const char* name : {"stream.mp4", "folder.mp4"}) {
    // Opening a FIFO for reading waits for a writer: a hang shows as status 124.
    auto run = test::runProgram(
        {"timeout", "20", test::toolPath(), "matte", dir.file(name), "--out", dir.file("mask.mp4")});
    expectFailure(run, "no video track in " + dir.file(name) + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("mask.mp4")));
}

}  // namespace
}  // namespace kov
