// The palette optimiser: a 6-bit colour histogram, variance-based box
// splitting, one palette entry per box, an inverse map from colour cell to
// palette index, and three mappers (plain, ordered dither, damped error
// diffusion).
#include "image/palopt.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"

namespace zelo {
namespace {

constexpr int32_t kWeightR = 900, kWeightG = 3481, kWeightB = 121;

PalWork* quantP = nullptr;

// A frame that fails releases the block without clearing quantP, so the
// block counts as alive only while the table still holds it for quantP.
bool WorkAlive() {
  return quantP != nullptr && MemFind(reinterpret_cast<void* const*>(&quantP), 3) != UNDEF;
}

PalWork* Work() {
  if (!WorkAlive()) quantP = nullptr;
  return CheckPtr(quantP);
}

inline int32_t CellOf(int32_t r, int32_t g, int32_t b) {
  return (r >> 2) | ((g >> 2) << 6) | ((b >> 2) << 12);
}

inline void CountAdd(int32_t& cell, int64_t n) {
  const int64_t v = int64_t(cell) + n;
  cell = v > INT32_MAX ? INT32_MAX : int32_t(v);
}

inline void CountOne(int32_t& cell) {
  if (cell != INT32_MAX) ++cell;
}

// The count of each index, added to the cell of its palette colour.
void Count8(PalWork* q, const Qimg* img, int64_t n) {
  PathScope path("PalOpt.Count8");
  int64_t counts[256] = {};
  const uint8_t* p = ImgPixels(img);
  for (int64_t i = 0; i < n; ++i) ++counts[p[i]];
  for (int k = 0; k < 256; ++k) {
    if (counts[k] == 0) continue;
    const uint8_t* e = img->pal[k];
    CountAdd(q->cells[CellOf(e[2], e[1], e[0])], counts[k]);
  }
}

// --- boxes ------------------------------------------------------------------------

template <class Visit>
void ForEachCell(const PalBox& b, Visit&& visit) {
  for (int32_t bb = b.b0; bb <= b.b1; ++bb)
    for (int32_t g = b.g0; g <= b.g1; ++g) {
      const int32_t base = (g << 6) | (bb << 12);
      for (int32_t r = b.r0; r <= b.r1; ++r) visit(base | r, r, g, bb);
    }
}

// Moves each bound inwards to the outermost planes holding a non-empty cell
// (an axis without any keeps its bounds), then recomputes the statistics.
// One pass finds the bounds: removing empty planes never changes which cells
// are non-empty, so shrinking axis by axis gives the same box.
void ShrinkBox(const PalWork* q, PalBox& b) {
  int32_t lo[3] = {64, 64, 64}, hi[3] = {-1, -1, -1};
  int64_t s = 0, sr = 0, sg = 0, sb = 0;
  ForEachCell(b, [&](int32_t cell, int32_t r, int32_t g, int32_t bb) {
    const int32_t c = q->cells[cell];
    if (c == -1) return;
    lo[0] = std::min(lo[0], r), hi[0] = std::max(hi[0], r);
    lo[1] = std::min(lo[1], g), hi[1] = std::max(hi[1], g);
    lo[2] = std::min(lo[2], bb), hi[2] = std::max(hi[2], bb);
    const int64_t w = int64_t(c) + 1;
    s += w;
    sr += w * r;
    sg += w * g;
    sb += w * bb;
  });
  if (hi[0] >= 0) {
    b.r0 = lo[0], b.r1 = hi[0];
    b.g0 = lo[1], b.g1 = hi[1];
    b.b0 = lo[2], b.b1 = hi[2];
  }
  b.dr = b.r1 - b.r0;
  b.dg = b.g1 - b.g0;
  b.db = b.b1 - b.b0;
  b.spread = (b.db * b.db + b.dr * b.dr + b.dg * b.dg) * 121;
  int32_t mr = 0, mg = 0, mb = 0;
  if (s > 0) {
    mr = int32_t(std::nearbyint(double(sr) / double(s)));
    mg = int32_t(std::nearbyint(double(sg) / double(s)));
    mb = int32_t(std::nearbyint(double(sb) / double(s)));
  }
  double vr = 0, vg = 0, vb = 0;
  ForEachCell(b, [&](int32_t cell, int32_t r, int32_t g, int32_t bb) {
    const int32_t c = q->cells[cell];
    if (c <= 0) return;  // cells of two pixels or more
    vr += double(c) * double((r - mr) * (r - mr)) * kWeightR;
    vg += double(c) * double((g - mg) * (g - mg)) * kWeightG;
    vb += double(c) * double((bb - mb) * (bb - mb)) * kWeightB;
  });
  b.varR = vr, b.varG = vg, b.varB = vb;
  b.midR = (b.r0 + b.r1) / 2;
  b.midG = (b.g0 + b.g1) / 2;
  b.midB = (b.b0 + b.b1) / 2;
}

// Splits the box with the largest channel variance at that channel's
// midpoint until the target is reached. The variances count only cells of
// two pixels or more, so they can all be 0 (boxes of one-pixel cells, as in
// small or noisy pictures); choosing among zeros would keep cutting the first
// box, along an axis that may be a single plane, and append empty boxes.
// Then the box of the largest spread is cut across its longest side.
void SplitBoxes(PalWork* q) {
  PathScope path("PalOpt.SplitBoxes");
  PalBox& whole = q->boxes[0];
  whole = PalBox{};
  whole.r1 = whole.g1 = whole.b1 = 63;
  ShrinkBox(q, whole);
  q->boxCount = 1;
  while (q->boxCount < q->target) {
    double best = -1;
    int32_t chosen = -1, axis = -1;
    for (int32_t i = 0; i < q->boxCount; ++i) {
      const PalBox& b = q->boxes[i];
      if (b.spread <= 0) continue;
      const double vars[3] = {b.varR, b.varG, b.varB};
      const int32_t extents[3] = {b.dr, b.dg, b.db};
      for (int a = 0; a < 3; ++a)
        if (extents[a] > 0 && vars[a] > best) best = vars[a], chosen = i, axis = a;
    }
    if (chosen < 0) break;
    if (best <= 0) {
      for (int32_t i = 0; i < q->boxCount; ++i)
        if (q->boxes[i].spread > q->boxes[chosen].spread) chosen = i;
      const PalBox& b = q->boxes[chosen];
      axis = b.dg > b.dr ? 1 : 0;
      if (b.db > std::max(b.dr, b.dg)) axis = 2;
    }
    PalBox& old = q->boxes[chosen];
    PalBox& add = q->boxes[q->boxCount++];
    add = old;
    switch (axis) {
      case 0:
        old.r1 = old.midR, add.r0 = old.midR + 1;
        break;
      case 1:
        old.g1 = old.midG, add.g0 = old.midG + 1;
        break;
      default:
        old.b1 = old.midB, add.b0 = old.midB + 1;
        break;
    }
    ShrinkBox(q, old);
    ShrinkBox(q, add);
  }
}

// One entry per box: the count-weighted mean colour; then every cell of the
// box points to it.
void CreateHighPalette(PalWork* q) {
  PathScope path("PalOpt.CreateHighPalette");
  for (int32_t i = 0; i < q->boxCount; ++i) {
    const PalBox& b = q->boxes[i];
    int64_t s = 0, sr = 0, sg = 0, sb = 0;
    ForEachCell(b, [&](int32_t cell, int32_t r, int32_t g, int32_t bb) {
      const int64_t w = int64_t(q->cells[cell]) + 1;
      s += w;
      sr += w * r;
      sg += w * g;
      sb += w * bb;
    });
    uint8_t* e = q->pal[i];
    if (s > 0) {
      e[0] = uint8_t(q->corr[int32_t(std::trunc(double(4 * sb) / double(s)))]);
      e[1] = uint8_t(q->corr[int32_t(std::trunc(double(4 * sg) / double(s)))]);
      e[2] = uint8_t(q->corr[int32_t(std::trunc(double(4 * sr) / double(s)))]);
    } else {
      e[0] = e[1] = e[2] = 0;
    }
    ForEachCell(b, [&](int32_t cell, int32_t, int32_t, int32_t) { q->cells[cell] = i; });
  }
}

// Few enough colours: one entry per non-empty cell, in cell order.
void CreateLowPalette(PalWork* q) {
  PathScope path("PalOpt.CreateLowPalette");
  int32_t i = 0;
  for (int32_t cell = 0; cell < kPalCells; ++cell) {
    if (q->cells[cell] == -1) continue;
    uint8_t* e = q->pal[i];
    e[0] = uint8_t(4 * (cell >> 12));
    e[1] = uint8_t(4 * ((cell >> 6) & 63));
    e[2] = uint8_t(4 * (cell & 63));
    q->cells[cell] = i++;
  }
}

void SetDarkColorFirst(PalWork* q) {
  PathScope path("PalOpt.SetDarkColorFirst");
  const int32_t e = PalNearest(q, 0, 0, 0, q->target);
  if (e == 0) return;
  std::swap_ranges(q->pal[0], q->pal[0] + 3, q->pal[e]);
  for (int32_t& c : q->cells) {
    if (c == 0)
      c = e;
    else if (c == e)
      c = 0;
  }
}

// --- mappers ----------------------------------------------------------------------

// The inverse-map entry of a colour's cell; an unknown cell gets the nearest
// entry, which is kept for the next pixel of that cell.
inline uint8_t Lookup(PalWork* q, int32_t r, int32_t g, int32_t b) {
  int32_t& c = q->cells[CellOf(r, g, b)];
  if (c == -1) [[unlikely]]
    c = PalNearest(q, r, g, b, q->target);
  return uint8_t(c);
}

void RemapPlain(const PalWork* q, const uint8_t* px, int32_t stride, int64_t n, uint8_t* out) {
  PathScope path("PalOpt.RemapPlain24");
  for (int64_t i = 0; i < n; ++i, px += stride) out[i] = uint8_t(q->cells[CellOf(px[2], px[1], px[0])]);
}

void Remap8(const PalWork* q, const Qimg* img, int64_t n, uint8_t* out) {
  PathScope path("PalOpt.Remap8");
  uint8_t trans[256];
  for (int k = 0; k < 256; ++k) {
    const uint8_t* e = img->pal[k];
    trans[k] = uint8_t(q->cells[CellOf(e[2], e[1], e[0])]);
  }
  const uint8_t* p = ImgPixels(img);
  for (int64_t i = 0; i < n; ++i) out[i] = trans[p[i]];
}

inline int32_t Clamp255(int32_t v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

void RemapDitherLite24(PalWork* q, const uint8_t* px, int32_t stride, int32_t width,
                       int32_t height, uint8_t* out) {
  PathScope path("PalOpt.RemapDitherLite24");
  const uint8_t* matrix = PalDitherMatrix();
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* mrow = matrix + (y & 127) * 128;
    for (int32_t x = 0; x < width; ++x, px += stride) {
      const uint8_t* e = q->pal[Lookup(q, px[2], px[1], px[0])];
      const int32_t m = 2 * mrow[x & 127];
      const int32_t b = Clamp255(e[0] + m * (px[0] - e[0]) / 255);
      const int32_t g = Clamp255(e[1] + m * (px[1] - e[1]) / 255);
      const int32_t r = Clamp255(e[2] + m * (px[2] - e[2]) / 255);
      *out++ = Lookup(q, r, g, b);
    }
  }
}

// Floyd-Steinberg weights over damped tables. The diffusion runs over two
// rolling row copies rather than the caller's pixels, which gives the same
// indices and leaves the source picture as it was. The four tables are kept
// side by side, so that one error gives its four shares in one read.
void RemapDitherHeavy24(PalWork* q, const uint8_t* px, int32_t stride, int32_t width,
                        int32_t height, uint8_t* out) {
  PathScope path("PalOpt.RemapDitherHeavy24");
  struct Shares {
    int32_t right, lowerLeft, below, lowerRight;  // weights 7, 3, 5, 1
  };
  std::vector<Shares> shares(513);
  {
    int32_t t[4][513];
    _MakeErrTable(7, t[0]);
    _MakeErrTable(3, t[1]);
    _MakeErrTable(5, t[2]);
    _MakeErrTable(1, t[3]);
    for (int i = 0; i < 513; ++i) shares[size_t(i)] = Shares{t[0][i], t[1][i], t[2][i], t[3][i]};
  }
  const Shares* sh = shares.data() + 256;
  const size_t rowBytes = size_t(width) * 3;
  std::vector<uint8_t> rows(2 * rowBytes);
  uint8_t* cur = rows.data();
  uint8_t* nxt = cur + rowBytes;
  auto load = [&](int32_t y, uint8_t* dst) {
    const uint8_t* s = px + int64_t(y) * width * stride;
    for (int32_t x = 0; x < width; ++x, s += stride, dst += 3) {
      dst[0] = s[0];
      dst[1] = s[1];
      dst[2] = s[2];
    }
  };
  auto add = [](uint8_t& v, int32_t d) { v = uint8_t(Clamp255(v + d)); };
  if (height > 0) load(0, cur);
  for (int32_t y = 0; y < height; ++y) {
    const bool below = y + 1 < height;
    if (below) load(y + 1, nxt);
    // The pixel being mapped, with the share of its left neighbour added,
    // travels in registers; only the row below is written.
    const uint8_t* c = cur;
    int32_t b = c[0], g = c[1], r = c[2];
    for (int32_t x = 0; x < width; ++x, c += 3) {
      const uint8_t index = Lookup(q, r, g, b);
      *out++ = index;
      const bool right = x + 1 < width;
      if (x == 0 && (y & 1) == 0) {
        if (right) b = c[3], g = c[4], r = c[5];
        continue;
      }
      const uint8_t* e = q->pal[index];
      const Shares& sb = sh[b - e[0]];
      const Shares& sg = sh[g - e[1]];
      const Shares& sr = sh[r - e[2]];
      if (below) {
        uint8_t* n = nxt + 3 * x;
        if (x > 0) add(n[-3], sb.lowerLeft), add(n[-2], sg.lowerLeft), add(n[-1], sr.lowerLeft);
        add(n[0], sb.below), add(n[1], sg.below), add(n[2], sr.below);
        if (right) add(n[3], sb.lowerRight), add(n[4], sg.lowerRight), add(n[5], sr.lowerRight);
      }
      if (right) {
        b = Clamp255(c[3] + sb.right);
        g = Clamp255(c[4] + sg.right);
        r = Clamp255(c[5] + sr.right);
      }
    }
    std::swap(cur, nxt);
  }
}

// 64 levels, 256 cells each, ordered by a two-dimensional low-discrepancy
// sequence (the R2 sequence in 64-bit fixed point, so the order is exact),
// which spreads every level evenly without any short period. The first row
// then gets its fixed opening by exchanges, which keep the level counts.
std::array<uint8_t, 16384> BuildDitherMatrix_() {
  constexpr uint64_t kA1 = 0xC13FA9A902A6328Full;  // 2^64 / plastic number
  constexpr uint64_t kA2 = 0x91E10DA5C79E7B1Cull;  // 2^64 / plastic number^2
  std::vector<std::pair<uint64_t, int32_t>> order(16384);
  for (int32_t y = 0; y < 128; ++y)
    for (int32_t x = 0; x < 128; ++x) {
      const uint64_t v = uint64_t(x) * kA1 + uint64_t(y) * kA2 + (uint64_t(1) << 63);
      order[size_t(y * 128 + x)] = {v, y * 128 + x};
    }
  std::sort(order.begin(), order.end());
  std::array<uint8_t, 16384> m{};
  for (int32_t rank = 0; rank < 16384; ++rank) {
    const int32_t k = rank >> 8;
    m[size_t(order[size_t(rank)].second)] = uint8_t((k * 255 + 31) / 63);
  }
  static const uint8_t kOpening[16] = {0,   166, 93,  20,  69,  158, 28, 61,
                                       251, 93,  162, 206, 125, 190, 36, 130};
  for (size_t j = 0; j < 16; ++j) {
    if (m[j] == kOpening[j]) continue;
    size_t k = 16;
    while (m[k] != kOpening[j]) ++k;
    std::swap(m[j], m[k]);
  }
  return m;
}

}  // namespace

PalWork* PalWorkBlock() { return WorkAlive() ? quantP : nullptr; }

const uint8_t* PalDitherMatrix() {
  static const std::array<uint8_t, 16384> matrix = BuildDitherMatrix_();
  return matrix.data();
}

void _MakeErrTable(int32_t weight, int32_t* t) {
  std::fill(t, t + 513, 0);
  for (int32_t i = 0; i < 20; ++i) {
    const int32_t b = int32_t(std::nearbyint(weight * i * 0.0625));  // halves to even
    t[256 + i] = b;
    t[256 - i] = -b;
    t[275 + i] = b / 2;
    t[237 - i] = -(b / 2);
    t[294 + i] = b / 4;
    t[218 - i] = -(b / 4);
  }
}

// The green term is tested first: most entries are passed over after one
// multiplication. Ties keep the lower index.
int32_t PalNearest(const PalWork* q, int32_t red, int32_t green, int32_t blue, int32_t count) {
  int32_t best = INT32_MAX, index = 0;
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* e = q->pal[i];
    const int32_t dg = green - e[1];
    int32_t d = dg * dg * kWeightG;
    if (d > best) continue;
    const int32_t dr = red - e[2], db = blue - e[0];
    d += dr * dr * kWeightR + db * db * kWeightB;
    if (d < best) best = d, index = i;
  }
  return index;
}

