// The frame every export runs in: the process-wide lock, its name on the call
// path, the result reset, the work inside an exception trap, and the outcome
// folded into the last-error record.
#pragma once

#include <mutex>
#include <string>
#include <type_traits>

#include "foundation/common.h"
#include "foundation/monitor.h"
#include "foundation/trace.h"

namespace zelo::api {

// Writes an export's trace line; the text is only built when it is written.
template <class MakeLine>
void TraceCall(MakeLine&& makeLine) {
  if (ExportTraceOn() && TraceActive()) TraceText(makeLine());
}

// An export called from a host callback while a library routine runs (a
// conversion) gets a keeping frame of its own: its errors stay with it
// instead of unwinding into the running routine and releasing what that holds.
template <class Work>
void RunExport(Work&& work) {
  if (MonDepth() == 0) {
    work();
    return;
  }
  MonOpenKeep();
  try {
    work();
  } catch (const EMon&) {
    MonHandle();
  } catch (...) {
    MonClose();
    throw;
  }
  MonClose();
}

// An export that returns a value: `failure` when the work throws.
template <class R, class Work>
R Framed(const char* name, R failure, Work&& work) {
  std::lock_guard<std::recursive_mutex> lock(ApiMutex());
  PathScope path(name);
  ResetResult();
  R value = failure;
  try {
    RunExport([&] { value = work(); });
  } catch (...) {
    OnApiException();
    value = failure;
  }
  FinishApiCall();
  return value;
}

// An export without a value of its own: returns the Result of the call.
template <class Work>
int32_t FramedStatus(const char* name, Work&& work) {
  std::lock_guard<std::recursive_mutex> lock(ApiMutex());
  PathScope path(name);
  ResetResult();
  try {
    RunExport(work);
  } catch (...) {
    OnApiException();
  }
  return FinishApiCall();
}

// The lighter frame of exports that only read: name and exception trap, the
// last-error record left alone.
template <class R, class Work>
R FramedLight(const char* name, R failure, Work&& work) {
  std::lock_guard<std::recursive_mutex> lock(ApiMutex());
  PathScope path(name);
  R value = failure;
  try {
    RunExport([&] { value = work(); });
  } catch (...) {
    OnApiException();
  }
  return value;
}

// Copies a text into a host buffer (the host sizes it).
void CopyOut(char* buffer, const std::string& text);

}  // namespace zelo::api
