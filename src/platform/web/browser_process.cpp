#include "platform/web/browser_process.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "platform/process/process_exit.h"
#include "platform/web/browser.h"

extern char** environ;

namespace kov {
namespace {

// The guardian makes the temporary folder itself, so that no moment exists at which the folder is
// there and nobody is in charge of removing it. It prints the folder's path (or mktemp's complaint)
// on its standard output, then reads the lifeline: first the browser's process group, written by
// the browser's own process before it runs the browser, then end of file once this process and the
// browser's starting child are gone. Then it kills that group and removes the folder. $1 is the
// folder to make the temporary folder in. A killed process may still finish the file operation it
// was in, so the removal is retried a few times.
constexpr const char* kGuardianScript =
    "trap '' PIPE; umask 077; d=$(mktemp -d -- \"$1/kov-browser-XXXXXX\" 2>&1) || "
    "{ printf '%s\\n' \"$d\" | tail -n 1; exit 1; }; "
    "mkdir -- \"$d/tmp\"; printf '%s\\n' \"$d\"; read -r group <&3; read -r _ <&3; "
    "for i in 1 2 3 4 5 6 7 8 9 10; do [ -n \"$group\" ] && kill -KILL -\"$group\" 2>/dev/null; "
    "rm -rf -- \"$d\" 2>/dev/null; [ -e \"$d\" ] || break; sleep 0.1; done";

// What the signal handler needs to know about each live browser, in plain atomics so that the
// handler can read them at any moment.
struct SignalSlot {
  std::atomic<pid_t> browserPid{-1};
  std::atomic<pid_t> guardianPid{-1};
  std::atomic<int> lifelineFd{-1};
};

constexpr int kSlots = 8;
SignalSlot gSlots[kSlots];

void sleepMs(int ms) {
  timespec pause{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// Waits up to `ms` for a child to end; true when it has (or is not our child any more).
bool reapWithin(pid_t pid, int ms) {
  for (int waited = 0;; waited += 5) {
    pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return true;
    if (waited >= ms) return false;
    sleepMs(5);
  }
}

// Kills what is left of a process group and reaps its members: the browser itself, and its helpers,
// which become our children when the browser goes (see adoptOrphans). Async-signal-safe.
void reapGroup(pid_t group) {
  kill(-group, SIGKILL);
  for (int waited = 0; waited < 2000; waited += 5) {
    while (waitpid(-group, nullptr, WNOHANG) > 0) {
    }
    if (kill(-group, 0) != 0) return;
    sleepMs(5);
  }
}

// Orphaned helpers of the browser are handed to us instead of to the system's first process, which
// does not reap them everywhere (they would linger as zombies).
void adoptOrphans() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

// Runs inside the process's terminating-signal handler, so only async-signal-safe calls: kill,
// close, waitpid, nanosleep.
void endBrowsersAtSignal() {
  pid_t browsers[kSlots];
  for (int i = 0; i < kSlots; ++i) {
    browsers[i] = gSlots[i].browserPid.exchange(-1);
    if (browsers[i] > 0) kill(-browsers[i], SIGKILL);
  }
  for (auto& slot : gSlots) {
    int lifeline = slot.lifelineFd.exchange(-1);
    if (lifeline >= 0) close(lifeline);  // the guardian now removes the folder
  }
  for (auto& slot : gSlots) {
    pid_t guardian = slot.guardianPid.exchange(-1);
    if (guardian > 0) reapWithin(guardian, 3000);
  }
  for (pid_t browser : browsers)
    if (browser > 0) reapGroup(browser);
}

// A free slot, marked taken (browser 0) until the browser runs; -1 when all are taken.
int claimSlot() {
  for (int i = 0; i < kSlots; ++i) {
    pid_t expected = -1;
    if (gSlots[i].browserPid.compare_exchange_strong(expected, 0)) return i;
  }
  return -1;
}

bool isExecutable(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string findOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    std::string candidate = folder + "/" + name;
    if (isExecutable(candidate)) return candidate;
  }
  return "";
}

std::string temporaryRoot() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp && *tmp) return tmp;
  return "/tmp";
}

std::vector<std::string> browserArguments(const std::string& binary, const std::string& folder) {
  std::vector<std::string> args = {
      binary,
      "--remote-debugging-pipe",
      "--user-data-dir=" + folder + "/profile",
      "--headless",
      "--hide-scrollbars",
      "--force-color-profile=srgb",
      "--no-first-run",
      "--no-default-browser-check",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--disable-extensions",
      // Local pages may read any local file they name, as a page opened from disk expects.
      "--allow-file-access-from-files",
      "--disable-breakpad",
      "--mute-audio",
      // Lets HeadlessExperimental.beginFrame produce a frame (and its picture) on request.
      "--run-all-compositor-stages-before-draw",
      // Names under .invalid never resolve (RFC 6761), so they are answered without asking DNS: the
      // same "net::ERR_NAME_NOT_RESOLVED" on a machine without a network or a resolver.
      "--host-resolver-rules=MAP *.invalid ~NOTFOUND",
  };
  if (geteuid() == 0) args.push_back("--no-sandbox");  // the sandbox refuses to run as root
  args.push_back("about:blank");
  return args;
}

// argv/envp as C arrays, built before fork so the child only calls async-signal-safe functions.
struct ExecArgs {
  std::vector<std::string> storage;
  std::vector<char*> pointers;

