// Output files that are replaced only when their new content is complete, and only when what stands
// at the path is a regular file or nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kov {

// The reason given when an output path names something other than a regular file.
inline constexpr const char* kNotARegularFile = "it is not a regular file";

// The file an output path finally names: the path itself, or the end of its chain of symbolic
// links (which need not exist yet). Fails with the reason when that is not a regular file or
// nothing (a folder, device, FIFO, socket, a path ending in "/", an empty path) or cannot be
// looked at.
struct OutputTarget {
  std::string path;    // where the content goes
  std::string error;   // why it cannot go there; empty when it can
};
OutputTarget outputTarget(const std::string& path);

// True when both paths (following links) name one existing file.
bool sameFile(const std::string& a, const std::string& b);

// A temporary file beside an output's target that takes the new content and is renamed over the
// target on `commit`. Until then it is removed when this object goes away, when the process ends
// through `exitProcess`/`abandonProcess`, or when a terminating signal arrives.
class ReplacementFile {
 public:
  explicit ReplacementFile(const std::string& path);
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Why the temporary file could not be made; empty when it was.
  const std::string& error() const { return error_; }
  // The temporary file to write (it exists, empty, with the permissions the output will have).
  const std::string& temporaryPath() const { return temporary_; }

  // Writes the whole content into the temporary file. The reason on failure.
  std::optional<std::string> write(std::string_view bytes);

  // Flushes the temporary file to disk and renames it over the target, which is checked again first.
  // The reason on failure (the temporary file is then removed and the target left as it was).
  std::optional<std::string> commit();

 private:
  void discard();

  OutputTarget target_;
  std::string temporary_;
  std::string error_;
  int mark_ = -1;
  bool committed_ = false;
};

// Replaces the file at `path` with `bytes` through a `ReplacementFile`. The reason on failure.
std::optional<std::string> replaceFile(const std::string& path, std::string_view bytes);

}  // namespace kov
