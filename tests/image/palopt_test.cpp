#include "image/palopt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <set>
#include <tuple>
#include <vector>

#include "support/image_helpers.h"

namespace zelo {
namespace {

using test::Bytes;
using test::MakeImg;

class PalOptTest : public test::TrackedBlocksTest {
 protected:
  void TearDown() override {
    PalDone();
    test::TrackedBlocksTest::TearDown();
  }
};

using Bgr = std::tuple<int, int, int>;

Bgr Entry(const PalWork* q, int i) { return {q->pal[i][0], q->pal[i][1], q->pal[i][2]}; }

Qimg FromColours(int32_t w, int32_t h, const std::vector<Bgr>& colours) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < w * h; ++i) {
    auto [b, g, r] = colours[size_t(i) % colours.size()];
    bytes.insert(bytes.end(), {uint8_t(b), uint8_t(g), uint8_t(r)});
  }
  return MakeImg(w, h, 24, bytes);
}

// 100 distinct colours after reduction to 6 bits, given with low bits set.
std::vector<Bgr> HundredColours(bool withBlack) {
  std::vector<Bgr> v;
  for (int i = withBlack ? 0 : 1; int(v.size()) < 100; ++i)
    v.emplace_back(4 * (i % 8) + i % 4, 4 * ((i / 8) % 8 * 9) + 3 * (i > 0), 4 * (i / 64 * 20) + 1 * (i > 0));
  return v;
}

Bgr Reduced(const Bgr& c) {
  return {std::get<0>(c) / 4 * 4, std::get<1>(c) / 4 * 4, std::get<2>(c) / 4 * 4};
}

int CellNumber(const Bgr& c) {
  return std::get<2>(c) / 4 + 64 * (std::get<1>(c) / 4) + 4096 * (std::get<0>(c) / 4);
}

TEST_F(PalOptTest, FewColoursGetOneEntryEachThenWhite) {
  for (bool withBlack : {true, false}) {
    const auto colours = HundredColours(withBlack);
    std::set<int> cells;
    for (const auto& c : colours) cells.insert(CellNumber(c));
    ASSERT_EQ(cells.size(), 100u);
    Qimg img = FromColours(20, 10, colours);
    PalInit();
    PalCountColors(&img);
    PalReduce(256);
    const PalWork* q = PalWorkBlock();
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->distinct, 100);
    std::vector<Bgr> want;
    for (int cell : cells) want.emplace_back(4 * (cell >> 12), 4 * ((cell >> 6) & 63), 4 * (cell & 63));
    // In cell order, except that the darkest entry is moved to the front.
    const int darkest = PalNearest(q, 0, 0, 0, 256);
    EXPECT_EQ(darkest, 0);
    std::vector<Bgr> got;
    for (int i = 0; i < 100; ++i) got.push_back(Entry(q, i));
    if (withBlack) {
      EXPECT_EQ(got, want);
      EXPECT_EQ(got[0], Bgr(0, 0, 0));
    } else {
      EXPECT_EQ(std::multiset<Bgr>(got.begin(), got.end()), std::multiset<Bgr>(want.begin(), want.end()));
    }
    for (int i = 100; i < 256; ++i) EXPECT_EQ(Entry(q, i), Bgr(255, 255, 255)) << i;
    Qimg out{};
    PalRemap(&img, &out, 0);
    ASSERT_EQ(out.bpp, 8);
    for (int i = 0; i < 200; ++i) {
      const int index = ImgPixels(&out)[i];
      EXPECT_EQ(Bgr(out.pal[index][0], out.pal[index][1], out.pal[index][2]),
                Reduced(colours[size_t(i) % 100]));
    }
    PalDone();
    ImgFree(&img);
    ImgFree(&out);
  }
}

TEST_F(PalOptTest, SingleColourIsEntryZero) {
  Qimg img = FromColours(3, 3, {{40, 80, 120}});
  Qimg out{};
  ConvTo8bit(&img, &out, 0);
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(Bgr(out.pal[0][0], out.pal[0][1], out.pal[0][2]), Bgr(40, 80, 120));
  for (int i = 1; i < 256; ++i) EXPECT_EQ(Bgr(out.pal[i][0], out.pal[i][1], out.pal[i][2]), Bgr(255, 255, 255));
  EXPECT_EQ(Bytes(out), std::vector<uint8_t>(9, 0));
  EXPECT_EQ(PalWorkBlock(), nullptr) << "ConvTo8bit releases the work block";
  ImgFree(&img);
  ImgFree(&out);
}

