// Images from and to host memory, packed device-independent bitmaps and
// platform bitmaps, and drawing on a device context.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"

namespace zelo {
namespace {

// Masks of the 16-bit 5-6-5 layout, written after the header of a packed
// bitmap so that readers do not take the pixels for 5-5-5.
constexpr uint32_t kMask565[3] = {0xF800, 0x07E0, 0x001F};
constexpr uint32_t kMask555[3] = {0x7C00, 0x03E0, 0x001F};
constexpr uint32_t kMask888[3] = {0xFF0000, 0x00FF00, 0x0000FF};

bool SameMasks(const uint8_t* p, const uint32_t* masks) {
  return GetLE32(p) == masks[0] && GetLE32(p + 4) == masks[1] && GetLE32(p + 8) == masks[2];
}

}  // namespace

int64_t DIBRowBytes(int32_t width, int32_t bpp, int32_t alignment) {
  const int64_t bytes = std::abs(int64_t(width)) * BytesPP(bpp);
  return (bytes + alignment - 1) & -int64_t(alignment);
}

void RowsToDIB_(const uint8_t* pixels, uint8_t* dest, int32_t width, int32_t bpp, int32_t height) {
  const int64_t rowBytes = int64_t(width) * BytesPP(bpp);
  const int64_t dibRow = DIBRowBytes(width, bpp);
  if (rowBytes <= 0 || height <= 0) return;
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* d = dest + (height - 1 - y) * dibRow;
    std::memcpy(d, pixels + y * rowBytes, static_cast<size_t>(rowBytes));
    // Pad bytes are zeroed: the rows reach the host and files.
    std::memset(d + rowBytes, 0, static_cast<size_t>(dibRow - rowBytes));
  }
}

void RawToQimg(Qimg* img, const void* pixels, const void* palette, int32_t width, int32_t height,
               int32_t bpp) {
  Routine("ImgBasic.RawToQimg", [&] {
    CheckPtr(img);
    CheckPtr(pixels);
    _imgalloc_(img, width, height, bpp, 2150, "ImgBasic.RawToQimg.img");
    std::memcpy(img->pixPtr, pixels, static_cast<size_t>(img->pixSize));
    if (palette != nullptr) std::memcpy(img->pal, palette, sizeof img->pal);
    ErrRaise(ERR_IMG, 0, 2151);
  });
}

void MakeQimg(Qimg* img, const void* bits, int32_t width, int32_t height, int32_t bpp,
              int64_t stride, bool topDown) {
  Routine("ImgBasic.MakeQimg", [&] {
    CheckPtr(img);
    CheckPtr(bits);
    _imgalloc_(img, width, height, bpp, 2152, "ImgBasic.MakeQimg.img");
    const auto* s = static_cast<const uint8_t*>(bits);
    uint8_t* d = ImgPixels(img);
    const int64_t rowBytes = int64_t(width) * BytesPP(bpp);
    if (rowBytes == stride && topDown) {
      std::memcpy(d, s, static_cast<size_t>(rowBytes * height));
    } else {
      for (int32_t y = 0; y < height; ++y, s += stride) {
        const int32_t row = topDown ? y : height - 1 - y;
        std::memcpy(d + row * rowBytes, s, static_cast<size_t>(rowBytes));
      }
    }
    ErrRaise(ERR_IMG, 0, 2153);
  });
}

