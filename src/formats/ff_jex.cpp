// Unit FF_JEX: reading and writing JEX movies. Every offset, size and count
// read from a file is checked before it is used: header fields before
// anything is allocated, index entries against the file size, chunks and
// strips against the read buffer, and the audio chain is walked with a bound.
#include "formats/ff_jex.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "formats/jex_codec.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "foundation/trace.h"
#include "image/imgbasic.h"
#include "sound/sndbasic.h"

namespace zelo {
namespace {

constexpr int32_t kLoc = 4900;  // raise sites of this unit: kLoc + n
constexpr uint8_t kMagic[4] = {0x4A, 0x45, 0x58, 0x1A};
constexpr int32_t kFrameHeader = 16;
constexpr int32_t kChunkHeader = 16;
constexpr int32_t kStripRecord = 20;
constexpr int32_t kAudioHeader = 16;
constexpr int32_t kPalChunkBytes = kChunkHeader + 768;
constexpr int32_t kPalReadMax = 1536;  // what JEXGetPal reads of a frame
// The first frame is a key frame, whose stream holds at least one bit per 64
// pixel bytes (a dictionary repeat covers 766 bytes with 12 bits): a header
// whose frames would be larger than this many times the file is not believed.
constexpr int64_t kMaxFrameRatio = 1024;

enum : uint32_t { CHUNK_PALETTE = 2, AUDIO_BLOCK = 3, CHUNK_IMAGE = 4, STRIP = 5 };

// Frames whose read and compression buffers (frame bytes + 8192) fit the
// library's image limit.
bool FrameFits_(int64_t width, int64_t height, int32_t bytesPP) {
  return bytesPP >= 1 && bytesPP <= 3 && ImgGeometryValid(width, height, bytesPP * 8) &&
         width * height * bytesPP <= kMaxImageBytes - kJexReadSlack;
}

int32_t g_fast = 1;
int32_t g_keyInterval = 25;

// --- byte layout ------------------------------------------------------------

double GetLEDouble(const uint8_t* p) {
  return std::bit_cast<double>(uint64_t(GetLE32(p)) | (uint64_t(GetLE32(p + 4)) << 32));
}

void PutLEDouble(uint8_t* p, double v) {
  const uint64_t u = std::bit_cast<uint64_t>(v);
  PutLE32(p, uint32_t(u));
  PutLE32(p + 4, uint32_t(u >> 32));
}

void HeaderGet_(const uint8_t* p, QJexHeader& h) {
  std::memcpy(h.magic, p, 4);
  h.headerSize = GetLE32(p + 4);
  h.version = GetLE32(p + 8);
  h.width = int32_t(GetLE32(p + 12));
  h.height = int32_t(GetLE32(p + 16));
  h.bytesPP = int32_t(GetLE32(p + 20));
  h.codecFlags = GetLE32(p + 24);
  h.frameCount = int32_t(GetLE32(p + 28));
  h.keyInterval = int32_t(GetLE32(p + 32));
  h.frameRate = GetLEDouble(p + 36);
  h.audioFlags = GetLE32(p + 44);
  h.sampleRate = GetLE32(p + 48);
  h.firstAudio = GetLE32(p + 52);
  h.smallFrames = GetLE32(p + 56);
  h.sampleCount = int32_t(GetLE32(p + 60));
}

void HeaderPut_(const QJexHeader& h, uint8_t* p) {
  std::memcpy(p, h.magic, 4);
  PutLE32(p + 4, h.headerSize);
  PutLE32(p + 8, h.version);
  PutLE32(p + 12, uint32_t(h.width));
  PutLE32(p + 16, uint32_t(h.height));
  PutLE32(p + 20, uint32_t(h.bytesPP));
  PutLE32(p + 24, h.codecFlags);
  PutLE32(p + 28, uint32_t(h.frameCount));
  PutLE32(p + 32, uint32_t(h.keyInterval));
  PutLEDouble(p + 36, h.frameRate);
  PutLE32(p + 44, h.audioFlags);
  PutLE32(p + 48, h.sampleRate);
  PutLE32(p + 52, h.firstAudio);
  PutLE32(p + 56, h.smallFrames);
  PutLE32(p + 60, uint32_t(h.sampleCount));
}

// Writes the values as little-endian 32-bit words from p on.
void PutLE32s(uint8_t* p, std::initializer_list<uint32_t> values) {
  for (uint32_t v : values) {
    PutLE32(p, v);
    p += 4;
  }
}

void WriteHeader_(QJexFile* hf) {
  uint8_t bytes[kJexHeaderSize];
  HeaderPut_(hf->hdr, bytes);
  FWrite(hf->fh, bytes, sizeof bytes);
}

void WriteTopIndex_(QJexFile* hf) {
  uint8_t bytes[kJexTopIndexBytes];
  for (int32_t i = 0; i < kJexIndexEntries; ++i) PutLE32(bytes + 4 * i, hf->top[i]);
  FWrite(hf->fh, bytes, sizeof bytes);
}

void WriteIndexBlock_(QJexFile* hf) {
  uint8_t bytes[kJexIndexBlockBytes];
  for (int32_t i = 0; i < kJexIndexEntries; ++i) {
    const QJexIndexEntry& e = hf->idx[i];
    PutLE32s(bytes + 12 * i, {e.offset, e.firstRead, e.flags});
  }
  FWrite(hf->fh, bytes, sizeof bytes);
}

void ReadIndexBlock_(QJexFile* hf) {
  uint8_t bytes[kJexIndexBlockBytes];
  FRead(hf->fh, bytes, sizeof bytes);
  for (int32_t i = 0; i < kJexIndexEntries; ++i) {
    const uint8_t* p = bytes + 12 * i;
    hf->idx[i] = QJexIndexEntry{GetLE32(p), GetLE32(p + 4), GetLE32(p + 8)};
  }
}

// File offsets are stored in 32 bits: a writer refuses to go beyond.
uint32_t Offset32_(int64_t position, int32_t location) {
  if (position < 0 || position > int64_t(UINT32_MAX)) {
    TraceText("JEX: the file would pass 4 GiB, which its 32-bit offsets cannot address.");
    ErrRaise(ERR_MVI, 2, location);
  }
  return uint32_t(position);
}

// --- reading helpers ------------------------------------------------------------

void Corrupt_(int32_t location) { ErrRaise(ERR_MVI, 3, location); }
void BadFormat_(int32_t location) { ErrRaise(ERR_MVI, 1, location); }

// True when [offset, offset + size) lies inside the file.
bool InFile_(const QJexFile* hf, int64_t offset, int64_t size) {
  return offset >= 0 && size >= 0 && offset + size <= hf->fileSize;
}

// Makes the index block of the 0-based frame index f the current one.
void LoadIndexBlock_(QJexFile* hf, int32_t f) {
  const int32_t b = (f / kJexIndexEntries) % kJexIndexEntries;
  if (b == hf->idxBlock) return;
  const uint32_t at = hf->top[b];
  if (at == 0 || !InFile_(hf, at, kJexIndexBlockBytes)) return BadFormat_(kLoc + 1);
  FSeek(hf->fh, at);
  ReadIndexBlock_(hf);
  hf->idxBlock = b;
}

// A palette chunk at buf + o (avail bytes valid) into pal (blue, green, red);
// o moves past it. False when the chunk does not fit or names colours
// beyond the 256 of a palette.
bool ReadPalChunk_(const uint8_t* buf, int64_t avail, int64_t& o, uint8_t* pal) {
  if (o + kChunkHeader > avail) return false;
  const uint32_t headerSize = GetLE32(buf + o + 4);
  const uint32_t count = GetLE32(buf + o + 8);
  const uint32_t first = GetLE32(buf + o + 12);
  if (headerSize < kChunkHeader || count > 256 || first > 256 - count) return false;
  o += headerSize;
  if (o + int64_t(count) * 3 > avail) return false;
  CopySwapRB_(int32_t(count), pal + 3 * first, buf + o);  // red-green-blue in the file
  o += int64_t(count) * 3;
  return true;
}

struct StripRec {
  uint32_t dataSize;
  uint32_t rows;
  uint32_t compressed;
};

// The image chunk at buf + o: strip table, then the strips, the leading ones
// from the first read and the rest in groups read from the file.
void ReadImageChunk_(QJexFile* hf, Qimg* img, uint8_t* buf, int64_t avail, int64_t o) {
  const QJexHeader& h = hf->hdr;
  const int32_t W = h.width, B = h.bytesPP;
  const int64_t L = int64_t(W) * B;
  if (o + kChunkHeader > avail) return Corrupt_(kLoc + 10);
  const uint32_t headerSize = GetLE32(buf + o + 4);
  const uint32_t n = GetLE32(buf + o + 8);
  const uint32_t m = GetLE32(buf + o + 12);
  if (headerSize < kChunkHeader || n > uint32_t(kJexMaxStrips)) return Corrupt_(kLoc + 11);
  const int64_t table = o + headerSize;
  if (table + int64_t(n) * kStripRecord > avail) return Corrupt_(kLoc + 12);

  // The records are copied out: group reads reuse the buffer.
  StripRec recs[kJexMaxStrips];
  int64_t rows = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* r = buf + table + int64_t(i) * kStripRecord;
    recs[i] = StripRec{GetLE32(r + 8), GetLE32(r + 12), GetLE32(r + 16)};
    const StripRec& s = recs[i];
    // Strips cover whole rows of the frame; a raw strip holds exactly its
    // rows, a compressed one fits the read buffer.
    if (s.rows == 0 || (s.compressed == 0 && int64_t(s.dataSize) != s.rows * L) ||
        int64_t(s.dataSize) > int64_t(hf->frameBytes) + kJexReadSlack)
      return Corrupt_(kLoc + 13);
    rows += s.rows;
  }
  if (rows != h.height) return Corrupt_(kLoc + 14);
  const uint32_t recordSize = n > 0 ? GetLE32(buf + table + 4) : kStripRecord;
  if (recordSize < uint32_t(kStripRecord)) return Corrupt_(kLoc + 15);
  o = table + int64_t(n) * recordSize;

