#include "platform/process/visible_text.h"

namespace kov {

std::string visibleText(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\n': shown += "\\n"; break;
      case '\r': shown += "\\r"; break;
      case '\t': shown += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          shown += "\\x";
          shown += kHex[byte >> 4];
          shown += kHex[byte & 0xf];
        } else {
          shown += c;
        }
    }
  }
  return shown;
}

}  // namespace kov
