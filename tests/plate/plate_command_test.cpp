// The plate command from the command line: pages written by the tests, movies decoded with FFmpeg.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/fixtures.h"
#include "support/tool_run.h"

namespace kov {
namespace {

using nlohmann::json;
using test::readFile;
using test::runProgram;
using test::runTool;
using test::TempDir;
using test::writeFile;

const char* kUsage =
    "usage: kov-vision plate <page.html> --out <file> [--width 1080] [--height 960] [--fps 30] [--seconds 4] "
    "[--alpha]\n";

// A red 20x20 box on white whose left edge is at 100 px per second of page time. The position is
// set only after a timer and an animation frame, so a seek that is not awaited shows a stale box.
const char* kMovingBoxPage = R"(<!doctype html><html><head><style>
  html, body { margin: 0; background: #fff; }
  #box { position: absolute; left: 0; top: 40px; width: 20px; height: 20px; background: #f00; }
</style></head><body><div id="box"></div><script>
window.plate = {
  seek(t) {
    return new Promise(done => setTimeout(() => requestAnimationFrame(() => {
      document.getElementById('box').style.left = Math.round(t * 100) + 'px';
      done();
    }), 15));
  }
};
</script></body></html>)";

std::string escapedSlashes(const std::string& path) {
  std::string out;
  for (char c : path) out += c == '/' ? std::string("\\/") : std::string(1, c);
  return out;
}

std::string expectedReport(int frames, int width, int height, int fps, const std::string& out) {
  return "{\"frames\":" + std::to_string(frames) + ",\"width\":" + std::to_string(width) +
         ",\"height\":" + std::to_string(height) + ",\"fps\":" + std::to_string(fps) + ",\"out\":\"" +
         escapedSlashes(out) + "\"}";
}

json probe(const std::string& movie) {
  auto run = runProgram({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_streams", "-show_frames",
                         "-show_entries", "frame=pts_time,key_frame", "-of", "json", movie});
  EXPECT_EQ(run.status, 0) << run.err;
  return json::parse(run.out, nullptr, false);
}

// Every frame of `movie` as raw pixels of `format` (rgb24 or rgba).
std::vector<std::string> decodeFrames(const TempDir& dir, const std::string& movie, const std::string& format,
                                      int width, int height) {
  std::string raw = dir.file("frames.raw");
  test::ffmpeg("-i '" + movie + "' -f rawvideo -pix_fmt " + format + " '" + raw + "'");
  std::string bytes = readFile(raw);
  size_t channels = format == "rgba" ? 4 : 3;
  size_t frameSize = static_cast<size_t>(width) * height * channels;
  std::vector<std::string> frames;
  for (size_t at = 0; at + frameSize <= bytes.size(); at += frameSize) frames.push_back(bytes.substr(at, frameSize));
  return frames;
}

// Mean x of the clearly red pixels of an rgb24 frame; -1 when there are none.
double redCentreX(const std::string& frame, int width, int height) {
  double sum = 0;
  int count = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const auto* p = reinterpret_cast<const unsigned char*>(&frame[(static_cast<size_t>(y) * width + x) * 3]);
      if (p[0] > 160 && p[1] < 90 && p[2] < 90) sum += x, ++count;
    }
  return count ? sum / count : -1;
}

int processesMentioning(const std::string& needle) {
  int count = 0;
  DIR* proc = opendir("/proc");
  while (dirent* entry = readdir(proc)) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    if (readFile(std::string("/proc/") + entry->d_name + "/cmdline").find(needle) != std::string::npos) ++count;
  }
  closedir(proc);
  return count;
}

