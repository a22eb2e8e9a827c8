#include "platform/media/ffmpeg_common.h"

#include <mutex>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace kov {
namespace {

std::mutex logMutex;
std::optional<std::string> firstError;  // guarded by logMutex

void trimLineEnd(std::string& text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
}

// Decoder threads log too, so the record is guarded.
void recordLog(void* context, int level, const char* format, va_list args) {
  if (level > AV_LOG_ERROR) return;
  char line[1024];
  int prefix = 0;
  av_log_format_line2(context, level, format, args, line, sizeof line, &prefix);
  std::string text(line);
  trimLineEnd(text);
  std::lock_guard<std::mutex> lock(logMutex);
  if (!firstError && !text.empty()) firstError = text;
}

}  // namespace

std::string ffmpegErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  if (av_strerror(code, text, sizeof text) < 0 || text[0] == '\0') return "unknown";
  return text;
}

void silenceFfmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(recordLog); });
}

void FfmpegErrorCapture::begin() {
  std::lock_guard<std::mutex> lock(logMutex);
  firstError.reset();
}

std::optional<std::string> FfmpegErrorCapture::takeError() {
  std::lock_guard<std::mutex> lock(logMutex);
  auto error = std::move(firstError);
  firstError.reset();
  return error;
}

}  // namespace kov
