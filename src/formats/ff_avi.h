// Unit FF_AVI: AVI movies (.avi) read and written through the AVI file
// services (platform/avifile.h), with sound decoded through the audio
// compression services and pictures compressed by the codec the codec list
// makes current (avicodecs.h). Custom information entries are written as a
// LIST/INFO chunk before the movie data.
#pragma once

#include <cstdint>
#include <string>

#include "formats/avicodec.h"
#include "formats/ffinfo.h"
#include "foundation/types.h"
#include "platform/avifile.h"
#include "sound/sndbasic.h"
#include "zelo/zelo.h"

namespace zelo {

// A header block with room for 256 colours: 40 bytes, then blue, green, red, 0.
constexpr int32_t kBitmapInfoSize = 40 + 256 * 4;
// One custom information entry: code, size 256, 256 bytes of text.
constexpr int32_t kAviInfoEntry = 264;

// The handle of one open file; valid when zero-filled (the movie interface
// allocates it so). The movie interface views frameCount, curFrame,
// sl.position, writing and palChanged.
struct QAviFile {
  vfw::PAVIFILE file;
  vfw::PAVISTREAM video;     // reading: the decodable video; writing: the compressed stream
  vfw::PAVISTREAM rawVideo;  // writing: the stream under the compressed one
  vfw::PGETFRAME frames;     // frame decoder
  vfw::PAVISTREAM audio;
  int32_t width;
  int32_t height;
  int32_t bytesPP;   // (bpp + 7) div 8
  int32_t bpp;       // 16 shown as 15
  int32_t curFrame;  // reading: 0-based index of the next picture; writing: pictures written
  int32_t frameCount;
  int64_t fileSize;
  int32_t dataRate;  // the file's maximum bytes per second
  double frameRate;
  vfw::AVISTREAMINFO videoInfo;
  vfw::AVISTREAMINFO audioInfo;
  uint8_t* videoFormat;  // reading: as stored; writing: kBitmapInfoSize bytes
  int32_t videoFormatSize;
  int32_t interleave;  // kept from AviCreate
  BOOL writing;
  BOOL palChanged;
  QSndLoader sl;  // blocksRead: stream samples read (written); position: next PCM frame (frames written)
  QAviCodec codec;  // writing: the codec settings of this file
  uint8_t* customInfo;  // 4 bytes list type, then kAviInfoEntry-byte entries
  int32_t customInfoUsed;
  QWaveConv acm;
  BOOL convNotStarted;
  BOOL isOpen;         // counted among the open handles
  int32_t skipFrames;  // decoded frames to drop after a seek into a stored block
};

// Reading. Frame numbers count from 1 (0: the next); flags bit 0: a request
// for the position the handle stands at is served without loading again.
void AviOpen(QAviFile* af, const std::string& name);
void AviImgLoad(QAviFile* af, Qimg* img, int32_t frame, int32_t flags);
void AviSndSeek(QAviFile* af, int32_t sample);
void AviSndLoad(QAviFile* af, Qsnd* snd, int32_t start, int32_t flags, int32_t count);
// The read routine SndLoad calls (reader: the QAviFile).
bool AviSndLoad_(void* reader, uint8_t** block, int32_t wanted, int32_t& bytesRead,
                 int32_t& samplesRead);

// Writing.
void AviCreate(QAviFile* af, const std::string& name, int32_t interleave, double frameRate);
void AviImgSave(QAviFile* af, Qimg* img);
void AviSndSave(QAviFile* af, const Qsnd* snd);
void AviSetCustomInfo(QAviFile* af, const std::string& key, const std::string& text);
void AviWriteCustomInfo(QAviFile* af);
// The text of the entry with that key (first four characters) in an open
// file's LIST/INFO chunk; empty when there is none.
void AviGetCustomInfo(vfw::PAVIFILE file, const std::string& key, std::string& text);

void AviClose(QAviFile* af);
void AviInfo(const std::string& name, QffInfo* info);

// Helpers.
// The format of a stream in a new tracked block; the service's result.
vfw::HRESULT AVIStreamReadFormat_(vfw::PAVISTREAM stream, uint8_t** block, int32_t& size);
void AVIIgnoreAudio_(vfw::PAVISTREAM& audio);
// Fills a header block of kBitmapInfoSize bytes; an 8-bit header takes the
// palette of the image (when given) and says 256 colours.
void FillBitmapInfo_(uint8_t* info, int32_t width, int32_t height, const Qimg* palette, int32_t bits);

// Open handles (opened or created, not yet closed).
int32_t AviOpenCount();

}  // namespace zelo
