#include "platform/neural/worker_pool.h"

#include <pthreadpool.h>

#include <algorithm>
#include <thread>

namespace kov {
namespace {

struct Split {
  const std::function<void(int, int, int)>* task;
  int count;
  int parts;
};

void runPart(void* context, std::size_t part) {
  const Split& split = *static_cast<const Split*>(context);
  const int p = static_cast<int>(part);
  const int begin = static_cast<int>(static_cast<long long>(split.count) * p / split.parts);
  const int end = static_cast<int>(static_cast<long long>(split.count) * (p + 1) / split.parts);
  (*split.task)(begin, end, p);
}

}  // namespace

WorkerPool::WorkerPool(int threads) : threads_(std::max(1, threads)) {
  if (threads_ > 1) {
    pool_ = pthreadpool_create(static_cast<std::size_t>(threads_));
    if (!pool_) threads_ = 1;  // no threads to be had: everything runs on the caller
  }
}

WorkerPool::~WorkerPool() {
  if (pool_) pthreadpool_destroy(pool_);
}

void WorkerPool::run(int count, int minimumPerThread, const std::function<void(int, int, int)>& task) {
  if (count <= 0) return;
  const int parts = std::min(threads(), std::max(1, count / std::max(1, minimumPerThread)));
  if (parts <= 1) {
    task(0, count, 0);
    return;
  }
  Split split{&task, count, parts};
  // The helpers sleep as soon as their part is done instead of spinning for the next one: spinning
  // takes the core from whatever else runs (another runner, the decoder) and, on a busy machine,
  // from the very thread the pool waits for.
  pthreadpool_parallelize_1d(pool_, runPart, &split, static_cast<std::size_t>(parts), PTHREADPOOL_FLAG_YIELD_WORKERS);
}

int inferenceThreads() {
  unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(cores, 1u, 2u));
}

}  // namespace kov
