#include "platform/media/read_ahead.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace kov {
namespace {

// A frame copied out of the decoder's buffers, which the decoder reuses for the next frame. Each
// copy gets memory of its own, which lives as long as someone keeps the frame's `pixelOwner`.
struct BufferedFrame {
  DecodedFrame frame;

  void copyFrom(const DecodedFrame& source) {
    frame = source;
    const int planeCount = source.layout == PixelLayout::Nv12 ? 2 : 1;
    const int rowBytes[2] = {source.layout == PixelLayout::Nv12 ? source.width : source.width * 4,
                             source.layout == PixelLayout::Nv12 ? (source.width + 1) / 2 * 2 : 0};
    const int rows[2] = {source.height, (source.height + 1) / 2};
    size_t total = 0;
    for (int p = 0; p < planeCount; ++p) total += static_cast<size_t>(rowBytes[p]) * rows[p];
    std::shared_ptr<std::uint8_t[]> bytes(new std::uint8_t[total]);  // left unset: every byte is copied over
    frame.pixelOwner = bytes;
    std::uint8_t* out = bytes.get();
    for (int p = 0; p < planeCount; ++p) {
      frame.planes[p] = out;
      frame.strides[p] = rowBytes[p];
      for (int y = 0; y < rows[p]; ++y) {
        std::memcpy(out, source.planes[p] + static_cast<std::ptrdiff_t>(y) * source.strides[p], rowBytes[p]);
        out += rowBytes[p];
      }
    }
  }
};

class ReadAheadReader : public VideoReader {
 public:
  ReadAheadReader(std::unique_ptr<VideoReader> inner, int depth) : inner_(std::move(inner)), depth_(depth) {
    worker_ = std::thread([this] { decodeAhead(); });
  }

  ~ReadAheadReader() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }

  const DecodedFrame* nextFrame() override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (current_) {
      spare_.push_back(std::move(current_));
      changed_.notify_all();
    }
    changed_.wait(lock, [&] { return !ready_.empty() || ended_; });
    if (ready_.empty()) return nullptr;
    current_ = std::move(ready_.front());
    ready_.pop_front();
    changed_.notify_all();
    return &current_->frame;
  }

  std::optional<std::string> failure() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ ? inner_->failure() : std::nullopt;
  }

 private:
  void decodeAhead() {
    while (const DecodedFrame* frame = inner_->nextFrame()) {
      std::unique_ptr<BufferedFrame> slot = takeSpareSlot();
      if (!slot) return;  // stopping
      slot->copyFrom(*frame);
      std::lock_guard<std::mutex> lock(mutex_);
      ready_.push_back(std::move(slot));
      changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  // A buffer to decode into, once fewer than `depth_` frames are waiting; none when stopping.
  std::unique_ptr<BufferedFrame> takeSpareSlot() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stopping_ || static_cast<int>(ready_.size()) < depth_; });
    if (stopping_) return nullptr;
    if (spare_.empty()) return std::make_unique<BufferedFrame>();
    auto slot = std::move(spare_.back());
    spare_.pop_back();
    return slot;
  }

  std::unique_ptr<VideoReader> inner_;
  const int depth_;
  std::thread worker_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<BufferedFrame>> ready_;
  std::vector<std::unique_ptr<BufferedFrame>> spare_;
  std::unique_ptr<BufferedFrame> current_;
  bool ended_ = false;
  bool stopping_ = false;
};

}  // namespace

std::unique_ptr<VideoReader> readAhead(std::unique_ptr<VideoReader> inner, int depth) {
  return std::make_unique<ReadAheadReader>(std::move(inner), depth);
}

}  // namespace kov
