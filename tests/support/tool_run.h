// Running the built tool (or any program) as a child process and capturing what it writes.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace kov::test {

struct RunResult {
  int status = -1;       // exit status, or 128 + signal number
  std::string out;       // everything written to standard output
  std::string err;       // everything written to standard error
};

// Runs the kov-vision binary with `args`, in `cwd` when given.
RunResult runTool(const std::vector<std::string>& args, const std::string& cwd = "");

// Runs any program with `argv` (argv[0] looked up on PATH).
RunResult runProgram(const std::vector<std::string>& argv, const std::string& cwd = "");

// Runs any program with its standard output on `stdoutFd` (a descriptor of the caller's, such as
// /dev/full or the write end of a pipe whose reader is gone); `out` stays empty.
RunResult runProgramWithStdout(const std::vector<std::string>& argv, int stdoutFd);

// Starts any program in the background, standard output and error to /dev/null; returns its pid.
pid_t startProgram(const std::vector<std::string>& argv, const std::string& cwd = "");

// Waits for a started program; the exit status, or 128 + signal number.
int waitForProgram(pid_t pid);

// Runs a shell command line; returns its exit status.
int shell(const std::string& command);

std::string toolPath();
std::string sourceRoot();

}  // namespace kov::test