  if (hf->prediction && hf->PredictImg == nullptr) {
    _memalloc_(&hf->PredictImg, hf->frameBytes, kLoc + 16, MEM_BLOCK,
               "FF_JEX.JEXImgLoadNext.PredictImg");
    FillBytes(0, hf->frameBytes, hf->PredictImg);
  }
  uint8_t* pixels = ImgPixels(img);
  const bool fast = (h.codecFlags & JEX_FAST) != 0;
  int64_t nextGroup = int64_t(m) + 1;  // strip numbers count from 1
  int64_t rowOffset = 0;
  for (int64_t j = 1; j <= n; ++j) {
    const StripRec& s = recs[j - 1];
    if (j == nextGroup) {
      // Strip j and the following strips while the group stays below a frame.
      int64_t total = s.dataSize;
      int64_t k = j + 1;
      for (; k <= n && total + recs[k - 1].dataSize < hf->frameBytes; ++k) total += recs[k - 1].dataSize;
      if (total > int64_t(hf->frameBytes) + kJexReadSlack) return Corrupt_(kLoc + 17);
      FRead(hf->fh, buf, total);
      avail = total;
      o = 0;
      nextGroup = k;
    }
    if (o + s.dataSize > avail) return Corrupt_(kLoc + 18);
    uint8_t* dest = (hf->prediction ? hf->PredictImg : pixels) + rowOffset;
    const int32_t R = int32_t(s.rows);
    if (s.compressed != 0) {
      const int32_t size = int32_t(s.dataSize);
      const bool ok = fast ? JXDCFastDecode(buf + o, size, dest, W, B, R)
                           : JXDCBestDecode(buf + o, size, dest, W, B, R);
      if (!ok) return Corrupt_(kLoc + 19);
    } else {
      MoveBytes(s.dataSize, dest, buf + o);
    }
    if (hf->prediction) PredictSum(R * W, pixels + rowOffset, hf->PredictImg + rowOffset);
    rowOffset += R * L;
    o += s.dataSize;
  }
}

// Reads the header of the audio block at `at`: its sample frames and the
// next offset. The chain is bounded: a valid one visits each block once and
// blocks take at least 16 bytes each.
void ReadAudioHeader_(QJexFile* hf, uint32_t at, uint32_t& frames, uint32_t& next) {
  if (++hf->audioHops > hf->fileSize / kAudioHeader + 1) return BadFormat_(kLoc + 30);
  if (at == 0 || !InFile_(hf, at, kAudioHeader)) return BadFormat_(kLoc + 31);
  uint8_t head[kAudioHeader];
  FSeek(hf->fh, at);
  FRead(hf->fh, head, sizeof head);
  next = GetLE32(head + 8);
  frames = GetLE32(head + 12);
  if (!InFile_(hf, int64_t(at) + kAudioHeader, int64_t(frames) * hf->sndFormat.blockAlign))
    return BadFormat_(kLoc + 32);
}

// Loads the data of the block whose header was just read into AudioBuf.
void LoadAudioBlock_(QJexFile* hf, uint32_t frames, const char* tag) {
  const int32_t bytes = int32_t(int64_t(frames) * hf->sndFormat.blockAlign);  // inside the file
  hf->audioBufSize = 0;
  hf->audioReadPos = 0;
  if (bytes == 0) {
    MemFree(&hf->AudioBuf);
    return;
  }
  _memalloc_(&hf->AudioBuf, bytes, kLoc + 33, MEM_BLOCK, tag);
  FRead(hf->fh, hf->AudioBuf, bytes);
  hf->audioBufSize = bytes;
}

// After a failed sound read the buffer may be gone: the next load starts
// afresh (a sound position of 0 restarts at the first block, any other seeks).
void AudioFailed_(QJexFile* hf) {
  MonSetCleanup([hf] {
    hf->audioBufSize = 0;
    hf->audioReadPos = 0;
    hf->audioCursor = 0;
    hf->sndPos = 0;
  });
}

void ReleaseBuffers_(QJexFile* hf) {
  MemFree(&hf->PrevImg);
  MemFree(&hf->PredictImg);
  MemFree(&hf->AudioBuf);
  hf->audioBufSize = 0;
}

// --- writing helpers ----------------------------------------------------------------

// One strip through the codec; 0 when it did not compress. A fault in the
// codec becomes "Cannot compress movie image data." (memory errors stay).
int32_t Compress_(QJexFile* hf, const uint8_t* src, uint8_t* out, const uint8_t* prev, bool usePrev,
                  int32_t rows, bool fast) {
  const int32_t W = hf->hdr.width, B = hf->hdr.bytesPP;
  int32_t result = 0;
  ProtectedKeep([&] {
    result = fast ? JXDCFast(src, out, prev, usePrev, B, rows, W)
                  : JXDCBest(src, out, prev, usePrev, B, rows, W);
  });
  if (!ErrNone()) {
    if (ErrCategory() == ERR_MEM) ErrRaise(ERR_MEM, ErrCode(), kLoc + 40);
    ErrRaise(ERR_MVI, 4, kLoc + 41);
  }
  return result;
}

// The prediction trial on the first frame of a 24-bit BEST movie: the upper
// half compressed with and without prediction; prediction stays on only
// when it makes the stream shorter.
void PredictionTrial_(QJexFile* hf, const uint8_t* pixels, uint8_t* out) {
  const int32_t W = hf->hdr.width;
  int32_t h = hf->hdr.height / 2;
  if (h == 0) h = hf->hdr.height;
  int32_t a = Compress_(hf, pixels, out, nullptr, false, h, false);
  _memalloc_(&hf->PredictImg, hf->frameBytes, kLoc + 42, MEM_BLOCK, "FF_JEX.JEXImgSave.PredictImg");
  PredictDiff(W * h, hf->PredictImg, pixels);
  int32_t b = Compress_(hf, hf->PredictImg, out, nullptr, false, h, false);
  if (a == 0) a = hf->frameBytes;
  if (b == 0) b = hf->frameBytes;
  if (b >= a) {
    MemFree(&hf->PredictImg);
    hf->prediction = kFalse;
    hf->hdr.codecFlags = 0;
  }
}

// The first image fixes the movie's geometry and writes header and index.
void StartVideo_(QJexFile* hf, const Qimg* img) {
  QJexHeader& h = hf->hdr;
  h.width = img->resX;
  h.height = img->resY;
  h.bytesPP = img->bytesPP;
  h.codecFlags = uint32_t(g_fast) + (h.bytesPP == 3 && g_fast == 0 ? uint32_t(JEX_PREDICT) : 0u);
  hf->prediction = ToBool((h.codecFlags & JEX_PREDICT) != 0);
  FSeek(hf->fh, 0);
  WriteHeader_(hf);
  WriteTopIndex_(hf);
  hf->top[0] = uint32_t(FPos(hf->fh));
  hf->idxBlock = 0;
  std::memset(hf->idx, 0, sizeof hf->idx);
  WriteIndexBlock_(hf);
  hf->fileSize = hf->top[0] + kJexIndexBlockBytes;
  hf->frameBytes = h.width * h.height * h.bytesPP;
  hf->bpp = h.bytesPP * 8;
  h.smallFrames = hf->frameBytes <= kJexSmallFrame ? 1 : 0;
  hf->hdrWritten = kTrue;
}

// Makes the index block of frame f current and leaves the file at its end.
void SelectIndexBlock_(QJexFile* hf, int32_t f) {
  const int32_t b = (f / kJexIndexEntries) % kJexIndexEntries;
  if (b != hf->idxBlock) {
    FSeek(hf->fh, hf->top[hf->idxBlock]);
    WriteIndexBlock_(hf);
    hf->idxBlock = b;
    if (hf->top[b] != 0) {
      FSeek(hf->fh, hf->top[b]);
      ReadIndexBlock_(hf);
    } else {
      hf->top[b] = Offset32_(hf->fileSize, kLoc + 43);
      std::memset(hf->idx, 0, sizeof hf->idx);
      FSeek(hf->fh, hf->fileSize);
      WriteIndexBlock_(hf);
      hf->fileSize += kJexIndexBlockBytes;
      return;
    }
  }
  if (FPos(hf->fh) != hf->fileSize) FSeek(hf->fh, hf->fileSize);
}

}  // namespace

