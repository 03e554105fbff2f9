// The output sink: a QUni named by UniCreate, created on its first picture or
// sound, writing one still image, a numbered sequence of still images, or a
// movie or sound file.
#include <algorithm>
#include <string>

#include "conversion/conform.h"
#include "conversion/uni.h"
#include "formats/avicodecs.h"
#include "formats/ff_jex.h"
#include "formats/ff_pnm.h"
#include "formats/ff_ras.h"
#include "formats/ff_sgi.h"
#include "formats/ffbasic.h"
#include "formats/imgfile.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/geometry.h"
#include "image/imgbasic.h"
#include "sound/sndbasic.h"

namespace zelo {

namespace {

constexpr int32_t kLoc = 54000;  // raise sites of this file: kLoc + n

// The MPEG module holds its data rate in bits per second.
constexpr int64_t kMpgMaxBitRate = 104857200;

int32_t DecimalDigits(int32_t n) {
  int32_t digits = 1;
  for (int64_t v = std::max<int64_t>(n, 0); v >= 10; v /= 10) ++digits;
  return digits;
}

// Hands the in-effect settings to the module of the sink's format; UNDEF
// leaves the module's current value.
void HandOverSettings_(const QffSave& s, int32_t id) {
  switch (id) {
    case FF_TGA:
      if (s.codec != UNDEF) TGASetCompression(s.codec != 0);
      break;
    case FF_AVI:
      AviUseVC(&s.avi);
      break;
    case FF_JEX:
      if (s.codec == 0 || s.codec == 1) JEXFast(s.codec);
      if (s.keyFrameRate != UNDEF && s.keyFrameRate >= 0) JEXKeyFrameRate(s.keyFrameRate);
      break;
    case FF_SGI:
      if (s.codec != UNDEF) SGIRle = s.codec != 0;
      break;
    case FF_RAS:
      if (s.codec != UNDEF) RASRle = s.codec != 0;
      break;
    case FF_PNM:
      if (s.codec != UNDEF) PNMAscii = s.codec != 0;
      break;
    case FF_JPG:
      // Quality (0..100): the JPEG module takes it once it exists.
    case FF_PNG:
      // Level (0..9): the PNG module takes it once it exists.
    case FF_TIF:
      // Compression code: the TIFF module takes it once it exists.
    case FF_MPG:
      // Format and data rate (bits per second = value x 1024, limited to
      // 0..kMpgMaxBitRate): the MPEG module takes them once it exists.
    default:
      break;
  }
}

// Brings a picture to the sink's geometry; `out` is the picture to save
// (the caller's or one of the two temporaries).
Qimg* FitToSink_(const QffMedia& m, Qimg* img, Qimg* temp1, Qimg* temp2) {
  Qimg* out = img;
  auto next = [&]() { return out == temp1 ? temp2 : temp1; };
  if (out->bpp != m.bpp) {
    Qimg* dst = next();
    ImgConvBpp(out, dst, m.bpp);
    out = dst;
  }
  if (out->resX != m.width || out->resY != m.height) {
    Qimg* dst = next();
    ImgResize(out, dst, m.width, m.height);
    out = dst;
    // Resizing gives 24 bits for every depth but 8.
    if (out->bpp != m.bpp) {
      Qimg* again = next();
      ImgConvBpp(out, again, m.bpp);
      out = again;
    }
  }
  return out;
}

}  // namespace

void UniCreate(QUni* uni, const std::string& name) {
  PathScope path("ConForm.UniCreate");
  *CheckPtr(uni) = QUni{};
  uni->id = FFGetID(name, FF_TABLE_WRITE);
  uni->media.frames = 1;
  uni->kind = FFKind(uni->id, 1);
  uni->fileName = ShortString(name);
}

void SetExpectedFrames(QUni* uni, int32_t frames) {
  CheckPtr(uni)->media.frames = frames;
  uni->kind = FFKind(uni->id, frames);
}

void SetFrameRate(QUni* uni, double rate) {
  CheckPtr(uni)->frameRate = rate;
  uni->media.frameRate = rate;
}

void SetInterleave(QUni* uni, int32_t frames) { CheckPtr(uni)->interleave = frames; }

void AddCustomInfo(QUni* uni, const std::string& key, const std::string& text) {
  if (CheckPtr(uni)->customCount >= kUniMaxCustomInfo) return;
  QUniCustomInfo& entry = uni->custom[uni->customCount++];
  entry.key = key.substr(0, 4);
  entry.text = ShortString(text);
}

void SetSaveSettings(QUni* uni, const QffSave& settings) {
  CheckPtr(uni)->settings = settings;
  uni->id = settings.id;
}

void UniCreateCheck_(QUni* uni) {
  Routine("ConForm.UniCreateCheck_", [&] {
    if (CheckPtr(uni)->setUp) return;
    uni->kind = FFKind(uni->id, uni->media.frames);
    const int32_t caps = FFGetCaps(uni->id, FF_TABLE_WRITE);
    uni->media.picturesReadable = caps != UNDEF && HasFlag(caps, FFC_PICTURES) ? kTrue : kFalse;
    uni->media.soundReadable = caps != UNDEF && HasFlag(caps, FFC_SOUND) ? kTrue : kFalse;
    if (uni->settings.useSettings) HandOverSettings_(uni->settings, uni->id);

    switch (uni->kind) {
      case KIND_STILL:
      case KIND_SEQUENCE: {
        QSeq seq;
        int32_t number = 0;
        const bool numbered = SeqSplit(uni->fileName, false, seq.prefix, seq.digits, number, seq.suffix);
        if (numbered || uni->media.frames > 1) {
          uni->kind = KIND_SEQUENCE;
          seq.first = numbered ? number : 0;
          if (!numbered) seq.digits = DecimalDigits(uni->media.frames);
          seq.files = 0;
          uni->seq = seq;
        } else {
          uni->kind = KIND_STILL;
        }
        break;
      }
      case KIND_MOVIE:
        MviCreate(&uni->mvi, uni->fileName, uni->frameRate, uni->interleave, uni->media.frames);
        for (int32_t i = 0; i < uni->customCount; ++i)
          MviSetAviCustomInfo(&uni->mvi, uni->custom[i].key, uni->custom[i].text);
        break;
      default:
        ErrRaise(16, 1, kLoc + 1);
        return;
    }
    uni->setUp = kTrue;
    ErrRaise(0, 0, kLoc);
  });
}

void UniImgSave(QUni* uni, Qimg* img) {
  Routine("ConForm.UniImgSave", [&] {
    CheckPtr(uni);
    CheckPtr(img);
    QffMedia& m = uni->media;
    if (!uni->geometryFixed) {
      m.width = img->resX;
      m.height = img->resY;
      m.bytesPP = img->bytesPP;
      m.bpp = img->bpp;
      uni->geometryFixed = kTrue;
    }
    UniCreateCheck_(uni);
    if (!m.picturesReadable) {
      ErrRaise(12, 5, kLoc + 2);
      return;
    }
    Qimg temp1{}, temp2{};
    Qimg* out = FitToSink_(m, img, &temp1, &temp2);
    switch (uni->kind) {
      case KIND_STILL:
        ImgSave(uni->fileName, out, uni->id);
        uni->curFrame = 1;
        break;
      case KIND_SEQUENCE:
        if (uni->seq.files == 0) uni->fileName = ShortString(SeqName(uni->seq, 1));
        ImgSave(SeqName(uni->seq, uni->seq.files + 1), out, uni->id);
        uni->seq.files++;
        uni->curFrame = uni->seq.files;
        break;
      case KIND_MOVIE:
        MviImgSave(&uni->mvi, out);
        uni->curFrame = MviCurFrame(uni->mvi);
        break;
      default:
        ErrRaise(16, 1, kLoc + 3);
        return;
    }
    ImgFree(&temp1);
    ImgFree(&temp2);
    uni->picTime = uni->curFrame > 1 && uni->frameRate > 0 ? (uni->curFrame - 1) / uni->frameRate : 0;
    ErrRaise(0, 0, kLoc);
  });
}

void UniSndSave(QUni* uni, Qsnd* snd) {
  Routine("ConForm.UniSndSave", [&] {
    CheckPtr(uni);
    CheckPtr(snd);
    QffMedia& m = uni->media;
    if (!uni->soundFixed) {
      const QWaveFormat& f = snd->format;
      m.pcmRate = f.samplesPerSec;
      m.pcmChannels = f.channels;
      m.pcmBits = f.bitsPerSample;
      m.pcmBlockAlign = int32_t(int64_t(f.samplesPerSec) * f.channels * ((f.bitsPerSample + 7) / 8));
      WaveFormatPCM(m.pcmFormat, int32_t(f.samplesPerSec), f.channels, f.bitsPerSample);
      uni->soundFixed = kTrue;
    }
    UniCreateCheck_(uni);
    if (!m.soundReadable) {
      ErrRaise(12, 5, kLoc + 4);
      return;
    }
    if (uni->kind != KIND_MOVIE) {
      ErrRaise(16, 1, kLoc + 5);
      return;
    }
    // Later sound in another format is brought to the first one's, so one
    // stream never mixes formats.
    Qsnd* out = snd;
    if (WaveFormatDiffers(snd->format, m.pcmFormat)) {
      SndConvert(*snd, uni->sndBuf, m.pcmFormat);
      out = &uni->sndBuf;
    }
    MviSndSave(&uni->mvi, out);
    uni->sndPos = MviSndPos(uni->mvi);
    uni->sndTime = m.pcmRate > 0 ? uni->sndPos / m.pcmRate : 0;
    ErrRaise(0, 0, kLoc);
  });
}

void MakeCompatibleRes(int32_t& width, int32_t& height) {
  auto round16 = [](int32_t v) {
    const int64_t r = (int64_t(v) + 15) / 16 * 16;
    return static_cast<int32_t>(std::min<int64_t>(r, INT32_MAX / 16 * 16));
  };
  width = round16(width);
  height = round16(height);
}

}  // namespace zelo
