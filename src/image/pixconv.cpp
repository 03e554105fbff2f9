// Depth conversions between the five pixel formats, and the pixel routines
// shared by the file formats.
#include <cstring>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"
#include "image/palopt.h"

namespace zelo {
namespace {

inline uint16_t Load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void Store16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

inline uint32_t Pack15(uint8_t r, uint8_t g, uint8_t b) {
  return (uint32_t(r >> 3) << 10) | (uint32_t(g >> 3) << 5) | (b >> 3);
}
inline uint32_t Pack16(uint8_t r, uint8_t g, uint8_t b) {
  return (uint32_t(r >> 3) << 11) | (uint32_t(g >> 2) << 5) | (b >> 3);
}

void Conv8To16_(const Qimg* src, uint8_t* d, int64_t count, bool to15) {
  uint16_t words[256];
  for (int i = 0; i < 256; ++i) {
    const uint8_t* e = src->pal[i];
    words[i] = static_cast<uint16_t>(to15 ? Pack15(e[2], e[1], e[0]) : Pack16(e[2], e[1], e[0]));
  }
  const uint8_t* s = ImgPixels(src);
  for (int64_t i = 0; i < count; ++i) Store16(d + 2 * i, words[s[i]]);
}

void Conv8To24_(const uint8_t (*pal)[3], const uint8_t* s, uint8_t* d, int64_t count,
                int stride) {
  for (int64_t i = 0; i < count; ++i, d += stride) {
    const uint8_t* e = pal[s[i]];
    d[0] = e[0];
    d[1] = e[1];
    d[2] = e[2];
    if (stride == 4) d[3] = 0;
  }
}

void Conv15To16_(const uint8_t* s, uint8_t* d, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    uint32_t w = Load16(s + 2 * i);
    Store16(d + 2 * i, ((w & 0x7C00) << 1) | ((w & 0x03E0) << 1) | (w & 0x1F));
  }
}

void Conv16To15_(const uint8_t* s, uint8_t* d, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    uint32_t w = Load16(s + 2 * i);
    Store16(d + 2 * i, ((w >> 1) & 0x7C00) | ((w >> 1) & 0x03E0) | (w & 0x1F));
  }
}

// 15 or 16 bits to 24 (stride 3) or 32 (stride 4).
void ConvWordTo24_(const uint8_t* s, uint8_t* d, int64_t count, bool from15, int stride) {
  for (int64_t i = 0; i < count; ++i, d += stride) {
    uint32_t w = Load16(s + 2 * i);
    if (from15) {
      d[0] = uint8_t((w & 0x1F) << 3);
      d[1] = uint8_t(((w >> 5) & 0x1F) << 3);
      d[2] = uint8_t(((w >> 10) & 0x1F) << 3);
    } else {
      d[0] = uint8_t((w & 0x1F) << 3);
      d[1] = uint8_t(((w >> 5) & 0x3F) << 2);
      d[2] = uint8_t(((w >> 11) & 0x1F) << 3);
    }
    if (stride == 4) d[3] = 0;
  }
}

void Conv24ToWord_(const uint8_t* s, uint8_t* d, int64_t count, int stride, bool to15) {
  for (int64_t i = 0; i < count; ++i, s += stride)
    Store16(d + 2 * i, to15 ? Pack15(s[2], s[1], s[0]) : Pack16(s[2], s[1], s[0]));
}

// 24 bits (stride 3) or 32 bits (stride 4) to 32 with the fourth byte 0.
void Conv24To32_(const uint8_t* s, uint8_t* d, int64_t count, int stride) {
  for (int64_t i = 0; i < count; ++i, s += stride, d += 4) {
    d[0] = s[0];
    d[1] = s[1];
    d[2] = s[2];
    d[3] = 0;
  }
}

void Conv32To24_(const uint8_t* s, uint8_t* d, int64_t count) {
  for (int64_t i = 0; i < count; ++i, s += 4, d += 3) {
    d[0] = s[0];
    d[1] = s[1];
    d[2] = s[2];
  }
}

// Grey levels without the palette optimiser: (B + G + R) div 3 of the
// channels widened to 8 bits.
void ConvToGrey_(const Qimg* src, Qimg* dst, int64_t count) {
  const uint8_t* s = ImgPixels(src);
  uint8_t* d = ImgPixels(dst);
  for (int64_t i = 0; i < count; ++i) {
    uint32_t b, g, r;
    switch (src->bpp) {
      case 15: {
        uint32_t w = Load16(s + 2 * i);
        b = ((w & 0x1F) << 3) | 7;
        g = (((w >> 5) & 0x1F) << 3) | 14;
        r = (((w >> 10) & 0x1F) << 3) | 7;
        break;
      }
      case 16: {
        uint32_t w = Load16(s + 2 * i);
        b = ((w & 0x1F) << 3) | 7;
        g = (((w >> 5) & 0x3F) << 2) | 6;
        r = (((w >> 11) & 0x1F) << 3) | 7;
        break;
      }
      case 8: {
        const uint8_t* e = src->pal[s[i]];
        b = e[0], g = e[1], r = e[2];
        break;
      }
      default: {
        const uint8_t* p = s + i * src->bytesPP;
        b = p[0], g = p[1], r = p[2];
        break;
      }
    }
    d[i] = uint8_t((b + g + r) / 3);
  }
  GreyPalette_(&dst->pal[0][0]);
}