// A smooth picture with many distinct cells.
Qimg Gradient(int32_t w, int32_t h) {
  Qimg img = MakeImg(w, h, 24);
  uint8_t* p = ImgPixels(&img);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x, p += 3) {
      p[0] = uint8_t(x * 255 / std::max(1, w - 1));
      p[1] = uint8_t(y * 255 / std::max(1, h - 1));
      p[2] = uint8_t((x * 7 + y * 3) % 256);
    }
  return img;
}

TEST_F(PalOptTest, TargetIsBetweenTwoAnd256) {
  Qimg img = Gradient(64, 64);
  const int32_t asked[][2] = {{1, 2}, {2, 2}, {17, 17}, {256, 256}, {300, 256}, {-5, 2}};
  for (const auto& a : asked) {
    PalInit();
    PalCountColors(&img);
    PalReduce(a[0]);
    const PalWork* q = PalWorkBlock();
    EXPECT_EQ(q->target, a[1]) << a[0];
    EXPECT_GT(q->distinct, 256);
    EXPECT_EQ(q->boxCount, a[1]) << "splits until the target";
    for (int i = a[1]; i < 256; ++i) EXPECT_EQ(Entry(q, i), Bgr(255, 255, 255)) << i;
    // Every counted colour maps to a made entry.
    Qimg out{};
    PalRemap(&img, &out, 0);
    const auto idx = Bytes(out);
    EXPECT_LT(*std::max_element(idx.begin(), idx.end()), a[1]);
    ImgFree(&out);
  }
  ImgFree(&img);
}

TEST_F(PalOptTest, BoxesOfOnePixelCellsStillSplitAlongTheirExtent) {
  // Every cell holds one pixel, so every variance is 0: the split must still
  // cut a box that spans more than one plane, never a flat axis.
  std::vector<Bgr> colours;
  for (int g = 0; g < 10; ++g) colours.emplace_back(0, 4 * g, 0);
  Qimg img = FromColours(10, 1, colours);
  PalInit();
  PalCountColors(&img);
  PalReduce(4);
  const PalWork* q = PalWorkBlock();
  EXPECT_EQ(q->boxCount, 4);
  std::set<Bgr> made;
  for (int i = 0; i < 4; ++i) {
    EXPECT_LE(q->boxes[i].g0, q->boxes[i].g1) << "no empty box";
    made.insert(Entry(q, i));
  }
  EXPECT_EQ(made.size(), 4u) << "four different greens";
  ImgFree(&img);
}

TEST_F(PalOptTest, CountsSaturate) {
  PalInit();
  PalWork* q = PalWorkBlock();
  const Bgr colour{8, 16, 24};
  const int cell = CellNumber(colour);
  q->cells[cell] = INT32_MAX - 3;
  Qimg img = FromColours(4, 2, {colour});
  PalCountColors(&img);
  EXPECT_EQ(q->cells[cell], INT32_MAX);
  PalCountColors(&img);
  EXPECT_EQ(q->cells[cell], INT32_MAX);
  // The same through the palette of an 8-bit picture.
  Qimg pal8 = MakeImg(4, 4, 8);
  pal8.pal[0][0] = 8, pal8.pal[0][1] = 16, pal8.pal[0][2] = 24;
  q->cells[cell] = INT32_MAX - 20;
  PalCountColors(&pal8);
  EXPECT_EQ(q->cells[cell], INT32_MAX - 4);
  PalCountColors(&pal8);
  EXPECT_EQ(q->cells[cell], INT32_MAX);
  ImgFree(&img);
  ImgFree(&pal8);
}

