#include "plate/plate_command.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <sys/stat.h>

#include "cli/output.h"
#include "plate/plate_renderer.h"
#include "platform/files/output_file.h"
#include "plate/plate_report.h"
#include "platform/web/browser.h"

namespace kov {
namespace {

constexpr const char* kUsage =
    "usage: kov-vision plate <page.html> --out <file> [--width 1080] [--height 960] [--fps 30] [--seconds 4] "
    "[--alpha]\n";
constexpr std::int64_t kLargestSide = 8192;

struct PlateSettings {
  std::string page;
  std::string output;
  std::int64_t width = 1080;
  std::int64_t height = 960;
  std::int64_t fps = 30;
  double seconds = 4;
  bool alpha = false;
};

bool exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

// Toward zero to an integer, then toward zero to an even one (1081 -> 1080, 999.9 -> 998).
// Absent when the value has no sensible integer (not a number, infinite, out of range).
std::optional<std::int64_t> evenSide(double value) {
  if (!std::isfinite(value) || std::fabs(value) > 9.0e18) return std::nullopt;
  auto side = static_cast<std::int64_t>(std::trunc(value));
  return side - side % 2;
}

// Reads and checks the command line; every problem ends the process with its message.
PlateSettings readSettings(const Args& args) {
  if (args.empty() || args[0].rfind("--", 0) == 0) fail(kUsage);
  std::optional<std::string> out = textOption("--out", args);
  if (!out) fail("plate needs --out <file>\n");
  PlateSettings settings;
  settings.page = absolutePath(args[0]);
  if (!exists(settings.page)) fail("no page at " + visiblePath(settings.page) + "\n");
  settings.output = absolutePath(*out);

  std::optional<std::int64_t> width = evenSide(argument("--width", args).value_or(1080));
  std::optional<std::int64_t> height = evenSide(argument("--height", args).value_or(960));
  if (!width || !height || *width < 2 || *height < 2 || *width > kLargestSide || *height > kLargestSide)
    fail("plate needs --width and --height between 2 and " + std::to_string(kLargestSide) + "\n");
  settings.width = *width;
  settings.height = *height;
  settings.fps = static_cast<std::int64_t>(std::trunc(clampNanToLower(argument("--fps", args).value_or(30), 1, 60)));
  settings.seconds = clampNanToLower(argument("--seconds", args).value_or(4), 0.2, 30);
  settings.alpha = hasFlag("--alpha", args);

  // The movie replaces a regular file or nothing, and never the page itself; both are checked
  // before the browser starts.
  if (sameFile(settings.output, settings.page)) fail("plate failed: --out names the page itself\n");
  if (std::string problem = outputTarget(settings.output).error; !problem.empty())
    fail("plate failed: cannot write " + visiblePath(settings.output) + ": " + problem + "\n");
  return settings;
}

}  // namespace

void renderPlate(const Args& args) {
  PlateSettings settings = readSettings(args);
  finishWithReportOrFailure("plate failed: ", [&] {
    std::unique_ptr<Browser> browser = launchBrowser();
    PlateRenderer renderer(settings.page, settings.output, settings.width, settings.height, settings.fps,
                           settings.seconds, settings.alpha);
    return encodeReport(renderer.run(*browser));
  });
}

}  // namespace kov