// --- reading ------------------------------------------------------------------------

void JEXOpen(QJexFile* hf, const std::string& name) {
  Routine("FF_JEX.JEXOpen", [&] {
    CheckPtr(hf);
    ReleaseBuffers_(hf);
    std::memset(hf, 0, sizeof *hf);
    FOpen(hf->fh, name, FM_READ);
    hf->fileSize = FSize(hf->fh);
    uint8_t head[kJexHeaderSize] = {};
    FRead(hf->fh, head, 8);
    if (std::memcmp(head, kMagic, 4) != 0) return BadFormat_(kLoc + 50);
    // The fields after the first eight bytes: at most 56 are kept, a longer
    // header's rest is skipped, a shorter one leaves the missing fields 0.
    const uint32_t headerSize = GetLE32(head + 4);
    if (headerSize < 8) return BadFormat_(kLoc + 51);
    FRead(hf->fh, head + 8, std::min<uint32_t>(headerSize - 8, kJexHeaderSize - 8));
    HeaderGet_(head, hf->hdr);
    QJexHeader& h = hf->hdr;
    if (h.version != kJexVersion) return ErrRaise(ERR_MVI, 5, kLoc + 52);

    // Everything later sizes comes from here: check it before any allocation.
    if (h.frameCount < 0 || h.frameCount > kJexMaxFrames) return BadFormat_(kLoc + 53);
    if (h.frameCount > 0) {
      if (!FrameFits_(h.width, h.height, h.bytesPP) || h.keyInterval < 0 || ((h.codecFlags & JEX_PREDICT) != 0 && h.bytesPP != 3))
        return BadFormat_(kLoc + 54);
      const int64_t frameBytes = int64_t(h.width) * h.height * h.bytesPP;
      if (frameBytes > hf->fileSize * kMaxFrameRatio) return BadFormat_(kLoc + 55);
      hf->frameBytes = int32_t(frameBytes);
      // The top index follows the header; a file without frames (sound
      // only) has audio blocks there instead.
      uint8_t top[kJexTopIndexBytes];
      FSeek(hf->fh, headerSize);
      FRead(hf->fh, top, sizeof top);
      for (int32_t i = 0; i < kJexIndexEntries; ++i) hf->top[i] = GetLE32(top + 4 * i);
      hf->idxBlock = -1;
      LoadIndexBlock_(hf, 0);
    }
    if (h.audioFlags != 0) {
      if (h.sampleRate == 0 || h.sampleCount < 0) return BadFormat_(kLoc + 56);
      hf->sndFormat.formatTag = 1;
      hf->sndFormat.channels = (h.audioFlags & 4) != 0 ? 2 : 1;
      hf->sndFormat.bitsPerSample = (h.audioFlags & 3) == 3 ? 16 : 8;
      hf->sndFormat.samplesPerSec = h.sampleRate;
      WaveFormatComplete(hf->sndFormat);
    }
    hf->prediction = ToBool((h.codecFlags & JEX_PREDICT) != 0);
    hf->bpp = h.bytesPP * 8;
    hf->fileOpen = kTrue;
    ErrRaise(ERR_MVI, 0, kLoc + 57);
  });
}

