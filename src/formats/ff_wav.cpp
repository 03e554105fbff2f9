#include "formats/ff_wav.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "platform/acm.h"
#include "platform/riff.h"

namespace zelo {
namespace {

constexpr int32_t kLoc = 53000;  // raise sites of this file: kLoc + n

constexpr uint32_t kWAVE = riff::FourCC("WAVE");
constexpr uint32_t kFmt = riff::FourCC("fmt ");
constexpr uint32_t kData = riff::FourCC("data");
constexpr uint32_t kFact = riff::FourCC("fact");

// Results of the multimedia file services raised while finishing a file.
constexpr int32_t MMIOERR_CANNOTWRITE = 262;
constexpr int32_t MMIOERR_CANNOTSEEK = 263;

// The longest stored format kept: the 18 bytes and the most extra bytes
// their size field can announce.
constexpr int32_t kMaxFormatBytes = int32_t(sizeof(QWaveFormat)) + 0xFFFF;
// Bytes handed to the decoder at once: a second of sound, but never more
// than this (a hostile byte rate must not size the buffer).
constexpr int64_t kMaxReadBytes = 1 << 20;
// Positions are int32 sample frames; longer data is cut there.
constexpr int64_t kMaxBlocks = INT32_MAX;
// A written file's RIFF size must fit its 32-bit field.
constexpr int64_t kMaxDataBytes = int64_t(UINT32_MAX) - (kWavHeaderSize - 8) - 1;

// Runs a file-layer call whose own error is replaced by the caller's; true
// when it succeeded.
template <class Work>
bool Quietly(Work&& work) {
  ProtectedKeep(std::forward<Work>(work));
  const bool ok = ErrNone();
  ErrClear();
  return ok;
}

// The open file as a RIFF byte stream (reading only).
class WavStream final : public riff::Stream {
 public:
  WavStream(int32_t fh, int64_t size) : fh_(fh), size_(size) {}
  int64_t Size() const override { return size_; }
  bool ReadAt(int64_t pos, void* dst, int64_t n) override {
    if (pos < 0 || n < 0 || pos > size_ || n > size_ - pos) return false;
    if (n == 0) return true;
    if (!Quietly([&] { FSeek(fh_, pos); })) return false;
    int64_t done = 0;
    FReadSome(fh_, dst, n, done);
    return done == n;
  }
  bool WriteAt(int64_t, const void*, int64_t) override { return false; }

