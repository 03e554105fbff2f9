// The conversion record: defaults, the run timer, and the exports that
// create, release and read a record.
#include <chrono>
#include <new>

#include "api/frame.h"
#include "api/zelorec.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/miscprocs.h"
#include "sound/sndbasic.h"

namespace zelo {

void ResetZeloRec(ZeloRec* rec) {
  CheckPtr(rec);
  rec->ExpectedFrames = 1;
  rec->VideoFormat = UNDEF;
  rec->VideoFile.Set("");
  rec->Width = 320;
  rec->Height = 240;
  rec->AutoRes = kTrue;
  rec->Bpp = 24;
  rec->Dither = kFalse;
  rec->FrameRate = 30.0;
  rec->KeepDuration = kTrue;
  rec->Direction = 1;
  rec->ForceCompat = kFalse;
  ResetQffSave(&rec->CodecSettings);
  rec->AudioFormat = UNDEF;
  rec->AudioFile.Set("");
  WaveFormatPCM(rec->AudioFmt, 44100, 2, 16);
  rec->VideoSourceCB = nullptr;
  rec->VideoFuncCB = nullptr;
  rec->AudioSourceCB = nullptr;
  rec->AudioFuncCB = nullptr;
  rec->ProgressCB = nullptr;
  rec->ErrorCB = nullptr;
  rec->RequestKind = 0;
  rec->SrcRequest = nullptr;
  rec->FuncRequest = nullptr;
  rec->CurFrame = 0;
  rec->CurSample = 0;
  rec->PalPass = kFalse;
  rec->Abort = kFalse;
  rec->State = 0;
  rec->Elapsed = 0;
  rec->DoneFrames = 0;
  rec->DoneSamples = 0;
  rec->AviInfoCount = 0;
}

namespace {

// Wall clock in days, as the start date of the timer keeps it.
double NowDays() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count() / 86400.0;
}

uint32_t NowTicks() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

void TimerStart(QTimer* timer) {
  timer->startDate = NowDays();
  timer->startTicks = NowTicks();
}

double TimerRead(QTimer* timer) {
  const uint32_t ticks = NowTicks() - timer->startTicks;  // wraps like the tick count
  double days = NowDays() - timer->startDate;
  if (days < 0) days = 0;
  const int64_t ms = static_cast<int64_t>(days * 86400000.0 + 0.5);
  timer->hours = static_cast<uint16_t>(ms / 3600000);
  timer->minutes = static_cast<uint16_t>(ms / 60000 % 60);
  timer->secs = static_cast<uint16_t>(ms / 1000 % 60);
  timer->msecs = static_cast<uint16_t>(ms % 1000);
  timer->seconds =
      timer->hours * 3600.0 + timer->minutes * 60.0 + timer->secs + timer->msecs * 0.001;
  // The clock only counts whole milliseconds of the date; for runs the tick
  // count can still measure it is the finer one.
  if (static_cast<double>(ticks) < timer->seconds * 1000.0 + 1000.0) {
    timer->seconds = ticks * 0.001;
    timer->msecs = static_cast<uint16_t>(ticks % 1000);
    timer->secs = static_cast<uint16_t>(ticks / 1000 % 60);
    timer->minutes = static_cast<uint16_t>(ticks / 60000 % 60);
    timer->hours = static_cast<uint16_t>(ticks / 3600000);
  }
  return timer->seconds;
}

}  // namespace zelo

using namespace zelo;

extern "C" {

ZELO_API ZeloRec* ZELO_CALL ZeloAlloc(void) {
  return api::Framed("zelomain.ZeloAlloc", static_cast<ZeloRec*>(nullptr), [&] {
    ZeloRec* dataP = nullptr;
    if (_memalloc_(&dataP, sizeof(ZeloRec), 6901, MEM_NEW, "zelomain.ZeloAlloc.dataP") != 0)
      return static_cast<ZeloRec*>(nullptr);
    new (dataP) ZeloRec{};
    ResetZeloRec(dataP);
    api::TraceCall([&] { return "ZeloAlloc: " + StrPtr(dataP); });
    return dataP;
  });
}

ZELO_API void ZELO_CALL ZeloFree(ZeloRec* rec) {
  api::FramedStatus("zelomain.ZeloFree", [&] {
    if (rec == nullptr || rec->State != 0) return;
    api::TraceCall([&] { return "ZeloFree: " + StrPtr(rec); });
    rec->~ZeloRec();
    MemFree(&rec);
  });
}

ZELO_API int32_t ZELO_CALL ZeloGetStatus(ZeloRec* rec) {
  return api::FramedLight("zelomain.ZeloGetStatus", 0, [&] {
    const int32_t state = CheckPtr(rec)->State;
    api::TraceCall([&] { return "ZeloGetStatus: " + StrInt(state); });
    return state;
  });
}

ZELO_API double ZELO_CALL ZeloGetElapsedTime(ZeloRec* rec) {
  return api::Framed("zelomain.ZeloGetElapsedTime", 0.0, [&] {
    CheckPtr(rec);
    // Between runs the timer would keep counting from the last start: the
    // duration of the last run is the answer then.
    const double seconds = rec->State != 0 ? TimerRead(&rec->Timer) : rec->Elapsed;
    api::TraceCall([&] { return "ZeloGetElapsedTime: " + StrReal(seconds); });
    return seconds;
  });
}

ZELO_API void ZELO_CALL ZeloMakeTimeStr(double seconds, char* buf) {
  api::FramedStatus("zelomain.ZeloMakeTimeStr", [&] {
    const std::string text = SecToStr(23, seconds);
    api::CopyOut(buf, text);
    api::TraceCall([&] { return "ZeloMakeTimeStr: " + text; });
  });
}

}  // extern "C"
