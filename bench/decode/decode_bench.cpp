// Usage: decode_bench VIDEO FPS — opens the range as `faces` does, walks it through the cut detector
// and the sampling gate, and prints the number of decoded-and-sampled frames and cuts.
#include <cstdio>
#include <cstdlib>

#include "faces/sampling.h"
#include "faces/video_range.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: decode_bench VIDEO FPS\n");
    return 1;
  }
  kov::OpenedRange range = kov::openVideoRange({argv[1], 0, std::nullopt, std::nullopt, 640, kov::PixelLayout::Nv12});
  double nextPrint = 0;
  long sampled = 0;
  auto cuts = kov::sampleRange(*range.reader, range.start, std::atof(argv[2]), nextPrint,
                               [&](const kov::DecodedFrame&, double) { ++sampled; });
  if (auto reason = range.reader->failure()) {
    std::fprintf(stderr, "decode failed: %s\n", reason->c_str());
    return 1;
  }
  std::printf("%ld sampled, %zu cuts\n", sampled, cuts.size());
  return 0;
}
