// Geometry: resize, resample, insert and sprite. Every size step is integer
// fixed point with kGeoOne as one source pixel; the steppings below decide
// which source pixels are taken, so they are kept exactly as they are.
#include "image/geometry.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"

namespace zelo {
namespace {

// An operation needs a source with pixels and a target of at least 1 x 1.
bool GeometryArgsValid_(const Qimg* src, int32_t width, int32_t height) {
  return width >= 1 && height >= 1 && src->resX >= 1 && src->resY >= 1 && src->pixPtr != nullptr;
}

// --- resize ---------------------------------------------------------------------

// One row through the column map. At 24 bits every pixel but the last is
// copied as 4 bytes (the fourth is overwritten by the next pixel) when the
// source row is followed by more pixel data, which the last row is not.
void ScaleRow_(const uint8_t* s, uint8_t* d, const int32_t* map, int32_t w1, int32_t bytesPP,
               bool identity, bool overread) {
  if (identity) {
    std::memcpy(d, s, size_t(w1) * size_t(bytesPP));
  } else if (bytesPP == 1) {
    for (int32_t j = 0; j < w1; ++j) d[j] = s[map[j]];
  } else {
    int32_t j = 0;
    if (overread)
      for (; j + 1 < w1; ++j, d += 3) std::memcpy(d, s + int64_t(map[j]) * 3, 4);
    for (; j < w1; ++j, d += 3) std::memcpy(d, s + int64_t(map[j]) * 3, 3);
  }
}

// --- resample -------------------------------------------------------------------

// Exact truncating division by a fixed divisor d of sums of at most d bytes:
// a multiply and a shift (floor(x * m / 2^k) = floor(x / d) whenever
// 255 * d * d < 2^k), plain division for huge divisors.
struct Divider {
  uint64_t m = 0;
  int k = 0;
  uint64_t d = 1;
  explicit Divider(uint64_t divisor = 1) : d(divisor) {
    if (d < (uint64_t(1) << 22)) {
      int lg = 0;
      while ((uint64_t(2) << lg) <= d) ++lg;
      k = 31 + lg;
      m = ((uint64_t(1) << k) + d - 1) / d;
    }
  }
  uint8_t operator()(uint64_t x) const { return uint8_t(m != 0 ? (x * m) >> k : x / d); }
};

// A run of source pixels or rows averaged into one output pixel or row.
struct Box {
  int64_t start;
  int64_t count;
};

inline uint8_t Mid(uint8_t a, uint8_t b) { return uint8_t((unsigned(a) + b) >> 1); }

void MidRow(const uint8_t* a, const uint8_t* b, uint8_t* out, int64_t n) {
  for (int64_t i = 0; i < n; ++i) out[i] = Mid(a[i], b[i]);
}

// Horizontal box shrink: output pixel j averages pixels from i, one more
// whenever the accumulator has passed the next pixel boundary. A pixel past
// the row is never taken (the stepping asks for one at the end of some rows),
// and the last output reaches the end of the row (only sizes beyond the
// fixed point's reach would leave pixels over).
std::vector<Box> ShrinkBoxesX_(int64_t w0, int64_t w1) {
  const int64_t xstep = w0 * kGeoOne / w1;
  std::vector<Box> boxes(static_cast<size_t>(w1));
  int64_t i = 0, a = 0, p = 0;
  for (int64_t j = 0; j < w1; ++j) {
    Box& b = boxes[static_cast<size_t>(j)];
    b.start = std::min(i, w0 - 1);
    b.count = 1;
    ++i;
    a += xstep;
    p += kGeoOne;
    if (a >= p) {
      do {
        if (i < w0) ++b.count;
        ++i;
        p += kGeoOne;
      } while (p < a && i < w0);
    }
  }
  Box& last = boxes.back();
  last.count = w0 - last.start;
  return boxes;
}

// Vertical box shrink: the groups of source rows averaged into each output
// row. The stepping yields exactly h1 groups for sizes up to the fixed
// point's reach; beyond it the groups are capped at h1 and the last one
// reaches the last row.
std::vector<Box> ShrinkBoxesY_(int64_t h0, int64_t h1) {
  const int64_t ystep = h0 * kGeoOne / h1;
  std::vector<Box> groups;
  groups.reserve(static_cast<size_t>(h1));
  int64_t i = 0, yacc = 0, ypos = 0;
  do {
    Box g{i, 1};
    yacc += ystep;
    ypos += kGeoOne;
    if (yacc > ypos) {
      do {
        ++i;
        if (i < h0) ++g.count;
        ypos += kGeoOne;
      } while (ypos < yacc);
    }
    groups.push_back(g);
    ++i;
  } while (i < h0 && int64_t(groups.size()) < h1);
  while (int64_t(groups.size()) < h1) groups.push_back(Box{h0 - 1, 1});
  groups.back().count = h0 - groups.back().start;
  return groups;
}

// The pixels of the horizontal stretch: each output is the midpoint of two
// inputs (the same input twice for a plain copy).
std::vector<std::pair<int32_t, int32_t>> StretchPlan_(int64_t c, int64_t w1, int64_t step) {
  std::vector<std::pair<int32_t, int32_t>> plan;
  plan.reserve(static_cast<size_t>(w1));
  auto input = [&](int64_t i) { return int32_t(std::min(i, c - 1)); };
  plan.emplace_back(0, 0);
  int64_t i = 1, p = kGeoOne, a = step;
  while (int64_t(plan.size()) < w1) {
    if (a < p) {
      plan.emplace_back(input(i - 1), input(i));
      a += step;
      if (int64_t(plan.size()) >= w1) break;
    }
    plan.emplace_back(input(i), input(i));
    ++i;
    p += kGeoOne;
    a += step;
  }
  return plan;
}

class Resampler {
 public:
  Resampler(const Qimg* src, Qimg* dst, int32_t w1, int32_t h1)
      : src_(src), dst_(dst), w0_(src->resX), h0_(src->resY), w1_(w1), h1_(h1) {}

