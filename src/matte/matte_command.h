#pragma once
#include "cli/options.h"
namespace kov {
// The two forms of `matte`; each takes the arguments after the command word and ends the process.
[[noreturn]] void matteImage(const Args& args);
[[noreturn]] void matteVideo(const Args& args);
}  // namespace kov