void JEXImgLoadNext(QJexFile* hf, Qimg* img) {
  Routine("FF_JEX.JEXImgLoadNext", [&] {
    CheckPtr(hf);
    CheckPtr(img);
    if (hf->writing) MonFail();
    const QJexHeader& h = hf->hdr;
    const int32_t f = hf->curFrame;
    if (f + 1 > h.frameCount) return ErrRaise(ERR_JEX, 1, kLoc + 60);

    // A picture that is new to this movie starts black: delta frames of a
    // damaged file must not show what the memory held before.
    const bool fresh = !MemIsTracked(&img->pixPtr) || img->pixSize != hf->frameBytes ||
                       img->resX != h.width || img->resY != h.height || img->bpp != hf->bpp;
    _imgalloc_(img, h.width, h.height, hf->bpp, kLoc + 61, "FF_JEX.JEXImgLoadNext.ih");
    ImgSetGeometry(img, h.width, h.height, hf->bpp);
    if (fresh) FillBytes(0, hf->frameBytes, img->pixPtr);

    LoadIndexBlock_(hf, f);
    const QJexIndexEntry e = hf->idx[f % kJexIndexEntries];
    if (e.firstRead < kFrameHeader || int64_t(e.firstRead) > int64_t(hf->frameBytes) + kJexReadSlack ||
        !InFile_(hf, e.offset, e.firstRead))
      return BadFormat_(kLoc + 62);
    FSeek(hf->fh, e.offset);
    uint8_t* dskbuf = nullptr;
    _memalloc_(&dskbuf, hf->frameBytes + kJexReadSlack, kLoc + 63, MEM_BLOCK,
               "FF_JEX.JEXImgLoadNext.dskbuf");
    FRead(hf->fh, dskbuf, e.firstRead);
    hf->palChanged = kFalse;

    // A palette chunk may come first; the image chunk ends the frame (what
    // follows it cannot be located once strips were read in groups), and a
    // chunk of another type tells nothing of its size.
    int64_t o = GetLE32(dskbuf + 4);
    const uint32_t chunks = GetLE32(dskbuf + 8);
    bool image = false;
    for (uint32_t c = 0; c < chunks && !image; ++c) {
      if (o + 4 > e.firstRead) return Corrupt_(kLoc + 64);
      const uint32_t type = GetLE32(dskbuf + o);
      if (type == CHUNK_PALETTE) {
        if (!ReadPalChunk_(dskbuf, e.firstRead, o, &img->pal[0][0])) return Corrupt_(kLoc + 65);
        hf->palChanged = kTrue;
      } else if (type == CHUNK_IMAGE) {
        ReadImageChunk_(hf, img, dskbuf, e.firstRead, o);
        image = true;
      } else {
        break;
      }
    }
    if (!image) return Corrupt_(kLoc + 66);
    hf->curFrame += 1;
    hf->decoded += 1;
    MemFree(&dskbuf);
    ErrRaise(ERR_MVI, 0, kLoc + 67);
  });
}