  void Run() {
    const int64_t r0 = 3 * w0_, r1 = 3 * w1_, maxR = std::max(r0, r1);
    xstep_ = w0_ * kGeoOne / w1_;
    const bool vshrink = h1_ < h0_;
    if (xstep_ > kGeoOne) {
      xboxes_ = ShrinkBoxesX_(w0_, w1_);
      for (const Box& b : xboxes_) xdiv_.emplace_back(uint64_t(b.count));
    } else {
      PlanEnlargeX_();
    }
    std::vector<Box> ygroups;
    int64_t maxGroup = 1;
    if (vshrink) {
      ygroups = ShrinkBoxesY_(h0_, h1_);
      for (const Box& g : ygroups) maxGroup = std::max(maxGroup, g.count);
    }
    wideSums_ = uint64_t(maxGroup) * 255 > UINT32_MAX;
    // One work block: two row buffers for the horizontal pass, rows A and B
    // for the vertical enlargement, and the channel sums.
    const int64_t sumBytes = maxGroup > 2 ? r0 * (wideSums_ ? 8 : 4) : 0;
    const int64_t total = 4 * maxR + sumBytes;
    if (total > int64_t(INT32_MAX)) {
      ErrRaise(ERR_MEM, 5, 2310);
      return;
    }
    _memalloc_(&tmpbuf1_, int32_t(total), 2311, MEM_BLOCK, "ImgBasic.ImgResample.tmpbuf1");
    rowIn_ = tmpbuf1_;
    rowTmp_ = tmpbuf1_ + maxR;
    rowA_ = tmpbuf1_ + 2 * maxR;
    rowB_ = tmpbuf1_ + 3 * maxR;
    sums_ = tmpbuf1_ + 4 * maxR;

    const uint8_t* s = ImgPixels(src_);
    uint8_t* d = ImgPixels(dst_);
    if (vshrink) {
      for (int64_t m = 0; m < h1_; ++m) {
        const Box& g = ygroups[size_t(m)];
        HPass_(AverageRows_(s, g.start, g.count), d + m * r1);
      }
    } else {
      for (int64_t y = 0; y < h0_; ++y) HPass_(s + y * r0, d + y * r1);
      EnlargeY_(d);
    }
    MemFree(&tmpbuf1_);
  }

