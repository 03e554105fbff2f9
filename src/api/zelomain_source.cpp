// Sources and callbacks: registration of the host's callbacks, the setters a
// source callback describes its block with, and the bridges that turn the
// engine's requests into host calls.
#include <cstring>

#include "api/frame.h"
#include "api/zeloapi.h"
#include "api/zelorec.h"
#include "conversion/engine.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "image/geometry.h"
#include "image/imgbasic.h"
#include "conversion/uni.h"
#include "image/palopt.h"
#include "sound/sndbasic.h"

namespace zelo::api {

ConvShared& Shared() {
  static ConvShared s{};
  return s;
}

void ReleaseSourceBuffers() {
  ConvShared& s = Shared();
  MemFree(&s.videoName);
  MemFree(&s.audioName);
  ImgFree(&s.srcImg);
  SndFree(s.srcSnd);
}

namespace {

constexpr int32_t kRequestVideo = 1;
constexpr int32_t kRequestAudio = 2;

// The open source request of a record, or null outside a source callback.
SourceRequest* OpenRequest(ZeloRec* rec) {
  return static_cast<SourceRequest*>(CheckPtr(rec)->SrcRequest);
}

// Keeps a request open on the record for the length of a host call.
class RequestScope {
 public:
  RequestScope(ZeloRec* rec, void** slot, void* request, int32_t kind) : rec_(rec), slot_(slot) {
    *slot_ = request;
    rec_->RequestKind = kind;
  }
  ~RequestScope() {
    *slot_ = nullptr;
    rec_->RequestKind = 0;
  }
  RequestScope(const RequestScope&) = delete;
  RequestScope& operator=(const RequestScope&) = delete;

