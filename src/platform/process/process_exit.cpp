#include "platform/process/process_exit.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace kov {
namespace {

std::vector<std::function<void()>>& exitCleanups() {
  static std::vector<std::function<void()>> list;
  return list;
}

void runExitCleanups() {
  auto& list = exitCleanups();
  while (!list.empty()) {
    auto cleanup = std::move(list.back());
    list.pop_back();
    cleanup();
  }
}

// ---- State the signal handler reads: fixed arrays of atomics, never allocated or freed.

constexpr int kMaxSignalCleanups = 8;
std::atomic<SignalCleanup> gSignalCleanups[kMaxSignalCleanups];
std::atomic<int> gSignalCleanupCount{0};

// A temporary file's path is written into its slot while the slot is reserved, and only then
// published, so the handler never sees half a path.
enum SlotState : int { kFree, kReserved, kPublished };
constexpr int kMaxTemporaryFiles = 16;
constexpr std::size_t kMaxPathBytes = 4096;
struct TemporarySlot {
  std::atomic<int> state{kFree};
  char path[kMaxPathBytes];
};
TemporarySlot gTemporaries[kMaxTemporaryFiles];

std::atomic<bool> gHandlerInstalled{false};
// A child forked to run another program has the handler until it execs; there the cleanups are not
// its to run.
std::atomic<pid_t> gOwner{-1};
constexpr int kTerminatingSignals[3] = {SIGINT, SIGTERM, SIGHUP};

// Async-signal-safe: plain loads, the registered cleanups and unlink.
void runSignalTimeCleanups() {
  int count = gSignalCleanupCount.load();
  for (int i = 0; i < count && i < kMaxSignalCleanups; ++i)
    if (SignalCleanup cleanup = gSignalCleanups[i].load()) cleanup();
  for (auto& slot : gTemporaries) {
    int published = kPublished;
    if (slot.state.compare_exchange_strong(published, kReserved)) ::unlink(slot.path);
  }
}

void onSignal(int signal) {
  if (getpid() == gOwner.load()) runSignalTimeCleanups();
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  sigaction(signal, &defaults, nullptr);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  sigaddset(&unblocked, signal);
  pthread_sigmask(SIG_UNBLOCK, &unblocked, nullptr);
  raise(signal);
}

void removeMarkedTemporaries() {
  for (auto& slot : gTemporaries) {
    int published = kPublished;
    if (slot.state.compare_exchange_strong(published, kReserved)) {
      ::unlink(slot.path);
      slot.state = kFree;
    }
  }
}

}  // namespace

void installTerminationHandling() {
  if (gHandlerInstalled.exchange(true)) return;
  gOwner = getpid();
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigfillset(&action.sa_mask);  // one cleanup at a time, whatever else arrives meanwhile
  for (int signal : kTerminatingSignals) {
    struct sigaction previous {};
    sigaction(signal, nullptr, &previous);
    // A signal ignored by whoever started us (nohup) stays ignored.
    if (previous.sa_handler == SIG_IGN && signal == SIGHUP) continue;
    sigaction(signal, &action, nullptr);
  }
  std::signal(SIGPIPE, SIG_IGN);
}

void onTerminatingSignal(SignalCleanup cleanup) {
  installTerminationHandling();
  int index = gSignalCleanupCount.load();
  for (int i = 0; i < index; ++i)
    if (gSignalCleanups[i].load() == cleanup) return;
  if (index >= kMaxSignalCleanups) return;
  gSignalCleanups[index] = cleanup;
  gSignalCleanupCount = index + 1;
}

int markTemporaryFile(const std::string& path) {
  if (path.empty() || path.size() >= kMaxPathBytes) return -1;
  installTerminationHandling();
  for (int i = 0; i < kMaxTemporaryFiles; ++i) {
    int expected = kFree;
    if (!gTemporaries[i].state.compare_exchange_strong(expected, kReserved)) continue;
    std::memcpy(gTemporaries[i].path, path.c_str(), path.size() + 1);
    gTemporaries[i].state = kPublished;
    return i;
  }
  return -1;
}

void unmarkTemporaryFile(int mark) {
  if (mark < 0 || mark >= kMaxTemporaryFiles) return;
  int published = kPublished;
  // When the handler has taken the slot the process is ending anyway; the slot stays taken.
  if (gTemporaries[mark].state.compare_exchange_strong(published, kReserved)) gTemporaries[mark].state = kFree;
}

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

void onProcessExit(std::function<void()> cleanup) { exitCleanups().push_back(std::move(cleanup)); }

[[noreturn]] void exitProcess(int status) {
  runExitCleanups();
  removeMarkedTemporaries();
  std::exit(status);
}

[[noreturn]] void abandonProcess(int status) {
  runSignalTimeCleanups();
  ::_exit(status);
}

}  // namespace kov