 private:
  // The average of count source rows from start (truncating per channel).
  const uint8_t* AverageRows_(const uint8_t* s, int64_t start, int64_t count) {
    const int64_t r0 = 3 * w0_;
    const uint8_t* first = s + start * r0;
    if (count == 1) return first;
    if (count == 2) {
      MidRow(first, first + r0, rowIn_, r0);
      return rowIn_;
    }
    if (wideSums_)
      SumRows_<uint64_t>(first, count, r0);
    else
      SumRows_<uint32_t>(first, count, r0);
    return rowIn_;
  }

  template <class Sum>
  void SumRows_(const uint8_t* first, int64_t count, int64_t r0) {
    Sum* sums = reinterpret_cast<Sum*>(sums_);
    for (int64_t k = 0; k < r0; ++k) sums[k] = first[k];
    for (int64_t r = 1; r < count; ++r) {
      const uint8_t* row = first + r * r0;
      for (int64_t k = 0; k < r0; ++k) sums[k] += row[k];
    }
    const Divider div{uint64_t(count)};
    for (int64_t k = 0; k < r0; ++k) rowIn_[k] = div(sums[k]);
  }

  void PlanEnlargeX_() {
    int64_t xf = w1_ / w0_;
    int64_t c = w0_;
    int64_t step = xstep_;
    doublings_ = 0;
    if (xf > 1) {
      while (xf > 1) {
        c *= 2;
        ++doublings_;
        xf >>= 1;
      }
      step = c * kGeoOne / w1_;
    }
    stretch_ = step < kGeoOne || doublings_ == 0;
    if (stretch_) plan_ = StretchPlan_(c, w1_, step);
  }

  // One source row (w0 pixels) into one destination row (w1 pixels).
  void HPass_(const uint8_t* in, uint8_t* out) {
    if (xstep_ > kGeoOne) {
      BoxShrinkRow_(in, out);
      return;
    }
    // The doubling passes alternate between two buffers that are never the
    // input (which may be the averaged row in rowIn_); rows A and B are free
    // until the vertical enlargement.
    const uint8_t* cur = in;
    int64_t c = w0_;
    uint8_t* const bufs[2] = {rowTmp_, rowA_};
    for (int n = 0; n < doublings_; ++n) {
      uint8_t* next = bufs[n & 1];
      for (int64_t k = 0; k < c; ++k) {
        const uint8_t* a = cur + 3 * k;
        const uint8_t* b = k + 1 < c ? a + 3 : a;
        uint8_t* o = next + 6 * k;
        o[0] = a[0];
        o[1] = a[1];
        o[2] = a[2];
        o[3] = Mid(a[0], b[0]);
        o[4] = Mid(a[1], b[1]);
        o[5] = Mid(a[2], b[2]);
      }
      cur = next;
      c *= 2;
    }
    if (!stretch_) {
      std::memcpy(out, cur, size_t(3 * std::min<int64_t>(c, w1_)));
      return;
    }
    for (const auto& [i0, i1] : plan_) {
      const uint8_t* a = cur + 3 * int64_t(i0);
      const uint8_t* b = cur + 3 * int64_t(i1);
      out[0] = Mid(a[0], b[0]);
      out[1] = Mid(a[1], b[1]);
      out[2] = Mid(a[2], b[2]);
      out += 3;
    }
  }

