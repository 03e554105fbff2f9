// Unit FF_AVI: reading and writing AVI movies through the AVI file services.
// The services parse and index the file and trust none of it; what this
// unit reads from them (format blocks, stream lengths, information chunks)
// is still checked before it sizes anything.
#include "formats/ff_avi.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "formats/avicodecs.h"
#include "formats/ffbasic.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "foundation/trace.h"
#include "image/imgbasic.h"
#include "platform/acm.h"

namespace zelo {
namespace {

using namespace vfw;

constexpr int32_t kLoc = 6200;  // raise sites of this file: kLoc + n
constexpr int32_t kMaxFormatBytes = 1 << 20;   // a larger format block is not believed
constexpr int32_t kMaxInfoBytes = 16 << 20;    // nor a larger information list
constexpr int32_t kMaxReadBlock = 64 << 20;    // one read of stored sound
constexpr int32_t kWaveFormatSize = int32_t(sizeof(QWaveFormat));

int32_t g_openCount = 0;

void AviFail_(HRESULT r, int32_t location) { ErrRaise(ERR_AVIFILE, r, location); }

QWaveFormat* InFormat_(QAviFile* af) { return reinterpret_cast<QWaveFormat*>(af->sl.InFormat); }

// Releases every service object and tracked block of the handle without
// raising; returns the first error met completing a written file.
HRESULT ReleaseAll_(QAviFile* af) {
  HRESULT first = AVIERR_OK;
  auto keep = [&first](HRESULT r) {
    if (first == AVIERR_OK && r < 0) first = r;
  };
  if (af->frames != nullptr) AVIStreamGetFrameClose(af->frames);
  af->frames = nullptr;
  // The compressed stream first: it hands its last samples to the raw one.
  if (af->video != nullptr) keep(AVIStreamRelease(af->video));
  if (af->rawVideo != nullptr) keep(AVIStreamRelease(af->rawVideo));
  af->video = af->rawVideo = nullptr;
  // Closed directly: this may run while a failure unwinds, which a raise
  // from the sound unit would replace.
  if (af->acm.handle != nullptr) acmStreamClose(af->acm.handle, 0);
  af->acm = QWaveConv{};
  if (af->audio != nullptr) keep(AVIStreamRelease(af->audio));
  af->audio = nullptr;
  if (af->file != nullptr) keep(AVIFileRelease(af->file));
  af->file = nullptr;
  MemFree(&af->sl.SndData);
  MemFree(&af->sl.InFormat);
  MemFree(&af->videoFormat);
  MemFree(&af->customInfo);
  if (af->isOpen && g_openCount > 0) --g_openCount;
  std::memset(af, 0, sizeof *af);
  return first;
}

// Opens the file (reading or creating) with no handler, then with the AVI
// file handler; a first failure stays as a warning.
void OpenFile_(QAviFile* af, const std::string& name, uint32_t mode, int32_t location) {
  HRESULT r = AVIFileOpen(&af->file, name.c_str(), mode, nullptr);
  if (r == AVIERR_OK) return;
  ErrWarn(ERR_AVIFILE, r, location);
  r = AVIFileOpen(&af->file, name.c_str(), mode, &CLSID_AVIFile);
  if (r != AVIERR_OK) {
    af->file = nullptr;
    AviFail_(r, location + 1);
  }
}

// The header of a decoded frame or a video format block: width, height and
// bit count (16 as 15).
bool TakeGeometry_(QAviFile* af, const uint8_t* header, int64_t size) {
  if (header == nullptr || size < kInfoHeaderSize) return false;
  const BITMAPINFOHEADER h = GetInfoHeader(header);
  af->width = h.biWidth;
  af->height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  af->bpp = h.biBitCount == 16 ? 15 : h.biBitCount;
  af->bytesPP = (af->bpp + 7) / 8;
  return true;
}

void OpenVideo_(QAviFile* af, HRESULT& last) {
  PAVISTREAM vs = nullptr;
  last = AVIFileGetStream(af->file, &vs, streamtypeVIDEO, 0);
  if (last != AVIERR_OK || vs == nullptr) return;
  af->video = vs;
  if (HRESULT r = AVIStreamInfo(vs, &af->videoInfo, int32_t(sizeof af->videoInfo)); r != AVIERR_OK)
    return AviFail_(r, kLoc + 10);
  if (HRESULT r = AVIStreamReadFormat_(vs, &af->videoFormat, af->videoFormatSize); r != AVIERR_OK)
    return AviFail_(r, kLoc + 11);
  // A stream without a time unit has no rate.
  af->frameRate = af->videoInfo.dwScale != 0 ? double(af->videoInfo.dwRate) / af->videoInfo.dwScale : 0.0;
  af->frameCount = AVIStreamLength(vs);
  if (af->frameCount < 1) return ErrRaise(ERR_AVI, 5, kLoc + 12);
  af->frames = AVIStreamGetFrameOpen(vs, nullptr);
  const void* dib = af->frames != nullptr ? AVIStreamGetFrame(af->frames, 0) : nullptr;
  if (dib == nullptr || !TakeGeometry_(af, static_cast<const uint8_t*>(dib), kInfoHeaderSize)) {
    // No decoder for these pictures: the file still tells what they are.
    if (af->frames != nullptr) AVIStreamGetFrameClose(af->frames);
    af->frames = nullptr;
    AVIStreamRelease(af->video);
    af->video = nullptr;
    TakeGeometry_(af, af->videoFormat, af->videoFormatSize);
  }
}

// PCM frames the whole stored stream decodes to (block codecs and PCM
// exactly; the services estimate MPEG audio).
void SizePcm_(QAviFile* af, int64_t length) {
  const QWaveFormat* in = InFormat_(af);
  HACMSTREAM hs = nullptr;
  int32_t r = acmStreamOpen(&hs, nullptr, in, &af->sl.OutFormat, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME);
  if (r != MMSYSERR_NOERROR) return ErrRaise(ERR_ACM, r, kLoc + 20);
  // The bytes the stream stores; the stored format's block size times the
  // length only where the services cannot tell (MPEG audio in AVI has a
  // nominal block size that says nothing of the bytes).
  int32_t stored = 0, samples = 0;
  int64_t source = length * in->blockAlign;
  if (AVIStreamRead(af->audio, 0, int32_t(std::min<int64_t>(length, INT32_MAX)), nullptr, 0, &stored, &samples) ==
          AVIERR_OK &&
      stored > 0 && samples == length)
    source = stored;
  uint64_t bytes = 0;
  uint32_t out = 0;
  // A stream too long for one 32-bit request is measured one block at a time.
  if (source <= int64_t(UINT32_MAX)) {
    r = acmStreamSize(hs, uint32_t(source), &out, ACM_STREAMSIZEF_SOURCE);
    bytes = out;
  } else {
    r = acmStreamSize(hs, in->blockAlign, &out, ACM_STREAMSIZEF_SOURCE);
    bytes = uint64_t(out) * uint64_t(source / std::max<uint16_t>(in->blockAlign, 1));
  }
  acmStreamClose(hs, 0);
  if (r != MMSYSERR_NOERROR) return ErrRaise(ERR_ACM, r, kLoc + 21);
  const uint64_t total = bytes / std::max<uint16_t>(af->sl.OutFormat.blockAlign, 1);
  af->sl.totalSamples = int32_t(std::min<uint64_t>(total, INT32_MAX));
}

void OpenAudio_(QAviFile* af, HRESULT& last) {
  PAVISTREAM as = nullptr;
  HRESULT r = AVIFileGetStream(af->file, &as, streamtypeAUDIO, 0);
  if (r != AVIERR_OK || as == nullptr) {
    if (af->video == nullptr && af->videoFormat == nullptr) last = r;
    return;
  }
  af->audio = as;
  QSndLoader& sl = af->sl;
  const int32_t length = std::max(AVIStreamLength(as), 0);
  sl.totalBlocks = length;
  sl.totalSamples = length;
  if (AVIStreamInfo(as, &af->audioInfo, int32_t(sizeof af->audioInfo)) != AVIERR_OK ||
      AVIStreamReadFormat_(as, &sl.InFormat, sl.InFormatSize) != AVIERR_OK)
    return AVIIgnoreAudio_(af->audio);
  // Shorter than a wave format: there is no format to describe.
  if (sl.InFormatSize < 16) {
    MemFree(&sl.InFormat);
    sl.InFormatSize = 0;
    return AVIIgnoreAudio_(af->audio);
  }
  // The block holds at least the 18-byte format, and no more extra bytes
  // than were stored.
  if (sl.InFormatSize < kWaveFormatSize) {
    _memalloc_(&sl.InFormat, kWaveFormatSize, kLoc + 30, MEM_BLOCK, "ff_avi.AVIStreamReadFormat_.dest_ptr");
    FillBytes(0, kWaveFormatSize - sl.InFormatSize, sl.InFormat + sl.InFormatSize);
    sl.InFormatSize = kWaveFormatSize;
  }
  QWaveFormat* in = InFormat_(af);
  in->extraSize = uint16_t(std::min<int32_t>(in->extraSize, sl.InFormatSize - kWaveFormatSize));
  if (in->avgBytesPerSec < 1) in->avgBytesPerSec = in->samplesPerSec * in->blockAlign;
  if (in->formatTag == 1) {
    sl.OutFormat = *in;
    sl.OutFormat.extraSize = 0;
  } else {
    std::memset(&sl.OutFormat, 0, sizeof sl.OutFormat);
    sl.OutFormat.formatTag = 1;
    if (in->blockAlign == 0 ||
        acmFormatSuggest(nullptr, in, &sl.OutFormat, kWaveFormatSize, ACM_FORMATSUGGESTF_WFORMATTAG) !=
            MMSYSERR_NOERROR)
      return AVIIgnoreAudio_(af->audio);
    SizePcm_(af, length);
  }
  sl.ratio = length > 0 ? double(sl.totalSamples) / length : 1.0;
  if (sl.ratio <= 0) sl.ratio = 1.0;
  if (!WaveFormatComplete(sl.OutFormat)) return AVIIgnoreAudio_(af->audio);
  af->convNotStarted = kTrue;
}

bool Writing_(const QAviFile* af) { return af->writing != kFalse && af->file != nullptr; }

// Rows of the image into DIB order: bottom-up, each padded to 4 bytes with zeros.
void FlipRows_(const Qimg* img, uint8_t* out, int32_t rowBytes, int32_t pad) {
  const uint8_t* pixels = ImgPixels(img);
  const int32_t h = img->resY;
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = out + int64_t(h - 1 - y) * (rowBytes + pad);
    MoveBytes(rowBytes, row, pixels + int64_t(y) * rowBytes);
    if (pad > 0) FillBytes(0, pad, row + rowBytes);
  }
}

// The first picture fixes the codec, the geometry and the video stream.
void StartVideo_(QAviFile* af, const Qimg* img) {
  AviWriteCustomInfo(af);
  AviUseVC(&af->codec);
  AviSetVC(img->resX, img->resY, img->bpp, kFalse);
  AviGetVC(&af->codec);
  af->width = img->resX;
  af->height = img->resY;
  af->bpp = af->codec.outBits;
  af->bytesPP = (af->bpp + 7) / 8;
  if (af->bpp != 8 && af->bpp != 15 && af->bpp != 16 && af->bpp != 24 && af->bpp != 32)
    return ErrRaise(ERR_AVI, 7, kLoc + 40);

  const AVICOMPRESSOPTIONS* opts = AviCompressOptions();
  AVISTREAMINFO& si = af->videoInfo;
  std::memset(&si, 0, sizeof si);
  si.fccType = streamtypeVIDEO;
  si.fccHandler = opts->fccHandler;
  si.dwScale = 10000;
  si.dwRate = uint32_t(std::llround(af->frameRate * 10000));
  si.dwSuggestedBufferSize = uint32_t(DibRowBytes(af->width, af->bpp == 15 ? 16 : af->bpp) * af->height);
  si.dwQuality = opts->dwQuality;
  si.rcFrame.right = af->width;
  si.rcFrame.bottom = af->height;
  if (HRESULT r = AVIFileCreateStream(af->file, &af->rawVideo, &si); r != AVIERR_OK)
    return AviFail_(r, kLoc + 41);
  HRESULT r = AVIMakeCompressedStream(&af->video, af->rawVideo, opts, nullptr);
  if (r != AVIERR_OK) {
    ErrWarn(ERR_AVIFILE, r, kLoc + 42);
    r = AVIMakeCompressedStream(&af->video, af->rawVideo, opts, &CLSID_AVICmpStream);
    if (r != AVIERR_OK) {
      af->video = nullptr;
      return AviFail_(r, kLoc + 43);
    }
  }
  _memalloc_(&af->videoFormat, kBitmapInfoSize, kLoc + 44, MEM_BLOCK, "ff_avi.AviImgSave.af.videoFormat");
  af->videoFormatSize = kBitmapInfoSize;
  const int32_t depth = af->bpp == 15 ? 16 : af->bpp;
  FillBitmapInfo_(af->videoFormat, af->width, af->height, img, depth);
  r = AVIStreamSetFormat(af->video, 0, af->videoFormat, depth == 8 ? kBitmapInfoSize : kInfoHeaderSize);
  if (r != AVIERR_OK) return AviFail_(r, kLoc + 45);
}

}  // namespace

