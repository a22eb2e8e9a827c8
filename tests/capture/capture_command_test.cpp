// `snap` and `scroll` run for real: the built tool, headless Chromium and pages served on loopback.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>

#include "capture/page_server.h"
#include "capture/page_snapper.h"
#include "capture/scroll_motion.h"
#include "capture/test_pictures.h"
#include "support/fixtures.h"
#include "support/tool_run.h"

namespace kov {
namespace {

using test::PageServer;
using test::RgbPicture;
using test::RunResult;
using test::TempDir;

const std::string kSnapUsage =
    "usage: kov-vision snap <https://\u2026> --out <file.png> [--width 1280] [--height 1500]\n";
const std::string kScrollUsage =
    "usage: kov-vision scroll <https://\u2026> --out <folder> [--width 1080] [--height 960] [--seconds 4] [--fps 15] "
    "[--distance 1.5]\n";

int processesMentioning(const std::string& needle) {
  int count = 0;
  DIR* proc = opendir("/proc");
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::string cmdline = test::readFile(std::string("/proc/") + entry->d_name + "/cmdline");
    if (cmdline.find(needle) != std::string::npos) ++count;
  }
  closedir(proc);
  return count;
}

// One run of the tool whose temporary files go to a folder of the test's own; afterwards neither
// a process nor a file of that run may remain.
class CaptureRun {
 public:
  RunResult run(const std::vector<std::string>& args, const std::string& cwd = "") {
    RunResult result = test::runProgram(toolCommand(args), cwd.empty() ? work_.path() : cwd);
    expectNothingLeft();
    return result;
  }

  // Starts the tool without waiting for it; its output goes nowhere.
  pid_t start(const std::vector<std::string>& args) {
    std::vector<std::string> argv = toolCommand(args);
    std::vector<char*> cargs;
    for (auto& a : argv) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = fork();
    if (pid == 0) {  // only async-signal-safe calls here: the test process has threads
      dup2(devnull, STDOUT_FILENO);
      dup2(devnull, STDERR_FILENO);
      execvp(cargs[0], cargs.data());
      _exit(127);
    }
    close(devnull);
    return pid;
  }

  std::string file(const std::string& name) const { return work_.file(name); }
  const std::string& path() const { return work_.path(); }
  std::string tmp() const { return work_.file("tmp"); }

