#include "matte/matte_report.h"

#include <algorithm>

#include "cli/json.h"
#include "numeric/rounding.h"

namespace kov {
namespace {

void writeBox(JsonWriter& json, const MatteBox& box) {
  json.beginObject().members({{"x", box.x}, {"y", box.y}, {"w", box.w}, {"h", box.h}}).endObject();
}

}  // namespace

std::optional<MatteBox> maskBox(const GreyView& mask) {
  if (!mask.data) return std::nullopt;
  const std::int64_t width = mask.width, height = mask.height, stride = mask.stride;
  if (height < 1) return std::nullopt;
  std::int64_t minX = width, minY = height, maxX = -1, maxY = -1;
  for (std::int64_t y = 0; y < height; y += 2) {
    const std::uint8_t* row = mask.data + y * stride;
    for (std::int64_t x = 0; x < width; x += 2) {
      if (row[x] < 128) continue;
      minX = std::min(minX, x);
      maxX = std::max(maxX, x);
      minY = std::min(minY, y);
      maxY = std::max(maxY, y);
    }
  }
  if (maxX < 0) return std::nullopt;
  const double w = static_cast<double>(width), h = static_cast<double>(height);
  MatteBox box;
  box.x = round3(static_cast<double>(minX) / w);
  box.y = round3(static_cast<double>(minY) / h);
  box.w = round3(static_cast<double>(maxX - minX + 1) / w);
  box.h = round3(static_cast<double>(maxY - minY + 1) / h);
  return box;
}

MatteBox unionOf(const MatteBox& a, const MatteBox& b) {
  double left = std::min(a.x, b.x), top = std::min(a.y, b.y);
  double right = std::max(a.x + a.w, b.x + b.w), bottom = std::max(a.y + a.h, b.y + b.h);
  return {left, top, right - left, bottom - top};
}

std::string encodeReport(const MatteReport& report) {
  JsonWriter json;
  json.beginObject().members(
      {{"width", report.width}, {"height", report.height}, {"fps", report.fps}, {"frames", report.frames}});
  if (report.box) {
    json.key("box");
    writeBox(json, *report.box);
  }
  json.key("sampled").beginArray();
  for (const MatteFrameBox& sample : report.sampled) {
    json.beginObject();
    json.key("t").number(sample.t);
    if (sample.box) {
      json.key("box");
      writeBox(json, *sample.box);
    }
    json.endObject();
  }
  json.endArray();
  json.key("out").string(report.out);
  json.endObject();
  return json.finish();
}

}  // namespace kov
