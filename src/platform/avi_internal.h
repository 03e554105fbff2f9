// Internals shared by the parts of the AVI file services: the file and
// stream objects, the reader's index and the writer's bookkeeping.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/avifile.h"
#include "platform/riff.h"

namespace zelo::vfw {

class VideoEncoder;  // vcm.h

namespace avi {

constexpr int kMaxStreams = 100;             // chunk ids carry two decimal digits
constexpr int64_t kMaxFormatBytes = 1 << 20;  // strf blocks beyond this are refused
constexpr int kSuperIndexCapacity = 256;     // RIFF extensions a written file may have
constexpr int64_t kMaxIndexEntries = int64_t(1) << 24;

// AVI_INDEX_OF_INDEXES / AVI_INDEX_OF_CHUNKS of the OpenDML indexes.
constexpr uint8_t kIndexOfIndexes = 0x00;
constexpr uint8_t kIndexOfChunks = 0x01;

constexpr uint32_t kAVI = riff::FourCC("AVI ");
constexpr uint32_t kAVIX = riff::FourCC("AVIX");
constexpr uint32_t kHdrl = riff::FourCC("hdrl");
constexpr uint32_t kAvih = riff::FourCC("avih");
constexpr uint32_t kStrl = riff::FourCC("strl");
constexpr uint32_t kStrh = riff::FourCC("strh");
constexpr uint32_t kStrf = riff::FourCC("strf");
constexpr uint32_t kStrn = riff::FourCC("strn");
constexpr uint32_t kIndx = riff::FourCC("indx");
constexpr uint32_t kOdml = riff::FourCC("odml");
constexpr uint32_t kDmlh = riff::FourCC("dmlh");
constexpr uint32_t kMovi = riff::FourCC("movi");
constexpr uint32_t kRec = riff::FourCC("rec ");
constexpr uint32_t kIdx1 = riff::FourCC("idx1");

// The stream number of a chunk id "NNxx", or -1.
int ChunkStream(uint32_t ckid);
// "NN" + the two characters of suffix.
uint32_t MakeChunkId(int stream, const char* suffix);

// One sample's chunk: where its data is and whether it is a key frame.
struct IndexEntry {
  int64_t pos;  // first data byte
  uint32_t size;
  uint32_t flags;  // AVIIF_KEYFRAME
};

// A written chunk, for the indexes made at the end of a RIFF part.
struct WrittenChunk {
  int64_t pos;  // chunk header
  uint32_t size;
  bool key;
};
struct SuperEntry {
  int64_t pos;  // the ix## chunk
  uint32_t size;
  uint32_t duration;
};

// A stream of a file, read or being written.
struct StreamData {
  AVISTREAMINFO info{};
  std::vector<uint8_t> format;
  std::string name;
  int number = 0;

  // reading
  std::vector<IndexEntry> index;
  std::vector<int64_t> byteStart;  // sample-size streams: stream bytes before each entry
  int64_t totalBytes = 0;
  uint32_t sampleSize = 0;  // 0: one chunk per sample
  riff::Chunk indx;         // OpenDML super index, id 0 when none
  bool hasIndx = false;

  // writing
  uint32_t chunkId = 0;
  int64_t length = 0;  // samples written
  int64_t bytes = 0;
  uint32_t maxChunk = 0;
  int64_t framesInFirstRiff = 0;
  std::vector<WrittenChunk> partChunks;  // chunks of the current RIFF part
  std::vector<SuperEntry> super;
  int64_t partStartLength = 0;  // length when the current part began
};

struct ExtraChunk {
  uint32_t ckid;
  std::vector<uint8_t> data;  // for LIST: type, then the body
};

struct Idx1Entry {
  uint32_t ckid, flags;
  uint32_t offset, size;
};

}  // namespace avi

struct AviFile {
  int refs = 1;
  bool writing = false;
  std::unique_ptr<riff::Stream> io;
  std::vector<std::unique_ptr<avi::StreamData>> streams;
  std::vector<avi::ExtraChunk> extras;  // writing: chunks to put before the movie data

  // reading
  uint32_t usPerFrame = 0, maxBytesPerSec = 0, avihFlags = 0, avihFrames = 0;
  uint32_t avihBuffer = 0, avihWidth = 0, avihHeight = 0;
  std::vector<riff::Chunk> dataChunks;  // chunks AVIFileReadData may return
  std::vector<riff::Chunk> moviLists;

  // writing
  riff::StdFile* file = nullptr;  // io, as a file
  std::unique_ptr<riff::Writer> w;
  bool started = false;
  int64_t reserve = 0;   // bytes from offset 12 up to the first movi list
  int64_t riffPos = 0;   // header of the current RIFF part
  int64_t moviPos = 0;   // header of the current movi list
  int part = 0;          // 0: the AVI part, then AVIX parts
  std::vector<avi::Idx1Entry> idx1;
  HRESULT error = AVIERR_OK;
};

struct AviStream {
  int refs = 1;
  AviFile* file = nullptr;        // a reference is held
  avi::StreamData* data = nullptr;
  // a compressing stream writes into source (a reference is held)
  AviStream* source = nullptr;
  std::unique_ptr<VideoEncoder> encoder;
  std::vector<uint8_t> inputFormat;
  AVICOMPRESSOPTIONS options{};
  bool passThrough = false;
  int64_t framesIn = 0, framesOut = 0;
};

namespace avi {

void AddRef(AviFile* f);
HRESULT ReleaseFile(AviFile* f);

// Reader: parses the file and builds every stream's index.
HRESULT ParseFile(AviFile& f);
// True when every sample of a video stream stands alone (uncompressed or an
// intra-only compression), so any sample is a key frame.
bool VideoAllKey(const StreamData& s);

// Writer.
HRESULT WriteChunk(AviFile& f, StreamData& s, const void* data, uint32_t size, bool key,
                   int64_t samples);
// Checks that the header still fits the space reserved before the movie data.
HRESULT CheckHeaderRoom(AviFile& f);
HRESULT FinishFile(AviFile& f);

// Compressing streams.
HRESULT CompressSetFormat(AviStream& s, const void* format, int32_t size);
HRESULT CompressWrite(AviStream& s, int32_t start, const void* data, int32_t size,
                      int32_t* samples, int32_t* bytes);
HRESULT CompressFlush(AviStream& s);

int64_t RiffLimit();

}  // namespace avi
}  // namespace zelo::vfw