  // `env` sets the temporary folder and then becomes the tool, so the pid is the tool's.
  std::vector<std::string> toolCommand(const std::vector<std::string>& args) const {
    std::filesystem::create_directories(tmp());
    std::vector<std::string> argv{"env", "TMPDIR=" + tmp(), test::toolPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  void expectNothingLeft() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (processesMentioning(work_.path()) > 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(processesMentioning(work_.path()), 0) << "a process of the run is still there";
    EXPECT_TRUE(std::filesystem::is_empty(tmp())) << "temporary files left in " << tmp();
  }

 private:
  TempDir work_;
};

int nearestPaletteEntry(const std::uint8_t* rgb) {
  int best = 0;
  long bestDistance = -1;
  for (int i = 0; i < test::kPaletteSize; ++i) {
    const auto& c = test::kStripePalette[i];
    long dr = rgb[0] - c.r, dg = rgb[1] - c.g, db = rgb[2] - c.b;
    long distance = dr * dr + dg * dg + db * db;
    if (bestDistance < 0 || distance < bestDistance) best = i, bestDistance = distance;
  }
  return best;
}

// The stripe painted across `row`, read from the middles of its three thirds.
int stripeAtRow(const RgbPicture& picture, int row) {
  int left = nearestPaletteEntry(picture.at(picture.width / 6, row));
  int middle = nearestPaletteEntry(picture.at(picture.width / 2, row));
  int right = nearestPaletteEntry(picture.at(picture.width * 5 / 6, row));
  return left + test::kPaletteSize * middle + test::kPaletteSize * test::kPaletteSize * right;
}

// Every row well inside a stripe shows the stripe that a view scrolled to `y` has there.
void expectStripesForScroll(const RgbPicture& picture, std::int64_t y, const std::string& what) {
  int wrong = 0;
  for (int row = 0; row < picture.height; ++row) {
    std::int64_t pageRow = y + row;
    int inside = static_cast<int>(pageRow % test::kStripeHeight);
    if (inside < 4 || inside > test::kStripeHeight - 5) continue;
    if (stripeAtRow(picture, row) != pageRow / test::kStripeHeight) ++wrong;
  }
  EXPECT_EQ(wrong, 0) << what << ": rows showing another stripe than at scroll position " << y;
}

// The scroll position of a stripes frame, from the first stripe edge below its top row.
std::int64_t measuredScroll(const RgbPicture& picture) {
  int top = stripeAtRow(picture, 0);
  for (int row = 1; row + 3 < picture.height; ++row) {
    int band = stripeAtRow(picture, row);
    if (band != top && stripeAtRow(picture, row + 3) == band) return std::int64_t{band} * test::kStripeHeight - row;
  }
  return -1;
}

std::string withEscapedSlashes(const std::string& text) {
  std::string escaped;
  for (char c : text) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
  return escaped;
}

void expectFailureLine(const RunResult& result, const std::string& line) {
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, line);
}

TEST(CaptureCommands, AddressAndOutChecksComeFirstAndLoadNothing) {
  PageServer server;
  std::string page = server.url("/stripes");
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  std::vector<Case> cases = {
      {{"snap"}, kSnapUsage},
      {{"scroll"}, kScrollUsage},
      {{"snap", "127.0.0.1", "--out", "a.png"}, kSnapUsage},
      {{"snap", "example.com/page", "--out", "a.png"}, kSnapUsage},
      {{"snap", "ftp://127.0.0.1/a", "--out", "a.png"}, kSnapUsage},
      {{"scroll", "file:///etc/hostname", "--out", "f"}, kScrollUsage},
      {{"scroll", "HTTP://127.0.0.1/", "--out", "f"}, kScrollUsage},
      {{"snap", "--out", "a.png", page}, kSnapUsage},
      {{"scroll", "--out", "f", page}, kScrollUsage},
      {{"snap", page}, "snap needs --out <file>\n"},
      {{"snap", page, "--width", "400", "--height", "700"}, "snap needs --out <file>\n"},
      {{"snap", page, "--width", "400", "--out"}, "snap needs --out <file>\n"},
      {{"scroll", page, "--fps", "5"}, "scroll needs --out <folder>\n"},
      {{"scroll", page, "--out"}, "scroll needs --out <folder>\n"},
      {{"scroll", "not a url", "--fps", "5"}, kScrollUsage},
  };
  for (const auto& c : cases) {
    RunResult result = test::runTool(c.args, dir.path());
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    expectFailureLine(result, c.err);
  }
  EXPECT_TRUE(server.requests().empty());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(CaptureCommands, SnapWritesExactlyTheViewWithTheToolsUserAgent) {
  PageServer server;
  CaptureRun run;
  std::filesystem::create_directories(run.file("shots"));
  // --width 100 is raised to 320; the first --out wins; the path is relative to the current folder;
  // the address redirects to the stripes page.
  RunResult result = run.run({"snap", server.url("/moved"), "--width", "100", "--out", "shots/a.png", "--height",
                              "700.9", "--out", "b.png"},
                             run.path());
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  std::string out = run.file("shots/a.png");
  EXPECT_EQ(result.out, R"({"width":320,"height":700,"out":")" + withEscapedSlashes(out) + R"("})");
  EXPECT_FALSE(std::filesystem::exists(run.file("b.png")));

  auto picture = test::decodePng(test::readFile(out));
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 320);
  EXPECT_EQ(picture->height, 700);
  expectStripesForScroll(*picture, 0, "snap");
  const auto& first = test::kStripePalette[0];
  EXPECT_EQ(picture->at(2, 2)[0], first.r);  // lossless: the page's own colour
  EXPECT_EQ(picture->at(2, 2)[1], first.g);
  EXPECT_EQ(picture->at(2, 2)[2], first.b);

  for (const char* path : {"/moved", "/stripes"}) {
    auto pageRequests = server.requestsFor(path);
    ASSERT_EQ(pageRequests.size(), 1u) << path;
    EXPECT_EQ(pageRequests[0].userAgent, kCaptureUserAgent) << path;
  }
}

TEST(CaptureCommands, SnapOfAPageShorterThanTheViewReplacesAnOlderFile) {
  PageServer server;
  CaptureRun run;
  std::string out = run.file("short.png");
  test::writeFile(out, "an older picture");
  RunResult result = run.run({"snap", server.url("/short"), "--out", out});
  ASSERT_EQ(result.status, 0) << result.err;
  auto picture = test::decodePng(test::readFile(out));
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 1280);
  EXPECT_EQ(picture->height, 1500);
  const std::uint8_t* inside = picture->at(640, 100);
  EXPECT_EQ(inside[0] * 0x10000 + inside[1] * 0x100 + inside[2], 0x1428e6);
  const std::uint8_t* below = picture->at(640, 1400);
  EXPECT_EQ(below[0] * 0x10000 + below[1] * 0x100 + below[2], 0xffffff);
  EXPECT_EQ(nlohmann::json::parse(result.out)["height"], 1500);
}

TEST(CaptureCommands, TwoRunsDoNotShareCookies) {
  PageServer server;
  CaptureRun run;
  for (int i = 0; i < 2; ++i) {
    RunResult result = run.run({"snap", server.url("/cookie"), "--out", run.file("c.png"), "--width", "320"});
    ASSERT_EQ(result.status, 0) << result.err;
  }
  auto pages = server.requestsFor("/cookie");
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[0].cookie, "");
  EXPECT_EQ(pages[1].cookie, "") << "the second run saw the first run's cookie";
  // Within a run the cookie works: the page's own picture is fetched with it.
  auto probes = server.requestsFor("/cookie-probe.svg");
  ASSERT_EQ(probes.size(), 2u);
  for (const auto& probe : probes) EXPECT_EQ(probe.cookie, "visit=1");
}

