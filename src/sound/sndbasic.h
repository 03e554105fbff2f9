// Unit SndBasic: the sound record, silence, conversion between sound formats
// through the audio compression services, and the streamed decoder that the
// movie and sound readers use.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/types.h"
#include "platform/acm.h"
#include "zelo/zelo.h"

namespace zelo {

// --- WAVE format helpers ------------------------------------------------------

// A PCM format: block align = channels x (bits / 8), average bytes = rate x
// block align, extra size 0.
void WaveFormatPCM(QWaveFormat& format, int32_t rate, int32_t channels, int32_t bits);
// False when bits, rate or channels is 0; otherwise recomputes block align
// and average bytes as for PCM.
bool WaveFormatComplete(QWaveFormat& format);
// True when any field but the extra size differs.
bool WaveFormatDiffers(const QWaveFormat& a, const QWaveFormat& b);

// --- sound records ------------------------------------------------------------

// Allocates or resizes snd.SndData to `bytes` (tag "(SndAlloc):" + tag) and
// sets allocated. A record whose block is not live counts as empty.
void _sndalloc_(Qsnd& snd, int32_t bytes, int32_t id, const char* tag);
void SndFree(Qsnd& snd);
// Extends the sound with silence to `samples` frames.
void SndAddSilence(Qsnd& snd, int32_t samples);
void SndMakeSilence(Qsnd& snd, int32_t samples, const QWaveFormat& format);
// Converts the whole of source into dest, in `format`.
void SndConvert(const Qsnd& source, Qsnd& dest, const QWaveFormat& format);

// "44100x2x16|" followed by the sample frames, for trace lines.
std::string StrSnd(const Qsnd* snd);

// --- conversion streams -------------------------------------------------------

// One open conversion and the state of its next call.
struct QWaveConv {
  HACMSTREAM handle;
  AcmStreamHeader header;
  uint32_t flags;  // for the next conversion call: start and block-align first
};

// Opens a stream from `source` (a stored format, followed in memory by its
// extraSize bytes) to the PCM format `target`; an open stream of the state
// is closed first.
void WaveConvertInit(QWaveConv& state, const QWaveFormat* source, const QWaveFormat* target);
// Converts sourceLength bytes into dest (destSize bytes); produced = bytes written.
void WaveConvert(QWaveConv& state, const uint8_t* source, uint8_t* dest, const QWaveFormat* target,
                 const QWaveFormat* sourceFormat, int32_t& produced, int32_t destSize, int32_t sourceLength);
void WaveConvertDone(QWaveConv& state);

// --- streamed loading ---------------------------------------------------------

// The state of a streamed decode, kept in the reader's own record.
struct QSndLoader {
  uint8_t* InFormat;     // the stored WAVE format with its extra bytes
  int32_t InFormatSize;  // bytes of InFormat
  QWaveFormat OutFormat;  // the PCM format delivered
  uint8_t* SndData;      // decoded PCM not yet delivered
  int32_t decoded;       // bytes decoded into SndData
  int32_t consumed;      // bytes of them delivered
  int32_t blocksRead;    // source blocks read so far
  int32_t totalBlocks;   // source blocks of the stream
  BOOL atEnd;            // the source is exhausted
  int32_t position;      // next sample frame to deliver (the reader advances it)
  int32_t totalSamples;  // sample frames the stream holds; 0 = not known
  double ratio;          // total samples / total blocks
};

// The reader's routine that SndLoad calls for more stored bytes: it
// allocates *block (a tracked block) and fills it; bytesRead and blocksRead
// tell what it holds (0 of either: the source is exhausted).
using SndReadProc = bool (*)(void* reader, uint8_t** block, int32_t wanted, int32_t& bytesRead,
                             int32_t& blocksRead);

// Delivers the next `samples` frames of the stream into out (fewer at its
// end, and never beyond loader.totalSamples when that is known). What was
// decoded beyond them stays in the loader for the next call.
void SndLoad(void* reader, QWaveConv& state, QSndLoader& loader, SndReadProc read, int32_t samples,
             Qsnd& out);

// After a seek the decoder restarts at a coded block's start: decodes and
// drops the `skip` frames before the position asked for (scratch receives
// them and is left with 0 samples), advancing loader.position; skip is 0
// afterwards.
void SndSkip(void* reader, QWaveConv& state, QSndLoader& loader, SndReadProc read, int32_t& skip,
             Qsnd& scratch);

}  // namespace zelo
