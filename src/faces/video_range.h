// Opening a video for a time range: track information, the range check, the reduced decode size
// and the started decoder. Shared by `faces` and the video form of `matte`.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/media/video_reader.h"

namespace kov {

struct DecodeSize {
  int width = 0;
  int height = 0;
};

// The even decode size for a video of naturalWidth x naturalHeight under a width limit; frames
// are never enlarged beyond the rounding to even numbers.
DecodeSize decodeSize(double naturalWidth, double naturalHeight, double widthLimit);

// The width limit from a `--width` value: above 3840 becomes 3840, below 320 (or NaN) becomes 320.
double widthLimit(std::optional<double> option, double fallback);

struct RangeRequest {
  std::string videoArgument;      // as given on the command line
  double start = 0;
  std::optional<double> end;      // --end, absent means the file's duration
  std::optional<double> width;    // --width
  double defaultWidth = 640;
  PixelLayout layout = PixelLayout::Nv12;
};

struct OpenedRange {
  std::unique_ptr<VideoReader> reader;
  VideoInfo info;
  std::string path;  // absolute
  double start = 0;
  double end = 0;
  DecodeSize size;
};

// Opens the video and starts decoding the range, or ends the process with the matching message:
// "no video track in …", "--end must be after --start", "cannot read …", "cannot decode …: …".
OpenedRange openVideoRange(const RangeRequest& request);

}  // namespace kov
