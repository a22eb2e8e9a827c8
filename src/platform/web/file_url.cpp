#include <cstdio>
#include <string>

#include "platform/web/browser.h"

namespace kov {

std::string fileUrl(const std::string& absolutePath) {
  std::string url = "file://";
  for (unsigned char c : absolutePath) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '/' || c == '-' || c == '_' || c == '.' || c == '~';
    if (plain) {
      url.push_back(static_cast<char>(c));
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      url += escaped;
    }
  }
  return url;
}

}  // namespace kov
