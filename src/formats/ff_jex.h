// Unit FF_JEX: the JEX movie container ("Joint Encoding Exchange", .jex).
//
// A JEX file holds frames of 8, 16 or 24 bits per pixel, each compressed
// strip by strip with the JEX codec (jex_codec.h), optional PCM sound in a
// chain of audio blocks, and a two-level frame index for direct access:
//
//   0      header (64 bytes, little-endian fields, see QJexHeader)
//   64     top index: 256 offsets of index blocks (0: block absent)
//   1088   index block 0: 256 entries (frame offset, first-read size, flags)
//   4160   frame records, further index blocks and audio blocks, in the
//          order they were saved
//
// Frame record: 1, 16 (first-chunk offset), chunk count, record size; then
// an optional palette chunk (2, 16, colours, first index, red-green-blue
// triples) and the image chunk (4, 16, strips n, strips in the first read m,
// n strip records of 20 bytes (5, 20, data size, rows, compressed), data).
// Audio block: 3, 16, offset of the next block (0 ends), sample frames, PCM.
// A frame is loaded with one read of its first-read size in the common case.
//
// Frames are saved in order; every image must have the geometry of the
// first. A file holds at most 65536 frames. Sound saved before any image
// makes a sound-only file (header and audio blocks from offset 64); an image
// saved after such sound is refused, since the index must follow the header.
#pragma once

#include <cstdint>
#include <string>

#include "formats/ffinfo.h"
#include "foundation/types.h"
#include "zelo/zelo.h"

namespace zelo {

constexpr int32_t kJexHeaderSize = 64;
constexpr uint32_t kJexVersion = 97;
constexpr int32_t kJexIndexEntries = 256;          // entries per index block, blocks per top index
constexpr int32_t kJexMaxFrames = kJexIndexEntries * kJexIndexEntries;
constexpr int32_t kJexTopIndexBytes = 4 * kJexIndexEntries;
constexpr int32_t kJexIndexBlockBytes = 12 * kJexIndexEntries;
constexpr int32_t kJexMaxStrips = 128;
constexpr int32_t kJexSmallFrame = 65520;  // frames up to this size use the small-frames rules
constexpr int32_t kJexReadSlack = 8192;    // read buffer beyond the frame bytes

// Codec flags of the header.
enum : uint32_t { JEX_FAST = 1, JEX_PREDICT = 2 };

// The 64-byte file header, field by field (read and written explicitly).
struct QJexHeader {
  uint8_t magic[4];     // 4A 45 58 1A
  uint32_t headerSize;  // 64
  uint32_t version;     // 97
  int32_t width;
  int32_t height;
  int32_t bytesPP;      // 1, 2 or 3
  uint32_t codecFlags;  // JEX_FAST, JEX_PREDICT: 0 BEST, 1 FAST, 2 BEST with prediction
  int32_t frameCount;
  int32_t keyInterval;  // 0: only the first frame is a key frame; K: frames 1, K+1, 2K+1 ...
  double frameRate;
  uint32_t audioFlags;  // 0: no sound; bits 0-1 = 3: 16-bit, else 8-bit; bit 2: stereo
  uint32_t sampleRate;
  uint32_t firstAudio;  // offset of the first audio block, 0 when none
  uint32_t smallFrames;  // 1 when width x height x bytes per pixel <= 65520
  int32_t sampleCount;  // sample frames in all audio blocks
};

struct QJexIndexEntry {
  uint32_t offset;     // of the frame record
  uint32_t firstRead;  // bytes read at once when the frame is loaded
  uint32_t flags;      // bit 0: the frame carries a palette chunk
};

// The handle of one open file; valid when zero-filled (the movie interface
// allocates it so). The movie interface views hdr.frameCount, curFrame,
// sndPos, writing and palChanged.
struct QJexFile {
  QJexHeader hdr;  // kept in memory, written back at close when writing
  uint32_t top[kJexIndexEntries];
  QJexIndexEntry idx[kJexIndexEntries];  // the current index block
  int32_t idxBlock;                      // its number
  int32_t bpp;                           // bytes per pixel x 8
  int32_t fh;                            // file handle
  int32_t frameBytes;                    // width x height x bytes per pixel
  int32_t curFrame;                      // frames read or written so far
  int64_t fileSize;                      // reading: at open; writing: bytes written so far
  uint8_t pal[768];                      // palette last written (blue, green, red)
  uint8_t* PrevImg;     // what the compressor was given for the previous frame
  uint8_t* PredictImg;  // prediction differences of the frame
  BOOL prediction;
  BOOL writing;
  BOOL palChanged;  // the last load met a palette
  BOOL hdrWritten;  // the first image has been saved
  uint8_t* AudioBuf;
  int32_t audioBufSize;   // bytes in AudioBuf
  int32_t audioReadPos;   // read position in AudioBuf
  uint32_t audioCursor;   // reading: next block to visit; writing: last block written
  int64_t audioBlockEnd;  // sample frames up to the end of the block in AudioBuf
  int32_t sndPos;         // reading: first sample frame not yet returned; writing: frames written
  QWaveFormat sndFormat;
  // Bookkeeping of this implementation.
  BOOL fileOpen;       // fh is this handle's open file
  int32_t audioHops;   // blocks visited since the chain was entered (bounds a cyclic chain)
  int32_t decoded;     // frames decoded since open (diagnostics)
};

inline bool JEXHasSound(const QJexFile* hf) { return hf->hdr.audioFlags != 0; }
// Seeking must go back to a key frame unless every frame is one.
inline bool JEXNeedsKeyFrames(const QJexFile* hf) { return hf->hdr.keyInterval != 1; }

// Reading. Frame numbers count from 1; flags bit 0 (keep): continue from the
// current position instead of seeking afresh.
void JEXOpen(QJexFile* hf, const std::string& name);
void JEXImgLoad(QJexFile* hf, Qimg* img, int32_t frame, int32_t flags);
void JEXImgLoadNext(QJexFile* hf, Qimg* img);
// The key frame at or before frame a - 1 (the direction is always -1).
int32_t JEXNearestKeyFrame(QJexFile* hf, int32_t a, int32_t direction);
void JEXUpdateVP_(QJexFile* hf, int32_t frame);
// Copies the palette of the last frame from `last` down to `first` that
// carries one into pal (768 bytes, blue-green-red); false when none does.
bool JEXGetPal(QJexFile* hf, uint8_t* pal, int32_t first, int32_t last);
void JEXSndSeek(QJexFile* hf, int32_t sample);
void JEXSndLoad(QJexFile* hf, Qsnd* snd, int32_t start, int32_t flags, int32_t count);

// Writing.
void JEXCreate(QJexFile* hf, const std::string& name, double frameRate);
void JEXImgSave(QJexFile* hf, Qimg* img);
void JEXSndSave(QJexFile* hf, const Qsnd* snd);

void JEXClose(QJexFile* hf);
void JEXInfo(const std::string& name, QffInfo* info);

// Unit settings read when a file is created and its frames saved: the FAST
// switch (0 or 1 sets it; initially 1) and the key-frame interval (any value
// but UNDEF sets it, clamped to 0..2147483647; initially 25).
int32_t JEXFast(int32_t value);
int32_t JEXKeyFrameRate(int32_t value);

}  // namespace zelo