  void BoxShrinkRow_(const uint8_t* in, uint8_t* out) {
    for (size_t j = 0; j < xboxes_.size(); ++j, out += 3) {
      const Box& b = xboxes_[j];
      const uint8_t* p = in + 3 * b.start;
      if (b.count == 1) {
        out[0] = p[0];
        out[1] = p[1];
        out[2] = p[2];
      } else if (b.count == 2) {
        out[0] = Mid(p[0], p[3]);
        out[1] = Mid(p[1], p[4]);
        out[2] = Mid(p[2], p[5]);
      } else {
        uint64_t s0 = 0, s1 = 0, s2 = 0;
        for (int64_t k = 0; k < b.count; ++k, p += 3) {
          s0 += p[0];
          s1 += p[1];
          s2 += p[2];
        }
        const Divider& div = xdiv_[j];
        out[0] = div(s0);
        out[1] = div(s1);
        out[2] = div(s2);
      }
    }
  }

  // Vertical enlargement in the destination, whose first h0 rows hold the
  // horizontally scaled rows: doubling passes that alternate between the
  // bottom and the top of the buffer, then a midpoint stretch. Rows are read
  // from the buffer as it is at that moment.
  void EnlargeY_(uint8_t* d) {
    const int64_t r1 = 3 * w1_;
    auto row = [&](int64_t k) { return d + k * r1; };
    int64_t yf = h1_ / h0_;
    int64_t bh = h0_;
    bool up = true;
    uint8_t* A = rowA_;
    uint8_t* B = rowB_;
    while (yf > 1) {
      if (up) {
        std::memcpy(A, row(bh - 1), size_t(r1));
        int64_t w = h1_ - 1;
        for (int64_t k = bh - 1; k >= 0; --k) {
          std::memcpy(B, row(k > 0 ? k - 1 : k), size_t(r1));
          std::memcpy(row(w), A, size_t(r1));
          MidRow(A, B, row(w - 1), r1);
          w -= 2;
          std::swap(A, B);
        }
      } else {
        const int64_t first = h1_ - bh;
        std::memcpy(A, row(first), size_t(r1));
        int64_t w = 0;
        for (int64_t k = first; k < h1_; ++k) {
          std::memcpy(B, row(k < h1_ - 1 ? k + 1 : k), size_t(r1));
          std::memcpy(row(w), A, size_t(r1));
          MidRow(A, B, row(w + 1), r1);
          w += 2;
          std::swap(A, B);
        }
      }
      bh *= 2;
      up = !up;
      yf >>= 1;
    }
    const int64_t step = bh * kGeoOne / h1_;
    if (step >= kGeoOne) return;
    const int64_t dir = up ? -1 : 1;
    int64_t r = up ? bh - 1 : h1_ - bh;
    int64_t w = up ? h1_ - 1 : 0;
    int64_t yacc = 0, ypos = 0;
    auto inside = [&](int64_t k) { return k >= 0 && k < h1_; };
    std::memcpy(A, row(r), size_t(r1));
    while (inside(w)) {
      int64_t next = r + dir;
      if (!inside(next)) next = std::clamp<int64_t>(r, 0, h1_ - 1);
      std::memcpy(B, row(next), size_t(r1));
      std::memcpy(row(w), A, size_t(r1));
      ypos += kGeoOne;
      yacc += step;
      if (yacc < ypos) {
        if (inside(w + dir)) MidRow(A, B, row(w + dir), r1);
        w += dir;
        yacc += step;
      }
      r += dir;
      w += dir;
      std::swap(A, B);
    }
  }

