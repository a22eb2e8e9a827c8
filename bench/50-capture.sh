#!/usr/bin/env bash
# snap and scroll of a page served on loopback by a tiny server built here (no scripting runtime
# needed). snap: total wall time minus the 2 s settle delay, next to the browser's own one-shot
# screenshot of the same page at the same size. scroll at its defaults: total wall time minus the
# fixed 2.5 s + 60 x 40 ms, per frame.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tool=${KOV_TOOL:-$root/build/kov-vision}
work=$root/build/bench/capture
mkdir -p "$work"
browser=/usr/lib/chromium/chromium-headless-shell
[ -x "$browser" ] || browser=$(command -v chromium-headless-shell || command -v chromium)
runs=3

# The page: 5000 px of headings, text and shadowed gradient boxes.
{
  echo '<!doctype html><html><head><meta charset="utf-8"><title>Capture bench</title><style>'
  echo 'body{margin:0;font-family:sans-serif;background:#f4f1ea;color:#222}'
  echo 'section{height:480px;padding:20px 40px;box-sizing:border-box;border-bottom:1px solid #ccc}'
  echo '.box{display:inline-block;width:220px;height:140px;margin:12px;border-radius:16px;box-shadow:0 8px 24px rgba(0,0,0,.35)}'
  echo '</style></head><body>'
  for i in $(seq 0 9); do
    echo "<section><h1>Section $i</h1><p>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt ut labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud exercitation ullamco laboris.</p>"
    for k in 0 1 2 3; do
      echo "<div class=box style=\"background:linear-gradient(135deg,hsl($((i * 36 + k * 9)),80%,60%),hsl($((i * 36 + 120)),70%,35%))\"></div>"
    done
    echo '</section>'
  done
  echo '<div style="height:200px"></div></body></html>'
} > "$work/page.html"

# A tiny HTTP server: one thread per connection, every path gets the page, ends by itself after
# ten minutes at the latest.
cat > "$work/page_server.cpp" <<'CPP'
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::ifstream file(argv[1]);
  std::stringstream page;
  page << file.rdbuf();
  const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                            std::to_string(page.str().size()) + "\r\nConnection: close\r\n\r\n" + page.str();
  alarm(600);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 64) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return 1;
  std::printf("%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  for (;;) {
    int client = accept(listener, nullptr, nullptr);
    if (client < 0) continue;
    std::thread([client, &reply] {
      timeval limit{5, 0};
      setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
      }
      if (request.find("\r\n\r\n") != std::string::npos) send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
      shutdown(client, SHUT_WR);
      close(client);
    }).detach();
  }
}
CPP
if [ ! -x "$work/page_server" ] || [ "$work/page_server.cpp" -nt "$work/page_server" ]; then
  c++ -std=c++20 -O2 -pthread -o "$work/page_server" "$work/page_server.cpp"
fi

exec 3< <("$work/page_server" "$work/page.html")
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true' EXIT
read -r port <&3
url="http://127.0.0.1:$port/"

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
median() { sort -n | awk '{v[NR]=$1} END{print v[int((NR+1)/2)]}'; }

# Runs a command $runs times (output discarded, failure fatal) and prints the median wall time in ms.
time_ms() {
  local i start
  for i in $(seq "$runs"); do
    start=$(now_ms)
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    echo $(( $(now_ms) - start ))
  done | median
}

one_shot_flags=(--headless --hide-scrollbars --no-first-run --disable-background-networking --disable-component-update
  --disable-sync --disable-extensions --disable-breakpad)
[ "$(id -u)" = 0 ] && one_shot_flags+=(--no-sandbox)
one_shot() {
  local profile
  profile=$(mktemp -d)
  "$browser" "${one_shot_flags[@]}" --user-data-dir="$profile" --screenshot="$work/one-shot.png" \
    --window-size=1280,1500 "$url"
  local status=$?
  rm -rf "$profile"
  return $status
}

load=$(cut -d' ' -f1 /proc/loadavg)
snap_ms=$(time_ms "$tool" snap "$url" --out "$work/snap.png")
shot_ms=$(time_ms one_shot)
scroll_ms=$(time_ms "$tool" scroll "$url" --out "$work/frames")

snap_overhead=$(( snap_ms - 2000 ))
per_frame=$(awk "BEGIN{printf \"%.1f\", ($scroll_ms - 2500 - 60 * 40) / 60}")
printf '%-58s %8s\n' "page of 5000 px on loopback, median of 3 runs" "ms"
printf 'load average before the runs: %s (the figures grow with other work on the machine)\n' "$load"
printf '%-58s %8d\n' "kov-vision snap 1280x1500, total" "$snap_ms"
printf '%-58s %8d\n' "kov-vision snap, total minus the 2 s settle delay" "$snap_overhead"
printf '%-58s %8d\n' "chromium-headless-shell --screenshot 1280x1500, total" "$shot_ms"
printf 'snap overhead / one-shot screenshot: %.2f (target <= 1.5)\n' "$(awk "BEGIN{print $snap_overhead/$shot_ms}")"
printf '%-58s %8d\n' "kov-vision scroll 1080x960, 60 frames, total" "$scroll_ms"
printf 'scroll beyond the 2.5 s + 60 x 40 ms pauses: %s ms per frame (target < 60)\n' "$per_frame"
