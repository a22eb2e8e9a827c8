// Entry point: picks the command from the first argument and hands over the rest.
#include <string>

#include "capture/capture_commands.h"
#include "cli/output.h"
#include "faces/faces_command.h"
#include "matte/matte_command.h"
#include "plate/plate_command.h"

namespace {

constexpr const char* kUsage = "usage: kov-vision faces <video> --start <s> --end <s> [--fps 6]\n";

kov::Args afterCommandWord(const kov::Args& args) { return kov::Args(args.begin() + 1, args.end()); }

}  // namespace

int main(int argc, char** argv) {
  kov::Args args(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (args.empty()) kov::fail(kUsage);

  const std::string& command = args[0];
  if (command == "plate") kov::renderPlate(afterCommandWord(args));
  if (command == "snap") kov::snapPage(afterCommandWord(args));
  if (command == "scroll") kov::scrollPage(afterCommandWord(args));
  if (command == "matte") {
    kov::Args rest = afterCommandWord(args);
    if (kov::hasFlag("--image", rest)) kov::matteImage(rest);
    kov::matteVideo(rest);
  }
  if (args.size() == 1 || command != "faces") kov::fail(kUsage);
  return kov::runFaces(args);
}
