// Decoding ahead on a thread of its own, against hand-made frames.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/media/read_ahead.h"
#include "support/fake_video.h"

namespace kov {
namespace {

using test::FakeFrame;
using test::FakeVideoReader;
using test::steadyFrames;

std::vector<FakeFrame> numberedFrames(int count) {
  std::vector<FakeFrame> frames = steadyFrames(count, 30, 0);
  for (int i = 0; i < count; ++i) frames[i].level = static_cast<std::uint8_t>(i * 7);
  return frames;
}

// Every byte of the frame's planes within its width is `level` (luma) or 128 (chroma).
bool holds(const DecodedFrame& frame, std::uint8_t level) {
  for (int y = 0; y < frame.height; ++y)
    for (int x = 0; x < frame.width; ++x)
      if (frame.planes[0][y * frame.strides[0] + x] != level) return false;
  for (int y = 0; y < (frame.height + 1) / 2; ++y)
    for (int x = 0; x < (frame.width + 1) / 2 * 2; ++x)
      if (frame.planes[1][y * frame.strides[1] + x] != 128) return false;
  return true;
}

TEST(ReadAhead, HandsOutTheInnerFramesInOrderWithTheirPixels) {
  const std::vector<FakeFrame> made = numberedFrames(30);
  auto reader = readAhead(std::make_unique<FakeVideoReader>(made, 33, 19, PixelLayout::Nv12), 4);
  std::vector<const DecodedFrame*> seen;
  for (const FakeFrame& expected : made) {
    const DecodedFrame* frame = reader->nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->time, expected.time);
    EXPECT_EQ(frame->width, 33);
    EXPECT_EQ(frame->height, 19);
    EXPECT_TRUE(holds(*frame, expected.level)) << "frame at " << expected.time;
  }
  EXPECT_EQ(reader->nextFrame(), nullptr);
  EXPECT_EQ(reader->nextFrame(), nullptr);
  EXPECT_FALSE(reader->failure());
}

TEST(ReadAhead, CopiesBgraRowsWithoutTheirPadding) {
  auto reader = readAhead(std::make_unique<FakeVideoReader>(numberedFrames(3), 5, 3, PixelLayout::Bgra), 2);
  const DecodedFrame* frame = reader->nextFrame();
  ASSERT_TRUE(frame);
  frame = reader->nextFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->layout, PixelLayout::Bgra);
  EXPECT_EQ(frame->strides[0], 5 * 4);
  EXPECT_EQ(frame->planes[1], nullptr);
  for (int i = 0; i < 5 * 3 * 4; i += 4) {
    EXPECT_EQ(frame->planes[0][i], 7);
    EXPECT_EQ(frame->planes[0][i + 3], 255);
  }
}

TEST(ReadAhead, HandsOutEveryFrameBeforeTheInnerFailure) {
  auto inner = std::make_unique<FakeVideoReader>(numberedFrames(6), 8, 8, PixelLayout::Nv12, "decoding went wrong");
  auto reader = readAhead(std::move(inner), 4);
  for (int i = 0; i < 6; ++i) {
    const DecodedFrame* frame = reader->nextFrame();
    ASSERT_TRUE(frame) << "frame " << i;
    EXPECT_TRUE(holds(*frame, static_cast<std::uint8_t>(i * 7)));
  }
  EXPECT_EQ(reader->nextFrame(), nullptr);
  EXPECT_EQ(reader->failure(), "decoding went wrong");
}

// The frame analysis keeps a sampled frame's pixels while the walk reads on, without copying them.
TEST(ReadAhead, AKeptFrameKeepsItsPixelsWhileLaterFramesAreRead) {
  auto reader = readAhead(std::make_unique<FakeVideoReader>(numberedFrames(12), 33, 19, PixelLayout::Nv12), 2);
  std::vector<DecodedFrame> kept;
  for (int i = 0; i < 12; ++i) {
    const DecodedFrame* frame = reader->nextFrame();
    ASSERT_TRUE(frame);
    ASSERT_TRUE(frame->pixelOwner);
    if (i % 5 == 0) kept.push_back(*frame);
  }
  EXPECT_EQ(reader->nextFrame(), nullptr);
  reader.reset();
  ASSERT_EQ(kept.size(), 3u);
  for (size_t k = 0; k < kept.size(); ++k) EXPECT_TRUE(holds(kept[k], static_cast<std::uint8_t>(k * 5 * 7))) << k;
}

TEST(ReadAhead, StopsItsThreadWhenDroppedMidRangeAndNeverRunsFarAhead) {
  auto inner = std::make_unique<FakeVideoReader>(numberedFrames(200), 16, 16, PixelLayout::Nv12);
  FakeVideoReader* counted = inner.get();
  auto reader = readAhead(std::move(inner), 3);
  ASSERT_TRUE(reader->nextFrame());
  // At most the frame handed out, the three buffered and the one being copied.
  for (int i = 0; i < 50; ++i) {
    EXPECT_LE(counted->handedOut(), 5);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  reader.reset();  // must not wait for the other frames
}

}  // namespace
}  // namespace kov
