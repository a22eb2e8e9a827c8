// The page snapper: loads a web address into an off-screen view with the tool's user agent and a
// private store, lets it settle, and takes one picture (`snap`) or a recorded scroll (`scroll`).
#pragma once

#include <string>

#include "capture/capture_reports.h"
#include "capture/capture_settings.h"
#include "platform/web/browser.h"

namespace kov {

// The user agent every request and `navigator.userAgent` show.
inline constexpr const char* kCaptureUserAgent =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 15_0) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/18.0 Safari/605.1.15";

inline constexpr int kSnapSettleMs = 2000;
inline constexpr int kScrollSettleMs = 2500;
inline constexpr int kScrollFramePauseMs = 40;

// Requests give up after 30 s; the whole navigation wait gets a little more, so a page whose load
// never completes fails with the engine's timeout text instead of keeping the run alive forever.
inline constexpr double kRequestTimeoutSeconds = 30;
inline constexpr double kNavigationLimitSeconds = kRequestTimeoutSeconds + 5;
inline constexpr const char* kNavigationTimedOut = "net::ERR_TIMED_OUT";

class PageSnapper {
 public:
  explicit PageSnapper(Browser& browser) : browser_(browser) {}

  // Writes a PNG of the view's `width` × `height` pixels to `out` (absolute path).
  // Throws CaptureError or BrowserError.
  SnapReport snap(const std::string& url, const std::string& out, int width, int height);

  // Records the eased scroll as frame-%04d.jpg files in the folder `out` (absolute path).
  // Throws CaptureError or BrowserError; frames already written stay.
  ScrollReport scroll(const std::string& url, const std::string& out, int width, int height, double seconds,
                      double fps, double distance);

 private:
  // Host set-up, navigation wait and settle delay shared by both operations.
  std::unique_ptr<Page> openSettledPage(const std::string& url, int width, int height, int settleMs);

  Browser& browser_;
};

// The file name of frame `index` inside the scroll folder.
std::string frameFileName(int index);

}  // namespace kov