TEST_F(PalOptTest, CellsOfEveryDepth) {
  struct Case {
    int32_t bpp;
    std::vector<uint8_t> pixel;
    int r6, g6, b6;
  };
  const Case cases[] = {
      {24, {0xFF, 0x07, 0x80}, 0x20, 1, 63},
      {32, {0xFF, 0x07, 0x80, 0x55}, 0x20, 1, 63},
      {16, {0x3F, 0x80}, 32, 1, 62},  // 10000 000001 11111
      {15, {0x3F, 0x40}, 32, 2, 62},  // 10000 00001 11111
  };
  for (const auto& c : cases) {
    PalInit();
    Qimg img = MakeImg(1, 1, c.bpp, c.pixel);
    PalCountColors(&img);
    const PalWork* q = PalWorkBlock();
    EXPECT_EQ(q->cells[c.r6 + 64 * c.g6 + 4096 * c.b6], 0) << c.bpp;
    ImgFree(&img);
  }
}

TEST_F(PalOptTest, UncountedColourMapsTo255InPlainMode) {
  Qimg counted = FromColours(2, 2, {{0, 0, 200}, {0, 200, 0}});
  Qimg other = FromColours(2, 1, {{200, 0, 0}, {0, 0, 200}});
  PalInit();
  PalCountColors(&counted);
  PalReduce(256);
  Qimg out{};
  PalRemap(&other, &out, 0);
  EXPECT_EQ(ImgPixels(&out)[0], 255);
  EXPECT_NE(ImgPixels(&out)[1], 255);
  // An unknown mode does nothing at all.
  Qimg none{};
  PalRemap(&other, &none, 3);
  EXPECT_EQ(none.pixPtr, nullptr);
  // 8-bit pictures go through their palette whatever the mode.
  Qimg pal8 = MakeImg(3, 1, 8, {2, 1, 2});
  pal8.pal[1][1] = 200;  // green
  pal8.pal[2][2] = 200;  // red
  for (int mode : {0, 1, 2}) {
    PalRemap(&pal8, &out, mode);
    const auto idx = Bytes(out);
    EXPECT_EQ(Bgr(out.pal[idx[0]][0], out.pal[idx[0]][1], out.pal[idx[0]][2]), Bgr(0, 0, 200));
    EXPECT_EQ(Bgr(out.pal[idx[1]][0], out.pal[idx[1]][1], out.pal[idx[1]][2]), Bgr(0, 200, 0));
  }
  for (Qimg* img : {&counted, &other, &out, &pal8}) ImgFree(img);
}

TEST_F(PalOptTest, NearestColourWeightsGreenAndKeepsTheLowerIndexOnTies) {
  auto q = std::make_unique<PalWork>();
  std::memset(q->pal, 0, sizeof q->pal);
  // Entry 0: red off by 10; entry 1: green off by 6 (3481 * 36 > 900 * 100).
  q->pal[0][2] = 110, q->pal[0][1] = 50;
  q->pal[1][2] = 100, q->pal[1][1] = 56;
  EXPECT_EQ(PalNearest(q.get(), 100, 50, 0, 2), 0);
  // Equal distances: the lower index wins.
  q->pal[1][2] = 110, q->pal[1][1] = 50;
  EXPECT_EQ(PalNearest(q.get(), 100, 50, 0, 2), 0);
  q->pal[2][2] = 100, q->pal[2][1] = 50;
  EXPECT_EQ(PalNearest(q.get(), 100, 50, 0, 3), 2);
  EXPECT_EQ(PalNearest(q.get(), 100, 50, 0, 2), 0) << "only the first count entries";
}

// Reference: the damped tables as a closed form of the error.
int DampedError(int weight, int e) {
  auto b = [&](int i) { return int(std::nearbyint(weight * i / 16.0)); };
  const int a = std::abs(e);
  int v = 0;
  if (a <= 19)
    v = b(a);
  else if (a <= 38)
    v = b(a - 19) / 2;
  else if (a <= 57)
    v = b(a - 38) / 4;
  return e < 0 ? -v : v;
}

