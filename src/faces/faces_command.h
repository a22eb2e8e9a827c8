#pragma once
#include "cli/options.h"
namespace kov {
// Runs `faces` on args ("faces", video path, options…); returns the exit status on success.
int runFaces(const Args& args);
}  // namespace kov
