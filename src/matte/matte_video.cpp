// `matte <video>`: a grey mask movie of the person over a time range, with box samples about twice
// a second.
#include <optional>
#include <string>

#include "cli/options.h"
#include "cli/output.h"
#include "matte/mask_timing.h"
#include "matte/matte_command.h"
#include "matte/matte_masks.h"
#include "matte/matte_report.h"
#include "platform/files/output_file.h"
#include "media_range/video_range.h"
#include "numeric/rounding.h"
#include "numeric/schedule.h"
#include "platform/image/picture.h"
#include "platform/media/video_writer.h"
#include "platform/segment/person_segmenter.h"

namespace kov {
namespace {

constexpr const char* kVideoUsage =
    "usage: kov-vision matte <video> --start <s> --end <s> --out <mask.mp4> [--width 1280]\n";
constexpr double kDefaultWidth = 1280;
constexpr double kSampleInterval = 0.5;
constexpr std::int64_t kBitRate = 12000000;
constexpr int kKeyFrameInterval = 30;

// The movie is written into `file`'s temporary file; `path` is the one messages name.
std::unique_ptr<MovieWriter> startMovie(const std::string& path, const ReplacementFile& file, DecodeSize size,
                                        float frameRate, int timeScale) {
  if (!file.error().empty()) fail("cannot write " + visiblePath(path) + ": " + file.error() + "\n");
  MovieSettings settings;
  settings.path = file.temporaryPath();
  settings.width = size.width;
  settings.height = size.height;
  settings.codec = MovieCodec::H264;
  settings.bitRate = kBitRate;
  settings.keyFrameInterval = kKeyFrameInterval;
  settings.timeBaseNum = 1;
  settings.timeBaseDen = timeScale;
  if (frameRate > 0) settings.frameRate = frameRate;
  settings.quickEncoding = true;  // grey masks: flat areas and one edge
  MovieWriterResult result = createMovieWriter(settings);
  if (result.createFailed) fail("cannot write " + visiblePath(path) + "\n");
  if (!result.writer) fail("cannot write " + visiblePath(path) + ": " + result.reason + "\n");
  return std::move(result.writer);
}

// The box samples: one at the first frame, then at the first frame at least 0.4995 s after the last.
class BoxSampler {
 public:
  void offer(double t, const GreyImage& mask) {
    if (!isDueAt(nextSample_, t)) return;
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

  const std::string videoPath = absolutePath(args.front());
  RangeRequest request;
  request.start = argument("--start", args).value_or(0);
  request.end = argument("--end", args);
  request.width = argument("--width", args);
  request.defaultWidth = kDefaultWidth;
  request.layout = PixelLayout::Bgra;
  RangeOpening opening = openVideoRange(videoPath, request);
  if (auto* failure = std::get_if<RangeFailure>(&opening)) fail(failureLine(*failure, videoPath));
  OpenedRange& range = std::get<OpenedRange>(opening);

  std::string error;
  std::unique_ptr<PersonSegmenter> segmenter = createPersonSegmenter(error);
  if (!segmenter) fail(error);
  std::unique_ptr<PersonDetector> gate = createPersonDetector(error);
  if (!gate) fail(error);

  // The new movie replaces the old one only once it is complete, and never replaces the video being
  // read or anything but a regular file.
  if (sameFile(moviePath, videoPath))
    fail("cannot write " + visiblePath(moviePath) + ": it is the video being read\n");
  ReplacementFile movieFile(moviePath);
  MaskStamps stamps(maskTimeScale(range.info.frameRateNum, range.info.frameRateDen));
  std::unique_ptr<MovieWriter> writer =
      startMovie(moviePath, movieFile, range.size, range.info.frameRate, stamps.scale());

  MovieMasks masks(*segmenter, gate.get());
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
    if (currentMask->width != range.size.width || currentMask->height != range.size.height)
      currentMask = scaleMask(currentMask->view(), range.size.width, range.size.height);
    if (auto reason = writer->appendGrey(currentMask->view(), stamps.stampOf(done.time)))
      fail("cannot write frame " + std::to_string(frames) + ": " + *reason + "\n");
    ++frames;
  };
  while (const DecodedFrame* frame = range.reader->nextFrame()) {
    const double t = frame->time - range.start;
    if (t < 0) continue;
    if (std::optional<FrameMask> done = masks.push(t, frame->bgra(), frame->pixelOwner)) writeFrame(std::move(*done));
  }
  if (std::optional<FrameMask> done = masks.finish()) writeFrame(std::move(*done));
  if (auto reason = range.reader->failure()) fail("decode failed: " + *reason + "\n");
  if (auto reason = writer->finish()) fail("cannot finish " + visiblePath(moviePath) + ": " + *reason + "\n");
  writer.reset();
  if (auto reason = movieFile.commit()) fail("cannot write " + visiblePath(moviePath) + ": " + *reason + "\n");

  MatteReport report;
  report.width = range.size.width;
  report.height = range.size.height;
  report.fps = static_cast<double>(range.info.frameRate);
  report.frames = frames;
  report.box = sampler.unionBox();
  report.sampled = std::move(sampler.samples());
  report.out = moviePath;
  finishWithReport(encodeReport(report));
}

}  // namespace kov
