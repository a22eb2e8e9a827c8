#include "capture/web_address.h"

#include "platform/web/web_address.h"

namespace kov {

bool isWebAddress(std::string_view text) {
  std::optional<std::string> scheme = addressScheme(text);
  return scheme && (*scheme == "http" || *scheme == "https");
}

}  // namespace kov
