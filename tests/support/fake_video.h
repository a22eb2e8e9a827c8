// A video source for tests of the walk over frames: hand-made frames with chosen times, each a
// plain picture of one luma level, handed out as the FFmpeg source would hand out decoded ones.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/video_reader.h"

namespace kov::test {

struct FakeFrame {
  double time = 0;       // seconds
  std::uint8_t level = 0;  // luma of every pixel (NV12), or grey level of every pixel (BGRA)
};

// `count` frames at `rate` per second from `first` seconds, all of one level.
std::vector<FakeFrame> steadyFrames(int count, double rate, std::uint8_t level, double first = 0);

// Hands out `frames` in order at width x height in `layout`, each row padded beyond its width as a
// decoder's buffers are, reusing one buffer; after the last frame, `failure` (if any) is reported.
class FakeVideoReader : public VideoReader {
 public:
  FakeVideoReader(std::vector<FakeFrame> frames, int width, int height, PixelLayout layout,
                  std::optional<std::string> failure = std::nullopt);

  const DecodedFrame* nextFrame() override;
  std::optional<std::string> failure() const override { return ended_ ? failure_ : std::nullopt; }

  // Frames handed out so far; safe to read while another thread reads frames.
  int handedOut() const { return next_; }

 private:
  std::vector<FakeFrame> frames_;
  std::optional<std::string> failure_;
  std::vector<std::uint8_t> buffer_;
  DecodedFrame frame_;
  std::atomic<int> next_ = 0;
  bool ended_ = false;
};

// A source whose track is described by `info` and holds `frames`. A range hands out the frames
// with times in [start, end), or the start error the test chose.
class FakeVideoSource : public VideoSource {
 public:
  FakeVideoSource(VideoInfo info, std::vector<FakeFrame> frames);

  const VideoInfo& info() const override { return info_; }
  RangeStart readRange(const RangeSettings& settings) override;

  void failStarts(RangeStartError error) { startError_ = std::move(error); }
  void failDecodingAtTheEnd(std::string reason) { failure_ = std::move(reason); }

  // The settings of the last range asked for.
  const std::optional<RangeSettings>& lastRange() const { return lastRange_; }

 private:
  VideoInfo info_;
  std::vector<FakeFrame> frames_;
  std::optional<RangeStartError> startError_;
  std::optional<std::string> failure_;
  std::optional<RangeSettings> lastRange_;
};

// Track information of a video of width x height at `rate` frames per second lasting `duration`.
VideoInfo fakeInfo(double width, double height, int rate, std::optional<double> duration);

}  // namespace kov::test
