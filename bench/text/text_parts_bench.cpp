// Usage: text_parts_bench VIDEO [SECONDS]
// Where the CPU time of text reading goes: decodes VIDEO at 640 px wide, takes a frame every half
// second (the default text schedule) for SECONDS (default: all of it) and times, one after another,
// loading the line detector and the line recogniser, starting Tesseract, the detector on each frame,
// and the recogniser on each line the detector finds (the first line of a width split into planning
// the width and reading). Times are the process's CPU time, pool threads included; nothing else runs.
#include <tesseract/baseapi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "platform/media/video_reader.h"
#include "platform/vision/frame_images.h"
#include "platform/vision/line_recognizer.h"
#include "platform/vision/text_detector.h"
#include "platform/vision/text_models.h"

namespace {

double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <typename Work>
double cpuMs(Work work) {
  const double begin = cpuSeconds();
  work();
  return (cpuSeconds() - begin) * 1000;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double sum(const std::vector<double>& values) {
  double total = 0;
  for (double v : values) total += v;
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: text_parts_bench VIDEO [SECONDS]\n");
    return 1;
  }
  auto source = kov::openVideoSource(argv[1]);
  const kov::VideoInfo& info = source->info();
  if (!info.hasTrack || !info.duration) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  const double end = argc == 3 ? std::min(std::atof(argv[2]), *info.duration) : *info.duration;
  const double scale = std::min(640.0 / info.naturalWidth, 1.0);
  const int width = 2 * static_cast<int>(std::round(info.naturalWidth * scale * 0.5));
  const int height = 2 * static_cast<int>(std::round(info.naturalHeight * scale * 0.5));
  kov::RangeStart started = source->readRange({0, end, width, height, kov::PixelLayout::Nv12});
  if (auto* error = std::get_if<kov::RangeStartError>(&started)) {
    std::fprintf(stderr, "cannot decode %s: %s\n", argv[1], error->reason.c_str());
    return 1;
  }
  auto& reader = std::get<std::unique_ptr<kov::VideoReader>>(started);

  std::unique_ptr<kov::TextLineFinder> finder;
  std::unique_ptr<kov::LineRecognizer> recognizer;
  const double finderLoad = cpuMs([&] {
    finder = std::make_unique<kov::TextLineFinder>(kov::textDetectionModel(), "text detection model", cv::Size(640, 360), 640);
  });
  const double recognizerLoad = cpuMs([&] {
    recognizer = std::make_unique<kov::LineRecognizer>(kov::textRecognitionModel(), "text line recognition model",
                                                       kov::alphabetFromText(kov::textAlphabet()));
  });
  tesseract::TessBaseAPI tesseract;
  int tesseractStatus = 0;
  const double tesseractStart = cpuMs([&] {
    tesseractStatus = tesseract.Init("/usr/share/tesseract-ocr/5/tessdata", "eng", tesseract::OEM_LSTM_ONLY);
  });

  std::vector<double> detection, reading, planning;
  std::set<int> planned = {kov::LineRecognizer::plannedWidth(128)};
  int frames = 0;
  double nextText = 0;
  while (const kov::DecodedFrame* frame = reader->nextFrame()) {
    if (nextText > frame->time + 0.0005) continue;
    nextText = frame->time + 0.5;
    ++frames;
    const kov::FrameImages images = kov::makeFrameImages(*frame);
    std::vector<kov::FoundLine> lines;
    detection.push_back(cpuMs([&] { lines = finder->find(images.bgr, 640); }));
    for (const kov::FoundLine& line : lines) {
      const cv::Rect2d box = line.box & cv::Rect2d(0, 0, images.bgr.cols, images.bgr.rows);
      if (box.height < 0.012 * images.bgr.rows || box.width < box.height) continue;
      const double margin = 0.15 * box.height;
      const cv::Rect crop = cv::Rect(cv::Point(static_cast<int>(box.x - margin), static_cast<int>(box.y - margin)),
                                     cv::Point(static_cast<int>(box.br().x + margin), static_cast<int>(box.br().y + margin))) &
                            cv::Rect(0, 0, images.bgr.cols, images.bgr.rows);
      const cv::Mat lineCrop = images.bgr(crop);
      const int width48 = kov::LineRecognizer::plannedWidth(static_cast<int>(std::lround(crop.width * 48.0 / crop.height)));
      const double first = cpuMs([&] { recognizer->read(lineCrop); });
      if (planned.insert(width48).second) {
        const double again = cpuMs([&] { recognizer->read(lineCrop); });
        planning.push_back(first - again);
        reading.push_back(again);
      } else {
        reading.push_back(first);
      }
    }
  }

  std::printf("%s: %d text frames, %zu lines read (load average %.2f; figures on a shared machine are noisy)\n", argv[1],
              frames, reading.size(), [] { double load[1] = {0}; return getloadavg(load, 1) == 1 ? load[0] : 0.0; }());
  std::printf("once a run:  detector load and plan %.0f ms, recogniser load and first plan %.0f ms, Tesseract start %.0f ms%s\n",
              finderLoad, recognizerLoad, tesseractStart, tesseractStatus == 0 ? "" : " (failed)");
  std::printf("per frame:   detection median %.1f ms\n", median(detection));
  std::printf("per line:    reading median %.1f ms, %.2f lines per frame\n", median(reading),
              frames ? static_cast<double>(reading.size()) / frames : 0.0);
  std::printf("per width:   %zu widths planned during the run, median %.1f ms each\n", planning.size(), median(planning));
  const double perFrame = frames ? (sum(detection) + sum(reading) + sum(planning)) / frames : 0.0;
  std::printf("text frame:  %.1f ms of CPU on average (detection, reading and planning; loads and Tesseract not included)\n",
              perFrame);
  return 0;
}
