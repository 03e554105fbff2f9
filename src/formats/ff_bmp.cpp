// Windows bitmaps: 8-bit (raw or run-length encoded), 16-bit, 24-bit and
// 32-bit pictures, rows stored bottom row first and padded to 4 bytes.
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

constexpr int32_t kLoc = 41300;  // raise sites of this file: kLoc + n
constexpr int32_t kFileHeader = 14;
constexpr int32_t kInfoHeader = 40;

enum : uint32_t { BI_RGB = 0, BI_RLE8 = 1, BI_BITFIELDS = 3 };

inline int32_t RowGap(int64_t rowBytes) { return int32_t((4 - rowBytes % 4) % 4); }

// The depth of a bit-field bitmap whose masks the image model holds as
// they are (5-5-5 and 5-6-5 words, blue-green-red-unused double words); 0
// for any other masks.
int32_t BitFieldDepth(int32_t bitCount, const uint8_t* masks) {
  const uint32_t r = GetLE32(masks), g = GetLE32(masks + 4), b = GetLE32(masks + 8);
  if (bitCount == 16 && r == 0x7C00 && g == 0x03E0 && b == 0x001F) return 15;
  if (bitCount == 16 && r == 0xF800 && g == 0x07E0 && b == 0x001F) return 16;
  if (bitCount == 32 && r == 0xFF0000 && g == 0xFF00 && b == 0xFF) return 32;
  return 0;
}

}  // namespace

void DIBOpen_(QImgFile* f, const std::string& name) {
  Routine("ConForm.DIBOpen_", [&] {
    ImgFileReset_(f);
    ImgFileOpen_(f, name);
    uint8_t h[kFileHeader + kInfoHeader + 12] = {};
    ImgFileReadAt_(f, 0, h, kFileHeader + 4);
    if (h[0] != 'B' || h[1] != 'M') return ErrRaise(ERR_IMG, 2, kLoc + 1);
    const uint32_t headerSize = GetLE32(h + 14);
    int64_t width, height;
    int32_t bitCount, bits;
    uint32_t compression = BI_RGB;
    if (headerSize == 12) {
      ImgFileReadAt_(f, kFileHeader + 4, h + 18, 8);
      f->coreHeader = kTrue;
      width = GetLE16(h + 18);
      height = GetLE16(h + 20);
      bitCount = GetLE16(h + 24);
    } else {
      ImgFileReadAt_(f, kFileHeader + 4, h + 18, kInfoHeader - 4);
      width = int32_t(GetLE32(h + 18));
      height = int32_t(GetLE32(h + 22));
      bitCount = GetLE16(h + 28);
      compression = GetLE32(h + 30);
      f->compressed = ToBool(bitCount <= 8 && compression == BI_RLE8);
    }
    bits = bitCount == 16 ? 15 : bitCount;
    bool supported = bitCount == 8 || bitCount == 16 || bitCount == 24 || bitCount == 32;
    // Headers between the core and the 40-byte one lack the compression field.
    if (headerSize != 12 && headerSize < uint32_t(kInfoHeader)) supported = false;
    if (compression == BI_BITFIELDS && supported && bitCount >= 16) {
      // The masks follow a 40-byte header or are its continuation.
      ImgFileReadAt_(f, kFileHeader + kInfoHeader, h + kFileHeader + kInfoHeader, 12);
      bits = BitFieldDepth(bitCount, h + kFileHeader + kInfoHeader);
      supported = bits != 0;
    } else if (compression != BI_RGB && !f->compressed) {
      supported = false;  // 4-bit run-length data, JPEG or PNG contents and the like
    }
    // A negative height marks top-down rows, which these files never take.
    if (height < 0) {
      height = -height;
      supported = false;
    }
    f->supported = ToBool(supported);
    f->bottomUp = kTrue;
    ImgFileSetGeometry_(f, width, height, bits);
    f->palOffset = kFileHeader + int64_t(headerSize);
    const int64_t dataField = GetLE32(h + 10);
    const int64_t limit = f->coreHeader ? 768 : 1024;
    f->palSize = int32_t(std::clamp<int64_t>(dataField - headerSize - kFileHeader, 0, limit));
    f->dataOffset = dataField;
    ErrRaise(ERR_IMG, 0, kLoc + 2);
  });
}

void DIBInfo(const std::string& name, QffInfo* info) {
  Routine("ConForm.DIBInfo", [&] {
    QImgFile f;
    DIBOpen_(&f, name);
    FClose(f.file);
    ImgFileInfo_(&f, info, f.width > 0 && f.height > 0, f.compressed ? "Run Length Encoding (RLE)" : "");
    ErrRaise(ERR_IMG, 0, kLoc + 3);
  });
}

