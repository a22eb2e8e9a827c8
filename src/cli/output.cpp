#include "cli/output.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

namespace kov {

[[noreturn]] void fail(std::string_view message) {
  if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
  writeAll(STDERR_FILENO, visibleText(message) + "\n");
  exitProcess(1);
}

void writeReport(std::string_view json) {
  if (json.empty()) fail(kReportNotEncodable);
  if (!writeAll(STDOUT_FILENO, json)) fail(std::string(kReportNotWritten) + std::strerror(errno) + "\n");
}

[[noreturn]] void finishWithReport(std::string_view json) {
  writeReport(json);
  exitProcess(0);
}

}  // namespace kov