  explicit ExecArgs(std::vector<std::string> items) : storage(std::move(items)) {
    for (auto& s : storage) pointers.push_back(s.data());
    pointers.push_back(nullptr);
  }
  char* const* get() { return pointers.data(); }
};

ExecArgs environmentWithTmpdir(const std::string& tmpdir) {
  std::vector<std::string> items;
  for (char** e = environ; e && *e; ++e)
    if (std::strncmp(*e, "TMPDIR=", 7) != 0) items.emplace_back(*e);
  items.push_back("TMPDIR=" + tmpdir);
  return ExecArgs(std::move(items));
}

// One line from a pipe (without its line feed), or what came before the writers went away.
std::string readLine(int fd) {
  std::string text;
  char c;
  for (;;) {
    ssize_t n = read(fd, &c, 1);
    if (n == 1 && c == '\n') return text;
    if (n == 1) text.push_back(c);
    else if (n == 0 || errno != EINTR) return text;
  }
}

void makePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) throw BrowserError(std::string("cannot make a pipe: ") + std::strerror(errno));
}

// Writes "<pid>\n" with async-signal-safe calls only.
void writePidLine(int fd, pid_t pid) {
  char text[24];
  int at = sizeof text;
  text[--at] = '\n';
  do {
    text[--at] = static_cast<char>('0' + pid % 10);
    pid /= 10;
  } while (pid > 0);
  (void)!write(fd, text + at, sizeof text - at);
}

// In a freshly forked child: starts a session of its own (so its process group is its pid), writes
// that pid to `announceFd` when there is one, moves `sources` onto descriptors 0.. in order (-1 means
// /dev/null) and closes everything else.
[[noreturn]] void execChild(const int* sources, int count, const char* program, char* const* argv,
                            char* const* envp, int announceFd = -1) {
  setsid();
  if (announceFd >= 0) writePidLine(announceFd, getpid());
  int high[8];
  for (int i = 0; i < count; ++i) {
    int source = sources[i] >= 0 ? sources[i] : open("/dev/null", O_RDWR | O_CLOEXEC);
    high[i] = fcntl(source, F_DUPFD_CLOEXEC, 16);
  }
  for (int i = 0; i < count; ++i) dup2(high[i], i);
  syscall(SYS_close_range, static_cast<unsigned>(count), ~0U, 0U);
  execve(program, argv, envp);
  _exit(127);
}

}  // namespace

std::string findBrowserBinary() {
  const std::string debianBinary = "/usr/lib/chromium/chromium-headless-shell";
  if (isExecutable(debianBinary)) return debianBinary;
  for (const char* name : {"chromium-headless-shell", "chromium", "google-chrome"}) {
    std::string found = findOnPath(name);
    if (!found.empty()) return found;
  }
  return "";
}

// The guardian comes first and makes the temporary folder; the browser's own process tells the
// guardian its process group before it runs the browser. So whenever a signal or a kill arrives, the
// folder and the browser are either not there yet or already in the guardian's care.
BrowserProcess::BrowserProcess(const std::string& binary) {
  adoptOrphans();
  // A browser that dies under us shows up as a write error (SIGPIPE is ignored from here on).
  onTerminatingSignal(endBrowsersAtSignal);
  slot_ = claimSlot();
  try {
    startGuardian();
    startBrowser(binary);
  } catch (...) {
    stop(0);
    throw;
  }
}

BrowserProcess::~BrowserProcess() { stop(0); }