bool eventually(const std::function<bool()>& condition, int seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Starts the tool with TMPDIR pointing at `tmp`, its output thrown away.
pid_t startTool(const std::vector<std::string>& args, const std::string& tmp) {
  std::vector<std::string> argv = {"env", "TMPDIR=" + tmp, test::toolPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    std::vector<char*> cargs;
    for (auto& a : argv) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    execvp("env", cargs.data());
    _exit(127);
  }
  return pid;
}

TEST(PlateCommand, TheBoxIsWhereEachFrameTimeSaysInAnH264Movie) {
  TempDir dir;
  writeFile(dir.file("box.html"), kMovingBoxPage);
  std::string movie = dir.file("box.mp4");
  auto run = runTool({"plate", "box.html", "--out", "box.mp4", "--width", "160", "--height", "100", "--fps", "10",
                      "--seconds", "1.25"},
                     dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, expectedReport(13, 160, 100, 10, movie));

  json info = probe(movie);
  const json& stream = info["streams"][0];
  EXPECT_EQ(stream["codec_name"], "h264");
  EXPECT_EQ(stream["profile"], "High");
  EXPECT_EQ(stream["width"], 160);
  EXPECT_EQ(stream["height"], 100);
  EXPECT_EQ(stream["pix_fmt"], "yuv420p");
  EXPECT_EQ(stream["avg_frame_rate"], "10/1");
  const json& frames = info["frames"];
  ASSERT_EQ(frames.size(), 13u);
  int sinceKey = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_NEAR(std::stod(frames[i]["pts_time"].get<std::string>()), i / 10.0, 1e-6);
    sinceKey = frames[i]["key_frame"] == 1 ? 0 : sinceKey + 1;
    EXPECT_LT(sinceKey, 10) << "a key frame at least every fps frames";
  }

  auto pictures = decodeFrames(dir, movie, "rgb24", 160, 100);
  ASSERT_EQ(pictures.size(), 13u);
  for (size_t i = 0; i < pictures.size(); ++i)
    EXPECT_NEAR(redCentreX(pictures[i], 160, 100), i * 10.0 + 9.5, 1.0) << "frame " << i;
}

TEST(PlateCommand, AlphaMoviesKeepUnpaintedAreasTransparent) {
  TempDir dir;
  // The left half is painted; the right half is left to the background, which --alpha switches off.
  writeFile(dir.file("half.html"),
            "<!doctype html><body style='margin:0'><div style='width:32px;height:48px;background:#0a0'></div>"
            "<script>window.plate = { seek: t => new Promise(r => setTimeout(r, 5)) };</script>");
  auto run = runTool({"plate", "half.html", "--out", "half.mov", "--width", "64", "--height", "48", "--fps", "5",
                      "--seconds", "0.6", "--alpha"},
                     dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, expectedReport(3, 64, 48, 5, dir.file("half.mov")));

  json info = probe(dir.file("half.mov"));
  EXPECT_EQ(info["streams"][0]["codec_name"], "prores");
  EXPECT_EQ(info["streams"][0]["codec_tag_string"], "ap4h");
  EXPECT_EQ(info["frames"].size(), 3u);

  auto frames = decodeFrames(dir, dir.file("half.mov"), "rgba", 64, 48);
  ASSERT_EQ(frames.size(), 3u);
  for (const auto& frame : frames) {
    auto at = [&](int x, int y) { return reinterpret_cast<const unsigned char*>(&frame[(y * 64 + x) * 4]); };
    EXPECT_EQ(at(50, 24)[3], 0) << "unpainted";
    EXPECT_EQ(at(10, 24)[3], 255) << "painted";
    EXPECT_GT(at(10, 24)[1], 140);
    EXPECT_LT(at(10, 24)[0], 30);
  }

  // Without --alpha the same page is opaque, the unpainted half white.
  run = runTool({"plate", "half.html", "--out", "half.mp4", "--width", "64", "--height", "48", "--fps", "5",
                 "--seconds", "0.2"},
                dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  auto opaque = decodeFrames(dir, dir.file("half.mp4"), "rgb24", 64, 48);
  ASSERT_EQ(opaque.size(), 1u);
  EXPECT_GT(static_cast<unsigned char>(opaque[0][(24 * 64 + 50) * 3]), 240);
}

TEST(PlateCommand, PagesWithoutTheHookWebFontsAndBrokenImagesRender) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("elsewhere"));
  test::ffmpeg("-f lavfi -i color=c=blue:s=8x8 -frames:v 1 '" + dir.file("elsewhere/pixel.png") + "'");
  // Green only when the web font (from the system's font folder) and the image from another folder
  // have loaded before the first frame; a broken image must not stop anything.
  std::filesystem::create_directory(dir.file("pages"));
  writeFile(dir.file("pages/assets.html"), R"(<!doctype html><html><head><style>
    @font-face { font-family: Test; src: url("file:///usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"); }
    html, body { margin: 0; background: #f00; }
    p { font-family: Test; font-size: 20px; }
  </style></head><body><p>Hello</p><img id="ok" src="../elsewhere/pixel.png"><img src="missing.png">
  <script>
  window.plate = { seek(t) {
    const fontReady = [...document.fonts].some(f => f.family === 'Test' && f.status === 'loaded');
    const imageReady = document.getElementById('ok').naturalWidth === 8;
    document.body.style.background = fontReady && imageReady ? '#0f0' : '#f00';
  } };
  </script></body></html>)");
  auto run = runTool({"plate", "pages/assets.html", "--out", "assets.mp4", "--width", "64", "--height", "64", "--fps",
                      "1", "--seconds", "0.2"},
                     dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, expectedReport(1, 64, 64, 1, dir.file("assets.mp4")));
  auto frames = decodeFrames(dir, dir.file("assets.mp4"), "rgb24", 64, 64);
  ASSERT_EQ(frames.size(), 1u);
  const auto* corner = reinterpret_cast<const unsigned char*>(&frames[0][(60 * 64 + 60) * 3]);
  EXPECT_GT(corner[1], 200) << "font and image were ready";
  EXPECT_LT(corner[0], 60);

  // No hook at all: every frame shows the page as it is; a plate object without seek is no hook either.
  writeFile(dir.file("plain.html"), "<body style='margin:0;background:#00f'><script>window.plate = {};</script>");
  run = runTool({"plate", "plain.html", "--out", "plain.mp4", "--width", "32", "--height", "32", "--fps", "4",
                 "--seconds", "0.5"},
                dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, expectedReport(2, 32, 32, 4, dir.file("plain.mp4")));
  frames = decodeFrames(dir, dir.file("plain.mp4"), "rgb24", 32, 32);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_GT(static_cast<unsigned char>(frames[1][(16 * 32 + 16) * 3 + 2]), 200);
}

