#include "formats/ff_ras.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <tuple>

#include "support/format_files.h"

namespace zelo {
namespace {

using test::ErrPair;
using test::kNoError;

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += char(b);
  return s;
}

// --- byte encoding ------------------------------------------------------------------------

std::string Packed(const std::string& row) {
  std::vector<uint8_t> out(2 * row.size());
  const int32_t n = RASPack_(reinterpret_cast<const uint8_t*>(row.data()), int32_t(row.size()), out.data());
  return std::string(out.begin(), out.begin() + n);
}

TEST(RasCoder, PackCases) {
  const struct {
    std::string row, packed;
  } cases[] = {
      {B({0x41, 0x80, 0x42}), B({0x41, 0x80, 0x00, 0x42})},
      {std::string(300, 'v'), B({0x80, 0xFF, 'v', 0x80, 0x2B, 'v'})},
      {"AA", B({0x80, 0x01, 'A'})},
      {B({0x80, 0x80}), B({0x80, 0x01, 0x80})},
      {B({0x80}), B({0x80, 0x00})},
      {"AB", "AB"},
  };
  for (const auto& c : cases) EXPECT_EQ(Packed(c.row), c.packed);
}

TEST(RasCoder, UnpackCases) {
  const struct {
    std::string in;
    int64_t outSize;
    std::string out;
  } cases[] = {
      {B({0x80, 0x00}), 8, B({0x80})},
      {B({0x80, 0x03, 0x41}), 8, "AAAA"},
      {B({0x42, 0x80}), 8, "B"},           // escape cut off
      {B({0x42, 0x80, 0x05}), 8, "B"},     // run without its value
      {B({0x80, 0xFF, 0x41}), 5, "AAAAA"},  // run cut at the end of the output
      {"ABCDEF", 3, "ABC"},
  };
  for (const auto& c : cases) {
    std::string out(size_t(c.outSize) + 4, '#');
    const int64_t n = RASUnpack_(reinterpret_cast<uint8_t*>(out.data()), c.outSize,
                                 reinterpret_cast<const uint8_t*>(c.in.data()), int64_t(c.in.size()));
    EXPECT_EQ(out.substr(0, size_t(n)), c.out);
    EXPECT_EQ(out.substr(size_t(c.outSize)), "####");
  }
}

TEST(RasCoder, PackThenUnpackGivesTheRowWithinItsBound) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 300; ++trial) {
    const int32_t n = 1 + int32_t(rng() % 700);
    std::string row(size_t(n), '\0');
    for (int32_t i = 0; i < n; ++i) {
      const uint32_t r = rng() % 8;
      row[i] = r == 0 ? char(0x80) : r < 3 ? char(rng()) : (i > 0 ? row[i - 1] : 'x');
    }
    const std::string p = Packed(row);
    ASSERT_LE(p.size(), 2 * row.size());
    std::string back(row.size(), '\0');
    ASSERT_EQ(RASUnpack_(reinterpret_cast<uint8_t*>(back.data()), n,
                         reinterpret_cast<const uint8_t*>(p.data()), int64_t(p.size())),
              n);
    ASSERT_EQ(back, row) << "trial " << trial;
  }
}

// --- hand-made files ------------------------------------------------------------------------

struct RasSpec {
  int32_t width = 2, height = 2, depth = 24, type = 1, mapType = 0;
  std::string map{};
  std::optional<int32_t> mapLength{};  // none: the map's size
  uint32_t magic = kRasMagic;
};

std::string RasFile(const RasSpec& s, const std::string& data) {
  std::string h(kRasHeaderSize, '\0');
  auto* p = reinterpret_cast<uint8_t*>(h.data());
  PutBE32(p, s.magic);
  PutBE32(p + 4, uint32_t(s.width));
  PutBE32(p + 8, uint32_t(s.height));
  PutBE32(p + 12, uint32_t(s.depth));
  PutBE32(p + 16, uint32_t(data.size()));
  PutBE32(p + 20, uint32_t(s.type));
  PutBE32(p + 24, uint32_t(s.mapType));
  PutBE32(p + 28, uint32_t(s.mapLength.value_or(int32_t(s.map.size()))));
  return h + s.map + data;
}

using RasFiles = test::FormatTest;