int32_t AviOpenCount() { return g_openCount; }

// --- helpers ---------------------------------------------------------------------

void FillBitmapInfo_(uint8_t* info, int32_t width, int32_t height, const Qimg* palette, int32_t bits) {
  CheckPtr(info);
  FillBytes(0, kInfoHeaderSize, info);
  BITMAPINFOHEADER h;
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = uint16_t(bits);
  h.biCompression = BI_RGB;
  h.biSizeImage = uint32_t(int64_t(width) * height * ((bits + 7) / 8));
  if (bits == 8) {
    // An 8-bit header always carries its table: the codecs and the services
    // read 256 colours after it (black when no palette is given).
    FillBytes(0, 256 * 4, info + kInfoHeaderSize);
    if (palette != nullptr) {
      for (int32_t i = 0; i < 256; ++i) {
        uint8_t* e = info + kInfoHeaderSize + 4 * i;
        e[0] = palette->pal[i][0];
        e[1] = palette->pal[i][1];
        e[2] = palette->pal[i][2];
      }
      h.biClrUsed = 256;
    }
  }
  PutInfoHeader(info, h);
}

HRESULT AVIStreamReadFormat_(PAVISTREAM stream, uint8_t** block, int32_t& size) {
  PathScope path("ff_avi.AVIStreamReadFormat_");
  size = 0;
  HRESULT r = AVIStreamReadFormat(stream, 0, nullptr, &size);
  if (r != AVIERR_OK) return r;
  if (size <= 0 || size > kMaxFormatBytes) {
    size = 0;
    return AVIERR_BADFORMAT;
  }
  _memalloc_(block, size, kLoc + 1, MEM_BLOCK, "ff_avi.AVIStreamReadFormat_.dest_ptr");
  r = AVIStreamReadFormat(stream, 0, *block, &size);
  if (r != AVIERR_OK) {
    MemFree(block);
    size = 0;
  }
  return r;
}

