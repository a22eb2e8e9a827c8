#include "capture/capture_commands.h"

#include <memory>
#include <string_view>

#include "capture/capture_settings.h"
#include "capture/page_snapper.h"
#include "capture/output_paths.h"
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

// Runs the capture operation on a browser of its own and ends the process with its report or its
// failure line.
template <typename Operation>
[[noreturn]] void runCapture(std::string_view failurePrefix, Operation operation) {
  finishWithReportOrFailure(failurePrefix, [&] {
    std::unique_ptr<Browser> browser = launchBrowser();
    PageSnapper snapper(*browser);
    return encodeReport(operation(snapper));
  });
}

}  // namespace

void snapPage(const Args& args) {
  std::string out = checkAddressAndOut(args, kSnapUsage, kSnapNeedsOut);
  // A path that can never take the picture fails before the browser starts.
  if (std::string refusal = outputRefusal(out); !refusal.empty()) fail("snap failed: " + refusal + "\n");
  SnapSettings settings = readSnapSettings(args);
  const std::string& url = args[0];
  runCapture("snap failed: ", [&](PageSnapper& snapper) {
    return snapper.snap(url, out, settings.width, settings.height);
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
