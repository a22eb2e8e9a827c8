#include "plate/movie_feeder.h"

#include "plate/plate_report.h"
#include "platform/image/picture_codec.h"

namespace kov {
namespace {

constexpr size_t kQueueLimit = 2;

}  // namespace

MovieFeeder::MovieFeeder(MovieWriter& movie) : movie_(movie), worker_([this] { work(); }) {}

MovieFeeder::~MovieFeeder() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void MovieFeeder::push(std::int64_t index, std::string png) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return queue_.size() < kQueueLimit || failure_; });
  if (failure_) throw PlateError(*failure_);
  queue_.push_back({index, std::move(png)});
  changed_.notify_all();
}

void MovieFeeder::drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return (queue_.empty() && !busy_) || failure_; });
  if (failure_) throw PlateError(*failure_);
}

void MovieFeeder::work() {
  BgraImage picture;
  for (;;) {
    Frame frame;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return !queue_.empty() || closing_; });
      if (queue_.empty() || failure_) return;
      frame = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
    }
    changed_.notify_all();
    std::optional<std::string> failure;
    if (decodePng(frame.png, picture)) {
      failure = "frame " + std::to_string(frame.index) + " could not be drawn";
    } else if (auto reason = movie_.append(picture.view(), frame.index)) {
      failure = "cannot write frame " + std::to_string(frame.index) + ": " + *reason;
    }
    {
      std::lock_guard lock(mutex_);
      busy_ = false;
      if (failure) failure_ = failure;
    }
    changed_.notify_all();
  }
}

}  // namespace kov
