// The output format's save settings: their reset values and the name of the
// compression they select.
#include <cstring>

#include "conversion/conform.h"
#include "formats/avicodecs.h"
#include "formats/ffbasic.h"
#include "foundation/monitor.h"

namespace zelo {

void ResetQffSave(QffSave* s) {
  std::memset(CheckPtr(s), 0, sizeof *s);
  s->useSettings = kTrue;
  s->hasSettings = kTrue;
  s->id = UNDEF;
  s->codec = UNDEF;
  s->quality = UNDEF;
  s->dataRate = UNDEF;
  s->keyFrameRate = UNDEF;
  s->tgaCompression = 1;
  s->tifCompression = 1;
  s->sgiCompression = 1;
  s->rasCompression = 1;
  s->pnmEncoding = 0;
  s->jexCodec = 1;
  s->pngLevel = 7;
  s->mpgFormat = 1;
  // The AVI compressor starts as Cinepak at 24 bits; the AVI module fills
  // the rest of the record when it builds the codec's entry.
  s->avi.fourcc = MakeFourCC('c', 'v', 'i', 'd');
  s->avi.outBits = 24;
  s->jpgQuality = 85;
  s->jexKeyFrameRate = 25;
  s->mpgDataRate = 1125;
}

namespace {

constexpr const char* kRLE = "Run Length Encoding (RLE)";

// The name of the AVI compressor in the settings: the record's description
// (what the compression dialog lists), else the name the file information
// gives its code.
std::string AviCodecName_(const QAviCodec& codec) {
  std::string name = AviCodecText(codec.description);
  if (name.empty()) AVIGetVideoName(codec.fourcc, name);
  return name;
}

std::string TifCompressionName(int32_t code) {
  switch (code) {
    case 5:
      return "Variable-Length-Code LZW";
    case 7:
      return "JPEG DCT compression";
    case 32773:
      return "PackBits (Macintosh RLE)";
    case 32946:
      return "Deflate compression (ZIP)";
    default:
      return "Uncompressed, full frames";
  }
}

}  // namespace

void FFSaveCodecName(const QffSave& s, const std::string& /*fileName*/, std::string& text) {
  PathScope path("ConForm.FFSaveCodecName");
  text = "Uncompressed, full frames";
  switch (s.id) {
    case FF_TGA:
      if (s.tgaCompression != 0) text = kRLE;
      break;
    case FF_PCX:
      text = kRLE;
      break;
    case FF_FLC:
      text = "RLE + pixel difference from previous frame";
      break;
    case FF_AVI:
      text = AviCodecName_(s.avi);
      break;
    case FF_JEX:
      text = s.jexCodec == 0 ? "JEX-BEST compression" : s.jexCodec == 1 ? "JEX-FAST compression" : "N/A";
      break;
    case FF_JPG:
      text = "JPEG quality: " + std::to_string(s.jpgQuality) + "%";
      break;
    case FF_PNG:
      text = "PNG compression level: " + std::to_string(s.pngLevel) + " of 9";
      break;
    case FF_TIF:
      text = TifCompressionName(s.tifCompression);
      break;
    case FF_MPG:
      text = s.mpgFormat == 1 ? "MPEG-1 format" : s.mpgFormat == 2 ? "MPEG-2 format" : "N/A";
      break;
    case FF_SGI:
      if (s.sgiCompression != 0) text = kRLE;
      break;
    case FF_RAS:
      if (s.rasCompression != 0) text = kRLE;
      break;
    case FF_PNM:
      text = s.pnmEncoding != 0 ? "ASCII encoded" : "Binary encoded";
      break;
    default:
      break;
  }
}

}  // namespace zelo
