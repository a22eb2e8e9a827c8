// Where `snap` and `scroll` put their pictures: refusing paths that cannot take one, making folders.
#pragma once

#include <optional>
#include <string>

namespace kov {

// The failure text for an output path that names something other than a regular file or nothing
// (a folder, device, FIFO, socket, or a link to one): "cannot write <path>: <why>". Empty when the
// path may be written.
std::string outputRefusal(const std::string& path);

// Creates `path` and any missing parent folders; an existing folder is fine. Returns the system's
// error description on failure (for example when a regular file stands at the path).
std::optional<std::string> createFolders(const std::string& path);

}  // namespace kov