int32_t JEXNearestKeyFrame(QJexFile* hf, int32_t a, int32_t /*direction*/) {
  int32_t result = 1;
  Routine("FF_JEX.JEXNearestKeyFrame", [&] {
    CheckPtr(hf);
    const int32_t interval = hf->hdr.keyInterval;
    if (interval != 0) {
      const int32_t n = ClampInt(a - 1, 1, hf->hdr.frameCount);
      result = CheckedDiv(n - 1, interval) * interval + 1;
    }
    ErrRaise(ERR_MVI, 0, kLoc + 70);
  });
  return result;
}

void JEXUpdateVP_(QJexFile* hf, int32_t frame) {
  Routine("FF_JEX.JEXUpdateVP_", [&] {
    CheckPtr(hf);
    if (hf->writing || hf->hdr.frameCount <= 0) MonFail();
    LoadIndexBlock_(hf, ClampInt(frame, 1, hf->hdr.frameCount) - 1);
    ErrRaise(ERR_MVI, 0, kLoc + 71);
  });
}

bool JEXGetPal(QJexFile* hf, uint8_t* pal, int32_t first, int32_t last) {
  bool found = false;
  Routine("FF_JEX.JEXGetPal", [&] {
    CheckPtr(hf);
    CheckPtr(pal);
    hf->palChanged = kFalse;
    if (first > last || hf->writing || hf->hdr.frameCount <= 0) MonFail();
    first = ClampInt(first, 1, hf->hdr.frameCount);
    last = ClampInt(last, 1, hf->hdr.frameCount);
    uint8_t* dskbuf = nullptr;
    for (int32_t f = last - 1; f >= first - 1 && !found; --f) {
      LoadIndexBlock_(hf, f);
      const QJexIndexEntry e = hf->idx[f % kJexIndexEntries];
      if ((e.flags & 1) == 0) continue;
      const int64_t size = std::min<int64_t>(e.firstRead, kPalReadMax);
      if (size < kFrameHeader || !InFile_(hf, e.offset, size)) return BadFormat_(kLoc + 72);
      _memalloc_(&dskbuf, kPalReadMax, kLoc + 73, MEM_BLOCK, "FF_JEX.JEXGetPal.dskbuf");
      FSeek(hf->fh, e.offset);
      FRead(hf->fh, dskbuf, size);
      int64_t o = GetLE32(dskbuf + 4);
      if (o + 4 <= size && GetLE32(dskbuf + o) == CHUNK_PALETTE) {
        if (!ReadPalChunk_(dskbuf, size, o, pal)) return Corrupt_(kLoc + 74);
        hf->palChanged = kTrue;
        found = true;
      }
    }
    MemFree(&dskbuf);
    // Back to the block of the frame the next sequential load reads.
    JEXUpdateVP_(hf, hf->curFrame + 1);
    ErrRaise(ERR_MVI, 0, kLoc + 75);
  });
  return found;
}

