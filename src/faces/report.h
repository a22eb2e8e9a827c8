// The records of the `faces` report and their JSON form.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kov {

struct FaceRecord {
  double x = 0, y = 0, w = 0, h = 0;  // top-left origin, fractions of the frame
  double mouth = 0;
  double lip = 0;
  double top = 0, bottom = 1;  // picture band, rounded
  double conf = 0;             // widened from single precision
  std::optional<std::vector<float>> print;
};

struct TextLineRecord {
  double x = 0, y = 0, w = 0, h = 0;  // rounded
  std::string s;
};

struct SubjectRecord {
  double x = 0, y = 0, w = 0, h = 0;
  double conf = 0;
};

struct FrameRecord {
  double t = 0;  // rounded
  std::vector<FaceRecord> faces;
  std::optional<std::vector<TextLineRecord>> text;
  std::optional<SubjectRecord> subject;
};

struct FacesReport {
  long long width = 0;
  long long height = 0;
  double fps = 0;
  double duration = 0;
  std::vector<FrameRecord> frames;
  std::vector<double> cuts;
};

// The compact JSON document, or an empty text when a value is not finite.
std::string encodeReport(const FacesReport& report);

}  // namespace kov
