// Graphics device services on cairo.
#include "platform/gdi.h"

#include <cairo.h>

#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "foundation/basic.h"

namespace zelo::gdi {
namespace {

bool ContextUsable(HDC dc) { return dc != nullptr && cairo_status(dc) == CAIRO_STATUS_SUCCESS; }

// A finished surface keeps its status and may still name its old bits; only
// a context made on it tells.
bool SurfaceFinished(HBITMAP bm) {
  cairo_t* probe = cairo_create(bm);
  const bool finished = cairo_status(probe) == CAIRO_STATUS_SURFACE_FINISHED;
  cairo_destroy(probe);
  return finished;
}

// Bits per pixel as the library counts them, and the bytes a pixel takes.
bool FormatDepth(cairo_format_t format, int32_t& bits, int32_t& bytes) {
  switch (format) {
    case CAIRO_FORMAT_RGB24:
      bits = 24, bytes = 4;
      return true;
    case CAIRO_FORMAT_ARGB32:
      bits = 32, bytes = 4;
      return true;
    case CAIRO_FORMAT_RGB16_565:
      bits = 16, bytes = 2;
      return true;
    case CAIRO_FORMAT_A8:
      bits = 8, bytes = 1;
      return true;
    default:
      return false;
  }
}

// Global blocks handed out, with their sizes: a handle the host gives back
// is released only when it is one of them.
struct GlobalTable {
  std::mutex lock;
  std::unordered_map<void*, int64_t> blocks;
  int32_t failAfter = -1;
};

GlobalTable& Globals() {
  static auto* t = new GlobalTable;  // never destroyed: hosts may free late
  return *t;
}

}  // namespace

int32_t GetDeviceCaps(HDC dc, int32_t index) {
  if (!ContextUsable(dc)) return 0;
  switch (index) {
    case RASTERCAPS:
      return RC_BITBLT | RC_DI_BITMAP;  // never palette based
    case BITSPIXEL: {
      cairo_surface_t* target = cairo_get_target(dc);
      if (cairo_surface_get_type(target) != CAIRO_SURFACE_TYPE_IMAGE) return 32;
      switch (cairo_image_surface_get_format(target)) {
        case CAIRO_FORMAT_RGB16_565:
          return 16;
        case CAIRO_FORMAT_A8:
          return 8;
        case CAIRO_FORMAT_A1:
          return 1;
        default:
          return 32;
      }
    }
    case LOGPIXELSY:
      return 96;
    default:
      return 0;
  }
}

void PutInfoHeader(uint8_t* p, const BITMAPINFOHEADER& h) {
  PutLE32(p, h.biSize);
  PutLE32(p + 4, uint32_t(h.biWidth));
  PutLE32(p + 8, uint32_t(h.biHeight));
  PutLE16(p + 12, h.biPlanes);
  PutLE16(p + 14, h.biBitCount);
  PutLE32(p + 16, h.biCompression);
  PutLE32(p + 20, h.biSizeImage);
  PutLE32(p + 24, uint32_t(h.biXPelsPerMeter));
  PutLE32(p + 28, uint32_t(h.biYPelsPerMeter));
  PutLE32(p + 32, h.biClrUsed);
  PutLE32(p + 36, h.biClrImportant);
}

BITMAPINFOHEADER GetInfoHeader(const uint8_t* p) {
  BITMAPINFOHEADER h;
  h.biSize = GetLE32(p);
  h.biWidth = int32_t(GetLE32(p + 4));
  h.biHeight = int32_t(GetLE32(p + 8));
  h.biPlanes = GetLE16(p + 12);
  h.biBitCount = GetLE16(p + 14);
  h.biCompression = GetLE32(p + 16);
  h.biSizeImage = GetLE32(p + 20);
  h.biXPelsPerMeter = int32_t(GetLE32(p + 24));
  h.biYPelsPerMeter = int32_t(GetLE32(p + 28));
  h.biClrUsed = GetLE32(p + 32);
  h.biClrImportant = GetLE32(p + 36);
  return h;
}

int32_t GetObject(HBITMAP bm, BITMAP* out) {
  if (bm == nullptr || out == nullptr || cairo_surface_status(bm) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_get_type(bm) != CAIRO_SURFACE_TYPE_IMAGE)
    return 0;
  int32_t bits = 0, bytes = 0;
  if (!FormatDepth(cairo_image_surface_get_format(bm), bits, bytes) || SurfaceFinished(bm))
    return 0;
  cairo_surface_flush(bm);  // pending drawing reaches the bits
  uint8_t* data = cairo_image_surface_get_data(bm);
  int32_t width = cairo_image_surface_get_width(bm);
  int32_t height = cairo_image_surface_get_height(bm);
  if (data == nullptr || width <= 0 || height <= 0) return 0;
  out->bmWidth = width;
  out->bmHeight = -height;
  out->bmWidthBytes = cairo_image_surface_get_stride(bm);
  out->bmBitsPixel = bits;
  out->bmPixelBytes = bytes;
  out->bmBits = data;
  return int32_t(sizeof(BITMAP));
}

int32_t GetDIBColorTable(HBITMAP bm, uint8_t* quads) {
  BITMAP info;
  if (GetObject(bm, &info) == 0 || info.bmBitsPixel != 8 || quads == nullptr) return 0;
  for (int i = 0; i < 256; ++i) {
    uint8_t* q = quads + kRgbQuadSize * i;
    q[0] = q[1] = q[2] = uint8_t(i);
    q[3] = 0;
  }
  return 256;
}

HBITMAP CreateDIBSection(int32_t width, int32_t height, uint8_t** bits, int32_t* stride) {
  if (width <= 0 || height <= 0 || width > kMaxBitmapSide || height > kMaxBitmapSide)
    return nullptr;
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    return nullptr;
  }
  cairo_surface_flush(s);
  if (bits != nullptr) *bits = cairo_image_surface_get_data(s);
  if (stride != nullptr) *stride = cairo_image_surface_get_stride(s);
  return s;
}