TEST(PlateCommand, PageFailuresEndTheRunWithOneLine) {
  TempDir dir;
  writeFile(dir.file("throws.html"),
            "<script>window.plate = { seek(t) { window.seen = t; if (t >= 0.5) throw new Error('no frame at ' + t); } };"
            "</script>");
  auto run = runTool({"plate", "throws.html", "--out", "throws.mp4", "--width", "32", "--height", "32", "--fps",
                      "10", "--seconds", "1"},
                     dir.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "plate failed: Error: no frame at 0.5\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("throws.mp4"))) << "an unfinished movie is not left behind";

  writeFile(dir.file("rejects.html"),
            "<script>window.plate = { seek: t => Promise.reject('rejected\\nat ' + t) };</script>");
  run = runTool({"plate", "rejects.html", "--out", "rejects.mp4", "--width", "32", "--height", "32"}, dir.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "plate failed: rejected\n");

  // Half of a surrogate pair in the thrown text: the page's own error, at once, not a time-out.
  writeFile(dir.file("half-pair.html"), "<script>window.plate = { seek(t) { throw 'half \\uD800 pair'; } };</script>");
  run = runTool({"plate", "half-pair.html", "--out", "half-pair.mp4", "--width", "32", "--height", "32"}, dir.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "plate failed: half \uFFFD pair\n");

  run = runTool({"plate", "rejects.html", "--out", "no/such/folder/out.mp4", "--width", "32", "--height", "32"},
                dir.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "plate failed: cannot write " + dir.file("no/such/folder/out.mp4") + ": No such file or directory\n");
}

TEST(PlateCommand, UsageAndOptionMessages) {
  TempDir dir;
  writeFile(dir.file("page.html"), "<body style='background:#333'>");
  auto expectFailure = [&](const std::vector<std::string>& args, const std::string& message) {
    std::vector<std::string> full = {"plate"};
    full.insert(full.end(), args.begin(), args.end());
    auto run = runTool(full, dir.path());
    EXPECT_EQ(run.status, 1) << args.size();
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, message);
  };
  expectFailure({}, kUsage);
  expectFailure({"--out", "a.mp4", "page.html"}, kUsage);
  expectFailure({"missing.html", "--alpha"}, "plate needs --out <file>\n");
  expectFailure({"page.html", "--out"}, "plate needs --out <file>\n");
  expectFailure({"missing.html", "--out", "a.mp4"}, "no page at " + dir.file("missing.html") + "\n");
  expectFailure({"page.html", "--out", "a.mp4", "--width", "nan"}, "plate needs --width and --height between 2 and 8192\n");
  expectFailure({"page.html", "--out", "a.mp4", "--height", "1e300"}, "plate needs --width and --height between 2 and 8192\n");
  expectFailure({"page.html", "--out", "a.mp4", "--width", "1.9"}, "plate needs --width and --height between 2 and 8192\n");
  expectFailure({"page.html", "--out", "./page.html"}, "plate failed: --out names the page itself\n");
  EXPECT_EQ(readFile(dir.file("page.html")), "<body style='background:#333'>");
  EXPECT_FALSE(std::filesystem::exists(dir.file("a.mp4")));
}

