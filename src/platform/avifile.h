// AVI file and stream services: open and create RIFF AVI files, read and
// write their streams sample by sample, decode video samples to packed DIBs,
// and compress video through the installed compressors (vcm.h).
//
// Written files are AVI 1.0 (hdrl, movi, idx1) and continue as OpenDML
// (AVIX extensions, indx super-indexes, ix## chunk indexes, odml/dmlh) when
// they grow past about 1 GiB. The reader takes AVIs from other programs and
// trusts no header: it prefers the OpenDML indexes, else idx1 (relative or
// absolute offsets), and rebuilds the index from the movi lists when the
// index is missing or damaged.
//
// Every call returns AVIERR_OK (0) or an AVIERR_... code (vfw_types.h), like
// the platform services it stands in for. Objects are reference counted:
// a stream keeps its file alive; a written file is completed when the last
// reference to it goes.
//
// Usage, reading:
//   AVIFileOpen(&f, name, OF_READ, nullptr); AVIFileInfo(f, &fi, sizeof fi);
//   AVIFileGetStream(f, &vs, streamtypeVIDEO, 0); AVIStreamInfo(vs, &si, sizeof si);
//   g = AVIStreamGetFrameOpen(vs, nullptr); dib = AVIStreamGetFrame(g, n);
//   AVIStreamGetFrameClose(g); AVIStreamRelease(vs); AVIFileRelease(f);
// Writing:
//   AVIFileOpen(&f, name, OF_CREATE | OF_WRITE, nullptr);
//   AVIFileCreateStream(f, &raw, &si); AVIMakeCompressedStream(&vs, raw, &opts, nullptr);
//   AVIStreamSetFormat(vs, 0, &bih, size); AVIStreamWrite(vs, n, 1, bits, bytes, 0, ...);
//   AVIStreamRelease(vs); AVIStreamRelease(raw); AVIFileRelease(f) (completes the file).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/vfw_types.h"

