#include "capture/page_snapper.h"

#include <cmath>
#include <cstdio>

#include "capture/capture_error.h"
#include "capture/output_paths.h"
#include "capture/scroll_motion.h"
#include "platform/files/output_file.h"
#include "platform/image/picture_codec.h"

namespace kov {
namespace {

// A height that is not a finite number falls back to the viewport: nothing scrolls, and the
// report stays encodable.
double pageHeightFrom(const ScriptValue& value, int viewportHeight) {
  if (const double* number = std::get_if<double>(&value); number && std::isfinite(*number)) return *number;
  return viewportHeight;
}

std::string titleFrom(const ScriptValue& value) {
  if (const std::string* text = std::get_if<std::string>(&value)) return *text;
  return {};
}

// The measuring and scrolling expressions are trivial; a page too busy to answer them within this
// long is treated like one whose expression failed.
constexpr double kExpressionLimitSeconds = 10;

// Expressions whose failure is not worth a failed run: the caller falls back to a default.
ScriptValue evaluateOrNothing(Page& page, const std::string& expression) {
  try {
    return page.evaluate(expression, kExpressionLimitSeconds);
  } catch (const BrowserError&) {
    return std::monostate{};
  }
}

std::string encodedPicture(Page& page, PictureFormat format) {
  CaptureRequest request;
  request.format = format;
  request.jpegQuality = 88;
  request.keepEncoded = true;
  request.decode = false;
  return std::move(page.capture(request).encoded);
}

// A navigation that ran out of time is reported the way the engine reports a request that timed out.
void navigateWithinLimit(Page& page, const std::string& url, double limitSeconds) {
  try {
    page.navigate(url, limitSeconds);
  } catch (const BrowserTimeout&) {
    throw CaptureError(kNavigationTimedOut);
  }
}

// The picture replaces a regular file (or nothing) only once it is complete on disk. A refused path
// is named; the system's own failures keep their bare description.
void writeOrThrow(const std::string& path, const std::string& bytes) {
  if (std::string refusal = outputRefusal(path); !refusal.empty()) throw CaptureError(refusal);
  if (auto error = replaceFile(path, bytes)) throw CaptureError(*error);
}

}  // namespace

std::string frameFileName(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "frame-%04d.jpg", index);
  return name;
}

std::unique_ptr<Page> PageSnapper::openSettledPage(const std::string& url, int width, int height, int settleMs) {
  PageOptions options;
  options.width = width;
  options.height = height;
  options.userAgent = kCaptureUserAgent;
  std::unique_ptr<Page> page = browser_.openPage(options);
  navigateWithinLimit(*page, url, kNavigationLimitSeconds);
  page->sleep(settleMs);
  return page;
}

SnapReport PageSnapper::snap(const std::string& url, const std::string& out, int width, int height) {
  auto page = openSettledPage(url, width, height, kSnapSettleMs);
  std::string png = encodedPicture(*page, PictureFormat::Png);
  std::optional<PixelSize> size = pngSize(png);
  if (!size) throw CaptureError(kPageNotDrawn);
  if (!pngDecodes(png)) throw CaptureError(kPageNotSaved);
  writeOrThrow(out, png);
  return {size->width, size->height, out};
}

ScrollReport PageSnapper::scroll(const std::string& url, const std::string& out, int width, int height,
                                 double seconds, double fps, double distance) {
  auto page = openSettledPage(url, width, height, kScrollSettleMs);
  double pageHeight = pageHeightFrom(evaluateOrNothing(*page, "document.documentElement.scrollHeight"), height);
  std::string title = titleFrom(evaluateOrNothing(*page, "document.title"));
  if (auto error = createFolders(out)) throw CaptureError(*error);

  int frames = scrollFrameCount(fps, seconds);
  double travel = scrollTravel(pageHeight, height, distance);
  for (int i = 0; i < frames; ++i) {
    evaluateOrNothing(*page, scrollScript(scrollPosition(i, frames, travel)));
    page->sleep(kScrollFramePauseMs);
    std::string jpeg = encodedPicture(*page, PictureFormat::Jpeg);
    if (!jpegSize(jpeg)) continue;  // nothing drawn for this frame: its number stays unused
    writeOrThrow(out + "/" + frameFileName(i), jpeg);
  }
  return {width, height, frames, out, pageHeight, std::move(title)};
}

}  // namespace kov
