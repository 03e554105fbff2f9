#include "platform/avlog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace zelo::av {
namespace {

std::mutex& LogLock() {
  static auto* m = new std::mutex;  // never destroyed: FFmpeg may log during unload
  return *m;
}
std::string& Last() {
  static auto* s = new std::string;
  return *s;
}

// Decoders may log from their own threads, hence the lock.
void Callback(void* avcl, int level, const char* fmt, va_list vl) {
  if (level > AV_LOG_ERROR) return;
  char line[1024];
  int printPrefix = 1;
  av_log_format_line2(avcl, level, fmt, vl, line, sizeof line, &printPrefix);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::lock_guard<std::mutex> guard(LogLock());
  Last() = text;
}

}  // namespace

void QuietLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_ERROR);
    av_log_set_callback(Callback);
  });
}

std::string LastMessage() {
  std::lock_guard<std::mutex> guard(LogLock());
  return Last();
}

void ClearLastMessage() {
  std::lock_guard<std::mutex> guard(LogLock());
  Last().clear();
}

std::string ErrorText(int averror) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(averror, buf, sizeof buf);
  return buf;
}

namespace {
// Any unit may call into FFmpeg: quiet it as the library loads, not at the
// first use of one service.
[[maybe_unused]] const bool kQuietAtLoad = (QuietLog(), true);
}  // namespace

}  // namespace zelo::av
