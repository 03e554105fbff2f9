// Unit FF_WAV: RIFF WAVE sound files (.wav).
//
// Reading takes any stored format the audio compression services decode
// (PCM, float, ADPCM, G.711, GSM, MPEG audio, WAVE_FORMAT_EXTENSIBLE): the
// stored format becomes the loader's input format, a PCM output format is
// chosen, and sound is decoded about a second at a time through SndLoad.
// Writing produces a plain PCM file with a 46-byte header:
//
//   "RIFF", size of the rest, "WAVE", "fmt ", 18, the 18-byte format,
//   "data", data size, the samples (from offset 46; a pad byte after an
//   odd-sized data chunk).
#pragma once

#include <cstdint>
#include <string>

#include "formats/ffinfo.h"
#include "foundation/types.h"
#include "sound/sndbasic.h"
#include "zelo/zelo.h"

namespace zelo {

constexpr int32_t kWavHeaderSize = 46;

// One open file; valid when zero-filled (the movie interface allocates it
// so). The movie interface views frameCount, curFrame (always 0: no
// pictures), loader.position, writing and palChanged (always false).
struct QWavFile {
  int32_t fh;            // file-layer handle
  BOOL fileOpen;         // fh is this record's open file
  int64_t dataPos;       // offset of the first sound byte
  int64_t dataSize;      // reading: bytes of sound present; writing: bytes written
  int64_t readPos;       // reading: offset of the next byte to hand to the decoder
  int32_t skip;          // reading: sample frames to drop after a seek into a block
  QSndLoader loader;     // writing: OutFormat is the stored format, position the frames written
  BOOL writing;
  BOOL headerReady;      // writing: the data position is set
  BOOL readable;         // opened completely, with a decodable format
  QWaveConv conv;
  BOOL convToOpen;       // the conversion must be opened before the next decode
  int32_t frameCount;
  int32_t curFrame;
  BOOL palChanged;
};

void WAVOpen(QWavFile* hf, const std::string& name);
// Delivers count sample frames from position on (flags bit 0: a position
// the file already stands at is served without seeking).
void WAVLoad(QWavFile* hf, Qsnd* snd, int32_t position, int32_t flags, int32_t count);
void WAVSeek(QWavFile* hf, int32_t position);
void WAVCreate(QWavFile* hf, const std::string& name);
void WAVSave(QWavFile* hf, const Qsnd* snd);
void WAVClose(QWavFile* hf);
void WAVInfo(const std::string& name, QffInfo* info);

// "(#tag) name" of a stored sound format, "PCM, uncompressed" for PCM,
// "Unknown codec" when no decoder knows the tag.
std::string WAVFormatName(const QWaveFormat& format);

}  // namespace zelo
