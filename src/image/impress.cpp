// Picture corrections: brightness, contrast, gamma and white balance as
// per-channel tables (the palette only for 8-bit pictures), the 3 x 3
// convolutions, and the running average of many frames.
#include "image/impress.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"

namespace zelo {
namespace {

// Source pixels are read (and maybe converted) by every operation.
void CheckSource_(const Qimg* src) {
  CheckPtr(src);
  if (int64_t(src->resX) * src->resY > 0) CheckPtr(src->pixPtr);
}

// Maps 3-byte units through the red, green and blue tables.
void RemapUnits_(const uint8_t* s, uint8_t* d, int64_t units, const uint8_t* t) {
  for (int64_t i = 0; i < units; ++i, s += 3, d += 3) {
    const uint8_t b = s[0], g = s[1], r = s[2];
    d[2] = t[r];
    d[1] = t[256 + g];
    d[0] = t[512 + b];
  }
}

// Runs a table operation on the framework: the tables are built from the
// working descriptor's parameters.
template <class Build>
void TableOp_(int32_t op, Qimg* src, Qimg* dst, Build&& build) {
  QimgOpInfo info;
  QimgOp work;
  ImgInfo(&info, op);
  ImgInitEx(&info, &work, src, dst, src->resX, src->resY);
  uint8_t tables[768];
  build(info, tables);
  RemapUnits_(work.srcData, work.dstData, work.srcUnits, tables);
  ImgDone(&work);
}

// ln(i / 255) for i = 1..254, computed on the first gamma call and kept.
const double* GammaLogs_() {
  static const auto* logs = [] {
    static double t[256] = {};
    for (int i = 1; i <= 254; ++i) t[i] = std::log(i / 255.0);
    return t;
  }();
  return logs;
}

// --- convolutions -------------------------------------------------------------------

constexpr ConvKernel kSoften = {{1, 1, 1, 1, 8, 1, 1, 1, 1}, 4, 0};
constexpr ConvKernel kSharpen = {{0, -1, 0, -1, 8, -1, 0, -1, 0}, 2, 0};
constexpr ConvKernel kEdge = {{-1, -2, -1, -2, 16, -2, -1, -2, -1}, 2, 0};

// The products of coefficient and byte are 16-bit values and so is their sum
// (it wraps); the shift is arithmetic.
inline uint8_t FilterOut(int32_t sum, int32_t shift, int32_t offset) {
  const int32_t c = (int32_t(int16_t(sum)) >> shift) + offset;
  return uint8_t(c < 0 ? 0 : (c > 255 ? 255 : c));
}

// One output row from the rows above, at and below; each channel on its own,
// neighbours 3 bytes apart, the pixel itself beyond either end of the row.
void FilterRow_(const uint8_t* up, const uint8_t* mid, const uint8_t* down, uint8_t* out,
                int64_t rowBytes, const ConvKernel& kn) {
  // Locals, so that the stores to out (bytes may alias anything) do not
  // force the kernel to be read again for every byte.
  const int32_t c0 = kn.coef[0], c1 = kn.coef[1], c2 = kn.coef[2], c3 = kn.coef[3],
                c4 = kn.coef[4], c5 = kn.coef[5], c6 = kn.coef[6], c7 = kn.coef[7],
                c8 = kn.coef[8], shift = kn.shift, offset = kn.offset;
  auto at = [&](int64_t l, int64_t k, int64_t r) {
    const int32_t s = c0 * up[l] + c1 * up[k] + c2 * up[r] + c3 * mid[l] + c4 * mid[k] +
                      c5 * mid[r] + c6 * down[l] + c7 * down[k] + c8 * down[r];
    return FilterOut(s, shift, offset);
  };
  const int64_t lo = std::min<int64_t>(3, rowBytes);
  const int64_t hi = std::max<int64_t>(lo, rowBytes - 3);
  for (int64_t k = 0; k < lo; ++k) out[k] = at(k >= 3 ? k - 3 : k, k, k + 3 < rowBytes ? k + 3 : k);
  for (int64_t k = lo; k < hi; ++k) out[k] = at(k - 3, k, k + 3);
  for (int64_t k = hi; k < rowBytes; ++k) out[k] = at(k >= 3 ? k - 3 : k, k, k + 3 < rowBytes ? k + 3 : k);
}

// --- averaging ------------------------------------------------------------------------

struct AverageRec {
  bool active = false;
  uint32_t* buffer = nullptr;  // blue, green, red sums per pixel
  int32_t width = 0;
  int32_t height = 0;
  int32_t count = 0;
};
AverageRec g_average;

// A frame that fails releases the sum buffer without telling us; the sum
// counts as running only while the block is still tracked for it.
bool AverageAlive_() {
  AverageRec& a = g_average;
  if (a.active && MemFind(reinterpret_cast<void* const*>(&a.buffer), 3) != UNDEF) return true;
  a = AverageRec{};
  return false;
}

}  // namespace

// --- colour tables ----------------------------------------------------------------------

void BrightnessCalc_(double x, uint8_t* t) {
  if (x == 0) {
    for (int i = 0; i < 256; ++i) t[i] = uint8_t(i);
    return;
  }
  const int32_t b = int32_t(std::trunc(x * 255 * 0.01));
  for (int i = 0; i < 256; ++i) t[i] = uint8_t(x > 0 ? std::min(i + b, 255) : std::max(i + b, 0));
}

void ContrastCalc_(double x, uint8_t* t) {
  if (x == 0) {
    for (int i = 0; i < 256; ++i) t[i] = uint8_t(i);
    return;
  }
  const int32_t b = std::abs(int32_t(std::trunc(x)));
  const int32_t c = int32_t(std::trunc(128 / (128 - 127 * b * 0.01)));
  for (int i = 0; i < 256; ++i) {
    int32_t v;
    if (x > 0)
      v = i < 128 ? std::max(i - (std::abs(i - 127) * b / 100 + c), 0)
                  : std::min(i + (i - 128) * b / 100 + c, 255);
    else
      v = i < 128 ? std::min(i + std::abs(i - 127) * b / 100 + c, 128)
                  : std::max(i - ((i - 128) * b / 100 + c), 128);
    t[i] = uint8_t(v);
  }
}

void GammaCalc_(double g, uint8_t* t) {
  constexpr double kLog2E = 1.4426950408889634074;
  const double* logs = GammaLogs_();
  t[0] = 0;
  t[255] = 255;
  for (int i = 1; i <= 254; ++i)
    t[i] = uint8_t(std::nearbyint(255 * std::exp2(logs[i] * (1 / g) * kLog2E)));
}

void WhiteBalanceCalc_(int32_t blue, int32_t green, int32_t red, uint8_t* t) {
  const double m = std::max({red, green, blue});
  const double h = ((m - red) + (m - green) + (m - blue)) / 9;
  auto clamp = [](double v) { return std::min(std::max(v, 0.0), 255.0); };
  const int32_t refs[3] = {red, green, blue};
  for (int ch = 0; ch < 3; ++ch)
    for (int i = 0; i < 256; ++i)
      t[256 * ch + i] = uint8_t(std::trunc(clamp(clamp(i * m / refs[ch]) - h)));
}

void AutoTune_(int32_t op, Qimg* src, Qimg* dst, double vr, double vg, double vb,
               TuneCalc builder) {
  Routine("impress.AutoTune_", [&] {
    CheckSource_(src);
    CheckPtr(dst);
    if ((vr == 0 && vg == 0 && vb == 0) || (op == OP_GAMMA && vr == 100 && vg == 100 && vb == 100)) {
      ImgCopy(src, dst);
      return;
    }
    TableOp_(op, src, dst, [&](const QimgOpInfo& info, uint8_t* t) {
      builder(ClampReal(vr, info.params[0].min, info.params[0].max), t);
      builder(ClampReal(vg, info.params[1].min, info.params[1].max), t + 256);
      builder(ClampReal(vb, info.params[2].min, info.params[2].max), t + 512);
    });
  });
}

void ImgBrightness(Qimg* src, Qimg* dst, int32_t red, int32_t green, int32_t blue) {
  PathScope path("impress.ImgBrightness");
  AutoTune_(OP_BRIGHTNESS, src, dst, red, green, blue, BrightnessCalc_);
}

void ImgContrast(Qimg* src, Qimg* dst, int32_t red, int32_t green, int32_t blue) {
  PathScope path("impress.ImgContrast");
  AutoTune_(OP_CONTRAST, src, dst, red, green, blue, ContrastCalc_);
}

void ImgGamma(Qimg* src, Qimg* dst, double red, double green, double blue) {
  PathScope path("impress.ImgGamma");
  AutoTune_(OP_GAMMA, src, dst, red, green, blue, GammaCalc_);
}

void ImgWhiteBalance(Qimg* src, Qimg* dst, int32_t red, int32_t green, int32_t blue) {
  Routine("impress.ImgWhiteBalance", [&] {
    CheckSource_(src);
    CheckPtr(dst);
    if (red == 255 && green == 255 && blue == 255) {
      ImgCopy(src, dst);
      return;
    }
    // Not clamped; only a zero reference counts as 1.
    red = red == 0 ? 1 : red;
    green = green == 0 ? 1 : green;
    blue = blue == 0 ? 1 : blue;
    TableOp_(OP_WHITEBAL, src, dst,
             [&](const QimgOpInfo&, uint8_t* t) { WhiteBalanceCalc_(blue, green, red, t); });
  });
}

// --- convolutions -------------------------------------------------------------------------

void AutoFilter_(int32_t op, Qimg* src, Qimg* dst, const ConvKernel& kernel) {
  Routine("impress.AutoFilter_", [&] {
    CheckSource_(src);
    CheckPtr(dst);
    QimgOpInfo info;
    QimgOp work;
    ImgInfo(&info, op);
    ImgInitEx(&info, &work, src, dst, src->resX, src->resY);
    const int64_t rowBytes = work.srcRowBytes;
    const int64_t height = work.psrc->resY;
    const uint8_t* s = work.srcData;
    uint8_t* d = work.dstData;
    for (int64_t y = 0; y < height; ++y) {
      const uint8_t* mid = s + y * rowBytes;
      const uint8_t* up = y > 0 ? mid - rowBytes : mid;
      const uint8_t* down = y + 1 < height ? mid + rowBytes : mid;
      FilterRow_(up, mid, down, d + y * rowBytes, rowBytes, kernel);
    }
    ImgDone(&work);
  });
}

void ImgSoften(Qimg* src, Qimg* dst) {
  PathScope path("impress.ImgSoften");
  AutoFilter_(OP_SOFTEN, src, dst, kSoften);
}

void ImgSharpen(Qimg* src, Qimg* dst) {
  PathScope path("impress.ImgSharpen");
  AutoFilter_(OP_SHARPEN, src, dst, kSharpen);
}

void ImgEdgeEnhance(Qimg* src, Qimg* dst) {
  PathScope path("impress.ImgEdgeEnhance");
  AutoFilter_(OP_EDGE, src, dst, kEdge);
}

// --- averaging ------------------------------------------------------------------------------

void ImgAverage(const Qimg* img) {
  Routine("impress.ImgAverage", [&] {
    CheckPtr(img);
    AverageRec& a = g_average;
    const bool alive = AverageAlive_();
    if (alive && (img->resX != a.width || img->resY != a.height)) {
      ErrRaise(ERR_GEN, 1, 2501);
      return;
    }
    const int32_t bpp = img->bpp;
    if (bpp != 8 && bpp != 15 && bpp != 16 && bpp != 24 && bpp != 32) {
      ErrRaise(ERR_IMG, 1, 2502);
      return;
    }
    if (img->resX < 1 || img->resY < 1) {
      ErrRaise(ERR_GEN, 1, 2503);
      return;
    }
    const int64_t n = int64_t(img->resX) * img->resY;
    const uint8_t* p = CheckPtr(ImgPixels(img));
    if (!alive) {
      const int64_t bytes = n * 3 * int64_t(sizeof(uint32_t));
      if (bytes > INT32_MAX) {
        ErrRaise(ERR_MEM, 5, 2504);
        return;
      }
      _memalloc_(&a.buffer, int32_t(bytes), 2505, MEM_BLOCK, "impress.ImgAverage.AverageRec.buffer");
      std::memset(a.buffer, 0, size_t(bytes));
      a.count = 0;
      a.active = true;
    }
    a.width = img->resX;
    a.height = img->resY;
    uint32_t* s = a.buffer;
    for (int64_t i = 0; i < n; ++i, s += 3) {
      uint32_t b, g, r;
      switch (bpp) {
        case 8: {
          const uint8_t* e = img->pal[p[i]];
          b = e[0], g = e[1], r = e[2];
          break;
        }
        case 15: {
          const uint32_t w = GetLE16(p + 2 * i);
          b = (w & 31) << 3, g = ((w >> 5) & 31) << 3, r = ((w >> 10) & 31) << 3;
          break;
        }
        case 16: {
          const uint32_t w = GetLE16(p + 2 * i);
          b = (w & 31) << 3, g = ((w >> 5) & 63) << 2, r = ((w >> 11) & 31) << 3;
          break;
        }
        default: {
          const uint8_t* q = p + i * img->bytesPP;
          b = q[0], g = q[1], r = q[2];
          break;
        }
      }
      s[0] += b;
      s[1] += g;
      s[2] += r;
    }
    ++a.count;
  });
}

void ImgAverageGet(Qimg* img) {
  Routine("impress.ImgAverageGet", [&] {
    CheckPtr(img);
    if (!AverageAlive_() || g_average.count <= 0) {
      ErrRaise(ERR_IMG, MAX_CODE, 2506);
      return;
    }
    const AverageRec& a = g_average;
    _imgalloc_(img, a.width, a.height, 24, 2507, "impress.ImgAverageGet.imgResult");
    uint8_t* d = ImgPixels(img);
    const int64_t bytes = int64_t(a.width) * a.height * 3;
    const uint32_t count = uint32_t(a.count);
    for (int64_t i = 0; i < bytes; ++i) d[i] = uint8_t(a.buffer[i] / count);
  });
}

void ImgAverageClear() {
  PathScope path("impress.ImgAverageClear");
  if (AverageAlive_()) MemFree(&g_average.buffer);
  g_average = AverageRec{};
}

int32_t ImgAverageCount() { return AverageAlive_() ? g_average.count : 0; }

}  // namespace zelo
