// Usage: matte_flicker_bench VIDEO
// Runs the balanced sequence segmenter over every frame of VIDEO at 1280 px wide, once with and once
// without temporal smoothing, and prints the mean absolute change of the mask (0..255) between
// consecutive frames, with the time per frame.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/media/video_reader.h"
#include "platform/segment/person_segmenter.h"

namespace {

struct Flicker {
  double meanChange = 0;
  double millisecondsPerFrame = 0;
  int frames = 0;
};

Flicker measure(kov::PersonSegmenter& segmenter, const std::string& path, bool smooth) {
  auto source = kov::openVideoSource(path);
  const kov::VideoInfo& info = source->info();
  if (!info.hasTrack || !info.duration) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(1);
  }
  int width = 1280, height = 2 * static_cast<int>(info.naturalHeight * 1280 / info.naturalWidth / 2 + 0.5);
  kov::RangeStart started = source->readRange({0, *info.duration, width, height, kov::PixelLayout::Bgra});
  if (auto* error = std::get_if<kov::RangeStartError>(&started)) {
    std::fprintf(stderr, "cannot decode %s: %s\n", path.c_str(), error->reason.c_str());
    std::exit(1);
  }
  auto& reader = std::get<std::unique_ptr<kov::VideoReader>>(started);
  auto sequence = segmenter.startSequence(kov::SegmentQuality::Balanced, smooth);
  std::optional<kov::GreyImage> previous;
  Flicker result;
  double total = 0, seconds = 0;
  while (const kov::DecodedFrame* frame = reader->nextFrame()) {
    auto start = std::chrono::steady_clock::now();
    std::optional<kov::GreyImage> mask = sequence->next(frame->bgra());
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!mask) continue;
    if (previous && previous->pixels.size() == mask->pixels.size()) {
      double sum = 0;
      for (std::size_t i = 0; i < mask->pixels.size(); ++i) sum += std::abs(mask->pixels[i] - previous->pixels[i]);
      total += sum / static_cast<double>(mask->pixels.size());
    }
    previous = std::move(mask);
    ++result.frames;
  }
  result.meanChange = result.frames > 1 ? total / (result.frames - 1) : 0;
  result.millisecondsPerFrame = result.frames ? seconds * 1000 / result.frames : 0;
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: matte_flicker_bench VIDEO\n");
    return 1;
  }
  std::string error;
  auto segmenter = kov::createPersonSegmenter(error);
  if (!segmenter) {
    std::fputs(error.c_str(), stderr);
    return 1;
  }
  Flicker raw = measure(*segmenter, argv[1], false);
  Flicker smoothed = measure(*segmenter, argv[1], true);
  std::printf("%-36s %12s %14s\n", "still scene with sensor noise", "mean |change|", "ms per frame");
  std::printf("%-36s %12.3f %14.2f\n", "each frame on its own", raw.meanChange, raw.millisecondsPerFrame);
  std::printf("%-36s %12.3f %14.2f\n", "with temporal smoothing", smoothed.meanChange, smoothed.millisecondsPerFrame);
  std::printf("flicker removed: %.0f %% (%d frames)\n",
              raw.meanChange > 0 ? 100.0 * (1.0 - smoothed.meanChange / raw.meanChange) : 0.0, raw.frames);
  return 0;
}
