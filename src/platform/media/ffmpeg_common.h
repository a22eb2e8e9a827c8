// Small helpers shared by the FFmpeg reader and writer.
#pragma once

#include <optional>
#include <string>

namespace kov {

// FFmpeg's own text for an error code, or "unknown".
std::string ffmpegErrorText(int code);

// Stops FFmpeg from writing to standard error (the tool writes nothing but its one failure line)
// and routes error-level messages to the active `FfmpegErrorCapture`.
void silenceFfmpegLog();

// Collects the first error-level message FFmpeg logs while it is active.
class FfmpegErrorCapture {
 public:
  void begin();
  std::optional<std::string> takeError();
};

}  // namespace kov
