// Running the built tool (or any program) as a child process and capturing what it writes.
#pragma once

#include <string>
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

// Runs a shell command line; returns its exit status.
int shell(const std::string& command);

std::string toolPath();
std::string sourceRoot();

}  // namespace kov::test
