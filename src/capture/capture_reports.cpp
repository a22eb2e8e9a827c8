#include "capture/capture_reports.h"

#include "cli/json.h"

namespace kov {

std::string encodeReport(const SnapReport& report) {
  JsonWriter json;
  json.beginObject();
  json.key("width").integer(report.width);
  json.key("height").integer(report.height);
  json.key("out").string(report.out);
  json.endObject();
  return json.finish();
}

std::string encodeReport(const ScrollReport& report) {
  JsonWriter json;
  json.beginObject();
  json.key("width").integer(report.width);
  json.key("height").integer(report.height);
  json.key("frames").integer(report.frames);
  json.key("out").string(report.out);
  json.key("page_height").number(report.pageHeight);
  json.key("title").string(report.title);
  json.endObject();
  return json.finish();
}

}  // namespace kov
