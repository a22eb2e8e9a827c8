#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/json.h"
#include "cli/options.h"
#include "cli/output.h"
#include "numeric/rounding.h"
#include "support/fixtures.h"
#include "support/tool_run.h"

namespace kov {
namespace {

const std::string kFacesUsage = "usage: kov-vision faces <video> --start <s> --end <s> [--fps 6]\n";

TEST(OptionReader, AcceptsWholeStrtodNumbersOnly) {
  EXPECT_EQ(parseNumber("1e1"), 10);
  EXPECT_EQ(parseNumber("0x10"), 16);
  EXPECT_EQ(parseNumber("-2.5"), -2.5);
  EXPECT_EQ(parseNumber("+.5"), 0.5);
  EXPECT_TRUE(std::isinf(*parseNumber("-Infinity")));
  EXPECT_TRUE(std::isnan(*parseNumber("NaN")));
  for (const char* bad : {"", " 5", "\t5", "\n5", "5s", "5 ", "1,5", "abc", "--end", "0x"})
    EXPECT_FALSE(parseNumber(bad)) << '"' << bad << '"';
}

TEST(OptionReader, OnlyTheFirstOccurrenceCounts) {
  Args args{"faces", "v.mp4", "--fps", "12", "--fps", "3"};
  EXPECT_EQ(argument("--fps", args), 12);
  args = {"faces", "v.mp4", "--fps", "abc", "--fps", "3"};
  EXPECT_FALSE(argument("--fps", args));
  args = {"faces", "v.mp4", "--fps"};
  EXPECT_FALSE(argument("--fps", args));
  args = {"--start", "--end", "9"};
  EXPECT_FALSE(argument("--start", args));
  EXPECT_EQ(argument("--end", args), 9);
  EXPECT_TRUE(hasFlag("--alpha", {"a", "--alpha", "b"}));
  EXPECT_FALSE(hasFlag("--alpha", {"a", "--alpha=1"}));
  EXPECT_EQ(textOption("--out", {"x", "--out", "--alpha", "--out", "y"}), "--alpha");
  EXPECT_FALSE(textOption("--out", {"x", "--out"}));
}

TEST(OptionReader, ClampsCheckTheUpperBoundFirst) {
  double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(clampNanToLower(0.5, 1, 30), 1);
  EXPECT_EQ(clampNanToLower(120, 1, 30), 30);
  EXPECT_EQ(clampNanToLower(nan, 1, 30), 1);
  EXPECT_TRUE(std::isnan(clampUpperThenLower(nan, 1, 30)));
  EXPECT_EQ(clampNanToLower(INFINITY, 320, 3840), 3840);
}

TEST(Paths, RelativePathsAreMadeAbsolute) {
  EXPECT_EQ(absolutePath("/a/b.mov"), "/a/b.mov");
  std::string made = absolutePath("clips/a.mov");
  EXPECT_EQ(made.front(), '/');
  EXPECT_EQ(made.substr(made.size() - 12), "/clips/a.mov");
}

TEST(JsonWriter, WritesCompactShortestRoundTripNumbers) {
  JsonWriter json;
  json.beginObject()
      .key("i").integer(-3)
      .key("two").number(2.0)
      .key("widened").number(static_cast<double>(0.87f))
      .key("single").singleNumber(round3f(0.1234f))
      .key("fps").number(static_cast<double>(29.97f))
      .key("empty").beginArray().endArray()
      .key("list").beginArray().number(0.1).number(1e-7).endArray()
      .endObject();
  EXPECT_EQ(json.finish(),
            "{\"i\":-3,\"two\":2,\"widened\":0.8700000047683716,\"single\":0.123,"
            "\"fps\":29.969999313354492,\"empty\":[],\"list\":[0.1,1e-07]}");
}

TEST(JsonWriter, EscapesSlashesAndControlsAndPassesUtf8) {
  JsonWriter json;
  json.beginObject().key("s").string("A/B \"q\" \\ \n\t\x01 caf\xC3\xA9 \xF0\x9F\x98\x80 bad\xFF").endObject();
  EXPECT_EQ(json.finish(),
            "{\"s\":\"A\\/B \\\"q\\\" \\\\ \\n\\t\\u0001 caf\xC3\xA9 \xF0\x9F\x98\x80 bad\xEF\xBF\xBD\"}");
}

TEST(JsonWriter, NonFiniteNumbersSpoilTheWholeDocument) {
  JsonWriter json;
  json.beginObject().key("a").number(1).key("b").number(std::nan("")).endObject();
  EXPECT_EQ(json.finish(), "");
  JsonWriter single;
  single.beginArray().singleNumber(INFINITY).endArray();
  EXPECT_EQ(single.finish(), "");
}

TEST(Dispatch, UnknownOrIncompleteCommandsPrintTheFacesUsage) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {"faces"}, {"help"}, {"Faces", "a.mov"}, {"facess", "a.mov"}}) {
    auto run = test::runTool(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kFacesUsage);
    EXPECT_EQ(run.out, "");
  }
}

