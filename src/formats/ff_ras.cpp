// Sun raster files: 1-, 8-, 24- and 32-bit pictures, raw or byte-encoded;
// written as 8 bits with a colour map or as 24 bits.
//
// Every stored row is padded to an even number of bytes, as the format
// defines it, and the header's length is that of the data as stored. Older files of this library were written without the pad
// byte; the reader tells the two apart by how much pixel data the file holds.
#include "formats/ff_ras.h"

#include <algorithm>
#include <cstring>

#include "formats/ffbasic.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"

namespace zelo {

bool RASRle = true;

namespace {

constexpr int32_t kLoc = 4400;  // raise sites of this unit: kLoc + n
constexpr int32_t kTypeEncoded = 2;
constexpr int32_t kTypeRGB = 3;
constexpr int32_t kMapRGB = 1;
const char* const kRleName = "Run Length Encoding (RLE)";

// Bytes of a row as the header describes it, without and with the pad byte.
int64_t RowBytes(int64_t width, int32_t depth) { return (width * depth + 7) / 8; }
int64_t PaddedRowBytes(int64_t width, int32_t depth) { return (width * depth + 15) / 16 * 2; }

int32_t LoadedBpp(int32_t depth) { return depth <= 8 ? 8 : 24; }

// One stored row into an image row (8 or 24 bits).
void StoredRowToImg_(const uint8_t* s, uint8_t* d, int32_t width, int32_t depth) {
  switch (depth) {
    case 1:
      for (int32_t x = 0; x < width; ++x) d[x] = (s[x >> 3] >> (7 - (x & 7))) & 1;
      break;
    case 8:
      std::memcpy(d, s, size_t(width));
      break;
    case 24:
      std::memcpy(d, s, size_t(width) * 3);
      break;
    default:  // 32: a fill byte, then blue, green, red
      for (int32_t x = 0; x < width; ++x, s += 4, d += 3) {
        d[0] = s[1];
        d[1] = s[2];
        d[2] = s[3];
      }
  }
}

}  // namespace

int64_t RASUnpack_(uint8_t* out, int64_t outSize, const uint8_t* in, int64_t count) {
  int64_t o = 0;
  int64_t i = 0;
  while (i < count && o < outSize) {
    const uint8_t c = in[i++];
    if (c != 0x80) {
      out[o++] = c;
      continue;
    }
    if (i >= count) break;
    const int32_t n = in[i++];
    if (n == 0) {
      out[o++] = 0x80;
      continue;
    }
    if (i >= count) break;
    const uint8_t v = in[i++];
    const int64_t k = std::min<int64_t>(n + 1, outSize - o);
    std::memset(out + o, v, size_t(k));
    o += k;
  }
  return o;
}

int32_t RASPack_(const uint8_t* row, int32_t count, uint8_t* out) {
  int32_t o = 0;
  int32_t r = 0;  // repeats of v seen after its first byte
  auto emit = [&](uint8_t v) {
    if (r > 0) {
      out[o++] = 0x80;
      out[o++] = uint8_t(r);
      out[o++] = v;
    } else {
      out[o++] = v;
      if (v == 0x80) out[o++] = 0;
    }
  };
  if (count <= 0) return 0;
  uint8_t v = row[0];
  for (int32_t i = 1; i < count; ++i) {
    const uint8_t b = row[i];
    if (b == v) {
      if (r == 255) {
        emit(v);
        r = 0;
      } else {
        ++r;
      }
    } else {
      emit(v);
      v = b;
      r = 0;
    }
  }
  emit(v);
  return o;
}

void RASOpen_(QRasFile* file, const std::string& name) {
  Routine("FF_RAS.RASOpen_", [&] {
    CheckPtr(file);
    *file = QRasFile{};
    file->handle = UNDEF;
    FOpen(file->handle, name, FM_READ);
    uint8_t h[kRasHeaderSize];
    FRead(file->handle, h, kRasHeaderSize);
    file->magic = GetBE32(h);
    if (file->magic != kRasMagic) return ErrRaise(ERR_IMG, 2, kLoc + 1);
    file->width = int32_t(GetBE32(h + 4));
    file->height = int32_t(GetBE32(h + 8));
    file->depth = int32_t(GetBE32(h + 12));
    file->length = int32_t(GetBE32(h + 16));
    file->type = int32_t(GetBE32(h + 20));
    file->mapType = int32_t(GetBE32(h + 24));
    file->mapLength = int32_t(GetBE32(h + 28));
    file->fileSize = FSize(file->handle);
    const int32_t d = file->depth;
    file->supported =
        ToBool(file->type >= 0 && file->type <= 5 && (d == 1 || d == 8 || d == 24 || d == 32));
  });
}

void RASLoad(const std::string& name, Qimg* img) {
  Routine("FF_RAS.RASLoad", [&] {
    CheckPtr(img);
    QRasFile f;
    RASOpen_(&f, name);
    if (!f.supported) return ErrRaise(ERR_IMG, 1, kLoc + 10);
    const int32_t w = f.width;
    const int32_t h = f.height;
    const int32_t depth = f.depth;
    const int32_t bpp = LoadedBpp(depth);
    const int64_t row = RowBytes(w, depth);
    const int64_t padded = PaddedRowBytes(w, depth);
    // Geometry and colour map first, then the pixel data against the file.
    if (!ImgGeometryValid(w, h, std::max(bpp, depth)) || padded * h > kMaxImageBytes)
      return ErrRaise(ERR_IMG, 4, kLoc + 11);
    if (f.mapLength < 0 || (f.mapType == kMapRGB && f.mapLength % 3 != 0))
      return ErrRaise(ERR_IMG, 4, kLoc + 12);
    const int64_t dataPos = int64_t(kRasHeaderSize) + f.mapLength;
    if (dataPos > f.fileSize) return ErrRaise(ERR_FILE, 3, kLoc + 13);
    const int64_t avail = f.fileSize - dataPos;
    const bool encoded = f.type == kTypeEncoded;
    // Raw rows: padded when the file holds the padded picture.
    const int64_t rawRow = avail >= padded * h ? padded : row;
    if (!encoded && avail < row * h) return ErrRaise(ERR_FILE, 3, kLoc + 14);
    // Three encoded bytes give at most 256 bytes.
    if (encoded && row * h > (avail + 2) / 3 * 256) return ErrRaise(ERR_FILE, 3, kLoc + 15);

    _imgalloc_(img, w, h, bpp, kLoc + 16, "FF_RAS.RASLoad.img");
    ImgSetGeometry(img, w, h, bpp);
    // Colours past a short map (and any index of a 1-bit picture without
    // one beyond black and white) are black.
    std::memset(img->pal, 0, sizeof img->pal);
    if (f.mapType == kMapRGB && f.mapLength > 0) {
      uint8_t* map = nullptr;
      _memalloc_(&map, f.mapLength, kLoc + 17, MEM_BLOCK, "FF_RAS.RASLoad.colormap");
      FRead(f.handle, map, f.mapLength);
      const int32_t n = f.mapLength / 3;
      for (int32_t i = 0; i < std::min(n, 256); ++i) {
        img->pal[i][0] = map[2 * n + i];
        img->pal[i][1] = map[n + i];
        img->pal[i][2] = map[i];
      }
      MemFree(&map);
    } else if (depth == 8) {
      GreyPalette_(&img->pal[0][0]);
    } else if (depth == 1) {
      std::memset(img->pal[0], 255, 3);  // 0 white, 1 black
    }
    FSeek(f.handle, dataPos);

    uint8_t* const pixels = ImgPixels(img);
    const int32_t imgRow = ImgRowBytes(img);
    if (!encoded) {
      uint8_t* rowdata = nullptr;
      _memalloc_(&rowdata, int32_t(rawRow), kLoc + 18, MEM_BLOCK, "FF_RAS.RASLoad.rowdata");
      for (int32_t y = 0; y < h; ++y) {
        FRead(f.handle, rowdata, rawRow);
        StoredRowToImg_(rowdata, pixels + int64_t(y) * imgRow, w, depth);
      }
      MemFree(&rowdata);
    } else {
      // A picture needs no more encoded bytes than twice its size (each
      // 0x80 doubled), so the rest of a long file is not read.
      const int64_t full = padded * h;
      const int32_t n = int32_t(std::min({avail, 2 * full + 2, kMaxImageBytes}));
      uint8_t* cmpsdata = nullptr;
      uint8_t* rawdata = nullptr;
      _memalloc_(&cmpsdata, std::max(n, 1), kLoc + 19, MEM_BLOCK, "FF_RAS.RASLoad.cmpsdata");
      _memalloc_(&rawdata, int32_t(full), kLoc + 20, MEM_BLOCK, "FF_RAS.RASLoad.rawdata");
      FRead(f.handle, cmpsdata, n);
      const int64_t done = RASUnpack_(rawdata, full, cmpsdata, n);
      const int64_t rowLen = done >= full ? padded : row;
      // Data that ends early leaves the rest of the picture black.
      FillBytes(0, full - done, rawdata + done);
      for (int32_t y = 0; y < h; ++y)
        StoredRowToImg_(rawdata + y * rowLen, pixels + int64_t(y) * imgRow, w, depth);
      MemFree(&rawdata);
      MemFree(&cmpsdata);
    }
    if (bpp == 24 && f.type == kTypeRGB) SwapRB_(w * h, pixels);
    FClose(f.handle);
    ErrRaise(ERR_IMG, 0, kLoc + 21);
  });
}

void RASSave(const std::string& name, Qimg* img) {
  Routine("FF_RAS.RASSave", [&] {
    FDelete(name);
    QffInitData work;
    FFInit(FF_RAS, &work, img, 1);
    const Qimg* src = work.img;
    const int32_t w = src->resX;
    const int32_t h = src->resY;
    const int32_t depth = src->bpp;  // 8 or 24
    const bool rle = RASRle;
    const int32_t row = ImgRowBytes(src);
    const int32_t padded = int32_t(PaddedRowBytes(w, depth));
    int32_t handle = UNDEF;
    FOpen(handle, name, FM_WRITE | FM_CREATE);

    uint8_t hdr[kRasHeaderSize];
    PutBE32(hdr, kRasMagic);
    PutBE32(hdr + 4, uint32_t(w));
    PutBE32(hdr + 8, uint32_t(h));
    PutBE32(hdr + 12, uint32_t(depth));
    PutBE32(hdr + 16, uint32_t(padded * h));
    PutBE32(hdr + 20, rle ? kTypeEncoded : 1);
    PutBE32(hdr + 24, depth == 8 ? kMapRGB : 0);
    PutBE32(hdr + 28, depth == 8 ? 768 : 0);
    FWrite(handle, hdr, kRasHeaderSize);
    if (depth == 8) {
      uint8_t map[768];
      for (int32_t i = 0; i < 256; ++i) {
        map[i] = src->pal[i][2];
        map[256 + i] = src->pal[i][1];
        map[512 + i] = src->pal[i][0];
      }
      FWrite(handle, map, sizeof map);
    }

    uint8_t* rowdata = nullptr;
    uint8_t* cmpsline = nullptr;
    _memalloc_(&rowdata, padded, kLoc + 30, MEM_BLOCK, "FF_RAS.RASSave.rowdata");
    rowdata[padded - 1] = 0;
    if (rle) _memalloc_(&cmpsline, 2 * padded, kLoc + 31, MEM_BLOCK, "FF_RAS.RASSave.cmpsline");
    const uint8_t* pixels = ImgPixels(src);
    int64_t stored = 0;
    for (int32_t y = 0; y < h; ++y) {
      std::memcpy(rowdata, pixels + int64_t(y) * row, size_t(row));
      const int32_t n = rle ? RASPack_(rowdata, padded, cmpsline) : padded;
      FWrite(handle, rle ? cmpsline : rowdata, n);
      stored += n;
    }
    // The length field holds the bytes stored: readers take it as the size
    // of the encoded data.
    if (rle) {
      uint8_t length[4];
      PutBE32(length, uint32_t(stored));
      FSeek(handle, 16);
      FWrite(handle, length, 4);
    }
    MemFree(&cmpsline);
    MemFree(&rowdata);
    FClose(handle);
    FFDone(&work);
    ErrRaise(ERR_IMG, 0, kLoc + 32);
  });
}

void RASInfo(const std::string& name, QffInfo* info) {
  Routine("FF_RAS.RASInfo", [&] {
    CheckPtr(info);
    QRasFile f;
    RASOpen_(&f, name);
    // 1-bit pictures load as 8 bits; other depths are reported as stored.
    const int32_t bpp = f.depth == 1 ? 8 : f.depth;
    SetStillInfo(info, f.fileSize, f.width, f.height, int32_t((int64_t(bpp) + 7) / 8), bpp,
                 f.type == kTypeEncoded ? kRleName : "", f.supported);
    FClose(f.handle);
  });
}

}  // namespace zelo
