// ZSoft PCX: 8-bit pictures with a 256-colour table at the end of the file
// and 24-bit pictures as three colour planes per scan line, run-length encoded.
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

constexpr int32_t kLoc = 41200;  // raise sites of this file: kLoc + n
constexpr int32_t kHeaderSize = 128;
constexpr int64_t kPaletteTail = 769;  // the marker byte 12 and 256 red-green-blue entries

// One decoded scan line (planes of lineBytes bytes each, red first) into a
// row of blue-green-red pixels.
void PCX24Fix_(const uint8_t* line, int32_t lineBytes, int32_t width, uint8_t* row) {
  const uint8_t* red = line;
  const uint8_t* green = line + lineBytes;
  const uint8_t* blue = line + 2 * int64_t(lineBytes);
  for (int32_t x = 0; x < width; ++x, row += 3) {
    row[0] = blue[x];
    row[1] = green[x];
    row[2] = red[x];
  }
}

}  // namespace

void PCXOpen_(QImgFile* f, const std::string& name) {
  Routine("ConForm.PCXOpen_", [&] {
    ImgFileReset_(f);
    ImgFileOpen_(f, name);
    uint8_t h[kHeaderSize];
    ImgFileReadAt_(f, 0, h, kHeaderSize);
    if (h[0] != 10) return ErrRaise(ERR_IMG, 2, kLoc + 1);
    const int32_t encoding = h[2], bitsPerPlane = h[3];
    f->planes = h[65];
    f->lineBytes = GetLE16(h + 66);
    // One plane of indices or three of red, green and blue.
    f->supported = ToBool(bitsPerPlane == 8 && (f->planes == 1 || f->planes == 3) && encoding == 1);
    ImgFileSetGeometry_(f, int64_t(GetLE16(h + 8)) - GetLE16(h + 4) + 1, int64_t(GetLE16(h + 10)) - GetLE16(h + 6) + 1,
                        f->planes * 8);
    f->compressed = kTrue;
    f->palSize = 768;
    f->dataOffset = kHeaderSize;
    ErrRaise(ERR_IMG, 0, kLoc + 2);
  });
}

void PCXInfo(const std::string& name, QffInfo* info) {
  Routine("ConForm.PCXInfo", [&] {
    QImgFile f;
    PCXOpen_(&f, name);
    FClose(f.file);
    ImgFileInfo_(&f, info, f.width > 0 && f.height > 0, "Run Length Encoding (RLE)");
    ErrRaise(ERR_IMG, 0, kLoc + 3);
  });
}

void PCXLoad_(const std::string& name, Qimg* img) {
  Routine("ConForm.PCXLoad_", [&] {
    CheckPtr(img);
    QImgFile f;
    PCXOpen_(&f, name);
    if (!f.supported) return ErrRaise(ERR_IMG, 1, kLoc + 10);
    ImgFileCheckGeometry_(&f, kLoc + 11);
    // Each plane of a scan line holds bytes-per-line bytes, at least the width.
    if (f.lineBytes < f.width) return ErrRaise(ERR_IMG, 4, kLoc + 12);
    const int64_t tail = f.bpp == 8 ? kPaletteTail : 0;
    const int64_t available = f.fileSize - f.dataOffset - tail;
    // Two bytes give at most a run of 63: refuse pictures the file could never fill.
    const int64_t scanLine = int64_t(f.planes) * f.lineBytes;
    if (available <= 0 || scanLine * f.height > available / 2 * 63 + available % 2)
      return ErrRaise(ERR_IMG, 4, kLoc + 13);
    ImgFileAlloc_(&f, img, kLoc + 14, "ConForm.PCXLoad_.ih");
    if (f.bpp == 8) {
      uint8_t table[768];
      ImgFileReadAt_(&f, f.fileSize - 768, table, 768);
      ImportPalette_(img, 0, table, 256, 3, true);
    }
    GetCmpsData_(&f, tail);
    uint8_t* line = nullptr;
    _memalloc_(&line, int32_t(scanLine), kLoc + 15, MEM_BLOCK, "ConForm.PCXLoad_.lintmp");
    QPcxDecoder d{f.CmpsData, f.cmpsSize, 0, 0, 0};
    for (int32_t y = 0; y < f.height; ++y) {
      const int64_t got = PCXDecode_(&d, line, scanLine);
      if (got == 0) break;
      // A scan line the data ends in keeps what was decoded.
      if (got < scanLine) FillBytes(0, scanLine - got, line + got);
      uint8_t* row = ImgPixels(img) + y * f.rowBytes;
      if (f.planes == 3)
        PCX24Fix_(line, f.lineBytes, f.width, row);
      else
        std::memcpy(row, line, size_t(f.width));
      if (got < scanLine) break;
    }
    MemFree(&line);
    MemFree(&f.CmpsData);
    FClose(f.file);
    ErrRaise(ERR_IMG, 0, kLoc + 16);
  });
}

