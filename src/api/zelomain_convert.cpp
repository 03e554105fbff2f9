// The conversion run: output preparation, the optional palette pass, the
// writing pass, and the abort request.
#include <mutex>

#include "api/frame.h"
#include "api/zeloapi.h"
#include "api/zelorec.h"
#include "conversion/engine.h"
#include "conversion/ffsave.h"
#include "conversion/uni.h"
#include "formats/ffbasic.h"
#include "foundation/errors.h"
#include "image/palopt.h"
#include "sound/sndbasic.h"

namespace zelo::api {
namespace {

// The first standard MPEG frame rate at or above the wanted one.
double MpegFrameRate(double wanted) {
  static const double kRates[] = {24000.0 / 1001, 24, 25, 30000.0 / 1001, 30, 50, 60000.0 / 1001};
  for (double rate : kRates)
    if (wanted <= rate) return rate;
  return 60;
}

int32_t MpegSampleRate(int32_t wanted) {
  if (wanted <= 32000) return 32000;
  if (wanted <= 44100) return 44100;
  return 48000;
}

bool DepthAccepted(int32_t depth) { return depth != 0 && depth != UNDEF; }

bool PrepareOutput(ZeloRec* rec) {
  PathScope path("zelomain._ZeloPrepareOutput");
  bool ok = false;
  try {
    if (rec->ForceCompat) MakeCompatibleRes(rec->Width, rec->Height);
    if (!rec->VideoFile.Empty()) {
      if (rec->VideoFormat == UNDEF) {
        Api().info.Result = RES_BAD_OUTPUT;
      } else {
        QffSave& cs = rec->CodecSettings;
        SetFormat(&cs, rec->VideoFormat);
        if (rec->VideoFormat == FF_MPG) rec->FrameRate = MpegFrameRate(rec->FrameRate);
        int32_t depth = FFSavePrepare(&cs, rec->Width, rec->Height, rec->Bpp);
        if (rec->ForceCompat) {
          if (!DepthAccepted(depth)) {
            TraceCall([&] { return "PrepareOutput: " + StrInt(rec->VideoFormat) + " codec rejected"; });
            FFSaveSetCodec(&cs, static_cast<int32_t>(MakeFourCC("cvid")));
            depth = FFSavePrepare(&cs, rec->Width, rec->Height, rec->Bpp);
          }
          if (DepthAccepted(depth))
            rec->Bpp = depth;
          else
            Api().info.Result = RES_BAD_OUTPUT;
        }
        rec->PalPass = ToBool(rec->Bpp == 8);
        ok = true;
      }
    } else {
      ok = true;
    }
    if (!rec->AudioFile.Empty()) {
      if (rec->AudioFormat == UNDEF) {
        if (rec->VideoFormat != UNDEF)
          rec->AudioFile.Set("");
        else
          Api().info.Result = RES_BAD_OUTPUT;
      } else if (rec->AudioFormat == FF_MPG || rec->AudioFormat == FF_MPA) {
        WaveFormatPCM(rec->AudioFmt, MpegSampleRate(static_cast<int32_t>(rec->AudioFmt.samplesPerSec)),
                      rec->AudioFmt.channels, 16);
      }
    }
  } catch (...) {
    OnApiException();
  }
  return ok && Api().info.Result == RES_OK;
}

// Hands the record's settings and the bridges to the engine.
void SetUpEngine(ZeloRec* rec) {
  InstallBridges(rec);
  ConSetOptions(rec->ExpectedFrames, rec->FrameRate, rec->KeepDuration);
  for (int32_t i = 0; i < rec->AviInfoCount && i < kAviInfoMax; ++i) {
    const QAviInfoEntry& e = rec->AviInfo[i];
    ConAddAviInfo(std::string(e.id, e.idLength), e.value.Get());
  }
}

// The passes of one run, inside the run's keeping frames.
void RunPasses(ZeloRec* rec) {
  TraceCall([] { return std::string("ZeloConvert: Calling ProgressCBF (init)"); });
  CallUserProgress(rec);
  if (rec->Abort) {
    ConDone();
    return;
  }
  if (!PrepareOutput(rec)) return;
  TraceCall([] { return std::string("ZeloConvert: Output prepared"); });
  QConReport report;
  if (rec->PalPass) {
    TraceCall([] { return std::string("ZeloConvert: Creating palette"); });
    PalInit();
    PalClearVars();
    rec->State = ZELO_STATE_PALETTE;
    rec->CurFrame = 0;
    SetUpEngine(rec);
    ConStart("", "", rec->CodecSettings, &report);
    if (!rec->Abort) PalReduce(256);
  }
  if (!rec->Abort) {
    TraceCall([] { return std::string("ZeloConvert: Saving to file"); });
    rec->State = ZELO_STATE_SAVING;
    rec->CurFrame = 0;
    rec->CurSample = 0;
    ConDone();
    SetUpEngine(rec);
    ConStart(rec->VideoFile.Get(), rec->AudioFile.Get(), rec->CodecSettings, &report);
  }
  if (rec->PalPass) PalDone();
  rec->Elapsed = TimerRead(&rec->Timer);
  ConDone();
}

}  // namespace
}  // namespace zelo::api