 private:
  ZeloRec* rec_;
  void** slot_;
};

void SourceBridge(SourceRequest* request, ZeloSourceCB callback, int32_t kind, double frameRate,
                  const char* traceName) {
  ZeloRec* rec = CheckPtr(Shared().rec);
  CheckPtr(request);
  if (rec->Abort) {
    request->finished = kTrue;
    ConSetStatus(CONV_ABORTED);
    return;
  }
  request->data = nullptr;
  request->kind = UNDEF;
  request->start = UNDEF;
  request->length = UNDEF;
  request->startTime = UNDEF_REAL;
  request->lengthTime = UNDEF_REAL;
  request->repeat = 1;
  request->frameRate = frameRate;
  request->direction = 1;
  // A named file is never widened into a numbered sequence.
  request->maxFiles = 1;
  request->allowMinus = kFalse;
  TraceCall([&] { return std::string(traceName) + ": blockNum=" + StrInt(request->block); });
  if (callback != nullptr) {
    RequestScope open(rec, &rec->SrcRequest, request, kind);
    callback(rec, request->block);
  }
  request->block++;
  if (request->kind == UNDEF) request->finished = kTrue;
}

// Swaps two images through the scratch buffer: the result stays in *img.
void TakeScratch(Qimg* img, Qimg* scratch) { ImgXchg(img, scratch); }

// A host function may leave a record without data to drop it; a block it
// let go of is released here so that nothing stays behind in the table.
void ReleaseDropped(void* before, const void* now) {
  if (before == nullptr || before == now) return;
  void* block = before;
  if (MemFind(&block, 1) != UNDEF) MemFree(&block);
}

// A picture the host's function left with a geometry its pixel block cannot
// hold would be read beyond the block by everything after it.
bool PictureConsistent(const Qimg* img) {
  if (!ImgKnownDepth(img->bpp) || img->bytesPP != BytesPP(img->bpp) || img->resX <= 0 ||
      img->resY <= 0 || !ImgGeometryValid(img->resX, img->resY, img->bpp))
    return false;
  if (img->hostPix != 0) return true;
  void* block = img->pixPtr;
  const int32_t at = MemFind(&block, 1);
  return at != UNDEF &&
         int64_t(img->resX) * img->resY * img->bytesPP <= int64_t(MemEntry(at).size);
}

void VideoFuncBridge(FilterRequest* request) {
  ZeloRec* rec = CheckPtr(Shared().rec);
  CheckPtr(request);
  try {
    if (rec->Abort) {
      ConSetStatus(CONV_ABORTED);
      request->resultImg = nullptr;
      return;
    }
    Qimg* img = CheckPtr(request->img);
    Qimg* scratch = CheckPtr(request->scratchImg);
    request->resultImg = img;
    bool dropped = false;
    if (!rec->AutoRes && (img->resX != rec->Width || img->resY != rec->Height)) {
      ImgResample(img, scratch, rec->Width, rec->Height);
      TakeScratch(img, scratch);
    }
    if (rec->VideoFuncCB != nullptr) {
      RequestScope open(rec, &rec->FuncRequest, request, kRequestVideo);
      TraceCall([&] { return "ZeloVideoFunction: curFrame=" + StrInt(rec->CurFrame); });
      void* before = img->pixPtr;
      rec->VideoFuncCB(rec, img, rec->CurFrame);
      if (!ImgHasPixels(img)) {
        ReleaseDropped(before, img->pixPtr);
        std::memset(img, 0, sizeof *img);
      } else if (!PictureConsistent(img)) {
        ErrWarn(ERR_IMG, 4, 6311);
        dropped = true;
      }
    }
    if (dropped || !ImgHasPixels(img)) {
      request->resultImg = nullptr;
    } else {
      if (rec->ForceCompat) {
        int32_t w = img->resX, h = img->resY;
        MakeCompatibleRes(w, h);
        if (w != img->resX || h != img->resY) {
          ImgResample(img, scratch, w, h);
          TakeScratch(img, scratch);
        }
      }
      if (rec->Bpp != 8 && img->bpp != rec->Bpp) {
        ImgConvBpp(img, scratch, rec->Bpp);
        TakeScratch(img, scratch);
      }
      if (rec->State == 2) {
        PalCountColors(img);
      } else if (rec->State == 3 && rec->PalPass) {
        PalRemap(img, scratch, rec->Dither ? 2 : 0);
        TakeScratch(img, scratch);
      }
    }
  } catch (...) {
    OnApiException();
  }
  rec->CurFrame++;
}

// A sound the host's function left claiming more samples than its block
// holds would be read beyond the block.
bool SoundConsistent(const Qsnd* snd) {
  void* block = snd->SndData;
  const int32_t at = MemFind(&block, 1);
  const int64_t align = snd->format.blockAlign;
  return at != UNDEF && align > 0 && int64_t(snd->samples) * align <= int64_t(MemEntry(at).size);
}

// Swaps two sounds, keeping each tracked block with its owner variable.
void SndXchg(Qsnd& a, Qsnd& b) {
  MemXchg(&a.SndData, &b.SndData);
  std::swap(a.allocated, b.allocated);
  std::swap(a.samples, b.samples);
  std::swap(a.format, b.format);
}

void AudioFuncBridge(FilterRequest* request) {
  ResetResult();
  ZeloRec* rec = CheckPtr(Shared().rec);
  CheckPtr(request);
  if (rec->Abort) {
    ConSetStatus(CONV_ABORTED);
    request->resultSnd = nullptr;
    FinishApiCall();
    return;
  }
  Qsnd* snd = CheckPtr(request->snd);
  Qsnd* scratch = CheckPtr(request->scratchSnd);
  request->resultSnd = snd;
  const int32_t count = snd->samples;
  if (WaveFormatDiffers(snd->format, rec->AudioFmt)) {
    SndConvert(*snd, *scratch, rec->AudioFmt);
    SndXchg(*snd, *scratch);
  }
  if (rec->AudioFuncCB != nullptr) {
    RequestScope open(rec, &rec->FuncRequest, request, kRequestAudio);
    TraceCall([&] { return "ZeloAudioFunction: curSample=" + StrInt(rec->CurSample); });
    void* before = snd->SndData;
    rec->AudioFuncCB(rec, snd, rec->CurSample);
    if (snd->SndData != before) {
      ReleaseDropped(before, snd->SndData);
      if (snd->SndData != nullptr && !MemIsTracked(&snd->SndData)) snd->SndData = nullptr;
    }
  }
  if (snd->SndData == nullptr || snd->samples <= 0) {
    request->resultSnd = nullptr;
  } else if (!SoundConsistent(snd)) {
    ErrWarn(ERR_SND, 1, 6312);
    request->resultSnd = nullptr;
  }
  rec->CurSample += count;
  FinishApiCall();
}

void ProgressBridge(const ConProgress& progress) {
  ResetResult();
  ZeloRec* rec = CheckPtr(Shared().rec);
  rec->DoneFrames = progress.framesDone;
  rec->DoneSamples = progress.samplesDone;
  CallUserProgress(rec);
}

void ErrorBridge(const std::string& fileName, int32_t& answer) {
  // The last-error record holds the failure while the host decides.
  FinishApiCall();
  answer = ZELO_ANSWER_STOP;
  ZeloRec* rec = CheckPtr(Shared().rec);
  if (rec->ErrorCB == nullptr) return;
  TraceCall([&] { return "ZeloError: path=" + fileName; });
  int32_t hostAnswer = answer;
  rec->ErrorCB(rec, fileName.c_str(), &hostAnswer);
  answer = hostAnswer;
}

}  // namespace

void CallUserProgress(ZeloRec* rec) {
  ResetResult();
  ZeloProgressCB progress = Shared().progress;
  if (progress == nullptr) return;
  TraceCall([&] {
    return "ZeloProgress: doneFrames=" + StrInt(rec->DoneFrames) +
           ", doneSamples=" + StrInt(rec->DoneSamples);
  });
  progress(rec, rec->State, rec->DoneFrames, rec->DoneSamples);
  if (rec->Abort) ConSetStatus(CONV_ABORTED);
}

void InstallBridges(ZeloRec* rec) {
  ConSourceProc videoSource, audioSource;
  ConFuncProc videoFunc, audioFunc;
  if (rec->VideoSourceCB != nullptr) {
    videoSource = [](SourceRequest* r) {
      ZeloRec* rec = Shared().rec;
      SourceBridge(r, rec->VideoSourceCB, kRequestVideo, rec->FrameRate, "ZeloVideoSource");
    };
    videoFunc = VideoFuncBridge;
  }
  if (rec->AudioSourceCB != nullptr) {
    audioSource = [](SourceRequest* r) {
      SourceBridge(r, Shared().rec->AudioSourceCB, kRequestAudio, UNDEF_REAL, "ZeloAudioSource");
    };
    audioFunc = AudioFuncBridge;
  }
  ConSetCallbacks(videoSource, videoFunc, audioSource, audioFunc, ProgressBridge, ErrorBridge);
}

}  // namespace zelo::api

