// Frames for the detector tests: pictures made with ffmpeg, decoded to NV12 at a chosen size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/media/video_reader.h"

namespace kov::test {

struct Nv12Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bytes;  // luma plane, then the interleaved chroma plane

  DecodedFrame frame() const;
};

// Runs `input` (ffmpeg input arguments, one or more) through the filter graph `filter` and then
// scales to width x height.
Nv12Picture nv12Picture(const std::string& input, const std::string& filter, int width, int height);

}  // namespace kov::test
