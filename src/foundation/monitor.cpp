#include "foundation/monitor.h"

#include <array>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/miscprocs.h"
#include "foundation/trace.h"

namespace zelo {
namespace {

struct Frame {
  int32_t blockMark = 0;
  int32_t fileMark = 0;
  bool raised = false;
  bool keep = false;
  int32_t category = 0;
  int32_t code = 0;
  std::function<void()> cleanup;
};

std::array<const char*, kPathMax> g_path{};
int g_pathDepth = 0;

// Never destroyed, and made on first use: the library's load and unload
// hooks may run before or after static objects.
std::array<Frame, kFrameMax>& Frames() {
  static auto* frames = new std::array<Frame, kFrameMax>;
  return *frames;
}
int g_depth = 0;
int g_handlers = 0;
bool g_suspended = false;
bool g_keepNext = false;

Frame* Top() { return g_depth > 0 ? &Frames()[g_depth - 1] : nullptr; }

std::string ExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

// Releases what the top frame acquired: its clean-up routine once, then
// every tracked block and open file from the frame's marks upwards.
void MonRelease(Frame& f) {
  bool wasSuspended = g_suspended;
  bool wasLocked = ErrLocked();
  g_suspended = true;
  if (f.cleanup) {
    auto cleanup = std::move(f.cleanup);
    f.cleanup = nullptr;
    try {
      cleanup();
    } catch (...) {
    }
  }
  ErrSetLocked(true);
  try {
    MemFreeFrom(f.blockMark, true);
  } catch (...) {
  }
  try {
    FCloseFrom(f.fileMark);
  } catch (...) {
  }
  ErrSetLocked(wasLocked);
  g_suspended = wasSuspended;
}

void OpenFrame(bool keep) {
  if (g_suspended) return;
  if (g_depth >= kFrameMax) {
    // Too deeply nested: refuse the frame with an error instead of ending
    // the host process. The error unwinds the frames that are open.
    g_keepNext = false;
    ErrRaise(ERR_GEN, 1, 1401);
    return;
  }
  if (g_depth == 0) g_handlers = 0;
  Frame& f = Frames()[g_depth];
  f = Frame{};
  f.blockMark = MemCount();
  f.fileMark = FCount();
  f.keep = keep || g_keepNext;
  ++g_depth;
  ErrClear();
  ErrWarnClear();
  g_keepNext = false;
}

}  // namespace

void ThrowFault(const char* message) { throw EFault(message); }

bool PathPush(const char* name) {
  if (!TraceActive()) return false;
  if (g_pathDepth >= kPathMax) return false;
  g_path[g_pathDepth++] = name;
  return true;
}

void PathPop() {
  if (TraceActive() && g_pathDepth > 0) --g_pathDepth;
}

void PathClear() { g_pathDepth = 0; }
int PathDepth() { return g_pathDepth; }

std::string PathText() {
  std::string s;
  for (int i = 0; i < g_pathDepth; ++i) {
    if (i) s += ':';
    s += g_path[i];
  }
  return s;
}

void MonOpen() { OpenFrame(false); }
void MonOpenKeep() { OpenFrame(true); }
void MonKeepNext() { g_keepNext = true; }

void MonSetCleanup(std::function<void()> cleanup) {
  if (Frame* f = Top()) f->cleanup = std::move(cleanup);
}

void MonRaised(int32_t category, int32_t code) {
  if (g_suspended || category == 0 || code == 0) return;
  Frame* f = Top();
  if (f == nullptr || f->raised) return;
  f->category = category;
  f->code = code;
  MonRelease(*f);
  f->raised = true;
  throw EMon(ErrText(category, code));
}

void MonFail() {
  if (!g_suspended) {
    if (Frame* f = Top(); f != nullptr && !f->raised) f->raised = true;
  }
  throw EMon();
}

void MonHandle() {
  if (g_suspended) return;
  ++g_handlers;
  Frame* f = Top();
  if (f == nullptr || !ErrNone() || f->raised) return;
  std::string message = ExceptionMessage();
  if (message.size() > 1024) message.resize(1024);
  MonRelease(*f);
  ErrSetPrimaryText(message);
  ErrSetPrimary(ERR_EXCEPT, MAX_CODE);
  f->category = ERR_EXCEPT;
  f->code = MAX_CODE;
  f->raised = true;
  bool wasLocked = ErrLocked();
  ErrSetLocked(true);
  TraceError('!', ERR_EXCEPT, MAX_CODE, 0, message);
  ErrSetLocked(wasLocked);
}

void MonClose() {
  if (g_suspended || g_depth == 0) return;
  if (g_handlers > 1) {
    int abandoned = g_handlers - 1;
    if (abandoned > g_depth - 1) abandoned = g_depth - 1;
    Frame& top = Frames()[g_depth - 1];
    Frame& own = Frames()[g_depth - 1 - abandoned];
    own.category = top.category;
    own.code = top.code;
    for (int i = 0; i < abandoned; ++i) Frames()[g_depth - 1 - i] = Frame{};
    g_depth -= abandoned;
  }
  Frame dropped = std::move(Frames()[g_depth - 1]);
  if (dropped.category != 0 && dropped.code != 0) MonRelease(dropped);
  Frames()[g_depth - 1] = Frame{};
  --g_depth;
  g_handlers = 0;
  ErrSetPrimary(dropped.category, dropped.code);
  if (!dropped.keep) {
    // A frame left through MonFail carries no error: its caller goes on and
    // must still unwind on its own later errors, so it takes nothing over.
    bool carries = dropped.category != 0 && dropped.code != 0;
    if (Frame* next = Top(); next != nullptr && carries) {
      next->category = dropped.category;
      next->code = dropped.code;
      next->raised = dropped.raised;
    }
    if (carries && dropped.raised) throw EMon(ErrText(dropped.category, dropped.code));
  }
}

void MonSuspend() { g_suspended = true; }
void MonResume() { g_suspended = false; }
int MonDepth() { return g_depth; }

void MonReport() {
  if (g_depth > 0)
    TraceText("Monitoring failure: " + FmtInt(0, g_depth) + " hanging processes.");
}

void MonInit() {
  for (auto& f : Frames()) f = Frame{};
  g_depth = 0;
  g_handlers = 0;
  g_suspended = false;
  g_keepNext = false;
  g_pathDepth = 0;
}

}  // namespace zelo
