// Records and codes shared by the AVI file services (avifile.h) and the
// video compressors (vcm.h): the names and values of the video services a
// Windows build would call, so the AVI module reads the same either way.
#pragma once

#include <cstdint>

#include "platform/gdi.h"
#include "platform/riff.h"

namespace zelo::vfw {

using FOURCC = uint32_t;
using HRESULT = int32_t;
using riff::FourCC;

// Device-independent bitmaps: the 40-byte header and its readers and
// writers are the graphics services' (gdi.h); packed DIBs (header, colour
// table, rows bottom-up padded to 4 bytes) are exchanged in memory.
using gdi::BITMAPINFOHEADER;
using gdi::BI_BITFIELDS;
using gdi::BI_RGB;
using gdi::GetInfoHeader;
using gdi::kInfoHeaderSize;
using gdi::PutInfoHeader;
constexpr uint32_t BI_RLE8 = 1;
constexpr uint32_t BI_RLE4 = 2;

// Bytes of one DIB row: bits rounded up to whole 32-bit words.
inline int64_t DibRowBytes(int64_t width, int bits) { return ((width * bits + 31) / 32) * 4; }

struct RECT {
  int32_t left, top, right, bottom;
};

// Results of the AVI file services: 0 success, else an error code in the
// interface facility (negative as 32-bit numbers).
constexpr HRESULT MakeAviErr(int n) { return HRESULT(0x80040000u | uint32_t(0x4000 + n)); }
constexpr HRESULT AVIERR_OK = 0;
constexpr HRESULT AVIERR_UNSUPPORTED = MakeAviErr(101);
constexpr HRESULT AVIERR_BADFORMAT = MakeAviErr(102);
constexpr HRESULT AVIERR_MEMORY = MakeAviErr(103);
constexpr HRESULT AVIERR_INTERNAL = MakeAviErr(104);
constexpr HRESULT AVIERR_BADFLAGS = MakeAviErr(105);
constexpr HRESULT AVIERR_BADPARAM = MakeAviErr(106);
constexpr HRESULT AVIERR_BADSIZE = MakeAviErr(107);
constexpr HRESULT AVIERR_BADHANDLE = MakeAviErr(108);
constexpr HRESULT AVIERR_FILEREAD = MakeAviErr(109);
constexpr HRESULT AVIERR_FILEWRITE = MakeAviErr(110);
constexpr HRESULT AVIERR_FILEOPEN = MakeAviErr(111);
constexpr HRESULT AVIERR_COMPRESSOR = MakeAviErr(112);
constexpr HRESULT AVIERR_NOCOMPRESSOR = MakeAviErr(113);
constexpr HRESULT AVIERR_READONLY = MakeAviErr(114);
constexpr HRESULT AVIERR_NODATA = MakeAviErr(115);
constexpr HRESULT AVIERR_BUFFERTOOSMALL = MakeAviErr(116);
constexpr HRESULT AVIERR_CANTCOMPRESS = MakeAviErr(117);
constexpr HRESULT AVIERR_USERABORT = MakeAviErr(198);
constexpr HRESULT AVIERR_ERROR = MakeAviErr(199);

// Results of compressor messages.
constexpr intptr_t ICERR_OK = 0;
constexpr intptr_t ICERR_UNSUPPORTED = -1;
constexpr intptr_t ICERR_BADFORMAT = -2;
constexpr intptr_t ICERR_MEMORY = -3;
constexpr intptr_t ICERR_INTERNAL = -4;
constexpr intptr_t ICERR_BADFLAGS = -5;
constexpr intptr_t ICERR_BADPARAM = -6;
constexpr intptr_t ICERR_BADSIZE = -7;
constexpr intptr_t ICERR_BADHANDLE = -8;
constexpr intptr_t ICERR_ERROR = -100;

// Stream types and the compressor type.
constexpr FOURCC streamtypeVIDEO = FourCC("vids");
constexpr FOURCC streamtypeAUDIO = FourCC("auds");
constexpr FOURCC ICTYPE_VIDEO = FourCC("vidc");

// True for the codes that mean "no compression": 0, "DIB ", "RAW ", "RGB "
// (case-insensitive).
bool IsUncompressedFourCC(FOURCC code);
// Lower-cases the four characters (codec look-ups ignore case).
FOURCC FourCCLower(FOURCC code);

}  // namespace zelo::vfw
