// The option reader on arbitrary command lines: the input is the arguments separated by NUL bytes.
// Whatever the arguments hold, a number option is either absent or the number its text spells, and
// the clamps keep their bounds.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/options.h"

namespace {

kov::Args splitAtNul(const std::uint8_t* data, std::size_t size) {
  kov::Args args;
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  args.push_back(current);
  return args;
}

void checkClamps(double value) {
  double clamped = kov::clampNanToLower(value, 1, 30);
  if (!(clamped >= 1 && clamped <= 30)) std::abort();
  double kept = kov::clampUpperThenLower(value, 1, 30);
  if (!std::isnan(value) && !(kept >= 1 && kept <= 30)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kov::Args args = splitAtNul(data, size);
  for (const char* name : {"--start", "--end", "--fps", "--width", "--seconds", "--distance"}) {
    std::optional<double> number = kov::argument(name, args);
    std::optional<std::string> text = kov::textOption(name, args);
    if (number && !text) std::abort();  // a number always comes from the text after the name
    if (number && kov::parseNumber(*text) != number && !std::isnan(*number)) std::abort();
    if (number) checkClamps(*number);
  }
  for (const std::string& arg : args) {
    if (!kov::hasFlag(arg, args)) std::abort();
    if (std::optional<double> number = kov::parseNumber(arg)) checkClamps(*number);
  }
  if (!args.empty() && !args[0].empty() && args[0].find('\0') == std::string::npos) {
    std::string absolute = kov::absolutePath(args[0]);
    if (absolute.empty() || absolute[0] != '/') std::abort();
  }
  return 0;
}
