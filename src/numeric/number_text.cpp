#include "numeric/number_text.h"

#include <cstdio>

namespace kov {

std::string numberText(double value, int significantDigits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*g", significantDigits, value);
  return text;
}

std::string secondsText(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f s", seconds);
  return text;
}

}  // namespace kov
