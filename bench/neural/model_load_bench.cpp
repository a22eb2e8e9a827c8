// Usage: model_load_bench [RUNS]
// How long the built-in models of `matte --image` take to become runnable the way a run of the
// command meets them: once, in a fresh process (fresh memory, cold allocator). Each of RUNS runs
// (default 9) is a child process that reads one model and plans one runner for it; prints the median
// wall milliseconds of reading the model file and of planning the runner, and the CPU milliseconds of both.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/neural/graph_runner.h"
#include "platform/neural/tflite_model.h"
#include "platform/segment/embedded_models.h"

extern "C" {
extern const std::uint8_t kov_person_detection_begin[], kov_person_detection_end[];
}

namespace {

using Clock = std::chrono::steady_clock;

struct Subject {
  const char* name;
  std::span<const std::uint8_t> bytes;
};

double cpuMs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

double msSince(Clock::time_point begin) { return std::chrono::duration<double, std::milli>(Clock::now() - begin).count(); }

struct Figures {
  double readMs = 0, planMs = 0, cpu = 0;
};

// In the child: one read and one plan, as a run of the command does them.
Figures loadOnce(const Subject& subject) {
  Figures figures;
  const double cpuBegin = cpuMs();
  auto begin = Clock::now();
  kov::Model model = kov::readModel(subject.bytes, subject.name);
  kov::reduceBatchToOne(model);
  figures.readMs = msSince(begin);
  begin = Clock::now();
  kov::GraphRunner runner(model, std::make_shared<kov::WorkerPool>(1));
  figures.planMs = msSince(begin);
  figures.cpu = cpuMs() - cpuBegin;
  return figures;
}

bool loadInChild(const Subject& subject, Figures& figures) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    close(fds[0]);
    const Figures measured = loadOnce(subject);
    const bool written = write(fds[1], &measured, sizeof measured) == static_cast<ssize_t>(sizeof measured);
    _exit(written ? 0 : 1);
  }
  close(fds[1]);
  const bool read = ::read(fds[0], &figures, sizeof figures) == static_cast<ssize_t>(sizeof figures);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return read && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  double load[3] = {-1, -1, -1};
  getloadavg(load, 3);
  std::printf("model loading in a fresh process, median of %d (load average %.2f %.2f %.2f)\n", runs, load[0],
              load[1], load[2]);
  std::printf("%-36s %9s %9s %9s\n", "model", "read ms", "plan ms", "cpu ms");
  const std::vector<Subject> subjects = {
      {"pose detector 224x224", {kov_person_detection_begin, kov_person_detection_end}},
      {"person segmenter square 256x256", kov::squareSegmentationModel()},
      {"person segmenter landscape 144x256", kov::landscapeSegmentationModel()},
  };
  for (const Subject& subject : subjects) {
    std::vector<double> reads, plans, cpus;
    for (int r = 0; r < runs; ++r) {
      Figures figures;
      if (!loadInChild(subject, figures)) {
        std::fprintf(stderr, "%s: the loading process failed\n", subject.name);
        return 1;
      }
      reads.push_back(figures.readMs);
      plans.push_back(figures.planMs);
      cpus.push_back(figures.cpu);
    }
    std::printf("%-36s %9.1f %9.1f %9.1f\n", subject.name, median(reads), median(plans), median(cpus));
  }
  return 0;
}
