// Unit ImgBasic: the image record, the framework every image operation runs
// in, depth conversion and the shared pixel routines.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/types.h"
#include "platform/gdi.h"
#include "zelo/zelo.h"

namespace zelo {

// Largest pixel buffer an image may have (31 bits).
constexpr int64_t kMaxImageBytes = INT32_MAX;

inline int32_t BytesPP(int32_t bpp) { return (bpp + 7) / 8; }
// One of the five pixel formats of the record.
inline bool ImgKnownDepth(int32_t bpp) {
  return bpp == 8 || bpp == 15 || bpp == 16 || bpp == 24 || bpp == 32;
}

// --- record -------------------------------------------------------------------
void _imgalloc_(Qimg* img, int32_t width, int32_t height, int32_t bpp, int32_t location,
                const char* tag);
void ImgFree(Qimg* img);
bool ImgHasPixels(const Qimg* img);
void ImgSetGeometry(Qimg* img, int32_t width, int32_t height, int32_t bpp);
void ImgCopyGeometry(const Qimg* src, Qimg* dst);
void ImgCopyPalette(const Qimg* src, Qimg* dst);
void ImgCopyData(const Qimg* src, Qimg* dst);
void ImgCopy(const Qimg* src, Qimg* dst);
void ImgXchg(Qimg* a, Qimg* b);
inline uint8_t* ImgPixels(const Qimg* img) { return static_cast<uint8_t*>(img->pixPtr); }
inline int32_t ImgRowBytes(const Qimg* img) { return img->resX * img->bytesPP; }

// True when width x height at bpp is a valid geometry whose buffer fits 31 bits.
bool ImgGeometryValid(int64_t width, int64_t height, int32_t bpp);

// --- operation framework --------------------------------------------------------
struct QimgOpParam {
  double min, max, def;
};

struct QimgOpInfo {
  int32_t opId;
  int32_t sizeLimits[8];  // four (minimum, maximum) pairs; nominal
  int32_t workBpp[6];     // working depth for sources of 8, 15, 16, 24, 32 and other bits
  bool inPlace;
  bool palOnly;
  bool hasParams;
  bool destToWork;
  bool destDepthWins;
  int32_t paramCount;
  QimgOpParam params[16];
};

struct QimgOp {
  bool freeTemp, copyData, copyPal, swapTemp;
  int32_t srcRowBytes, dstRowBytes;
  int32_t srcBytes, dstBytes;
  int32_t srcUnits, dstUnits;
  int32_t srcPixels, dstPixels;
  int32_t srcUnitBytes, dstUnitBytes;
  int32_t dstWidth, dstHeight;
  Qimg* psrc;
  Qimg* pdest;
  Qimg temp_ih;
  uint8_t* srcData;
  uint8_t* dstData;
};

// Operation numbers.
enum : int32_t {
  OP_BRIGHTNESS = 3,
  OP_CONTRAST = 5,
  OP_EDGE = 8,
  OP_FLIPV = 13,
  OP_GAMMA = 14,
  OP_SHARPEN = 27,
  OP_SOFTEN = 28,
  OP_SWAPRB = 30,
  OP_WHITEBAL = 32,
  OP_SPRITE = 36,
  OP_RESIZE = 37,
  OP_RESAMPLE = 38,
  OP_INSERT = 41,
  OP_REMAP = 42,
};

void ImgInitInfo(QimgOpInfo* info);
void ImgInfo(QimgOpInfo* info, int32_t opId);
int32_t ImgWorkBpp(const QimgOpInfo* info, int32_t bpp);
void ImgInitEx(const QimgOpInfo* info, QimgOp* work, Qimg* src, Qimg* dst, int32_t width,
               int32_t height);
void ImgDone(QimgOp* work);

// --- depth conversion -------------------------------------------------------------
// mode: 0 optimised palette, 1 heavy dither, 2 lite dither, 3 grey levels
// (only reductions to 8 bits look at it).
void ImgConvBppEx(Qimg* src, Qimg* dst, int32_t bpp, int32_t mode);
void ImgConvBpp(Qimg* src, Qimg* dst, int32_t bpp);

// --- colour operations (operation framework) ---------------------------------------
void ImgFlipV(Qimg* src, Qimg* dst);
void ImgSwapRB(Qimg* src, Qimg* dst);
// table: 256 red, 256 green, 256 blue output values, indexed by the input.
void ImgRemap(Qimg* src, Qimg* dst, const uint8_t* table);

// --- host and platform bitmaps --------------------------------------------------------
// Packed top-down pixels (and, when given, 768 palette bytes) into the image.
void RawToQimg(Qimg* img, const void* pixels, const void* palette, int32_t width, int32_t height,
               int32_t bpp);
// Rows stride bytes apart into the image, first row at the top or (topDown
// false) at the bottom.
void MakeQimg(Qimg* img, const void* bits, int32_t width, int32_t height, int32_t bpp,
              int64_t stride, bool topDown);
// A packed device-independent bitmap (header, colour table, rows) into the
// image. size: bytes the block holds, or kDibSizeUnknown when the caller
// cannot tell (only the header's own fields are checked then).
constexpr int64_t kDibSizeUnknown = -1;
void DibToQimg(Qimg* img, const void* dib, int64_t size = kDibSizeUnknown);
// Non-zero when the image was built from the platform bitmap.
int32_t HBitmapToQimg(gdi::HBITMAP handle, Qimg* img);
// A new 24-bit platform bitmap holding the image; true on success.
bool QimgToHBitmap(const Qimg* img, gdi::HBITMAP* out);
// A packed device-independent bitmap of the image in global memory; true on
// success. The block goes back through gdi::GlobalFree.
bool QimgToDIBWin3(const Qimg* img, gdi::HGLOBAL* out);

// --- drawing on a device context --------------------------------------------------------
struct QRect {
  int32_t x, y, width, height;
};
bool IsPaletteDevice(gdi::HDC dc);
void PalPut(const uint8_t* palette, gdi::HDC dc);
// Draws the rectangle of the image (adjusted to the image, in place) at
// (x, y). mode: reduction to 8 bits on palette devices (ImgConvBppEx).
void ImgPutEx(const Qimg* img, QRect* rect, gdi::HDC dc, int32_t x, int32_t y, int32_t mode);
void ImgPut(const Qimg* img, gdi::HDC dc, int32_t x, int32_t y);

// --- shared pixel routines ----------------------------------------------------------------
// Writes count pixels of the image's depth, read from s, as blue-green-red
// units of stride bytes (3, or 4 with a zero fourth byte); false for a depth
// that is not one of the five.
bool PixelsToBGR_(const Qimg* img, const uint8_t* s, uint8_t* d, int64_t count, int32_t stride);
// Maps count blue-green-red units through a remap table (see ImgRemap);
// source and destination may be the same.
void RemapTriples_(const uint8_t* table, int64_t count, const uint8_t* source, uint8_t* dest);
// Bytes of a device-independent bitmap row: padded to alignment (a power of two).
int64_t DIBRowBytes(int32_t width, int32_t bpp, int32_t alignment = 4);
// Packed top-down rows into DIBRowBytes rows, bottom row first; the pad
// bytes are zeroed.
void RowsToDIB_(const uint8_t* pixels, uint8_t* dest, int32_t width, int32_t bpp, int32_t height);
void CopyTriples_(bool swap, int32_t stride, int32_t count, uint8_t* dest, const uint8_t* source);
void GreyPalette_(uint8_t* palette);
void GreyPaletteInv_(uint8_t* palette);
void SwapRB_(int32_t count, uint8_t* triples);
void CopySwapRB_(int32_t count, uint8_t* dest, const uint8_t* source);

// Trace renderer: width x height x bpp.
std::string StrImg(const Qimg* img);

}  // namespace zelo
