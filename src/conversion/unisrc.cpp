// Universal source: one still image, a numbered sequence of still images, or
// a movie or sound file, described by UniInfo and read through one handle.
#include <cstdlib>

#include "conversion/conform.h"
#include "conversion/uni.h"
#include "formats/ffbasic.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "sound/sndbasic.h"

namespace zelo {
namespace {

constexpr int32_t kLoc = 52100;  // raise sites of this file: kLoc + n

// a / b, or 0 when either is not above 0.
double Ratio(double a, double b) { return a > 0 && b > 0 ? a / b : 0.0; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// FFInfo with its error left pending instead of unwinding; true when it
// left none.
bool TryInfo(const std::string& name, int32_t id, QffInfo* info) {
  ProtectedKeep([&] { FFInfo(name, id, info); });
  return ErrNone();
}

bool HasMedia(const QffInfo& info) { return info.media.hasPictures || info.media.hasSound; }

// The fields derived from the others.
void Compute(QffMedia& m) {
  m.pictureSize = double(m.width) * m.height * m.bytesPP * m.frames;
  m.duration = Ratio(m.frames, m.frameRate);
  m.pcmRate = m.pcmFormat.samplesPerSec;
  m.pcmChannels = m.pcmFormat.channels;
  m.pcmBits = m.pcmFormat.bitsPerSample;
  m.pcmBlockAlign = m.pcmFormat.blockAlign;
  m.pcmSize = double(m.sampleFrames) * m.pcmBlockAlign;
  m.soundDuration = Ratio(m.sampleFrames, m.pcmRate);
}

// Counts the files of the numbered sequence the still image `name` starts:
// the numbers that follow it, up to maxFiles, as long as each file is a
// picture of the first one's geometry and depth.
void CountSequence(const std::string& name, QUniInfo* info, int32_t maxFiles, bool allowMinus) {
  QSeq seq;
  if (!SeqSplit(name, allowMinus, seq.prefix, seq.digits, seq.first, seq.suffix)) return;
  const QffMedia& first = info->media;
  const bool probing = first.frames == 1 && first.picturesReadable;
  int32_t count = 0;
  int64_t probed = 0;
  for (;;) {
    ++count;
    info->totalSize += probed;
    if (count >= maxFiles || !probing) break;
    // The next number must still be an int32.
    if (int64_t(seq.first) + count > INT32_MAX) break;
    QffInfo next;
    const bool ok = TryInfo(SeqName(seq, count + 1), UNDEF, &next);
    // A missing or different file ends the sequence; that is no failure.
    ErrClear();
    if (!ok || next.media.width != first.width || next.media.height != first.height ||
        next.media.bpp != first.bpp)
      break;
    probed = next.fileSize;
  }
  seq.files = count;
  if (count > 1) {
    info->kind = UNI_SEQUENCE;
    info->media.frames = count;
  }
  info->seq = seq;
}

}  // namespace

bool SeqSplit(const std::string& name, bool allowMinus, std::string& prefix, int32_t& digits,
              int32_t& number, std::string& suffix) {
  PathScope path("ConForm.SeqSplit");
  const size_t slash = name.find_last_of('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  suffix.clear();
  digits = 0;
  number = 0;
  // Without a number the extension is the suffix.
  auto noNumber = [&] {
    const size_t dot = name.find_last_of('.');
    const size_t cut = dot == std::string::npos || dot < start ? name.size() : dot;
    prefix = name.substr(0, cut);
    suffix = name.substr(cut);
    return false;
  };
  // The last run of digits, optionally with a minus right before it.
  size_t end = name.size();  // one past the run
  while (end > start && !IsDigit(name[end - 1])) --end;
  if (end == start) return noNumber();
  size_t begin = end;
  while (begin > start && IsDigit(name[begin - 1])) --begin;
  const bool minus = allowMinus && begin > start && name[begin - 1] == '-';
  const size_t prefixEnd = minus ? begin - 1 : begin;
  // A number too large to count with is no usable number.
  int64_t value = 0;
  for (size_t i = begin; i < end; ++i) {
    value = value * 10 + (name[i] - '0');
    if (value > INT32_MAX) return noNumber();
  }
  prefix = name.substr(0, prefixEnd);
  suffix = name.substr(end);
  digits = int32_t(end - begin);
  number = int32_t(minus ? -value : value);
  return true;
}

std::string SeqName(const QSeq& seq, int32_t index) {
  const int64_t n = int64_t(seq.first) + index - 1;
  std::string text = std::to_string(n < 0 ? -n : n);
  if (int32_t(text.size()) < seq.digits) text.insert(0, size_t(seq.digits) - text.size(), '0');
  return seq.prefix + (n < 0 ? "-" : "") + text + seq.suffix;
}

bool UniInfo(const std::string& name, QUniInfo* info, int32_t maxFiles, bool allowMinus) {
  PathScope path("ConForm.UniInfo");
  CheckPtr(info);
  *info = QUniInfo{};
  // The inner attempts keep their errors in frames of their own; closing
  // the outer frame would clear what they left, so it is noted here.
  bool pending = false;
  ProtectedKeep([&] {
    const int32_t firstId = FFGetID(name, FF_TABLE_READ);
    QffInfo ffi;
    bool ok = TryInfo(name, firstId, &ffi);
    // An extension no format claims: nothing to try.
    if (!ok && ErrCategory() == ERR_FF && ErrCode() == 2) {
      pending = true;
      return;
    }
    int32_t id = firstId;
    if (!ok || !HasMedia(ffi)) {
      // The extension may lie: ask every readable format in turn.
      const int32_t rows = FFTableSize(FF_TABLE_READ);
      for (int32_t i = 0; i < rows; ++i) {
        const int32_t tryId = FFTableRow(FF_TABLE_READ, i).id;
        if (tryId == firstId) continue;
        QffInfo other;
        if (TryInfo(name, tryId, &other) && HasMedia(other)) {
          ffi = other;
          id = tryId;
          break;
        }
      }
    }
    if (!ErrNone()) {
      pending = true;
      return;
    }
    info->id = id;
    info->fileName = name;
    info->description = ffi.description;
    info->totalSize = ffi.fileSize;
    info->media = ffi.media;
    info->dataRate = ffi.dataRate;
    info->kind = FFKind(id, info->media.frames);
    if (info->kind == UNI_STILL && maxFiles > 1) CountSequence(name, info, maxFiles, allowMinus);
    Compute(info->media);
  });
  if (ErrNone() && !pending) return true;
  *info = QUniInfo{};
  ErrClear();
  ErrWarn(ERR_FILE, 9, kLoc + 1);
  return false;
}

void UniOpen(QUni* uni, const QUniInfo* info) {
  Routine("ConForm.UniOpen", [&] {
    CheckPtr(uni);
    CheckPtr(info);
    *uni = QUni{};
    uni->id = info->id;
    uni->kind = info->kind;
    uni->fileName = info->fileName;
    uni->media = info->media;
    switch (info->kind) {
      case UNI_STILL:
        break;
      case UNI_SEQUENCE:
        uni->seq = info->seq;
        break;
      case UNI_MOVIE:
        MviOpen(&uni->mvi, info->fileName, info->id);
        break;
      default:
        return ErrRaise(ERR_UNI, 1, kLoc + 10);
    }
    ErrRaise(ERR_UNI, 0, kLoc + 11);
  });
}

void UniImgLoad(QUni* uni, Qimg* img, int32_t frame, int32_t flags) {
  Routine("ConForm.UniImgLoad", [&] {
    CheckPtr(uni);
    uni->palChanged = kFalse;
    if (!uni->media.picturesReadable) return ErrRaise(ERR_MVI, 5, kLoc + 20);
    switch (uni->kind) {
      case UNI_STILL:
        ImgLoad(uni->fileName, img, uni->id);
        uni->curFrame = 1;
        uni->palChanged = kTrue;
        break;
      case UNI_SEQUENCE:
        ImgLoad(SeqName(uni->seq, frame), img, uni->id);
        uni->curFrame = frame;
        uni->palChanged = kTrue;
        break;
      case UNI_MOVIE:
        MviImgLoad(&uni->mvi, img, frame, flags);
        uni->curFrame = MviCurFrame(uni->mvi);
        uni->palChanged = MviPalChanged(uni->mvi);
        break;
      default:
        return ErrRaise(ERR_UNI, 1, kLoc + 21);
    }
    uni->picTime = Ratio(uni->curFrame - 1, uni->media.frameRate);
    ErrRaise(ERR_UNI, 0, kLoc + 22);
  });
}

void UniSndLoad(QUni* uni, Qsnd* snd, int32_t position, int32_t flags, int32_t count) {
  Routine("ConForm.UniSndLoad", [&] {
    CheckPtr(uni);
    CheckPtr(snd);
    if (!uni->media.soundReadable) return ErrRaise(ERR_MVI, 5, kLoc + 30);
    if (uni->kind != UNI_MOVIE) return ErrRaise(ERR_UNI, 1, kLoc + 31);
    MviSndLoad(&uni->mvi, snd, position, flags, count);
    uni->sndPos = MviSndPos(uni->mvi);
    const double rate = snd->format.samplesPerSec > 0 ? snd->format.samplesPerSec : uni->media.pcmFormat.samplesPerSec;
    uni->sndTime = Ratio(uni->sndPos, rate);
    ErrRaise(ERR_UNI, 0, kLoc + 32);
  });
}

void UniClose(QUni* uni) {
  Routine("ConForm.UniClose", [&] {
    CheckPtr(uni);
    // The sound buffer is freed and the handle zeroed even when closing the
    // movie fails; the error still reaches the caller.
    struct Release {
      QUni* uni;
      ~Release() {
        // No routine here: it would open a frame and clear the error on its way out.
        MemFree(&uni->sndBuf.SndData);
        *uni = QUni{};
      }
    } release{uni};
    switch (uni->kind) {
      case UNI_NONE:
      case UNI_STILL:
      case UNI_SEQUENCE:
        break;
      case UNI_MOVIE:
        MviClose(&uni->mvi);
        break;
      default:
        return ErrRaise(ERR_UNI, 1, kLoc + 40);
    }
    ErrRaise(ERR_UNI, 0, kLoc + 41);
  });
}

}  // namespace zelo