using namespace zelo;

namespace {

// Registration: the trace line is the export's name, a space and the address.
template <class CB>
int32_t Assign(const char* name, ZeloRec* rec, CB ZeloRec::*field, CB callback) {
  return api::FramedStatus(name, [&] {
    api::TraceCall([&] {
      return std::string(name + 9) + " " + StrPtr(reinterpret_cast<const void*>(callback));
    });
    CheckPtr(rec)->*field = callback;
  });
}

// A source setter: traces, then does its work on the open request, if any.
template <class MakeLine, class Work>
int32_t SrcSet(const char* name, ZeloRec* rec, MakeLine&& makeLine, Work&& work) {
  return api::FramedStatus(name, [&] {
    api::TraceCall(makeLine);
    SourceRequest* request = api::OpenRequest(rec);
    if (request != nullptr) work(request);
  });
}

}  // namespace

extern "C" {

ZELO_API int32_t ZELO_CALL ZeloAssignVideoSource(ZeloRec* rec, ZeloSourceCB cb) {
  return Assign("zelomain.ZeloAssignVideoSource", rec, &ZeloRec::VideoSourceCB, cb);
}
ZELO_API int32_t ZELO_CALL ZeloAssignAudioSource(ZeloRec* rec, ZeloSourceCB cb) {
  return Assign("zelomain.ZeloAssignAudioSource", rec, &ZeloRec::AudioSourceCB, cb);
}
ZELO_API int32_t ZELO_CALL ZeloAssignVideoFunc(ZeloRec* rec, ZeloVideoFuncCB cb) {
  return Assign("zelomain.ZeloAssignVideoFunc", rec, &ZeloRec::VideoFuncCB, cb);
}
ZELO_API int32_t ZELO_CALL ZeloAssignAudioFunc(ZeloRec* rec, ZeloAudioFuncCB cb) {
  return Assign("zelomain.ZeloAssignAudioFunc", rec, &ZeloRec::AudioFuncCB, cb);
}
ZELO_API int32_t ZELO_CALL ZeloAssignProgress(ZeloRec* rec, ZeloProgressCB cb) {
  return Assign("zelomain.ZeloAssignProgress", rec, &ZeloRec::ProgressCB, cb);
}
ZELO_API int32_t ZELO_CALL ZeloAssignError(ZeloRec* rec, ZeloErrorCB cb) {
  return Assign("zelomain.ZeloAssignError", rec, &ZeloRec::ErrorCB, cb);
}

ZELO_API int32_t ZELO_CALL ZeloSrcSetFile(ZeloRec* rec, const char* fileName) {
  return api::FramedStatus("zelomain.ZeloSrcSetFile", [&] {
    api::TraceCall([&] { return "ZeloSrcSetFile: " + StrText(fileName); });
    SourceRequest* request = api::OpenRequest(rec);
    if (request == nullptr) return;
    CheckPtr(fileName);
    api::ConvShared& s = api::Shared();
    char*& destStrP = rec->RequestKind == 2 ? s.audioName : s.videoName;
    MemFree(&destStrP);
    const size_t length = std::strlen(fileName);
    if (length >= INT32_MAX) ThrowFault("Range check error");
    _memalloc_(&destStrP, static_cast<int32_t>(length + 1), 6301, MEM_STRING,
               "zelomain.ZeloSrcSetFile.destStrP");
    if (destStrP == nullptr) return;
    std::memcpy(destStrP, fileName, length + 1);
    request->data = destStrP;
    request->kind = SRC_FILE;
    request->frameRate = UNDEF_REAL;
  });
}

ZELO_API int32_t ZELO_CALL ZeloSrcSetImg(ZeloRec* rec, const Qimg* img) {
  return api::FramedStatus("zelomain.ZeloSrcSetImg", [&] {
    api::TraceCall([&] { return "ZeloSrcSetImg: " + StrImg(img); });
    SourceRequest* request = api::OpenRequest(rec);
    if (request == nullptr) return;
    Qimg& srcImg = api::Shared().srcImg;
    ImgCopy(CheckPtr(img), &srcImg);
    request->data = &srcImg;
    request->kind = SRC_IMAGE;
  });
}

ZELO_API int32_t ZELO_CALL ZeloSrcSetDIB(ZeloRec* rec, void* bitmap) {
  return api::FramedStatus("zelomain.ZeloSrcSetDIB", [&] {
    api::TraceCall([&] {
      return "ZeloSrcSetDIB (init): " + StrInt(static_cast<int64_t>(reinterpret_cast<uintptr_t>(bitmap)));
    });
    SourceRequest* request = api::OpenRequest(rec);
    if (request == nullptr) return;
    Qimg& srcImg = api::Shared().srcImg;
    const bool converted = HBitmapToQimg(static_cast<gdi::HBITMAP>(bitmap), &srcImg) != 0;
    api::TraceCall([&] { return "ZeloSrcSetDIB (done): " + StrImg(&srcImg); });
    if (!converted) return;
    request->data = &srcImg;
    request->kind = SRC_IMAGE;
  });
}

ZELO_API int32_t ZELO_CALL ZeloSrcSetPixels(ZeloRec* rec, const void* pixels, const void* palette,
                                            int32_t width, int32_t height, int32_t bpp) {
  return api::FramedStatus("zelomain.ZeloSrcSetPixels", [&] {
    api::TraceCall([&] {
      return "ZeloSrcSetPixels: pixPtr=" + StrPtr(pixels) + ", palPtr=" + StrPtr(palette);
    });
    SourceRequest* request = api::OpenRequest(rec);
    if (request == nullptr) return;
    Qimg& srcImg = api::Shared().srcImg;
    RawToQimg(&srcImg, pixels, palette, width, height, bpp);
    if (srcImg.bpp > 24) ImgConvBpp(&srcImg, &srcImg, 24);
    request->data = &srcImg;
    request->kind = SRC_IMAGE;
  });
}

ZELO_API int32_t ZELO_CALL ZeloSrcSetFrameRate(ZeloRec* rec, double fps) {
  return SrcSet(
      "zelomain.ZeloSrcSetFrameRate", rec, [&] { return "ZeloSrcSetFrameRate: " + StrReal(fps); },
      [&](SourceRequest* r) { r->frameRate = fps; });
}

ZELO_API int32_t ZELO_CALL ZeloSrcSetDirection(ZeloRec* rec, int32_t direction) {
  return SrcSet(
      "zelomain.ZeloSrcSetDirection", rec,
      [&] {
        return std::string("ZeloSrcSetDirection: ") + (direction == 1 ? "Forward" : "Backwards");
      },
      [&](SourceRequest* r) { r->direction = direction; });
}

ZELO_API int32_t ZELO_CALL ZeloSrcSetStart(ZeloRec* rec, int32_t start) {
  return SrcSet(
      "zelomain.ZeloSrcSetStart", rec, [&] { return "ZeloSrcSetStart: " + StrInt(start); },
      [&](SourceRequest* r) {
        // Frames are numbered from 1 in the request, sample frames from 0.
        r->start = rec->RequestKind == 2 ? start : start + 1;
      });
}

ZELO_API int32_t ZELO_CALL ZeloSrcSetLen(ZeloRec* rec, int32_t length) {
  return SrcSet(
      "zelomain.ZeloSrcSetLen", rec, [&] { return "ZeloSrcSetLen: " + StrInt(length); },
      [&](SourceRequest* r) { r->length = length; });
}

ZELO_API int32_t ZELO_CALL ZeloSrcSetStartTime(ZeloRec* rec, double seconds) {
  return SrcSet(
      "zelomain.ZeloSrcSetStartTime", rec,
      [&] { return "ZeloSrcSetStartTime: " + StrReal(seconds); },
      [&](SourceRequest* r) { r->startTime = seconds; });
}

ZELO_API int32_t ZELO_CALL ZeloSrcSetLenTime(ZeloRec* rec, double seconds) {
  return SrcSet(
      "zelomain.ZeloSrcSetLenTime", rec, [&] { return "ZeloSrcSetLenTime: " + StrReal(seconds); },
      [&](SourceRequest* r) { r->lengthTime = seconds; });
}

ZELO_API int32_t ZELO_CALL ZeloSrcFinished(ZeloRec* rec) {
  return SrcSet(
      "zelomain.ZeloSrcFinished", rec, [] { return std::string("ZeloSrcFinished"); },
      [&](SourceRequest* r) { r->finished = kTrue; });
}

}  // extern "C"
