// Cutting text by user-perceived characters (extended grapheme clusters), so that an emoji
// sequence or a letter with its combining marks counts as one character and is never split.
#pragma once

#include <string>
#include <string_view>

namespace kov {

// The first `count` user-perceived characters of the UTF-8 `text`.
std::string firstCharacters(std::string_view text, int count);

}  // namespace kov
