// The installed video compressors: an allow-list of FFmpeg video encoders
// whose output can be stored in AVI, each under its FOURCC, reached through
// the calls and messages of a video compression manager (enumerate, open,
// describe, query and propose formats, defaults, private state).
//
// Compressors (when FFmpeg has the encoder): cvid Cinepak, MSVC Microsoft
// Video 1, MJPG Motion JPEG, HFYU Huffyuv, FFVH FFmpeg Huffyuv, FFV1, ULRG
// Ut Video RGB, FMP4 MPEG-4 part 2 (also opened as XVID), ZMBV, MPNG PNG.
// Uncompressed output is not a compressor: callers list it themselves.
//
// Accepted input: bottom-up DIBs of 8 bits (with colour table), 16 bits
// (5-5-5), 24 and 32 bits, converted to what the encoder takes where that is
// lossless or what the codec is about (MSVC takes 16 bits only). The output
// format's bit count is the depth its pictures decode to: 16 for MSVC, 8 for
// ZMBV and MPNG fed with 8 bits, 16 for ZMBV fed with 16 bits, else 24.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/avifile.h"
#include "platform/vfw_types.h"

namespace zelo::vfw {

struct IcInstance;
using HIC = IcInstance*;

// ICOpen modes.
constexpr uint32_t ICMODE_COMPRESS = 1;
constexpr uint32_t ICMODE_DECOMPRESS = 2;
constexpr uint32_t ICMODE_QUERY = 4;

// ICINFO flags: what a compressor can do.
constexpr uint32_t VIDCF_QUALITY = 0x0001;   // has a quality setting
constexpr uint32_t VIDCF_CRUNCH = 0x0002;    // can aim for a data rate
constexpr uint32_t VIDCF_TEMPORAL = 0x0004;  // key frames and delta frames

// Messages (their published codes).
constexpr uint32_t ICM_COMPRESS_GET_FORMAT = 0x4004;
constexpr uint32_t ICM_COMPRESS_GET_SIZE = 0x4005;
constexpr uint32_t ICM_COMPRESS_QUERY = 0x4006;
constexpr uint32_t ICM_GETDEFAULTKEYFRAMERATE = 0x402A;
constexpr uint32_t ICM_GETSTATE = 0x5000;
constexpr uint32_t ICM_SETSTATE = 0x5001;
constexpr uint32_t ICM_GETINFO = 0x5002;
constexpr uint32_t ICM_CONFIGURE = 0x500A;
constexpr uint32_t ICM_ABOUT = 0x500B;
constexpr uint32_t ICM_GETDEFAULTQUALITY = 0x501E;

struct ICINFO {
  uint32_t dwSize;  // sizeof(ICINFO)
  FOURCC fccType;   // ICTYPE_VIDEO
  FOURCC fccHandler;
  uint32_t dwFlags;  // VIDCF_...
  uint32_t dwVersion;
  uint32_t dwVersionICM;
  char szName[17];          // at most 16 characters, zero-terminated
  char szDescription[129];  // at most 128 characters
  char szDriver[128];
};

// Enumerates (handler below 256: the index-th compressor) or looks up a
// compressor of type ICTYPE_VIDEO. False when there is none. A look-up also
// finds what FFmpeg can only decode (H264, DIVX ...), with no flags.
bool ICInfo(FOURCC type, FOURCC handler, ICINFO* info);
// Opens a compressor (the FOURCC compared without regard to case); none
// when it is not installed. A FOURCC FFmpeg only decodes opens (not with
// ICMODE_COMPRESS) for its name and description; it accepts no picture
// format and has no state.
HIC ICOpen(FOURCC type, FOURCC handler, uint32_t mode);
// Copies up to size bytes of the compressor's ICINFO; returns the bytes copied.
int32_t ICGetInfo(HIC hic, ICINFO* info, int32_t size);
intptr_t ICClose(HIC hic);
// Messages:
//  ICM_GETSTATE (block or 0, size): with 0 the state size, else ICERR_OK
//    (ICERR_BADSIZE when the block is too small).
//  ICM_SETSTATE (block or 0, size): the bytes taken, or 0 for a state that is
//    not this compressor's or out of range; block 0 resets the defaults.
//  ICM_GETINFO (ICINFO*, size): bytes copied.
//  ICM_CONFIGURE, ICM_ABOUT: ICERR_UNSUPPORTED (no dialogs here), also for
//    the query form (parameter -1).
//  ICM_GETDEFAULTQUALITY, ICM_GETDEFAULTKEYFRAMERATE (uint32_t*, 0): the value
//    into the pointer and ICERR_OK, or ICERR_UNSUPPORTED.
//  ICM_COMPRESS_QUERY (input header, output header or 0): ICERR_OK when the
//    input (and that output) can be made, else ICERR_BADFORMAT.
//  ICM_COMPRESS_GET_FORMAT (input header, output or 0): with 0 the size of
//    the output format (header, codec data, colour table), else fills it and
//    returns ICERR_OK, or ICERR_BADFORMAT.
//  ICM_COMPRESS_GET_SIZE (input header, 0): largest compressed frame.
// Headers are BITMAPINFOHEADERs followed by their colour table or masks.
intptr_t ICSendMessage(HIC hic, uint32_t msg, uintptr_t param1, uintptr_t param2);

// The value forms of the two default messages (0 when unsupported).
uint32_t ICGetDefaultQuality(HIC hic);
uint32_t ICGetDefaultKeyFrameRate(HIC hic);

// True when the FOURCC names an installed compressor.
bool VideoCompressorExists(FOURCC handler);

// The private state block of a compressor (ICM_GETSTATE/ICM_SETSTATE), 32
// bytes, little-endian: magic "ZVCS", version 1 (16 bits), size 32 (16 bits),
// FOURCC, then the settings used where the compression options leave them
// to the compressor.
struct VcmState {
  FOURCC fcc = 0;
  int32_t quality = 0;          // 0..10000 (compressors with a quality setting)
  int32_t keyFrameEvery = 0;    // >= 1 (temporal compressors)
  int32_t bytesPerSecond = 0;   // 0: none (compressors that can aim for a rate)
  int32_t effort = -1;          // 0..9 speed/size trade-off, -1: encoder default
};
constexpr int32_t kVcmStateSize = 32;
constexpr uint16_t kVcmStateVersion = 1;
void PutVcmState(uint8_t* block, const VcmState& s);
bool GetVcmState(const uint8_t* block, int32_t size, VcmState& out);

// --- for the AVI services' compressing streams ------------------------------

// One open encoder turning DIB frames into compressed samples.
class VideoEncoder {
 public:
  // Called with every compressed sample, in order.
  using Sink = std::function<HRESULT(const uint8_t* data, int32_t size, bool key)>;

  // Opens the compressor options->fccHandler for input frames of the given
  // format, at the stream's rate (scale/rate). *result: AVIERR_OK,
  // AVIERR_NOCOMPRESSOR, AVIERR_BADFORMAT (input not accepted) or
  // AVIERR_COMPRESSOR (the encoder would not open).
  static std::unique_ptr<VideoEncoder> Open(const AVICOMPRESSOPTIONS& options,
                                            const uint8_t* format, size_t size, uint32_t scale,
                                            uint32_t rate, HRESULT* result);
  virtual ~VideoEncoder() = default;

  // The format block of the compressed stream (BITMAPINFOHEADER with the
  // FOURCC, then the codec's extra data or colour table).
  virtual const std::vector<uint8_t>& OutputFormat() const = 0;
  virtual uint32_t Quality() const = 0;
  // Compresses one frame of input rows (bottom-up, padded to 4 bytes).
  virtual HRESULT Encode(const uint8_t* bits, int64_t size, const Sink& sink) = 0;
  // Hands out what the encoder still holds.
  virtual HRESULT Flush(const Sink& sink) = 0;
};

}  // namespace zelo::vfw