struct Shape {
  std::vector<std::string> options;
  int frames, width, height, fps;
};

TEST(PlateCommand, FrameCountsSizesAndClamps) {
  TempDir dir;
  writeFile(dir.file("page.html"), "<body style='background:#036'>");
  const std::vector<Shape> shapes = {
      {{"--seconds", "0.2", "--fps", "1"}, 1, 16, 16, 1},      // 0.2 frames, raised to 1
      {{"--seconds", "2.5", "--fps", "1"}, 3, 16, 16, 1},      // halves away from zero
      {{"--seconds", "0", "--fps", "0"}, 1, 16, 16, 1},        // 0.2 s at 1 fps
      {{"--seconds", "-3", "--fps", "120"}, 12, 16, 16, 60},   // 0.2 s at 60 fps
      {{"--seconds", "0.2", "--fps", "29.97"}, 6, 16, 16, 29}, // 5.8 frames
      {{"--seconds", "0.2", "--fps", "abc"}, 6, 16, 16, 30},   // default fps
      {{"--seconds", "99", "--fps", "1"}, 30, 16, 16, 1},      // 30 s at most
      {{"--seconds", "1", "--fps", "2", "--fps", "5", "--seconds", "3"}, 2, 16, 16, 2},  // first occurrence
      {{"--seconds", "0.2", "--fps", "1", "--width", "1081", "--height", "721"}, 1, 1080, 720, 1},
      {{"--seconds", "0.2", "--fps", "1", "--width", "999.9", "--height", "17"}, 1, 998, 16, 1},
  };
  for (const auto& shape : shapes) {
    std::vector<std::string> args = {"plate", "page.html", "--out", "shape.mp4", "--width", "16", "--height", "16"};
    // The shape's own --width/--height come first, so they win over the defaults appended here.
    args.insert(args.begin() + 4, shape.options.begin(), shape.options.end());
    auto run = runTool(args, dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, expectedReport(shape.frames, shape.width, shape.height, shape.fps, dir.file("shape.mp4")))
        << shape.options[1];
    json info = probe(dir.file("shape.mp4"));
    EXPECT_EQ(info["frames"].size(), static_cast<size_t>(shape.frames));
    EXPECT_EQ(info["streams"][0]["width"], shape.width);
    EXPECT_EQ(info["streams"][0]["height"], shape.height);
  }

  // "--out --alpha": the movie is called --alpha and alpha is on.
  auto run = runTool({"plate", "page.html", "--out", "--alpha", "--width", "16", "--height", "16", "--seconds", "0.2",
                      "--fps", "1"},
                     dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, expectedReport(1, 16, 16, 1, dir.file("--alpha")));
  EXPECT_EQ(probe(dir.file("--alpha"))["streams"][0]["codec_name"], "prores");
}