void DibToQimg(Qimg* img, const void* dib, int64_t size) {
  Routine("ImgBasic.DibToQimg", [&] {
    CheckPtr(img);
    const auto* p = static_cast<const uint8_t*>(CheckPtr(dib));
    const bool sized = size != kDibSizeUnknown;
    // Every check comes before the image is touched.
    auto fail = [](int32_t code, int32_t location) { ErrRaise(ERR_IMG, code, location); };
    if (sized && size < gdi::kInfoHeaderSize) return fail(9, 2160);
    const gdi::BITMAPINFOHEADER h = gdi::GetInfoHeader(p);
    // 40 (info), 52/56 (with masks), 108 (V4), 124 (V5); the core header of
    // 12 bytes has another layout.
    if (h.biSize < uint32_t(gdi::kInfoHeaderSize) || h.biSize > 124) return fail(4, 2161);
    if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN) return fail(4, 2162);
    const bool topDown = h.biHeight < 0;
    const int32_t width = h.biWidth;
    const int32_t height = topDown ? -h.biHeight : h.biHeight;
    int32_t bpp = h.biBitCount;
    if (bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return fail(1, 2163);
    int64_t masksAfterHeader = 0;
    if (bpp == 16) bpp = 15;  // 16 bits without masks are 5-5-5
    if (h.biCompression == gdi::BI_BITFIELDS && (bpp == 15 || bpp == 32)) {
      // Masks sit in the larger headers, or follow the 40-byte one.
      if (h.biSize < 52) masksAfterHeader = 12;
      if (sized && size < gdi::kInfoHeaderSize + 12) return fail(9, 2164);
      const uint8_t* masks = p + gdi::kInfoHeaderSize;
      if (bpp == 15 && SameMasks(masks, kMask565))
        bpp = 16;
      else if (!(bpp == 15 && SameMasks(masks, kMask555)) &&
               !(bpp == 32 && SameMasks(masks, kMask888)))
        return fail(1, 2165);
    } else if (h.biCompression != gdi::BI_RGB) {
      return fail(1, 2166);
    }
    // The colour table: 256 entries for 8 bits unless the header names fewer;
    // other depths may carry an optional table that the rows follow.
    if (h.biClrUsed > 256) return fail(4, 2167);
    const int64_t colours = (bpp == 8 && h.biClrUsed == 0) ? 256 : h.biClrUsed;
    const int64_t tableAt = int64_t(h.biSize) + masksAfterHeader;
    const int64_t bitsAt = tableAt + colours * gdi::kRgbQuadSize;
    const int64_t stride = DIBRowBytes(width, bpp);
    if (!ImgGeometryValid(width, height, bpp)) return fail(4, 2168);
    if (sized && bitsAt + stride * (height - 1) + int64_t(width) * BytesPP(bpp) > size)
      return fail(9, 2169);
    MakeQimg(img, p + bitsAt, width, height, bpp, stride, topDown);
    if (bpp == 8)
      CopyTriples_(false, gdi::kRgbQuadSize, int32_t(colours), &img->pal[0][0], p + tableAt);
    ErrRaise(ERR_IMG, 0, 2170);
  });
}

int32_t HBitmapToQimg(gdi::HBITMAP handle, Qimg* img) {
  int32_t result = 0;
  Protected([&] {
    CheckPtr(img);
    gdi::BITMAP bm;
    if (gdi::GetObject(handle, &bm) == 0) return;
    const int32_t width = bm.bmWidth;
    const int32_t height = std::abs(bm.bmHeight);
    const bool topDown = bm.bmHeight < 0;
    const int32_t bpp = bm.bmBitsPixel;
    if (bm.bmPixelBytes == BytesPP(bpp)) {
      MakeQimg(img, bm.bmBits, width, height, bpp, bm.bmWidthBytes, topDown);
    } else {
      // 24-bit pixels kept 4 bytes apart.
      _imgalloc_(img, width, height, bpp, 2171, "ImgBasic.HBitmapToQimg.img");
      const int64_t rowBytes = ImgRowBytes(img);
      for (int32_t y = 0; y < height; ++y) {
        const int32_t row = topDown ? y : height - 1 - y;
        CopyTriples_(false, bm.bmPixelBytes, width, ImgPixels(img) + row * rowBytes,
                     bm.bmBits + int64_t(y) * bm.bmWidthBytes);
      }
    }
    if (bpp == 8) {
      uint8_t quads[256 * gdi::kRgbQuadSize];
      const int32_t n = gdi::GetDIBColorTable(handle, quads);
      CopyTriples_(false, gdi::kRgbQuadSize, n, &img->pal[0][0], quads);
    }
    result = 1;
  });
  return result;
}

bool QimgToHBitmap(const Qimg* img, gdi::HBITMAP* out) {
  bool result = false;
  Protected([&] {
    *CheckPtr(out) = nullptr;
    if (!ImgHasPixels(img) || !ImgKnownDepth(img->bpp) || img->resX <= 0 || img->resY <= 0) return;
    CheckPtr(img->pixPtr);  // host pixels named but not given
    uint8_t* bits = nullptr;
    int32_t stride = 0;
    gdi::HBITMAP bm = gdi::CreateDIBSection(img->resX, img->resY, &bits, &stride);
    if (bm == nullptr) return;
    // Each row straight from the image's depth into the bitmap's 24 bits:
    // no converted copy of the image is needed.
    const int64_t rowBytes = ImgRowBytes(img);
    for (int32_t y = 0; y < img->resY; ++y)
      PixelsToBGR_(img, ImgPixels(img) + y * rowBytes, bits + int64_t(y) * stride, img->resX, 4);
    gdi::BitmapBitsChanged(bm);
    *out = bm;
    result = true;
  });
  return result;
}

