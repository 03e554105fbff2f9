// Silicon Graphics image files: one or two bytes per sample, one to four
// channels, verbatim or run-length encoded; written as three channels of one
// byte.
#include "formats/ff_sgi.h"

#include <algorithm>
#include <cstring>

#include "formats/ffbasic.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"

namespace zelo {

bool SGIRle = true;

namespace {

constexpr int32_t kLoc = 4300;  // raise sites of this unit: kLoc + n
constexpr int32_t kReadHeader = 108;
const char* const kRleName = "Run Length Encoding (RLE)";

// Channels of the image a file loads into: grey with alpha is read as grey.
int32_t LoadedChannels(int32_t channels) { return channels == 2 ? 1 : channels; }

// A sample of two bytes (big-endian) brought to 8 bits, rounded.
uint8_t Sample16(const uint8_t* p) { return uint8_t((GetBE16(p) * 255u + 32767u) / 65535u); }

// Run-length row of two-byte samples: the count is in the low byte of a
// sample. The same rules as SGIUnpack_, in units of two bytes.
int32_t SGIUnpackWords_(uint8_t* out, int32_t width, const uint8_t* in, int32_t count) {
  const int32_t units = count / 2;
  int32_t o = 0;
  int32_t i = 0;
  for (;;) {
    if (i >= units) return o == width ? o : -1;
    const uint8_t c = in[2 * i + 1];
    ++i;
    const int32_t n = c & 0x7F;
    if (n == 0) return o;
    if (n > width - o) return -1;
    if (c & 0x80) {
      if (n > units - i) return -1;
      for (int32_t k = 0; k < n; ++k, ++i) out[o++] = Sample16(in + 2 * i);
    } else {
      if (i >= units) return -1;
      std::memset(out + o, Sample16(in + 2 * i), size_t(n));
      ++i;
      o += n;
    }
  }
}

}  // namespace

int32_t SGIUnpack_(uint8_t* out, int32_t width, const uint8_t* in, int32_t count) {
  int32_t o = 0;
  int32_t i = 0;
  for (;;) {
    if (i >= count) return o == width ? o : -1;  // the data ended: whole only when full
    const uint8_t c = in[i++];
    const int32_t n = c & 0x7F;
    if (n == 0) return o;             // end marker: a short row ends black
    if (n > width - o) return -1;     // a packet past the width
    if (c & 0x80) {
      if (n > count - i) return -1;   // literal cut short
      std::memcpy(out + o, in + i, size_t(n));
      i += n;
    } else {
      if (i >= count) return -1;      // run without its value
      std::memset(out + o, in[i++], size_t(n));
    }
    o += n;
  }
}

int32_t SGIPack_(const uint8_t* row, int32_t count, uint8_t* out) {
  int32_t o = 0;
  int32_t countAt = 0;  // count byte of the open literal packet
  int32_t r = 0;        // repeats of v seen after its first byte
  int32_t l = 0;        // bytes in the open literal packet
  auto run = [&](uint8_t v) {
    out[o++] = uint8_t(r + 1);
    out[o++] = v;
  };
  auto literal = [&](uint8_t v) {
    if (l == 0) countAt = o++;
    out[countAt] = uint8_t(0x81 + l);
    out[o++] = v;
    if (++l == 125) l = 0;
  };
  if (count > 0) {
    uint8_t v = row[0];
    for (int32_t i = 1; i < count; ++i) {
      const uint8_t b = row[i];
      if (b == v) {
        l = 0;
        if (r == 125) {
          run(v);
          r = 0;
        } else {
          ++r;
        }
      } else if (r > 0) {
        run(v);
        v = b;
        r = 0;
      } else {
        literal(v);
        v = b;
      }
    }
    if (r > 0)
      run(v);
    else
      literal(v);
  }
  out[o++] = 0;
  return o;
}

void SGIOpen_(QSgiFile* file, const std::string& name) {
  Routine("FF_SGI.SGIOpen_", [&] {
    CheckPtr(file);
    *file = QSgiFile{};
    file->handle = UNDEF;
    FOpen(file->handle, name, FM_READ);
    uint8_t h[kReadHeader];
    FRead(file->handle, h, kReadHeader);
    file->magic = GetBE16(h);
    if (file->magic != kSgiMagic) return ErrRaise(ERR_IMG, 2, kLoc + 1);
    file->storage = h[2];
    file->bpc = h[3];
    file->dimension = GetBE16(h + 4);
    file->width = GetBE16(h + 6);
    file->height = GetBE16(h + 8);
    file->channels = GetBE16(h + 10);
    file->pixMin = int32_t(GetBE32(h + 12));
    file->pixMax = int32_t(GetBE32(h + 16));
    file->colorMap = int32_t(GetBE32(h + 104));
    file->fileSize = FSize(file->handle);
    switch (file->dimension) {
      case 1:
        file->height = 1;
        file->channels = 1;
        break;
      case 2:
        file->channels = 1;
        break;
      case 3:
        break;
      default:
        file->channels = 0;
    }
    file->supported = ToBool((file->bpc == 1 || file->bpc == 2) && file->storage <= 1 &&
                             file->channels >= 1 && file->channels <= 4 && file->colorMap == 0);
  });
}

void SGILoad(const std::string& name, Qimg* img) {
  Routine("FF_SGI.SGILoad", [&] {
    CheckPtr(img);
    QSgiFile f;
    SGIOpen_(&f, name);
    if (!f.supported) return ErrRaise(ERR_IMG, 1, kLoc + 10);
    const int32_t w = f.width;
    const int32_t h = f.height;
    const int32_t bpc = f.bpc;
    const int32_t planes = LoadedChannels(f.channels);  // planes read (not an alpha of grey)
    if (!ImgGeometryValid(w, h, planes * 8)) return ErrRaise(ERR_IMG, 4, kLoc + 11);
    const bool verbatim = f.storage == 0;
    const int64_t rowBytes = int64_t(w) * bpc;  // one stored channel row, unencoded
    const int32_t entries = h * f.channels;     // rows in the run-length tables
    // The file must hold what the header declares before anything is allocated.
    if (verbatim && kSgiHeaderSize + rowBytes * h * f.channels > f.fileSize)
      return ErrRaise(ERR_FILE, 3, kLoc + 12);
    if (!verbatim && kSgiHeaderSize + int64_t(entries) * 8 > f.fileSize)
      return ErrRaise(ERR_FILE, 3, kLoc + 13);

    _imgalloc_(img, w, h, planes * 8, kLoc + 14, "FF_SGI.SGILoad.img");
    ImgSetGeometry(img, w, h, planes * 8);
    // Rows that decode short stay black rather than showing stale memory.
    FillBytes(0, img->pixSize, img->pixPtr);

    // The planes of one row side by side; for one plane the image row itself.
    uint8_t* templine = nullptr;
    if (planes > 1) _memalloc_(&templine, planes * w, kLoc + 15, MEM_BLOCK, "FF_SGI.SGILoad.templine");
    uint8_t* rawline = nullptr;  // a verbatim row of two-byte samples
    if (verbatim && bpc == 2)
      _memalloc_(&rawline, int32_t(rowBytes), kLoc + 16, MEM_BLOCK, "FF_SGI.SGILoad.rawline");

    uint8_t* linetbl = nullptr;
    uint8_t* lentbl = nullptr;
    uint8_t* cmpsline = nullptr;
    // A row that fills the width is never longer than this: every packet
    // gives at least one sample and costs at most two per sample, so bytes
    // beyond it are never decoded and need not be read.
    const int32_t rowCap = int32_t(2 * (rowBytes + bpc));
    if (!verbatim) {
      _memalloc_(&linetbl, entries * 4, kLoc + 17, MEM_BLOCK, "FF_SGI.SGILoad.linetbl");
      _memalloc_(&lentbl, entries * 4, kLoc + 18, MEM_BLOCK, "FF_SGI.SGILoad.lentbl");
      FSeek(f.handle, kSgiHeaderSize);
      FRead(f.handle, linetbl, int64_t(entries) * 4);
      FRead(f.handle, lentbl, int64_t(entries) * 4);
      // Every row lies between the end of the tables and the end of the file.
      const int64_t dataStart = kSgiHeaderSize + int64_t(entries) * 8;
      for (int32_t i = 0; i < entries; ++i) {
        const int64_t start = GetBE32(linetbl + 4 * i);
        if (start < dataStart || start + GetBE32(lentbl + 4 * i) > f.fileSize)
          return ErrRaise(ERR_IMG, 9, kLoc + 19);
      }
      _memalloc_(&cmpsline, rowCap, kLoc + 20, MEM_BLOCK, "FF_SGI.SGILoad.cmpsline");
    }

    uint8_t* const pixels = ImgPixels(img);
    for (int32_t y = 0; y < h; ++y) {
      uint8_t* dst = pixels + int64_t(h - 1 - y) * w * planes;
      uint8_t* rowPlanes = planes > 1 ? templine : dst;
      for (int32_t c = 0; c < planes; ++c) {
        uint8_t* plane = rowPlanes + int64_t(c) * w;
        if (verbatim) {
          FSeek(f.handle, kSgiHeaderSize + (int64_t(c) * h + y) * rowBytes);
          if (bpc == 1) {
            FRead(f.handle, plane, w);
          } else {
            FRead(f.handle, rawline, rowBytes);
            for (int32_t x = 0; x < w; ++x) plane[x] = Sample16(rawline + 2 * x);
          }
        } else {
          const int32_t k = c * h + y;
          const int32_t n = int32_t(std::min<uint32_t>(GetBE32(lentbl + 4 * k), uint32_t(rowCap)));
          FSeek(f.handle, GetBE32(linetbl + 4 * k));
          FRead(f.handle, cmpsline, n);
          const int32_t done = bpc == 1 ? SGIUnpack_(plane, w, cmpsline, n)
                                        : SGIUnpackWords_(plane, w, cmpsline, n);
          if (done < 0) return ErrRaise(ERR_IMG, 3, kLoc + 22);
          FillBytes(0, w - done, plane + done);
        }
      }
      if (planes > 1) {
        const uint8_t* p0 = templine;
        const uint8_t* p1 = templine + w;
        const uint8_t* p2 = templine + 2 * int64_t(w);
        const uint8_t* p3 = templine + 3 * int64_t(w);
        for (int32_t x = 0; x < w; ++x, dst += planes) {
          dst[2] = p0[x];
          dst[1] = p1[x];
          dst[0] = p2[x];
          if (planes == 4) dst[3] = p3[x];
        }
      }
    }
    if (planes == 1) GreyPalette_(&img->pal[0][0]);
    MemFree(&cmpsline);
    MemFree(&lentbl);
    MemFree(&linetbl);
    MemFree(&rawline);
    MemFree(&templine);
    FClose(f.handle);
    ErrRaise(ERR_IMG, 0, kLoc + 21);
  });
}

void SGISave(const std::string& name, Qimg* img) {
  Routine("FF_SGI.SGISave", [&] {
    FDelete(name);
    QffInitData work;
    FFInit(FF_SGI, &work, img, 1);
    const Qimg* src = work.img;
    const int32_t w = src->resX;
    const int32_t h = src->resY;
    const bool rle = SGIRle;
    int32_t handle = UNDEF;
    FOpen(handle, name, FM_WRITE | FM_CREATE);

    uint8_t hdr[kSgiHeaderSize] = {};
    PutBE16(hdr, kSgiMagic);
    hdr[2] = rle ? 1 : 0;
    hdr[3] = 1;           // bytes per channel
    PutBE16(hdr + 4, 3);  // dimension
    PutBE16(hdr + 6, uint32_t(w));
    PutBE16(hdr + 8, uint32_t(h));
    PutBE16(hdr + 10, 3);  // channels
    PutBE32(hdr + 12, 0);
    PutBE32(hdr + 16, 255);
    FWrite(handle, hdr, kSgiHeaderSize);

    uint8_t* templine = nullptr;
    uint8_t* cmpsline = nullptr;
    uint8_t* linetbl = nullptr;
    uint8_t* lentbl = nullptr;
    _memalloc_(&templine, w, kLoc + 30, MEM_BLOCK, "FF_SGI.SGISave.templine");
    int64_t pos = kSgiHeaderSize + int64_t(h) * 3 * 4 * 2;
    if (rle) {
      _memalloc_(&cmpsline, 2 * w + 1, kLoc + 31, MEM_BLOCK, "FF_SGI.SGISave.cmpsline");
      _memalloc_(&linetbl, h * 3 * 4, kLoc + 32, MEM_BLOCK, "FF_SGI.SGISave.linetbl");
      _memalloc_(&lentbl, h * 3 * 4, kLoc + 33, MEM_BLOCK, "FF_SGI.SGISave.lentbl");
      FSeek(handle, pos);
    }
    const uint8_t* pixels = ImgPixels(src);
    for (int32_t c = 0; c < 3; ++c) {
      const int32_t byte = 2 - c;  // red, green, blue
      for (int32_t y = 0; y < h; ++y) {
        const uint8_t* row = pixels + int64_t(h - 1 - y) * w * 3;
        for (int32_t x = 0; x < w; ++x) templine[x] = row[3 * x + byte];
        if (!rle) {
          FWrite(handle, templine, w);
          continue;
        }
        const int32_t n = SGIPack_(templine, w, cmpsline);
        PutBE32(linetbl + 4 * (c * h + y), uint32_t(pos));
        PutBE32(lentbl + 4 * (c * h + y), uint32_t(n));
        FWrite(handle, cmpsline, n);
        pos += n;
      }
    }
    if (rle) {
      FSeek(handle, kSgiHeaderSize);
      FWrite(handle, linetbl, int64_t(h) * 3 * 4);
      FWrite(handle, lentbl, int64_t(h) * 3 * 4);
    }
    MemFree(&lentbl);
    MemFree(&linetbl);
    MemFree(&cmpsline);
    MemFree(&templine);
    FClose(handle);
    FFDone(&work);
    ErrRaise(ERR_IMG, 0, kLoc + 34);
  });
}

void SGIInfo(const std::string& name, QffInfo* info) {
  Routine("FF_SGI.SGIInfo", [&] {
    CheckPtr(info);
    QSgiFile f;
    SGIOpen_(&f, name);
    const int32_t channels = LoadedChannels(f.channels);
    SetStillInfo(info, f.fileSize, f.width, f.height, channels, channels * 8,
                 f.storage != 0 ? kRleName : "", f.supported);
    FClose(f.handle);
  });
}

}  // namespace zelo
