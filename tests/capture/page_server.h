// A small HTTP server on 127.0.0.1 for the capture tests. It serves the pages below from a thread
// of its own, records every request it receives, and stops when destroyed or after its lifetime,
// whichever comes first.
//
//   /stripes  a page 5000 px tall made of 40 px bands, band k painted in three colours that
//             spell k (see `stripeColours`); title "Stripes 1/2"
//   /moved    redirects to /stripes
//   /short    a 200 px tall page without a title
//   /cookie   sets the cookie "visit=1"; its body and title say whether the request carried it,
//             and its picture /cookie-probe.svg is fetched with whatever cookie the browser holds
//   /agent    a page whose title is `navigator.userAgent`
//   /hang     accepts and never answers
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kov::test {

struct RecordedRequest {
  std::string path;
  std::string userAgent;  // empty when absent
  std::string cookie;     // empty when absent
};

struct Rgb {
  std::uint8_t r, g, b;
};

inline constexpr int kStripeHeight = 40;
inline constexpr int kStripeCount = 125;
inline constexpr int kPaletteSize = 6;
inline constexpr std::array<Rgb, kPaletteSize> kStripePalette = {
    Rgb{0, 0, 0}, Rgb{255, 255, 255}, Rgb{230, 20, 20}, Rgb{20, 190, 20}, Rgb{20, 40, 230}, Rgb{250, 220, 0}};

// Band k is painted left, middle and right third with palette entries k % 6, k / 6 % 6, k / 36 % 6.
std::array<int, 3> stripeColours(int band);

class PageServer {
 public:
  explicit PageServer(std::chrono::seconds lifetime = std::chrono::seconds(300));
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  int port() const { return port_; }
  std::string url(const std::string& path) const;
  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requestsFor(const std::string& path) const;

 private:
  void acceptLoop();
  void serve(int client);
  struct Response;
  static Response respond(const RecordedRequest& request);

  int listener_ = -1;
  int port_ = 0;
  std::chrono::steady_clock::time_point deadline_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<RecordedRequest> requests_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

// A loopback port that nothing listens on (bound, then released).
int refusedPort();

}  // namespace kov::test
