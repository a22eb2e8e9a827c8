// PlateRenderer against a hand-made page, for the faults a real browser will not produce on demand:
// pictures that cannot be decoded, captures that fail, readiness scripts that throw.
#include "plate/plate_renderer.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/fixtures.h"
#include "support/tool_run.h"

namespace kov {
namespace {

using test::TempDir;

struct Script {
  std::string body;
  std::vector<ScriptArgument> arguments;
};

// Records what the renderer asks of it; serves a fixed PNG for every capture.
class FakePage : public Page {
 public:
  std::vector<std::string> urls;
  std::vector<Script> scripts;
  std::string png;
  int captures = 0;
  int failCaptureAt = -1;       // capture number that throws
  int corruptCaptureAt = -1;    // capture number that returns bytes that are no PNG
  bool readinessThrows = false;
  int seekTimesOutAt = -1;      // script number (0 is the readiness script) that never settles

  void navigate(const std::string& url, std::optional<double>) override { urls.push_back(url); }
  ScriptValue runAsync(const std::string& body, const std::vector<ScriptArgument>& arguments, double) override {
    scripts.push_back({body, arguments});
    if (readinessThrows && scripts.size() == 1) throw BrowserError("TypeError: fonts are broken");
    if (static_cast<int>(scripts.size()) - 1 == seekTimesOutAt) throw BrowserTimeout("the script did not finish");
    return 1.0;
  }
  ScriptValue evaluate(const std::string&, double) override { return 1.0; }
  void sleep(int) override {}
  Picture capture(const CaptureRequest& request) override {
    int index = captures++;
    if (index == failCaptureAt) throw BrowserError("the page crashed");
    Picture picture;
    picture.width = 16;
    picture.height = 8;
    EXPECT_EQ(request.format, PictureFormat::Png) << "frames are lossless";
    picture.encoded = index == corruptCaptureAt ? std::string("not a png") : png;
    return picture;
  }
};

// The renderer owns the page it opens; this hands it a stand-in so that the test keeps the record.
class PageStandIn : public Page {
 public:
  explicit PageStandIn(FakePage& page) : page_(page) {}
  void navigate(const std::string& url, std::optional<double> limit) override { page_.navigate(url, limit); }
  ScriptValue runAsync(const std::string& body, const std::vector<ScriptArgument>& arguments, double limit) override {
    return page_.runAsync(body, arguments, limit);
  }
  ScriptValue evaluate(const std::string& expression, double limit) override { return page_.evaluate(expression, limit); }
  void sleep(int ms) override { page_.sleep(ms); }
  Picture capture(const CaptureRequest& request) override { return page_.capture(request); }

 private:
  FakePage& page_;
};

class FakeBrowser : public Browser {
 public:
  explicit FakeBrowser(FakePage& page) : page_(page) {}
  PageOptions options;
  std::unique_ptr<Page> openPage(const PageOptions& requested) override {
    options = requested;
    return std::make_unique<PageStandIn>(page_);
  }

