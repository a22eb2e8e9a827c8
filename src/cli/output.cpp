#include "cli/output.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace kov {
namespace {

std::vector<std::function<void()>>& cleanups() {
  static std::vector<std::function<void()>> list;
  return list;
}

void runCleanups() {
  auto& list = cleanups();
  while (!list.empty()) {
    auto cleanup = std::move(list.back());
    list.pop_back();
    cleanup();
  }
}

}  // namespace

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void onProcessExit(std::function<void()> cleanup) { cleanups().push_back(std::move(cleanup)); }

[[noreturn]] void exitProcess(int status) {
  runCleanups();
  std::exit(status);
}

[[noreturn]] void fail(std::string_view message) {
  writeAll(STDERR_FILENO, message);
  exitProcess(1);
}

void writeReport(std::string_view json) { writeAll(STDOUT_FILENO, json); }

[[noreturn]] void finishWithReport(std::string_view json) {
  writeReport(json);
  exitProcess(0);
}

}  // namespace kov
