// The call path (names of the routines being run, kept while the trace log
// is active) and the monitor: a stack of protected frames that release what
// a failing operation acquired and carry its error outwards.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

namespace zelo {

// The one exception type that carries raised errors between frames.
class EMon : public std::exception {
 public:
  explicit EMon(std::string message = {}) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

constexpr int kPathMax = 256;
constexpr int kFrameMax = 256;

// --- call path ---------------------------------------------------------------
// Names are kept by reference: pass string literals.
bool PathPush(const char* name);
void PathPop();
void PathClear();
int PathDepth();
std::string PathText();  // names from the outermost inward, separated by ':'

// Pushes a routine's name for its lifetime; one branch when the trace is off.
class PathScope {
 public:
  explicit PathScope(const char* name) : pushed_(PathPush(name)) {}
  ~PathScope() {
    if (pushed_) PathPop();
  }
  PathScope(const PathScope&) = delete;
  PathScope& operator=(const PathScope&) = delete;

 private:
  bool pushed_;
};

// --- protected frames ---------------------------------------------------------
void MonOpen();
void MonOpenKeep();
void MonKeepNext();
void MonSetCleanup(std::function<void()> cleanup);
void MonHandle();  // call only from inside a catch block
void MonClose();
[[noreturn]] void MonFail();
void MonSuspend();
void MonResume();
int MonDepth();

// Called by the error state for every raise (both zero and non-zero pairs).
void MonRaised(int32_t category, int32_t code);

// Frames still open at unload: writes the monitoring failure line.
void MonReport();
void MonInit();

// A protected routine's body: opens a frame, runs the work, turns whatever
// escapes into the frame's error and closes the frame (which passes a raised
// error on to the caller unless the frame keeps it).
template <class Work>
void Protected(Work&& work) {
  MonOpen();
  try {
    work();
  } catch (...) {
    MonHandle();
  }
  MonClose();
}

// The same with a keeping frame: the error stays pending and the caller goes on.
template <class Work>
void ProtectedKeep(Work&& work) {
  MonOpenKeep();
  try {
    work();
  } catch (...) {
    MonHandle();
  }
  MonClose();
}

// Runs a routine with its name on the path and in a protected frame.
template <class Work>
void Routine(const char* name, Work&& work) {
  PathScope path(name);
  Protected(std::forward<Work>(work));
}

}  // namespace zelo