TEST(CaptureCommands, DefaultScrollHoldsTheTopThenEasesToTheTravel) {
  PageServer server;
  CaptureRun run;
  std::string folder = run.file("frames");
  RunResult result = run.run({"scroll", server.url("/stripes"), "--out", folder});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, R"({"width":1080,"height":960,"frames":60,"out":")" + withEscapedSlashes(folder) +
                            R"(","page_height":5000,"title":"Stripes 1\/2"})");

  double travel = scrollTravel(5000, 960, 1.5);
  ASSERT_EQ(travel, 1440);
  for (int i = 0; i < 60; ++i) {
    auto frame = test::decodeJpeg(test::readFile(folder + "/" + frameFileName(i)));
    ASSERT_TRUE(frame) << "frame " << i;
    ASSERT_EQ(frame->width, 1080);
    ASSERT_EQ(frame->height, 960);
    std::int64_t y = scrollPosition(i, 60, travel);
    if (i <= 7 || i == 59) {
      EXPECT_EQ(y, i == 59 ? 1440 : 0);
      EXPECT_EQ(measuredScroll(*frame), y) << "frame " << i;
    } else {
      EXPECT_NEAR(measuredScroll(*frame), y, 1) << "frame " << i;  // JPEG may blur an edge by a row
    }
    expectStripesForScroll(*frame, y, "frame " + std::to_string(i));
  }
  EXPECT_FALSE(std::filesystem::exists(folder + "/" + frameFileName(60)));
}

