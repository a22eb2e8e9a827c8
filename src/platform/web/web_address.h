// Reading web addresses.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kov {

// The scheme of `text` as written (no case folding) when the whole text parses as an RFC 3986 URI;
// empty for a relative reference, absent when the text does not parse.
std::optional<std::string> addressScheme(std::string_view text);

}  // namespace kov
