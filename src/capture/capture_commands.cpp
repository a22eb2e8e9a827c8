// Placeholder until the browser layer lands.
#include "capture/capture_commands.h"

#include "cli/output.h"

namespace kov {

void snapPage(const Args&) {
  fail("usage: kov-vision snap <https://\u2026> --out <file.png> [--width 1280] [--height 1500]\n");
}

void scrollPage(const Args&) {
  fail("usage: kov-vision scroll <https://\u2026> --out <folder> [--width 1080] [--height 960] [--seconds 4] [--fps 15] [--distance 1.5]\n");
}

}  // namespace kov
