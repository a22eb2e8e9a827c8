// Usage: matte_movie_stages_bench VIDEO [FRAMES]
// The per-frame stages of the mask movie, each timed on its own in CPU milliseconds of the whole
// process (helper threads included), over the first FRAMES frames (default 60) of VIDEO at the
// movie's default size (1280 wide):
// - decoding alone (the video at its own size, luma and chroma as decoded) and decoding with the
//   scaling to the movie size in BGRA, as the command reads its frames;
// - the balanced sequence segmenter, the refinement at full size, the person check (which the command
//   makes every half second; its cost per frame is given for that rate);
// - the whole mask work of the command (segmenter, refinement, smoothing over time, person check);
// - the H.264 encoding of the masks as the command sets it up (quick analysis) and as before.
// The frames are held in memory first, so no stage runs beside another.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "matte/matte_masks.h"
#include "platform/media/video_reader.h"
#include "platform/media/video_writer.h"
#include "platform/segment/mask_refiner.h"
#include "platform/segment/person_segmenter.h"
#include "platform/vision/person_detector.h"

namespace {

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double cpuSeconds(const std::function<void()>& work) {
  const double start = processCpuSeconds();
  work();
  return processCpuSeconds() - start;
}

[[noreturn]] void quit(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::exit(1);
}

std::unique_ptr<kov::VideoReader> startRange(kov::VideoSource& source, int width, int height, kov::PixelLayout layout) {
  const kov::VideoInfo& info = source.info();
  kov::RangeStart started = source.readRange({0, *info.duration, width, height, layout});
  if (auto* error = std::get_if<kov::RangeStartError>(&started)) quit("cannot decode: " + error->reason);
  return std::move(std::get<std::unique_ptr<kov::VideoReader>>(started));
}

// CPU seconds to read `frames` frames at the given size and layout.
double readingCost(const std::string& path, int frames, int width, int height, kov::PixelLayout layout) {
  auto source = kov::openVideoSource(path);
  return cpuSeconds([&] {
    auto reader = startRange(*source, width, height, layout);
    for (int i = 0; i < frames && reader->nextFrame(); ++i) {
    }
  });
}

double encodingCost(const std::vector<kov::GreyImage>& masks, bool quick, const std::string& path) {
  kov::MovieSettings settings;
  settings.path = path;
  settings.width = masks.front().width;
  settings.height = masks.front().height;
  settings.bitRate = 12000000;
  settings.keyFrameInterval = 30;
  settings.timeBaseDen = 30;
  settings.quickEncoding = quick;
  return cpuSeconds([&] {
    kov::MovieWriterResult made = kov::createMovieWriter(settings);
    if (!made.writer) quit("cannot write " + path + ": " + made.reason);
    for (std::size_t i = 0; i < masks.size(); ++i)
      if (auto reason = made.writer->appendGrey(masks[i].view(), static_cast<std::int64_t>(i))) quit(*reason);
    if (auto reason = made.writer->finish()) quit(*reason);
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) quit("usage: matte_movie_stages_bench VIDEO [FRAMES]");
  const std::string path = argv[1];
  const int wanted = argc > 2 ? std::max(2, std::atoi(argv[2])) : 60;

  auto source = kov::openVideoSource(path);
  const kov::VideoInfo& info = source->info();
  if (!info.hasTrack || !info.duration) quit("cannot read " + path);
  const int naturalWidth = static_cast<int>(info.naturalWidth), naturalHeight = static_cast<int>(info.naturalHeight);
  const int width = std::min(1280, naturalWidth) / 2 * 2;
  const int height = 2 * static_cast<int>(info.naturalHeight * width / info.naturalWidth / 2 + 0.5);

  std::vector<kov::BgraImage> frames;
  {
    auto reader = startRange(*source, width, height, kov::PixelLayout::Bgra);
    while (static_cast<int>(frames.size()) < wanted) {
      const kov::DecodedFrame* frame = reader->nextFrame();
      if (!frame) break;
      kov::BgraImage copy = kov::blankBgraImage(frame->width, frame->height);
      for (int y = 0; y < frame->height; ++y)
        std::copy_n(frame->planes[0] + y * frame->strides[0], frame->width * 4, copy.pixels.data() + y * frame->width * 4);
      frames.push_back(std::move(copy));
    }
  }
  const int n = static_cast<int>(frames.size());
  if (n < 2) quit("too few frames in " + path);

  std::string error;
  auto segmenter = kov::createPersonSegmenter(error);
  auto detector = kov::createPersonDetector(error);
  if (!segmenter || !detector) quit(error);

  const double decode = readingCost(path, n, naturalWidth / 2 * 2, naturalHeight / 2 * 2, kov::PixelLayout::Nv12);
  const double decodeAndScale = readingCost(path, n, width, height, kov::PixelLayout::Bgra);

  std::vector<kov::GreyImage> modelMasks;
  auto sequence = segmenter->startSequence(kov::SegmentQuality::Balanced);
  const double segmenting = cpuSeconds([&] {
    for (const kov::BgraImage& frame : frames) modelMasks.push_back(*sequence->next(frame.view()));
  });
  kov::MaskRefiner refiner;
  kov::GreyImage refined;
  const double refining = cpuSeconds([&] {
    for (int i = 0; i < n; ++i) refiner.refine(modelMasks[static_cast<std::size_t>(i)].view(), frames[static_cast<std::size_t>(i)].view(), refined);
  });
  const double checking = cpuSeconds([&] {
    for (const kov::BgraImage& frame : frames) kov::showsPerson(*detector, frame.view());
  });

  std::vector<kov::GreyImage> masks;
  const double allMaskWork = cpuSeconds([&] {
    kov::MovieMasks movie(*segmenter, detector.get());
    for (int i = 0; i < n; ++i)
      if (auto done = movie.push(i / 30.0, frames[static_cast<std::size_t>(i)].view())) masks.push_back(*done->mask);
    if (auto done = movie.finish()) masks.push_back(*done->mask);
  });
  frames.clear();
  const double quick = encodingCost(masks, true, "/tmp/matte_movie_stages_bench_quick.mp4");
  const double standard = encodingCost(masks, false, "/tmp/matte_movie_stages_bench_standard.mp4");
  std::remove("/tmp/matte_movie_stages_bench_quick.mp4");
  std::remove("/tmp/matte_movie_stages_bench_standard.mp4");

  const auto perFrame = [n](double seconds) { return 1000.0 * seconds / n; };
  std::printf("mask movie stages, %dx%d -> %dx%d, %d frames, CPU ms per frame\n", naturalWidth, naturalHeight, width,
              height, n);
  std::printf("%-52s %8.2f\n", "decoding (own size)", perFrame(decode));
  std::printf("%-52s %8.2f\n", "decoding and scaling to the movie size in BGRA", perFrame(decodeAndScale));
  std::printf("%-52s %8.2f\n", "segmenter (balanced sequence)", perFrame(segmenting));
  std::printf("%-52s %8.2f\n", "refinement at full size", perFrame(refining));
  std::printf("%-52s %8.2f\n", "person check, per frame at one check per 0.5 s", perFrame(checking) / 15);
  std::printf("%-52s %8.2f\n", "all mask work of the command (with smoothing)", perFrame(allMaskWork));
  std::printf("%-52s %8.2f\n", "H.264 encoding of the masks, quick analysis (now)", perFrame(quick));
  std::printf("%-52s %8.2f\n", "H.264 encoding of the masks, before", perFrame(standard));
  return 0;
}