void AVIIgnoreAudio_(PAVISTREAM& audio) {
  PathScope path("ff_avi.AVIIgnoreAudio_");
  if (audio != nullptr) AVIStreamRelease(audio);
  audio = nullptr;
  ErrWarn(ERR_AVI, 8, kLoc + 2);
}

// --- reading ---------------------------------------------------------------------

void AviOpen(QAviFile* af, const std::string& name) {
  Routine("ff_avi.AviOpen", [&] {
    CheckPtr(af);
    std::memset(af, 0, sizeof *af);
    ++g_openCount;
    af->isOpen = kTrue;
    // Whatever fails below leaves nothing open.
    MonSetCleanup([af] { ReleaseAll_(af); });
    int32_t fh = 0;
    FOpen(fh, name, FM_READ);
    af->fileSize = FSize(fh);
    FClose(fh);
    if (af->fileSize <= 0) return ErrRaise(ERR_AVI, 5, kLoc + 50);
    OpenFile_(af, name, OF_READ, kLoc + 51);
    AVIFILEINFO fi{};
    if (AVIFileInfo(af->file, &fi, int32_t(sizeof fi)) == AVIERR_OK)
      af->dataRate = int32_t(std::min<uint32_t>(fi.dwMaxBytesPerSec, INT32_MAX));
    HRESULT last = AVIERR_NODATA;
    OpenVideo_(af, last);
    OpenAudio_(af, last);
    if (af->videoFormat == nullptr && af->audio == nullptr) return AviFail_(last, kLoc + 52);
    MonSetCleanup(nullptr);
    ErrRaise(ERR_AVI, 0, kLoc + 53);
  });
}

