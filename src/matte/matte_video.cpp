// `matte <video>`: a grey mask movie of the person over a time range, with box samples about twice
// a second.
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>

#include "cli/json.h"
#include "cli/options.h"
#include "cli/output.h"
#include "faces/video_range.h"
#include "matte/matte_command.h"
#include "matte/matte_masks.h"
#include "matte/matte_report.h"
#include "platform/image/picture.h"
#include "platform/media/video_writer.h"
#include "platform/segment/person_segmenter.h"

namespace kov {
namespace {

constexpr const char* kVideoUsage =
    "usage: kov-vision matte <video> --start <s> --end <s> --out <mask.mp4> [--width 1280]\n";
constexpr double kDefaultWidth = 1280;
constexpr double kSampleInterval = 0.5;
constexpr double kTimeTolerance = 0.0005;
constexpr std::int64_t kBitRate = 12000000;
constexpr int kKeyFrameInterval = 30;
constexpr int kTimeScale = 600;

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec);
}

// An old movie is removed before writing starts; a folder of that name is left alone (writing then
// fails with the writer's reason).
void removeOldMovie(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_directory(std::filesystem::symlink_status(path, ec))) std::filesystem::remove(path, ec);
}

std::unique_ptr<MovieWriter> startMovie(const std::string& path, DecodeSize size, float frameRate) {
  MovieSettings settings;
  settings.path = path;
  settings.width = size.width;
  settings.height = size.height;
  settings.codec = MovieCodec::H264;
  settings.bitRate = kBitRate;
  settings.keyFrameInterval = kKeyFrameInterval;
  settings.timeBaseNum = 1;
  settings.timeBaseDen = kTimeScale;
  if (frameRate > 0) settings.frameRate = frameRate;
  MovieWriterResult result = createMovieWriter(settings);
  if (result.createFailed) fail("cannot write " + path + "\n");
  if (!result.writer) fail("cannot write " + path + ": " + result.reason + "\n");
  return std::move(result.writer);
}

// The box samples: one at the first frame, then at the first frame at least 0.4995 s after the last.
class BoxSampler {
 public:
  void offer(double t, const GreyImage& mask) {
    if (nextSample_ > t + kTimeTolerance) return;
    std::optional<MatteBox> box = maskBox(mask.view());
    if (box) unionBox_ = unionBox_ ? unionOf(*unionBox_, *box) : *box;
    samples_.push_back({round3(t), box});
    nextSample_ = t + kSampleInterval;
  }

  const std::optional<MatteBox>& unionBox() const { return unionBox_; }
  std::vector<MatteFrameBox>& samples() { return samples_; }

 private:
  double nextSample_ = 0;
  std::optional<MatteBox> unionBox_;
  std::vector<MatteFrameBox> samples_;
};

}  // namespace

void matteVideo(const Args& args) {
  std::optional<std::string> outArgument = textOption("--out", args);
  if (!outArgument) fail(kVideoUsage);
  const std::string moviePath = absolutePath(*outArgument);

  RangeRequest request;
  request.videoArgument = args.front();
  request.start = argument("--start", args).value_or(0);
  request.end = argument("--end", args);
  request.width = argument("--width", args);
  request.defaultWidth = kDefaultWidth;
  request.layout = PixelLayout::Bgra;
  OpenedRange range = openVideoRange(request);

  std::string error;
  std::unique_ptr<PersonSegmenter> segmenter = createPersonSegmenter(error);
  if (!segmenter) fail(error);

  // Deleting the old movie first would destroy the video being read.
  if (sameFile(moviePath, range.path)) fail("cannot write " + moviePath + ": it is the video being read\n");
  removeOldMovie(moviePath);
  std::unique_ptr<MovieWriter> writer = startMovie(moviePath, range.size, range.info.frameRate);

  MovieMasks masks(*segmenter);
  BgraImage picture{range.size.width, range.size.height,
                    std::vector<std::uint8_t>(static_cast<std::size_t>(range.size.width) * range.size.height * 4)};
  std::optional<GreyImage> currentMask;
  BoxSampler sampler;
  std::int64_t frames = 0;

  // Masks come back one frame late (a frame is refined while the next one is segmented).
  auto writeFrame = [&](FrameMask done) {
    if (done.mask)
      currentMask = std::move(done.mask);
    else if (!currentMask)
      return;
    sampler.offer(done.time, *currentMask);
    drawMaskAsGrey(currentMask->view(), picture);
    if (auto reason = writer->append(picture.view(), std::llround(done.time * kTimeScale)))
      fail("cannot write frame " + std::to_string(frames) + ": " + *reason + "\n");
    ++frames;
  };
  while (const DecodedFrame* frame = range.reader->nextFrame()) {
    const double t = frame->time - range.start;
    if (t < 0) continue;
    if (std::optional<FrameMask> done = masks.push(t, frame->bgra())) writeFrame(std::move(*done));
  }
  if (std::optional<FrameMask> done = masks.finish()) writeFrame(std::move(*done));
  if (auto reason = range.reader->failure()) fail("decode failed: " + *reason + "\n");
  if (auto reason = writer->finish()) fail("cannot finish " + moviePath + ": " + *reason + "\n");

  MatteReport report;
  report.width = range.size.width;
  report.height = range.size.height;
  report.fps = static_cast<double>(range.info.frameRate);
  report.frames = frames;
  report.box = sampler.unionBox();
  report.sampled = std::move(sampler.samples());
  report.out = moviePath;
  finishWithReport(encodeMatteReport(report));
}

}  // namespace kov
