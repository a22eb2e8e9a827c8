// The walk over decoded frames against hand-made frames: the sampling gate, scene cuts and the
// schedules a cut pulls back.
#include <gtest/gtest.h>

#include "faces/sampling.h"
#include "numeric/schedule.h"
#include "support/fake_video.h"

namespace kov {
namespace {

using test::FakeFrame;
using test::FakeVideoReader;
using test::steadyFrames;

struct Sampled {
  double t;
  double nextPrint;  // as the analysis found it
};

// Walks `frames` at `fps`; the analysis moves the print schedule on by `printEvery` when due.
std::vector<Sampled> walk(std::vector<FakeFrame> frames, double start, double fps, std::vector<double>& cuts,
                          double printEvery = 1) {
  FakeVideoReader reader(std::move(frames), 32, 18, PixelLayout::Nv12);
  std::vector<Sampled> sampled;
  cuts = sampleRange(reader, start, fps, [&](const DecodedFrame&, double t, AnalysisSchedule& schedule) {
    sampled.push_back({t, schedule.nextPrint});
    if (isDueAt(schedule.nextPrint, t)) schedule.nextPrint = t + printEvery;
  });
  return sampled;
}

std::vector<double> timesOf(const std::vector<Sampled>& sampled) {
  std::vector<double> times;
  for (const Sampled& s : sampled) times.push_back(s.t);
  return times;
}

TEST(SamplingWalk, SamplesTheFramesActuallyDecodedAtTheRate) {
  std::vector<double> cuts;
  // 25 fps at 6 per second: 1/6 s after a sample the next due frame is 0.2 s later, every fifth.
  std::vector<Sampled> sampled = walk(steadyFrames(50, 25, 100), 0, 6, cuts);
  ASSERT_EQ(sampled.size(), 10u);
  for (size_t i = 0; i < sampled.size(); ++i) EXPECT_NEAR(sampled[i].t, i * 0.2, 1e-12);
  EXPECT_TRUE(cuts.empty());

  // A frame is due up to half a millisecond early.
  EXPECT_EQ(walk({{0, 9}, {0.9996, 9}}, 0, 1, cuts).size(), 2u);
  EXPECT_EQ(walk({{0, 9}, {0.9994, 9}}, 0, 1, cuts).size(), 1u);
  // Irregular frames: the gate measures from the last sampled frame, not from a fixed grid.
  EXPECT_EQ(timesOf(walk({{0, 9}, {0.9, 9}, {1.2, 9}, {1.95, 9}, {2.0, 9}, {2.4, 9}}, 0, 1, cuts)),
            (std::vector<double>{0, 1.2, 2.4}));
}

TEST(SamplingWalk, CountsTimeFromTheRangeStartAndSkipsEarlierFrames) {
  std::vector<double> cuts;
  std::vector<FakeFrame> frames = steadyFrames(10, 10, 50);  // 0.0 … 0.9
  frames[7].level = 230;                                    // a cut at 0.7
  std::vector<Sampled> sampled = walk(frames, 0.25, 2, cuts);
  ASSERT_FALSE(sampled.empty());
  EXPECT_NEAR(sampled.front().t, 0.05, 1e-12);  // the frame at 0.3
  EXPECT_EQ(cuts, std::vector<double>{0.45});   // rounded, from the start
}

TEST(SamplingWalk, ACutIsSampledAndPrintedAndRestartsTheGate) {
  std::vector<double> cuts;
  std::vector<FakeFrame> frames = steadyFrames(25, 10, 30);  // 0.0 … 2.4 at 10 fps
  for (size_t i = 13; i < frames.size(); ++i) frames[i].level = 220;  // a new shot at 1.3
  std::vector<Sampled> sampled = walk(frames, 0, 1, cuts);
  EXPECT_EQ(cuts, std::vector<double>{1.3});
  std::vector<double> times = timesOf(sampled);
  ASSERT_EQ(times.size(), 4u);
  EXPECT_NEAR(times[0], 0, 1e-12);
  EXPECT_NEAR(times[1], 1.0, 1e-12);
  EXPECT_NEAR(times[2], 1.3, 1e-12);  // the first frame of the new shot
  EXPECT_NEAR(times[3], 2.3, 1e-12);  // one second after it, not after 1.0
  // The print due at 2.0 was pulled back to the cut, so the cut frame is printed.
  EXPECT_NEAR(sampled[2].nextPrint, 1.3, 1e-12);
  EXPECT_NEAR(sampled[3].nextPrint, 2.3, 1e-12);
}

TEST(SamplingWalk, LeavesTheReadersFailureToTheCaller) {
  FakeVideoReader reader(steadyFrames(5, 10, 80), 32, 18, PixelLayout::Nv12, "damaged video data at 0.500 s");
  int sampled = 0;
  std::vector<double> cuts = sampleRange(reader, 0, 30, [&](const DecodedFrame&, double, AnalysisSchedule&) { ++sampled; });
  EXPECT_EQ(sampled, 5);
  EXPECT_TRUE(cuts.empty());
  EXPECT_EQ(reader.failure(), "damaged video data at 0.500 s");
}

}  // namespace
}  // namespace kov