void AviImgLoad(QAviFile* af, Qimg* img, int32_t n, int32_t flags) {
  Routine("ff_avi.AviImgLoad", [&] {
    CheckPtr(af);
    CheckPtr(img);
    if (n < 0 || n > af->frameCount || Writing_(af)) return ErrRaise(ERR_AVI, 1, kLoc + 60);
    // The image holds frame n already.
    if ((flags & 1) != 0 && n > 0 && n == af->curFrame) MonFail();
    if (n != 0 && n != af->curFrame + 1) af->curFrame = n - 1;
    af->palChanged = kFalse;
    if (af->frames == nullptr && af->video != nullptr) af->frames = AVIStreamGetFrameOpen(af->video, nullptr);
    if (af->frames == nullptr) return ErrRaise(ERR_AVI, 1, kLoc + 61);
    const void* dib = AVIStreamGetFrame(af->frames, af->curFrame);
    if (dib == nullptr) return ErrRaise(ERR_AVI, 1, kLoc + 62);
    DibToQimg(img, dib);
    // The second picture (index 1) of an 8-bit movie is reported as bringing
    // a new palette.
    af->palChanged = ToBool(af->curFrame == 1 && img->bpp == 8);
    af->curFrame += 1;
    ErrRaise(ERR_AVI, 0, kLoc + 63);
  });
}