  const Qimg* src_;
  Qimg* dst_;
  int64_t w0_, h0_, w1_, h1_;
  int64_t xstep_ = 0;
  std::vector<Box> xboxes_;
  std::vector<Divider> xdiv_;
  int doublings_ = 0;
  bool stretch_ = false;
  std::vector<std::pair<int32_t, int32_t>> plan_;
  bool wideSums_ = false;
  uint8_t* tmpbuf1_ = nullptr;
  uint8_t* rowIn_ = nullptr;
  uint8_t* rowTmp_ = nullptr;
  uint8_t* rowA_ = nullptr;
  uint8_t* rowB_ = nullptr;
  uint8_t* sums_ = nullptr;
};

// --- insert and sprite ----------------------------------------------------------

bool SamePixel(const uint8_t* p, const uint8_t* key, int32_t bytes) {
  for (int32_t i = 0; i < bytes; ++i)
    if (p[i] != key[i]) return false;
  return true;
}

}  // namespace

void ResizeMapX_(int32_t w0, int32_t w1, int32_t* map) {
  const int64_t xstep = int64_t(w0) * kGeoOne / w1;
  map[0] = 0;
  if (xstep <= kGeoOne) {
    int64_t s = 1, p = kGeoOne, a = 0;
    for (int32_t j = 1; j < w1; ++j) {
      a += xstep;
      if (a >= p) {
        map[j] = int32_t(s);
        ++s;
        p += kGeoOne;
      } else {
        map[j] = int32_t(s - 1);
      }
    }
  } else {
    // Always skips source pixel 1: a 6-pixel row becomes 0, 2, 4, 5.
    int64_t s = 0, a = 0, p = 0;
    for (int32_t j = 1; j < w1; ++j) {
      ++s;
      a += xstep;
      p += kGeoOne;
      if (a >= p) {
        do {
          ++s;
          p += kGeoOne;
        } while (p < a);
      }
      map[j] = int32_t(std::min<int64_t>(s, w0 - 1));
    }
  }
}

void ResizeMapY_(int32_t h0, int32_t h1, int32_t* map) {
  const int64_t ystep = int64_t(h0) * kGeoOne / h1;
  int64_t i = 0, o = 0, A = 0, P = 0, filled = 0;
  do {
    map[o] = int32_t(i);
    filled = std::max(filled, o + 1);
    if (ystep > kGeoOne) {
      // Destination row k takes source row ceil(k * ystep / kGeoOne).
      A += ystep;
      ++o;
      while (A > P) {
        ++i;
        P += kGeoOne;
      }
    } else {
      P += kGeoOne;
      const int64_t f = o;
      if (f >= h1) break;
      while (A < P && o < h1) {
        map[o] = map[f];
        ++o;
        A += ystep;
      }
      filled = std::max(filled, o);
      ++i;
    }
  } while (i < h0 && o < h1);
  for (int64_t k = filled; k < h1; ++k) map[k] = h0 - 1;
}

void ImgResize(Qimg* src, Qimg* dst, int32_t width, int32_t height) {
  Routine("ImgBasic.ImgResize", [&] {
    CheckPtr(src);
    CheckPtr(dst);
    if (!GeometryArgsValid_(src, width, height)) {
      ErrRaise(ERR_GEN, 1, 2301);
      return;
    }
    QimgOpInfo info;
    QimgOp work;
    ImgInfo(&info, OP_RESIZE);
    ImgInitEx(&info, &work, src, dst, width, height);
    const Qimg* s = work.psrc;
    const int32_t w0 = s->resX, h0 = s->resY, bytesPP = s->bytesPP;
    std::vector<int32_t> xmap(static_cast<size_t>(width)), ymap(static_cast<size_t>(height));
    ResizeMapX_(w0, width, xmap.data());
    ResizeMapY_(h0, height, ymap.data());
    const bool identity = w0 == width;
    const int64_t r0 = work.srcRowBytes, r1 = work.dstRowBytes;
    const uint8_t* sp = ImgPixels(s);
    uint8_t* dp = ImgPixels(work.pdest);
    for (int32_t o = 0; o < height; ++o) {
      uint8_t* drow = dp + o * r1;
      if (o > 0 && ymap[size_t(o)] == ymap[size_t(o) - 1])
        std::memcpy(drow, drow - r1, size_t(r1));
      else
        ScaleRow_(sp + ymap[size_t(o)] * r0, drow, xmap.data(), width, bytesPP, identity,
                  ymap[size_t(o)] + 1 < h0);
    }
    ImgDone(&work);
    ErrRaise(ERR_IMG, 0, 2302);
  });
}

void ImgResample(Qimg* src, Qimg* dst, int32_t width, int32_t height) {
  Routine("ImgBasic.ImgResample", [&] {
    CheckPtr(src);
    CheckPtr(dst);
    if (!GeometryArgsValid_(src, width, height)) {
      ErrRaise(ERR_GEN, 1, 2303);
      return;
    }
    QimgOpInfo info;
    QimgOp work;
    ImgInfo(&info, OP_RESAMPLE);
    ImgInitEx(&info, &work, src, dst, width, height);
    Resampler(work.psrc, work.pdest, width, height).Run();
    ImgSetGeometry(work.pdest, width, height, 24);
    ImgDone(&work);
    ErrRaise(ERR_IMG, 0, 2304);
  });
}

void AutoPut_(int32_t op, Qimg* src, Qimg* dst, uint32_t key, int32_t y, int32_t x) {
  Routine("ImgBasic.AutoPut_", [&] {
    CheckPtr(src);
    CheckPtr(dst);
    if (x >= dst->resX || y >= dst->resY || src == dst) return;
    // Nothing of the source lands inside the destination.
    if (dst->resX < 1 || dst->resY < 1 || src->resX < 1 || src->resY < 1) return;
    if (int64_t(x) + src->resX <= 0 || int64_t(y) + src->resY <= 0) return;
    // Both are read (the destination may be converted first).
    CheckPtr(src->pixPtr);
    CheckPtr(dst->pixPtr);
    if (dst->hostPix != 0) {
      // The framework would give the destination a fresh buffer and lose the
      // host's picture: work on a library copy and bring the result back.
      Qimg copy{};
      ImgCopy(dst, &copy);
      AutoPut_(op, src, &copy, key, y, x);
      if (copy.bpp == dst->bpp) {
        std::memcpy(dst->pixPtr, copy.pixPtr, size_t(int64_t(copy.resX) * copy.resY * copy.bytesPP));
        if (copy.bpp == 8) std::memcpy(dst->pal, copy.pal, sizeof dst->pal);
      } else {
        ImgFree(dst);
        ImgCopy(&copy, dst);
      }
      ImgFree(&copy);
      return;
    }
    QimgOpInfo info;
    QimgOp work;
    ImgInfo(&info, op);
    ImgInitEx(&info, &work, src, dst, dst->resX, dst->resY);
    const Qimg* s = work.psrc;
    Qimg* d = work.pdest;
    const int32_t bytes = d->bytesPP;
    // Clipped to the destination on every side.
    const int64_t sx = std::max(0, -x), sy = std::max(0, -y);
    const int64_t dx = std::max(0, x), dy = std::max(0, y);
    const int64_t w = std::min<int64_t>(s->resX - sx, d->resX - dx);
    const int64_t h = std::min<int64_t>(s->resY - sy, d->resY - dy);
    if (w > 0 && h > 0) {
      const uint8_t* sp = ImgPixels(s);
      uint8_t* dp = ImgPixels(d);
      const int64_t sr = int64_t(s->resX) * bytes, dr = int64_t(d->resX) * bytes;
      uint8_t keyBytes[4];
      PutLE32(keyBytes, key);
      for (int64_t r = 0; r < h; ++r) {
        const uint8_t* srow = sp + (sy + r) * sr + sx * bytes;
        uint8_t* drow = dp + (dy + r) * dr + dx * bytes;
        if (op == OP_INSERT) {
          std::memcpy(drow, srow, size_t(w * bytes));
        } else {
          for (int64_t i = 0; i < w; ++i, srow += bytes, drow += bytes)
            if (!SamePixel(srow, keyBytes, bytes)) std::memcpy(drow, srow, size_t(bytes));
        }
      }
    }
    ImgDone(&work);
  });
}

void ImgInsert(Qimg* src, Qimg* dst, int32_t x, int32_t y) {
  PathScope path("ImgBasic.ImgInsert");
  AutoPut_(OP_INSERT, src, dst, 0, y, x);
}

void ImgSprite(Qimg* src, Qimg* dst, int32_t x, uint32_t key, int32_t y) {
  PathScope path("ImgBasic.ImgSprite");
  AutoPut_(OP_SPRITE, src, dst, key, y, x);
}

}  // namespace zelo
