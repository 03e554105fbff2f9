#include "foundation/common.h"

#include <string>

#include "foundation/errors.h"
#include "foundation/miscprocs.h"
#include "foundation/trace.h"

namespace zelo {

ApiState& Api() {
  static ApiState s{kGuard1, {0, 0, 0}, 0, kGuard2};
  return s;
}

bool ExportTraceOn() { return Api().exportTrace != 0; }
void SetExportTrace(bool on) { Api().exportTrace = on ? 1 : 0; }

void ResetResult() {
  ErrorInfo& i = Api().info;
  i.Result = RES_OK;
  i.Category = ErrCategory();
  i.Code = ErrCode();
}

void OnApiException() {
  if (ErrNone()) {
    Api().info.Result = RES_EXCEPTION;
    if (ExportTraceOn()) TraceText("Exception");
  }
}

int32_t FinishApiCall() {
  ApiState& s = Api();
  s.info.Category = ErrCategory();
  s.info.Code = ErrCode();
  if (!ErrNone()) s.info.Result = RES_ERROR;
  if (s.guard1 != kGuard1 || s.guard2 != kGuard2) ShowErrorBox("ZELO Memory Protection Error.");
  return s.info.Result;
}

void CommonInit() {
  ApiState& s = Api();
  s.guard1 = kGuard1;
  s.info = ErrorInfo{0, 0, 0};
  s.exportTrace = 0;
  s.guard2 = kGuard2;
}

std::string ResultText(const ErrorInfo& info) {
  switch (info.Result) {
    case RES_OK:
      return "Finished successfully.";
    case RES_BAD_OUTPUT:
      return "Invalid output file.";
    case RES_ABORTED:
      return "Operation aborted by the user.";
    case RES_ERROR:
      return ErrText(info.Category, info.Code);
    default:
      return "Unknown error.";
  }
}

std::recursive_mutex& ApiMutex() {
  static std::recursive_mutex m;
  return m;
}

}  // namespace zelo