void AviSndSeek(QAviFile* af, int32_t s) {
  Routine("ff_avi.AviSndSeek", [&] {
    CheckPtr(af);
    QSndLoader& sl = af->sl;
    if (s < sl.totalSamples) {
      s = std::max(s, 0);
      const double ratio = sl.ratio > 0 ? sl.ratio : 1.0;
      int32_t sample = int32_t(std::trunc(s / ratio));
      if (sample < sl.totalBlocks) {
        sl.position = s;
      } else {
        sample = std::max(sl.totalBlocks - 1, 0);
        sl.position = int32_t(std::trunc(sample * ratio));
      }
      sl.blocksRead = sample;
      // Decoding starts at the stored sample (a whole coded block): the
      // frames before the position asked for are decoded and dropped.
      const int32_t start = int32_t(std::trunc(sample * ratio));
      af->skipFrames = std::clamp(sl.position - start, 0, sl.position);
      sl.position -= af->skipFrames;
      sl.decoded = sl.consumed = 0;
      sl.atEnd = kFalse;
      if (!af->convNotStarted && af->acm.handle != nullptr) WaveConvertDone(af->acm);
      af->convNotStarted = kTrue;
    }
    ErrRaise(ERR_AVI, 0, kLoc + 70);
  });
}

void AviSndLoad(QAviFile* af, Qsnd* snd, int32_t s, int32_t flags, int32_t count) {
  Routine("ff_avi.AviSndLoad", [&] {
    CheckPtr(af);
    CheckPtr(snd);
    QSndLoader& sl = af->sl;
    if ((flags & 1) == 0 || s != sl.position + af->skipFrames) AviSndSeek(af, s);
    snd->samples = 0;
    // A position past the end (where a seek does nothing) has no sound either.
    if ((sl.atEnd && sl.consumed >= sl.decoded) || af->audio == nullptr || Writing_(af) ||
        (s >= sl.totalSamples && sl.totalSamples > 0))
      return ErrRaise(ERR_AVI, 3, kLoc + 80);
    if (af->convNotStarted) {
      WaveConvertInit(af->acm, InFormat_(af), &sl.OutFormat);
      af->convNotStarted = kFalse;
    }
    while (af->skipFrames > 0) {
      SndLoad(af, af->acm, sl, AviSndLoad_, std::min(af->skipFrames, 65536), *snd);
      if (snd->samples <= 0) break;
      af->skipFrames -= snd->samples;
      sl.position += snd->samples;
    }
    af->skipFrames = 0;
    SndLoad(af, af->acm, sl, AviSndLoad_, count, *snd);
    sl.position += snd->samples;
    ErrRaise(ERR_AVI, 0, kLoc + 81);
  });
}

