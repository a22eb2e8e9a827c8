// Placeholder until the segmentation runner lands: both forms only check their arguments.
#include "matte/matte_command.h"

#include "cli/output.h"

namespace kov {

void matteImage(const Args&) { fail("usage: kov-vision matte --image <in.png> --out <out.png>\n"); }

void matteVideo(const Args&) {
  fail("usage: kov-vision matte <video> --start <s> --end <s> --out <mask.mp4> [--width 1280]\n");
}

}  // namespace kov
