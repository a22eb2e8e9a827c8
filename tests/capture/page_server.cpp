#include "capture/page_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace kov::test {
namespace {

constexpr int kPollMs = 50;
constexpr auto kRequestReadLimit = std::chrono::seconds(10);

std::string cssColour(const Rgb& c) {
  char text[16];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", c.r, c.g, c.b);
  return text;
}

std::string stripesPage() {
  std::string html =
      "<!doctype html><html><head><title>Stripes 1/2</title><style>"
      "html,body{margin:0;padding:0}div{height:40px}</style></head><body>";
  for (int band = 0; band < kStripeCount; ++band) {
    auto c = stripeColours(band);
    html += "<div style=\"background:linear-gradient(to right," + cssColour(kStripePalette[c[0]]) + " 0 33.3%," +
            cssColour(kStripePalette[c[1]]) + " 33.3% 66.6%," + cssColour(kStripePalette[c[2]]) + " 66.6%)\"></div>";
  }
  return html + "</body></html>";
}

std::string shortPage() {
  return "<!doctype html><html><head><style>html,body{margin:0}</style></head>"
         "<body><div style=\"height:200px;background:#1428e6\"></div></body></html>";
}

std::string cookiePage(bool sawCookie) {
  std::string verdict = sawCookie ? "cookie seen" : "first visit";
  return "<!doctype html><html><head><title>" + verdict + "</title></head><body><p>" + verdict +
         "</p><img src=\"/cookie-probe.svg\"></body></html>";
}

std::string agentPage() {
  return "<!doctype html><html><head><title>none</title>"
         "<script>document.title = navigator.userAgent;</script></head><body>agent</body></html>";
}

std::string probePicture() {
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1\" height=\"1\"></svg>";
}

std::string headerValue(const std::string& head, const std::string& name) {
  // Header names compare without case; values run to the end of their line.
  size_t pos = 0;
  while ((pos = head.find("\r\n", pos)) != std::string::npos) {
    pos += 2;
    size_t colon = head.find(':', pos);
    size_t end = head.find("\r\n", pos);
    if (colon == std::string::npos || end == std::string::npos || colon > end) continue;
    std::string key = head.substr(pos, colon - pos);
    if (key.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < key.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(key[i])) != std::tolower(static_cast<unsigned char>(name[i])))
        same = false;
    if (!same) continue;
    size_t start = head.find_first_not_of(' ', colon + 1);
    return start >= end ? std::string() : head.substr(start, end - start);
  }
  return {};
}

bool waitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

}  // namespace

std::array<int, 3> stripeColours(int band) {
  return {band % kPaletteSize, band / kPaletteSize % kPaletteSize, band / (kPaletteSize * kPaletteSize) % kPaletteSize};
}

struct PageServer::Response {
  std::string status = "200 OK";
  std::string type = "text/html; charset=utf-8";
  std::string headers;
  std::string body;
  bool hang = false;
};

PageServer::PageServer(std::chrono::seconds lifetime) : deadline_(std::chrono::steady_clock::now() + lifetime) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 64) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("test page server cannot listen on 127.0.0.1");
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

PageServer::~PageServer() {
  stopping_ = true;
  acceptor_.join();
  for (auto& connection : connections_) connection.join();
  ::close(listener_);
}

std::string PageServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<RecordedRequest> PageServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<RecordedRequest> PageServer::requestsFor(const std::string& path) const {
  std::vector<RecordedRequest> matching;
  for (auto& request : requests())
    if (request.path == path) matching.push_back(request);
  return matching;
}

void PageServer::acceptLoop() {
  while (!stopping_ && std::chrono::steady_clock::now() < deadline_) {
    if (!waitReadable(listener_, kPollMs)) continue;
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    connections_.emplace_back([this, client] { serve(client); });
  }
  stopping_ = true;  // past the lifetime: hanging connections let go too
}

PageServer::Response PageServer::respond(const RecordedRequest& request) {
  Response response;
  if (request.path == "/stripes") {
    response.body = stripesPage();
  } else if (request.path == "/moved") {
    response.status = "302 Found";
    response.headers = "Location: /stripes\r\n";
  } else if (request.path == "/short") {
    response.body = shortPage();
  } else if (request.path == "/cookie") {
    response.body = cookiePage(request.cookie.find("visit=1") != std::string::npos);
    response.headers = "Set-Cookie: visit=1; Max-Age=86400; Path=/\r\n";
  } else if (request.path == "/cookie-probe.svg") {
    response.type = "image/svg+xml";
    response.body = probePicture();
  } else if (request.path == "/agent") {
    response.body = agentPage();
  } else if (request.path == "/half-pair") {
    response.body = "<!doctype html><html><head><script>document.title = 'A \\uD800 B';</script></head>"
                    "<body>half</body></html>";
  } else if (request.path == "/hang") {
    response.hang = true;
  } else {
    response.status = "404 Not Found";
    response.body = "not here";
  }
  return response;
}

void PageServer::serve(int client) {
  std::string head;
  auto readLimit = std::chrono::steady_clock::now() + kRequestReadLimit;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && !stopping_ &&
         std::chrono::steady_clock::now() < readLimit) {
    if (!waitReadable(client, kPollMs)) continue;
    ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<size_t>(n));
  }
  size_t firstSpace = head.find(' ');
  size_t secondSpace = head.find(' ', firstSpace + 1);
  if (firstSpace == std::string::npos || secondSpace == std::string::npos) {
    ::close(client);
    return;
  }
  RecordedRequest request{head.substr(firstSpace + 1, secondSpace - firstSpace - 1), headerValue(head, "User-Agent"),
                          headerValue(head, "Cookie")};
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  Response response = respond(request);
  while (response.hang && !stopping_) waitReadable(client, kPollMs);
  if (!response.hang) {
    std::string reply = "HTTP/1.1 " + response.status + "\r\nContent-Type: " + response.type +
                        "\r\nContent-Length: " + std::to_string(response.body.size()) +
                        "\r\nCache-Control: no-store\r\nConnection: close\r\n" + response.headers + "\r\n" +
                        response.body;
    std::string_view rest = reply;
    while (!rest.empty()) {
      ssize_t n = ::send(client, rest.data(), rest.size(), MSG_NOSIGNAL);
      if (n <= 0) break;
      rest.remove_prefix(static_cast<size_t>(n));
    }
  }
  ::shutdown(client, SHUT_WR);
  ::close(client);
}

int refusedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace kov::test
