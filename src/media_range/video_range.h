// Opening a video for a time range: track information, the range check, the reduced decode size
// and the started decoding. Shared by `faces` and the video form of `matte`.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>

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
  double start = 0;
  std::optional<double> end;      // --end, absent means the video's duration
  std::optional<double> width;    // --width
  double defaultWidth = 640;
  PixelLayout layout = PixelLayout::Nv12;
};

struct OpenedRange {
  std::unique_ptr<VideoReader> reader;
  VideoInfo info;
  double start = 0;
  double end = 0;
  DecodeSize size;
};

// Why a range could not be opened.
struct RangeFailure {
  enum class Kind {
    NoVideoTrack,
    EmptyRange,    // --end is not after --start, or the range is not a finite stretch of time
    CannotRead,    // no decoder for the track, or an empty decode size
    CannotDecode,  // the decoder would not start; `reason` says why
  };
  Kind kind = Kind::NoVideoTrack;
  std::string reason;
};

using RangeOpening = std::variant<OpenedRange, RangeFailure>;

// Checks the request against what `source` says about its track and starts decoding the range.
// The range ends at --end cut to the duration; a video of unknown duration needs --end.
RangeOpening openRange(VideoSource& source, const RangeRequest& request);

// The same for the video file at `path`.
RangeOpening openVideoRange(const std::string& path, const RangeRequest& request);

// The failure line (with its line feed) for a range of the video at `path` that did not open:
// "no video track in …", "--end must be after --start", "cannot read …", "cannot decode …: …".
std::string failureLine(const RangeFailure& failure, const std::string& path);

}  // namespace kov