 private:
  int32_t fh_;
  int64_t size_;
};

const QWaveFormat* InFormat(const QWavFile* hf) {
  return reinterpret_cast<const QWaveFormat*>(hf->loader.InFormat);
}

// Reads the stored format: at least 18 bytes are kept (a 16-byte PCM
// format gets an extra size of 0) and the extra size never claims more
// bytes than the block holds.
bool ReadFormat_(QWavFile* hf, riff::Reader& reader, const riff::Chunk& fmt) {
  if (fmt.Truncated() || fmt.avail < 16) return false;
  const int32_t stored = int32_t(std::min<int64_t>(fmt.avail, kMaxFormatBytes));
  const int32_t size = std::max<int32_t>(stored, sizeof(QWaveFormat));
  _memalloc_(&hf->loader.InFormat, size, kLoc + 1, MEM_BLOCK, "FF_WAV.WAVOpen.wf.sl.InFormat");
  FillBytes(0, size, hf->loader.InFormat);
  if (!reader.Read(fmt, 0, hf->loader.InFormat, stored)) return false;
  hf->loader.InFormatSize = size;
  uint8_t* p = hf->loader.InFormat;
  PutLE16(p + 16, uint16_t(std::min<int32_t>(GetLE16(p + 16), size - int32_t(sizeof(QWaveFormat)))));
  return true;
}

// The sample count of a "fact" chunk, 0 when there is none.
int64_t FactSamples_(riff::Reader& reader, const riff::Chunk& riffChunk) {
  riff::Chunk fact;
  uint8_t b[4];
  if (!reader.Find(riffChunk, kFact, fact) || !reader.Read(fact, 0, b, 4)) return 0;
  return GetLE32(b);
}

void Abort_(int32_t location) { ErrRaise(ERR_WAV, 1, location); }

// The read routine of SndLoad: about a second of stored sound in whole
// blocks (the last read takes the tail as well); nothing at the end.
bool WAVLoad_(void* reader, uint8_t** block, int32_t, int32_t& bytesRead, int32_t& blocksRead) {
  PathScope path("FF_WAV.WAVLoad_");
  auto* hf = static_cast<QWavFile*>(reader);
  bytesRead = blocksRead = 0;
  const QWaveFormat* f = InFormat(hf);
  const int64_t align = f->blockAlign;
  const int64_t left = hf->dataPos + hf->dataSize - hf->readPos;
  if (left <= 0) return false;
  int64_t want = std::clamp<int64_t>(f->avgBytesPerSec, align, std::max(kMaxReadBytes, align));
  want -= want % align;
  if (want >= left) want = left;
  _memalloc_(block, int32_t(want), kLoc + 10, MEM_BLOCK, "FF_WAV.WAVLoad_.temp_buf");
  if (!Quietly([&] { FSeek(hf->fh, hf->readPos); }) || FPos(hf->fh) != hf->readPos) {
    ErrRaise(ERR_WAV, 5, kLoc + 11);
    return false;
  }
  int64_t done = 0;
  FReadSome(hf->fh, *block, want, done);
  if (done <= 0) {
    ErrRaise(ERR_WAV, 3, kLoc + 12);
    return false;
  }
  hf->readPos += done;
  bytesRead = int32_t(done);
  // A partial block at the very end still goes to the decoder.
  blocksRead = int32_t(std::max<int64_t>(done / align, 1));
  return true;
}

// Finishes a written file: the header before the data, a pad byte after
// odd-sized data.
void WriteHeader_(QWavFile* hf) {
  const int64_t pad = hf->dataSize & 1;
  uint8_t h[kWavHeaderSize];
  PutLE32(h, riff::kRIFF);
  PutLE32(h + 4, uint32_t(kWavHeaderSize - 8 + hf->dataSize + pad));
  PutLE32(h + 8, kWAVE);
  PutLE32(h + 12, kFmt);
  PutLE32(h + 16, sizeof(QWaveFormat));
  const QWaveFormat& f = hf->loader.OutFormat;
  PutLE16(h + 20, f.formatTag);
  PutLE16(h + 22, f.channels);
  PutLE32(h + 24, f.samplesPerSec);
  PutLE32(h + 28, f.avgBytesPerSec);
  PutLE16(h + 32, f.blockAlign);
  PutLE16(h + 34, f.bitsPerSample);
  PutLE16(h + 36, f.extraSize);
  PutLE32(h + 38, kData);
  PutLE32(h + 42, uint32_t(hf->dataSize));
  if (pad != 0) {
    const uint8_t zero = 0;
    if (!Quietly([&] { FSeek(hf->fh, kWavHeaderSize + hf->dataSize); }))
      return ErrRaise(ERR_MM, MMIOERR_CANNOTSEEK, kLoc + 20);
    if (!Quietly([&] { FWrite(hf->fh, &zero, 1); })) return ErrRaise(ERR_MM, MMIOERR_CANNOTWRITE, kLoc + 21);
  }
  if (!Quietly([&] { FSeek(hf->fh, 0); })) return ErrRaise(ERR_MM, MMIOERR_CANNOTSEEK, kLoc + 22);
  if (!Quietly([&] { FWrite(hf->fh, h, 20); })) return ErrRaise(ERR_MM, MMIOERR_CANNOTWRITE, kLoc + 23);
  if (!Quietly([&] { FWrite(hf->fh, h + 20, sizeof(QWaveFormat)); })) return ErrRaise(ERR_WAV, 4, kLoc + 24);
  if (!Quietly([&] { FWrite(hf->fh, h + 38, 8); })) return ErrRaise(ERR_MM, MMIOERR_CANNOTWRITE, kLoc + 25);
}

}  // namespace

std::string WAVFormatName(const QWaveFormat& format) {
  std::string text = "(#" + FmtInt(0, format.formatTag) + ") ";
  if (format.formatTag == 1) return text + "PCM, uncompressed";
  AcmFormatTagDetails details{};
  details.size = sizeof details;
  details.formatTag = format.formatTag;
  if (acmFormatTagDetailsA(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG) != 0 ||
      details.formatTagName[0] == '\0')
    return text + "Unknown codec";
  return text + std::string(details.formatTagName, strnlen(details.formatTagName, sizeof details.formatTagName));
}

void WAVOpen(QWavFile* hf, const std::string& name) {
  Routine("FF_WAV.WAVOpen", [&] {
    CheckPtr(hf);
    std::memset(hf, 0, sizeof *hf);
    // On failure the frame closes the file and frees the format.
    MonSetCleanup([hf] { std::memset(hf, 0, sizeof *hf); });
    if (!Quietly([&] { FOpen(hf->fh, name, FM_READ); })) return Abort_(kLoc + 30);
    hf->fileOpen = kTrue;
    WavStream stream(hf->fh, FSize(hf->fh));
    riff::Reader reader(stream);
    riff::Chunk riffChunk, fmt, data;
    if (!reader.ReadHeader(0, stream.Size(), riffChunk) || riffChunk.id != riff::kRIFF ||
        riffChunk.type != kWAVE)
      return Abort_(kLoc + 31);
    if (!reader.Find(riffChunk, kFmt, fmt) || !ReadFormat_(hf, reader, fmt)) return Abort_(kLoc + 32);
    if (!reader.Find(riffChunk, kData, data)) return Abort_(kLoc + 33);
    const QWaveFormat in = *InFormat(hf);
    if (in.blockAlign == 0) return Abort_(kLoc + 34);
    QSndLoader& sl = hf->loader;

    // A data chunk that claims more than the file holds is read as far as
    // the file goes.
    const int64_t blocks = std::min<int64_t>(data.avail / in.blockAlign, kMaxBlocks);
    hf->dataPos = data.DataPos();
    hf->dataSize = blocks == kMaxBlocks ? blocks * in.blockAlign : data.avail;
    hf->readPos = hf->dataPos;
    sl.totalBlocks = int32_t(blocks);
    sl.totalSamples = sl.totalBlocks;
    auto* stored = reinterpret_cast<QWaveFormat*>(sl.InFormat);
    if (int32_t(stored->avgBytesPerSec) <= 0)
      stored->avgBytesPerSec = uint32_t(std::min<int64_t>(int64_t(in.samplesPerSec) * in.blockAlign, INT32_MAX));

    if (in.formatTag == 1) {
      sl.OutFormat = *stored;
      sl.OutFormat.extraSize = 0;
      // Samples of 12 or 20 bits fill their containers from the top: they
      // are delivered at the container's size.
      if (in.channels > 0 && in.blockAlign % in.channels == 0 && in.blockAlign / in.channels <= 4)
        sl.OutFormat.bitsPerSample = uint16_t(in.blockAlign / in.channels * 8);
    } else {
      QWaveFormat out{};
      out.formatTag = 1;
      if (acmFormatSuggest(nullptr, stored, &out, sizeof out, ACM_FORMATSUGGESTF_WFORMATTAG) != 0)
        return ErrRaise(ERR_WAV, 0, kLoc + 35);  // kept open, not readable
      sl.OutFormat = out;
      HACMSTREAM measure = nullptr;
      int32_t r = acmStreamOpen(&measure, nullptr, stored, &out, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME);
      if (r != 0) return ErrRaise(ERR_ACM, r, kLoc + 36);
      uint32_t decoded = 0;
      const uint32_t source = uint32_t(std::min<int64_t>(blocks * in.blockAlign, UINT32_MAX));
      r = acmStreamSize(measure, source, &decoded, ACM_STREAMSIZEF_SOURCE);
      const int32_t closed = acmStreamClose(measure, 0);
      if (r != 0) return ErrRaise(ERR_ACM, r, kLoc + 37);
      if (closed != 0) return ErrRaise(ERR_ACM, closed, kLoc + 38);
      if (out.blockAlign > 0) sl.totalSamples = int32_t(std::min<int64_t>(decoded / out.blockAlign, INT32_MAX));
    }
    // The ratio keeps the decoder's samples per block, which seeking needs;
    // the length a "fact" chunk gives is exact where the estimate is not.
    sl.ratio = sl.totalBlocks > 0 ? double(sl.totalSamples) / sl.totalBlocks : 0.0;
    if (sl.ratio <= 0) sl.ratio = 1.0;
    const int64_t fact = in.formatTag == 1 ? 0 : FactSamples_(reader, riffChunk);
    if (fact > 0 && fact < sl.totalSamples) sl.totalSamples = int32_t(fact);

    if (!WaveFormatComplete(sl.OutFormat)) return ErrRaise(ERR_WAV, 0, kLoc + 39);
    hf->convToOpen = kTrue;
    hf->readable = kTrue;
    MonSetCleanup(nullptr);
    ErrRaise(ERR_WAV, 0, kLoc + 40);
  });
}

void WAVSeek(QWavFile* hf, int32_t position) {
  Routine("FF_WAV.WAVSeek", [&] {
    CheckPtr(hf);
    if (hf->writing || !hf->readable) return;
    QSndLoader& sl = hf->loader;
    position = std::max(position, 0);
    int64_t block = int64_t(position / sl.ratio);
    if (block >= sl.totalBlocks) {
      block = std::max<int64_t>(sl.totalBlocks - 1, 0);
      position = int32_t(block * sl.ratio);
    }
    hf->readPos = hf->dataPos + block * InFormat(hf)->blockAlign;
    if (hf->readPos > hf->dataPos + hf->dataSize) return ErrRaise(ERR_WAV, 5, kLoc + 50);
    sl.decoded = sl.consumed = 0;
    sl.atEnd = kFalse;
    sl.blocksRead = int32_t(block);
    if (hf->conv.handle != nullptr) WaveConvertDone(hf->conv);
    hf->convToOpen = kTrue;
    // The decoder restarts at the block start; what lies before the asked
    // position is dropped by the next load.
    const int32_t blockStart = int32_t(block * sl.ratio);
    hf->skip = std::max(position - blockStart, 0);
    sl.position = position - hf->skip;
    ErrRaise(ERR_WAV, 0, kLoc + 51);
  });
}

void WAVLoad(QWavFile* hf, Qsnd* snd, int32_t position, int32_t flags, int32_t count) {
  Routine("FF_WAV.WAVLoad", [&] {
    CheckPtr(hf);
    CheckPtr(snd);
    QSndLoader& sl = hf->loader;
    const bool inSequence = (flags & 1) != 0 && position == sl.position + hf->skip;
    if (!inSequence && !hf->writing) WAVSeek(hf, position);
    snd->samples = 0;
    if (hf->writing || !hf->readable) return;
    if (hf->convToOpen) {
      WaveConvertInit(hf->conv, InFormat(hf), &sl.OutFormat);
      hf->convToOpen = kFalse;
    }
    if (hf->skip > 0) {
      Qsnd dropped{};
      SndLoad(hf, hf->conv, sl, WAVLoad_, hf->skip, dropped);
      sl.position += dropped.samples;
      hf->skip = 0;
      SndFree(dropped);
    }
    if (sl.atEnd && sl.decoded == sl.consumed) return;
    SndLoad(hf, hf->conv, sl, WAVLoad_, count, *snd);
    sl.position += snd->samples;
    ErrRaise(ERR_WAV, 0, kLoc + 60);
  });
}

void WAVCreate(QWavFile* hf, const std::string& name) {
  Routine("FF_WAV.WAVCreate", [&] {
    CheckPtr(hf);
    std::memset(hf, 0, sizeof *hf);
    Quietly([&] { FDelete(name); });
    if (!Quietly([&] { FOpen(hf->fh, name, FM_CREATE); })) {
      std::memset(hf, 0, sizeof *hf);
      return ErrRaise(ERR_WAV, 2, kLoc + 70);
    }
    hf->fileOpen = kTrue;
    hf->writing = kTrue;
    ErrRaise(ERR_WAV, 0, kLoc + 71);
  });
}

void WAVSave(QWavFile* hf, const Qsnd* snd) {
  Routine("FF_WAV.WAVSave", [&] {
    CheckPtr(hf);
    CheckPtr(snd);
    if (!hf->writing || !hf->fileOpen) return;
    QSndLoader& sl = hf->loader;
    if (!hf->headerReady) {
      sl.OutFormat = snd->format;
      hf->dataPos = kWavHeaderSize;
      hf->dataSize = 0;
      if (!Quietly([&] { FSeek(hf->fh, kWavHeaderSize); })) return ErrRaise(ERR_WAV, 5, kLoc + 80);
      hf->headerReady = kTrue;
    }
    const int64_t bytes = int64_t(std::max(snd->samples, 0)) * snd->format.blockAlign;
    if (bytes == 0) return;
    // Never beyond the sound's block, never past what the header can count.
    if (snd->SndData == nullptr || bytes > snd->allocated || hf->dataSize + bytes > kMaxDataBytes)
      return ErrRaise(ERR_WAV, 4, kLoc + 81);
    if (!Quietly([&] { FWrite(hf->fh, snd->SndData, bytes); })) return ErrRaise(ERR_WAV, 4, kLoc + 82);
    sl.position += snd->samples;
    hf->dataSize += bytes;
    ErrRaise(ERR_WAV, 0, kLoc + 83);
  });
}

void WAVClose(QWavFile* hf) {
  Routine("FF_WAV.WAVClose", [&] {
    CheckPtr(hf);
    if (!hf->fileOpen) {
      MemFree(&hf->loader.InFormat);
      MemFree(&hf->loader.SndData);
      std::memset(hf, 0, sizeof *hf);
      return;
    }
    // A failure while finishing still closes the file and frees the blocks.
    MonSetCleanup([hf] {
      FClose(hf->fh);
      MemFree(&hf->loader.InFormat);
      MemFree(&hf->loader.SndData);
      std::memset(hf, 0, sizeof *hf);
    });
    if (hf->writing) WriteHeader_(hf);
    if (hf->conv.handle != nullptr) WaveConvertDone(hf->conv);
    MonSetCleanup(nullptr);
    FClose(hf->fh);
    MemFree(&hf->loader.InFormat);
    MemFree(&hf->loader.SndData);
    std::memset(hf, 0, sizeof *hf);
    ErrRaise(ERR_WAV, 0, kLoc + 90);
  });
}

void WAVInfo(const std::string& name, QffInfo* info) {
  Routine("FF_WAV.WAVInfo", [&] {
    CheckPtr(info);
    auto hf = std::make_unique<QWavFile>();
    WAVOpen(hf.get(), name);
    MonSetCleanup([&hf] { WAVClose(hf.get()); });
    info->fileSize = FSize(hf->fh);
    QffMedia& media = info->media;
    const QSndLoader& sl = hf->loader;
    media.storedFormat = *InFormat(hf.get());
    media.pcmFormat = sl.OutFormat;
    media.hasSound = ToBool(sl.totalBlocks > 0);
    media.sampleFrames = sl.totalSamples;
    media.audioName = WAVFormatName(media.storedFormat);
    media.soundReadable = hf->readable;
    MonSetCleanup(nullptr);
    WAVClose(hf.get());
    ErrRaise(ERR_WAV, 0, kLoc + 100);
  });
}

}  // namespace zelo