TEST(CaptureCommands, ScrollOfAShortPageStaysAtTheTopAndKeepsOtherFiles) {
  PageServer server;
  CaptureRun run;
  std::string folder = run.file("short");
  std::filesystem::create_directories(folder);
  test::writeFile(folder + "/frame-0000.jpg", "older");
  test::writeFile(folder + "/frame-0099.jpg", "older");
  RunResult result = run.run({"scroll", server.url("/short"), "--out", "short/", "--fps", "5", "--seconds", "1",
                              "--distance", "10", "--width", "320"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(nlohmann::json::parse(result.out), (nlohmann::json{{"width", 320}, {"height", 960}, {"frames", 5},
                                                                {"out", folder}, {"page_height", 960}, {"title", ""}}));
  for (int i = 0; i < 5; ++i) {
    auto frame = test::decodeJpeg(test::readFile(folder + "/" + frameFileName(i)));
    ASSERT_TRUE(frame) << "frame " << i;
    EXPECT_EQ(frame->width, 320);
    EXPECT_EQ(frame->height, 960);
    const std::uint8_t* box = frame->at(160, 100);  // the 200 px box stays at the top
    EXPECT_NEAR(box[2], 0xe6, 12) << "frame " << i;
    EXPECT_NEAR(box[0], 0x14, 12) << "frame " << i;
    EXPECT_GT(frame->at(160, 900)[0], 240) << "frame " << i;
  }
  EXPECT_FALSE(std::filesystem::exists(folder + "/frame-0005.jpg"));
  EXPECT_EQ(test::readFile(folder + "/frame-0099.jpg"), "older");
}

TEST(CaptureCommands, ThePageSeesTheToolsUserAgentInScriptsToo) {
  PageServer server;
  CaptureRun run;
  RunResult result = run.run({"scroll", server.url("/agent"), "--out", run.file("agent/a/b"), "--fps", "5",
                              "--width", "320", "--height", "320"});
  ASSERT_EQ(result.status, 0) << result.err;
  nlohmann::json report = nlohmann::json::parse(result.out);
  EXPECT_EQ(report["title"], kCaptureUserAgent);
  EXPECT_EQ(report["frames"], 20);  // 5 fps for the default 4 seconds
  EXPECT_TRUE(std::filesystem::exists(run.file("agent/a/b/frame-0019.jpg")));  // intermediate folders made
  auto pages = server.requestsFor("/agent");
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].userAgent, kCaptureUserAgent);
}

