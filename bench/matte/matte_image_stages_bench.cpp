// Usage: matte_image_stages_bench PICTURE [RUNS]
// The stages of `matte --image` timed one by one in this process: loading the models, reading the
// picture, the person detector, the segmenter around the people found, the refinement at full size
// (the picture's part, which the command does on another thread while the detector runs, the edge
// band labelled by colour at the reduced size, and the mask's part), the edge corrected by colour,
// and the cut-out encoded as PNG; then the whole mask as the command makes it, with the stages that
// overlap overlapping. Prints the median wall milliseconds, CPU milliseconds (all threads
// of the process) and CPU milliseconds of the calling thread alone (what other threads do not take
// over) of each stage over RUNS runs (default 7); the model loading is timed once, as a run of the
// command does it once.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "matte/matte_masks.h"
#include "platform/image/picture.h"
#include "platform/segment/framed_segmentation.h"
#include "platform/segment/person_segmenter.h"
#include "platform/vision/person_detector.h"

namespace {

struct Cost {
  double wallMs = 0, cpuMs = 0, callerMs = 0;
};

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

Cost timed(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  const double cpu = processCpuSeconds(), caller = threadCpuSeconds();
  work();
  return {1e3 * std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
          1e3 * (processCpuSeconds() - cpu), 1e3 * (threadCpuSeconds() - caller)};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Stage {
  const char* name;
  std::vector<double> wall, cpu, caller;
  void add(Cost c) {
    wall.push_back(c.wallMs);
    cpu.push_back(c.cpuMs);
    caller.push_back(c.callerMs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: matte_image_stages_bench PICTURE [RUNS]\n");
    return 2;
  }
  const std::string path = argv[1];
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;

  std::string error;
  std::unique_ptr<kov::PersonSegmenter> segmenter;
  std::unique_ptr<kov::PersonDetector> detector;
  const Cost loadSegmenter = timed([&] { segmenter = kov::createPersonSegmenter(error); });
  const Cost loadDetector = timed([&] { detector = kov::createPersonDetector(error); });
  if (!segmenter || !detector) {
    std::fprintf(stderr, "%s", error.c_str());
    return 1;
  }

  Stage read{"read picture (decode)", {}, {}, {}}, detect{"person detector", {}, {}, {}},
      segment{"segmenter around the people (2 runs)", {}, {}, {}}, preparing{"refinement, the picture's part", {}, {}, {}},
      label{"edge band labelled by colour", {}, {}, {}},
      refine{"refinement, the mask's part", {}, {}, {}}, correct{"edge corrected by colour", {}, {}, {}},
      encode{"cut-out and PNG encoding", {}, {}, {}}, total{"all stages but model loading", {}, {}, {}},
      whole{"the mask as the command makes it", {}, {}, {}};
  std::size_t pngBytes = 0;
  int width = 0, height = 0;
  kov::MaskRefiner refiner(kov::pictureRefinement());
  for (int run = 0; run < runs; ++run) {
    std::optional<kov::BgraImage> picture;
    std::vector<cv::Rect2d> people;
    std::optional<kov::GreyImage> framed, labelled, mask;
    std::string png;
    const Cost all = timed([&] {
      read.add(timed([&] { picture = kov::readPicture(path); }));
      if (!picture) return;
      detect.add(timed([&] { people = kov::personRegions(*detector, picture->view()); }));
      segment.add(timed([&] { framed = kov::segmentAroundPeople(*segmenter, picture->view(), people); }));
      preparing.add(timed([&] { refiner.preparePicture(picture->view()); }));
      label.add(timed([&] { labelled = kov::labelPictureEdgeByColour(*framed, refiner.reducedPicture()); }));
      refine.add(timed([&] { mask = refiner.refine(labelled->view(), picture->view()); }));
      correct.add(timed([&] { kov::correctPictureEdgeByColour(*mask, picture->view(), refiner.reducedPicture()); }));
      encode.add(timed([&] { png = kov::encodeCutOutPng(picture->view(), mask->view()); }));
    });
    if (!picture) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    total.add(all);
    whole.add(timed([&] { mask = kov::pictureMask(*segmenter, refiner, picture->view(), detector.get()); }));
    pngBytes = png.size();
    width = picture->width;
    height = picture->height;
  }

  std::printf("matte --image stages, %dx%d picture, median of %d runs\n", width, height, runs);
  std::printf("%-40s %9s %9s %14s\n", "stage", "wall ms", "cpu ms", "calling thread");
  std::printf("%-40s %9.1f %9.1f %14.1f\n", "load segmentation models", loadSegmenter.wallMs, loadSegmenter.cpuMs,
              loadSegmenter.callerMs);
  std::printf("%-40s %9.1f %9.1f %14.1f\n", "load person detection model", loadDetector.wallMs, loadDetector.cpuMs,
              loadDetector.callerMs);
  for (const Stage* s : {&read, &detect, &segment, &preparing, &label, &refine, &correct, &encode, &total, &whole})
    std::printf("%-40s %9.1f %9.1f %14.1f\n", s->name, median(s->wall), median(s->cpu), median(s->caller));
  std::printf("PNG size: %zu bytes\n", pngBytes);
  return 0;
}
