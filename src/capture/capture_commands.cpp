#include "capture/capture_commands.h"

#include <exception>

#include "capture/capture_settings.h"
#include "capture/page_snapper.h"
#include "capture/picture_files.h"
#include "capture/web_address.h"
#include "cli/output.h"
#include "platform/web/browser.h"

namespace kov {
namespace {

constexpr const char* kSnapUsage =
    "usage: kov-vision snap <https://\u2026> --out <file.png> [--width 1280] [--height 1500]\n";
constexpr const char* kSnapNeedsOut = "snap needs --out <file>\n";
constexpr const char* kScrollUsage =
    "usage: kov-vision scroll <https://\u2026> --out <folder> [--width 1080] [--height 960] [--seconds 4] "
    "[--fps 15] [--distance 1.5]\n";
constexpr const char* kScrollNeedsOut = "scroll needs --out <folder>\n";

// The address check and the `--out` lookup, in that order; returns the absolute output path.
std::string checkAddressAndOut(const Args& args, const char* usage, const char* needsOut) {
  if (args.empty() || !isWebAddress(args[0])) fail(usage);
  std::optional<std::string> out = textOption("--out", args);
  if (!out) fail(needsOut);
  return absolutePath(*out);
}

// A folder path without trailing slashes, so frame names join cleanly and the report shows the
// folder itself.
std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Runs the capture operation and ends the process with its report or its failure line. The
// browser is shut down before the process ends either way.
template <typename Operation>
[[noreturn]] void runCapture(const std::string& failurePrefix, Operation operation) {
  std::string json;
  try {
    auto browser = launchBrowser();
    PageSnapper snapper(*browser);
    json = toJson(operation(snapper));
  } catch (const std::exception& error) {
    // `fail` keeps the line one line, whatever the engine's or the system's text holds.
    fail(failurePrefix + error.what() + "\n");
  }
  finishWithReport(json);
}

}  // namespace

void snapPage(const Args& args) {
  std::string out = checkAddressAndOut(args, kSnapUsage, kSnapNeedsOut);
  // A path that can never take the picture fails before the browser starts.
  if (std::string refusal = outputRefusal(out); !refusal.empty()) fail("snap failed: " + refusal + "\n");
  SnapSettings settings = readSnapSettings(args);
  const std::string& url = args[0];
  runCapture("snap failed: ", [&](PageSnapper& snapper) {
    return snapper.snap(url, out, settings.width, settings.tallest);
  });
}

void scrollPage(const Args& args) {
  std::string out = withoutTrailingSlashes(checkAddressAndOut(args, kScrollUsage, kScrollNeedsOut));
  ScrollSettings s = readScrollSettings(args);
  const std::string& url = args[0];
  runCapture("scroll failed: ", [&](PageSnapper& snapper) {
    return snapper.scroll(url, out, s.width, s.height, s.seconds, s.fps, s.distance);
  });
}

}  // namespace kov
