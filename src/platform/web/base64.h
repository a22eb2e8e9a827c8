// Base64 text, in which the browser sends its pictures, back to bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kov {

// Decodes standard base64 (padding optional, no line breaks expected). Absent on a bad character.
std::optional<std::string> decodeBase64(std::string_view text);

}  // namespace kov
