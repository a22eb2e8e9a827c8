// The address check that `snap` and `scroll` apply to their first argument.
#pragma once

#include <string_view>

namespace kov {

// True when `text` parses as an RFC 3986 URI whose scheme is exactly "http" or "https"
// (no case folding: "HTTP://host" is refused, as is a text without a scheme).
bool isWebAddress(std::string_view text);

}  // namespace kov
