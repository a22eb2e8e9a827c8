// Usage: neural_bench [RUNS [MODEL [steps|all]]]   (MODEL: a part of a model's name, to time that
// model alone; "steps" then lists its costliest steps one by one instead, "all" every step in the
// order they run)
// Times every built-in model on the model runner, with XNNPACK's convolutions and with the runner's
// own kernels: milliseconds per run (median of RUNS, default 15, wall and CPU) on one thread and on a
// pool of two; two single-threaded runners at once on two threads; and where the CPU time of one
// single-threaded run goes by kind of operator.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/neural/graph_runner.h"
#include "platform/neural/onnx_model.h"
#include "platform/neural/tflite_model.h"
#include "platform/segment/embedded_models.h"
#include "platform/vision/face_models.h"
#include "platform/vision/line_recognizer.h"
#include "platform/vision/text_models.h"

extern "C" {
extern const std::uint8_t kov_person_detection_begin[], kov_person_detection_end[];
}

namespace {

using Clock = std::chrono::steady_clock;

struct Subject {
  std::string name;
  std::function<kov::Model()> read;
};

kov::Model tflite(std::span<const std::uint8_t> bytes, const std::string& name) {
  kov::Model model = kov::readModel(bytes, name);
  kov::reduceBatchToOne(model);
  return model;
}

// The recognition network as the line recogniser plans it for a crop `width` wide: its classifier
// cut down to the characters read.
kov::Model lineRecogniser(int width) {
  const kov::LineRecognizer recogniser(kov::textRecognitionModel(), "text recognition",
                                       kov::alphabetFromText(kov::textAlphabet()), std::make_shared<kov::WorkerPool>(1));
  return recogniser.modelFor(width);
}

std::vector<Subject> subjects() {
  return {
      {"face detection full range 192x192", [] { return tflite(kov::fullRangeFaceDetectionModel(), "full range"); }},
      {"face mesh 192x192", [] { return tflite(kov::faceLandmarkModel(), "face mesh"); }},
      {"identity (MobileFaceNet) 112x112", [] { return tflite(kov::faceIdentityModel(), "identity"); }},
      {"pose detector 224x224",
       [] { return tflite({kov_person_detection_begin, kov_person_detection_end}, "pose detector"); }},
      {"person segmenter square 256x256", [] { return tflite(kov::squareSegmentationModel(), "square"); }},
      {"person segmenter landscape 144x256", [] { return tflite(kov::landscapeSegmentationModel(), "landscape"); }},
      {"text detector 352x640", [] { return kov::readOnnxModel(kov::textDetectionModel(), "text", 352, 640); }},
      {"text line recogniser 48x320", [] { return lineRecogniser(320); }},
      {"text line recogniser 48x640", [] { return lineRecogniser(640); }},
  };
}

void fillInputs(kov::GraphRunner& runner) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  for (int i = 0; i < runner.inputCount(); ++i) {
    float* input = runner.input(i);
    for (std::size_t k = 0; k < runner.inputDims(i).size(); ++k) input[k] = value(rng);
  }
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double msSince(Clock::time_point begin) {
  return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

double cpuMs(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

struct Timing {
  double wallMs;  // median wall milliseconds of one run
  double cpuMs;   // median CPU milliseconds of one run: the calling thread's, or the whole process's
};

// Two warm-up runs, then `runs` timed ones.
Timing timeRuns(kov::GraphRunner& runner, int runs, clockid_t cpuClock) {
  fillInputs(runner);
  runner.run();
  runner.run();
  std::vector<double> wall, cpu;
  for (int r = 0; r < runs; ++r) {
    const auto begin = Clock::now();
    const double cpuBegin = cpuMs(cpuClock);
    runner.run();
    cpu.push_back(cpuMs(cpuClock) - cpuBegin);
    wall.push_back(msSince(begin));
  }
  return {median(wall), median(cpu)};
}

// Floating-point operations (a multiply-add counts two) of the model's convolutions by kind, named
// as GraphRunner::stepKinds names them.
std::map<std::string, double> convolutionFlops(const kov::Model& model) {
  std::map<std::string, double> flops;
  for (const kov::ModelOperator& op : model.operators) {
    if (op.kind != kov::OpKind::Conv && op.kind != kov::OpKind::DepthwiseConv) continue;
    if (op.inputs.size() < 2 || op.outputs.empty()) continue;
    const auto& w = model.tensors[static_cast<std::size_t>(op.inputs[1])].shape;
    const auto& out = model.tensors[static_cast<std::size_t>(op.outputs[0])].shape;
    if (w.size() != 4 || out.size() != 4) continue;
    const double outputs = static_cast<double>(out[1]) * out[2] * out[3];
    if (op.kind == kov::OpKind::DepthwiseConv)
      flops["depthwise"] += 2.0 * outputs * w[1] * w[2];
    else
      flops[w[1] == 1 && w[2] == 1 ? "conv 1x1" : "conv kxk"] += 2.0 * outputs * w[1] * w[2] * w[3];
  }
  return flops;
}

// The calling thread's CPU milliseconds per step kind, each the median over the runs, for one
// single-threaded runner.
std::map<std::string, double> breakdown(kov::GraphRunner& runner, int runs) {
  fillInputs(runner);
  std::vector<double> warm;
  runner.runTimed(warm);
  const std::vector<std::string> kinds = runner.stepKinds();
  std::map<std::string, std::vector<double>> perKind;
  for (int r = 0; r < runs; ++r) {
    std::vector<double> seconds;
    runner.runTimed(seconds);
    std::map<std::string, double> sum;
    for (std::size_t i = 0; i < seconds.size(); ++i) {
      sum[kinds[i]] += seconds[i] * 1000.0;
      if (kinds[i].starts_with("other: ")) sum["other"] += seconds[i] * 1000.0;
    }
    for (auto& [kind, ms] : sum) perKind[kind].push_back(ms);
  }
  std::map<std::string, double> result;
  for (auto& [kind, ms] : perKind) result[kind] = median(ms);
  return result;
}

// Wall and process CPU milliseconds per run when `runs` runs are shared out over two
// single-threaded runners on two threads, as a caller that runs independent model calls at once.
Timing twoRunnersAtOnce(const kov::Model& model, kov::ConvolutionKernels kernels, int runs) {
  std::vector<std::unique_ptr<kov::GraphRunner>> runners;
  for (int i = 0; i < 2; ++i) {
    runners.push_back(std::make_unique<kov::GraphRunner>(model, std::make_shared<kov::WorkerPool>(1), kernels));
    fillInputs(*runners.back());
    runners.back()->run();
  }
  const auto begin = Clock::now();
  const double cpuBegin = cpuMs(CLOCK_PROCESS_CPUTIME_ID);
  std::thread other([&] {
    for (int r = 0; r < runs / 2; ++r) runners[1]->run();
  });
  for (int r = 0; r < runs - runs / 2; ++r) runners[0]->run();
  other.join();
  return {msSince(begin) / runs, (cpuMs(CLOCK_PROCESS_CPUTIME_ID) - cpuBegin) / runs};
}

const char* label(kov::ConvolutionKernels kernels) {
  switch (kernels) {
    case kov::ConvolutionKernels::Own: return "own";
    case kov::ConvolutionKernels::Xnnpack: return "XNNPACK";
    case kov::ConvolutionKernels::Fastest: break;
  }
  return "mixed";
}

// The calling thread's CPU milliseconds of each step of one single-threaded default runner (median
// over the runs), the costliest first, with each step's shape and its share of the whole.
void printSteps(const kov::Model& model, int runs, bool all) {
  kov::GraphRunner runner(model, std::make_shared<kov::WorkerPool>(1));
  fillInputs(runner);
  std::vector<double> warm;
  runner.runTimed(warm);
  std::vector<std::vector<double>> perStep(warm.size());
  for (int r = 0; r < runs; ++r) {
    std::vector<double> seconds;
    runner.runTimed(seconds);
    for (std::size_t i = 0; i < seconds.size(); ++i) perStep[i].push_back(seconds[i] * 1000.0);
  }
  const std::vector<std::string> kinds = runner.stepKinds(), shapes = runner.stepShapes();
  std::vector<std::pair<double, std::size_t>> order;
  double total = 0;
  for (std::size_t i = 0; i < perStep.size(); ++i) {
    order.emplace_back(median(perStep[i]), i);
    total += order.back().first;
  }
  if (!all) std::sort(order.rbegin(), order.rend());
  std::printf("%zu steps, %.2f ms in all (one thread, CPU, median of %d)\n%6s %8s %6s   %s\n", order.size(), total, runs,
              "step", "ms", "share", "kind and shape");
  for (std::size_t k = 0; k < order.size() && (all || k < 40); ++k) {
    const auto [ms, i] = order[k];
    std::printf("%6zu %8.3f %5.1f%%   %s %s\n", i, ms, 100.0 * ms / total, kinds[i].c_str(), shapes[i].c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
  double load[3] = {-1, -1, -1};
  getloadavg(load, 3);
  std::printf("model runner, ms per run, median of %d (load average %.2f %.2f %.2f; the machine is shared, so\n"
              "figures are noisy)\n\n",
              runs, load[0], load[1], load[2]);
  const kov::ConvolutionKernels kinds[] = {kov::ConvolutionKernels::Own, kov::ConvolutionKernels::Xnnpack,
                                           kov::ConvolutionKernels::Fastest};
  std::printf("%-36s %-8s %15s %15s %15s   %s\n", "", "", "1 thread", "pool of 2", "2 runners x 1", "");
  std::printf("%-36s %-8s %7s %7s %7s %7s %7s %7s   %s\n", "model", "kernels", "wall", "CPU", "wall", "CPU", "wall",
              "CPU", "one-thread CPU ms by operator kind");
  for (const Subject& subject : subjects()) {
    if (argc > 2 && subject.name.find(argv[2]) == std::string::npos) continue;
    const kov::Model model = subject.read();
    if (argc > 3 && (std::string(argv[3]) == "steps" || std::string(argv[3]) == "all")) {
      std::printf("%s\n", subject.name.c_str());
      printSteps(model, runs, std::string(argv[3]) == "all");
      continue;
    }
    for (kov::ConvolutionKernels kernels : kinds) {
      kov::GraphRunner single(model, std::make_shared<kov::WorkerPool>(1), kernels);
      kov::GraphRunner pooled(model, std::make_shared<kov::WorkerPool>(2), kernels);
      const Timing one = timeRuns(single, runs, CLOCK_THREAD_CPUTIME_ID);
      const Timing two = timeRuns(pooled, runs, CLOCK_PROCESS_CPUTIME_ID);
      const Timing sideBySide = twoRunnersAtOnce(model, kernels, 2 * runs);
      std::string parts, others;
      const std::map<std::string, double> flops = convolutionFlops(model);
      for (const auto& [kind, ms] : breakdown(single, runs)) {
        char text[96];
        const bool detail = kind.starts_with("other: ");
        if (detail && ms < 0.1) continue;
        std::string& list = detail ? others : parts;
        const auto counted = flops.find(kind);
        if (counted != flops.end() && ms > 0)
          std::snprintf(text, sizeof text, "%s%s %.1f [%.0f GFLOP/s]", list.empty() ? "" : ", ", kind.c_str(), ms,
                        counted->second / ms * 1e-6);
        else
          std::snprintf(text, sizeof text, "%s%s %.1f", list.empty() ? "" : ", ", kind.c_str() + (detail ? 7 : 0), ms);
        list += text;
      }
      if (!others.empty()) parts += " (" + others + ")";
      std::printf("%-36s %-8s %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f   %s\n", subject.name.c_str(), label(kernels),
                  one.wallMs, one.cpuMs, two.wallMs, two.cpuMs, sideBySide.wallMs, sideBySide.cpuMs, parts.c_str());
      std::fflush(stdout);
    }
  }
  std::printf("\nms per run. 1 thread: median; CPU is the thread's. Pool of 2: one runner splitting each operator\n"
              "over two threads, median; CPU is the process's (spinning helpers included). 2 runners x 1: two\n"
              "single-threaded runners at once on two threads, wall and process CPU divided by the runs.\n");
  return 0;
}
