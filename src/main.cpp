// Entry point: picks the command from the first argument and hands over the rest.
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <unistd.h>

#include "capture/capture_commands.h"
#include "cli/output.h"
#include "faces/faces_command.h"
#include "matte/matte_command.h"
#include "plate/plate_command.h"

namespace {

constexpr const char* kUsage = "usage: kov-vision faces <video> --start <s> --end <s> [--fps 6]\n";
constexpr const char* kOutOfMemory = "out of memory\n";

kov::Args afterCommandWord(const kov::Args& args) { return kov::Args(args.begin() + 1, args.end()); }

// The failure line for an exception nobody caught: memory running out is said plainly; anything
// else with its own text, without trailing line feeds.
std::string failureLineFor(std::exception_ptr caught) {
  try {
    if (caught) std::rethrow_exception(caught);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::exception& error) {
    // A thread that cannot be started for want of resources: under an address-space limit its stack
    // is what does not fit.
    const auto* system = dynamic_cast<const std::system_error*>(&error);
    if (system && system->code() == std::errc::resource_unavailable_try_again) return kOutOfMemory;
    std::string what = error.what();
    if (what.find("Insufficient memory") != std::string::npos || what.find("Failed to allocate") != std::string::npos)
      return kOutOfMemory;
    while (!what.empty() && (what.back() == '\n' || what.back() == ' ')) what.pop_back();
    return "failed: " + kov::visibleText(what) + "\n";
  } catch (...) {
  }
  return "failed: unknown error\n";
}

// An exception that escapes a worker thread ends the process here instead of aborting it: one
// failure line, status 1, browsers and temporary files cleaned up.
[[noreturn]] void onUncaughtException() {
  kov::writeAll(STDERR_FILENO, failureLineFor(std::current_exception()));
  kov::abandonProcess(1);
}

[[noreturn]] void dispatch(const kov::Args& args) {
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
  kov::exitProcess(kov::runFaces(args));
}

}  // namespace

int main(int argc, char** argv) {
  kov::installTerminationHandling();
  std::set_terminate(onUncaughtException);
  try {
    dispatch(kov::Args(argv + (argc > 0 ? 1 : 0), argv + argc));
  } catch (...) {
    kov::fail(failureLineFor(std::current_exception()));
  }
}
