// Turning the browser's base64 pictures into file bytes and BGRA pixels.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/pixels.h"

namespace kov {

// Decodes standard base64 (padding optional, no line breaks expected). Absent on a bad character.
std::optional<std::string> decodeBase64(std::string_view text);

// Decodes PNG bytes to straight-alpha BGRA. On failure returns the reason.
std::optional<std::string> decodePng(std::string_view png, BgraImage& picture);

// Decodes JPEG bytes to opaque BGRA. On failure returns the reason.
std::optional<std::string> decodeJpeg(std::string_view jpeg, BgraImage& picture);

}  // namespace kov
