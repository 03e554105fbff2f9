// The graphics device services the image model needs, on cairo: a device
// context is a cairo context, a platform bitmap a cairo image surface, and a
// packed device-independent bitmap a block of global memory in the Windows
// layout (40-byte header, colour table, bottom-up rows padded to 4 bytes)
// that the host receives and hands back to be freed.
#pragma once

#include <cstdint>

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace zelo::gdi {

using HDC = cairo_t*;
using HBITMAP = cairo_surface_t*;
using HGLOBAL = void*;

// Largest width or height a platform bitmap or a drawing call can have.
constexpr int32_t kMaxBitmapSide = 32767;

// --- device facts -------------------------------------------------------------
enum : int32_t { BITSPIXEL = 12, RASTERCAPS = 38, LOGPIXELSY = 90 };
enum : int32_t { RC_BITBLT = 0x0001, RC_DI_BITMAP = 0x0080, RC_PALETTE = 0x0100 };
// 0 for a context that is absent or in an error state.
int32_t GetDeviceCaps(HDC dc, int32_t index);

// --- packed device-independent bitmaps --------------------------------------------
enum : uint32_t { BI_RGB = 0, BI_BITFIELDS = 3 };
constexpr int32_t kInfoHeaderSize = 40;  // BITMAPINFOHEADER
constexpr int32_t kRgbQuadSize = 4;      // blue, green, red, 0

// The 40-byte header in host form; read and written little-endian.
struct BITMAPINFOHEADER {
  uint32_t biSize = kInfoHeaderSize;
  int32_t biWidth = 0;
  int32_t biHeight = 0;  // positive: rows run bottom row first
  uint16_t biPlanes = 1;
  uint16_t biBitCount = 0;
  uint32_t biCompression = BI_RGB;
  uint32_t biSizeImage = 0;
  int32_t biXPelsPerMeter = 0;
  int32_t biYPelsPerMeter = 0;
  uint32_t biClrUsed = 0;
  uint32_t biClrImportant = 0;
};
void PutInfoHeader(uint8_t* p, const BITMAPINFOHEADER& h);
BITMAPINFOHEADER GetInfoHeader(const uint8_t* p);

// --- platform bitmaps ------------------------------------------------------------------
struct BITMAP {
  int32_t bmWidth;
  int32_t bmHeight;      // negative: rows run top row first
  int32_t bmWidthBytes;  // distance between rows
  int32_t bmBitsPixel;   // 8, 16 (5-6-5), 24 or 32
  int32_t bmPixelBytes;  // distance between pixels: 24-bit pixels take 4
  uint8_t* bmBits;
};
// Describes a bitmap with readable bits; 0 when the handle is not one this
// layer can read (absent, in an error state, finished, not an image surface,
// or of a pixel format other than 8, 16, 24 or 32 bits), else non-zero.
int32_t GetObject(HBITMAP bm, BITMAP* out);
// Copies the colour table of an 8-bit bitmap (up to 256 entries of blue,
// green, red, 0) into quads and returns the number of entries; 0 for other
// bitmaps. 8-bit bitmaps hold alpha levels here, shown as 256 grey levels.
int32_t GetDIBColorTable(HBITMAP bm, uint8_t* quads);
// A new 24-bit bitmap (4 bytes a pixel: blue, green, red, unused) with
// writable top-down rows; nullptr when it cannot be made.
HBITMAP CreateDIBSection(int32_t width, int32_t height, uint8_t** bits, int32_t* stride);
// Tells the platform that the bits of a bitmap were written directly.
void BitmapBitsChanged(HBITMAP bm);
// Releases a bitmap; false for an absent handle.
bool DeleteObject(HBITMAP bm);

// --- drawing ------------------------------------------------------------------------
// Draws width x height pixels of top-down rows (4 bytes a pixel: blue,
// green, red, unused; rows stride bytes apart, stride a multiple of 4) at
// (x, y) of the context, replacing what was there. Returns false when
// nothing could be drawn.
bool SetDIBitsToDevice(HDC dc, int32_t x, int32_t y, int32_t width, int32_t height,
                       const uint8_t* bits, int32_t stride);

// --- global memory -----------------------------------------------------------------------
enum : uint32_t { GMEM_FIXED = 0 };
// A fixed block (the handle is its address); nullptr when it cannot be had.
// Only blocks of this layer are accepted by the other global routines.
HGLOBAL GlobalAlloc(uint32_t flags, int64_t bytes);
void* GlobalLock(HGLOBAL h);
bool GlobalUnlock(HGLOBAL h);
// True when the block was released; false for anything that is not a live
// block of this layer (which is then left alone).
bool GlobalFree(HGLOBAL h);
// Byte size of a live block, 0 otherwise.
int64_t GlobalSize(HGLOBAL h);
// Test hook: the next n requests succeed, then every one fails (-1: off).
void GlobalFailAfter(int32_t n);

}  // namespace zelo::gdi
