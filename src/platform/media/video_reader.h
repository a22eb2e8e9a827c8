// Reading a time range of a video file's first video track, decoded and scaled to a chosen size.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/pixels.h"

namespace kov {

enum class PixelLayout {
  Nv12,  // plane 0 luma (one byte per pixel, video range), plane 1 interleaved CbCr at half size
  Bgra,  // one plane, four bytes per pixel
};

// What the file says about its first video track; unavailable values stay at their defaults.
struct VideoInfo {
  bool hasTrack = false;
  double naturalWidth = 0;
  double naturalHeight = 0;
  float frameRate = 0;        // nominal (average) frame rate
  int frameRateNum = 0;       // the same rate as an exact fraction, 0/0 when unknown
  int frameRateDen = 0;
  // Seconds: the container's duration, else the track's, else the end of the track's last packet
  // (streams written without a duration, such as raw H.264 or a recorder's WebM). Absent when none
  // of these is known.
  std::optional<double> duration;
};

// One decoded frame, valid until the next call to `nextFrame`.
struct DecodedFrame {
  double time = 0;  // presentation time in seconds
  PixelLayout layout = PixelLayout::Nv12;
  int width = 0;
  int height = 0;
  const std::uint8_t* planes[2] = {nullptr, nullptr};
  std::ptrdiff_t strides[2] = {0, 0};
  // When set, the planes stay valid for as long as a copy of this is held, past the next
  // `nextFrame`, so the pixels can be kept without copying them. The readers of `openVideoSource`
  // set it.
  std::shared_ptr<const void> pixelOwner;

  GreyView luma() const { return {planes[0], width, height, strides[0]}; }
  BgraView bgra() const { return {planes[0], width, height, strides[0]}; }
};

// The decoded frames of a started range.
class VideoReader {
 public:
  virtual ~VideoReader() = default;

  // The next frame of the range in presentation order, or null at the end of the range or on a
  // failure; `failure()` then tells which.
  virtual const DecodedFrame* nextFrame() = 0;

  // The reason decoding stopped early, if it did.
  virtual std::optional<std::string> failure() const = 0;
};

// The part of a video to decode: frames with times in [start, end) seconds, scaled to
// width x height in `layout`.
struct RangeSettings {
  double start = 0;
  double end = 0;
  int width = 0;
  int height = 0;
  PixelLayout layout = PixelLayout::Nv12;
};

// Why a range could not be started.
struct RangeStartError {
  enum class Kind {
    NoDecoder,       // the track has no usable decoder, or the size is empty ("cannot read")
    DecoderRefused,  // the decoder would not open ("cannot decode …: reason")
  };
  Kind kind = Kind::NoDecoder;
  std::string reason;
};

using RangeStart = std::variant<std::unique_ptr<VideoReader>, RangeStartError>;

// An opened video file: what it says about its track, and its ranges.
class VideoSource {
 public:
  virtual ~VideoSource() = default;

  virtual const VideoInfo& info() const = 0;

  // Starts decoding a range: the reader of its frames, or why it could not start. The reader
  // stands on its own and may outlive the source.
  virtual RangeStart readRange(const RangeSettings& settings) = 0;
};

// Opens a file with FFmpeg. Never fails: a missing or unreadable file, or anything that is not a
// regular file (a folder, a FIFO, a device), yields a source whose info has no track. Its ranges
// decode a few frames ahead on a thread of their own.
std::unique_ptr<VideoSource> openVideoSource(const std::string& path);

}  // namespace kov
