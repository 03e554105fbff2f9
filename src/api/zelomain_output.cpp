// Output configuration: the exports that fill the output side of a
// conversion record. They only store values; the run checks them.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "api/frame.h"
#include "api/zelorec.h"
#include "api/zeloapi.h"
#include "conversion/ffsave.h"
#include "formats/ffbasic.h"
#include "foundation/basic.h"
#include "sound/sndbasic.h"

namespace zelo::api {

int32_t OutputFormatID(const std::string& fileName) {
  const int32_t id = FFGetID(fileName, FF_TABLE_WRITE);
  return id != UNDEF && FFIsWritable(id) ? id : UNDEF;
}

}  // namespace zelo::api

using namespace zelo;

namespace {

bool EndsWithM2V(const std::string& name) {
  if (name.size() < 4) return false;
  std::string ext = name.substr(name.size() - 4);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".m2v";
}

// The exports of one format's setting: select the format, then hand the value
// to its setter.
template <class Setter>
int32_t SetFormatValue(const char* name, const char* label, ZeloRec* rec, int32_t format,
                       int32_t value, Setter setter) {
  return api::FramedStatus(name, [&] {
    api::TraceCall([&] {
      return std::string(name + 9) + ": fmt=" + StrInt(format) + ", " + label + "=" + StrInt(value);
    });
    CheckPtr(rec);
    SetFormat(&rec->CodecSettings, format);
    setter(&rec->CodecSettings, value);
  });
}

// A process-wide switch: these exports only push, trace and pop.
ZeloBool SwitchOn(const char* name, void (*set)(bool)) {
  std::lock_guard<std::recursive_mutex> lock(ApiMutex());
  PathScope path(name);
  api::TraceCall([&] { return std::string(name + 9); });
  set(true);
  return ZELO_TRUE;
}

}  // namespace

