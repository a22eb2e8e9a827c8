#pragma once
#include "cli/options.h"
namespace kov {
// `plate`: renders a local HTML page into a movie. Takes the arguments after the command word and
// ends the process.
[[noreturn]] void renderPlate(const Args& args);
}  // namespace kov
