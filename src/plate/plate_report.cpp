#include "plate/plate_report.h"

#include <algorithm>
#include <cmath>

#include "cli/json.h"

namespace kov {

std::string encodeReport(const PlateReport& report) {
  JsonWriter json;
  json.beginObject();
  json.key("frames").integer(report.frames);
  json.key("width").integer(report.width);
  json.key("height").integer(report.height);
  json.key("fps").number(report.fps);
  json.key("out").string(report.out);
  json.endObject();
  return json.finish();
}

std::int64_t plateFrameCount(double seconds, std::int64_t fps) {
  return std::max<std::int64_t>(1, std::llround(seconds * static_cast<double>(fps)));
}

double plateFrameTime(std::int64_t index, std::int64_t fps) {
  return static_cast<double>(index) / static_cast<double>(fps);
}

}  // namespace kov
