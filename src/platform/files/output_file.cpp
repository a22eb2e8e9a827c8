#include "platform/files/output_file.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/process/process_exit.h"

namespace kov {
namespace {

constexpr int kMaxLinkHops = 40;
constexpr std::size_t kLongestNameKept = 100;  // of the output's name inside the temporary file's

std::string systemError(int code) { return std::strerror(code); }

std::string folderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> linkContent(const std::string& path) {
  std::string content(4096, '\0');
  ssize_t n = ::readlink(path.c_str(), content.data(), content.size());
  if (n < 0 || static_cast<std::size_t>(n) >= content.size()) return std::nullopt;
  content.resize(static_cast<std::size_t>(n));
  return content;
}

// The permissions and owner the new file gets: those of the file it replaces, or the usual ones for
// a new file.
void takeOverAttributes(int fd, const std::string& target) {
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
      // Not ours to give away: the file stays ours, with the old permissions.
    }
    ::fchmod(fd, old.st_mode & 07777);
    return;
  }
  mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
}

std::optional<std::string> flushToDisk(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return systemError(errno);
  int status = ::fsync(fd);
  int code = errno;
  ::close(fd);
  if (status != 0 && code != EINVAL) return systemError(code);
  return std::nullopt;
}

}  // namespace

OutputTarget outputTarget(const std::string& path) {
  OutputTarget target;
  if (path.empty() || path.back() == '/') {
    target.error = kNotARegularFile;
    return target;
  }
  std::string current = path;
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0) {
      if (errno == ENOENT) {
        target.path = current;  // nothing there yet; a missing folder shows up when the file is made
      } else {
        target.error = systemError(errno);
      }
      return target;
    }
    if (S_ISREG(info.st_mode)) {
      target.path = current;
      return target;
    }
    if (!S_ISLNK(info.st_mode)) {
      target.error = kNotARegularFile;
      return target;
    }
    std::optional<std::string> next = linkContent(current);
    if (!next || next->empty()) {
      target.error = systemError(errno ? errno : EINVAL);
      return target;
    }
    current = next->front() == '/' ? *next : folderOf(current) + "/" + *next;
    if (current.back() == '/') {
      target.error = kNotARegularFile;
      return target;
    }
  }
  target.error = systemError(ELOOP);
  return target;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat first {}, second {};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

ReplacementFile::ReplacementFile(const std::string& path) : target_(outputTarget(path)) {
  if (!target_.error.empty()) {
    error_ = target_.error;
    return;
  }
  std::string name = nameOf(target_.path).substr(0, kLongestNameKept);
  std::string pattern = folderOf(target_.path) + "/." + name + ".partial-XXXXXX";
  // No terminating signal may come between making the file and marking it, or it would stay behind.
  sigset_t terminating, previous;
  sigemptyset(&terminating);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&terminating, signal);
  pthread_sigmask(SIG_BLOCK, &terminating, &previous);
  int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  int code = errno;
  if (fd >= 0) {
    temporary_ = pattern;
    mark_ = markTemporaryFile(temporary_);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (fd < 0) {
    error_ = systemError(code);
    return;
  }
  if (mark_ < 0) {
    ::close(fd);
    ::unlink(temporary_.c_str());
    temporary_.clear();
    error_ = systemError(ENAMETOOLONG);
    return;
  }
  takeOverAttributes(fd, target_.path);
  ::close(fd);
}

ReplacementFile::~ReplacementFile() { discard(); }

void ReplacementFile::discard() {
  if (temporary_.empty() || committed_) return;
  ::unlink(temporary_.c_str());
  unmarkTemporaryFile(mark_);
  mark_ = -1;
  temporary_.clear();
}

std::optional<std::string> ReplacementFile::write(std::string_view bytes) {
  if (!error_.empty()) return error_;
  int fd = ::open(temporary_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return systemError(errno);
  bool written = writeAll(fd, bytes);
  int code = errno;
  if (::close(fd) != 0 && written) return systemError(errno);
  if (!written) return systemError(code);
  return std::nullopt;
}

std::optional<std::string> ReplacementFile::commit() {
  if (!error_.empty()) return error_;
  if (committed_) return std::nullopt;
  std::optional<std::string> problem = flushToDisk(temporary_);
  if (!problem) {
    // Something may have been put at the path while the content was made.
    OutputTarget now = outputTarget(target_.path);
    if (!now.error.empty()) problem = now.error;
  }
  if (!problem && ::rename(temporary_.c_str(), target_.path.c_str()) != 0) problem = systemError(errno);
  if (problem) {
    discard();
    return problem;
  }
  committed_ = true;
  unmarkTemporaryFile(mark_);
  mark_ = -1;
  return std::nullopt;
}

std::optional<std::string> replaceFile(const std::string& path, std::string_view bytes) {
  ReplacementFile file(path);
  if (auto problem = file.write(bytes)) return problem;
  return file.commit();
}

}  // namespace kov