bool AviSndLoad_(void* reader, uint8_t** block, int32_t wanted, int32_t& bytesRead, int32_t& samplesRead) {
  PathScope path("ff_avi.AviSndLoad_");
  auto* af = static_cast<QAviFile*>(CheckPtr(reader));
  bytesRead = samplesRead = 0;
  const QWaveFormat* in = InFormat_(af);
  // Four seconds of stored sound, within sane bounds whatever the header says.
  int64_t size = int64_t(in->avgBytesPerSec) * 4;
  size = std::clamp<int64_t>(size, std::max<int64_t>(in->blockAlign, 4096), kMaxReadBlock);
  _memalloc_(block, int32_t(size), kLoc + 90, MEM_BLOCK, "ff_avi.AviSndLoad_.temp_buf");
  HRESULT r = AVIStreamRead(af->audio, af->sl.blocksRead, AVISTREAMREAD_CONVENIENT, *block, int32_t(size),
                            &bytesRead, &samplesRead);
  if (r == AVIERR_BUFFERTOOSMALL && bytesRead > size && bytesRead <= kMaxReadBlock) {
    // One stored chunk larger than four seconds: read it whole.
    size = bytesRead;
    _memalloc_(block, int32_t(size), kLoc + 91, MEM_BLOCK, "ff_avi.AviSndLoad_.temp_buf");
    r = AVIStreamRead(af->audio, af->sl.blocksRead, AVISTREAMREAD_CONVENIENT, *block, int32_t(size), &bytesRead,
                      &samplesRead);
  }
  if (r != AVIERR_OK) {
    bytesRead = samplesRead = 0;
    AviFail_(r, kLoc + 92);
    return false;
  }
  return bytesRead == wanted;
}

// --- writing ---------------------------------------------------------------------

void AviCreate(QAviFile* af, const std::string& name, int32_t interleave, double frameRate) {
  Routine("ff_avi.AviCreate", [&] {
    CheckPtr(af);
    std::memset(af, 0, sizeof *af);
    FDelete(name);
    ++g_openCount;
    af->isOpen = kTrue;
    MonSetCleanup([af] { ReleaseAll_(af); });
    OpenFile_(af, name, OF_CREATE | OF_WRITE, kLoc + 100);
    MonSetCleanup(nullptr);
    af->frameRate = frameRate;
    af->writing = kTrue;
    af->interleave = interleave;
    AviGetVC(&af->codec);
    ErrRaise(ERR_AVI, 0, kLoc + 102);
  });
}

void AviImgSave(QAviFile* af, Qimg* img) {
  Routine("ff_avi.AviImgSave", [&] {
    CheckPtr(af);
    CheckPtr(img);
    // A video stream whose setting up failed half-way takes no pictures.
    if (!Writing_(af) || (af->video == nullptr && af->rawVideo != nullptr)) return ErrRaise(ERR_AVI, 2, kLoc + 110);
    // The rate is written as rate / 10000 in 32 bits.
    if (!std::isfinite(af->frameRate) || af->frameRate <= 0 || af->frameRate * 10000 > double(UINT32_MAX))
      return ErrRaise(ERR_AVI, 2, kLoc + 111);
    // Tracked blocks of a failing save go with the frame.
    QffInitData work{};
    Qimg depthImg{};
    FFInit(FF_AVI, &work, img, 1);
    Qimg* pic = work.img;
    if (af->video == nullptr) {
      StartVideo_(af, pic);
    } else if (pic->resX != af->width || pic->resY != af->height) {
      return ErrRaise(ERR_AVI, 2, kLoc + 112);
    }
    // Pictures reach the codec at the depth it was set up for.
    if (pic->bpp != af->bpp) {
      ImgConvBpp(pic, &depthImg, af->bpp);
      pic = &depthImg;
    }
    const int32_t rowBytes = pic->resX * pic->bytesPP;
    const int32_t pad = (4 - rowBytes % 4) % 4;
    const int32_t frameBytes = (rowBytes + pad) * pic->resY;
    uint8_t* imgFlipped = nullptr;
    _memalloc_(&imgFlipped, frameBytes, kLoc + 113, MEM_BLOCK, "ff_avi.AviImgSave.imgFlipped");
    FlipRows_(pic, imgFlipped, rowBytes, pad);
    const HRESULT r = AVIStreamWrite(af->video, af->curFrame, 1, imgFlipped, frameBytes, 0, nullptr, nullptr);
    MemFree(&imgFlipped);
    if (r != AVIERR_OK) return AviFail_(r, kLoc + 114);
    af->curFrame += 1;
    ImgFree(&depthImg);
    FFDone(&work);
    ErrRaise(ERR_AVI, 0, kLoc + 115);
  });
}

