// Portable anymap files: P2/P5 grey, P3/P6 colour, P1/P4 bitmaps; samples
// up to 16 bits are brought to 8. The header is parsed through a read buffer
// and a small tokenizer; the writer collects its text in the same buffer.
#include "formats/ff_pnm.h"

#include <algorithm>
#include <cstring>

#include "formats/ffbasic.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"

namespace zelo {

bool PNMAscii = false;

namespace {

constexpr int32_t kLoc = 4500;  // raise sites of this unit: kLoc + n
constexpr int32_t kMaxToken = 512;
constexpr int32_t kMaxSample = 65535;
// Numbers beyond any valid header value or sample stop growing here.
constexpr int64_t kNumberCap = int64_t(1) << 40;

// The module's read/write buffer and the file it serves.
struct PnmBuffer {
  uint8_t data[kPnmBufferSize];
  int32_t fill = 0;
  int32_t pos = 0;
  int64_t headerLen = 0;  // characters consumed from the start of the file
  int32_t handle = UNDEF;  // of the file being read or written
};
PnmBuffer g_buf;

void PNMReset_(int32_t handle) {
  g_buf.fill = 0;
  g_buf.pos = 0;
  g_buf.headerLen = 0;
  g_buf.handle = handle;
}

// Refills the buffer; false at the end of the file.
bool PNMFill_() {
  int64_t done = 0;
  FReadSome(g_buf.handle, g_buf.data, kPnmBufferSize, done);
  g_buf.fill = int32_t(done);
  g_buf.pos = 0;
  return done > 0;
}

// The next character, or -1 at the end of the file.
int32_t PNMPeekEnd_() {
  if (g_buf.pos >= g_buf.fill && !PNMFill_()) return -1;
  ++g_buf.headerLen;
  return g_buf.data[g_buf.pos++];
}

// The next character; the end of the file raises (7, 9).
uint8_t PNMGetChar_() {
  if (g_buf.pos >= g_buf.fill) PNMReadBuf_();
  ++g_buf.headerLen;
  return g_buf.data[g_buf.pos++];
}

bool IsBlank(int32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A comment runs to the next LF or CR, which counts as white space.
void PNMSkipComment_() {
  for (uint8_t c = PNMGetChar_(); c != '\n' && c != '\r'; c = PNMGetChar_()) {
  }
}

// The first character of the next token: white space and comments skipped.
uint8_t PNMTokenStart_() {
  uint8_t c = PNMGetChar_();
  while (IsBlank(c) || c == '#') {
    if (c == '#') PNMSkipComment_();
    c = PNMGetChar_();
  }
  return c;
}

// Reads a token of at most m characters into tok (m + 1 bytes); the white
// space that ends it is consumed. A token may end at the end of the file.
int32_t PNMToken_(char* tok, int32_t m) {
  int32_t c = PNMTokenStart_();
  int32_t len = 0;
  for (;;) {
    tok[len++] = char(c);
    if (len >= m) break;
    c = PNMPeekEnd_();
    if (c < 0 || IsBlank(c)) break;
    if (c == '#') {
      PNMSkipComment_();
      break;
    }
  }
  tok[len] = 0;
  return len;
}

// A decimal token; anything else raises (7, code).
int64_t PNMNumber_(int32_t code, int32_t location) {
  char tok[kMaxToken + 1];
  const int32_t len = PNMToken_(tok, kMaxToken);
  int64_t v = 0;
  for (int32_t i = 0; i < len; ++i) {
    if (tok[i] < '0' || tok[i] > '9') {
      ErrRaise(ERR_IMG, code, location);
      return 0;
    }
    v = std::min(v * 10 + (tok[i] - '0'), kNumberCap);
  }
  return v;
}

// Leading zero bits of a maximum below 256 within a byte (the first c from 7
// down to 1 with max >> c non-zero gives 7 - c; none gives 0).
int32_t SampleShift(int32_t maxval) {
  if (maxval > 255) return 0;
  for (int32_t c = 7; c >= 1; --c)
    if ((maxval >> c) != 0) return 7 - c;
  return 0;
}

// A sample brought to 8 bits: values above the maximum count as the maximum;
// maxima below 256 shift, larger ones scale with rounding.
uint8_t ScaleSample(const QPnmFile& f, int64_t v) {
  v = std::min<int64_t>(v, f.maxval);
  if (f.maxval > 255) return uint8_t((v * 255 + f.maxval / 2) / f.maxval);
  return uint8_t(v << f.shift);
}

void PNMFlush_(int32_t handle) {
  FWrite(handle, g_buf.data, g_buf.fill);
  g_buf.fill = 0;
}

void PNMPut_(int32_t handle, const std::string& text) {
  for (char c : text) {
    if (g_buf.fill >= kPnmBufferSize) PNMFlush_(handle);
    g_buf.data[g_buf.fill++] = uint8_t(c);
  }
}

// Bitmap rows: 1 is black, 0 white.
uint8_t BitLevel(int32_t bit) { return bit ? 0 : 255; }

}  // namespace

void PNMReadBuf_() {
  if (!PNMFill_()) ErrRaise(ERR_IMG, 9, kLoc + 1);
}

void PNMOpen_(QPnmFile* file, const std::string& name) {
  Routine("FF_PNM.PNMOpen_", [&] {
    CheckPtr(file);
    *file = QPnmFile{};
    file->handle = UNDEF;
    FOpen(file->handle, name, FM_READ);
    PNMReset_(file->handle);
    file->fileSize = FSize(file->handle);
    char tok[3];
    const int32_t len = PNMToken_(tok, 2);
    if (tok[0] != 'P') return ErrRaise(ERR_IMG, 2, kLoc + 2);
    file->magic = len > 1 ? tok[1] : 0;
    switch (file->magic) {
      case '1':
      case '2':
      case '3':
        file->ascii = kTrue;
        break;
      case '4':
      case '5':
      case '6':
        break;
      default:
        return;  // not a form this reader knows: not supported
    }
    file->bpp = file->magic == '3' || file->magic == '6' ? 24 : 8;
    file->width = int32_t(std::min<int64_t>(PNMNumber_(4, kLoc + 3), INT32_MAX));
    file->height = int32_t(std::min<int64_t>(PNMNumber_(4, kLoc + 4), INT32_MAX));
    const bool bitmap = file->magic == '1' || file->magic == '4';
    const int64_t maxval = bitmap ? 1 : PNMNumber_(4, kLoc + 5);
    if (maxval < 1 || maxval > kMaxSample) return ErrRaise(ERR_IMG, 4, kLoc + 6);
    file->maxval = int32_t(maxval);
    file->shift = SampleShift(file->maxval);
    file->bytesPP = (file->bpp + 7) / 8;
    file->supported = ToBool(file->bytesPP >= 1 && file->width >= 4 && file->width <= 4096 &&
                             file->height >= 4 && file->height <= 4096);
  });
}

void PNMLoad(const std::string& name, Qimg* img) {
  Routine("FF_PNM.PNMLoad", [&] {
    CheckPtr(img);
    QPnmFile f;
    PNMOpen_(&f, name);
    if (!f.supported) return ErrRaise(ERR_IMG, 1, kLoc + 10);
    const int32_t w = f.width;
    const int32_t h = f.height;
    _imgalloc_(img, w, h, f.bpp, kLoc + 11, "FF_PNM.PNMLoad.img");
    ImgSetGeometry(img, w, h, f.bpp);
    uint8_t* const px = ImgPixels(img);
    const int32_t n = w * h * f.bytesPP;
    const bool bitmap = f.magic == '1' || f.magic == '4';
    if (f.ascii && bitmap) {
      // Bitmap digits need no white space between them.
      for (int32_t i = 0; i < n; ++i) {
        const uint8_t c = PNMTokenStart_();
        if (c != '0' && c != '1') return ErrRaise(ERR_IMG, 9, kLoc + 12);
        px[i] = BitLevel(c - '0');
      }
    } else if (f.ascii) {
      for (int32_t i = 0; i < n; ++i) px[i] = ScaleSample(f, PNMNumber_(9, kLoc + 13));
    } else {
      // Binary rows; data that ends early leaves the rest black.
      const int32_t sampleBytes = f.maxval > 255 ? 2 : 1;
      const int32_t rowBytes = bitmap ? (w + 7) / 8 : w * f.bytesPP * sampleBytes;
      const int32_t imgRow = ImgRowBytes(img);
      uint8_t* rowdata = nullptr;
      _memalloc_(&rowdata, rowBytes, kLoc + 14, MEM_BLOCK, "FF_PNM.PNMLoad.rowdata");
      FSeek(f.handle, g_buf.headerLen);
      for (int32_t y = 0; y < h; ++y) {
        int64_t done = 0;
        FReadSome(f.handle, rowdata, rowBytes, done);
        FillBytes(0, rowBytes - done, rowdata + done);
        uint8_t* d = px + int64_t(y) * imgRow;
        if (bitmap) {
          for (int32_t x = 0; x < w; ++x) d[x] = BitLevel((rowdata[x >> 3] >> (7 - (x & 7))) & 1);
        } else if (sampleBytes == 2) {
          for (int32_t i = 0; i < imgRow; ++i) d[i] = ScaleSample(f, GetBE16(rowdata + 2 * i));
        } else {
          for (int32_t i = 0; i < imgRow; ++i) d[i] = ScaleSample(f, rowdata[i]);
        }
      }
      MemFree(&rowdata);
    }
    if (f.bytesPP == 1)
      GreyPalette_(&img->pal[0][0]);
    else
      SwapRB_(w * h, px);
    FClose(f.handle);
    PNMReset_(UNDEF);
    ErrRaise(ERR_IMG, 0, kLoc + 15);
  });
}

void PNMSave(const std::string& name, Qimg* img) {
  Routine("FF_PNM.PNMSave", [&] {
    QPnmFile f{};
    FDelete(name);
    QffInitData work;
    FFInit(FF_PNM, &work, img, 1);
    const Qimg* src = work.img;
    const int32_t w = src->resX;
    const int32_t h = src->resY;
    f.ascii = ToBool(PNMAscii);
    f.handle = UNDEF;
    FOpen(f.handle, name, FM_WRITE | FM_CREATE);
    PNMReset_(f.handle);
    PNMPut_(f.handle, std::string("P") + (f.ascii ? "3" : "6") + "\n" + FmtInt(0, w) + " " +
                          FmtInt(0, h) + "\n255\n");
    PNMFlush_(f.handle);
    const uint8_t* pixels = ImgPixels(src);
    const int32_t row = ImgRowBytes(src);
    if (!f.ascii) {
      uint8_t* tmpdata = nullptr;
      _memalloc_(&tmpdata, row, kLoc + 20, MEM_BLOCK, "FF_PNM.PNMSave.tmpdata");
      for (int32_t y = 0; y < h; ++y) {
        CopySwapRB_(w, tmpdata, pixels + int64_t(y) * row);
        FWrite(f.handle, tmpdata, row);
      }
      MemFree(&tmpdata);
    } else {
      for (int64_t i = 0; i < int64_t(w) * h; ++i) {
        const uint8_t* p = pixels + 3 * i;
        for (int32_t k = 2; k >= 0; --k) {  // red, green, blue
          if (kPnmBufferSize - g_buf.fill < 4) PNMFlush_(f.handle);
          uint8_t* d = g_buf.data + g_buf.fill;
          const uint8_t v = p[k];
          if (v >= 100) *d++ = uint8_t('0' + v / 100);
          if (v >= 10) *d++ = uint8_t('0' + v / 10 % 10);
          *d++ = uint8_t('0' + v % 10);
          *d++ = '\n';
          g_buf.fill = int32_t(d - g_buf.data);
        }
      }
      PNMFlush_(f.handle);
    }
    FClose(f.handle);
    PNMReset_(UNDEF);
    FFDone(&work);
    ErrRaise(ERR_IMG, 0, kLoc + 21);
  });
}

void PNMInfo(const std::string& name, QffInfo* info) {
  Routine("FF_PNM.PNMInfo", [&] {
    CheckPtr(info);
    QPnmFile f;
    PNMOpen_(&f, name);
    SetStillInfo(info, f.fileSize, f.width, f.height, f.bytesPP, f.bytesPP * 8,
                 f.ascii ? "Ascii encoded" : "Binary encoded", f.supported);
    FClose(f.handle);
    PNMReset_(UNDEF);
  });
}

}  // namespace zelo
