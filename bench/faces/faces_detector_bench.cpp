// Usage: faces_detector_bench VIDEO
// Decodes VIDEO at 640 px wide, samples it at 6 frames per second and performs each detector
// request the way `faces` schedules them (faces always, prints each second for large faces,
// saliency without a sizeable face, text every half second), one after another, timing each kind:
// wall time and the CPU time of the thread making the requests (the steadier figure on a busy
// machine; the requests run their models on the calling thread unless told otherwise).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>

#include "platform/media/video_reader.h"
#include "platform/vision/vision.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timing {
  double seconds = 0;
  double cpuSeconds = 0;
  int calls = 0;
};

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

template <typename Work>
auto timed(Timing& timing, Work work) {
  const auto begin = Clock::now();
  const double cpuBegin = threadCpuSeconds();
  auto result = work();
  timing.cpuSeconds += threadCpuSeconds() - cpuBegin;
  timing.seconds += std::chrono::duration<double>(Clock::now() - begin).count();
  ++timing.calls;
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: faces_detector_bench VIDEO\n");
    return 1;
  }
  std::string error;
  auto vision = kov::createVisionService(error);
  if (!vision) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  auto source = kov::openVideoSource(argv[1]);
  const kov::VideoInfo& info = source->info();
  if (!info.hasTrack || !info.duration) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  const double scale = std::min(640.0 / info.naturalWidth, 1.0);
  const int width = 2 * static_cast<int>(std::round(info.naturalWidth * scale * 0.5));
  const int height = 2 * static_cast<int>(std::round(info.naturalHeight * scale * 0.5));
  kov::RangeStart started = source->readRange({0, *info.duration, width, height, kov::PixelLayout::Nv12});
  if (auto* error = std::get_if<kov::RangeStartError>(&started)) {
    std::fprintf(stderr, "cannot decode %s: %s\n", argv[1], error->reason.c_str());
    return 1;
  }
  auto& reader = std::get<std::unique_ptr<kov::VideoReader>>(started);

  std::map<std::string, Timing> timings;
  double nextSample = 0, nextPrint = 0, nextText = 0;
  while (const kov::DecodedFrame* frame = reader->nextFrame()) {
    const double t = frame->time;
    if (nextSample > t + 0.0005) continue;
    nextSample = t + 1.0 / 6;
    auto requests = timed(timings["colour conversion"], [&] { return vision->forFrame(*frame); });
    const auto faces = timed(timings["face landmarks"], [&] { return requests->faceLandmarks(); });
    bool sizeable = false;
    const bool printFrame = nextPrint <= t + 0.0005;
    if (printFrame) nextPrint = t + 1;
    for (const kov::FaceObservation& face : faces) {
      sizeable = sizeable || (face.box.h >= 0.045 && face.confidence >= 0.3f);
      if (!printFrame || face.box.h < 0.06 || face.confidence < 0.5f) continue;
      const kov::NormBox& b = face.box;
      const kov::NormBox region{std::max(0.0, b.x - 0.5 * b.w), std::max(0.0, b.y - 0.3 * b.h),
                                std::min(1.0, b.x + 1.5 * b.w) - std::max(0.0, b.x - 0.5 * b.w),
                                std::min(1.0, b.y + 1.9 * b.h) - std::max(0.0, b.y - 0.3 * b.h)};
      timed(timings["feature print"], [&] { return requests->featurePrint(region); });
    }
    if (!sizeable) timed(timings["saliency"], [&] { return requests->salientObjects(); });
    if (nextText <= t + 0.0005) {
      nextText = t + 0.5;
      timed(timings["text"], [&] { return requests->recognizeText(0.012f); });
    }
  }

  double total = 0;
  for (const auto& [name, timing] : timings) total += timing.seconds;
  std::printf("%-20s %7s %10s %9s %7s %12s\n", "request", "calls", "ms/call", "seconds", "share", "CPU ms/call");
  for (const auto& [name, timing] : timings) {
    std::printf("%-20s %7d %10.1f %9.2f %6.1f%% %12.1f\n", name.c_str(), timing.calls,
                timing.calls ? 1000 * timing.seconds / timing.calls : 0.0, timing.seconds,
                total > 0 ? 100 * timing.seconds / total : 0.0,
                timing.calls ? 1000 * timing.cpuSeconds / timing.calls : 0.0);
  }
  std::printf("%-20s %7s %10s %9.2f\n", "all requests", "", "", total);
  return 0;
}
