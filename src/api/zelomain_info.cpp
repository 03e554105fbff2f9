// File information, output format ids and the codecs each output format
// offers.
#include <cstring>
#include <vector>

#include "api/frame.h"
#include "api/zeloapi.h"
#include "conversion/uni.h"
#include "formats/avicodecs.h"
#include "formats/ffbasic.h"
#include "foundation/errors.h"

using namespace zelo;

namespace {

// Copies a text into a fixed field, cut to fit, always terminated.
template <size_t N>
void CopyField(char (&field)[N], const std::string& text) {
  const size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

// The AVI compressors the last ZeloCodecsInit for AVI counted.
std::vector<QAviCodec>& AviCodecs() {
  static std::vector<QAviCodec> codecs;
  return codecs;
}

int32_t CountAviCodecs(int32_t width, int32_t height, int32_t depth) {
  std::vector<QAviCodec>& codecs = AviCodecs();
  codecs.clear();
  QAviCodec** list = nullptr;
  const int32_t n = AviCodecList(&list, width, height, depth);
  for (int32_t i = 0; i < n && list != nullptr; ++i) {
    if (list[i] == nullptr || !list[i]->compatible) continue;
    QAviCodec c = *list[i];
    c.state = nullptr;  // the list owns the private state
    c.stateSize = 0;
    codecs.push_back(c);
  }
  return static_cast<int32_t>(codecs.size());
}

// One adjustable setting of a codec: its switch, default and range.
void SetRange(ZeloBool& adjustable, int32_t& def, int32_t& low, int32_t& high, bool on,
              int32_t defValue, int32_t lowValue, int32_t highValue) {
  adjustable = on ? ZELO_TRUE : ZELO_FALSE;
  def = defValue;
  low = lowValue;
  high = highValue;
}

#define ZELO_RANGE(info, field) info->field##Adjustable, info->field##Default, info->field##Min, info->field##Max

void DescribeCodec(int32_t format, ZeloCodecInfo* info, int32_t index) {
  std::memset(info, 0, sizeof *info);
  info->format = format;
  info->codec = index - 1;
  CopyField(info->description, index == 2 ? "Run length encoded (RLE)" : "Uncompressed, full frames");
  switch (format) {
    case FF_TGA: case FF_AVI: case FF_JEX: case FF_PNG: case FF_SGI: case FF_RAS: case FF_PNM:
      info->hasCodecs = ZELO_TRUE;
      break;
    default:
      break;
  }
  auto text = [&](const char* t) { CopyField(info->description, t); };
  switch (format) {
    case FF_PCX:
      text("Run length encoded (RLE)");
      break;
    case FF_GIF:
      text("Variable-Length-Code LZW (Lempel-Ziv & Welch)");
      break;
    case FF_FLC:
      text("RLE + pixel difference from previous frame");
      break;
    case FF_AVI: {
      const std::vector<QAviCodec>& codecs = AviCodecs();
      if (index < 1 || index > static_cast<int32_t>(codecs.size())) break;
      const QAviCodec& c = codecs[static_cast<size_t>(index - 1)];
      info->codec = static_cast<int32_t>(c.fourcc);
      text(AviCodecText(c.description).c_str());
      SetRange(ZELO_RANGE(info, quality), c.supportsQuality != 0, c.quality, 0, 100);
      SetRange(ZELO_RANGE(info, dataRate), true, 300, 0, INT32_MAX);
      SetRange(ZELO_RANGE(info, keyFrameRate), c.supportsKeyFrames != 0, c.keyFrameRate, 0, INT32_MAX);
      break;
    }
    case FF_JEX:
      if (index == 1) {
        info->codec = 1;
        text("JEX-FAST compression");
      } else if (index == 2) {
        info->codec = 0;
        text("JEX-BEST compression");
      }
      SetRange(ZELO_RANGE(info, keyFrameRate), true, 25, 0, INT32_MAX);
      break;
    case FF_JPG:
      text("ISO/IEC IS 10918-1, ITU-T T.81");
      SetRange(ZELO_RANGE(info, quality), true, 85, 0, 100);
      break;
    case FF_PNG:
      info->levelMin = 0;
      info->levelMax = 9;
      text("Deflate compression (modified LZ77)");
      break;
    case FF_TIF: {
      static const struct {
        int32_t codec;
        const char* text;
      } kTiff[] = {{1, "Uncompressed"},
                   {7, "JPEG DCT compression"},
                   {32773, "PackBits (Macintosh RLE)"},
                   {32946, "Deflate compression (ZIP)"},
                   {5, "Variable-Length-Code LZW"}};
      const int32_t count = FFLzwEnabled() ? 5 : 4;
      if (index >= 1 && index <= count) {
        info->codec = kTiff[index - 1].codec;
        text(kTiff[index - 1].text);
      }
      break;
    }
    case FF_MPG:
      if (index == 1) text("MPEG-1 format");
      if (index == 2 && FFMpeg2Enabled()) text("MPEG-2 format");
      SetRange(ZELO_RANGE(info, dataRate), true, 610, 1, 12800);
      break;
    case FF_WAV:
      text("PCM, uncompressed");
      break;
    case FF_PNM:
      text(index == 2 ? "ASCII encoded" : "Binary encoded");
      break;
    case FF_MPA:
      text("MPEG audio compression");
      break;
    default:
      break;
  }
}

#undef ZELO_RANGE

}  // namespace

extern "C" {

ZELO_API void ZELO_CALL ZeloGetFileInfo(const char* fileName, ZeloFileInfo* info, ZeloBool sequence) {
  api::FramedStatus("zelomain.ZeloGetFileInfo", [&] {
    CheckPtr(info);
    std::memset(info, 0, sizeof *info);
    QUniInfo ui;
    const bool described =
        UniInfo(StrText(CheckPtr(fileName)), &ui, sequence != 0 ? INT32_MAX : 1, false) &&
        (ui.kind == UNI_STILL || ui.kind == UNI_SEQUENCE || ui.kind == UNI_MOVIE);
    if (!described) {
      // The description failed and left only a warning (or nothing, when no
      // format could describe the file): the host is told.
      const int32_t category = ErrWarnCategory() != 0 ? ErrWarnCategory() : ERR_FILE;
      const int32_t code = ErrWarnCode() != 0 ? ErrWarnCode() : 9;
      return ErrRaise(category, code, 6801);
    }
    const QffMedia& m = ui.media;
    CopyField(info->fileName, ui.fileName);
    CopyField(info->description, ui.description);
    info->totalSize = static_cast<double>(ui.totalSize);
    info->hasPictures = m.hasPictures ? ZELO_TRUE : ZELO_FALSE;
    info->picturesReadable = m.picturesReadable ? ZELO_TRUE : ZELO_FALSE;
    CopyField(info->videoCompression, m.videoName);
    info->frames = m.frames;
    info->videoDuration = m.duration;
    info->pictureSize = m.pictureSize;
    info->frameRate = m.frameRate;
    info->width = m.width;
    info->height = m.height;
    info->bytesPP = m.bytesPP;
    info->bpp = m.bpp;
    info->hasSound = m.hasSound ? ZELO_TRUE : ZELO_FALSE;
    info->soundReadable = m.soundReadable ? ZELO_TRUE : ZELO_FALSE;
    CopyField(info->audioCompression, m.audioName);
    info->sampleFrames = m.sampleFrames;
    info->soundDuration = m.soundDuration;
    info->pcmSize = m.pcmSize;
    info->pcmRate = m.pcmRate;
    info->pcmChannels = m.pcmChannels;
    info->pcmBits = m.pcmBits;
    info->pcmBlockAlign = m.pcmBlockAlign;
  });
}

ZELO_API int32_t ZELO_CALL ZeloGetFileFmtID(const char* fileName) {
  return api::Framed("zelomain.ZeloGetFileFmtID", UNDEF,
                     [&] { return api::OutputFormatID(CheckPtr(fileName)); });
}

ZELO_API int32_t ZELO_CALL ZeloCodecsInit(int32_t format, int32_t width, int32_t height, int32_t depth) {
  return api::Framed("zelomain.ZeloCodecsInit", 0, [&]() -> int32_t {
    switch (format) {
      case FF_TGA: case FF_JEX: case FF_SGI: case FF_RAS: case FF_PNM:
        return 2;
      case FF_AVI:
        return CountAviCodecs(width, height, depth);
      case FF_TIF:
        return FFLzwEnabled() ? 5 : 4;
      case FF_MPG:
        return FFMpeg2Enabled() ? 2 : 1;
      case FF_PCX: case FF_GIF: case FF_FLC: case FF_JPG: case FF_PNG: case FF_WAV: case FF_XPM:
      case FF_MPA:
        return 1;
      default:
        return 0;
    }
  });
}

ZELO_API int32_t ZELO_CALL ZeloCodecsGetInfo(int32_t format, ZeloCodecInfo* info, int32_t index) {
  return api::FramedStatus("zelomain.ZeloCodecsGetInfo",
                           [&] { DescribeCodec(format, CheckPtr(info), index); });
}

}  // extern "C"
