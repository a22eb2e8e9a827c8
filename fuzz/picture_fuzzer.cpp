// The picture reader on arbitrary file contents. The bytes are handed over as an in-memory file so
// that the reader takes its ordinary path (open, size, read, decode). Whatever the bytes, a picture
// comes back whole (its pixels fill width x height) or there is none.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/image/picture_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int file = memfd_create("picture", 0);
  if (file < 0 || ftruncate(file, 0) != 0 || pwrite(file, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
  std::optional<kov::BgraImage> picture = kov::readPicture("/proc/self/fd/" + std::to_string(file));
  if (picture) {
    if (picture->width <= 0 || picture->height <= 0) std::abort();
    if (picture->pixels.size() != static_cast<std::size_t>(picture->width) * picture->height * 4) std::abort();
  }
  return 0;
}
