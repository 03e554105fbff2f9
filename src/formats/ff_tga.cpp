// Truevision Targa: colour-mapped and true-colour pictures, raw or
// run-length encoded.
#include <algorithm>
#include <cstring>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "formats/ffbasic.h"
#include "formats/imgfile.h"
#include "image/imgbasic.h"

namespace zelo {
namespace {

constexpr int32_t kLoc = 41100;  // raise sites of this file: kLoc + n
constexpr int32_t kHeaderSize = 18;
constexpr const char* kRLE = "Run Length Encoding (RLE)";

bool g_compression = true;

}  // namespace

void TGASetCompression(bool on) { g_compression = on; }
bool TGACompression() { return g_compression; }

void TGAOpen_(QImgFile* f, const std::string& name) {
  Routine("ConForm.TGAOpen_", [&] {
    ImgFileReset_(f);
    ImgFileOpen_(f, name);
    uint8_t h[kHeaderSize];
    ImgFileReadAt_(f, 0, h, kHeaderSize);
    const int32_t type = h[2];
    if (type != 1 && type != 2 && type != 9 && type != 10) return ErrRaise(ERR_IMG, 2, kLoc + 1);
    const int32_t depth = h[16];
    const int32_t bits = depth == 16 ? 15 : depth;
    ImgFileSetGeometry_(f, GetLE16(h + 12), GetLE16(h + 14), bits);
    f->compressed = ToBool(type >= 9);
    f->bottomUp = ToBool((h[17] & 0x20) == 0);
    // Without a colour map (type 0) the entry fields mean nothing, and the
    // bytes after the ID field are pixels.
    const bool hasMap = h[1] != 0;
    f->palEntrySize = hasMap ? (h[7] + 7) / 8 : 0;
    f->palFirst = GetLE16(h + 3);
    f->palSize = GetLE16(h + 5) * f->palEntrySize;
    f->palOffset = kHeaderSize + h[0];
    f->dataOffset = f->palOffset + f->palSize;
    // Colour-mapped pictures need 8-bit indices and a table of 5-5-5 words
    // or blue-green-red entries; true-colour pictures one of the image depths.
    const bool mapped = type == 1 || type == 9;
    const bool entryOk = f->palEntrySize >= 2 && f->palEntrySize <= 4;
    f->supported = ToBool(mapped ? bits == 8 && entryOk : (bits == 15 || bits == 24 || bits == 32));
    ErrRaise(ERR_IMG, 0, kLoc + 2);
  });
}

void TGAInfo(const std::string& name, QffInfo* info) {
  Routine("ConForm.TGAInfo", [&] {
    QImgFile f;
    TGAOpen_(&f, name);
    FClose(f.file);
    ImgFileInfo_(&f, info, f.bpp >= 1 && f.bpp <= 32, f.compressed ? kRLE : "");
    ErrRaise(ERR_IMG, 0, kLoc + 3);
  });
}

void TGALoad_(const std::string& name, Qimg* img) {
  Routine("ConForm.TGALoad_", [&] {
    CheckPtr(img);
    QImgFile f;
    TGAOpen_(&f, name);
    if (!f.supported) return ErrRaise(ERR_IMG, 1, kLoc + 10);
    ImgFileCheckGeometry_(&f, kLoc + 11);
    if (f.dataOffset > f.fileSize) return ErrRaise(ERR_IMG, 4, kLoc + 12);
    if (f.compressed) {
      // A packet of at least 1 + p bytes gives at most 128 pixels: refuse
      // pictures the file could never fill before allocating them.
      const int64_t packets = (f.fileSize - f.dataOffset) / (1 + f.bytesPP);
      if (int64_t(f.width) * f.height > packets * 128) return ErrRaise(ERR_IMG, 4, kLoc + 13);
    } else {
      ImgFileCheckRows_(&f, 0, kLoc + 14);
    }
    ImgFileAlloc_(&f, img, kLoc + 15, "ConForm.TGALoad_.ih");
    if (f.palEntrySize != 0 && f.palFirst < 256) {
      const int32_t count = std::min(f.palSize / f.palEntrySize, 256 - f.palFirst);
      uint8_t table[256 * 4];
      ImgFileReadAt_(&f, f.palOffset, table, int64_t(count) * f.palEntrySize);
      ImportPalette_(img, f.palFirst, table, count, f.palEntrySize, false);
    }
    if (f.compressed) {
      GetCmpsData_(&f);
      TGADecode_(f.CmpsData, f.cmpsSize, ImgPixels(img), f.imageBytes, f.bytesPP);
      MemFree(&f.CmpsData);
      if (f.bottomUp) ImgFlipV(img, img);
    } else {
      Dsk2Mem_(&f, ImgPixels(img), 0);
    }
    FClose(f.file);
    ErrRaise(ERR_IMG, 0, kLoc + 16);
  });
}

void TGASave_(const std::string& name, Qimg* img) {
  Routine("ConForm.TGASave_", [&] {
    CheckPtr(img);
    Qimg converted{};
    Qimg* src = ImgFileStoreDepth_(FF_TGA, img, &converted) ? &converted : img;
    // Width and height are 16-bit fields.
    if (src->resX < 1 || src->resY < 1 || src->resX > 0xFFFF || src->resY > 0xFFFF)
      return ErrRaise(ERR_IMG, 1, kLoc + 20);
    const bool indexed = src->bpp == 8;
    const bool compress = g_compression;
    uint8_t h[kHeaderSize] = {};
    h[1] = indexed ? 1 : 0;
    h[2] = uint8_t((indexed ? 1 : 2) + (compress ? 8 : 0));
    if (indexed) {
      PutLE16(h + 5, 256);
      h[7] = 24;
    }
    PutLE16(h + 12, uint32_t(src->resX));
    PutLE16(h + 14, uint32_t(src->resY));
    h[16] = uint8_t(src->bytesPP * 8);
    FDelete(name);
    QImgFile f;
    ImgFileReset_(&f);
    FOpen(f.file, name, FM_WRITE | FM_CREATE);
    FWrite(f.file, h, kHeaderSize);
    if (indexed) FWrite(f.file, src->pal, sizeof src->pal);
    if (compress) {
      const int32_t p = src->bytesPP;
      const int64_t rowBytes = int64_t(src->resX) * p;
      _memalloc_(&f.CmpsData, int32_t(2 * rowBytes), kLoc + 21, MEM_BLOCK, "ConForm.TGASave_.imgf.CmpsData");
      for (int32_t row = src->resY - 1; row >= 0; --row) {
        const int64_t n = TGAEncodeRow_(ImgPixels(src) + row * rowBytes, src->resX, p, f.CmpsData, 2 * rowBytes);
        if (n < 0) return ErrRaise(ERR_IMG, 5, kLoc + 22);
        FWrite(f.file, f.CmpsData, n);
      }
      MemFree(&f.CmpsData);
    } else {
      Mem2Dsk_(&f, src, 0);
    }
    FClose(f.file);
    if (src == &converted) ImgFree(&converted);
    ErrRaise(ERR_IMG, 0, kLoc + 23);
  });
}

int64_t TGADecode_(const uint8_t* src, int64_t srcSize, uint8_t* dest, int64_t destSize, int32_t p) {
  if (p < 1 || p > 4) return 0;
  int64_t in = 0, out = 0;
  while (in < srcSize && out + p <= destSize) {
    const int32_t h = src[in++];
    if (h >= 128) {
      if (srcSize - in < p) break;
      const uint8_t* value = src + in;
      in += p;
      for (int32_t n = h - 127; n > 0 && out + p <= destSize; --n, out += p) std::memcpy(dest + out, value, size_t(p));
    } else {
      for (int32_t n = h + 1; n > 0 && out + p <= destSize; --n, in += p, out += p) {
        if (srcSize - in < p) return out;
        std::memcpy(dest + out, src + in, size_t(p));
      }
    }
  }
  return out;
}

int64_t TGAEncodeRow_(const uint8_t* row, int32_t pixels, int32_t p, uint8_t* dest, int64_t destSize) {
  if (p < 1 || p > 4 || pixels < 1) return -1;
  int64_t out = 0;
  bool fits = true;
  auto put = [&](const uint8_t* bytes, int64_t n) {
    if (!fits || out + n > destSize) {
      fits = false;
      return;
    }
    std::memcpy(dest + out, bytes, size_t(n));
    out += n;
  };
  auto putRun = [&](int32_t r, const uint8_t* pixel) {
    const uint8_t h = uint8_t(0x80 + r);
    put(&h, 1);
    put(pixel, p);
  };
  int32_t r = 0, l = 0;
  int64_t header = 0;
  // Appends the current pixel to the open literal packet (opening one when none is).
  auto putLiteral = [&](const uint8_t* pixel) {
    if (l == 0) {
      header = out;
      const uint8_t zero = 0;
      put(&zero, 1);
    }
    if (fits) dest[header] = uint8_t(l);
    put(pixel, p);
    if (++l == 128) l = 0;
  };
  const uint8_t* cur = row;
  for (int32_t i = 1; i < pixels; ++i) {
    const uint8_t* next = row + int64_t(i) * p;
    if (std::memcmp(next, cur, size_t(p)) == 0) {
      l = 0;
      if (r < 127) {
        ++r;
        continue;
      }
      putRun(r, cur);
      r = 0;
    } else if (r > 0) {
      putRun(r, cur);
      r = 0;
    } else {
      putLiteral(cur);
    }
    cur = next;
  }
  if (r > 0)
    putRun(r, cur);
  else
    putLiteral(cur);
  return fits ? out : -1;
}

}  // namespace zelo