bool QimgToDIBWin3(const Qimg* img, gdi::HGLOBAL* out) {
  bool result = false;
  Protected([&] {
    CheckPtr(out);
    if (!ImgHasPixels(img) || !ImgKnownDepth(img->bpp) || img->resX <= 0 || img->resY <= 0) {
      *out = nullptr;
      return;
    }
    CheckPtr(img->pixPtr);
    const bool paletted = img->bpp == 8;
    const bool masks = img->bpp == 16;
    const int64_t headerBytes =
        gdi::kInfoHeaderSize + (paletted ? 256 * gdi::kRgbQuadSize : 0) + (masks ? 12 : 0);
    const int64_t pixelBytes = DIBRowBytes(img->resX, img->bpp) * img->resY;
    *out = gdi::GlobalAlloc(gdi::GMEM_FIXED, headerBytes + pixelBytes);
    auto* p = static_cast<uint8_t*>(gdi::GlobalLock(*out));
    if (p == nullptr) return;
    RowsToDIB_(ImgPixels(img), p + headerBytes, img->resX, img->bpp, img->resY);
    std::memset(p, 0, static_cast<size_t>(headerBytes));
    gdi::BITMAPINFOHEADER h;
    h.biWidth = img->resX;
    h.biHeight = img->resY;
    h.biBitCount = uint16_t(BytesPP(img->bpp) * 8);  // 15-bit images give 16
    h.biCompression = masks ? gdi::BI_BITFIELDS : gdi::BI_RGB;
    h.biSizeImage = uint32_t(pixelBytes);
    if (paletted) {
      h.biClrUsed = 256;
      uint8_t* q = p + gdi::kInfoHeaderSize;
      for (int i = 0; i < 256; ++i, q += gdi::kRgbQuadSize) std::memcpy(q, img->pal[i], 3);
    }
    if (masks) {
      for (int i = 0; i < 3; ++i) PutLE32(p + gdi::kInfoHeaderSize + 4 * i, kMask565[i]);
    }
    gdi::PutInfoHeader(p, h);
    gdi::GlobalUnlock(*out);
    result = true;
  });
  return result;
}

bool IsPaletteDevice(gdi::HDC dc) {
  return (gdi::GetDeviceCaps(dc, gdi::RASTERCAPS) & gdi::RC_PALETTE) != 0;
}

void PalPut([[maybe_unused]] const uint8_t* palette, [[maybe_unused]] gdi::HDC dc) {
  PathScope path("ImgBasic.PalPut");
  // A logical palette has to be realised only on palette devices, and no
  // device context of this platform is one (IsPaletteDevice): true colour
  // shows every image in its own colours.
}

void ImgPutEx(const Qimg* img, QRect* rect, gdi::HDC dc, int32_t x, int32_t y,
              int32_t /*mode: reduction for palette devices, none on this platform*/) {
  PathScope path("ImgBasic.ImgPutEx");
  if (!ImgHasPixels(img) || !ImgKnownDepth(img->bpp) || img->resX <= 0 || img->resY <= 0) return;
  CheckPtr(img->pixPtr);
  QRect& r = *CheckPtr(rect);
  const int32_t w = img->resX, h = img->resY;
  // A rectangle outside the image starts at its edge (negative origins as
  // well: nothing before the first pixel may be read).
  if (r.x >= w || r.x < 0) r.x = 0;
  if (r.y >= h || r.y < 0) r.y = 0;
  if (r.width <= 0) r.width = w;
  if (r.height <= 0) r.height = h;
  r.width = std::min(r.width, w - r.x);
  r.height = std::min(r.height, h - r.y);
  if (gdi::GetDeviceCaps(dc, gdi::RASTERCAPS) == 0) return;  // no usable context
  const int32_t cw = std::min(r.width, gdi::kMaxBitmapSide);
  const int32_t ch = std::min(r.height, gdi::kMaxBitmapSide);
  const int64_t rowBytes = ImgRowBytes(img);
  const uint8_t* first = ImgPixels(img) + r.y * rowBytes + int64_t(r.x) * img->bytesPP;
  // 32-bit rows are drawn where they lie; other depths go through a buffer of
  // 32-bit rows, a band at a time.
  if (img->bpp == 32 && rowBytes % 4 == 0 && reinterpret_cast<uintptr_t>(first) % 4 == 0) {
    gdi::SetDIBitsToDevice(dc, x, y, cw, ch, first, int32_t(rowBytes));
    return;
  }
  const int32_t bandRows = std::max(1, std::min(ch, (1 << 20) / (cw * 4)));
  uint8_t* bmpBits = nullptr;
  _memalloc_(&bmpBits, bandRows * cw * 4, 2172, MEM_BLOCK, "ImgBasic.ImgPutEx.bmpBits");
  if (bmpBits == nullptr) return;
  for (int32_t top = 0; top < ch; top += bandRows) {
    const int32_t rows = std::min(bandRows, ch - top);
    for (int32_t i = 0; i < rows; ++i)
      PixelsToBGR_(img, first + (top + i) * rowBytes, bmpBits + i * cw * 4, cw, 4);
    if (!gdi::SetDIBitsToDevice(dc, x, y + top, cw, rows, bmpBits, cw * 4)) break;
  }
  MemFree(&bmpBits);
}

void ImgPut(const Qimg* img, gdi::HDC dc, int32_t x, int32_t y) {
  if (img == nullptr) return;
  QRect rect{0, 0, img->resX, img->resY};
  ImgPutEx(img, &rect, dc, x, y, 0);
}

}  // namespace zelo
