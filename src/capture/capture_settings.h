// What `snap` and `scroll` read from their command lines, after the defaults and clamps.
#pragma once

#include <string>

#include "cli/options.h"

namespace kov {

struct SnapSettings {
  int width = 1280;
  int height = 1500;
};

struct ScrollSettings {
  int width = 1080;
  int height = 960;
  double seconds = 4;
  double fps = 15;
  double distance = 1.5;
};

// Reads `--width` and `--height` (the web view's size in CSS pixels).
SnapSettings readSnapSettings(const Args& args);

// Reads `--width`, `--height`, `--seconds`, `--fps` and `--distance`, in that order.
ScrollSettings readScrollSettings(const Args& args);

}  // namespace kov