void AviSndSave(QAviFile* af, const Qsnd* snd) {
  Routine("ff_avi.AviSndSave", [&] {
    CheckPtr(af);
    CheckPtr(snd);
    if (!Writing_(af)) return ErrRaise(ERR_AVI, 4, kLoc + 120);
    if (snd->SndData == nullptr || snd->samples <= 0) MonFail();
    // Sounds hold PCM; the bytes claimed must be there.
    const QWaveFormat& f = snd->format;
    if (f.formatTag != 1 || f.blockAlign == 0 || int64_t(snd->samples) * f.blockAlign > snd->allocated)
      return ErrRaise(ERR_AVI, 4, kLoc + 121);
    QSndLoader& sl = af->sl;
    if (af->audio == nullptr) {
      AVISTREAMINFO& si = af->audioInfo;
      std::memset(&si, 0, sizeof si);
      si.fccType = streamtypeAUDIO;
      si.dwScale = f.blockAlign;
      si.dwRate = f.avgBytesPerSec;
      si.dwSampleSize = f.blockAlign;
      if (HRESULT r = AVIFileCreateStream(af->file, &af->audio, &si); r != AVIERR_OK) {
        af->audio = nullptr;
        return AviFail_(r, kLoc + 122);
      }
      sl.InFormatSize = kWaveFormatSize;
      _memalloc_(&sl.InFormat, sl.InFormatSize, kLoc + 123, MEM_BLOCK, "ff_avi.AviSndSave.af.sl.InFormat");
      FillBytes(0, sl.InFormatSize, sl.InFormat);
      MoveBytes(kWaveFormatSize, sl.InFormat, &f);
      InFormat_(af)->extraSize = 0;
      if (HRESULT r = AVIStreamSetFormat(af->audio, 0, sl.InFormat, sl.InFormatSize); r != AVIERR_OK)
        return AviFail_(r, kLoc + 124);
    }
    const QWaveFormat& stored = *InFormat_(af);
    const Qsnd* data = snd;
    Qsnd sh_temp{};
    if (WaveFormatDiffers(f, stored)) {
      SndConvert(*snd, sh_temp, stored);
      data = &sh_temp;
    }
    if (data->samples > 0) {
      int32_t written = 0;
      const HRESULT r = AVIStreamWrite(af->audio, sl.blocksRead, data->samples, data->SndData,
                                       data->samples * stored.blockAlign, AVIIF_KEYFRAME, &written, nullptr);
      if (r != AVIERR_OK) return AviFail_(r, kLoc + 125);
      sl.blocksRead += written;
      sl.position = sl.blocksRead;
    }
    SndFree(sh_temp);
    ErrRaise(ERR_AVI, 0, kLoc + 126);
  });
}

void AviSetCustomInfo(QAviFile* af, const std::string& key, const std::string& text) {
  Routine("ff_avi.AviSetCustomInfo", [&] {
    CheckPtr(af);
    if (text.empty() || key.size() < 4) MonFail();
    if (af->customInfoUsed > kMaxInfoBytes) return ErrRaise(ERR_AVI, 2, kLoc + 130);
    _memalloc_(&af->customInfo, af->customInfoUsed + 4 + kAviInfoEntry, kLoc + 131, MEM_BLOCK,
               "ff_avi.AviSetCustomInfo.af.customInfo.buffer");
    uint8_t* e = af->customInfo + 4 + af->customInfoUsed;
    FillBytes(0, kAviInfoEntry, e);
    PutLE32(e, MakeFourCC(key.c_str()));
    PutLE32(e + 4, 256);
    MoveBytes(int32_t(std::min<size_t>(text.size(), 255)), e + 8, text.data());
    af->customInfoUsed += kAviInfoEntry;
    ErrRaise(ERR_AVI, 0, kLoc + 132);
  });
}

void AviWriteCustomInfo(QAviFile* af) {
  Routine("ff_avi.AviWriteCustomInfo", [&] {
    CheckPtr(af);
    if (af->customInfoUsed > 0 && af->customInfo != nullptr) {
      PutLE32(af->customInfo, MakeFourCC("INFO"));
      if (HRESULT r = AVIFileWriteData(af->file, riff::kLIST, af->customInfo, af->customInfoUsed + 4);
          r != AVIERR_OK)
        return AviFail_(r, kLoc + 140);
    }
    ErrRaise(ERR_AVI, 0, kLoc + 141);
  });
}