using namespace zelo;

extern "C" {

ZELO_API int32_t ZELO_CALL ZeloConvert(ZeloRec* rec) {
  std::lock_guard<std::recursive_mutex> lock(ApiMutex());
  PathScope path("zelomain.ZeloConvert");
  api::ConvShared& shared = api::Shared();
  // One conversion at a time: a second one started from inside a callback
  // would overwrite the running one's engine state.
  if (shared.rec != nullptr) {
    ResetResult();
    Api().info.Result = RES_EXCEPTION;
    return RES_EXCEPTION;
  }
  ResetResult();
  api::TraceCall([] { return "ZeloConvert: Starting " + std::string(40, '-'); });
  MonOpenKeep();
  try {
    CheckPtr(rec);
    shared.rec = rec;
    shared.progress = rec->ProgressCB;
    rec->Abort = kFalse;
    rec->State = ZELO_STATE_PREPARING;
    rec->DoneFrames = 0;
    rec->DoneSamples = 0;
    try {
      TimerStart(&rec->Timer);
      MonOpenKeep();
      try {
        api::RunPasses(rec);
      } catch (...) {
        OnApiException();
        MonHandle();
      }
      MonClose();
      if (rec->PalPass) PalDone();
      ConDone();
    } catch (...) {
      OnApiException();
      MonHandle();
    }
    rec->State = ZELO_STATE_IDLE;
    // A bridge may have reported an error that the engine then cleared (an
    // error answer of the host): only what is still pending counts.
    if (Api().info.Result == RES_ERROR && ErrNone()) Api().info.Result = RES_OK;
    FinishApiCall();
    // The host's last progress call may call exports of its own; the run's
    // outcome is what the host reads afterwards.
    const ErrorInfo outcome = Api().info;
    api::CallUserProgress(rec);
    Api().info = outcome;
    api::TraceCall([] { return std::string("ZeloConvert: Called ProgressCBF (done)"); });
    api::ReleaseSourceBuffers();
  } catch (...) {
    OnApiException();
    MonHandle();
    FinishApiCall();
  }
  // The outcome is in the last-error record now; closing the outer frame
  // leaves no error pending.
  MonClose();
  shared.rec = nullptr;
  shared.progress = nullptr;
  if (rec != nullptr) rec->State = ZELO_STATE_IDLE;
  if (Api().info.Result == RES_OK && rec != nullptr && rec->Abort) Api().info.Result = RES_ABORTED;
  api::TraceCall([] { return "ZeloConvert: Finished " + std::string(40, '-'); });
  return Api().info.Result;
}

ZELO_API int32_t ZELO_CALL ZeloAbort(ZeloRec* rec) {
  // The flag first and without the lock: a conversion on another thread
  // holds the lock until it ends, and only the flag is needed to stop it.
  if (rec != nullptr) rec->Abort = kTrue;
  std::unique_lock<std::recursive_mutex> lock(ApiMutex(), std::try_to_lock);
  if (!lock.owns_lock()) return RES_OK;
  return api::FramedStatus("zelomain.ZeloAbort", [&] {
    api::TraceCall([] { return std::string("ZeloAbort"); });
    CheckPtr(rec)->Abort = kTrue;
  });
}

}  // extern "C"