void PCXSave_(const std::string& name, Qimg* img) {
  Routine("ConForm.PCXSave_", [&] {
    CheckPtr(img);
    Qimg converted{};
    Qimg* src = ImgFileStoreDepth_(FF_PCX, img, &converted) ? &converted : img;
    const int32_t w = src->resX, height = src->resY, planes = src->bytesPP;
    // The last column, the last row and the even bytes per line are 16-bit fields.
    if (w < 1 || height < 1 || w > 0xFFFE || height > 0x10000 || (planes != 1 && planes != 3))
      return ErrRaise(ERR_IMG, 1, kLoc + 20);
    const int32_t lineBytes = (w + 1) & ~1;
    uint8_t h[kHeaderSize] = {};
    h[0] = 10;
    h[1] = 5;
    h[2] = 1;
    h[3] = 8;
    PutLE16(h + 8, uint32_t(w - 1));
    PutLE16(h + 10, uint32_t(height - 1));
    PutLE16(h + 12, uint32_t(w));
    PutLE16(h + 14, uint32_t(height));
    h[65] = uint8_t(planes);
    PutLE16(h + 66, uint32_t(lineBytes));
    FDelete(name);
    QImgFile f;
    ImgFileReset_(&f);
    FOpen(f.file, name, FM_WRITE | FM_CREATE);
    FWrite(f.file, h, kHeaderSize);
    const int64_t rowBytes = int64_t(w) * planes;
    uint8_t* tmplin = nullptr;
    if (planes == 3) _memalloc_(&tmplin, int32_t(rowBytes), kLoc + 21, MEM_BLOCK, "ConForm.PCXSave_.tmplin");
    _memalloc_(&f.CmpsData, int32_t(2 * rowBytes), kLoc + 22, MEM_BLOCK, "ConForm.PCXSave_.imgf.CmpsData");
    const uint8_t zero = 0;
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* row = ImgPixels(src) + y * rowBytes;
      if (planes == 3) {
        for (int32_t x = 0; x < w; ++x) {
          tmplin[x] = row[3 * x + 2];
          tmplin[w + x] = row[3 * x + 1];
          tmplin[2 * w + x] = row[3 * x];
        }
        row = tmplin;
      }
      // Planes of an even width follow each other and runs go on across them;
      // with an odd width every plane is padded to bytes-per-line with a zero.
      const int32_t pieces = (w & 1) ? planes : 1;
      const int64_t pieceBytes = rowBytes / pieces;
      for (int32_t i = 0; i < pieces; ++i) {
        const int64_t n = PCXEncode_(row + i * pieceBytes, pieceBytes, f.CmpsData, 2 * rowBytes);
        if (n < 0) return ErrRaise(ERR_IMG, 5, kLoc + 23);
        FWrite(f.file, f.CmpsData, n);
        if (w & 1) FWrite(f.file, &zero, 1);
      }
    }
    MemFree(&f.CmpsData);
    MemFree(&tmplin);
    if (planes == 1) {
      uint8_t table[1 + 768];
      table[0] = 12;
      CopySwapRB_(256, table + 1, src->pal[0]);
      FWrite(f.file, table, sizeof table);
    }
    FClose(f.file);
    if (src == &converted) ImgFree(&converted);
    ErrRaise(ERR_IMG, 0, kLoc + 24);
  });
}

int64_t PCXDecode_(QPcxDecoder* d, uint8_t* dest, int64_t count) {
  int64_t out = 0;
  while (out < count) {
    if (d->runLeft > 0) {
      const int64_t n = std::min<int64_t>(d->runLeft, count - out);
      std::memset(dest + out, d->runValue, size_t(n));
      d->runLeft -= int32_t(n);
      out += n;
      continue;
    }
    if (d->pos >= d->srcSize) break;
    const uint8_t b = d->src[d->pos++];
    if (b < 192) {
      dest[out++] = b;
    } else {
      if (d->pos >= d->srcSize) break;
      d->runValue = d->src[d->pos++];
      d->runLeft = b & 63;
    }
  }
  return out;
}

int64_t PCXEncode_(const uint8_t* src, int64_t count, uint8_t* dest, int64_t destSize) {
  int64_t out = 0;
  for (int64_t i = 0; i < count;) {
    const uint8_t v = src[i];
    int64_t n = 1;
    while (i + n < count && n < 63 && src[i + n] == v) ++n;
    const bool pair = n >= 2 || v >= 192;
    if (out + (pair ? 2 : 1) > destSize) return -1;
    if (pair) dest[out++] = uint8_t(192 + n);
    dest[out++] = v;
    i += n;
  }
  return out;
}

}  // namespace zelo
