#include "sound/sndbasic.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "foundation/trace.h"
#include "platform/avlog.h"

namespace zelo {
namespace {

constexpr int32_t kLoc = 3100;  // raise sites of this unit: kLoc + n

// A service failure: the reason FFmpeg gave goes to the trace log, the
// result becomes the error.
void AcmFail(int32_t result, int32_t location) {
  std::string reason = av::LastMessage();
  if (!reason.empty()) {
    TraceText("FFmpeg: " + reason);
    av::ClearLastMessage();
  }
  ErrRaise(ERR_ACM, result, location);
}

// A record whose block is not live holds nothing.
void SndCheck_(Qsnd& snd) {
  if (!MemIsTracked(&snd.SndData)) {
    snd.SndData = nullptr;
    snd.allocated = 0;
    snd.samples = 0;
  }
}

int32_t ToSize(double bytes) { return bytes > double(INT32_MAX) ? -1 : int32_t(std::nearbyint(bytes)); }

// One pass of the stream over a buffer.
void WaveConvert_(QWaveConv& state, const uint8_t* source, uint8_t* dest, int32_t sourceLength,
                  int32_t destSize, int32_t& produced) {
  Routine("SndBasic.WaveConvert_", [&] {
    uint32_t needed = 0;
    int32_t r = acmStreamSize(state.handle, uint32_t(sourceLength), &needed, ACM_STREAMSIZEF_SOURCE);
    if (r != 0) return AcmFail(r, kLoc + 1);
    // A destination smaller than `needed` is no error: the stream keeps the
    // rest for its next call.
    AcmStreamHeader& h = state.header;
    h = AcmStreamHeader{};
    h.size = kAcmStreamHeaderSize;
    h.src = source;
    h.srcLength = uint32_t(sourceLength);
    h.dst = dest;
    h.dstLength = uint32_t(destSize);
    r = acmStreamPrepareHeader(state.handle, &h, 0);
    if (r != 0) return AcmFail(r, kLoc + 2);
    h.srcLengthUsed = h.dstLengthUsed = 0;
    r = acmStreamConvert(state.handle, &h, state.flags);
    if (r != 0) {
      acmStreamUnprepareHeader(state.handle, &h, 0);
      return AcmFail(r, kLoc + 3);
    }
    produced = int32_t(h.dstLengthUsed);
    r = acmStreamUnprepareHeader(state.handle, &h, 0);
    if (r != 0) return AcmFail(r, kLoc + 4);
    state.flags = ACM_STREAMCONVERTF_BLOCKALIGN;
    ErrRaise(ERR_SND, 0, kLoc + 5);
  });
}

}  // namespace

// --- WAVE format helpers ------------------------------------------------------

void WaveFormatPCM(QWaveFormat& format, int32_t rate, int32_t channels, int32_t bits) {
  format.formatTag = 1;
  format.channels = uint16_t(channels);
  format.samplesPerSec = uint32_t(rate);
  format.bitsPerSample = uint16_t(bits);
  format.blockAlign = uint16_t(channels * (bits / 8));
  format.avgBytesPerSec = uint32_t(rate) * format.blockAlign;
  format.extraSize = 0;
}

bool WaveFormatComplete(QWaveFormat& format) {
  if (format.bitsPerSample == 0 || format.samplesPerSec == 0 || format.channels == 0) return false;
  format.blockAlign = uint16_t(format.channels * (format.bitsPerSample / 8));
  format.avgBytesPerSec = format.samplesPerSec * format.blockAlign;
  return true;
}

bool WaveFormatDiffers(const QWaveFormat& a, const QWaveFormat& b) {
  return a.formatTag != b.formatTag || a.channels != b.channels || a.samplesPerSec != b.samplesPerSec ||
         a.avgBytesPerSec != b.avgBytesPerSec || a.blockAlign != b.blockAlign ||
         a.bitsPerSample != b.bitsPerSample;
}

// --- sound records ------------------------------------------------------------

void _sndalloc_(Qsnd& snd, int32_t bytes, int32_t id, const char* tag) {
  Routine("SndBasic._sndalloc_", [&] {
    SndCheck_(snd);
    std::string fullTag = std::string("(SndAlloc):") + (tag != nullptr ? tag : "");
    _memalloc_(&snd.SndData, bytes, id, MEM_BLOCK, fullTag.c_str());
    snd.allocated = bytes;
    ErrRaise(ERR_SND, 0, kLoc + 10);
  });
}

void SndFree(Qsnd& snd) {
  Routine("SndBasic.SndFree", [&] {
    MemFree(&snd.SndData);
    std::memset(&snd, 0, sizeof snd);
    ErrRaise(ERR_SND, 0, kLoc + 11);
  });
}

void SndAddSilence(Qsnd& snd, int32_t samples) {
  Routine("SndBasic.SndAddSilence", [&] {
    if (!WaveFormatComplete(snd.format)) return ErrRaise(ERR_SND, 4, kLoc + 12);
    SndCheck_(snd);
    int64_t oldBytes = int64_t(std::max(snd.samples, 0)) * snd.format.blockAlign;
    int64_t newBytes = int64_t(samples) * snd.format.blockAlign;
    if (oldBytes >= newBytes) return ErrRaise(ERR_SND, 0, kLoc + 13);
    if (snd.format.formatTag == 0) WaveFormatPCM(snd.format, 22050, 1, 8);
    if (snd.allocated < newBytes)
      _sndalloc_(snd, newBytes > INT32_MAX ? -1 : int32_t(newBytes), kLoc + 14,
                 "SndBasic.SndAddSilence.snd.SndData");
    FillBytes(snd.format.bitsPerSample == 8 ? 128 : 0, newBytes - oldBytes, snd.SndData + oldBytes);
    snd.samples = samples;
    ErrRaise(ERR_SND, 0, kLoc + 15);
  });
}

void SndMakeSilence(Qsnd& snd, int32_t samples, const QWaveFormat& format) {
  Routine("SndBasic.SndMakeSilence", [&] {
    snd.format = format;
    snd.samples = 0;
    SndAddSilence(snd, samples);
    ErrRaise(ERR_SND, 0, kLoc + 16);
  });
}

void SndConvert(const Qsnd& source, Qsnd& dest, const QWaveFormat& format) {
  // Out here: the frame's clean-up may run after the work has returned.
  QWaveConv state{};
  bool destWasLive = false;
  Routine("SndBasic.SndConvert", [&] {
    if (source.samples <= 0 || source.SndData == nullptr) MonFail();
    QWaveFormat target = format;
    if (!WaveFormatComplete(target)) return ErrRaise(ERR_SND, 1, kLoc + 20);
    QWaveFormat from = source.format;
    from.extraSize = 0;  // a record carries no codec data after its 18 bytes
    int64_t sourceBytes = int64_t(source.samples) * from.blockAlign;
    if (sourceBytes < 1 || sourceBytes > source.allocated) return ErrRaise(ERR_SND, 1, kLoc + 21);
    if (from.avgBytesPerSec == 0) ThrowFault("Floating point division by zero");
    double size = double(target.avgBytesPerSec) / from.avgBytesPerSec * double(sourceBytes) * 1.05;

    // Converting a sound into itself: read from a copy.
    const uint8_t* data = source.SndData;
    uint8_t* copy = nullptr;
    if (dest.SndData == source.SndData) {
      _memalloc_(&copy, int32_t(sourceBytes), kLoc + 22, MEM_BLOCK, "SndBasic.SndConvert.source");
      MoveBytes(sourceBytes, copy, source.SndData);
      data = copy;
    }
    destWasLive = MemIsTracked(&dest.SndData);
    MonSetCleanup([&state, &dest, &destWasLive] {
      if (state.handle != nullptr) acmStreamClose(state.handle, 0);
      if (!destWasLive) {  // the frame releases the block it allocated
        dest.SndData = nullptr;
        dest.allocated = dest.samples = 0;
      }
    });
    WaveConvertInit(state, &from, &target);
    // Make room for all the stream yields, even where the estimate above falls short.
    uint32_t needed = 0;
    if (WaveFormatDiffers(from, target) &&
        acmStreamSize(state.handle, uint32_t(sourceBytes), &needed, ACM_STREAMSIZEF_SOURCE) == 0)
      size = std::max(size, double(needed));
    _sndalloc_(dest, ToSize(size), kLoc + 23, "SndBasic.SndConvert.dest");
    int32_t produced = 0;
    WaveConvert(state, data, dest.SndData, &target, &from, produced, dest.allocated, int32_t(sourceBytes));
    WaveConvertDone(state);
    MemFree(&copy);
    dest.format = target;
    dest.samples = produced / target.blockAlign;
    ErrRaise(ERR_SND, 0, kLoc + 24);
  });
}

std::string StrSnd(const Qsnd* snd) {
  if (snd == nullptr) return "NULL";
  return StrInt(snd->format.samplesPerSec) + "x" + StrInt(snd->format.channels) + "x" +
         StrInt(snd->format.bitsPerSample) + "|" + StrInt(snd->samples);
}

// --- conversion streams -------------------------------------------------------

void WaveConvertInit(QWaveConv& state, const QWaveFormat* source, const QWaveFormat* target) {
  Routine("SndBasic.WaveConvertInit", [&] {
    if (state.handle != nullptr) acmStreamClose(state.handle, 0);  // a handle not open is refused harmlessly
    state = QWaveConv{};
    int32_t r = acmStreamOpen(&state.handle, nullptr, source, target, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME);
    if (r != 0) {
      state.handle = nullptr;
      return AcmFail(r, kLoc + 30);
    }
    state.flags = ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START;
    ErrRaise(ERR_SND, 0, kLoc + 31);
  });
}

void WaveConvert(QWaveConv& state, const uint8_t* source, uint8_t* dest, const QWaveFormat* target,
                 const QWaveFormat* sourceFormat, int32_t& produced, int32_t destSize, int32_t sourceLength) {
  Routine("SndBasic.WaveConvert", [&] {
    if (sourceLength < 1 || destSize < 1) MonFail();
    CheckPtr(source);
    CheckPtr(dest);
    if (!WaveFormatDiffers(*CheckPtr(target), *CheckPtr(sourceFormat))) {
      if (destSize < sourceLength) return ErrRaise(ERR_SND, 3, kLoc + 40);
      MoveBytes(sourceLength, dest, source);
      produced = sourceLength;
      return ErrRaise(ERR_SND, 0, kLoc + 41);
    }
    // The PCM format the source decodes to must exist, though the stream
    // takes the source to the target in one pass whatever it is.
    QWaveFormat between{};
    if (sourceFormat->formatTag == 1) {
      between = *sourceFormat;
    } else {
      between.formatTag = 1;
      if (acmFormatSuggest(nullptr, sourceFormat, &between, sizeof between, ACM_FORMATSUGGESTF_WFORMATTAG) != 0)
        return ErrRaise(ERR_SND, 3, kLoc + 42);
    }
    if (!WaveFormatComplete(between)) return ErrRaise(ERR_SND, 3, kLoc + 43);
    WaveConvert_(state, source, dest, sourceLength, destSize, produced);
    ErrRaise(ERR_SND, 0, kLoc + 44);
  });
}

void WaveConvertDone(QWaveConv& state) {
  Routine("SndBasic.WaveConvertDone", [&] {
    int32_t r = state.handle != nullptr ? acmStreamClose(state.handle, 0) : 0;
    state = QWaveConv{};
    if (r != 0) return AcmFail(r, kLoc + 50);
    ErrRaise(ERR_SND, 0, kLoc + 51);
  });
}

// --- streamed loading ---------------------------------------------------------

void SndLoad(void* reader, QWaveConv& state, QSndLoader& loader, SndReadProc read, int32_t samples, Qsnd& out) {
  // Out here: the frame's clean-up may run after the work has returned, and
  // it clears the owner of the reader's block, which must still be alive.
  bool outWasLive = false, dataWasLive = false;
  uint8_t* block = nullptr;
  Routine("SndBasic.SndLoad", [&] {
    CheckPtr(read);
    QWaveFormat& pcm = loader.OutFormat;
    const int64_t align = pcm.blockAlign;
    if (align < 1 || loader.InFormat == nullptr || loader.InFormatSize < 16)
      return ErrRaise(ERR_SND, 4, kLoc + 60);
    // The stored format as the services read it: at least 18 bytes, and no
    // more extra bytes than the block holds.
    std::vector<uint8_t> stored(std::max<size_t>(size_t(loader.InFormatSize), sizeof(QWaveFormat)), 0);
    std::memcpy(stored.data(), loader.InFormat, size_t(loader.InFormatSize));
    auto* inFormat = reinterpret_cast<QWaveFormat*>(stored.data());
    inFormat->extraSize = uint16_t(std::min<size_t>(inFormat->extraSize, stored.size() - sizeof(QWaveFormat)));

    // Never beyond the length the stream is known to have.
    bool limited = false;
    if (loader.totalSamples > 0 && int64_t(samples) > int64_t(loader.totalSamples) - loader.position) {
      samples = int32_t(std::max<int64_t>(0, int64_t(loader.totalSamples) - loader.position));
      limited = true;
    }
    out.format = pcm;
    if (samples <= 0) {
      out.samples = 0;
      if (limited) {
        loader.atEnd = kTrue;
        loader.decoded = loader.consumed = 0;
      }
      return ErrRaise(ERR_SND, 0, kLoc + 61);
    }
    const int64_t wanted = int64_t(samples) * align;
    outWasLive = MemIsTracked(&out.SndData);
    dataWasLive = MemIsTracked(&loader.SndData);
    MonSetCleanup([&out, &loader, &outWasLive, &dataWasLive] {
      // The frame releases the blocks it allocated.
      if (!outWasLive) {
        out.SndData = nullptr;
        out.allocated = out.samples = 0;
      }
      if (!dataWasLive) {
        loader.SndData = nullptr;
        loader.decoded = loader.consumed = 0;
      }
    });
    _sndalloc_(out, wanted > INT32_MAX ? -1 : int32_t(wanted), kLoc + 62, "SndBasic.SndLoad.sh");
    out.format = pcm;

    int64_t gathered = 0;
    int64_t available = int64_t(loader.decoded) - loader.consumed;
    if (available >= wanted) {
      MoveBytes(wanted, out.SndData, loader.SndData + loader.consumed);
      loader.consumed += int32_t(wanted);
      gathered = wanted;
    } else {
      if (available > 0) MoveBytes(available, out.SndData, loader.SndData + loader.consumed);
      gathered = std::max<int64_t>(available, 0);
      loader.decoded = loader.consumed = 0;
      while (!loader.atEnd) {
        int32_t bytes = 0, blocks = 0;
        read(reader, &block, int32_t(wanted - gathered), bytes, blocks);
        if (bytes <= 0 || blocks <= 0) {
          loader.atEnd = kTrue;
          break;
        }
        loader.blocksRead += blocks;
        double size = std::nearbyint(double(blocks) * loader.ratio * double(align) * 2.0);
        // Room for all the stream yields, even where the ratio falls short.
        uint32_t needed = 0;
        if (state.handle != nullptr && WaveFormatDiffers(pcm, *inFormat) &&
            acmStreamSize(state.handle, uint32_t(bytes), &needed, ACM_STREAMSIZEF_SOURCE) == 0)
          size = std::max(size, double(needed));
        size = std::max({size, double(bytes), 1.0});
        _memalloc_(&loader.SndData, ToSize(size), kLoc + 63, MEM_BLOCK, "SndBasic.SndLoad.sl.SndData");
        int32_t produced = 0;
        WaveConvert(state, block, loader.SndData, &pcm, inFormat, produced, ToSize(size), bytes);
        loader.decoded = produced;
        int64_t take = std::min<int64_t>(wanted - gathered, produced);
        MoveBytes(take, out.SndData + gathered, loader.SndData);
        loader.consumed = int32_t(take);
        gathered += take;
        loader.atEnd = ToBool(loader.blocksRead >= loader.totalBlocks);
        if (gathered >= wanted) break;
      }
    }
    MemFree(&block);
    out.samples = int32_t(gathered / align);
    if (loader.consumed >= loader.decoded) loader.decoded = loader.consumed = 0;
    if (limited && gathered >= wanted) {
      // The stream's known length is reached: what was decoded beyond it is padding.
      loader.atEnd = kTrue;
      loader.decoded = loader.consumed = 0;
    }
    ErrRaise(ERR_SND, 0, kLoc + 64);
  });
}

void SndSkip(void* reader, QWaveConv& state, QSndLoader& loader, SndReadProc read, int32_t& skip,
             Qsnd& scratch) {
  while (skip > 0) {
    SndLoad(reader, state, loader, read, std::min(skip, 65536), scratch);
    if (scratch.samples <= 0) break;
    skip -= scratch.samples;
    loader.position += scratch.samples;
  }
  skip = 0;
  scratch.samples = 0;
}

}  // namespace zelo