extern "C" {

ZELO_API int32_t ZELO_CALL ZeloSetOutputFile(ZeloRec* rec, const char* videoFile,
                                             const char* audioFile) {
  return api::FramedStatus("zelomain.ZeloSetOutputFile", [&] {
    api::TraceCall([&] {
      return "ZeloSetOutputFile: vid=" + StrText(videoFile) + ", aud=" + StrText(audioFile);
    });
    CheckPtr(rec);
    rec->VideoFile.SetC(videoFile);
    rec->VideoFormat = api::OutputFormatID(rec->VideoFile.Get());
    SetFormat(&rec->CodecSettings, rec->VideoFormat);
    if (FFMpeg2Enabled() && rec->VideoFormat == FF_MPG && EndsWithM2V(rec->VideoFile.Get()))
      ZeloSetCodec(rec, FF_MPG, 2);
    rec->AudioFile.SetC(audioFile);
    rec->AudioFormat = api::OutputFormatID(rec->AudioFile.Get());
  });
}

ZELO_API int32_t ZELO_CALL ZeloSetFrameRate(ZeloRec* rec, double fps, ZeloBool keepDuration) {
  return api::FramedStatus("zelomain.ZeloSetFrameRate", [&] {
    api::TraceCall([&] {
      return "ZeloSetFrameRate: " + StrReal(fps) + (keepDuration != 0 ? ", keep duration" : "");
    });
    CheckPtr(rec);
    rec->FrameRate = fps;
    rec->KeepDuration = ToBool(keepDuration != 0);
  });
}

ZELO_API int32_t ZELO_CALL ZeloSetResolution(ZeloRec* rec, int32_t width, int32_t height) {
  return api::FramedStatus("zelomain.ZeloSetResolution", [&] {
    api::TraceCall([&] { return "ZeloSetResolution: " + StrInt(width) + "x" + StrInt(height); });
    if (CheckPtr(rec)->State != 0) return;
    rec->Width = ClampInt(width, 4, 4096);
    rec->Height = ClampInt(height, 4, 4096);
    rec->AutoRes = kFalse;
  });
}

ZELO_API int32_t ZELO_CALL ZeloSetBpp(ZeloRec* rec, int32_t bpp) {
  return api::FramedStatus("zelomain.ZeloSetBpp", [&] {
    api::TraceCall([&] { return "ZeloSetBpp: " + StrInt(bpp); });
    if (CheckPtr(rec)->State != 0) return;
    if (bpp == 8 || bpp == 15 || bpp == 16 || bpp == 24 || bpp == 32) rec->Bpp = bpp;
  });
}

ZELO_API int32_t ZELO_CALL ZeloEnableDithering(ZeloRec* rec, ZeloBool on) {
  return api::FramedStatus("zelomain.ZeloEnableDithering", [&] {
    api::TraceCall([&] { return "ZeloEnableDithering: " + StrBool(on); });
    CheckPtr(rec)->Dither = ToBool(on != 0);
  });
}

ZELO_API int32_t ZELO_CALL ZeloForceCompatibility(ZeloRec* rec, ZeloBool on) {
  return api::FramedStatus("zelomain.ZeloForceCompatibility", [&] {
    api::TraceCall([&] { return "ZeloForceCompatibility: " + StrBool(on); });
    CheckPtr(rec)->ForceCompat = ToBool(on != 0);
  });
}

ZELO_API int32_t ZELO_CALL ZeloSetAudioFormat(ZeloRec* rec, int32_t rate, int32_t channels,
                                              int32_t bits) {
  return api::FramedStatus("zelomain.ZeloSetAudioFormat", [&] {
    api::TraceCall([&] {
      return "ZeloSetAudioFormat: rate=" + StrInt(rate) + ", chan=" + StrInt(channels) +
             ", bits=" + StrInt(bits);
    });
    WaveFormatPCM(CheckPtr(rec)->AudioFmt, rate, channels, bits);
  });
}

ZELO_API int32_t ZELO_CALL ZeloSetCodec(ZeloRec* rec, int32_t format, int32_t codec) {
  return api::FramedStatus("zelomain.ZeloSetCodec", [&] {
    api::TraceCall([&] {
      return "ZeloSetCodec: fmt=" + StrInt(format) + ", codec=" +
             StrHex(static_cast<uint32_t>(codec));
    });
    CheckPtr(rec);
    SetFormat(&rec->CodecSettings, format);
    FFSaveSetCodec(&rec->CodecSettings, codec);
  });
}

ZELO_API int32_t ZELO_CALL ZeloSetQuality(ZeloRec* rec, int32_t format, int32_t quality) {
  return SetFormatValue("zelomain.ZeloSetQuality", "quality", rec, format, quality,
                        FFSaveSetQuality);
}

ZELO_API int32_t ZELO_CALL ZeloSetDataRate(ZeloRec* rec, int32_t format, int32_t rate) {
  return SetFormatValue("zelomain.ZeloSetDataRate", "rate", rec, format, rate, FFSaveSetDataRate);
}

ZELO_API int32_t ZELO_CALL ZeloSetKeyFrameRate(ZeloRec* rec, int32_t format, int32_t rate) {
  return SetFormatValue("zelomain.ZeloSetKeyFrameRate", "rate", rec, format, rate,
                        FFSaveSetKeyFrameRate);
}

ZELO_API int32_t ZELO_CALL ZeloAviClearCustomInfo(ZeloRec* rec) {
  return api::FramedStatus("zelomain.ZeloAviClearCustomInfo", [&] {
    api::TraceCall([] { return std::string("ZeloAviClearCustomInfo"); });
    CheckPtr(rec);
    rec->AviInfoCount = 0;
    for (QAviInfoEntry& e : rec->AviInfo) e = QAviInfoEntry{};
  });
}

ZELO_API int32_t ZELO_CALL ZeloAviAddCustomInfo(ZeloRec* rec, const char* id, const char* value) {
  return api::FramedStatus("zelomain.ZeloAviAddCustomInfo", [&] {
    api::TraceCall([] { return std::string("ZeloAviAddCustomInfo"); });
    CheckPtr(rec);
    if (rec->AviInfoCount < 0 || rec->AviInfoCount >= kAviInfoMax) return;
    if (id == nullptr || value == nullptr || std::strlen(id) < 4 || *value == '\0') return;
    QAviInfoEntry& e = rec->AviInfo[rec->AviInfoCount++];
    e.idLength = 4;
    std::memcpy(e.id, id, 4);
    e.value.SetC(value);
  });
}

ZELO_API ZeloBool ZELO_CALL ZeloEnableMPEG2(void) {
  return SwitchOn("zelomain.ZeloEnableMPEG2", FFSetMpeg2);
}

ZELO_API ZeloBool ZELO_CALL ZeloEnableLZW(void) { return SwitchOn("zelomain.ZeloEnableLZW", FFSetLzw); }

}  // extern "C"