void AviGetCustomInfo(PAVIFILE file, const std::string& key, std::string& text) {
  Routine("ff_avi.AviGetCustomInfo", [&] {
    text.clear();
    const uint32_t code = MakeFourCC(key.c_str());
    int32_t size = 0;
    // A file without an information list has no entry: not a failure.
    if (AVIFileReadData(file, riff::kLIST, nullptr, &size) != AVIERR_OK || size <= 4)
      return ErrRaise(ERR_AVI, 0, kLoc + 150);
    if (size > kMaxInfoBytes) return ErrRaise(ERR_AVI, 1, kLoc + 151);
    uint8_t* buffer = nullptr;
    _memalloc_(&buffer, size, kLoc + 152, MEM_BLOCK, "ff_avi.AviGetCustomInfo.buffer");
    PutLE32(buffer, MakeFourCC("INFO"));
    int32_t got = size;
    if (HRESULT r = AVIFileReadData(file, riff::kLIST, buffer, &got); r != AVIERR_OK)
      return AviFail_(r, kLoc + 153);
    size = std::min(size, got);
    // Entries: code, size, data (padded to an even size as RIFF chunks are).
    for (int64_t at = 4; at + 8 <= size;) {
      const uint32_t id = GetLE32(buffer + at);
      const int64_t entry = GetLE32(buffer + at + 4);
      if (id == code) {
        const int64_t n = std::min<int64_t>({entry, 256, size - at - 8});
        const auto* p = reinterpret_cast<const char*>(buffer + at + 8);
        text.assign(p, strnlen(p, size_t(n)));
        break;
      }
      at += entry + 8;
    }
    MemFree(&buffer);
    ErrRaise(ERR_AVI, 0, kLoc + 154);
  });
}

// --- closing and information ------------------------------------------------------

void AviClose(QAviFile* af) {
  Routine("ff_avi.AviClose", [&] {
    CheckPtr(af);
    const HRESULT r = ReleaseAll_(af);
    if (r != AVIERR_OK) return AviFail_(r, kLoc + 160);
    ErrRaise(ERR_AVI, 0, kLoc + 161);
  });
}

void AviInfo(const std::string& name, QffInfo* info) {
  // Out here: the frame's clean-up runs after the work has unwound.
  auto af = std::make_unique<QAviFile>();
  QAviFile* h = af.get();
  Routine("ff_avi.AviInfo", [&] {
    CheckPtr(info);
    MonSetCleanup([h] { ReleaseAll_(h); });
    AviOpen(h, name);
    info->fileSize = h->fileSize;
    info->dataRate = h->dataRate;
    QffMedia& m = info->media;
    if (h->bpp > 0) {
      m.width = h->width;
      m.height = h->height;
      m.bpp = h->bpp;
      m.bytesPP = (h->bpp + 7) / 8;
      m.frames = h->frameCount;
      m.frameRate = h->frameRate;
      uint32_t code = h->videoInfo.fccHandler;
      if (code == 0 && h->videoFormat != nullptr && h->videoFormatSize >= kInfoHeaderSize)
        code = GetInfoHeader(h->videoFormat).biCompression;
      AVIGetVideoName(code, m.videoName);
      m.videoName = ShortString(m.videoName);
      m.hasPictures = ToBool(h->frameCount > 0);
      m.picturesReadable = ToBool(m.hasPictures && h->video != nullptr);
    }
    if (h->sl.InFormat != nullptr) {
      std::memcpy(&m.storedFormat, h->sl.InFormat, size_t(std::min<int32_t>(h->sl.InFormatSize, kWaveFormatSize)));
      m.pcmFormat = h->sl.OutFormat;
      m.sampleFrames = h->sl.totalSamples;
      AVIGetAudioName(InFormat_(h)->formatTag, m.audioName);
      m.audioName = ShortString(m.audioName);
      m.hasSound = ToBool(h->sl.totalSamples > 0);
      m.soundReadable = ToBool(m.hasSound && h->audio != nullptr);
    }
    MonSetCleanup(nullptr);
    AviClose(h);
    ErrRaise(ERR_AVI, 0, kLoc + 170);
  });
}

}  // namespace zelo
