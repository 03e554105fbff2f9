// Exports that report the outcome of the last call, and the trace log.
#include <cstring>

#include "api/frame.h"
#include "foundation/errors.h"
#include "foundation/miscprocs.h"
#include "platform/ui.h"
#include "zelo/zelo.h"

namespace zelo::api {

void CopyOut(char* buffer, const std::string& text) {
  CheckPtr(buffer);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
}

}  // namespace zelo::api

using namespace zelo;

extern "C" {

ZELO_API void ZELO_CALL ZeloGetLastError(ErrorInfo* info) {
  std::lock_guard<std::recursive_mutex> lock(ApiMutex());
  if (info != nullptr) *info = Api().info;
}

ZELO_API void ZELO_CALL ZeloMakeErrorStr(const ErrorInfo* info, char* buf) {
  std::lock_guard<std::recursive_mutex> lock(ApiMutex());
  PathScope path("zelomain.ZeloMakeErrorStr");
  try {
    std::string text = ResultText(*CheckPtr(info));
    api::CopyOut(buf, text);
    api::TraceCall([&] { return "ZeloMakeErrorStr: " + text; });
  } catch (...) {
    OnApiException();
  }
}

ZELO_API void ZELO_CALL ZeloCheckError(void) {
  std::lock_guard<std::recursive_mutex> lock(ApiMutex());
  const ErrorInfo& info = Api().info;
  if (info.Result == RES_ERROR)
    ui::MessageBox(ErrText(info.Category, info.Code), ui::HostTitle(), ui::Icon::Error);
}

ZELO_API void ZELO_CALL ZeloLogStart(const char* fileName, ZeloBool exportTrace) {
  std::lock_guard<std::recursive_mutex> lock(ApiMutex());
  if (fileName == nullptr || *fileName == '\0') return;
  std::string name = fileName;
  if (name.find('/') == std::string::npos) name = GetAppDir() + name;
  TraceSetFile(name);
  TraceStart("ZELO 2.3.4");
  TraceMemory();
  SetExportTrace(exportTrace != 0);
}

ZELO_API void ZELO_CALL ZeloLogStop(void) {
  std::lock_guard<std::recursive_mutex> lock(ApiMutex());
  SetExportTrace(false);
  TraceMemory();
  TraceStop();
}

}  // extern "C"