TEST_F(RasFiles, DepthsTypesAndMaps) {
  const std::string bgr4 = B({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  const std::string map2 = B({200, 100, 20, 10, 250, 150});  // reds, greens, blues of 2 colours
  const struct {
    const char* what;
    RasSpec spec;
    std::string data;
    int32_t bpp;
    std::string pixels;
    std::vector<std::array<int, 4>> pal;  // index, blue, green, red
  } cases[] = {
      {"24 bits, type 1", {}, bgr4, 24, bgr4, {}},
      {"24 bits, type 3", {.type = 3}, bgr4, 24, B({3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}), {}},
      {"24 bits, type 4", {.type = 4}, bgr4, 24, bgr4, {}},
      {"24 bits, type 5", {.type = 5}, bgr4, 24, bgr4, {}},
      {"32 bits", {.depth = 32}, B({0, 1, 2, 3, 9, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12}), 24, bgr4, {}},
      {"32 bits, type 3", {.depth = 32, .type = 3}, B({0, 1, 2, 3, 9, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12}),
       24, B({3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}), {}},
      {"8 bits, short map", {.depth = 8, .mapType = 1, .map = map2}, B({0, 1, 1, 7}), 8, B({0, 1, 1, 7}),
       {{0, 250, 20, 200}, {1, 150, 10, 100}, {7, 0, 0, 0}}},
      {"8 bits, no map: grey", {.depth = 8}, B({0, 1, 128, 255}), 8, B({0, 1, 128, 255}),
       {{128, 128, 128, 128}, {255, 255, 255, 255}}},
      {"8 bits, raw map skipped", {.depth = 8, .mapType = 2, .map = "abcd"}, B({5, 6, 7, 8}), 8,
       B({5, 6, 7, 8}), {{5, 5, 5, 5}}},
      {"1 bit: 1 black, 0 white", {.depth = 1}, B({0x80, 0, 0x40, 0}), 8, B({1, 0, 0, 1}),
       {{0, 255, 255, 255}, {1, 0, 0, 0}}},
      {"1 bit with a map", {.depth = 1, .mapType = 1, .map = map2}, B({0x80, 0, 0x40, 0}), 8, B({1, 0, 0, 1}),
       {{0, 250, 20, 200}, {1, 150, 10, 100}}},
      {"odd width, rows padded", {.width = 3, .depth = 8}, B({1, 2, 3, 0, 4, 5, 6, 0}), 8, B({1, 2, 3, 4, 5, 6}), {}},
      {"odd width, rows not padded", {.width = 3, .depth = 8}, B({1, 2, 3, 4, 5, 6}), 8, B({1, 2, 3, 4, 5, 6}), {}},
      {"encoded, odd width, padded", {.width = 3, .depth = 8, .type = 2}, B({1, 2, 3, 0, 0x80, 0x01, 9, 7, 0}), 8,
       B({1, 2, 3, 9, 9, 7}), {}},
      {"encoded, odd width, not padded", {.width = 3, .depth = 8, .type = 2}, B({1, 2, 3, 0x80, 0x01, 9, 7}), 8,
       B({1, 2, 3, 9, 9, 7}), {}},
      {"encoded, ends early: black rest", {.depth = 24, .type = 2}, B({0x80, 0x04, 0x33}), 24,
       B({0x33, 0x33, 0x33, 0x33, 0x33, 0, 0, 0, 0, 0, 0, 0}), {}},
  };
  for (const auto& c : cases) {
    test::WriteFile(Path("x.ras"), RasFile(c.spec, c.data));
    Qimg img{};
    ASSERT_EQ(test::LoadWith(RASLoad, Path("x.ras"), &img), kNoError) << c.what;
    EXPECT_EQ(img.bpp, c.bpp) << c.what;
    const std::vector<uint8_t> px = test::Bytes(img);
    EXPECT_EQ(std::string(px.begin(), px.end()), c.pixels) << c.what;
    for (const auto& e : c.pal) {
      EXPECT_EQ(img.pal[e[0]][0], e[1]) << c.what << " entry " << e[0];
      EXPECT_EQ(img.pal[e[0]][1], e[2]) << c.what << " entry " << e[0];
      EXPECT_EQ(img.pal[e[0]][2], e[3]) << c.what << " entry " << e[0];
    }
    ImgFree(&img);
  }
}

TEST_F(RasFiles, BrokenFilesFailCleanly) {
  const std::string px(12, 'p');
  const struct {
    const char* what;
    std::string bytes;
    ErrPair error;
  } cases[] = {
      {"wrong magic", RasFile({.magic = 0x12345678}, px), {7, 2}},
      {"depth 16", RasFile({.depth = 16}, px), {7, 1}},
      {"type 6", RasFile({.type = 6}, px), {7, 1}},
      {"negative type", RasFile({.type = -1}, px), {7, 1}},
      {"zero width", RasFile({.width = 0}, px), {7, 4}},
      {"negative height", RasFile({.height = -2}, px), {7, 4}},
      {"too large", RasFile({.width = 100000, .height = 100000}, px), {7, 4}},
      {"sizes whose product passes 64 bits", RasFile({.width = 0x7138F754, .height = 0x7F0000BF}, px), {7, 4}},
      {"huge picture, tiny file", RasFile({.width = 20000, .height = 20000}, px), {6, 3}},
      {"map not of three planes", RasFile({.depth = 8, .mapType = 1, .map = "abcdefg"}, px), {7, 4}},
      {"negative map length", RasFile({.depth = 8, .mapType = 1, .mapLength = -3}, px), {7, 4}},
      {"map beyond the end", RasFile({.depth = 8, .mapType = 1, .mapLength = 3000}, px), {6, 3}},
      {"pixels cut", RasFile({}, px.substr(1)), {6, 3}},
      {"encoded data far too short", RasFile({.width = 4000, .height = 4000, .type = 2}, px), {6, 3}},
      {"header cut", RasFile({}, px).substr(0, 20), {6, 3}},
  };
  for (const auto& c : cases) ExpectRefused(RASLoad, c.bytes, c.error, c.what);
}

TEST_F(RasFiles, Information) {
  const struct {
    RasSpec spec;
    int32_t bytesPP, bpp;
    const char* name;
    BOOL readable;
  } cases[] = {
      {{.depth = 32, .type = 2}, 4, 32, "Run Length Encoding (RLE)", kTrue},
      {{.depth = 8}, 1, 8, "", kTrue},
      {{.depth = 1}, 1, 8, "", kTrue},
      {{.depth = 16}, 2, 16, "", kFalse},
  };
  for (const auto& c : cases) {
    test::WriteFile(Path("i.ras"), RasFile(c.spec, "data"));
    QffInfo info;
    ASSERT_EQ(test::Attempt([&] { RASInfo(Path("i.ras"), &info); }), kNoError);
    EXPECT_EQ(info.fileSize, 36);
    EXPECT_EQ(info.media.width, 2);
    EXPECT_EQ(info.media.height, 2);
    EXPECT_EQ(info.media.bytesPP, c.bytesPP);
    EXPECT_EQ(info.media.bpp, c.bpp);
    EXPECT_EQ(info.media.frames, 1);
    EXPECT_EQ(info.media.videoName, c.name);
    EXPECT_EQ(info.media.hasPictures, kTrue);
    EXPECT_EQ(info.media.picturesReadable, c.readable);
  }
}

// --- writer ----------------------------------------------------------------------------------

class RasRoundTrip : public test::FormatTest,
                     public testing::WithParamInterface<std::tuple<int, bool, int>> {
 protected:
  void TearDown() override {
    RASRle = true;
    FormatTest::TearDown();
  }
};

TEST_P(RasRoundTrip, GivesBackThePixels) {
  const auto [bpp, rle, w] = GetParam();
  const int32_t h = 11;
  Qimg src = test::PatternImg(w, h, bpp);
  std::memset(ImgPixels(&src) + 3 * ImgRowBytes(&src), 0x80, size_t(ImgRowBytes(&src)));
  RASRle = rle;
  ASSERT_EQ(test::Attempt([&] { RASSave(Path("x.ras"), &src); }), kNoError);
  const std::string file = test::ReadFile(Path("x.ras"));
  ASSERT_GE(file.size(), 32u);
  const auto* p = reinterpret_cast<const uint8_t*>(file.data());
  const int32_t stored = bpp == 8 ? 8 : 24;
  const int32_t row = w * stored / 8;
  const int32_t padded = (row + 1) / 2 * 2;
  const size_t map = bpp == 8 ? 768 : 0;
  EXPECT_EQ(GetBE32(p + 12), uint32_t(stored));
  EXPECT_EQ(GetBE32(p + 16), uint32_t(file.size() - 32 - map));
  EXPECT_EQ(GetBE32(p + 20), rle ? 2u : 1u);
  EXPECT_EQ(GetBE32(p + 24), bpp == 8 ? 1u : 0u);
  EXPECT_EQ(GetBE32(p + 28), uint32_t(map));
  if (!rle) {
    EXPECT_EQ(file.size(), 32u + map + size_t(padded) * h);
  }
  Qimg back{};
  ASSERT_EQ(test::LoadWith(RASLoad, Path("x.ras"), &back), kNoError);
  EXPECT_EQ(back.bpp, stored);
  if (bpp == 8) {
    EXPECT_EQ(test::Bytes(back), test::Bytes(src));
    EXPECT_EQ(std::memcmp(back.pal, src.pal, sizeof src.pal), 0);
  } else {
    EXPECT_EQ(test::Bytes(back), test::As24(src));
  }
  // ImageMagick drops the pad bytes of encoded rows (the last row of an
  // odd-length picture comes out short) and reads encoded 24-bit pixels as
  // red-green-blue, where the format and other readers take blue-green-red.
  if (test::HaveImageMagick() && !(rle && row != padded)) {
    std::string expect = test::RgbOf(src);
    if (rle && stored == 24) SwapRB_(w * h, reinterpret_cast<uint8_t*>(expect.data()));
    EXPECT_TRUE(test::SameBytes(test::MagickPixels(Path("x.ras")), expect));
  }
  ImgFree(&back);
  ImgFree(&src);
}

INSTANTIATE_TEST_SUITE_P(Depths, RasRoundTrip,
                         testing::Combine(testing::Values(8, 15, 16, 24, 32), testing::Bool(),
                                          testing::Values(37, 38)));

TEST_F(RasFiles, EveryRefusedAllocationLeavesNothing) {
  Qimg src = test::PatternImg(21, 9, 8);
  for (bool rle : {false, true}) {
    RASRle = rle;
    ExpectRefusedAllocationsLeaveNothing(RASSave, RASLoad, &src);
  }
  RASRle = true;
  ImgFree(&src);
}

// --- files ImageMagick writes --------------------------------------------------------------------

TEST_F(RasFiles, ReadsWhatImageMagickWrites) {
  if (!test::HaveImageMagick()) GTEST_SKIP() << "ImageMagick not installed";
  const int32_t w = 31, h = 9;
  test::WritePpm(Path("src.ppm"), w, h, test::TestRgb(w, h));
  const struct {
    const char* options;
    int32_t depth;
  } cases[] = {
      {"", 24},
      {"-type Palette", 8},
      {"-colors 5", 8},
      {"-alpha set", 32},
  };
  for (const auto& c : cases) {
    const std::string out = Path("im.ras");
    std::filesystem::remove(out);
    ASSERT_TRUE(test::MagickConvert(Path("src.ppm"), c.options, out)) << c.options;
    const std::string file = test::ReadFile(out);
    EXPECT_EQ(GetBE32(reinterpret_cast<const uint8_t*>(file.data()) + 12), uint32_t(c.depth)) << c.options;
    Qimg img{};
    ASSERT_EQ(test::LoadWith(RASLoad, out, &img), kNoError) << c.options;
    EXPECT_TRUE(test::SameBytes(test::RgbOf(img), test::MagickPixels(out))) << c.options;
    ImgFree(&img);
  }
}

TEST_F(RasFiles, SampleFilesDecodeLikeImageMagick) {
  const auto files = test::CorpusFiles("ras/valid");
  if (files.empty()) GTEST_SKIP() << "sample corpus not present";
  for (const auto& f : files) {
    Qimg img{};
    ASSERT_EQ(test::LoadWith(RASLoad, f, &img), kNoError) << f;
    if (test::HaveImageMagick()) {
      EXPECT_TRUE(test::SameBytes(test::RgbOf(img), test::MagickPixels(f))) << f;
    }
    ImgFree(&img);
  }
}

}  // namespace
}  // namespace zelo
