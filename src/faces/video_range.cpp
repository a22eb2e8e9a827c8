#include "faces/video_range.h"

#include <cmath>

#include "cli/options.h"
#include "cli/output.h"

namespace kov {

DecodeSize decodeSize(double naturalWidth, double naturalHeight, double limit) {
  double scale = std::min(limit / naturalWidth, 1.0);
  DecodeSize size;
  size.width = 2 * static_cast<int>(std::round(naturalWidth * scale * 0.5));
  size.height = 2 * static_cast<int>(std::round(scale * naturalHeight * 0.5));
  return size;
}

double widthLimit(std::optional<double> option, double fallback) {
  return clampNanToLower(option.value_or(fallback), 320, 3840);
}

OpenedRange openVideoRange(const RangeRequest& request) {
  OpenedRange range;
  range.path = absolutePath(request.videoArgument);
  range.reader = openVideo(range.path);
  range.info = range.reader->info();
  if (!range.info.hasTrack || !(range.info.naturalWidth > 0))
    fail("no video track in " + range.path + "\n");

  range.start = request.start;
  range.end = request.end.value_or(range.info.duration);
  if (range.info.duration < range.end) range.end = range.info.duration;
  if (!(range.start < range.end)) fail("--end must be after --start\n");

  range.size = decodeSize(range.info.naturalWidth, range.info.naturalHeight,
                          widthLimit(request.width, request.defaultWidth));
  if (range.size.width <= 0 || range.size.height <= 0 || !range.reader->createDecoder())
    fail("cannot read " + range.path + "\n");
  if (auto reason = range.reader->startReading(range.start, range.end, range.size.width,
                                               range.size.height, request.layout))
    fail("cannot decode " + range.path + ": " + *reason + "\n");
  return range;
}

}  // namespace kov