void JEXImgLoad(QJexFile* hf, Qimg* img, int32_t frame, int32_t flags) {
  Routine("FF_JEX.JEXImgLoad", [&] {
    CheckPtr(hf);
    CheckPtr(img);
    if (hf->writing) MonFail();
    const bool keep = (flags & 1) != 0;
    if (frame < 0 || frame > hf->hdr.frameCount) return BadFormat_(kLoc + 80);
    if (frame == 0 || frame == hf->curFrame + 1) {
      JEXImgLoadNext(hf, img);
      return ErrRaise(ERR_MVI, 0, kLoc + 81);
    }
    if (keep && frame == hf->curFrame) MonFail();  // the image holds that frame already
    const int32_t key = JEXNearestKeyFrame(hf, frame + 1, -1) - 1;
    if (!(keep && key < hf->curFrame && hf->curFrame < frame)) hf->curFrame = key;
    bool metPalette = false;
    while (hf->curFrame < frame) {
      JEXImgLoadNext(hf, img);
      metPalette = metPalette || hf->palChanged != kFalse;
    }
    if (hf->hdr.bytesPP == 1 && !keep && !metPalette)
      JEXGetPal(hf, &img->pal[0][0], 1, frame);
    else
      hf->palChanged = ToBool(metPalette);
    ErrRaise(ERR_MVI, 0, kLoc + 82);
  });
}

void JEXSndSeek(QJexFile* hf, int32_t sample) {
  Routine("FF_JEX.JEXSndSeek", [&] {
    CheckPtr(hf);
    const QJexHeader& h = hf->hdr;
    if (h.audioFlags == 0 || h.firstAudio == 0 || sample < 0 || sample > h.sampleCount) MonFail();
    AudioFailed_(hf);
    hf->audioHops = 0;
    int64_t cum = 0;
    uint32_t cursor = h.firstAudio;
    uint32_t block = 0, frames = 0, next = 0;
    do {
      block = cursor;
      ReadAudioHeader_(hf, block, frames, next);
      cum += frames;
      cursor = next;
    } while (cum < sample && cursor != 0);
    LoadAudioBlock_(hf, frames, "FF_JEX.JEXSndSeek.hf.AudioBuf");
    hf->audioCursor = cursor;
    hf->audioBlockEnd = cum;
    // Where the chain ends before the sample, the position lies beyond the
    // buffer and loads return nothing.
    const int64_t pos = (sample - (cum - frames)) * hf->sndFormat.blockAlign;
    hf->audioReadPos = int32_t(std::min<int64_t>(pos, hf->audioBufSize));
    ErrRaise(ERR_MVI, 0, kLoc + 90);
  });
}

void JEXSndLoad(QJexFile* hf, Qsnd* snd, int32_t start, int32_t flags, int32_t count) {
  Routine("FF_JEX.JEXSndLoad", [&] {
    CheckPtr(hf);
    CheckPtr(snd);
    const QJexHeader& h = hf->hdr;
    snd->samples = 0;
    if (hf->writing || h.audioFlags == 0) MonFail();
    AudioFailed_(hf);
    if ((flags & 1) == 0 || hf->sndPos != start) {
      JEXSndSeek(hf, start);
    } else if (hf->sndPos == 0) {
      // Nothing buffered yet: start at the first block.
      hf->audioCursor = h.firstAudio;
      hf->audioHops = 0;
      hf->audioBlockEnd = 0;
      MemFree(&hf->AudioBuf);
      hf->audioBufSize = 0;
      hf->audioReadPos = 0;
    }
    // Nothing is returned from outside the sound (the seek above left the
    // buffer where it was), nor beyond the sample frames the header counts.
    if (start < 0 || start > h.sampleCount) MonFail();
    count = std::min(count, h.sampleCount - start);
    if (count <= 0) MonFail();
    const bool last = hf->audioCursor == 0 && hf->audioBufSize != 0;
    if ((last && hf->audioReadPos >= hf->audioBufSize) || h.firstAudio == 0) MonFail();

    const int32_t align = hf->sndFormat.blockAlign;
    const int64_t want64 = int64_t(count) * align;
    const int32_t want = want64 > INT32_MAX ? -1 : int32_t(want64);
    _sndalloc_(*snd, want, kLoc + 91, "FF_JEX.JEXSndLoad.sh");
    snd->format = hf->sndFormat;
    const int32_t held = std::max(hf->audioBufSize - hf->audioReadPos, 0);
    if (held < want) {
      if (held > 0) MoveBytes(held, snd->SndData, hf->AudioBuf + hf->audioReadPos);
      int32_t got = held;
      if (last) {
        snd->samples = got / align;
        hf->audioReadPos = hf->audioBufSize;
      } else {
        while (hf->audioCursor != 0 && got < want) {
          uint32_t frames = 0, next = 0;
          ReadAudioHeader_(hf, hf->audioCursor, frames, next);
          LoadAudioBlock_(hf, frames, "FF_JEX.JEXSndLoad.hf.AudioBuf");
          const int32_t take = std::min(hf->audioBufSize, want - got);
          if (take > 0) MoveBytes(take, snd->SndData + got, hf->AudioBuf);
          got += take;
          hf->audioReadPos = take;
          hf->audioCursor = next;
          hf->audioBlockEnd += frames;
        }
        snd->samples = got / align;
      }
    } else {
      MoveBytes(want, snd->SndData, hf->AudioBuf + hf->audioReadPos);
      hf->audioReadPos += want;
      snd->samples = count;
    }
    hf->sndPos = start + snd->samples;
    ErrRaise(ERR_MVI, 0, kLoc + 92);
  });
}

// --- writing ------------------------------------------------------------------------

void JEXCreate(QJexFile* hf, const std::string& name, double frameRate) {
  Routine("FF_JEX.JEXCreate", [&] {
    CheckPtr(hf);
    ReleaseBuffers_(hf);
    std::memset(hf, 0, sizeof *hf);
    FDelete(name);
    FOpen(hf->fh, name, FM_CREATE);
    QJexHeader& h = hf->hdr;
    std::memcpy(h.magic, kMagic, 4);
    h.headerSize = kJexHeaderSize;
    h.version = kJexVersion;
    h.keyInterval = g_keyInterval;
    h.frameRate = frameRate;
    hf->writing = kTrue;
    hf->fileOpen = kTrue;
    ErrRaise(ERR_MVI, 0, kLoc + 100);
  });
}