void DIBLoad_(const std::string& name, Qimg* img) {
  Routine("ConForm.DIBLoad_", [&] {
    CheckPtr(img);
    QImgFile f;
    DIBOpen_(&f, name);
    if (!f.supported) return ErrRaise(ERR_IMG, 1, kLoc + 10);
    ImgFileCheckGeometry_(&f, kLoc + 11);
    // Pixel data starts after the headers and inside the file.
    if (f.dataOffset < f.palOffset || f.dataOffset > f.fileSize) return ErrRaise(ERR_IMG, 4, kLoc + 12);
    const int32_t gap = RowGap(f.rowBytes);
    if (!f.compressed) ImgFileCheckRows_(&f, gap, kLoc + 13);
    ImgFileAlloc_(&f, img, kLoc + 14, "ConForm.DIBLoad_.ih");
    if (f.bpp == 8 && f.palSize > 0) {
      uint8_t table[1024];
      const int32_t entry = f.coreHeader ? 3 : 4;
      ImgFileReadAt_(&f, f.palOffset, table, f.palSize);
      ImportPalette_(img, 0, table, f.palSize / entry, entry, false);
    }
    if (f.compressed) {
      GetCmpsData_(&f);
      DIBDecodeRLE8_(f.CmpsData, f.cmpsSize, ImgPixels(img), f.imageBytes, f.width);
      MemFree(&f.CmpsData);
      ImgFlipV(img, img);
    } else {
      Dsk2Mem_(&f, ImgPixels(img), gap);
    }
    FClose(f.file);
    ErrRaise(ERR_IMG, 0, kLoc + 15);
  });
}

void DIBSave_(const std::string& name, Qimg* img) {
  Routine("ConForm.DIBSave_", [&] {
    CheckPtr(img);
    Qimg converted{};
    Qimg* src = ImgFileStoreDepth_(FF_BMP, img, &converted) ? &converted : img;
    const int64_t rowBytes = int64_t(src->resX) * src->bytesPP;
    const int32_t gap = RowGap(rowBytes);
    const int64_t palSize = src->bpp == 8 ? 1024 : 0;
    const int64_t imageSize = (rowBytes + gap) * src->resY;
    const int64_t fileSize = kFileHeader + kInfoHeader + palSize + imageSize;
    if (src->resX < 1 || src->resY < 1 || fileSize > UINT32_MAX) return ErrRaise(ERR_IMG, 1, kLoc + 20);
    uint8_t h[kFileHeader + kInfoHeader] = {'B', 'M'};
    PutLE32(h + 2, uint32_t(fileSize));
    PutLE32(h + 10, uint32_t(kFileHeader + kInfoHeader + palSize));
    PutLE32(h + 14, kInfoHeader);
    PutLE32(h + 18, uint32_t(src->resX));
    PutLE32(h + 22, uint32_t(src->resY));
    PutLE16(h + 26, 1);
    PutLE16(h + 28, uint32_t(src->bytesPP * 8));
    PutLE32(h + 34, uint32_t(imageSize));
    PutLE32(h + 46, uint32_t(palSize / 4));
    PutLE32(h + 50, uint32_t(palSize / 4));
    FDelete(name);
    QImgFile f;
    ImgFileReset_(&f);
    FOpen(f.file, name, FM_WRITE | FM_CREATE);
    FWrite(f.file, h, sizeof h);
    if (palSize > 0) {
      uint8_t table[1024];
      for (int i = 0; i < 256; ++i) {
        std::memcpy(table + 4 * i, src->pal[i], 3);
        table[4 * i + 3] = 0;
      }
      FWrite(f.file, table, sizeof table);
    }
    Mem2Dsk_(&f, src, gap);
    FClose(f.file);
    if (src == &converted) ImgFree(&converted);
    ErrRaise(ERR_IMG, 0, kLoc + 21);
  });
}

void DIBDecodeRLE8_(const uint8_t* src, int64_t srcSize, uint8_t* dest, int64_t destSize, int32_t width) {
  if (width < 1) return;
  const int64_t rows = destSize / width;
  int64_t in = 0, x = 0, y = 0;
  // Pixels of a row that fall beyond its width (encoders code the row's fill
  // bytes too) are dropped; each line goes on at the start of the next row.
  auto put = [&](const uint8_t* bytes, int64_t n, bool repeat) {
    if (x < width) {
      const int64_t k = std::min<int64_t>(n, width - x);
      uint8_t* d = dest + y * width + x;
      if (repeat)
        std::memset(d, *bytes, size_t(k));
      else
        std::memcpy(d, bytes, size_t(k));
    }
    x += n;
  };
  while (srcSize - in >= 2 && y < rows) {
    const uint8_t n = src[in], b = src[in + 1];
    in += 2;
    if (n > 0) {
      put(&b, n, true);
    } else if (b == 0) {  // end of line
      x = 0;
      ++y;
    } else if (b == 1) {  // end of bitmap
      return;
    } else if (b == 2) {  // move right and up
      if (srcSize - in < 2) return;
      x += src[in];
      y += src[in + 1];
      in += 2;
    } else {  // b bytes as they are, padded to a 16-bit boundary
      const int64_t take = std::min<int64_t>(b, srcSize - in);
      put(src + in, take, false);
      in += b + (b & 1);
      if (take < b) return;
    }
  }
}

}  // namespace zelo
