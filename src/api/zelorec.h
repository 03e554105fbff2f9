// The conversion record the host prepares and hands to every conversion
// export. The host sees only its address; the fields live here.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "conversion/ffsave.h"
#include "foundation/types.h"
#include "zelo/zelo.h"

namespace zelo {

// A short string: a length byte and up to 255 characters.
struct ShortStr {
  uint8_t length;
  char text[255];

  std::string Get() const { return std::string(text, length); }
  void Set(const std::string& s) {
    length = static_cast<uint8_t>(s.size() > 255 ? 255 : s.size());
    s.copy(text, length);
  }
  // A host text (null counts as empty), cut to its first 255 characters.
  void SetC(const char* s) { Set(s == nullptr ? std::string() : std::string(s)); }
  bool Empty() const { return length == 0; }
};

// Elapsed time of a run: the wall clock, and the tick count for short runs.
struct QTimer {
  double seconds;
  uint16_t hours, minutes, secs, msecs;
  double startDate;     // days (wall clock at the start)
  uint32_t startTicks;  // milliseconds
};

void TimerStart(QTimer* timer);
double TimerRead(QTimer* timer);

constexpr int32_t kAviInfoMax = 16;

struct QAviInfoEntry {
  uint8_t idLength;
  char id[4];
  ShortStr value;
};

}  // namespace zelo

// The public opaque type, completed here.
struct ZeloRec {
  int32_t ExpectedFrames;
  int32_t VideoFormat;
  zelo::ShortStr VideoFile;
  int32_t Width;
  int32_t Height;
  zelo::BOOL AutoRes;
  int32_t Bpp;
  zelo::BOOL Dither;
  double FrameRate;
  zelo::BOOL KeepDuration;
  int32_t Direction;
  zelo::BOOL ForceCompat;
  zelo::QffSave CodecSettings;
  int32_t AudioFormat;
  zelo::ShortStr AudioFile;
  QWaveFormat AudioFmt;
  ZeloSourceCB VideoSourceCB;
  ZeloVideoFuncCB VideoFuncCB;
  ZeloSourceCB AudioSourceCB;
  ZeloAudioFuncCB AudioFuncCB;
  ZeloProgressCB ProgressCB;
  ZeloErrorCB ErrorCB;
  int32_t RequestKind;
  void* SrcRequest;   // zelo::SourceRequest* of the open source request
  void* FuncRequest;  // zelo::FilterRequest* of the open function request
  int32_t CurFrame;
  int32_t CurSample;
  zelo::BOOL PalPass;
  // Set by ZeloAbort, possibly from another thread.
  std::atomic<zelo::BOOL> Abort;
  zelo::QTimer Timer;
  int32_t State;
  double Elapsed;
  int32_t DoneFrames;
  int32_t DoneSamples;
  zelo::QAviInfoEntry AviInfo[zelo::kAviInfoMax];
  int32_t AviInfoCount;
};

namespace zelo {

// Writes the defaults of a new record (Timer and the AVI entries themselves
// are left alone; only the first AviInfoCount entries are ever read).
void ResetZeloRec(ZeloRec* rec);

}  // namespace zelo
