#include "image/geometry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "support/image_helpers.h"

namespace zelo {
namespace {

using test::Bytes;
using test::Levels;
using test::MakeGrey;
using test::MakeImg;
using test::MakeRandom;

class GeometryTest : public test::TrackedBlocksTest {};

std::vector<int> Iota(int n, int from = 0) {
  std::vector<int> v(static_cast<size_t>(n));
  std::iota(v.begin(), v.end(), from);
  return v;
}

// --- ImgResize ---------------------------------------------------------------------

struct ResizeCase {
  int w0, h0, w1, h1;
  std::vector<int> taken;  // source pixel (row) per output pixel (row)
};

TEST_F(GeometryTest, ResizeTakesTheSteppedSourcePixels) {
  std::vector<int> to100 = Iota(99, 2);
  to100.insert(to100.begin(), 0);
  const ResizeCase cases[] = {
      {6, 1, 4, 1, {0, 2, 4, 5}},
      {1, 6, 1, 4, {0, 2, 3, 5}},
      {101, 1, 100, 1, to100},
      {3, 1, 7, 1, {0, 0, 0, 1, 1, 2, 2}},
      {1, 3, 1, 7, {0, 0, 0, 1, 1, 2, 2}},
      {5, 1, 5, 1, {0, 1, 2, 3, 4}},
  };
  for (const auto& c : cases) {
    // 8-bit pictures whose index is the pixel's position show what was taken.
    const int n0 = c.w0 * c.h0;
    Qimg src = MakeImg(c.w0, c.h0, 8);
    for (int i = 0; i < n0; ++i) ImgPixels(&src)[i] = uint8_t(i);
    src.pal[3][1] = 77;
    Qimg dst{};
    ImgResize(&src, &dst, c.w1, c.h1);
    ASSERT_TRUE(ErrNone());
    EXPECT_EQ(dst.bpp, 8);
    EXPECT_EQ(dst.pal[3][1], 77) << "the palette travels with the indices";
    const std::vector<uint8_t> got = Bytes(dst);
    EXPECT_EQ(std::vector<int>(got.begin(), got.end()), c.taken)
        << c.w0 << "x" << c.h0 << " -> " << c.w1 << "x" << c.h1;
    ImgFree(&src);
    ImgFree(&dst);
  }
}

// Independent statements of the stepping: enlarging takes floor(k * step),
// shrinking rows takes ceil(k * step) (step in source pixels, fixed point).
TEST_F(GeometryTest, ResizeMapsAgreeWithTheClosedForms) {
  for (int32_t n0 : {1, 2, 3, 7, 64, 101, 640, 1080}) {
    for (int32_t n1 : {1, 2, 5, 9, 100, 333, 1079, 1920, 2161}) {
      const int64_t step = int64_t(n0) * kGeoOne / n1;
      std::vector<int32_t> xmap(static_cast<size_t>(n1)), ymap(static_cast<size_t>(n1));
      ResizeMapX_(n0, n1, xmap.data());
      ResizeMapY_(n0, n1, ymap.data());
      for (int64_t k = 0; k < n1; ++k) {
        ASSERT_GE(xmap[size_t(k)], 0);
        ASSERT_LT(xmap[size_t(k)], n0);
        ASSERT_LT(ymap[size_t(k)], n0);
        if (step <= kGeoOne) {
          EXPECT_EQ(xmap[size_t(k)], k * step / kGeoOne) << n0 << "->" << n1;
          EXPECT_EQ(ymap[size_t(k)], k * step / kGeoOne) << n0 << "->" << n1;
        } else {
          EXPECT_EQ(ymap[size_t(k)], (k * step + kGeoOne - 1) / kGeoOne) << n0 << "->" << n1;
          if (k > 0) {
            EXPECT_GT(xmap[size_t(k)], xmap[size_t(k) - 1]);
          }
        }
      }
    }
  }
}

TEST_F(GeometryTest, ResizeOfTrueColourWorksAt24BitsAndInPlace) {
  // 15 bits come out at 24; the three bytes of each pixel travel together.
  Qimg src = MakeRandom(5, 3, 24, 7);
  Qimg copy{};
  ImgCopy(&src, &copy);
  ImgResize(&src, &src, 3, 6);  // one record: built in a temporary
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(src.resX, 3);
  EXPECT_EQ(src.resY, 6);
  std::vector<int32_t> xmap(3), ymap(6);
  ResizeMapX_(5, 3, xmap.data());
  ResizeMapY_(3, 6, ymap.data());
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 3; ++x)
      for (int c = 0; c < 3; ++c)
        EXPECT_EQ(ImgPixels(&src)[(y * 3 + x) * 3 + c],
                  ImgPixels(&copy)[(ymap[size_t(y)] * 5 + xmap[size_t(x)]) * 3 + c]);
  Qimg w15 = MakeImg(2, 1, 15, {0xFF, 0x7F, 0x00, 0x00});
  Qimg d{};
  ImgResize(&w15, &d, 4, 1);
  EXPECT_EQ(d.bpp, 24);
  EXPECT_EQ(Bytes(d), (std::vector<uint8_t>{0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0, 0, 0, 0, 0, 0}));
  ImgFree(&src);
  ImgFree(&copy);
  ImgFree(&w15);
  ImgFree(&d);
}

// --- ImgResample -------------------------------------------------------------------

struct ResampleCase {
  std::vector<int> in;
  int n1;
  std::vector<int> across;  // as a row
  std::vector<int> down;    // as a column
};

TEST_F(GeometryTest, ResampleEdgeCases) {
  const ResampleCase cases[] = {
      {{0, 100}, 4, {0, 50, 100, 100}, {0, 0, 50, 100}},
      {{0, 100}, 3, {0, 50, 100}, {0, 50, 100}},
      {{0, 90, 180}, 7, {0, 22, 45, 90, 135, 180, 180}, {0, 0, 0, 45, 90, 135, 180}},
      {{10, 20, 30, 40, 50, 60}, 4, {15, 35, 50, 60}, {15, 30, 45, 60}},
      {{10, 20, 30}, 3, {10, 20, 30}, {10, 20, 30}},
  };
  for (const auto& c : cases) {
    const int n0 = int(c.in.size());
    Qimg row = MakeGrey(n0, 1, c.in), col = MakeGrey(1, n0, c.in);
    Qimg r1{}, c1{};
    ImgResample(&row, &r1, c.n1, 1);
    ImgResample(&col, &c1, 1, c.n1);
    ASSERT_TRUE(ErrNone());
    EXPECT_EQ(Levels(r1), c.across) << n0 << " -> " << c.n1 << " across";
    EXPECT_EQ(Levels(c1), c.down) << n0 << " -> " << c.n1 << " down";
    for (Qimg* img : {&row, &col, &r1, &c1}) ImgFree(img);
  }
}

TEST_F(GeometryTest, ResampleShrinksOneWayAndEnlargesTheOther) {
  // Rows that only vary down: the vertical pass decides alone; and the same
  // across. 6 -> 4 averages, 2 -> 4 doubles.
  Qimg down = MakeGrey(2, 6, {10, 10, 20, 20, 30, 30, 40, 40, 50, 50, 60, 60});
  Qimg across = MakeGrey(6, 2, {10, 20, 30, 40, 50, 60, 10, 20, 30, 40, 50, 60});
  Qimg a{}, b{};
  ImgResample(&down, &a, 4, 4);
  ImgResample(&across, &b, 4, 4);
  EXPECT_EQ(Levels(a), (std::vector<int>{15, 15, 15, 15, 30, 30, 30, 30, 45, 45, 45, 45, 60, 60, 60, 60}));
  EXPECT_EQ(Levels(b), (std::vector<int>{15, 35, 50, 60, 15, 35, 50, 60, 15, 35, 50, 60, 15, 35, 50, 60}));
  Qimg ramp = MakeGrey(2, 6, {0, 100, 0, 100, 0, 100, 0, 100, 0, 100, 0, 100});
  ImgResample(&ramp, &ramp, 4, 2);
  EXPECT_EQ(Levels(ramp), (std::vector<int>{0, 50, 100, 100, 0, 50, 100, 100}));
  for (Qimg* img : {&down, &across, &a, &b, &ramp}) ImgFree(img);
}

TEST_F(GeometryTest, ResampleOfAPaletteImageYields24Bits) {
  Qimg src = MakeImg(2, 2, 8, {0, 1, 1, 0});
  src.pal[1][0] = 200;
  ImgResample(&src, &src, 1, 1);
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(src.bpp, 24);
  EXPECT_EQ(src.resX, 1);
  EXPECT_EQ(Bytes(src), (std::vector<uint8_t>{100, 0, 0}));
  ImgFree(&src);
}

// A plain two-pass box filter, rows first, truncating after each pass. Each
// output averages the source pixels from where the previous one ended up to
// the first boundary at or past (k + 1) * step; across a row the stepping
// also takes a second pixel when the first one ends exactly on the boundary
// (6 -> 4 averages pixels 2 and 3). The last output reaches the end.
std::vector<std::pair<int64_t, int64_t>> ReferenceBoxes(int64_t n0, int64_t n1, bool across) {
  const int64_t step = n0 * kGeoOne / n1;
  std::vector<std::pair<int64_t, int64_t>> boxes;
  int64_t start = 0;
  for (int64_t k = 0; k < n1; ++k) {
    const int64_t a = (k + 1) * step;
    const int64_t ceil = (a + kGeoOne - 1) / kGeoOne;
    int64_t end = std::max(start + 1, ceil);
    if (across && a == (start + 1) * kGeoOne) end = start + 2;
    end = k + 1 == n1 ? n0 : std::min(end, n0);
    boxes.emplace_back(start, end);
    start = end;
  }
  return boxes;
}

std::vector<uint8_t> ReferenceShrink(const Qimg& src, int32_t w1, int32_t h1) {
  const auto xb = ReferenceBoxes(src.resX, w1, true), yb = ReferenceBoxes(src.resY, h1, false);
  const uint8_t* p = static_cast<const uint8_t*>(src.pixPtr);
  std::vector<uint8_t> rows(size_t(src.resX) * 3);
  std::vector<uint8_t> out;
  for (const auto& [y0, y1] : yb) {
    for (int64_t k = 0; k < int64_t(rows.size()); ++k) {
      uint64_t s = 0;
      for (int64_t y = y0; y < y1; ++y) s += p[y * src.resX * 3 + k];
      rows[size_t(k)] = uint8_t(s / uint64_t(y1 - y0));
    }
    for (const auto& [x0, x1] : xb)
      for (int c = 0; c < 3; ++c) {
        uint64_t s = 0;
        for (int64_t x = x0; x < x1; ++x) s += rows[size_t(x * 3 + c)];
        out.push_back(uint8_t(s / uint64_t(x1 - x0)));
      }
  }
  return out;
}

TEST_F(GeometryTest, ResampleShrinkIsATwoPassBoxAverage) {
  // Factors of 256 and more need sums wider than 16 bits and counts wider
  // than 8; sizes beyond 100000 need the last box to reach the end.
  const int32_t cases[][4] = {
      {12, 9, 4, 3},     {37, 23, 10, 7},   {64, 48, 63, 47}, {1920, 3, 519, 2},
      {600, 1, 2, 1},    {1, 600, 1, 2},    {520, 520, 2, 2}, {1000, 3, 3, 1},
      {70000, 1, 3, 1},  {1, 70000, 1, 3},  {2, 300, 1, 1},   {200001, 1, 100001, 1},
      {1, 200001, 1, 100001},
  };
  for (const auto& c : cases) {
    Qimg src = MakeRandom(c[0], c[1], 24, uint32_t(c[0] * 7 + c[1]));
    Qimg dst{};
    ImgResample(&src, &dst, c[2], c[3]);
    ASSERT_TRUE(ErrNone()) << ErrCategory() << "/" << ErrCode();
    ASSERT_EQ(dst.resX, c[2]);
    ASSERT_EQ(dst.resY, c[3]);
    EXPECT_EQ(Bytes(dst), ReferenceShrink(src, c[2], c[3]))
        << c[0] << "x" << c[1] << " -> " << c[2] << "x" << c[3];
    ImgFree(&src);
    ImgFree(&dst);
  }
}

TEST_F(GeometryTest, ResampleBoxAverageOfLargeFactorsIsTheMean) {
  // 300 pixels of 255 and 300 of 1: a 16-bit sum would wrap, an 8-bit count too.
  std::vector<int> levels(600, 255);
  std::fill(levels.begin() + 300, levels.end(), 1);
  Qimg row = MakeGrey(600, 1, levels), col = MakeGrey(1, 600, levels);
  Qimg r{}, c{};
  ImgResample(&row, &r, 2, 1);
  ImgResample(&col, &c, 1, 2);
  EXPECT_EQ(Levels(r), (std::vector<int>{255, 1}));
  EXPECT_EQ(Levels(c), (std::vector<int>{255, 1}));
  ImgResample(&row, &r, 1, 1);
  EXPECT_EQ(Levels(r), (std::vector<int>{128}));
  for (Qimg* img : {&row, &col, &r, &c}) ImgFree(img);
}

TEST_F(GeometryTest, ResampleEnlargingKeepsFlatPicturesFlatAndEndsExact) {
  const int32_t sizes[][4] = {{1, 1, 70000, 1}, {1, 1, 1, 70000}, {3, 2, 13, 9},
                              {5, 5, 41, 160}, {7, 3, 8, 4},       {2, 9, 3, 5}};
  for (const auto& s : sizes) {
    Qimg flat = MakeGrey(s[0], s[1], std::vector<int>(size_t(s[0] * s[1]), 77));
    Qimg out{};
    ImgResample(&flat, &out, s[2], s[3]);
    ASSERT_TRUE(ErrNone());
    const auto v = Levels(out);
    EXPECT_TRUE(std::all_of(v.begin(), v.end(), [](int x) { return x == 77; }))
        << s[0] << "x" << s[1] << " -> " << s[2] << "x" << s[3];
    ImgFree(&flat);
    ImgFree(&out);
  }
  // A ramp keeps its two ends when doubled in both directions.
  Qimg ramp = MakeGrey(2, 2, {0, 200, 0, 200});
  ImgResample(&ramp, &ramp, 4, 4);
  EXPECT_EQ(Levels(ramp), (std::vector<int>{0, 100, 200, 200, 0, 100, 200, 200, 0, 100, 200, 200,
                                            0, 100, 200, 200}));
  ImgFree(&ramp);
}

TEST_F(GeometryTest, ResizeAndResampleRefuseEmptySizes) {
  Qimg src = MakeGrey(2, 2, {1, 2, 3, 4});
  Qimg none{};
  for (auto op : {ImgResize, ImgResample}) {
    for (auto [w, h] : {std::pair{0, 3}, std::pair{3, -1}}) {
      Qimg dst{};
      ProtectedKeep([&] { op(&src, &dst, w, h); });
      EXPECT_EQ(ErrCategory(), ERR_GEN);
      EXPECT_EQ(ErrCode(), 1);
      EXPECT_EQ(dst.pixPtr, nullptr);
    }
    Qimg dst{};
    ProtectedKeep([&] { op(&none, &dst, 2, 2); });
    EXPECT_EQ(ErrCategory(), ERR_GEN) << "a source without pixels";
  }
  EXPECT_EQ(Levels(src), (std::vector<int>{1, 2, 3, 4}));
  ImgFree(&src);
}

TEST_F(GeometryTest, FailedAllocationsLeaveNothingBehind) {
  Qimg src = MakeRandom(40, 30, 15, 3);
  Qimg dst{};
  auto reset = [&] { test::Release(dst); };
  test::EveryAllocationFails([&] { ImgResample(&src, &dst, 17, 70); }, reset);
  test::EveryAllocationFails([&] { ImgResize(&src, &dst, 90, 11); }, reset);
  Qimg big = MakeRandom(30, 30, 24, 4);
  test::EveryAllocationFails([&] { ImgInsert(&src, &big, 3, -2); }, [] {});
  ImgFree(&big);
  ImgFree(&src);
}

// --- insert and sprite ------------------------------------------------------------

// What the destination should hold after putting src at (x, y): source pixels
// where they land inside, the old pixels elsewhere (and where the key shows).
std::vector<uint8_t> ReferencePut(const Qimg& src, const Qimg& dst, int x, int y,
                                  const uint8_t* key) {
  std::vector<uint8_t> out = Bytes(dst);
  const int b = dst.bytesPP;
  for (int dy = 0; dy < dst.resY; ++dy)
    for (int dx = 0; dx < dst.resX; ++dx) {
      const int sx = dx - x, sy = dy - y;
      if (sx < 0 || sy < 0 || sx >= src.resX || sy >= src.resY) continue;
      const uint8_t* s = static_cast<const uint8_t*>(src.pixPtr) + (sy * src.resX + sx) * b;
      if (key != nullptr && std::equal(s, s + b, key)) continue;
      std::copy(s, s + b, out.begin() + (dy * dst.resX + dx) * b);
    }
  return out;
}

TEST_F(GeometryTest, InsertAndSpriteClipAtEverySide) {
  const int positions[][2] = {{0, 0},  {1, 1},   {-1, -1}, {-3, 2},  {2, -3}, {3, 3},
                              {4, 4},  {-4, -4}, {-10, 0}, {0, -10}, {5, 0},  {0, 5},
                              {-2, 4}, {4, -2}};
  for (int32_t bpp : {8, 16, 24, 32}) {
    for (const auto& pos : positions) {
      for (bool sprite : {false, true}) {
        Qimg src = MakeRandom(4, 4, bpp, uint32_t(pos[0] * 31 + pos[1]));
        // Make some source pixels equal the key.
        const uint32_t key = 0x00C0FFEEu & ((bpp == 32) ? 0xFFFFFFFFu : (1u << (8 * src.bytesPP)) - 1);
        uint8_t keyBytes[4];
        PutLE32(keyBytes, key);
        for (int i = 0; i < 16; i += 3) std::memcpy(ImgPixels(&src) + i * src.bytesPP, keyBytes, src.bytesPP);
        Qimg dst = MakeRandom(5, 5, bpp, 99);
        const auto want = ReferencePut(src, dst, pos[0], pos[1], sprite ? keyBytes : nullptr);
        if (sprite)
          ImgSprite(&src, &dst, pos[0], key, pos[1]);
        else
          ImgInsert(&src, &dst, pos[0], pos[1]);
        ASSERT_TRUE(ErrNone());
        EXPECT_EQ(dst.bpp, bpp);
        EXPECT_EQ(Bytes(dst), want) << bpp << " bits at " << pos[0] << "," << pos[1]
                                    << (sprite ? " sprite" : " insert");
        ImgFree(&src);
        ImgFree(&dst);
      }
    }
  }
}

TEST_F(GeometryTest, SpriteWithKeyZeroLeavesTheDestinationAndTakesThePalette) {
  Qimg sprite = MakeImg(2, 1, 8, {0, 5});
  sprite.pal[5][2] = 250;
  Qimg dst = MakeImg(3, 1, 8, {9, 9, 9});
  ImgSprite(&sprite, &dst, 1, 0, 0);
  EXPECT_EQ(Bytes(dst), (std::vector<uint8_t>{9, 9, 5}));
  EXPECT_EQ(dst.pal[5][2], 250);
  ImgFree(&sprite);
  ImgFree(&dst);
}

TEST_F(GeometryTest, InsertWorksAtTheHigherDepthAndSpriteAtTheSources) {
  Qimg w15 = MakeImg(1, 1, 15, {0xFF, 0x7F});  // white
  Qimg d24 = MakeImg(2, 1, 24);
  ImgInsert(&w15, &d24, 1, 0);
  EXPECT_EQ(d24.bpp, 24);
  EXPECT_EQ(Bytes(d24), (std::vector<uint8_t>{0, 0, 0, 0xF8, 0xF8, 0xF8}));
  EXPECT_EQ(w15.bpp, 15) << "the source stays as it was";
  Qimg d16 = MakeImg(2, 1, 16, {0x1F, 0x00, 0x00, 0x00});
  Qimg s24 = MakeImg(1, 1, 24, {1, 2, 3});
  ImgInsert(&s24, &d16, 0, 0);
  EXPECT_EQ(d16.bpp, 24) << "a lower-depth destination is converted up";
  EXPECT_EQ(Bytes(d16), (std::vector<uint8_t>{1, 2, 3, 0, 0, 0}));
  ImgSprite(&w15, &d16, 0, 0, 0);
  EXPECT_EQ(d16.bpp, 15) << "sprite brings the destination to the source's depth";
  for (Qimg* img : {&w15, &d24, &d16, &s24}) ImgFree(img);
}

TEST_F(GeometryTest, PutsThatChangeNothing) {
  Qimg src = MakeRandom(2, 2, 24, 5);
  Qimg dst = MakeRandom(3, 3, 16, 6);
  const auto before = Bytes(dst);
  ImgInsert(&src, &dst, 3, 0);
  ImgInsert(&src, &dst, 0, 3);
  ImgSprite(&src, &dst, 7, 0, 1);
  ImgInsert(&dst, &dst, 0, 0);
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(dst.bpp, 16) << "not even converted";
  EXPECT_EQ(Bytes(dst), before);
  ImgFree(&src);
  ImgFree(&dst);
}

TEST_F(GeometryTest, InsertIntoHostPixelsWritesTheHostBuffer) {
  std::vector<uint8_t> host(3 * 3 * 3, 7);
  Qimg dst{};
  dst.pixPtr = host.data();
  dst.hostPix = 1;
  ImgSetGeometry(&dst, 3, 3, 24);
  Qimg src = MakeImg(1, 1, 24, {1, 2, 3});
  ImgInsert(&src, &dst, 2, 2);
  EXPECT_EQ(dst.pixPtr, host.data());
  EXPECT_EQ(dst.hostPix, 1);
  std::vector<uint8_t> want(27, 7);
  want[24] = 1, want[25] = 2, want[26] = 3;
  EXPECT_EQ(host, want);
  // A depth change makes the result the library's own.
  Qimg s32 = MakeImg(1, 1, 32, {4, 5, 6, 0});
  ImgInsert(&s32, &dst, 0, 0);
  EXPECT_EQ(dst.bpp, 32);
  EXPECT_EQ(dst.hostPix, 0);
  EXPECT_EQ(Bytes(dst)[0], 4);
  EXPECT_EQ(Bytes(dst)[4], 7);
  EXPECT_EQ(host[0], 7) << "the host's buffer is left alone";
  ImgFree(&dst);
  ImgFree(&src);
  ImgFree(&s32);
}

}  // namespace
}  // namespace zelo
