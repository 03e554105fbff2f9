// Audio compression services: what the sound code asks of the platform's
// audio compression manager (suggest a PCM format for a stored format,
// measure and perform conversions, name format tags), built on libavcodec's
// decoders and libswresample.
//
// The calls keep the manager's conventions: results are 0 or a reason code,
// a stream is opened, then each buffer goes through prepare, convert and
// unprepare, and the stream is closed. Formats are the 18-byte WAVE format;
// a stored format must be followed in memory by its extraSize bytes.
//
// A stream consumes every source byte it is given: a partial coded block or
// MPEG frame at the end of a buffer is kept and decoded with the next one,
// so a stored stream may be cut into buffers of any size. Decoded sound that
// does not fit the destination is delivered by the next call.
#pragma once

#include <cstdint>

#include "zelo/zelo.h"

namespace zelo {

namespace acm {
class AcmStream;
}
using HACMDRIVER = void*;
using HACMSTREAM = acm::AcmStream*;

// Results.
constexpr int32_t MMSYSERR_NOERROR = 0;
constexpr int32_t MMSYSERR_ERROR = 1;
constexpr int32_t MMSYSERR_INVALHANDLE = 5;
constexpr int32_t MMSYSERR_NOMEM = 7;
constexpr int32_t MMSYSERR_INVALFLAG = 10;
constexpr int32_t MMSYSERR_INVALPARAM = 11;
constexpr int32_t ACMERR_NOTPOSSIBLE = 512;
constexpr int32_t ACMERR_BUSY = 513;
constexpr int32_t ACMERR_UNPREPARED = 514;

// Flags.
constexpr uint32_t ACM_STREAMOPENF_QUERY = 0x1;
constexpr uint32_t ACM_STREAMOPENF_NONREALTIME = 0x4;
constexpr uint32_t ACM_STREAMSIZEF_SOURCE = 0x0;
constexpr uint32_t ACM_STREAMSIZEF_DESTINATION = 0x1;
constexpr uint32_t ACM_STREAMCONVERTF_BLOCKALIGN = 0x4;
constexpr uint32_t ACM_STREAMCONVERTF_START = 0x10;
constexpr uint32_t ACM_STREAMCONVERTF_END = 0x20;
constexpr uint32_t ACM_FORMATSUGGESTF_WFORMATTAG = 0x10000;
constexpr uint32_t ACM_FORMATTAGDETAILSF_FORMATTAG = 0x1;

// Status bits of a stream header.
constexpr uint32_t ACMSTREAMHEADER_STATUSF_DONE = 0x10000;
constexpr uint32_t ACMSTREAMHEADER_STATUSF_PREPARED = 0x20000;

// Value of the size field of a stream header (the record's size on the
// original 32-bit platform, which callers put there).
constexpr uint32_t kAcmStreamHeaderSize = 84;

// Stream header: one source buffer and one destination buffer.
struct AcmStreamHeader {
  uint32_t size;  // kAcmStreamHeaderSize
  uint32_t status;
  uintptr_t user;
  const uint8_t* src;
  uint32_t srcLength;
  uint32_t srcLengthUsed;
  uintptr_t srcUser;
  uint8_t* dst;
  uint32_t dstLength;
  uint32_t dstLengthUsed;
  uintptr_t dstUser;
  uint32_t reserved[10];
};

// Format tag details; size 72.
struct AcmFormatTagDetails {
  uint32_t size;
  uint32_t formatTagIndex;
  uint32_t formatTag;
  uint32_t formatSize;  // largest format record of the tag, extra bytes included
  uint32_t support;     // ACMDRIVERDETAILS_SUPPORTF_... bits
  uint32_t standardFormats;
  char formatTagName[48];
};
static_assert(sizeof(AcmFormatTagDetails) == 72, "format tag details layout");

constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_CODEC = 0x1;
constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_CONVERTER = 0x2;

// Fills dst (dstSize bytes, at least 16) with the PCM format src decodes to:
// src's rate and channels at 16 bits. With ACM_FORMATSUGGESTF_WFORMATTAG the
// tag preset in dst must be PCM.
int32_t acmFormatSuggest(HACMDRIVER driver, const QWaveFormat* src, QWaveFormat* dst,
                         uint32_t dstSize, uint32_t flags);

// Opens a stream from src (any stored format with a decoder, or PCM) to dst
// (PCM of 8, 16, 24 or 32 bits; any rate and 1 to 8 channels). With
// ACM_STREAMOPENF_QUERY only says whether such a stream can be opened.
int32_t acmStreamOpen(HACMSTREAM* stream, HACMDRIVER driver, const QWaveFormat* src,
                      const QWaveFormat* dst, const void* filter, uintptr_t callback,
                      uintptr_t instance, uint32_t flags);

// Destination bytes that `input` more source bytes yield from the stream's
// present state (ACM_STREAMSIZEF_SOURCE), or source bytes needed for `input`
// destination bytes (ACM_STREAMSIZEF_DESTINATION). Exact for PCM, block
// codecs and G.711; for MPEG audio an estimate from the average byte rate
// that errs on the high side.
int32_t acmStreamSize(HACMSTREAM stream, uint32_t input, uint32_t* output, uint32_t flags);

int32_t acmStreamPrepareHeader(HACMSTREAM stream, AcmStreamHeader* header, uint32_t flags);

// Converts the whole source buffer (srcLengthUsed = srcLength) and fills the
// destination with whole sample frames (dstLengthUsed). START begins a new
// stream; END also decodes a partial block kept from earlier buffers.
int32_t acmStreamConvert(HACMSTREAM stream, AcmStreamHeader* header, uint32_t flags);

int32_t acmStreamUnprepareHeader(HACMSTREAM stream, AcmStreamHeader* header, uint32_t flags);
int32_t acmStreamClose(HACMSTREAM stream, uint32_t flags);

// Name of details->formatTag (at most 47 characters) with
// ACM_FORMATTAGDETAILSF_FORMATTAG; ACMERR_NOTPOSSIBLE for a tag no decoder knows.
int32_t acmFormatTagDetailsA(HACMDRIVER driver, AcmFormatTagDetails* details, uint32_t flags);

}  // namespace zelo