void PalInit() {
  Routine("PalOpt.PalInit", [] {
    if (!WorkAlive()) {
      quantP = nullptr;
      _memalloc_(&quantP, int32_t(sizeof(PalWork)), 2401, MEM_BLOCK, "PalOpt.PalInit.quantP");
    }
    PalClearVars();
  });
}

void PalClearVars() {
  PathScope path("PalOpt.PalClearVars");
  PalWork* q = Work();
  std::fill(std::begin(q->cells), std::end(q->cells), -1);
  q->distinct = 0;
}

void PalCountColors(const Qimg* img) {
  Routine("PalOpt.PalCountColors", [&] {
    PalWork* q = Work();
    CheckPtr(img);
    const int64_t n = int64_t(img->resX) * img->resY;
    if (n <= 0) return;
    const uint8_t* p = CheckPtr(ImgPixels(img));
    int32_t* cells = q->cells;
    switch (img->bpp) {
      case 24:
      case 32: {
        const int32_t stride = img->bytesPP;
        for (int64_t i = 0; i < n; ++i, p += stride) CountOne(cells[CellOf(p[2], p[1], p[0])]);
        break;
      }
      case 16:
        for (int64_t i = 0; i < n; ++i, p += 2) {
          const uint32_t w = GetLE16(p);
          CountOne(cells[((w >> 11) << 1) | (((w >> 5) & 63) << 6) | ((w & 31) << 13)]);
        }
        break;
      case 15:
        for (int64_t i = 0; i < n; ++i, p += 2) {
          const uint32_t w = GetLE16(p);
          CountOne(cells[(((w >> 10) & 31) << 1) | (((w >> 5) & 31) << 7) | ((w & 31) << 13)]);
        }
        break;
      case 8:
        Count8(q, img, n);
        break;
      default:
        ErrRaise(ERR_IMG, 1, 2402);
        return;
    }
  });
}