TEST_F(PalOptTest, HeavyDitherErrorTables) {
  int32_t t[513];
  _MakeErrTable(7, t);
  EXPECT_EQ(t[256 + 10], 4);
  EXPECT_EQ(t[256 + 30], 2);
  EXPECT_EQ(t[256 + 45], 0);
  EXPECT_EQ(t[256 + 60], 0);
  for (int weight : {1, 3, 5, 7}) {
    _MakeErrTable(weight, t);
    for (int e = -256; e <= 256; ++e) EXPECT_EQ(t[e + 256], DampedError(weight, e)) << weight << " " << e;
  }
}

TEST_F(PalOptTest, DitherMatrixSpreads64LevelsEvenly) {
  const uint8_t* m = PalDitherMatrix();
  std::map<int, int> counts;
  for (int i = 0; i < 16384; ++i) ++counts[m[i]];
  ASSERT_EQ(counts.size(), 64u);
  int k = 0;
  for (auto [value, n] : counts) {
    EXPECT_EQ(value, int(std::lround(k * 255 / 63.0))) << k;
    EXPECT_EQ(n, 256) << value;
    ++k;
  }
  const uint8_t opening[16] = {0, 166, 93, 20, 69, 158, 28, 61, 251, 93, 162, 206, 125, 190, 36, 130};
  EXPECT_TRUE(std::equal(opening, opening + 16, m));
  for (int period : {8, 16}) {
    bool rowsRepeat = true, colsRepeat = true;
    for (int y = 0; y < 128; ++y)
      for (int x = 0; x < 128; ++x) {
        rowsRepeat &= m[y * 128 + x] == m[y * 128 + (x + period) % 128];
        colsRepeat &= m[y * 128 + x] == m[((y + period) % 128) * 128 + x];
      }
    EXPECT_FALSE(rowsRepeat) << period;
    EXPECT_FALSE(colsRepeat) << period;
    // Not even one row or column repeats with that period.
    for (int i = 0; i < 128; ++i) {
      bool row = true, col = true;
      for (int j = 0; j < 128; ++j) {
        row &= m[i * 128 + j] == m[i * 128 + (j + period) % 128];
        col &= m[j * 128 + i] == m[((j + period) % 128) * 128 + i];
      }
      EXPECT_FALSE(row || col) << "period " << period << " at " << i;
    }
  }
}

// Counts a picture whose colours give a grey ramp every 32 levels.
void GreyRampPalette() {
  std::vector<Bgr> ramp;
  for (int v = 0; v <= 224; v += 32) ramp.emplace_back(v, v, v);
  ramp.emplace_back(252, 252, 252);
  Qimg img = FromColours(int32_t(ramp.size()), 1, ramp);
  PalInit();
  PalCountColors(&img);
  PalReduce(256);
  ImgFree(&img);
}

double MeanGreen(const Qimg& out) {
  double sum = 0;
  const auto idx = Bytes(out);
  for (uint8_t i : idx) sum += out.pal[i][1];
  return sum / double(idx.size());
}

TEST_F(PalOptTest, DithersMixNeighbouringEntries) {
  for (int level : {140, 150, 180}) {
    GreyRampPalette();
    Qimg flat = FromColours(128, 128, {{level, level, level}});
    const auto before = Bytes(flat);
    Qimg plain{}, lite{}, heavy{};
    PalRemap(&flat, &plain, 0);
    PalRemap(&flat, &lite, 1);
    PalRemap(&flat, &heavy, 2);
    EXPECT_EQ(Bytes(flat), before) << "the source picture is left alone";
    const auto l = Bytes(lite), h = Bytes(heavy);
    EXPECT_GT(std::set<uint8_t>(l.begin(), l.end()).size(), 1u) << level;
    EXPECT_GT(std::set<uint8_t>(h.begin(), h.end()).size(), 1u) << level;
    EXPECT_NEAR(MeanGreen(heavy), level, 4) << level;
    EXPECT_NEAR(MeanGreen(lite), level, 16) << level;
    for (Qimg* img : {&flat, &plain, &lite, &heavy}) ImgFree(img);
    PalDone();
  }
}

