#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>

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

// The reader of a range that is expected to start.
std::unique_ptr<VideoReader> startedRange(VideoSource& source, const RangeSettings& settings) {
  RangeStart started = source.readRange(settings);
  if (auto* error = std::get_if<RangeStartError>(&started)) {
    ADD_FAILURE() << "the range did not start: " << error->reason;
    return nullptr;
  }
  return std::move(std::get<std::unique_ptr<VideoReader>>(started));
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

  auto source = openVideoSource(settings.path);
  ASSERT_TRUE(source->info().hasTrack);
  EXPECT_EQ(source->info().naturalWidth, 320);
  EXPECT_EQ(source->info().naturalHeight, 180);
  EXPECT_FLOAT_EQ(source->info().frameRate, 25.0f);
  EXPECT_EQ(source->info().frameRateNum, 25);
  EXPECT_EQ(source->info().frameRateDen, 1);
  ASSERT_TRUE(source->info().duration);
  EXPECT_NEAR(*source->info().duration, 2.0, 0.05);
  auto reader = startedRange(*source, {0.5, 1.5, 160, 90, PixelLayout::Nv12});
  ASSERT_TRUE(reader);
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

// A grey frame of 322 x 182 (odd chroma halves would show): every level along x, with a bright band
// moving down frame by frame.
GreyImage greyFrame(int index) {
  GreyImage grey{322, 182, std::vector<std::uint8_t>(322 * 182)};
  for (int y = 0; y < grey.height; ++y)
    for (int x = 0; x < grey.width; ++x)
      grey.pixels[static_cast<std::size_t>(y) * grey.width + x] =
          static_cast<std::uint8_t>(std::abs(y - 4 * index) < 10 ? 255 : (x * 255) / (grey.width - 1));
  return grey;
}

std::string decodedPlanes(const std::string& path, const std::string& scratch) {
  test::ffmpeg("-i " + path + " -f rawvideo -pix_fmt yuv420p " + scratch);
  return test::readFile(scratch);
}

TEST(MovieWriter, GreyFramesAreThoseOfTheirGreyPicturesAndQuickEncodingStaysHighProfile) {
  TempDir dir;
  for (bool quick : {false, true}) {
    MovieSettings settings{dir.file("bgra.mp4"), 322, 182, MovieCodec::H264, 12000000, 30, 1, 600, 30};
    settings.quickEncoding = quick;
    MovieSettings greySettings = settings;
    greySettings.path = dir.file("grey.mp4");
    auto fromBgra = createMovieWriter(settings);
    auto fromGrey = createMovieWriter(greySettings);
    ASSERT_TRUE(fromBgra.writer && fromGrey.writer);
    for (int i = 0; i < 12; ++i) {
      GreyImage grey = greyFrame(i);
      BgraImage bgra = solid(grey.width, grey.height, 0, 0, 0, 255);
      for (std::size_t p = 0; p < grey.pixels.size(); ++p)
        std::fill_n(&bgra.pixels[p * 4], 3, grey.pixels[p]);
      ASSERT_FALSE(fromBgra.writer->append(bgra.view(), i * 20));
      ASSERT_FALSE(fromGrey.writer->appendGrey(grey.view(), i * 20));
    }
    ASSERT_FALSE(fromBgra.writer->finish());
    ASSERT_FALSE(fromGrey.writer->finish());

    const std::string a = decodedPlanes(settings.path, dir.file("a.yuv"));
    const std::string b = decodedPlanes(greySettings.path, dir.file("b.yuv"));
    ASSERT_EQ(a.size(), 12u * 322 * 182 * 3 / 2);
    EXPECT_TRUE(a == b) << (quick ? "quick" : "standard");
    // Video-range grey: black 16, white 235, chroma neutral; the encoding all but lossless.
    const auto at = [&](std::size_t i) { return static_cast<int>(static_cast<unsigned char>(b[i])); };
    EXPECT_NEAR(at(static_cast<std::size_t>(100) * 322 + 0), 16, 1);
    EXPECT_NEAR(at(static_cast<std::size_t>(100) * 322 + 321), 235, 1);
    EXPECT_NEAR(at(static_cast<std::size_t>(100) * 322 + 161), 16 + 219 * 128 / 255, 2);
    EXPECT_NEAR(at(322 * 182 + 100), 128, 1);
    auto probe = test::runProgram({"ffprobe", "-v", "error", "-show_entries", "stream=profile,nb_frames", "-of",
                                   "csv=p=0", greySettings.path});
    EXPECT_EQ(probe.out, "High,12\n");
    std::filesystem::remove(settings.path);
    std::filesystem::remove(greySettings.path);
  }

  // Grey frames of another size, or for a codec they do not fit, are refused with a reason.
  MovieSettings settings{dir.file("small.mp4"), 64, 32, MovieCodec::H264, 1000000, 30, 1, 30, 30};
  auto made = createMovieWriter(settings);
  ASSERT_TRUE(made.writer);
  GreyImage wrongSize{32, 32, std::vector<std::uint8_t>(32 * 32)};
  EXPECT_EQ(made.writer->appendGrey(wrongSize.view(), 0), "picture size does not match the movie");
  MovieSettings prores{dir.file("grey.mov"), 64, 32, MovieCodec::ProRes4444, 0, 0, 1, 10, 10};
  auto proresWriter = createMovieWriter(prores);
  ASSERT_TRUE(proresWriter.writer);
  GreyImage grey{64, 32, std::vector<std::uint8_t>(64 * 32)};
  EXPECT_TRUE(proresWriter.writer->appendGrey(grey.view(), 0).has_value());
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

TEST(VideoReader, PicturesTextAudioAndSpecialFilesHaveNoVideoTrack) {
  TempDir dir;
  test::writeFile(dir.file("notes.txt"), "just some words\n");
  test::ffmpeg("-f lavfi -i sine=d=1 " + dir.file("tone.m4a"));
  test::ffmpeg("-f lavfi -i color=red:s=32x32 -frames:v 1 " + dir.file("still.png"));
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);  // opening it for reading would wait for a writer
  std::filesystem::create_directory(dir.file("folder.mp4"));
  for (const char* name : {"notes.txt", "tone.m4a", "still.png", "missing.mp4", "fifo", "folder.mp4"}) {
    auto source = openVideoSource(dir.file(name));
    EXPECT_FALSE(source->info().hasTrack) << name;
    RangeStart started = source->readRange({0, 1, 64, 64, PixelLayout::Nv12});
    auto* error = std::get_if<RangeStartError>(&started);
    ASSERT_TRUE(error) << name;
    EXPECT_EQ(error->kind, RangeStartError::Kind::NoDecoder);
  }
  EXPECT_FALSE(openVideoSource("/dev/zero")->info().hasTrack);
}

// Raw H.264 carries no times at all; a WebM written to a pipe, as recorders write it, carries
// times but no duration.
TEST(VideoReader, StreamsWithoutADurationAreMeasuredAndTimed) {
  TempDir dir;
  const std::string source = "-f lavfi -i testsrc2=s=160x90:r=25:d=2 ";
  test::ffmpeg(source + "-c:v libx264 -preset ultrafast -pix_fmt yuv420p " + dir.file("raw.h264"));
  test::ffmpeg(source + "-c:v libvpx -deadline realtime -f webm pipe:1 > " + dir.file("streamed.webm"));
  for (const char* name : {"raw.h264", "streamed.webm"}) {
    auto video = openVideoSource(dir.file(name));
    ASSERT_TRUE(video->info().hasTrack) << name;
    ASSERT_TRUE(video->info().duration) << name;
    EXPECT_NEAR(*video->info().duration, 2.0, 1e-6) << name;
    // A second range opens the file again.
    for (int pass = 0; pass < 2; ++pass) {
      auto reader = startedRange(*video, {0.5, 1.5, 80, 46, PixelLayout::Nv12});
      ASSERT_TRUE(reader);
      std::vector<double> times;
      std::vector<int> luma;
      collect(*reader, times, luma);
      EXPECT_FALSE(reader->failure()) << name << ": " << *reader->failure();
      ASSERT_EQ(times.size(), 25u) << name;
      EXPECT_NEAR(times.front(), 0.52, 1e-6) << name;
      EXPECT_NEAR(times.back(), 1.48, 1e-6) << name;
    }
  }
}

TEST(VideoReader, ConvertsToBgraAtTheRequestedSize) {
  TempDir dir;
  test::ffmpeg("-f lavfi -i color=c=0x2080E0:s=640x360:r=10:d=1 -pix_fmt yuv420p " + dir.file("blue.mp4"));
  auto source = openVideoSource(dir.file("blue.mp4"));
  auto reader = startedRange(*source, {0, 1, 320, 180, PixelLayout::Bgra});
  ASSERT_TRUE(reader);
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
