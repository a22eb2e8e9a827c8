// The two ways a run ends: one failure line on standard error with status 1, or one JSON report on
// standard output with status 0.
#pragma once

#include <functional>
#include <string_view>

namespace kov {

// Writes `message` (which carries its own line feed) to standard error in one write and ends the
// process with status 1. Cleanups registered with `onProcessExit` run first.
[[noreturn]] void fail(std::string_view message);

// Writes the encoded report to standard output in one write. An empty text (a report that could
// not be encoded) writes nothing.
void writeReport(std::string_view json);

// Writes the report and ends the process with status 0, running the registered cleanups first.
[[noreturn]] void finishWithReport(std::string_view json);

// Ends the process with `status` after running the registered cleanups.
[[noreturn]] void exitProcess(int status);

// Registers work that must happen before the process ends through any of the functions above
// (for example stopping a child process). Cleanups run once, newest first.
void onProcessExit(std::function<void()> cleanup);

// Writes all of `bytes` to a file descriptor, retrying on short writes and interruptions.
bool writeAll(int fd, std::string_view bytes);

}  // namespace kov
