// Usage: decode_bench VIDEO FPS — opens the range as `faces` does, walks it through the cut detector
// and the sampling gate, and prints the number of decoded-and-sampled frames and cuts.
#include <cstdio>
#include <cstdlib>

#include "faces/sampling.h"
#include "media_range/video_range.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: decode_bench VIDEO FPS\n");
    return 1;
  }
  kov::RangeOpening opening = kov::openVideoRange(argv[1], {0, std::nullopt, std::nullopt, 640, kov::PixelLayout::Nv12});
  if (auto* failure = std::get_if<kov::RangeFailure>(&opening)) {
    std::fputs(kov::failureLine(*failure, argv[1]).c_str(), stderr);
    return 1;
  }
  kov::OpenedRange& range = std::get<kov::OpenedRange>(opening);
  long sampled = 0;
  auto cuts = kov::sampleRange(*range.reader, range.start, std::atof(argv[2]),
                               [&](const kov::DecodedFrame&, double, kov::AnalysisSchedule&) { ++sampled; });
  if (auto reason = range.reader->failure()) {
    std::fprintf(stderr, "decode failed: %s\n", reason->c_str());
    return 1;
  }
  std::printf("%ld sampled, %zu cuts\n", sampled, cuts.size());
  return 0;
}
