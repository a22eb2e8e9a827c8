#include "faces/report.h"

#include "cli/json.h"

namespace kov {
namespace {

void writeBox(JsonWriter& json, double x, double y, double w, double h) {
  json.key("x").number(x).key("y").number(y).key("w").number(w).key("h").number(h);
}

void writeFace(JsonWriter& json, const FaceRecord& face) {
  json.beginObject();
  writeBox(json, face.x, face.y, face.w, face.h);
  json.key("mouth").number(face.mouth).key("lip").number(face.lip);
  json.key("top").number(face.top).key("bottom").number(face.bottom);
  json.key("conf").number(face.conf);
  if (face.print) {
    json.key("print").beginArray();
    for (float v : *face.print) json.singleNumber(v);
    json.endArray();
  }
  json.endObject();
}

void writeFrame(JsonWriter& json, const FrameRecord& frame) {
  json.beginObject();
  json.key("t").number(frame.t);
  json.key("faces").beginArray();
  for (const auto& face : frame.faces) writeFace(json, face);
  json.endArray();
  if (frame.text) {
    json.key("text").beginArray();
    for (const auto& line : *frame.text) {
      json.beginObject();
      writeBox(json, line.x, line.y, line.w, line.h);
      json.key("s").string(line.s);
      json.endObject();
    }
    json.endArray();
  }
  if (frame.subject) {
    json.key("subject").beginObject();
    writeBox(json, frame.subject->x, frame.subject->y, frame.subject->w, frame.subject->h);
    json.key("conf").number(frame.subject->conf);
    json.endObject();
  }
  json.endObject();
}

}  // namespace

std::string encodeReport(const FacesReport& report) {
  JsonWriter json;
  json.beginObject();
  json.key("width").integer(report.width).key("height").integer(report.height);
  json.key("fps").number(report.fps).key("duration").number(report.duration);
  json.key("frames").beginArray();
  for (const auto& frame : report.frames) writeFrame(json, frame);
  json.endArray();
  json.key("cuts").beginArray();
  for (double cut : report.cuts) json.number(cut);
  json.endArray();
  json.endObject();
  return json.finish();
}

}  // namespace kov
