// Placeholder until the browser layer lands.
#include "plate/plate_command.h"

#include "cli/output.h"

namespace kov {

void renderPlate(const Args&) {
  fail("usage: kov-vision plate <page.html> --out <file> [--width 1080] [--height 960] [--fps 30] [--seconds 4] [--alpha]\n");
}

}  // namespace kov