void JEXImgSave(QJexFile* hf, Qimg* img) {
  Routine("FF_JEX.JEXImgSave", [&] {
    CheckPtr(hf);
    CheckPtr(img);
    if (!hf->writing || !hf->fileOpen) return ErrRaise(ERR_MVI, 2, kLoc + 110);
    const int32_t f = hf->curFrame;
    if (f >= kJexMaxFrames) {
      TraceText("JEX: a movie holds at most 65536 frames; further frames are refused.");
      return ErrRaise(ERR_MVI, 2, kLoc + 111);
    }
    QJexHeader& h = hf->hdr;
    if (!ImgHasPixels(img)) return ErrRaise(ERR_MVI, 2, kLoc + 112);
    if (!hf->hdrWritten) {
      if (h.firstAudio != 0) {
        TraceText("JEX: sound was saved before the first image; the movie stays sound only.");
        return ErrRaise(ERR_MVI, 2, kLoc + 113);
      }
      if (!FrameFits_(img->resX, img->resY, img->bytesPP)) return ErrRaise(ERR_MVI, 2, kLoc + 114);
      StartVideo_(hf, img);
    } else if (img->resX != h.width || img->resY != h.height || img->bytesPP != h.bytesPP) {
      return ErrRaise(ERR_MVI, 2, kLoc + 115);
    }
    if (img->pixSize < hf->frameBytes) return ErrRaise(ERR_MVI, 2, kLoc + 116);
    const int32_t frameBytes = hf->frameBytes;
    const uint8_t* pixels = ImgPixels(img);

    SelectIndexBlock_(hf, f);
    QJexIndexEntry& e = hf->idx[f % kJexIndexEntries];
    const int64_t frameStart = hf->fileSize;
    e.offset = Offset32_(frameStart, kLoc + 117);
    e.flags = 0;

    // A frame is one strip: small frames (at most 65520 bytes) would be cut
    // into strips of 65520 div the row length rows, which holds them whole.
    // The strip is compressed first, so the record is written front to back.
    uint8_t* cmps = nullptr;
    _memalloc_(&cmps, frameBytes + kJXDCOutSlack, kLoc + 118, MEM_BLOCK, "FF_JEX.JEXImgSave.cmps");
    if (h.keyInterval != 1 && hf->PrevImg == nullptr) {
      _memalloc_(&hf->PrevImg, frameBytes, kLoc + 119, MEM_BLOCK, "FF_JEX.JEXImgSave.PrevImg");
      FillBytes(0, frameBytes, hf->PrevImg);
    }
    if (hf->prediction && hf->PredictImg == nullptr) PredictionTrial_(hf, pixels, cmps);
    const uint8_t* source = pixels;
    if (hf->prediction) {
      PredictDiff(frameBytes / 3, hf->PredictImg, pixels);
      source = hf->PredictImg;
    }
    const bool usePrev = f > 0 && (h.keyInterval == 0 || f % h.keyInterval != 0);
    const int32_t result =
        Compress_(hf, source, cmps, hf->PrevImg, usePrev, h.height, (h.codecFlags & JEX_FAST) != 0);
    const int32_t dataSize = result > 0 ? result : frameBytes;  // raw when it did not compress

    // Frame header, palette chunk when the palette is new, image chunk
    // header and strip record; the first read takes the strip too when it
    // fits the capacity.
    uint8_t head[kFrameHeader + kPalChunkBytes + kChunkHeader + kStripRecord];
    int32_t used = kFrameHeader;
    uint32_t chunks = 1;
    if (h.bytesPP == 1 && (f == 0 || std::memcmp(img->pal, hf->pal, sizeof hf->pal) != 0)) {
      std::memcpy(hf->pal, img->pal, sizeof hf->pal);
      PutLE32s(head + used, {CHUNK_PALETTE, kChunkHeader, 256, 0});
      CopySwapRB_(256, head + used + kChunkHeader, hf->pal);  // red-green-blue in the file
      used += kPalChunkBytes;
      e.flags |= 1;
      ++chunks;
    }
    const int32_t headBytes = used + kChunkHeader + kStripRecord;
    const int64_t capacity = h.smallFrames != 0 ? kJexSmallFrame : int64_t(frameBytes) + kJexReadSlack;
    const uint32_t m = headBytes + int64_t(dataSize) <= capacity ? 1 : 0;
    const int64_t frameSize = headBytes + int64_t(dataSize);
    Offset32_(frameStart + frameSize, kLoc + 120);
    PutLE32s(head, {1, kFrameHeader, chunks, uint32_t(frameSize)});
    PutLE32s(head + used, {CHUNK_IMAGE, kChunkHeader, 1, m, STRIP, kStripRecord, uint32_t(dataSize),
                           uint32_t(h.height), result > 0 ? 1u : 0u});
    FWrite(hf->fh, head, headBytes);
    FWrite(hf->fh, result > 0 ? cmps : source, dataSize);
    hf->fileSize = frameStart + frameSize;
    if (h.keyInterval != 1) MoveBytes(frameBytes, hf->PrevImg, source);
    MemFree(&cmps);
    e.firstRead = uint32_t(headBytes + (m != 0 ? dataSize : 0));
    hf->curFrame += 1;
    h.frameCount = std::max(h.frameCount, hf->curFrame);
    ErrRaise(ERR_MVI, 0, kLoc + 121);
  });
}