TEST(CaptureCommands, ATitleHoldingHalfASurrogatePairIsReportedWithTheReplacementCharacter) {
  PageServer server;
  CaptureRun run;
  RunResult result = run.run({"scroll", server.url("/half-pair"), "--out", run.file("half"), "--fps", "2",
                              "--seconds", "1", "--width", "64", "--height", "64"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(nlohmann::json::parse(result.out)["title"], "A \uFFFD B");
}

TEST(CaptureCommands, FailuresCarryTheEnginesOrTheSystemsText) {
  PageServer server;
  CaptureRun run;

  expectFailureLine(run.run({"snap", "http://nonexistent.invalid/", "--out", run.file("x.png")}),
                    "snap failed: net::ERR_NAME_NOT_RESOLVED\n");
  EXPECT_FALSE(std::filesystem::exists(run.file("x.png")));

  // The same without any network: in a network namespace of its own the machine has no interface up
  // at all, which the engine otherwise reports as net::ERR_INTERNET_DISCONNECTED.
  std::vector<std::string> offline = run.toolCommand({"snap", "http://nonexistent.invalid/", "--out", run.file("x.png")});
  offline.insert(offline.begin(), {"unshare", "--net"});
  RunResult isolated = test::runProgram(offline, run.path());
  if (isolated.err.rfind("unshare: ", 0) == 0) {
    std::cout << "[ NOTE     ] not checked without a network: " << isolated.err;  // no right to make a namespace
  } else {
    expectFailureLine(isolated, "snap failed: net::ERR_NAME_NOT_RESOLVED\n");
    run.expectNothingLeft();
  }

  std::string refused = "http://127.0.0.1:" + std::to_string(test::refusedPort()) + "/";
  expectFailureLine(run.run({"scroll", refused, "--out", run.file("never")}),
                    "scroll failed: net::ERR_CONNECTION_REFUSED\n");
  EXPECT_FALSE(std::filesystem::exists(run.file("never")));

  test::writeFile(run.file("taken"), "a file");
  expectFailureLine(run.run({"scroll", server.url("/short"), "--out", run.file("taken"), "--fps", "5", "--seconds",
                             "1"}),
                    "scroll failed: File exists\n");
  EXPECT_EQ(test::readFile(run.file("taken")), "a file");
  EXPECT_EQ(server.requestsFor("/short").size(), 1u);  // the page was loaded before the folder failed

  expectFailureLine(run.run({"snap", server.url("/short"), "--out", run.file("no/such/folder.png")}),
                    "snap failed: No such file or directory\n");
}

TEST(CaptureCommands, APageThatNeverAnswersFailsWithTheTimeoutText) {
  PageServer server;
  CaptureRun run;
  auto started = std::chrono::steady_clock::now();
  expectFailureLine(run.run({"snap", server.url("/hang"), "--out", run.file("late.png")}),
                    "snap failed: net::ERR_TIMED_OUT\n");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GE(seconds, kRequestTimeoutSeconds);
  EXPECT_FALSE(std::filesystem::exists(run.file("late.png")));
}

TEST(CaptureCommands, AnInterruptedRunLeavesNothingBehind) {
  PageServer server;
  CaptureRun run;
  pid_t tool = run.start({"scroll", server.url("/hang"), "--out", run.file("frames")});
  ASSERT_GT(tool, 0);
  // Wait until the browser is up and the page is being asked for, then interrupt.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (server.requestsFor("/hang").empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_FALSE(server.requestsFor("/hang").empty());
  EXPECT_GE(processesMentioning(run.tmp()), 1);
  kill(tool, SIGTERM);
  int status = 0;
  waitpid(tool, &status, 0);
  EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  run.expectNothingLeft();
  EXPECT_FALSE(std::filesystem::exists(run.file("frames")));
}

// Names in a folder that look like an unfinished output.
int temporariesIn(const std::string& folder) {
  int count = 0;
  for (auto& entry : std::filesystem::directory_iterator(folder))
    count += entry.path().filename().string().find(".partial-") != std::string::npos;
  return count;
}

TEST(CaptureCommands, OnlyRegularFilesOrNothingAreReplacedByPicturesAndNeverPartly) {
  PageServer server;
  CaptureRun run;
  ASSERT_EQ(mkfifo(run.file("fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(run.file("folder"));
  std::filesystem::create_symlink("folder", run.file("to-folder"));
  for (std::string name : {"fifo", "folder", "to-folder"}) {
    expectFailureLine(run.run({"snap", server.url("/short"), "--out", run.file(name)}),
                      "snap failed: cannot write " + run.file(name) + ": it is not a regular file\n");
  }
  EXPECT_TRUE(server.requestsFor("/short").empty()) << "refused before the page was loaded";
  EXPECT_TRUE(std::filesystem::is_fifo(run.file("fifo")));
  EXPECT_TRUE(std::filesystem::is_symlink(run.file("to-folder")));

  // A snap through a link replaces the file it points to; the link stays.
  test::writeFile(run.file("folder/older.png"), "older");
  std::filesystem::create_symlink("folder/older.png", run.file("link.png"));
  RunResult result = run.run({"snap", server.url("/short"), "--out", run.file("link.png"), "--height", "100"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(std::filesystem::is_symlink(run.file("link.png")));
  EXPECT_TRUE(test::decodePng(test::readFile(run.file("folder/older.png"))));

  // A FIFO where a frame goes stops the scroll there, untouched; the frames before it are whole.
  std::filesystem::create_directory(run.file("frames"));
  ASSERT_EQ(mkfifo(run.file("frames/frame-0002.jpg").c_str(), 0600), 0);
  expectFailureLine(run.run({"scroll", server.url("/short"), "--out", run.file("frames"), "--fps", "5", "--seconds", "1"}),
                    "scroll failed: cannot write " + run.file("frames/frame-0002.jpg") + ": it is not a regular file\n");
  EXPECT_TRUE(std::filesystem::is_fifo(run.file("frames/frame-0002.jpg")));
  EXPECT_TRUE(test::decodeJpeg(test::readFile(run.file("frames/frame-0001.jpg"))));
  EXPECT_EQ(temporariesIn(run.file("frames")), 0);
  EXPECT_EQ(temporariesIn(run.path()), 0);
}

}  // namespace
}  // namespace kov
