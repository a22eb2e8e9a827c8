// The JSON reports of `snap` and `scroll`.
#pragma once

#include <string>

namespace kov {

// The picture that `snap` wrote: its true pixel size and its absolute path.
struct SnapReport {
  int width = 0;
  int height = 0;
  std::string out;
};

// What `scroll` recorded. `width` and `height` are the viewport's, `frames` counts every frame
// attempted (also one whose picture could not be made), `page_height` is the measured page.
struct ScrollReport {
  int width = 0;
  int height = 0;
  int frames = 0;
  std::string out;
  double pageHeight = 0;
  std::string title;
};

// Compact JSON with the keys in report order; empty when a number cannot be encoded.
std::string encodeReport(const SnapReport& report);
std::string encodeReport(const ScrollReport& report);

}  // namespace kov
