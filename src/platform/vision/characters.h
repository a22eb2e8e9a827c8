// Cutting text by user-perceived characters (extended grapheme clusters), so that an emoji
// sequence or a letter with its combining marks counts as one character and is never split.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kov {

// The first `count` user-perceived characters of the UTF-8 `text`.
std::string firstCharacters(std::string_view text, int count);

// Edits (insertions, deletions, replacements of bytes) that turn `a` into `b`.
std::size_t editDistance(std::string_view a, std::string_view b);

}  // namespace kov
