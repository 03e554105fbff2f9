// The output format's save settings: choosing the format, the per-format
// setters and the preparation of the in-effect values for a run.
#include <algorithm>

#include "conversion/ffsave.h"
#include "formats/avicodecs.h"
#include "formats/ffbasic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"

namespace zelo {

namespace {

bool FormatHasSettings_(int32_t id) {
  switch (id) {
    case FF_TGA:
    case FF_AVI:
    case FF_JEX:
    case FF_JPG:
    case FF_PNG:
    case FF_TIF:
    case FF_MPG:
    case FF_SGI:
    case FF_RAS:
    case FF_PNM:
      return true;
    default:
      return false;
  }
}

// A new AVI compressor takes over the tuning of the one it replaces. The
// setters write through to the codec list, whose entry wins when the record
// is made current.
void AviSelectCompressor_(QAviCodec* avi, uint32_t fourcc) {
  const int32_t keyFrameRate = avi->keyFrameRate;
  const int32_t quality = avi->quality;
  const int32_t dataRate = avi->dataRate;
  AviCodecRecord(avi, fourcc);
  AviSetKeyFrameRate(avi, keyFrameRate);
  AviSetQuality(avi, quality);
  AviSetDataRate(avi, dataRate);
}

// The depth the current AVI compressor writes for the picture, or UNDEF when
// none takes it; the chosen compressor's settings come back into `avi`.
int32_t AviPrepare_(QAviCodec* avi, int32_t width, int32_t height) {
  AviUseVC(avi);
  // A keeping call: whatever the last fallback left stays here.
  ProtectedKeep([&] { AviSetVC(width, height, avi->outBits, kFalse); });
  if (!ErrNone()) {
    ErrClear();
    return UNDEF;
  }
  const int32_t bits = AviVCBpp();
  AviGetVC(avi);
  return bits;
}

}  // namespace

void SetFormat(QffSave* s, int32_t id) {
  CheckPtr(s);
  s->id = id;
  s->hasSettings = FormatHasSettings_(id) ? kTrue : kFalse;
}

void FFSaveSetCodec(QffSave* s, int32_t value) {
  PathScope path("ConForm.FFSaveSetCodec");
  switch (CheckPtr(s)->id) {
    case FF_TGA:
      s->tgaCompression = value;
      break;
    case FF_AVI:
      AviSelectCompressor_(&s->avi, static_cast<uint32_t>(value));
      break;
    case FF_JEX:
      s->jexCodec = value;
      break;
    case FF_PNG:
      s->pngLevel = value;
      break;
    case FF_TIF:
      s->tifCompression = value;
      break;
    case FF_MPG:
      s->mpgFormat = value;
      break;
    case FF_SGI:
      s->sgiCompression = value;
      break;
    case FF_RAS:
      s->rasCompression = value;
      break;
    case FF_PNM:
      s->pnmEncoding = value;
      break;
    default:
      break;
  }
}

void FFSaveSetQuality(QffSave* s, int32_t value) {
  PathScope path("ConForm.FFSaveSetQuality");
  switch (CheckPtr(s)->id) {
    case FF_AVI:
      AviSetQuality(&s->avi, value);
      break;
    case FF_JPG:
      s->jpgQuality = value;
      break;
    default:
      break;
  }
}

void FFSaveSetKeyFrameRate(QffSave* s, int32_t value) {
  PathScope path("ConForm.FFSaveSetKeyFrameRate");
  switch (CheckPtr(s)->id) {
    case FF_AVI:
      AviSetKeyFrameRate(&s->avi, value);
      break;
    case FF_JEX:
      s->jexKeyFrameRate = value;
      break;
    default:
      break;
  }
}

void FFSaveSetDataRate(QffSave* s, int32_t value) {
  PathScope path("ConForm.FFSaveSetDataRate");
  switch (CheckPtr(s)->id) {
    case FF_AVI:
      AviSetDataRate(&s->avi, value);
      break;
    case FF_MPG:
      // Kilobytes to kilobits; beyond the int32 range the rate saturates
      // instead of turning negative.
      s->mpgDataRate = static_cast<int32_t>(
          std::clamp<int64_t>(int64_t(value) * 8, INT32_MIN, INT32_MAX));
      break;
    default:
      break;
  }
}

int32_t FFSavePrepare(QffSave* s, int32_t width, int32_t height, int32_t depth) {
  PathScope path("ConForm.FFSavePrepare");
  int32_t result = FFStoreDepth(CheckPtr(s)->id, depth);
  switch (s->id) {
    case FF_TGA:
      s->codec = s->tgaCompression;
      break;
    case FF_AVI:
      result = AviPrepare_(&s->avi, width, height);
      if (result != UNDEF) s->codec = static_cast<int32_t>(s->avi.fourcc);
      break;
    case FF_JEX:
      s->codec = s->jexCodec;
      s->keyFrameRate = s->jexKeyFrameRate;
      break;
    case FF_JPG:
      s->quality = s->jpgQuality;
      break;
    case FF_PNG:
      s->codec = s->pngLevel;
      break;
    case FF_TIF:
      s->codec = s->tifCompression;
      break;
    case FF_MPG:
      s->codec = s->mpgFormat;
      s->dataRate = s->mpgDataRate;
      break;
    case FF_SGI:
      s->codec = s->sgiCompression;
      break;
    case FF_RAS:
      s->codec = s->rasCompression;
      break;
    case FF_PNM:
      s->codec = s->pnmEncoding;
      break;
    default:
      break;
  }
  return result;
}

}  // namespace zelo