namespace zelo::vfw {

struct AviFile;
struct AviStream;
struct AviGetFrame;
using PAVIFILE = AviFile*;
using PAVISTREAM = AviStream*;
using PGETFRAME = AviGetFrame*;

// A class identifier (handler of a file or stream).
struct CLSID {
  uint32_t data1;
  uint16_t data2, data3;
  uint8_t data4[8];
};
bool operator==(const CLSID& a, const CLSID& b);
// The handlers the AVI module names as fallbacks; the services accept the
// first two in place of "no handler".
extern const CLSID CLSID_AVIFile;       // {00020000-0000-0000-C000-000000000046}
extern const CLSID CLSID_AVICmpStream;  // {00020001-0000-0000-C000-000000000046}
extern const CLSID CLSID_ACMCmpStream;  // {0002000F-0000-0000-C000-000000000046}

// AVIFileOpen modes.
constexpr uint32_t OF_READ = 0x0000;
constexpr uint32_t OF_WRITE = 0x0001;
constexpr uint32_t OF_READWRITE = 0x0002;
constexpr uint32_t OF_CREATE = 0x1000;

// Index flags of a sample (AVIStreamWrite, index entries).
constexpr uint32_t AVIIF_LIST = 0x0001;
constexpr uint32_t AVIIF_KEYFRAME = 0x0010;
constexpr uint32_t AVIIF_NOTIME = 0x0100;

// AVIStreamRead: lets the service choose how many samples to read.
constexpr int32_t AVISTREAMREAD_CONVENIENT = -1;

// Compression option flags.
constexpr uint32_t AVICOMPRESSF_INTERLEAVE = 0x01;
constexpr uint32_t AVICOMPRESSF_DATARATE = 0x02;
constexpr uint32_t AVICOMPRESSF_KEYFRAMES = 0x04;
constexpr uint32_t AVICOMPRESSF_VALID = 0x08;

// File capability flags.
constexpr uint32_t AVIFILECAPS_CANREAD = 0x01;
constexpr uint32_t AVIFILECAPS_CANWRITE = 0x02;
constexpr uint32_t AVIFILECAPS_ALLKEYFRAMES = 0x10;

// Main header flags (avih).
constexpr uint32_t AVIF_HASINDEX = 0x10;
constexpr uint32_t AVIF_ISINTERLEAVED = 0x100;

struct AVIFILEINFO {
  uint32_t dwMaxBytesPerSec;
  uint32_t dwFlags;  // AVIF_...
  uint32_t dwCaps;   // AVIFILECAPS_...
  uint32_t dwStreams;
  uint32_t dwSuggestedBufferSize;
  uint32_t dwWidth;
  uint32_t dwHeight;
  uint32_t dwScale;  // the file's time unit: dwScale / dwRate seconds
  uint32_t dwRate;
  uint32_t dwLength;  // in that unit
  uint32_t dwEditCount;
  char szFileType[64];
};

struct AVISTREAMINFO {
  FOURCC fccType;     // streamtypeVIDEO, streamtypeAUDIO ...
  FOURCC fccHandler;  // compressor of a video stream
  uint32_t dwFlags;
  uint32_t dwCaps;
  uint16_t wPriority;
  uint16_t wLanguage;
  uint32_t dwScale;  // samples per second = dwRate / dwScale
  uint32_t dwRate;
  uint32_t dwStart;
  uint32_t dwLength;  // samples (frames; audio blocks)
  uint32_t dwInitialFrames;
  uint32_t dwSuggestedBufferSize;
  uint32_t dwQuality;     // 0..10000, or 0xFFFFFFFF for default
  uint32_t dwSampleSize;  // 0: one chunk per sample (video, variable-size audio)
  RECT rcFrame;
  uint32_t dwEditCount;
  uint32_t dwFormatChangeCount;
  char szName[64];
};

struct AVICOMPRESSOPTIONS {
  FOURCC fccType;  // streamtypeVIDEO
  FOURCC fccHandler;
  uint32_t dwKeyFrameEvery;   // 0: the compressor's default
  uint32_t dwQuality;         // 0..10000, 0xFFFFFFFF: the compressor's default
  uint32_t dwBytesPerSecond;  // used with AVICOMPRESSF_DATARATE
  uint32_t dwFlags;           // AVICOMPRESSF_...
  void* lpFormat;
  uint32_t cbFormat;
  void* lpParms;  // compressor state block (ICM_SETSTATE), or none
  uint32_t cbParms;
  uint32_t dwInterleaveEvery;
};

// --- library ------------------------------------------------------------------
void AVIFileInit();
void AVIFileExit();

// --- files --------------------------------------------------------------------
// Opens for reading (OF_READ) or creates (OF_CREATE | OF_WRITE) an AVI file.
// handler: none, CLSID_AVIFile or CLSID_AVICmpStream. Results: AVIERR_FILEOPEN
// (cannot open or create), AVIERR_FILEREAD (not an AVI, or nothing usable in
// it), AVIERR_UNSUPPORTED (mode or handler).
HRESULT AVIFileOpen(PAVIFILE* file, const char* name, uint32_t mode, const CLSID* handler);
// The same for a file image in memory (read only; the bytes must outlive the file).
HRESULT AVIFileOpenMemory(PAVIFILE* file, const void* data, int64_t size);
// Releases one reference; the last one closes the file and completes a
// written one. Returns AVIERR_OK, or the error met while completing it.
HRESULT AVIFileRelease(PAVIFILE file);
HRESULT AVIFileInfo(PAVIFILE file, AVIFILEINFO* info, int32_t size);
// The index-th stream of a type (0: any type). AVIERR_NODATA when none.
HRESULT AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, FOURCC type, int32_t index);
HRESULT AVIFileCreateStream(PAVIFILE file, PAVISTREAM* stream, const AVISTREAMINFO* info);
// An extra chunk of the file. For ckid "LIST" the data starts with the list
// type ("INFO"); such chunks are written before the movie data. Reading with
// data none gives the size in *size; else *size is the buffer size in and the
// chunk's size out, and the data is copied as far as it fits (for "LIST" the
// first four bytes of the buffer, when not 0, name the list type wanted).
HRESULT AVIFileWriteData(PAVIFILE file, FOURCC ckid, const void* data, int32_t size);
HRESULT AVIFileReadData(PAVIFILE file, FOURCC ckid, void* data, int32_t* size);