// Reduces to 8 bits: modes 0-2 through the palette optimiser, 3 grey.
void ConvTo8_(Qimg* src, Qimg* dst, int64_t count, int32_t mode) {
  if (mode == 3) {
    ConvToGrey_(src, dst, count);
    return;
  }
  static const int32_t remapMode[3] = {0, 2, 1};  // plain, heavy, lite
  ConvTo8bit(src, dst, remapMode[(mode >= 0 && mode <= 2) ? mode : 0]);
}

}  // namespace

void ImgConvBppEx(Qimg* src, Qimg* dst, int32_t bpp, int32_t mode) {
  Routine("ImgBasic.ImgConvBppEx", [&] {
    CheckPtr(src);
    CheckPtr(dst);
    Qimg temp{};
    Qimg* target = dst;
    if (src == dst) {
      if (src->bpp == bpp) return;
      target = &temp;
    } else if (src->bpp == bpp) {
      ImgCopy(src, dst);
      return;
    }
    // Refuse what cannot be converted before the target is touched: a frame
    // that fails later would release the target's new buffer under it.
    if (!ImgKnownDepth(src->bpp) || !ImgKnownDepth(bpp)) {
      ErrRaise(ERR_IMG, 2, 2122);
      return;
    }
    const int64_t count = int64_t(src->resX) * src->resY;
    if (count > 0) CheckPtr(src->pixPtr);
    if (bpp == 8) {
      // The optimiser (or the grey ramp) allocates the target itself.
      if (mode != 3) {
        ConvTo8_(src, target, count, mode);
      } else {
        _imgalloc_(target, src->resX, src->resY, 8, 2120,
                   src == dst ? "ImgBasic.ImgConvBppEx.ih_temp" : "ImgBasic.ImgConvBppEx.dest");
        ConvTo8_(src, target, count, mode);
      }
    } else {
      _imgalloc_(target, src->resX, src->resY, bpp, 2121,
                 src == dst ? "ImgBasic.ImgConvBppEx.ih_temp" : "ImgBasic.ImgConvBppEx.dest");
      ImgSetGeometry(target, src->resX, src->resY, bpp);
      const uint8_t* s = ImgPixels(src);
      uint8_t* d = ImgPixels(target);
      const int32_t from = src->bpp;
      if (bpp == 24 || bpp == 32)
        PixelsToBGR_(src, s, d, count, bpp == 24 ? 3 : 4);
      else if (from == 8)
        Conv8To16_(src, d, count, bpp == 15);
      else if (from == 15)
        Conv15To16_(s, d, count);
      else if (from == 16)
        Conv16To15_(s, d, count);
      else
        Conv24ToWord_(s, d, count, from == 24 ? 3 : 4, bpp == 15);
    }
    if (src == dst) {
      ImgXchg(src, &temp);
      ImgFree(&temp);
    }
    ErrRaise(ERR_IMG, 0, 2123);
  });
}

void ImgConvBpp(Qimg* src, Qimg* dst, int32_t bpp) {
  PathScope path("ImgBasic.ImgConvBpp");
  ImgConvBppEx(src, dst, bpp, 0);
}

bool PixelsToBGR_(const Qimg* img, const uint8_t* s, uint8_t* d, int64_t count, int32_t stride) {
  if (count <= 0) return true;
  CheckPtr(s);
  switch (img->bpp) {
    case 8:
      Conv8To24_(img->pal, s, d, count, stride);
      return true;
    case 15:
    case 16:
      ConvWordTo24_(s, d, count, img->bpp == 15, stride);
      return true;
    case 24:
      if (stride == 3)
        std::memcpy(d, s, static_cast<size_t>(count * 3));
      else
        Conv24To32_(s, d, count, 3);
      return true;
    case 32:
      if (stride == 3)
        Conv32To24_(s, d, count);
      else
        Conv24To32_(s, d, count, 4);
      return true;
    default:
      return false;
  }
}

void CopyTriples_(bool swap, int32_t stride, int32_t count, uint8_t* dest, const uint8_t* source) {
  for (int32_t i = 0; i < count; ++i, dest += 3, source += stride) {
    uint8_t b, g, r;
    if (stride < 3) {
      uint32_t w = Load16(source);
      b = uint8_t((w & 0x1F) << 3);
      g = uint8_t(((w >> 5) & 0x1F) << 3);
      r = uint8_t(((w >> 10) & 0x1F) << 3);
    } else {
      b = source[0], g = source[1], r = source[2];
    }
    dest[0] = swap ? r : b;
    dest[1] = g;
    dest[2] = swap ? b : r;
  }
}

void GreyPalette_(uint8_t* palette) {
  for (int i = 0; i < 256; ++i) palette[3 * i] = palette[3 * i + 1] = palette[3 * i + 2] = uint8_t(i);
}

void GreyPaletteInv_(uint8_t* palette) {
  for (int i = 0; i < 255; ++i)
    palette[3 * i] = palette[3 * i + 1] = palette[3 * i + 2] = uint8_t(255 - i);
}

void SwapRB_(int32_t count, uint8_t* triples) {
  for (int32_t i = 0; i < count; ++i, triples += 3) std::swap(triples[0], triples[2]);
}

void CopySwapRB_(int32_t count, uint8_t* dest, const uint8_t* source) {
  for (int32_t i = 0; i < count; ++i, dest += 3, source += 3) {
    dest[0] = source[2];
    dest[1] = source[1];
    dest[2] = source[0];
  }
}

}  // namespace zelo