void JEXSndSave(QJexFile* hf, const Qsnd* snd) {
  Routine("FF_JEX.JEXSndSave", [&] {
    CheckPtr(hf);
    CheckPtr(snd);
    if (!hf->writing || !hf->fileOpen) return ErrRaise(ERR_MVI, 2, kLoc + 130);
    if (snd->SndData == nullptr || snd->samples <= 0) MonFail();
    QJexHeader& h = hf->hdr;
    const bool firstBlock = h.firstAudio == 0;
    // The file stores 8- or 16-bit PCM, mono or stereo: the first sound
    // fixes which, and every sound is converted to it.
    QWaveFormat format = hf->sndFormat;
    if (firstBlock) {
      if (snd->format.samplesPerSec == 0 || snd->format.channels == 0)
        return ErrRaise(ERR_SND, 4, kLoc + 131);
      WaveFormatPCM(format, int32_t(snd->format.samplesPerSec), snd->format.channels >= 2 ? 2 : 1,
                    snd->format.bitsPerSample <= 8 ? 8 : 16);
    }
    if (int64_t(snd->samples) * snd->format.blockAlign > snd->allocated)
      return ErrRaise(ERR_SND, 4, kLoc + 132);
    const Qsnd* data = snd;
    Qsnd temp{};
    if (WaveFormatDiffers(snd->format, format)) {
      SndConvert(*snd, temp, format);
      data = &temp;
      if (temp.samples <= 0) {
        SndFree(temp);
        MonFail();
      }
    }

    // The block goes at the end of the file (after the header's room when
    // nothing else is there yet); linking and the header fields follow once
    // it is written, so a failure leaves the chain as it was.
    const int64_t end = hf->fileSize == 0 ? kJexHeaderSize : hf->fileSize;
    const uint32_t at = Offset32_(end, kLoc + 133);
    const int64_t bytes = int64_t(data->samples) * format.blockAlign;
    Offset32_(end + kAudioHeader + bytes, kLoc + 134);
    uint8_t head[kAudioHeader];
    PutLE32s(head, {AUDIO_BLOCK, kAudioHeader, 0, uint32_t(data->samples)});
    FSeek(hf->fh, at);
    FWrite(hf->fh, head, sizeof head);
    FWrite(hf->fh, data->SndData, bytes);
    hf->fileSize = end + kAudioHeader + bytes;
    if (firstBlock) {
      h.firstAudio = at;
      hf->sndFormat = format;
      h.sampleRate = format.samplesPerSec;
      h.audioFlags = (format.bitsPerSample == 8 ? 1u : 3u) + (format.channels == 2 ? 4u : 0u);
    } else {
      uint8_t link[4];
      PutLE32(link, at);
      FSeek(hf->fh, int64_t(hf->audioCursor) + 8);
      FWrite(hf->fh, link, sizeof link);
    }
    hf->audioCursor = at;
    h.sampleCount += data->samples;
    hf->sndPos = h.sampleCount;
    if (data == &temp) SndFree(temp);
    ErrRaise(ERR_MVI, 0, kLoc + 135);
  });
}

void JEXClose(QJexFile* hf) {
  Routine("FF_JEX.JEXClose", [&] {
    CheckPtr(hf);
    ReleaseBuffers_(hf);
    if (hf->fileOpen) {
      // A failed write still closes the file.
      MonSetCleanup([hf] {
        FClose(hf->fh);
        std::memset(hf, 0, sizeof *hf);
      });
      if (hf->writing) {
        FSeek(hf->fh, 0);
        WriteHeader_(hf);
        if (hf->curFrame > 0) {
          FSeek(hf->fh, hf->top[hf->idxBlock]);
          WriteIndexBlock_(hf);
          FSeek(hf->fh, kJexHeaderSize);
          WriteTopIndex_(hf);
        }
      }
      MonSetCleanup(nullptr);
      FClose(hf->fh);
    }
    std::memset(hf, 0, sizeof *hf);
    ErrRaise(ERR_MVI, 0, kLoc + 140);
  });
}

void JEXInfo(const std::string& name, QffInfo* info) {
  Routine("FF_JEX.JEXInfo", [&] {
    CheckPtr(info);
    auto hf = std::make_unique<QJexFile>();
    JEXOpen(hf.get(), name);
    const QJexHeader& h = hf->hdr;
    info->fileSize = hf->fileSize;
    QffMedia& media = info->media;
    if (h.frameCount > 0) {
      media.width = h.width;
      media.height = h.height;
      media.bytesPP = h.bytesPP;
      media.bpp = h.bytesPP * 8;
      media.frames = h.frameCount;
      media.frameRate = h.frameRate;
      static const char* const kNames[] = {"BEST", "FAST", "BEST-P"};
      media.videoName = h.codecFlags < 3 ? kNames[h.codecFlags] : "N/A";
      media.hasPictures = kTrue;
      media.picturesReadable = kTrue;
    }
    if (h.audioFlags != 0) {
      media.storedFormat = hf->sndFormat;
      media.pcmFormat = hf->sndFormat;
      media.audioName = "PCM, uncompressed";
      media.sampleFrames = h.sampleCount;
      media.hasSound = kTrue;
      media.soundReadable = kTrue;
    }
    JEXClose(hf.get());
    ErrRaise(ERR_MVI, 0, kLoc + 150);
  });
}

int32_t JEXFast(int32_t value) {
  PathScope path("FF_JEX.JEXFast");
  if (value == 0 || value == 1) g_fast = value;
  return g_fast;
}

int32_t JEXKeyFrameRate(int32_t value) {
  PathScope path("FF_JEX.JEXKeyFrameRate");
  if (value != UNDEF) g_keyInterval = std::max(value, 0);
  return g_keyInterval;
}

}  // namespace zelo