void BrowserProcess::startBrowser(const std::string& binary) {
  int commands[2], replies[2];
  makePipe(commands);
  makePipe(replies);
  int log = open((folder_ + "/browser.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ExecArgs argv(browserArguments(binary, folder_));
  ExecArgs envp = environmentWithTmpdir(folder_ + "/tmp");

  pid_t pid = fork();
  if (pid == 0) {
    const int sources[5] = {-1, log, log, commands[0], replies[1]};
    execChild(sources, 5, argv.pointers[0], argv.get(), envp.get(), lifelineFd_);
  }
  int forkError = errno;
  close(commands[0]);
  close(replies[1]);
  if (log >= 0) close(log);
  commandFd_ = commands[1];
  replyFd_ = replies[0];
  if (pid < 0) throw BrowserError(std::string("cannot start the browser: ") + std::strerror(forkError));
  browserPid_ = pid;
  if (slot_ >= 0) gSlots[slot_].browserPid = pid;
}

void BrowserProcess::startGuardian() {
  int lifeline[2], answer[2];
  makePipe(lifeline);
  try {
    makePipe(answer);
  } catch (...) {
    close(lifeline[0]);
    close(lifeline[1]);
    throw;
  }
  ExecArgs argv({"/bin/sh", "-c", kGuardianScript, "kov-browser-guardian", temporaryRoot()});
  pid_t pid = fork();
  if (pid == 0) {
    const int sources[4] = {-1, answer[1], answer[1], lifeline[0]};
    execChild(sources, 4, "/bin/sh", argv.get(), environ);
  }
  int forkError = errno;
  close(lifeline[0]);
  close(answer[1]);
  lifelineFd_ = lifeline[1];
  if (pid > 0) {
    guardianPid_ = pid;
    if (slot_ >= 0) {
      gSlots[slot_].guardianPid = pid;
      gSlots[slot_].lifelineFd = lifelineFd_;
    }
  }
  std::string made = pid > 0 ? readLine(answer[0]) : "";
  close(answer[0]);
  if (pid < 0) throw BrowserError(std::string("cannot start the browser's guardian: ") + std::strerror(forkError));
  struct stat info {};
  if (made.empty() || stat(made.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    // mktemp's complaint ends with the system's reason ("...: No such file or directory"), on its
    // last line when the path holds a line break.
    size_t reason = made.rfind(": ");
    throw BrowserError("cannot make a temporary folder in " + temporaryRoot() + ": " +
                       (reason == std::string::npos ? "the browser's guardian did not start" : made.substr(reason + 2)));
  }
  // A folder path with a line break arrives cut short at it: what came is not the folder made and
  // may name some other folder, which would then be removed at the end.
  // The guardian still knows the whole path: closing its lifeline has it remove the folder.
  if (temporaryRoot().find('\n') != std::string::npos) {
    if (slot_ >= 0) gSlots[slot_].lifelineFd = -1;
    close(lifelineFd_);
    lifelineFd_ = -1;
    if (reapWithin(guardianPid_, 5000)) {
      if (slot_ >= 0) gSlots[slot_].guardianPid = -1;
      guardianPid_ = -1;
    }
    throw BrowserError("cannot make a temporary folder in " + temporaryRoot() + ": its path holds a line break");
  }
  folder_ = made;
}

void BrowserProcess::removeFolder() {
  if (folder_.empty()) return;
  // Helpers killed a moment ago may still complete a file operation: try again briefly.
  for (int attempt = 0; attempt < 20; ++attempt) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
    if (!std::filesystem::exists(folder_, ignored)) return;
    if (browserPid_ > 0) kill(-browserPid_, SIGKILL);
    sleepMs(25);
  }
}

std::string BrowserProcess::logTail() const {
  std::ifstream in(folder_ + "/browser.log");
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    // Warnings and the chatter about D-Bus and missing devices say nothing about why it failed.
    bool chatter = line.find(":WARNING:") != std::string::npos || line.find(":INFO:") != std::string::npos ||
                   line.find("dbus") != std::string::npos || line.find("Floss") != std::string::npos;
    if (line.empty() || chatter) continue;
    lines.push_back(line);
  }
  std::string tail;
  for (size_t i = lines.size() > 2 ? lines.size() - 2 : 0; i < lines.size(); ++i) {
    if (!tail.empty()) tail += " | ";
    tail += lines[i];
  }
  return tail;
}

void BrowserProcess::stop(int graceMs) {
  if (stopped_) return;
  stopped_ = true;
  if (replyFd_ >= 0) close(replyFd_);  // a browser that is closing must never wait on us to read
  replyFd_ = -1;
  if (browserPid_ > 0) {
    if (!reapWithin(browserPid_, graceMs)) kill(-browserPid_, SIGKILL);
    reapGroup(browserPid_);
  }
  if (commandFd_ >= 0) close(commandFd_);
  if (replyFd_ >= 0) close(replyFd_);
  commandFd_ = replyFd_ = -1;
  removeFolder();
  if (guardianPid_ > 0) {
    kill(guardianPid_, SIGKILL);
    reapWithin(guardianPid_, 5000);
  }
  if (slot_ >= 0) {
    gSlots[slot_].guardianPid = -1;
    gSlots[slot_].lifelineFd = -1;
    gSlots[slot_].browserPid = -1;
    slot_ = -1;
  }
  if (lifelineFd_ >= 0) close(lifelineFd_);
  lifelineFd_ = -1;
}

}  // namespace kov
