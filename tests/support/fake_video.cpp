#include "support/fake_video.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace kov::test {
namespace {

constexpr int kRowPadding = 32;

}  // namespace

std::vector<FakeFrame> steadyFrames(int count, double rate, std::uint8_t level, double first) {
  std::vector<FakeFrame> frames;
  for (int i = 0; i < count; ++i) frames.push_back({first + i / rate, level});
  return frames;
}

FakeVideoReader::FakeVideoReader(std::vector<FakeFrame> frames, int width, int height, PixelLayout layout,
                                 std::optional<std::string> failure)
    : frames_(std::move(frames)), failure_(std::move(failure)) {
  frame_.layout = layout;
  frame_.width = width;
  frame_.height = height;
  const bool nv12 = layout == PixelLayout::Nv12;
  frame_.strides[0] = (nv12 ? width : width * 4) + kRowPadding;
  frame_.strides[1] = nv12 ? (width + 1) / 2 * 2 + kRowPadding : 0;
  const std::size_t lumaBytes = static_cast<std::size_t>(frame_.strides[0]) * height;
  const std::size_t chromaBytes = static_cast<std::size_t>(frame_.strides[1]) * ((height + 1) / 2);
  buffer_.resize(lumaBytes + chromaBytes);
  frame_.planes[0] = buffer_.data();
  frame_.planes[1] = nv12 ? buffer_.data() + lumaBytes : nullptr;
}

const DecodedFrame* FakeVideoReader::nextFrame() {
  if (next_ >= static_cast<int>(frames_.size())) {
    ended_ = true;
    return nullptr;
  }
  const FakeFrame& made = frames_[next_++];
  frame_.time = made.time;
  const bool nv12 = frame_.layout == PixelLayout::Nv12;
  const std::size_t lumaBytes = static_cast<std::size_t>(frame_.strides[0]) * frame_.height;
  if (nv12) {
    std::memset(buffer_.data(), made.level, lumaBytes);
    std::memset(buffer_.data() + lumaBytes, 128, buffer_.size() - lumaBytes);
  } else {
    for (std::size_t i = 0; i < buffer_.size(); i += 4) {
      buffer_[i] = buffer_[i + 1] = buffer_[i + 2] = made.level;
      buffer_[i + 3] = 255;
    }
  }
  return &frame_;
}

FakeVideoSource::FakeVideoSource(VideoInfo info, std::vector<FakeFrame> frames)
    : info_(std::move(info)), frames_(std::move(frames)) {}

RangeStart FakeVideoSource::readRange(const RangeSettings& settings) {
  lastRange_ = settings;
  if (startError_) return *startError_;
  std::vector<FakeFrame> inRange;
  std::copy_if(frames_.begin(), frames_.end(), std::back_inserter(inRange),
               [&](const FakeFrame& f) { return f.time >= settings.start && f.time < settings.end; });
  return std::make_unique<FakeVideoReader>(std::move(inRange), settings.width, settings.height, settings.layout,
                                           failure_);
}

VideoInfo fakeInfo(double width, double height, int rate, std::optional<double> duration) {
  VideoInfo info;
  info.hasTrack = true;
  info.naturalWidth = width;
  info.naturalHeight = height;
  info.frameRate = static_cast<float>(rate);
  info.frameRateNum = rate;
  info.frameRateDen = 1;
  info.duration = duration;
  return info;
}

}  // namespace kov::test
