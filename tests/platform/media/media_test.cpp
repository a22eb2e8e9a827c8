#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "platform/media/video_reader.h"
#include "platform/media/video_writer.h"
#include "support/fixtures.h"
#include "support/tool_run.h"

namespace kov {
namespace {

using test::TempDir;

BgraImage solid(int width, int height, std::uint8_t b, std::uint8_t g, std::uint8_t r, std::uint8_t a) {
  BgraImage image{width, height, std::vector<std::uint8_t>(static_cast<size_t>(width) * height * 4)};
  for (size_t i = 0; i < image.pixels.size(); i += 4) {
    image.pixels[i] = b;
    image.pixels[i + 1] = g;
    image.pixels[i + 2] = r;
    image.pixels[i + 3] = a;
  }
  return image;
}

std::vector<const DecodedFrame*> collect(VideoReader& reader, std::vector<double>& times,
                                         std::vector<int>& lumaAtCentre) {
  std::vector<const DecodedFrame*> frames;
  while (const DecodedFrame* frame = reader.nextFrame()) {
    times.push_back(frame->time);
    lumaAtCentre.push_back(frame->luma().at(frame->width / 2, frame->height / 2));
    frames.push_back(frame);
  }
  return frames;
}

TEST(MovieWriter, WritesH264FramesAtTheirTimesAndTheReaderGetsThemBack) {
  TempDir dir;
  MovieSettings settings{dir.file("grey.mp4"), 320, 180, MovieCodec::H264, 12000000, 30, 1, 600, 25};
  auto made = createMovieWriter(settings);
  ASSERT_TRUE(made.writer) << made.reason;
  for (int i = 0; i < 50; ++i) {
    std::uint8_t level = i < 25 ? 20 : 230;  // dark first second, bright second
    BgraImage picture = solid(320, 180, level, level, level, 255);
    ASSERT_FALSE(made.writer->append(picture.view(), i * 24));
  }
  ASSERT_FALSE(made.writer->finish());

  auto reader = openVideo(settings.path);
  ASSERT_TRUE(reader->info().hasTrack);
  EXPECT_EQ(reader->info().naturalWidth, 320);
  EXPECT_EQ(reader->info().naturalHeight, 180);
  EXPECT_FLOAT_EQ(reader->info().frameRate, 25.0f);
  EXPECT_NEAR(reader->info().duration, 2.0, 0.05);
  ASSERT_TRUE(reader->createDecoder());
  ASSERT_FALSE(reader->startReading(0.5, 1.5, 160, 90, PixelLayout::Nv12));
  std::vector<double> times;
  std::vector<int> luma;
  auto frames = collect(*reader, times, luma);
  EXPECT_FALSE(reader->failure());
  ASSERT_EQ(times.size(), 25u);  // [0.5, 1.5) at 25 fps
  EXPECT_NEAR(times.front(), 0.52, 1e-6);
  EXPECT_NEAR(times.back(), 1.48, 1e-6);
  EXPECT_LT(luma.front(), 40);  // video-range dark grey
  EXPECT_GT(luma.back(), 200);
}

TEST(MovieWriter, KeepsAlphaInProRes4444) {
  TempDir dir;
  MovieSettings settings{dir.file("alpha.mov"), 64, 32, MovieCodec::ProRes4444, 0, 0, 1, 10, 10};
  auto made = createMovieWriter(settings);
  ASSERT_TRUE(made.writer) << made.reason;
  BgraImage picture = solid(64, 32, 0, 0, 255, 255);
  for (int y = 0; y < 32; ++y)
    for (int x = 32; x < 64; ++x) picture.pixels[(y * 64 + x) * 4 + 3] = 0;  // right half clear
  for (int i = 0; i < 3; ++i) ASSERT_FALSE(made.writer->append(picture.view(), i));
  ASSERT_FALSE(made.writer->finish());

  auto probe = test::runProgram({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name,pix_fmt,nb_frames",
                                 "-of", "csv=p=0", settings.path});
  EXPECT_EQ(probe.out, "prores,yuva444p12le,3\n");
  test::ffmpeg("-i " + settings.path + " -frames:v 1 -f rawvideo -pix_fmt rgba " + dir.file("f.rgba"));
  std::string rgba = test::readFile(dir.file("f.rgba"));
  ASSERT_EQ(rgba.size(), 64u * 32 * 4);
  auto alphaAt = [&](int x, int y) { return static_cast<unsigned char>(rgba[(y * 64 + x) * 4 + 3]); };
  auto redAt = [&](int x, int y) { return static_cast<unsigned char>(rgba[(y * 64 + x) * 4]); };
  EXPECT_EQ(alphaAt(5, 16), 255);
  EXPECT_GT(redAt(5, 16), 200);
  EXPECT_EQ(alphaAt(60, 16), 0);
}

TEST(MovieWriter, ReportsUnwritablePathsWhenWritingStarts) {
  MovieSettings settings{"/nonexistent-folder/x.mp4", 64, 64, MovieCodec::H264, 1000000, 30, 1, 30, 30};
  auto made = createMovieWriter(settings);
  EXPECT_FALSE(made.writer);
  EXPECT_FALSE(made.createFailed);
  EXPECT_EQ(made.reason, "No such file or directory");
}

TEST(VideoReader, PicturesTextAndAudioHaveNoVideoTrack) {
  TempDir dir;
  test::writeFile(dir.file("notes.txt"), "just some words\n");
  test::ffmpeg("-f lavfi -i sine=d=1 " + dir.file("tone.m4a"));
  test::ffmpeg("-f lavfi -i color=red:s=32x32 -frames:v 1 " + dir.file("still.png"));
  for (const char* name : {"notes.txt", "tone.m4a", "still.png", "missing.mp4"})
    EXPECT_FALSE(openVideo(dir.file(name))->info().hasTrack) << name;
}

TEST(VideoReader, ConvertsToBgraAtTheRequestedSize) {
  TempDir dir;
  test::ffmpeg("-f lavfi -i color=c=0x2080E0:s=640x360:r=10:d=1 -pix_fmt yuv420p " + dir.file("blue.mp4"));
  auto reader = openVideo(dir.file("blue.mp4"));
  ASSERT_TRUE(reader->createDecoder());
  ASSERT_FALSE(reader->startReading(0, 1, 320, 180, PixelLayout::Bgra));
  const DecodedFrame* frame = reader->nextFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, 320);
  EXPECT_EQ(frame->height, 180);
  const std::uint8_t* px = frame->planes[0] + 90 * frame->strides[0] + 160 * 4;
  EXPECT_NEAR(px[0], 0xE0, 6);  // blue
  EXPECT_NEAR(px[1], 0x80, 6);  // green
  EXPECT_NEAR(px[2], 0x20, 6);  // red
}

}  // namespace
}  // namespace kov