 private:
  FakePage& page_;
};

std::string framePng(const TempDir& dir) {
  test::ffmpeg("-f lavfi -i color=c=orange:s=16x8 -frames:v 1 -pix_fmt rgba '" + dir.file("frame.png") + "'");
  return test::readFile(dir.file("frame.png"));
}

TEST(PlateRenderer, LoadsThePageThenSeeksEveryFrameTimeWithTheExactScripts) {
  TempDir dir;
  FakePage fake;
    FakePage* page = &fake;
  page->png = framePng(dir);
  page->readinessThrows = true;  // ignored: the frames still come
  FakeBrowser browser(*page);
  test::writeFile(dir.file("old.mov"), "an older movie");

  PlateRenderer renderer(dir.file("a page.html"), dir.file("old.mov"), 16, 8, 4, 1.4, true);
  PlateReport report = renderer.run(browser);

  EXPECT_EQ(browser.options.width, 16);
  EXPECT_EQ(browser.options.height, 8);
  EXPECT_TRUE(browser.options.transparent);
  EXPECT_FALSE(browser.options.userAgent);
  ASSERT_EQ(page->urls.size(), 1u);
  EXPECT_EQ(page->urls[0], fileUrl(dir.file("a page.html")));

  ASSERT_EQ(page->scripts.size(), 1u + 6u);  // readiness, then 6 frames (1.4 s x 4 = 5.6)
  EXPECT_EQ(page->scripts[0].body,
            "await document.fonts.ready; await Promise.all([...document.images].map(i => i.decode().catch(() => 0))); "
            "return 1");
  EXPECT_TRUE(page->scripts[0].arguments.empty());
  for (int i = 0; i < 6; ++i) {
    const Script& seek = page->scripts[1 + i];
    EXPECT_EQ(seek.body, "if (window.plate && window.plate.seek) { await window.plate.seek(t); } return 1");
    ASSERT_EQ(seek.arguments.size(), 1u);
    EXPECT_EQ(seek.arguments[0].name, "t");
    EXPECT_EQ(std::get<double>(seek.arguments[0].value), i / 4.0);
  }
  EXPECT_EQ(page->captures, 6);
  EXPECT_EQ(report.frames, 6);
  EXPECT_EQ(report.width, 16);
  EXPECT_EQ(report.height, 8);
  EXPECT_EQ(report.fps, 4.0);
  EXPECT_EQ(report.out, dir.file("old.mov"));
  auto probe = test::runProgram({"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                                 "stream=codec_name,nb_read_frames", "-of", "csv=p=0", dir.file("old.mov")});
  EXPECT_EQ(probe.out, "prores,6\n") << "the older file was replaced";
}

TEST(PlateRenderer, FailuresNameTheFrameAndStopTheRun) {
  TempDir dir;
  {
    FakePage fake;
    FakePage* page = &fake;
    page->png = framePng(dir);
    page->corruptCaptureAt = 3;
    FakeBrowser browser(*page);
    PlateRenderer renderer(dir.file("p.html"), dir.file("corrupt.mp4"), 16, 8, 10, 1, false);
    try {
      renderer.run(browser);
      FAIL() << "a picture that cannot be decoded must fail the run";
    } catch (const PlateError& error) {
      EXPECT_EQ(error.description(), "frame 3 could not be drawn");
    }
    // Frames 4 and 5 may already be queued and frame 6 taken when the failure surfaces.
    EXPECT_LE(page->captures, 7) << "the run stops soon after the bad frame";
  }
  {
    FakePage fake;
    FakePage* page = &fake;
    page->png = framePng(dir);
    page->failCaptureAt = 2;
    FakeBrowser browser(*page);
    PlateRenderer renderer(dir.file("p.html"), dir.file("crash.mp4"), 16, 8, 10, 1, false);
    try {
      renderer.run(browser);
      FAIL() << "a failed capture must fail the run";
    } catch (const PlateError&) {
      FAIL() << "the browser's own error passes through";
    } catch (const BrowserError& error) {
      EXPECT_STREQ(error.what(), "the page crashed");
    }
    EXPECT_EQ(page->scripts.size(), 1u + 3u) << "no seek after the failed frame";
  }
  {
    FakePage fake;
    FakePage* page = &fake;
    page->png = framePng(dir);
    page->seekTimesOutAt = 6;  // the seek of frame 5, at t = 0.5
    FakeBrowser browser(*page);
    PlateRenderer renderer(dir.file("p.html"), dir.file("late.mp4"), 16, 8, 10, 1, false);
    try {
      renderer.run(browser);
      FAIL() << "a seek that never settles must fail the run";
    } catch (const PlateError& error) {
      EXPECT_EQ(error.description(), "window.plate.seek(0.5) did not settle within 60 seconds");
    }
  }
  {
    FakePage fake;
    FakePage* page = &fake;
    page->png = framePng(dir);
    FakeBrowser browser(*page);
    PlateRenderer renderer(dir.file("p.html"), dir.file("missing/folder/x.mp4"), 16, 8, 10, 1, false);
    try {
      renderer.run(browser);
      FAIL() << "an unwritable movie must fail the run";
    } catch (const PlateError& error) {
      EXPECT_EQ(error.description(), "cannot write " + dir.file("missing/folder/x.mp4") + ": No such file or directory");
    }
    EXPECT_EQ(page->captures, 0) << "the movie is started before any frame";
  }
}

TEST(PlateFrames, CountsAndTimes) {
  EXPECT_EQ(plateFrameCount(0.2, 1), 1);
  EXPECT_EQ(plateFrameCount(2.5, 1), 3);
  EXPECT_EQ(plateFrameCount(0.25, 2), 1);  // 0.5 rounds away from zero
  EXPECT_EQ(plateFrameCount(4, 30), 120);
  EXPECT_EQ(plateFrameCount(30, 60), 1800);
  EXPECT_EQ(plateFrameCount(0.2, 29), 6);
  EXPECT_EQ(plateFrameTime(0, 30), 0.0);
  EXPECT_EQ(plateFrameTime(119, 30), 119.0 / 30.0);
  EXPECT_EQ(encodeReport({2, 16, 8, 30, "/a b/c.mp4"}), R"({"frames":2,"width":16,"height":8,"fps":30,"out":"\/a b\/c.mp4"})");
}

}  // namespace
}  // namespace kov
