// The allocator's heap limit holds for threads that start after it: eight threads allocating at
// once share the permitted heaps instead of getting one each.
#include <gtest/gtest.h>

#include <malloc.h>

#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/process/malloc_arenas.h"

namespace kov {
namespace {

// The heaps the allocator reports, from its own XML account (one <heap> element each).
int allocatorHeaps() {
  char* text = nullptr;
  std::size_t size = 0;
  FILE* stream = open_memstream(&text, &size);
  if (!stream) return -1;
  malloc_info(0, stream);
  std::fclose(stream);
  const std::string report(text, size);
  std::free(text);
  int heaps = 0;
  for (std::size_t at = report.find("<heap nr="); at != std::string::npos; at = report.find("<heap nr=", at + 1)) ++heaps;
  return heaps;
}

TEST(MallocArenas, ThreadsStartedAfterTheLimitShareThePermittedHeaps) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer replaces glibc's allocator, whose heaps this counts";
#endif
  ASSERT_FALSE(limitMallocArenas(0));
  ASSERT_TRUE(limitMallocArenas(2));
  constexpr int kThreads = 8;
  std::barrier allAllocated(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&] {
      std::vector<char> block(64 * 1024, 1);
      allAllocated.arrive_and_wait();  // every thread holds its block at once
    });
  for (std::thread& thread : threads) thread.join();
  const int heaps = allocatorHeaps();
  EXPECT_GE(heaps, 1);
  EXPECT_LE(heaps, 2);
}

}  // namespace
}  // namespace kov
