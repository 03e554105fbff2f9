#include "platform/dib.h"

#include <algorithm>
#include <cstring>

#include "foundation/basic.h"

namespace zelo::vfw {

bool IsUncompressedDib(const BITMAPINFOHEADER& h) {
  return h.biCompression == BI_RGB || h.biCompression == BI_BITFIELDS ||
         (h.biCompression != BI_RLE8 && h.biCompression != BI_RLE4 &&
          IsUncompressedFourCC(h.biCompression));
}

AVPixelFormat DibFormat::PixFmt() const {
  switch (bits) {
    case 8:
      return AV_PIX_FMT_PAL8;
    case 16:
      if (compression != BI_BITFIELDS || (masks[0] == 0x7C00 && masks[1] == 0x03E0 && masks[2] == 0x1F))
        return AV_PIX_FMT_RGB555LE;
      if (masks[0] == 0xF800 && masks[1] == 0x07E0 && masks[2] == 0x1F) return AV_PIX_FMT_RGB565LE;
      return AV_PIX_FMT_NONE;
    case 24:
      return AV_PIX_FMT_BGR24;
    case 32:
      if (compression != BI_BITFIELDS ||
          (masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF))
        return AV_PIX_FMT_BGR0;
      return AV_PIX_FMT_NONE;
    default:
      return AV_PIX_FMT_NONE;
  }
}

bool ParseDibFormat(const uint8_t* format, size_t size, DibFormat& out) {
  out = DibFormat{};
  if (format == nullptr || size < size_t(kInfoHeaderSize)) return false;
  BITMAPINFOHEADER h = GetInfoHeader(format);
  int64_t w = h.biWidth, hgt = h.biHeight;
  if (hgt < 0) {
    out.topDown = true;
    hgt = -hgt;
  }
  if (w < 1 || w > kMaxDibSide || hgt < 1 || hgt > kMaxDibSide) return false;
  out.width = int32_t(w);
  out.height = int32_t(hgt);
  out.bits = h.biBitCount;
  out.compression = IsUncompressedDib(h) && h.biCompression != BI_BITFIELDS ? BI_RGB : h.biCompression;
  // The header may be longer than 40 bytes (V4/V5 headers); what follows it
  // is the colour table or the masks.
  size_t headerSize = std::clamp<size_t>(h.biSize, size_t(kInfoHeaderSize), size);
  if (out.compression == BI_BITFIELDS) {
    if (size < size_t(kInfoHeaderSize) + 12) return false;
    for (int i = 0; i < 3; ++i) out.masks[i] = GetLE32(format + kInfoHeaderSize + 4 * i);
  }
  if (out.bits >= 1 && out.bits <= 8) {
    int wanted = h.biClrUsed > 0 ? int(std::min<uint32_t>(h.biClrUsed, 256)) : (1 << out.bits);
    int present = int(std::min<size_t>(size_t(wanted), (size - headerSize) / 4));
    out.colors = present;
    std::memcpy(out.palette, format + headerSize, size_t(present) * 4);
    for (int i = 0; i < 256; ++i) out.palette[4 * i + 3] = 0;
  }
  bool uncompressed = out.compression == BI_RGB || out.compression == BI_BITFIELDS;
  if (uncompressed) {
    switch (out.bits) {
      case 1: case 4: case 8: case 16: case 24: case 32: break;
      default: return false;
    }
  } else if (out.bits > 64) {
    return false;
  }
  out.rowBytes = DibRowBytes(out.width, std::max(out.bits, 1));
  out.imageBytes = out.rowBytes * out.height;
  return out.imageBytes <= kMaxDibBytes;
}

uint8_t* MakePackedDib(std::vector<uint8_t>& dib, int32_t width, int32_t height, int bits,
                       const uint8_t* palette) {
  int64_t row = DibRowBytes(width, bits);
  size_t table = bits == 8 ? 1024 : 0;
  dib.assign(size_t(kInfoHeaderSize) + table + size_t(row * height), 0);
  BITMAPINFOHEADER h{};
  h.biSize = kInfoHeaderSize;
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = uint16_t(bits);
  h.biCompression = BI_RGB;
  h.biSizeImage = uint32_t(row * height);
  h.biClrUsed = bits == 8 ? 256 : 0;
  PutInfoHeader(dib.data(), h);
  if (table && palette) std::memcpy(dib.data() + kInfoHeaderSize, palette, table);
  return dib.data() + kInfoHeaderSize + table;
}

void DibToPlanes(uint8_t* rows, int64_t rowBytes, int32_t height, bool topDown,
                 const uint8_t* dibPalette, int colors, DibPlanes& out) {
  out = DibPlanes{};
  if (topDown) {
    out.data[0] = rows;
    out.linesize[0] = int(rowBytes);
  } else {
    out.data[0] = rows + rowBytes * (height - 1);
    out.linesize[0] = -int(rowBytes);
  }
  if (dibPalette != nullptr) {
    for (int i = 0; i < colors && i < 256; ++i) {
      const uint8_t* c = dibPalette + 4 * i;
      out.pal[i] = 0xFF000000u | (uint32_t(c[2]) << 16) | (uint32_t(c[1]) << 8) | c[0];
    }
    out.data[1] = reinterpret_cast<uint8_t*>(out.pal);
    out.linesize[1] = 0;
  }
}

}  // namespace zelo::vfw
