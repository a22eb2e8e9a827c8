// Reading a time range of a video file's first video track, decoded and scaled to a chosen size.
#pragma once

#include <memory>
#include <optional>
#include <string>

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
  float frameRate = 0;  // nominal (average) frame rate
  double duration = 0;  // container duration, seconds
};

// One decoded frame, valid until the next call to `nextFrame`.
struct DecodedFrame {
  double time = 0;  // presentation time in seconds
  PixelLayout layout = PixelLayout::Nv12;
  int width = 0;
  int height = 0;
  const std::uint8_t* planes[2] = {nullptr, nullptr};
  std::ptrdiff_t strides[2] = {0, 0};

  GreyView luma() const { return {planes[0], width, height, strides[0]}; }
  BgraView bgra() const { return {planes[0], width, height, strides[0]}; }
};

class VideoReader {
 public:
  virtual ~VideoReader() = default;

  virtual const VideoInfo& info() const = 0;

  // Prepares decoding of [start, end) seconds at width x height in `layout`. Returns false when no
  // decoder can be created for the track ("cannot read").
  virtual bool createDecoder() = 0;

  // Starts decoding; on failure returns the reason text ("cannot decode … : reason").
  virtual std::optional<std::string> startReading(double start, double end, int width, int height,
                                                  PixelLayout layout) = 0;

  // The next frame of the range in presentation order, or null at the end of the range or on a
  // failure; `failure()` then tells which.
  virtual const DecodedFrame* nextFrame() = 0;

  // The reason decoding stopped early, if it did.
  virtual std::optional<std::string> failure() const = 0;
};

// Opens a file. Never fails: a missing or unreadable file yields a reader whose info has no track.
std::unique_ptr<VideoReader> openVideo(const std::string& path);

}  // namespace kov
