// How the process ends, whichever way it ends: cleanups on a normal exit, async-signal-safe
// cleanups on SIGINT, SIGTERM and SIGHUP, and files that must never outlive an unfinished run.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kov {

// Ends the process with `status` after running the cleanups registered with `onProcessExit`
// (newest first, once each) and removing the temporary files still marked.
[[noreturn]] void exitProcess(int status);

// Registers work that must happen before the process ends through `exitProcess` (for example
// stopping a child process gracefully).
void onProcessExit(std::function<void()> cleanup);

// Work to do when a terminating signal arrives; it runs inside the signal handler, so it may only
// make async-signal-safe calls. Cleanups run oldest first, before the marked temporary files are
// removed; then the signal takes its default course. Registering installs the handler.
using SignalCleanup = void (*)();
void onTerminatingSignal(SignalCleanup cleanup);

// Installs the one handler of SIGINT, SIGTERM and SIGHUP (idempotent) and ignores SIGPIPE, so a
// reader that went away shows up as a failed write (EPIPE) instead of killing the process silently.
void installTerminationHandling();

// Ends the process at once from any thread: the signal-time cleanups run, the marked temporary
// files are removed, and nothing else (no destructors, no exit cleanups).
[[noreturn]] void abandonProcess(int status);

// Marks a file as temporary: it is removed if the process ends, or is ended by a signal, while the
// mark stands. Returns the mark, or -1 when the path cannot be kept (too long, too many marks).
int markTemporaryFile(const std::string& path);
void unmarkTemporaryFile(int mark);

// Writes all of `bytes` to a file descriptor, retrying on short writes and interruptions.
bool writeAll(int fd, std::string_view bytes);

}  // namespace kov
