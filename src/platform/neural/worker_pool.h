// A fixed set of threads that split a range of work items (rows of an output) with the caller. The
// same threads serve the XNNPACK operators of the runners that share the pool.
#pragma once

#include <functional>

struct pthreadpool;

namespace kov {

class WorkerPool {
 public:
  // `threads` counts the caller too: 1 runs everything on the calling thread.
  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int threads() const { return threads_; }

  // Calls task(begin, end, slot) over disjoint parts of [0, count) and returns when all are done;
  // `slot` (0 .. threads()-1) tells which part it is, so no two parts running at once share a slot
  // (for per-thread scratch memory). Runs on the calling thread alone when `count` is below
  // `minimumPerThread` * 2. Callers on several threads take turns.
  void run(int count, int minimumPerThread, const std::function<void(int, int, int)>& task);

  // The threads for XNNPACK operators: null for a pool of one thread (the caller's).
  pthreadpool* operatorThreads() const { return threads_ > 1 ? pool_ : nullptr; }

 private:
  int threads_ = 1;
  pthreadpool* pool_ = nullptr;
};

// Threads to use for inference: the machine's cores, at most 2 (the decoder and encoder of a video
// run need the rest).
int inferenceThreads();

}  // namespace kov