void BitmapBitsChanged(HBITMAP bm) {
  if (bm != nullptr) cairo_surface_mark_dirty(bm);
}

bool DeleteObject(HBITMAP bm) {
  if (bm == nullptr) return false;
  cairo_surface_destroy(bm);
  return true;
}

bool SetDIBitsToDevice(HDC dc, int32_t x, int32_t y, int32_t width, int32_t height,
                       const uint8_t* bits, int32_t stride) {
  if (!ContextUsable(dc) || bits == nullptr || width <= 0 || height <= 0 ||
      width > kMaxBitmapSide || height > kMaxBitmapSide || stride % 4 != 0)
    return false;
  // cairo only reads the rows: the surface is finished before this returns,
  // so no snapshot of the caller's memory outlives the call.
  cairo_surface_t* src = cairo_image_surface_create_for_data(
      const_cast<uint8_t*>(bits), CAIRO_FORMAT_RGB24, width, height, stride);
  if (cairo_surface_status(src) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(src);
    return false;
  }
  cairo_save(dc);
  cairo_set_operator(dc, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(dc, src, x, y);
  cairo_pattern_set_filter(cairo_get_source(dc), CAIRO_FILTER_NEAREST);
  cairo_rectangle(dc, x, y, width, height);
  cairo_fill(dc);
  cairo_restore(dc);
  cairo_surface_finish(src);
  cairo_surface_destroy(src);
  return cairo_status(dc) == CAIRO_STATUS_SUCCESS;
}

HGLOBAL GlobalAlloc(uint32_t /*flags: every block is fixed*/, int64_t bytes) {
  // The header of a packed bitmap counts its sizes in 32 bits.
  if (bytes <= 0 || bytes > INT32_MAX) return nullptr;
  GlobalTable& t = Globals();
  std::lock_guard<std::mutex> guard(t.lock);
  if (t.failAfter == 0) return nullptr;
  if (t.failAfter > 0) --t.failAfter;
  void* p = std::malloc(static_cast<size_t>(bytes));
  if (p != nullptr) t.blocks.emplace(p, bytes);
  return p;
}

void* GlobalLock(HGLOBAL h) { return GlobalSize(h) > 0 ? h : nullptr; }

bool GlobalUnlock(HGLOBAL h) { return GlobalSize(h) > 0; }

bool GlobalFree(HGLOBAL h) {
  GlobalTable& t = Globals();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.blocks.find(h);
  if (h == nullptr || it == t.blocks.end()) return false;
  t.blocks.erase(it);
  std::free(h);
  return true;
}

int64_t GlobalSize(HGLOBAL h) {
  GlobalTable& t = Globals();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.blocks.find(h);
  return it == t.blocks.end() ? 0 : it->second;
}

void GlobalFailAfter(int32_t n) {
  GlobalTable& t = Globals();
  std::lock_guard<std::mutex> guard(t.lock);
  t.failAfter = n;
}

}  // namespace zelo::gdi
