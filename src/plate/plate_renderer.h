// Renders a local HTML page into a movie, one frame per 1/fps seconds of page time. Before each
// frame the page is told the time through its own hook, window.plate.seek(t), which may return a
// promise; the frame is taken once that has settled.
#pragma once

#include <cstdint>
#include <string>

#include "plate/plate_report.h"
#include "platform/web/browser.h"

namespace kov {

// Run once all fonts have loaded and every image has decoded or failed to.
inline constexpr const char* kPlateReadyScript =
    "await document.fonts.ready; await Promise.all([...document.images].map(i => i.decode().catch(() => 0))); "
    "return 1";

// Run before every frame with the argument t, the frame's page time in seconds.
inline constexpr const char* kPlateSeekScript =
    "if (window.plate && window.plate.seek) { await window.plate.seek(t); } return 1";

class PlateRenderer {
 public:
  // `page` and `output` are absolute paths; the values are already checked and clamped (width and
  // height even and positive, fps 1..60, seconds 0.2..30).
  PlateRenderer(std::string page, std::string output, std::int64_t width, std::int64_t height, std::int64_t fps,
                double seconds, bool alpha);

  // Loads the page, writes the movie and returns its report. Throws PlateError for failures of its
  // own and BrowserError for what the browser reports (a failed load, a throwing seek, ...).
  PlateReport run(Browser& browser);

 private:
  std::string page_;
  std::string output_;
  std::int64_t width_;
  std::int64_t height_;
  std::int64_t fps_;
  double seconds_;
  bool alpha_;
};

}  // namespace kov
