// The capture operations over a scripted browser, for the faults a real page cannot be made to
// produce on demand: failing scripts, odd script results, empty or failing pictures.
#include "capture/page_snapper.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <limits>
#include <map>

#include "capture/capture_error.h"
#include "capture/test_pictures.h"
#include "support/fixtures.h"

namespace kov {
namespace {

using test::TempDir;

struct PageLog {
  PageOptions options;
  std::vector<std::string> calls;  // "navigate <url> <limit>", "sleep <ms>", "eval <expr>", "capture png|jpeg"
};

class ScriptedPage : public Page {
 public:
  ScriptedPage(PageLog& log, std::optional<std::string> navigationError, bool navigationTimesOut,
               std::map<std::string, ScriptValue> values, std::function<Picture(int)> picture)
      : log_(log),
        navigationError_(std::move(navigationError)),
        navigationTimesOut_(navigationTimesOut),
        values_(std::move(values)),
        picture_(std::move(picture)) {}

  void navigate(const std::string& url, std::optional<double> limitSeconds) override {
    log_.calls.push_back("navigate " + url + " " + std::to_string(limitSeconds.value_or(-1)));
    if (navigationError_ && navigationTimesOut_) throw BrowserTimeout(*navigationError_);
    if (navigationError_) throw BrowserError(*navigationError_);
  }
  ScriptValue runAsync(const std::string&, const std::vector<ScriptArgument>&, double) override {
    throw BrowserError("not used by the capture commands");
  }
  ScriptValue evaluate(const std::string& expression, double) override {
    log_.calls.push_back("eval " + expression);
    auto found = values_.find(expression);
    if (found == values_.end()) throw BrowserError("ReferenceError: scripted failure");
    return found->second;
  }
  void sleep(int milliseconds) override { log_.calls.push_back("sleep " + std::to_string(milliseconds)); }
  Picture capture(const CaptureRequest& request) override {
    log_.calls.push_back(request.format == PictureFormat::Png ? "capture png" : "capture jpeg");
    EXPECT_TRUE(request.keepEncoded);
    if (request.format == PictureFormat::Jpeg) {
      EXPECT_EQ(request.jpegQuality, 88);
    }
    return picture_(captures_++);
  }

 private:
  PageLog& log_;
  std::optional<std::string> navigationError_;
  bool navigationTimesOut_;
  std::map<std::string, ScriptValue> values_;
  std::function<Picture(int)> picture_;
  int captures_ = 0;
};

class ScriptedBrowser : public Browser {
 public:
  std::optional<std::string> navigationError;
  bool navigationTimesOut = false;
  std::map<std::string, ScriptValue> values;
  std::function<Picture(int)> picture;
  PageLog log;

