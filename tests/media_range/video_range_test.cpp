// Opening a range against a hand-made source: the range check, the decode size, and the failures
// the commands turn into their lines.
#include <gtest/gtest.h>

#include <cmath>

#include "media_range/video_range.h"
#include "support/fake_video.h"

namespace kov {
namespace {

using test::FakeVideoSource;
using test::fakeInfo;
using test::steadyFrames;

TEST(DecodeSize, IsEvenAndNeverLargerThanTheLimit) {
  auto is = [](DecodeSize s, int w, int h) { return s.width == w && s.height == h; };
  EXPECT_TRUE(is(decodeSize(3840, 2160, 640), 640, 360));
  EXPECT_TRUE(is(decodeSize(1920, 1080, 1000), 1000, 562));
  EXPECT_TRUE(is(decodeSize(639, 479, 640), 640, 480));
  EXPECT_TRUE(is(decodeSize(1366, 768, 1280), 1280, 720));
  EXPECT_TRUE(is(decodeSize(1080, 1920, 1280), 1080, 1920));
  EXPECT_TRUE(is(decodeSize(3840, 2160, widthLimit(100, 1280)), 320, 180));
  EXPECT_TRUE(is(decodeSize(1921, 1081, widthLimit(4000, 1280)), 1922, 1082));
  EXPECT_EQ(widthLimit(std::nan(""), 1280), 320);
  EXPECT_EQ(widthLimit(std::nullopt, 640), 640);
}

// The opened range, or the failure's line for a video at "/v.mp4".
std::variant<OpenedRange, std::string> openOn(FakeVideoSource& source, RangeRequest request) {
  RangeOpening opening = openRange(source, request);
  if (auto* failure = std::get_if<RangeFailure>(&opening)) return failureLine(*failure, "/v.mp4");
  return std::move(std::get<OpenedRange>(opening));
}

std::string failureOf(FakeVideoSource& source, RangeRequest request) {
  auto opened = openOn(source, request);
  return std::holds_alternative<std::string>(opened) ? std::get<std::string>(opened) : "(opened)";
}

RangeRequest from(double start, std::optional<double> end = std::nullopt) {
  RangeRequest request;
  request.start = start;
  request.end = end;
  return request;
}

TEST(VideoRange, CutsTheEndToTheDurationAndAsksForTheDecodeSize) {
  FakeVideoSource source(fakeInfo(1920, 1080, 25, 4.0), steadyFrames(100, 25, 60));
  RangeRequest request = from(1, 99);
  request.layout = PixelLayout::Bgra;
  request.width = 1000;
  auto opened = openOn(source, request);
  ASSERT_TRUE(std::holds_alternative<OpenedRange>(opened)) << std::get<std::string>(opened);
  const OpenedRange& range = std::get<OpenedRange>(opened);
  EXPECT_EQ(range.start, 1);
  EXPECT_EQ(range.end, 4);
  EXPECT_EQ(range.size.width, 1000);
  EXPECT_EQ(range.size.height, 562);
  ASSERT_TRUE(source.lastRange());
  EXPECT_EQ(source.lastRange()->start, 1);
  EXPECT_EQ(source.lastRange()->end, 4);
  EXPECT_EQ(source.lastRange()->width, 1000);
  EXPECT_EQ(source.lastRange()->height, 562);
  EXPECT_EQ(source.lastRange()->layout, PixelLayout::Bgra);
  const DecodedFrame* first = range.reader->nextFrame();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->time, 1);
}

TEST(VideoRange, ARangeMustBeAFiniteStretchAfterItsStart) {
  FakeVideoSource source(fakeInfo(640, 360, 25, 2.0), steadyFrames(50, 25, 60));
  const std::string empty = "--end must be after --start\n";
  EXPECT_EQ(failureOf(source, from(1, 1)), empty);
  EXPECT_EQ(failureOf(source, from(2)), empty);  // the end is the duration
  EXPECT_EQ(failureOf(source, from(std::nan(""))), empty);
  EXPECT_EQ(failureOf(source, from(0, std::nan(""))), empty);
  EXPECT_EQ(failureOf(source, from(0, -INFINITY)), empty);
  EXPECT_EQ(failureOf(source, from(-INFINITY)), empty);
  EXPECT_EQ(failureOf(source, from(-INFINITY, 1)), empty);
  // Finite, but the stretch overflows once counted in milliseconds.
  EXPECT_EQ(failureOf(source, from(-1e306)), empty);
  EXPECT_EQ(failureOf(source, from(-1.7e308, 1)), empty);
  EXPECT_FALSE(source.lastRange()) << "no range may start after a failed check";
  // A start before the video is kept as it is; an infinite end is cut to the duration.
  EXPECT_EQ(failureOf(source, from(-5, INFINITY)), "(opened)");
}

TEST(VideoRange, AVideoOfUnknownDurationNeedsAnEnd) {
  FakeVideoSource source(fakeInfo(640, 360, 25, std::nullopt), steadyFrames(50, 25, 60));
  EXPECT_EQ(failureOf(source, from(0)), "--end must be after --start\n");
  auto opened = openOn(source, from(0.5, 30));
  ASSERT_TRUE(std::holds_alternative<OpenedRange>(opened));
  EXPECT_EQ(std::get<OpenedRange>(opened).end, 30);  // nothing to cut it to
}

TEST(VideoRange, FailuresBecomeTheirLines) {
  FakeVideoSource silent(VideoInfo{}, {});
  EXPECT_EQ(failureOf(silent, from(0)), "no video track in /v.mp4\n");
  FakeVideoSource sizeless(fakeInfo(0, 0, 25, 1.0), {});
  EXPECT_EQ(failureOf(sizeless, from(0)), "no video track in /v.mp4\n");
  // No track beats a bad range: the track is looked at first.
  EXPECT_EQ(failureOf(silent, from(2, 1)), "no video track in /v.mp4\n");

  FakeVideoSource source(fakeInfo(640, 360, 25, 2.0), steadyFrames(50, 25, 60));
  source.failStarts({RangeStartError::Kind::NoDecoder, ""});
  EXPECT_EQ(failureOf(source, from(0)), "cannot read /v.mp4\n");
  source.failStarts({RangeStartError::Kind::DecoderRefused, "Invalid data found when processing input"});
  EXPECT_EQ(failureOf(source, from(0)), "cannot decode /v.mp4: Invalid data found when processing input\n");
}

}  // namespace
}  // namespace kov