void PalReduce(int32_t colours) {
  Routine("PalOpt.PalReduce", [&] {
    PalWork* q = Work();
    std::memset(q->pal, 255, sizeof q->pal);
    q->target = std::max(2, std::min(colours, 256));
    q->distinct = int32_t(std::count_if(std::begin(q->cells), std::end(q->cells),
                                        [](int32_t c) { return c != -1; }));
    for (int32_t v = 0; v < 256; ++v) q->corr[v] = v < 4 ? 0 : v;
    if (q->target < q->distinct) {
      SplitBoxes(q);
      CreateHighPalette(q);
    } else {
      q->boxCount = 0;
      CreateLowPalette(q);
    }
    SetDarkColorFirst(q);
  });
}

void PalRemap(Qimg* img, Qimg* out, int32_t mode) {
  Routine("PalOpt.PalRemap", [&] {
    if (mode < 0 || mode > 2) return;
    PalWork* q = Work();
    CheckPtr(img);
    CheckPtr(out);
    if (img == out) {
      // Mapping a picture onto itself: map into a temporary and take it over.
      Qimg t{};
      PalRemap(img, &t, mode);
      ImgCopy(&t, img);
      ImgFree(&t);
      return;
    }
    const int32_t bpp = img->bpp;
    if (bpp != 8 && bpp != 15 && bpp != 16 && bpp != 24 && bpp != 32) {
      ErrRaise(ERR_IMG, 1, 2403);
      return;
    }
    const int32_t width = img->resX, height = img->resY;
    const int64_t n = int64_t(width) * height;
    if (n > 0) CheckPtr(img->pixPtr);
    _imgalloc_(out, width, height, 8, 2404, "PalOpt.PalRemap.img8bit");
    std::memcpy(out->pal, q->pal, sizeof out->pal);
    uint8_t* o = ImgPixels(out);
    if (bpp == 8) {
      Remap8(q, img, n, o);
      return;
    }
    Qimg temp24{};
    const Qimg* src = img;
    if (bpp == 15 || bpp == 16) {
      ImgConvBpp(img, &temp24, 24);
      src = &temp24;
    }
    const uint8_t* px = ImgPixels(src);
    const int32_t stride = src->bytesPP;
    switch (mode) {
      case 0:
        RemapPlain(q, px, stride, n, o);
        break;
      case 1:
        RemapDitherLite24(q, px, stride, width, height, o);
        break;
      default:
        RemapDitherHeavy24(q, px, stride, width, height, o);
        break;
    }
    ImgFree(&temp24);
  });
}

void PalDone() {
  PathScope path("PalOpt.PalDone");
  if (WorkAlive()) MemFree(&quantP);
  quantP = nullptr;
}

void ConvTo8bit(Qimg* img, Qimg* out, int32_t mode) {
  Routine("PalOpt.ConvTo8bit", [&] {
    PalInit();
    PalCountColors(img);
    PalReduce(256);
    PalRemap(img, out, mode);
    PalDone();
  });
}

}  // namespace zelo