TEST(PlateCommand, NoBrowserOrTemporaryFolderOutlivesTheRun) {
  TempDir dir, tmp;
  writeFile(dir.file("page.html"), kMovingBoxPage);
  writeFile(dir.file("throws.html"), "<script>window.plate = { seek(t) { throw new Error('no'); } };</script>");
  auto clean = [&] { return std::filesystem::is_empty(tmp.path()) && processesMentioning(tmp.path()) == 0; };

  auto run = runProgram({"env", "TMPDIR=" + tmp.path(), test::toolPath(), "plate", dir.file("page.html"), "--out",
                         dir.file("ok.mp4"), "--width", "32", "--height", "32", "--seconds", "0.2"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(clean()) << "after success";

  run = runProgram({"env", "TMPDIR=" + tmp.path(), test::toolPath(), "plate", dir.file("throws.html"), "--out",
                    dir.file("no.mp4"), "--width", "32", "--height", "32"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(clean()) << "after failure";

  // Stopped mid-run, politely and not.
  for (int signal : {SIGTERM, SIGINT, SIGKILL}) {
    pid_t tool = startTool({"plate", dir.file("page.html"), "--out", dir.file("stopped.mp4"), "--width", "64",
                            "--height", "64", "--seconds", "30", "--fps", "30"},
                           tmp.path());
    ASSERT_TRUE(eventually([&] { return processesMentioning(tmp.path()) > 0; }, 30)) << "the browser started";
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    kill(tool, signal);
    int status = 0;
    waitpid(tool, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << signal;
    EXPECT_TRUE(eventually(clean, 10)) << "after signal " << signal;
  }
}

// Names in a folder that look like an unfinished output.
int temporariesIn(const std::string& folder) {
  int count = 0;
  for (auto& entry : std::filesystem::directory_iterator(folder))
    count += entry.path().filename().string().find(".partial-") != std::string::npos;
  return count;
}

TEST(PlateCommand, OnlyARegularFileOrNothingAtOutIsReplacedAndNeverPartly) {
  TempDir dir, tmp;
  writeFile(dir.file("page.html"), kMovingBoxPage);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  bool madeDevice = mknod(dir.file("device").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
  std::filesystem::create_directory(dir.file("empty"));
  std::filesystem::create_symlink("empty", dir.file("to-folder"));
  std::vector<std::string> refused = {"fifo", "empty", "to-folder"};
  if (madeDevice) refused.push_back("device");
  for (const std::string& name : refused) {
    auto run = runProgram({"env", "TMPDIR=" + tmp.path(), test::toolPath(), "plate", dir.file("page.html"), "--out",
                           dir.file(name), "--width", "32", "--height", "32"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "plate failed: cannot write " + dir.file(name) + ": it is not a regular file\n");
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "refused before any browser started";
  }
  EXPECT_TRUE(std::filesystem::is_fifo(dir.file("fifo")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("empty")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("to-folder")));
  auto run = runTool({"plate", dir.file("page.html"), "--out", ""}, dir.file("empty"));
  EXPECT_EQ(run.err, "plate failed: cannot write " + dir.file("empty") + "/: it is not a regular file\n");
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("empty")));

  // Stopped while the movie is being written, with the browser alive: the old movie stays whole,
  // nothing is left beside it, and the browser and its folder are gone too.
  writeFile(dir.file("old.mp4"), "old movie");
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    pid_t tool = startTool({"plate", dir.file("page.html"), "--out", dir.file("old.mp4"), "--width", "64", "--height",
                            "64", "--seconds", "30", "--fps", "30"},
                           tmp.path());
    ASSERT_TRUE(eventually([&] { return temporariesIn(dir.path()) == 1; }, 60)) << "the movie is being written";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(tool, signal);
    EXPECT_EQ(test::waitForProgram(tool), 128 + signal);
    EXPECT_EQ(readFile(dir.file("old.mp4")), "old movie") << signal;
    EXPECT_EQ(temporariesIn(dir.path()), 0) << signal;
    EXPECT_TRUE(eventually([&] { return std::filesystem::is_empty(tmp.path()) && processesMentioning(tmp.path()) == 0; }, 10))
        << "after signal " << signal;
  }
}

// The browser's start is the delicate moment: its temporary folder, the browser and the process that
// cleans up after both come into being one after another. Signals sent from the moment the folder
// appears (and before it) leave nothing behind.
TEST(PlateCommand, ASignalAtAnyMomentOfTheBrowsersStartLeavesNothingBehind) {
  TempDir dir;
  writeFile(dir.file("page.html"), kMovingBoxPage);
  const int signals[] = {SIGTERM, SIGKILL, SIGINT, SIGHUP};
  int round = 0;
  // Microseconds after the folder appeared; negative: that long after the start, whatever is there.
  for (int delayUs : {-1000, -100000, 0, 0, 0, 0, 0, 0, 0, 0, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 30000, 100000}) {
    int signal = signals[round++ % 4];
    TempDir tmp;
    pid_t tool = startTool({"plate", dir.file("page.html"), "--out", dir.file("stopped.mp4"), "--width", "32",
                            "--height", "32", "--seconds", "30"},
                           tmp.path());
    if (delayUs >= 0) {
      auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (std::filesystem::is_empty(tmp.path()) && std::chrono::steady_clock::now() < end) {
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(std::abs(delayUs)));
    kill(tool, signal);
    int status = 0;
    waitpid(tool, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "signal " << signal << " at " << delayUs << " us";
    auto clean = [&] { return std::filesystem::is_empty(tmp.path()) && processesMentioning(tmp.path()) == 0; };
    EXPECT_TRUE(eventually(clean, 10)) << "signal " << signal << " at " << delayUs << " us";
  }
}

}  // namespace
}  // namespace kov