TEST_F(PalOptTest, HeavyDitherMatchesDiffusionInPlace) {
  // Reference: diffusion straight on a copy of the pixels, lookups cached in
  // a copy of the inverse map.
  GreyRampPalette();
  PalWork* q = PalWorkBlock();
  Qimg img = test::MakeRandom(37, 11, 32, 12);
  std::vector<int32_t> cells(q->cells, q->cells + kPalCells);
  std::vector<int> px;
  for (int i = 0; i < 37 * 11; ++i)
    for (int c = 0; c < 3; ++c) px.push_back(ImgPixels(&img)[4 * i + c]);
  int32_t t[4][513];
  for (int w = 0; w < 4; ++w) _MakeErrTable(2 * w + 1, t[w]);
  auto lookup = [&](int b, int g, int r) {
    int32_t& c = cells[size_t(r / 4 + 64 * (g / 4) + 4096 * (b / 4))];
    if (c == -1) c = PalNearest(q, r, g, b, q->target);
    return uint8_t(c);
  };
  std::vector<uint8_t> want;
  for (int y = 0; y < 11; ++y)
    for (int x = 0; x < 37; ++x) {
      int* p = &px[size_t((y * 37 + x) * 3)];
      const uint8_t index = lookup(p[0], p[1], p[2]);
      want.push_back(index);
      if (x == 0 && y % 2 == 0) continue;
      auto add = [&](int nx, int ny, const int32_t* table) {
        if (nx < 0 || nx >= 37 || ny >= 11) return;
        int* n = &px[size_t((ny * 37 + nx) * 3)];
        for (int c = 0; c < 3; ++c) n[c] = std::clamp(n[c] + table[p[c] - q->pal[index][c] + 256], 0, 255);
      };
      add(x + 1, y, t[3]);
      add(x - 1, y + 1, t[1]);
      add(x, y + 1, t[2]);
      add(x + 1, y + 1, t[0]);
    }
  Qimg out{};
  PalRemap(&img, &out, 2);
  EXPECT_EQ(Bytes(out), want);
  ImgFree(&img);
  ImgFree(&out);
}

TEST_F(PalOptTest, DepthConversionToEightBitsInEveryMode) {
  Qimg img = Gradient(96, 64);
  const auto before = Bytes(img);
  for (int32_t mode : {0, 1, 2}) {
    Qimg out{};
    ImgConvBppEx(&img, &out, 8, mode);
    ASSERT_TRUE(ErrNone());
    ASSERT_EQ(out.bpp, 8);
    EXPECT_EQ(Bytes(img), before);
    // Close to the original on average.
    double err = 0;
    const uint8_t* s = ImgPixels(&img);
    for (int i = 0; i < 96 * 64; ++i)
      for (int c = 0; c < 3; ++c) err += std::abs(int(out.pal[ImgPixels(&out)[i]][c]) - s[3 * i + c]);
    EXPECT_LT(err / (96 * 64 * 3), 12) << mode;
    ImgFree(&out);
  }
  for (int32_t bpp : {15, 16, 32}) {
    Qimg other{};
    ImgConvBpp(&img, &other, bpp);
    ImgConvBppEx(&other, &other, 8, 1);
    EXPECT_EQ(other.bpp, 8) << bpp;
    ImgFree(&other);
  }
  ImgFree(&img);
}

TEST_F(PalOptTest, RemapOntoItselfAndWithoutAWorkBlock) {
  Qimg img = Gradient(16, 16);
  PalInit();
  PalCountColors(&img);
  PalReduce(16);
  PalRemap(&img, &img, 1);
  EXPECT_EQ(img.bpp, 8);
  EXPECT_EQ(img.resX, 16);
  PalDone();
  ProtectedKeep([&] { PalCountColors(&img); });
  EXPECT_EQ(ErrCategory(), ERR_EXCEPT) << "the work block must be prepared first";
  ErrClear();
  ImgFree(&img);
}

TEST_F(PalOptTest, FailedAllocationsLeaveNothingBehind) {
  Qimg img = Gradient(40, 30);
  Qimg w16{};
  ImgConvBpp(&img, &w16, 16);
  Qimg out{};
  for (int mode : {0, 1, 2})
    test::EveryAllocationFails([&] { ImgConvBppEx(&w16, &out, 8, mode); }, [&] { test::Release(out); });
  ImgFree(&img);
  ImgFree(&w16);
}

}  // namespace
}  // namespace zelo