TEST(Dispatch, CommandWordsReachTheirCommandsEvenWithoutArguments) {
  EXPECT_EQ(test::runTool({"plate"}).err,
            "usage: kov-vision plate <page.html> --out <file> [--width 1080] [--height 960] [--fps 30] [--seconds 4] [--alpha]\n");
  EXPECT_EQ(test::runTool({"snap"}).err,
            "usage: kov-vision snap <https://\u2026> --out <file.png> [--width 1280] [--height 1500]\n");
  EXPECT_EQ(test::runTool({"scroll"}).err,
            "usage: kov-vision scroll <https://\u2026> --out <folder> [--width 1080] [--height 960] [--seconds 4] [--fps 15] [--distance 1.5]\n");
  EXPECT_EQ(test::runTool({"matte"}).err,
            "usage: kov-vision matte <video> --start <s> --end <s> --out <mask.mp4> [--width 1280]\n");
  // --image anywhere selects the picture form, whatever stands after it.
  auto picture = test::runTool({"matte", "a.mov", "--out", "m.mp4", "--image"});
  EXPECT_EQ(picture.status, 1);
  EXPECT_EQ(picture.err, "usage: kov-vision matte --image <in.png> --out <out.png>\n");
}

// Runs `body` in a forked child whose standard output and error are pipes; what it wrote and how it
// ended (status, or 128 + signal).
template <typename Body>
test::RunResult inChild(Body body) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    body();
    _exit(0);
  }
  close(out[1]);
  close(err[1]);
  test::RunResult result;
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) result.out.append(buf, static_cast<size_t>(n));
  for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) result.err.append(buf, static_cast<size_t>(n));
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

TEST(Exits, AFailureIsOneLineWhateverItsTextHolds) {
  auto run = inChild([] { fail("cannot read /tmp/a\nb\r.png\n"); });
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "cannot read /tmp/a\\nb\\r.png\n");
  run = inChild([] { fail("no line feed"); });
  EXPECT_EQ(run.err, "no line feed\n");
}

TEST(Exits, AReportThatCannotBeEncodedOrWrittenFailsWithStatusOne) {
  auto run = inChild([] { finishWithReport(JsonWriter().beginObject().key("t").number(INFINITY).endObject().finish()); });
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, kReportNotEncodable);

  run = inChild([] { finishWithReport("{}"); });
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "{}");
  EXPECT_EQ(run.err, "");

  run = inChild([] {
    int full = open("/dev/full", O_WRONLY);
    dup2(full, 1);
    finishWithReport("{}");
  });
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, std::string(kReportNotWritten) + std::strerror(ENOSPC) + "\n");

  run = inChild([] {
    installTerminationHandling();
    int gone[2];
    if (pipe(gone) != 0) _exit(9);
    close(gone[0]);
    dup2(gone[1], 1);
    finishWithReport("{}");
  });
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, std::string(kReportNotWritten) + std::strerror(EPIPE) + "\n");
}

// The whole tool: a report that cannot be written (stdout full, stdout a pipe nobody reads) is a
// failure of one line, and a path with a line break stays on one line.
class ToolExits : public ::testing::Test {
 protected:
  void SetUp() override { test::ffmpeg("-f lavfi -i color=c=gray:s=64x48 -frames:v 1 " + dir_.file("grey.png")); }
  std::vector<std::string> matte() const { return {test::toolPath(), "matte", "--image", dir_.file("grey.png"), "--out", dir_.file("cut.png")}; }
  test::TempDir dir_;
};

TEST_F(ToolExits, AReportThatCannotBeWrittenEndsWithStatusOneAndOneLine) {
  int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  auto run = test::runProgramWithStdout(matte(), full);
  close(full);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, std::string(kReportNotWritten) + std::strerror(ENOSPC) + "\n");

  int gone[2];
  ASSERT_EQ(pipe2(gone, O_CLOEXEC), 0);
  close(gone[0]);
  run = test::runProgramWithStdout(matte(), gone[1]);
  close(gone[1]);
  EXPECT_EQ(run.status, 1) << "not killed by SIGPIPE";
  EXPECT_EQ(run.err, std::string(kReportNotWritten) + std::strerror(EPIPE) + "\n");

  run = test::runProgram(matte());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.front(), '{');
}

TEST_F(ToolExits, PathsWithLineBreaksAreShownOnOneLine) {
  std::string odd = dir_.file("two\nlines\r.png");
  auto run = test::runTool({"matte", "--image", odd, "--out", dir_.file("x.png")});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "cannot read " + dir_.path() + "/two\\nlines\\r.png\n");
  run = test::runTool({"matte", "--image", dir_.file("grey.png"), "--out", dir_.file("no\nfolder/x.png")});
  EXPECT_EQ(run.err, "cannot write " + dir_.path() + "/no\\nfolder/x.png\n");
  run = test::runTool({"faces", odd});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "no video track in " + dir_.path() + "/two\\nlines\\r.png\n");
  run = test::runTool({"plate", odd, "--out", dir_.file("x.mp4")});
  EXPECT_EQ(run.err, "no page at " + dir_.path() + "/two\\nlines\\r.png\n");
  // Texts that carry a path out of the platform layer are shown the same way.
  run = test::runProgram({"env", "TMPDIR=" + dir_.file("no\nsuch"), test::toolPath(), "plate", dir_.file("grey.png"),
                          "--out", dir_.file("x.mp4")});
  EXPECT_EQ(run.err, "plate failed: cannot make a temporary folder in " + dir_.path() + "/no\\nsuch: " +
                         std::strerror(ENOENT) + "\n");
}

}  // namespace
}  // namespace kov
