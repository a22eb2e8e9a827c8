// The browser as a child process: finding the binary, starting it with the protocol pipe on
// descriptors 3 and 4, and making sure neither it nor its temporary folder outlives this process.
#pragma once

#include <string>
#include <sys/types.h>

namespace kov {

// The browser binary to run: the Debian package's real binary first (the /usr/bin names may be
// wrappers whose process is not the browser's), then the usual names on PATH. Empty when none.
std::string findBrowserBinary();

// One running browser. While it lives, SIGINT, SIGTERM and SIGHUP end the browser and remove the
// temporary folder before the signal takes its normal course; if this process dies without any
// chance to clean up, a small guardian process (its own session) notices the lifeline pipe closing
// and does the same. The guardian is started first and makes the temporary folder itself, so no
// signal or kill at any moment of the start leaves the folder or the browser behind.
class BrowserProcess {
 public:
  // Throws BrowserError when the temporary folder, the pipes or the processes cannot be made.
  explicit BrowserProcess(const std::string& binary);
  ~BrowserProcess();
  BrowserProcess(const BrowserProcess&) = delete;
  BrowserProcess& operator=(const BrowserProcess&) = delete;

  int commandFd() const { return commandFd_; }  // we write protocol messages here
  int replyFd() const { return replyFd_; }      // and read the browser's messages here

  // The last lines the browser wrote to its log, joined into one line (for failure messages).
  std::string logTail() const;

  // Waits up to `graceMs` for the browser to exit by itself, then kills and reaps what is
  // left of it and removes the temporary folder. Safe to call more than once.
  void stop(int graceMs);

 private:
  void startBrowser(const std::string& binary);
  void startGuardian();
  void removeFolder();

  std::string folder_;
  pid_t browserPid_ = -1;
  pid_t guardianPid_ = -1;
  int commandFd_ = -1;
  int replyFd_ = -1;
  int lifelineFd_ = -1;
  int slot_ = -1;  // where the signal handler finds this browser
  bool stopped_ = false;
};

}  // namespace kov
