// A fixed set of threads that split a range of work items (rows of an output) with the caller.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kov {

class WorkerPool {
 public:
  // `threads` counts the caller too: 1 runs everything on the calling thread.
  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int threads() const { return static_cast<int>(helpers_.size()) + 1; }

  // Calls task(begin, end, slot) over disjoint parts of [0, count) and returns when all are done;
  // `slot` (0 .. threads()-1) tells which thread runs the part, for per-thread scratch memory.
  // Runs on the calling thread alone when `count` is below `minimumPerThread` * 2. Callers on
  // several threads take turns. The helpers sleep between tasks rather than spin, so an idle pool
  // takes no core from other work (another runner, the decoder).
  void run(int count, int minimumPerThread, const std::function<void(int, int, int)>& task);

 private:
  void helperLoop(int slot);

  std::vector<std::thread> helpers_;
  std::mutex turn_;  // held by the caller whose task the helpers work on
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void(int, int, int)>* task_ = nullptr;
  int count_ = 0;
  int parts_ = 0;
  unsigned generation_ = 0;
  int pending_ = 0;
  bool stopping_ = false;
};

// Threads to use for inference: the machine's cores, at most 2 (the decoder and encoder of a video
// run need the rest).
int inferenceThreads();

}  // namespace kov
