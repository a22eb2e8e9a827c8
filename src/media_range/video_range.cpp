#include "media_range/video_range.h"

#include <cmath>

#include "cli/options.h"

namespace kov {
namespace {

// Frame times are counted from the start and reported in milliseconds, so the whole stretch must
// stay finite in those units: a start like -1e306 passes `start < end` but would not.
bool isUsableRange(double start, double end) {
  return std::isfinite(start) && std::isfinite(end) && start < end && std::isfinite((end - start) * 1000);
}

RangeFailure failureOf(const RangeStartError& error) {
  if (error.kind == RangeStartError::Kind::NoDecoder) return {RangeFailure::Kind::CannotRead, {}};
  return {RangeFailure::Kind::CannotDecode, error.reason};
}

}  // namespace

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

RangeOpening openRange(VideoSource& source, const RangeRequest& request) {
  OpenedRange range;
  range.info = source.info();
  if (!range.info.hasTrack || !(range.info.naturalWidth > 0)) return RangeFailure{RangeFailure::Kind::NoVideoTrack, {}};

  range.start = request.start;
  range.end = request.end.value_or(range.info.duration.value_or(INFINITY));
  if (range.info.duration && *range.info.duration < range.end) range.end = *range.info.duration;
  if (!isUsableRange(range.start, range.end)) return RangeFailure{RangeFailure::Kind::EmptyRange, {}};

  range.size = decodeSize(range.info.naturalWidth, range.info.naturalHeight,
                          widthLimit(request.width, request.defaultWidth));
  if (range.size.width <= 0 || range.size.height <= 0) return RangeFailure{RangeFailure::Kind::CannotRead, {}};
  RangeStart started =
      source.readRange({range.start, range.end, range.size.width, range.size.height, request.layout});
  if (auto* error = std::get_if<RangeStartError>(&started)) return failureOf(*error);
  range.reader = std::move(std::get<std::unique_ptr<VideoReader>>(started));
  return range;
}

RangeOpening openVideoRange(const std::string& path, const RangeRequest& request) {
  std::unique_ptr<VideoSource> source = openVideoSource(path);
  return openRange(*source, request);
}

std::string failureLine(const RangeFailure& failure, const std::string& path) {
  switch (failure.kind) {
    case RangeFailure::Kind::NoVideoTrack:
      return "no video track in " + path + "\n";
    case RangeFailure::Kind::EmptyRange:
      return "--end must be after --start\n";
    case RangeFailure::Kind::CannotRead:
      return "cannot read " + path + "\n";
    case RangeFailure::Kind::CannotDecode:
      return "cannot decode " + path + ": " + failure.reason + "\n";
  }
  return "cannot read " + path + "\n";
}

}  // namespace kov
