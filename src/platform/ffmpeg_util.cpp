#include "platform/ffmpeg_util.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace zelo::ff {
namespace {

thread_local std::string tLastMessage;

void LogCallback(void* avcl, int level, const char* fmt, va_list args) {
  if (level > AV_LOG_ERROR) return;
  char line[1024];
  int printPrefix = 1;
  va_list copy;
  va_copy(copy, args);
  av_log_format_line2(avcl, level, fmt, copy, line, sizeof line, &printPrefix);
  va_end(copy);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (!text.empty()) tLastMessage = text;
}

}  // namespace

void FFmpegInit() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The level is only a filter before the callback; nothing is printed.
    av_log_set_level(AV_LOG_ERROR);
    av_log_set_callback(LogCallback);
  });
}

std::string FFmpegLastMessage() { return tLastMessage; }

void FFmpegClearMessage() { tLastMessage.clear(); }

std::string FFmpegErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

}  // namespace zelo::ff
