// Replacing an output file only once its new content is complete.
#pragma once

#include <string>
#include <string_view>

namespace kov {

// Writes `bytes` to a temporary file beside `path` and renames it over `path`, so a failed write
// never leaves a truncated file in place of the old one. Where no file can be made beside it (a
// folder that is not writable although the file is) or `path` is a symbolic link, writes the file
// in place. False on failure.
bool replaceFile(const std::string& path, std::string_view bytes);

}  // namespace kov
