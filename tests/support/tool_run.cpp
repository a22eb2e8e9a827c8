#include "support/tool_run.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kov::test {

std::string toolPath() { return KOV_BINARY; }
std::string sourceRoot() { return KOV_SOURCE_ROOT; }

namespace {

// In a forked child: standard input from /dev/null, output and error onto the given descriptors,
// then the program.
[[noreturn]] void execWith(const std::vector<std::string>& argv, int out, int err, const std::string& cwd) {
  int devnull = open("/dev/null", O_RDWR);
  dup2(devnull, 0);
  dup2(out >= 0 ? out : devnull, 1);
  dup2(err >= 0 ? err : devnull, 2);
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
  std::vector<char*> cargs;
  for (const auto& a : argv) cargs.push_back(const_cast<char*>(a.c_str()));
  cargs.push_back(nullptr);
  execvp(cargs[0], cargs.data());
  _exit(127);
}

// Collects standard output (when `outPipe` is given) and standard error until both close.
RunResult collect(pid_t pid, int outRead, int errRead);

}  // namespace

int waitForProgram(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

pid_t startProgram(const std::vector<std::string>& argv, const std::string& cwd) {
  pid_t pid = fork();
  if (pid == 0) execWith(argv, -1, -1, cwd);
  return pid;
}

RunResult runProgramWithStdout(const std::vector<std::string>& argv, int stdoutFd) {
  int errPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) execWith(argv, stdoutFd, errPipe[1], "");
  close(errPipe[1]);
  return collect(pid, -1, errPipe[0]);
}

RunResult runProgram(const std::vector<std::string>& argv, const std::string& cwd) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) execWith(argv, outPipe[1], errPipe[1], cwd);
  close(outPipe[1]);
  close(errPipe[1]);
  return collect(pid, outPipe[0], errPipe[0]);
}

namespace {

RunResult collect(pid_t pid, int outRead, int errRead) {
  RunResult result;
  pollfd fds[2] = {{outRead, POLLIN, 0}, {errRead, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = outRead >= 0 ? 2 : 1;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  result.status = waitForProgram(pid);
  return result;
}

}  // namespace

RunResult runTool(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv{toolPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv, cwd);
}

int shell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kov::test
