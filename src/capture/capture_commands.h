#pragma once
#include "cli/options.h"
namespace kov {
// `snap` and `scroll`: each takes the arguments after the command word and ends the process.
[[noreturn]] void snapPage(const Args& args);
[[noreturn]] void scrollPage(const Args& args);
}  // namespace kov
