// Decodes captured frames and appends them to the movie on a worker thread, so that the browser
// renders and captures the next frame meanwhile.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/media/video_writer.h"

namespace kov {

class MovieFeeder {
 public:
  explicit MovieFeeder(MovieWriter& movie);
  // Lets the frames already queued reach the movie, then stops the worker.
  ~MovieFeeder();
  MovieFeeder(const MovieFeeder&) = delete;
  MovieFeeder& operator=(const MovieFeeder&) = delete;

  // Queues frame `index` (PNG bytes, presented at `index`), waiting while two frames are already
  // queued. Throws the PlateError of an earlier frame that could not be decoded or written.
  void push(std::int64_t index, std::string png);

  // Waits until every queued frame is in the movie, then throws the first failure, if any.
  void drain();

 private:
  struct Frame {
    std::int64_t index;
    std::string png;
  };

  void work();

  MovieWriter& movie_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Frame> queue_;
  bool busy_ = false;
  bool closing_ = false;
  std::optional<std::string> failure_;
  std::thread worker_;
};

}  // namespace kov
