#include "capture/output_paths.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files/output_file.h"
#include "platform/process/visible_text.h"

namespace kov {
namespace {

std::string systemError(int code) { return std::strerror(code); }

// mkdir that treats an existing folder as success and keeps the real errno otherwise.
int makeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  int code = errno;
  struct stat st {};
  if (code == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  return code;
}

}  // namespace

std::string outputRefusal(const std::string& path) {
  OutputTarget target = outputTarget(path);
  if (target.error != kNotARegularFile) return {};
  return "cannot write " + visiblePath(path) + ": " + target.error;
}

std::optional<std::string> createFolders(const std::string& path) {
  // Walk the path from the root so each missing parent is made in turn.
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (int code = makeFolder(path.substr(0, slash)); code != 0 && code != EEXIST) return systemError(code);
  }
  if (int code = makeFolder(path); code != 0) return systemError(code);
  return std::nullopt;
}

}  // namespace kov
