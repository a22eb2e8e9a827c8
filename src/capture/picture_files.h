// Checking the pictures the engine hands back, and putting them on disk.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kov {

struct PixelSize {
  int width = 0;
  int height = 0;
};

// The size in a PNG header; none when the bytes do not start like a PNG.
std::optional<PixelSize> pngSize(std::string_view bytes);

// True when the whole PNG stream decodes (no truncation, no corrupt data).
bool pngDecodes(std::string_view bytes);

// The size in a JPEG header; none when the bytes are not a readable JPEG.
std::optional<PixelSize> jpegSize(std::string_view bytes);

// The failure text for an output path that names something other than a regular file or nothing
// (a folder, device, FIFO, socket, or a link to one): "cannot write <path>: <why>". Empty when the
// path may be written.
std::string outputRefusal(const std::string& path);

// Creates `path` and any missing parent folders; an existing folder is fine. Returns the system's
// error description on failure (for example when a regular file stands at the path).
std::optional<std::string> createFolders(const std::string& path);

}  // namespace kov
