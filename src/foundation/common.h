// Unit Common: the error state the exports report (ErrorInfo between two
// guard words), the export-trace switch and the steps of the export frame.
#pragma once

#include <cstdint>
#include <mutex>

#include "zelo/zelo.h"

namespace zelo {

constexpr uint32_t kGuard1 = 0x75438609u;
constexpr uint32_t kGuard2 = 0x26591765u;

struct ApiState {
  uint32_t guard1;
  ErrorInfo info;
  int32_t exportTrace;
  uint32_t guard2;
};

ApiState& Api();
bool ExportTraceOn();
void SetExportTrace(bool on);

void ResetResult();
void OnApiException();
int32_t FinishApiCall();
void CommonInit();

// The text of an outcome record (ZeloMakeErrorStr).
std::string ResultText(const ErrorInfo& info);

// One process-wide lock taken by every export, so that two host threads
// cannot corrupt the library's state.
std::recursive_mutex& ApiMutex();

}  // namespace zelo
