#include "plate/plate_renderer.h"

#include <memory>

#include "plate/movie_feeder.h"
#include "numeric/number_text.h"
#include "platform/files/output_file.h"
#include "platform/media/video_writer.h"
#include "platform/process/visible_text.h"

namespace kov {
namespace {

// Nothing about a local page should take this long; the limits only stop a page that never answers
// from keeping the tool (and its browser) alive forever.
constexpr double kLoadLimitSeconds = 60;
constexpr double kReadyLimitSeconds = 60;
constexpr double kSeekLimitSeconds = 60;
constexpr std::int64_t kBitRate = 10000000;

// Fonts and images that never settle are not worth failing over: the frames show what there is.
void waitForFontsAndImages(Page& page) {
  try {
    page.runAsync(kPlateReadyScript, {}, kReadyLimitSeconds);
  } catch (const BrowserTimeout&) {
  } catch (const BrowserError&) {
    page.evaluate("1");  // only a page that still answers may go on; a crashed one throws here
  }
}

void seek(Page& page, double time) {
  try {
    page.runAsync(kPlateSeekScript, {{"t", time}}, kSeekLimitSeconds);
  } catch (const BrowserTimeout&) {
    throw PlateError("window.plate.seek(" + numberText(time, 17) + ") did not settle within " +
                     numberText(kSeekLimitSeconds, 17) + " seconds");
  }
}

std::string cannotWrite(const std::string& output, const std::string& reason) {
  return "cannot write " + visiblePath(output) + ": " + (reason.empty() ? "unknown" : reason);
}

// The movie goes into `file`'s temporary file; `output` is the path that messages name.
std::unique_ptr<MovieWriter> startMovie(const std::string& output, const ReplacementFile& file, std::int64_t width,
                                        std::int64_t height, std::int64_t fps, bool alpha) {
  if (!file.error().empty()) throw PlateError(cannotWrite(output, file.error()));
  MovieSettings settings;
  settings.path = file.temporaryPath();
  settings.width = static_cast<int>(width);
  settings.height = static_cast<int>(height);
  settings.codec = alpha ? MovieCodec::ProRes4444 : MovieCodec::H264;
  settings.bitRate = kBitRate;
  settings.keyFrameInterval = static_cast<int>(fps);
  settings.timeBaseNum = 1;
  settings.timeBaseDen = static_cast<int>(fps);
  settings.frameRate = static_cast<double>(fps);
  MovieWriterResult made = createMovieWriter(settings);
  if (made.createFailed) throw PlateError(made.reason);
  if (!made.writer) throw PlateError(cannotWrite(output, made.reason));
  return std::move(made.writer);
}

}  // namespace

PlateRenderer::PlateRenderer(std::string page, std::string output, std::int64_t width, std::int64_t height,
                             std::int64_t fps, double seconds, bool alpha)
    : page_(std::move(page)),
      output_(std::move(output)),
      width_(width),
      height_(height),
      fps_(fps),
      seconds_(seconds),
      alpha_(alpha) {}

PlateReport PlateRenderer::run(Browser& browser) {
  std::unique_ptr<Page> page =
      browser.openPage({static_cast<int>(width_), static_cast<int>(height_), alpha_, std::nullopt});
  page->navigate(fileUrl(page_), kLoadLimitSeconds);
  waitForFontsAndImages(*page);

  // The old movie stays until the new one is complete; a failure or a signal leaves no part behind.
  ReplacementFile movieFile(output_);
  std::unique_ptr<MovieWriter> movie = startMovie(output_, movieFile, width_, height_, fps_, alpha_);
  const std::int64_t frames = plateFrameCount(seconds_, fps_);
  const CaptureRequest lossless{PictureFormat::Png, 0, true, false};
  {
    MovieFeeder feeder(*movie);
    for (std::int64_t i = 0; i < frames; ++i) {
      seek(*page, plateFrameTime(i, fps_));
      feeder.push(i, page->capture(lossless).encoded);
    }
    feeder.drain();
  }
  if (auto reason = movie->finish()) throw PlateError("cannot finish " + visiblePath(output_) + ": " + *reason);
  movie.reset();
  if (auto reason = movieFile.commit()) throw PlateError(cannotWrite(output_, *reason));
  return {frames, width_, height_, static_cast<double>(fps_), output_};
}

}  // namespace kov
