#include "matte/output_file.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/output.h"

namespace kov {
namespace {

bool writeAndClose(int fd, std::string_view bytes) {
  bool written = writeAll(fd, bytes);
  return ::close(fd) == 0 && written;
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The permissions the new file gets: those of the file it replaces, or the usual ones for a new file.
mode_t modeFor(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) return info.st_mode & 07777;
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

bool isSymbolicLink(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

}  // namespace

bool replaceFile(const std::string& path, std::string_view bytes) {
  if (path.empty() || path.back() == '/' || isDirectory(path)) return false;
  std::string temporary = path + ".partial-XXXXXX";
  // A link is written through, so the file it points to gets the new content.
  int fd = isSymbolicLink(path) ? -1 : ::mkstemp(temporary.data());
  if (fd >= 0) {
    ::fchmod(fd, modeFor(path));
    if (writeAndClose(fd, bytes) && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
  }
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  return fd >= 0 && writeAndClose(fd, bytes);
}

}  // namespace kov
