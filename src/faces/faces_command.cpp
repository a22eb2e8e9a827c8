// Placeholder: replaced by the frame pipeline.
#include "faces/faces_command.h"
#include "cli/output.h"
namespace kov {
int runFaces(const Args&) { fail("usage: kov-vision faces <video> --start <s> --end <s> [--fps 6]\n"); }
}  // namespace kov