// --- streams ------------------------------------------------------------------
// Releases one reference. A compressing stream first writes what its
// compressor still holds; a release that completes a written file returns
// the error met doing so, as AVIFileRelease does.
HRESULT AVIStreamRelease(PAVISTREAM stream);
HRESULT AVIStreamInfo(PAVISTREAM stream, AVISTREAMINFO* info, int32_t size);
int32_t AVIStreamLength(PAVISTREAM stream);  // samples; -1 for no stream
// The format block (BITMAPINFOHEADER + colour table/extra data, or the
// WAVE format). With format none *size receives the size; else *size is the
// buffer size in and the bytes copied out.
HRESULT AVIStreamReadFormat(PAVISTREAM stream, int32_t pos, void* format, int32_t* size);
HRESULT AVIStreamSetFormat(PAVISTREAM stream, int32_t pos, const void* format, int32_t size);
// Reads samples from start: count samples, or AVISTREAMREAD_CONVENIENT for as
// many as fit in the buffer (sound: across chunks, whole chunks when its
// samples vary in size; video: one frame). With
// buffer none, *bytes/*samples tell what count would need. A buffer too small
// for one sample gives AVIERR_BUFFERTOOSMALL with the size needed in *bytes.
// At or beyond the end nothing is read (0 bytes, 0 samples, AVIERR_OK).
HRESULT AVIStreamRead(PAVISTREAM stream, int32_t start, int32_t count, void* buffer,
                      int32_t bufferSize, int32_t* bytes, int32_t* samples);
// Appends samples (one chunk): start must not lie before the stream's end
// (a video gap is filled with empty frames). flags: AVIIF_KEYFRAME.
HRESULT AVIStreamWrite(PAVISTREAM stream, int32_t start, int32_t count, const void* buffer,
                       int32_t bufferSize, uint32_t flags, int32_t* samplesWritten,
                       int32_t* bytesWritten);

// --- decoding -----------------------------------------------------------------
// A frame decoder for a video stream, or none when the stream's compression
// cannot be decoded. wanted: none for the natural depth (8 bits with colour
// table for paletted sources, 16 bits 5-5-5 for 5-5-5 sources, else 24), or
// a header asking for 24 or 32 bits.
PGETFRAME AVIStreamGetFrameOpen(PAVISTREAM stream, const BITMAPINFOHEADER* wanted);
// Sample pos (0-based, display order) as a packed DIB owned by the decoder,
// valid until the next call or the close; none when it cannot be decoded.
void* AVIStreamGetFrame(PGETFRAME frames, int32_t pos);
HRESULT AVIStreamGetFrameClose(PGETFRAME frames);

// --- compression --------------------------------------------------------------
// A stream that compresses what is written to it into source (a stream of a
// file being written) with the compressor and settings of options ("DIB ",
// "RAW ", "RGB " or 0 pass pictures through uncompressed). Its format is the
// uncompressed input format (AVIStreamSetFormat, before the first write).
// handler: none or CLSID_AVICmpStream. AVIERR_NOCOMPRESSOR for an unknown
// compressor.
HRESULT AVIMakeCompressedStream(PAVISTREAM* compressed, PAVISTREAM source,
                                const AVICOMPRESSOPTIONS* options, const CLSID* handler);

// --- tuning for tests ---------------------------------------------------------
// Size at which a written file continues in a new RIFF extension (default
// about 1 GiB); tests lower it to exercise OpenDML on small files.
void AVISetRiffLimit(int64_t bytes);
// Largest picture (in pixels) a frame decoder accepts (default 16384 x
// 16384); fuzzers lower it.
void AVISetMaxPixels(int64_t pixels);

}  // namespace zelo::vfw