  std::unique_ptr<Page> openPage(const PageOptions& options) override {
    log.options = options;
    return std::make_unique<ScriptedPage>(log, navigationError, navigationTimesOut, values, picture);
  }
};

Picture encoded(std::string bytes, int width, int height) {
  Picture picture;
  picture.width = width;
  picture.height = height;
  picture.encoded = std::move(bytes);
  return picture;
}

std::string errorOf(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no error)";
}

TEST(PageSnapper, SnapSetsUpThePageWaitsAndWritesTheLosslessPicture) {
  TempDir dir;
  ScriptedBrowser browser;
  std::string png = test::encodePng(test::solidPicture(400, 600, 10, 200, 30));
  browser.picture = [&](int) { return encoded(png, 400, 600); };
  PageSnapper snapper(browser);

  SnapReport report = snapper.snap("http://127.0.0.1:1/a", dir.file("shot.png"), 400, 600);

  EXPECT_EQ(browser.log.options.width, 400);
  EXPECT_EQ(browser.log.options.height, 600);
  EXPECT_FALSE(browser.log.options.transparent);
  ASSERT_TRUE(browser.log.options.userAgent);
  EXPECT_EQ(*browser.log.options.userAgent, kCaptureUserAgent);
  EXPECT_EQ(std::string(kCaptureUserAgent).size(), 114u);
  EXPECT_EQ(browser.log.calls, (std::vector<std::string>{"navigate http://127.0.0.1:1/a 35.000000", "sleep 2000",
                                                          "capture png"}));
  EXPECT_EQ(report.width, 400);
  EXPECT_EQ(report.height, 600);
  EXPECT_EQ(report.out, dir.file("shot.png"));
  EXPECT_EQ(test::readFile(dir.file("shot.png")), png);
}

TEST(PageSnapper, SnapFailuresNameTheirCauseAndLeaveAnExistingFileAlone) {
  TempDir dir;
  std::string out = dir.file("keep.png");
  test::writeFile(out, "earlier");
  std::string png = test::encodePng(test::solidPicture(320, 600, 0, 0, 0));

  ScriptedBrowser unreachable;
  unreachable.navigationError = "net::ERR_NAME_NOT_RESOLVED";
  EXPECT_EQ(errorOf([&] { PageSnapper(unreachable).snap("http://x.invalid/", out, 320, 600); }),
            "net::ERR_NAME_NOT_RESOLVED");
  EXPECT_EQ(unreachable.log.calls.size(), 1u);  // no settle, no picture after a failed load

  // A navigation that runs out of time reads like the engine's own timeout.
  ScriptedBrowser stalled;
  stalled.navigationError = "the page did not load within 35 seconds";
  stalled.navigationTimesOut = true;
  EXPECT_EQ(errorOf([&] { PageSnapper(stalled).snap("http://h/", out, 320, 600); }), "net::ERR_TIMED_OUT");

  ScriptedBrowser broken;
  broken.picture = [](int) -> Picture { throw BrowserError("Unable to capture screenshot"); };
  EXPECT_EQ(errorOf([&] { PageSnapper(broken).snap("http://h/", out, 320, 600); }), "Unable to capture screenshot");

  ScriptedBrowser blank;
  blank.picture = [](int) { return encoded("", 320, 600); };
  EXPECT_EQ(errorOf([&] { PageSnapper(blank).snap("http://h/", out, 320, 600); }), kPageNotDrawn);
  EXPECT_THROW(PageSnapper(blank).snap("http://h/", out, 320, 600), CaptureError);

  ScriptedBrowser truncated;
  truncated.picture = [&](int) { return encoded(png.substr(0, png.size() - 20), 320, 600); };
  EXPECT_EQ(errorOf([&] { PageSnapper(truncated).snap("http://h/", out, 320, 600); }), kPageNotSaved);
  EXPECT_THROW(PageSnapper(truncated).snap("http://h/", out, 320, 600), CaptureError);

  EXPECT_EQ(test::readFile(out), "earlier");

  ScriptedBrowser fine;
  fine.picture = [&](int) { return encoded(png, 320, 600); };
  EXPECT_EQ(errorOf([&] { PageSnapper(fine).snap("http://h/", dir.file("missing/a.png"), 320, 600); }),
            "No such file or directory");
  PageSnapper(fine).snap("http://h/", out, 320, 600);
  EXPECT_EQ(test::readFile(out), png);  // an existing file is replaced
}

TEST(PageSnapper, ScrollMeasuresThePageThenPositionsPausesAndCapturesEveryFrame) {
  TempDir dir;
  ScriptedBrowser browser;
  browser.values = {{"document.documentElement.scrollHeight", 2000.0}, {"document.title", std::string("A/B")}};
  std::string jpeg = test::encodeJpeg(test::solidPicture(320, 960, 90, 90, 90), 88);
  browser.picture = [&](int) { return encoded(jpeg, 320, 960); };
  std::string folder = dir.file("a/b/frames");

  ScrollReport report = PageSnapper(browser).scroll("https://h/p", folder, 320, 960, 1, 5, 1.5);

  std::vector<std::string> expected = {"navigate https://h/p 35.000000", "sleep 2500",
                                       "eval document.documentElement.scrollHeight", "eval document.title"};
  for (int y : {0, 45, 387, 872, 1040}) {  // the scroll scripts fail here, which is not reported
    expected.push_back("eval window.scrollTo(0, " + std::to_string(y) + ")");
    expected.push_back("sleep 40");
    expected.push_back("capture jpeg");
  }
  EXPECT_EQ(browser.log.calls, expected);
  EXPECT_EQ(browser.log.options.height, 960);
  EXPECT_EQ(report.frames, 5);
  EXPECT_EQ(report.pageHeight, 2000);
  EXPECT_EQ(report.title, "A/B");
  EXPECT_EQ(report.out, folder);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(test::readFile(folder + "/" + frameFileName(i)), jpeg) << i;
}

TEST(PageSnapper, ScrollSkipsFramesWithoutPicturesAndFallsBackOnOddMeasurements) {
  TempDir dir;
  std::string folder = dir.file("frames");
  std::filesystem::create_directories(folder);
  test::writeFile(folder + "/frame-0099.jpg", "older run");
  test::writeFile(folder + "/frame-0001.jpg", "older run");

  ScriptedBrowser browser;  // height as text, title as a number: neither is usable
  browser.values = {{"document.documentElement.scrollHeight", std::string("5000")}, {"document.title", 12.0}};
  std::string jpeg = test::encodeJpeg(test::solidPicture(320, 320, 0, 0, 0), 88);
  browser.picture = [&](int index) { return encoded(index == 1 ? std::string() : index == 3 ? "garbage" : jpeg, 320, 320); };

  ScrollReport report = PageSnapper(browser).scroll("http://h/", folder, 320, 320, 1, 5, 1.5);

  EXPECT_EQ(report.pageHeight, 320);
  EXPECT_EQ(report.title, "");
  EXPECT_EQ(report.frames, 5);  // skipped frames still count
  for (const auto& call : browser.log.calls) {
    if (call.rfind("eval window.scrollTo", 0) == 0) {
      EXPECT_EQ(call, "eval window.scrollTo(0, 0)");
    }
  }
  EXPECT_EQ(test::readFile(folder + "/frame-0000.jpg"), jpeg);
  EXPECT_EQ(test::readFile(folder + "/frame-0001.jpg"), "older run");  // a gap keeps what stood there
  EXPECT_FALSE(std::filesystem::exists(folder + "/frame-0003.jpg"));
  EXPECT_EQ(test::readFile(folder + "/frame-0004.jpg"), jpeg);
  EXPECT_EQ(test::readFile(folder + "/frame-0099.jpg"), "older run");

  ScriptedBrowser endless;  // an infinite height would make the report unencodable
  endless.values = {{"document.documentElement.scrollHeight", std::numeric_limits<double>::infinity()}};
  endless.picture = browser.picture;
  EXPECT_EQ(PageSnapper(endless).scroll("http://h/", dir.file("f2"), 320, 320, 1, 5, 6).pageHeight, 320);
}

TEST(PageSnapper, ScrollFailuresKeepTheFramesAlreadyWritten) {
  TempDir dir;
  std::string jpeg = test::encodeJpeg(test::solidPicture(320, 320, 0, 0, 0), 88);

  ScriptedBrowser failing;
  failing.picture = [&](int index) {
    if (index == 2) throw BrowserError("Target crashed");
    return encoded(jpeg, 320, 320);
  };
  EXPECT_EQ(errorOf([&] { PageSnapper(failing).scroll("http://h/", dir.file("f"), 320, 320, 1, 5, 1.5); }),
            "Target crashed");
  EXPECT_TRUE(std::filesystem::exists(dir.file("f/frame-0001.jpg")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("f/frame-0002.jpg")));

  test::writeFile(dir.file("plain"), "a file");
  ScriptedBrowser blocked;
  blocked.picture = failing.picture;
  EXPECT_EQ(errorOf([&] { PageSnapper(blocked).scroll("http://h/", dir.file("plain"), 320, 320, 1, 5, 1.5); }),
            "File exists");
  EXPECT_EQ(errorOf([&] { PageSnapper(blocked).scroll("http://h/", dir.file("plain/sub"), 320, 320, 1, 5, 1.5); }),
            "Not a directory");
  for (const auto& call : blocked.log.calls) EXPECT_NE(call, "capture jpeg");

  ScriptedBrowser unreachable;
  unreachable.navigationError = "net::ERR_CONNECTION_REFUSED";
  EXPECT_EQ(errorOf([&] { PageSnapper(unreachable).scroll("http://h/", dir.file("g"), 320, 320, 1, 5, 1.5); }),
            "net::ERR_CONNECTION_REFUSED");
  EXPECT_FALSE(std::filesystem::exists(dir.file("g")));  // no folder for a page that never loaded
}

}  // namespace
}  // namespace kov
