// Texts that must stay on one line (failure lines, paths inside them) with their control characters
// shown rather than obeyed.
#pragma once

#include <string>
#include <string_view>

namespace kov {

// `text` with line feeds, carriage returns and tabs written as \n, \r and \t and every other
// control character (including DEL) as \xHH; everything else, UTF-8 included, unchanged.
std::string visibleText(std::string_view text);

// The form in which every message shows a path: `visibleText` of it.
inline std::string visiblePath(std::string_view path) { return visibleText(path); }

}  // namespace kov
