#include "formats/ff_sgi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <tuple>

#include "support/format_files.h"

namespace zelo {
namespace {

using test::ErrPair;
using test::kNoError;

// --- run-length coder ------------------------------------------------------------

std::string Packed(const std::string& row) {
  std::vector<uint8_t> out(2 * row.size() + 1);
  const int32_t n = SGIPack_(reinterpret_cast<const uint8_t*>(row.data()), int32_t(row.size()), out.data());
  return std::string(out.begin(), out.begin() + n);
}

TEST(SgiCoder, PackCases) {
  const struct {
    std::string row, packed;
  } cases[] = {
      {"AAAB", "\x03" "A" "\x81" "B" + std::string(1, '\0')},
      {"X", "\x81X" + std::string(1, '\0')},
      {std::string(130, 'v'), "\x7Ev\x04v" + std::string(1, '\0')},
      {"ABB", "\x81" "A" "\x02" "B" + std::string(1, '\0')},
      {"ABC", "\x83" "ABC" + std::string(1, '\0')},
  };
  for (const auto& c : cases) EXPECT_EQ(Packed(c.row), c.packed) << c.row.substr(0, 8);
  // 126 different bytes: a full literal packet of 125, then one of 1.
  std::string lit;
  for (int i = 0; i < 126; ++i) lit += char(i);
  const std::string p = Packed(lit);
  ASSERT_EQ(p.size(), 126u + 2 + 1);
  EXPECT_EQ(uint8_t(p[0]), 0x80 + 125);
  EXPECT_EQ(uint8_t(p[126]), 0x81);
}

TEST(SgiCoder, PackThenUnpackGivesTheRowWithinItsBound) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    const int32_t n = 1 + int32_t(rng() % 400);
    std::vector<uint8_t> row(n);
    for (int32_t i = 0; i < n; ++i) row[i] = (rng() % 4 == 0) ? uint8_t(rng()) : uint8_t(i > 0 ? row[i - 1] : 0);
    std::vector<uint8_t> packed(2 * n + 1 + 16, 0xCD);
    const int32_t len = SGIPack_(row.data(), n, packed.data());
    ASSERT_LE(len, 2 * n + 1);
    for (size_t i = size_t(len); i < packed.size(); ++i) ASSERT_EQ(packed[i], 0xCD);
    std::vector<uint8_t> back(n + 8, 0xEE);
    ASSERT_EQ(SGIUnpack_(back.data(), n, packed.data(), len), n);
    ASSERT_TRUE(std::equal(row.begin(), row.end(), back.begin())) << "trial " << trial;
    EXPECT_EQ(back[n], 0xEE);
  }
}

TEST(SgiCoder, UnpackNeverPassesTheRowAndRefusesCorruptRows) {
  const struct {
    std::string in;
    int32_t width;
    int32_t result;
    std::string out;
  } cases[] = {
      {"\x84" "ABCD", 4, 4, "ABCD"},                               // full row, no end marker
      {"\x84" "ABCD" + std::string(1, '\0') + "junk", 4, 4, "ABCD"},
      {"\x02" "A" + std::string(1, '\0') + "\x02" "B", 6, 2, "AA"},  // end marker: short row
      {"\x05" "A", 3, -1, ""},                                     // run past the width
      {"\x83" "ABC" "\x02" "D", 4, -1, ""},                         // run crosses the width
      {"\x84" "ABCD" "\x01" "E", 4, -1, ""},                        // packet after a full row
      {"\x85" "AB", 8, -1, ""},                                    // literal cut short
      {"\x03", 4, -1, ""},                                         // run without its value
      {"\x02" "A", 4, -1, ""},                                     // data ends before the row is full
  };
  for (const auto& c : cases) {
    std::string out(c.width + 4, '#');
    const int32_t n = SGIUnpack_(reinterpret_cast<uint8_t*>(out.data()), c.width,
                                 reinterpret_cast<const uint8_t*>(c.in.data()), int32_t(c.in.size()));
    EXPECT_EQ(n, c.result) << c.in;
    if (n >= 0) {
      EXPECT_EQ(out.substr(0, n), c.out) << c.in;
    }
    EXPECT_EQ(out.substr(c.width), "####") << c.in;
  }
}

// --- hand-made files -----------------------------------------------------------------

struct SgiSpec {
  int32_t storage = 0, bpc = 1, dimension = 3, width = 4, height = 3, channels = 3;
  uint32_t colorMap = 0;
  uint16_t magic = kSgiMagic;
};

std::string SgiHeader(const SgiSpec& s) {
  std::string h(kSgiHeaderSize, '\0');
  auto* p = reinterpret_cast<uint8_t*>(h.data());
  PutBE16(p, s.magic);
  p[2] = uint8_t(s.storage);
  p[3] = uint8_t(s.bpc);
  PutBE16(p + 4, uint32_t(s.dimension));
  PutBE16(p + 6, uint32_t(s.width));
  PutBE16(p + 8, uint32_t(s.height));
  PutBE16(p + 10, uint32_t(s.channels));
  PutBE32(p + 16, 255);
  PutBE32(p + 104, s.colorMap);
  return h;
}

// Planes of bytes (rows bottom first); run-length encoded when storage is 1.
std::string SgiFile(const SgiSpec& s, const std::vector<std::string>& planes) {
  std::string f = SgiHeader(s);
  if (s.storage == 0) {
    for (const auto& p : planes) f += p;
    return f;
  }
  const int32_t rows = s.height;
  const size_t entries = planes.size() * rows;
  std::string starts(entries * 4, '\0'), lengths(entries * 4, '\0'), data;
  const size_t base = f.size() + 8 * entries;
  const int32_t rowLen = int32_t(planes[0].size() / rows);
  for (size_t c = 0; c < planes.size(); ++c) {
    for (int32_t y = 0; y < rows; ++y) {
      const std::string packed = Packed(planes[c].substr(size_t(y) * rowLen, rowLen));
      PutBE32(reinterpret_cast<uint8_t*>(starts.data()) + 4 * (c * rows + y), uint32_t(base + data.size()));
      PutBE32(reinterpret_cast<uint8_t*>(lengths.data()) + 4 * (c * rows + y), uint32_t(packed.size()));
      data += packed;
    }
  }
  return f + starts + lengths + data;
}

using SgiFiles = test::FormatTest;

TEST_F(SgiFiles, ChannelsBecomeGreyColourAndAlpha) {
  // 2 x 2 pictures; plane bytes 10 * plane + pixel, rows bottom first.
  auto plane = [](int c) { return std::string{char(10 * c + 1), char(10 * c + 2), char(10 * c + 3), char(10 * c + 4)}; };
  for (int storage : {0, 1}) {
    SgiSpec s;
    s.storage = storage;
    s.width = s.height = 2;
    Qimg img{};
    s.channels = 1;
    test::WriteFile(Path("g.bw"), SgiFile(s, {plane(1)}));
    ASSERT_EQ(test::LoadWith(SGILoad, Path("g.bw"), &img), kNoError);
    EXPECT_EQ(img.bpp, 8);
    EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{13, 14, 11, 12}));  // top row is file row 1
    EXPECT_EQ(img.pal[200][0], 200);
    EXPECT_EQ(img.pal[200][2], 200);
    ImgFree(&img);

    s.channels = 3;
    test::WriteFile(Path("c.rgb"), SgiFile(s, {plane(0), plane(1), plane(2)}));
    ASSERT_EQ(test::LoadWith(SGILoad, Path("c.rgb"), &img), kNoError);
    EXPECT_EQ(img.bpp, 24);
    EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{23, 13, 3, 24, 14, 4, 21, 11, 1, 22, 12, 2}));
    ImgFree(&img);

    s.channels = 4;
    test::WriteFile(Path("a.rgba"), SgiFile(s, {plane(0), plane(1), plane(2), plane(3)}));
    ASSERT_EQ(test::LoadWith(SGILoad, Path("a.rgba"), &img), kNoError);
    EXPECT_EQ(img.bpp, 32);
    EXPECT_EQ(test::Bytes(img),
              (std::vector<uint8_t>{23, 13, 3, 33, 24, 14, 4, 34, 21, 11, 1, 31, 22, 12, 2, 32}));
    ImgFree(&img);

    // Grey with alpha: the grey plane.
    s.channels = 2;
    test::WriteFile(Path("ga.sgi"), SgiFile(s, {plane(1), plane(3)}));
    ASSERT_EQ(test::LoadWith(SGILoad, Path("ga.sgi"), &img), kNoError);
    EXPECT_EQ(img.bpp, 8);
    EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{13, 14, 11, 12}));
    ImgFree(&img);
  }
}

TEST_F(SgiFiles, DimensionFieldDecidesRowsAndChannels) {
  // Dimension 1: one row of one channel, whatever height and channels say.
  SgiSpec s;
  s.dimension = 1;
  s.width = 4;
  s.height = 9;
  s.channels = 3;
  test::WriteFile(Path("d1.sgi"), SgiHeader(s) + "wxyz");
  Qimg img{};
  ASSERT_EQ(test::LoadWith(SGILoad, Path("d1.sgi"), &img), kNoError);
  EXPECT_EQ(img.resY, 1);
  EXPECT_EQ(img.bpp, 8);
  EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{'w', 'x', 'y', 'z'}));
  ImgFree(&img);
  // Dimension 2: one channel.
  s.dimension = 2;
  s.height = 2;
  test::WriteFile(Path("d2.sgi"), SgiHeader(s) + "abcdefgh");
  ASSERT_EQ(test::LoadWith(SGILoad, Path("d2.sgi"), &img), kNoError);
  EXPECT_EQ(img.bpp, 8);
  EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{'e', 'f', 'g', 'h', 'a', 'b', 'c', 'd'}));
  ImgFree(&img);
}

TEST_F(SgiFiles, SixteenBitSamplesScaleToEightBits) {
  SgiSpec s;
  s.bpc = 2;
  s.width = 2;
  s.height = 1;
  s.channels = 1;
  test::WriteFile(Path("v16.sgi"), SgiHeader(s) + std::string("\x12\x34\xAB\xCD", 4));
  Qimg img{};
  ASSERT_EQ(test::LoadWith(SGILoad, Path("v16.sgi"), &img), kNoError);
  EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{0x12, 0xAB}));
  ImgFree(&img);
  // Encoded: counts in the low byte of a sample.
  s.storage = 1;
  s.width = 4;
  const std::string row = std::string("\x00\x82\x11\x00\x22\x00", 6) + std::string("\x00\x02\x33\x00", 4) +
                          std::string(2, '\0');
  std::string tables(8, '\0');
  PutBE32(reinterpret_cast<uint8_t*>(tables.data()), kSgiHeaderSize + 8);
  PutBE32(reinterpret_cast<uint8_t*>(tables.data()) + 4, uint32_t(row.size()));
  test::WriteFile(Path("r16.sgi"), SgiHeader(s) + tables + row);
  ASSERT_EQ(test::LoadWith(SGILoad, Path("r16.sgi"), &img), kNoError);
  EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x33}));
  ImgFree(&img);
}

TEST_F(SgiFiles, ShortEncodedRowsEndBlack) {
  SgiSpec s;
  s.storage = 1;
  s.width = 4;
  s.height = 1;
  s.channels = 1;
  const std::string row = "\x02" "A" + std::string(1, '\0');  // two of four bytes
  std::string tables(8, '\0');
  PutBE32(reinterpret_cast<uint8_t*>(tables.data()), kSgiHeaderSize + 8);
  PutBE32(reinterpret_cast<uint8_t*>(tables.data()) + 4, uint32_t(row.size()));
  test::WriteFile(Path("short.sgi"), SgiHeader(s) + tables + row);
  Qimg img{};
  ASSERT_EQ(test::LoadWith(SGILoad, Path("short.sgi"), &img), kNoError);
  EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{'A', 'A', 0, 0}));
  ImgFree(&img);
}

TEST_F(SgiFiles, BrokenFilesFailCleanly) {
  SgiSpec good;
  const std::string planes(4 * 3 * 3, 'p');
  auto with = [&](auto change) {
    SgiSpec s = good;
    change(s);
    return s;
  };
  auto rleFile = [&](uint32_t start, uint32_t length) {
    SgiSpec s = good;
    s.storage = 1;
    s.channels = 1;
    s.height = 1;
    std::string tables(8, '\0');
    PutBE32(reinterpret_cast<uint8_t*>(tables.data()), start);
    PutBE32(reinterpret_cast<uint8_t*>(tables.data()) + 4, length);
    return SgiHeader(s) + tables + "\x04z" + std::string(1, '\0');
  };
  const struct {
    const char* what;
    std::string bytes;
    ErrPair error;
  } cases[] = {
      {"wrong magic", SgiHeader(with([](SgiSpec& s) { s.magic = 0x1234; })) + planes, {7, 2}},
      {"three bytes per channel", SgiHeader(with([](SgiSpec& s) { s.bpc = 3; })) + planes, {7, 1}},
      {"storage 2", SgiHeader(with([](SgiSpec& s) { s.storage = 2; })) + planes, {7, 1}},
      {"colour map", SgiHeader(with([](SgiSpec& s) { s.colorMap = 1; })) + planes, {7, 1}},
      {"dimension 4", SgiHeader(with([](SgiSpec& s) { s.dimension = 4; })) + planes, {7, 1}},
      {"five channels", SgiHeader(with([](SgiSpec& s) { s.channels = 5; })) + planes, {7, 1}},
      {"zero width", SgiHeader(with([](SgiSpec& s) { s.width = 0; })) + planes, {7, 4}},
      {"header cut", SgiHeader(good).substr(0, 100), {6, 3}},
      {"pixels cut", SgiHeader(good) + planes.substr(1), {6, 3}},
      {"huge picture, tiny file",
       SgiHeader(with([](SgiSpec& s) { s.width = s.height = 40000; s.channels = 1; })), {6, 3}},
      {"tables cut", SgiHeader(with([](SgiSpec& s) { s.storage = 1; })) + std::string(40, '\0'), {6, 3}},
      {"row beyond the end", rleFile(kSgiHeaderSize + 8, 4), {7, 9}},
      {"row start beyond the end", rleFile(0xFFFFFFF0u, 1), {7, 9}},
      {"empty file", "", {6, 3}},
  };
  for (const auto& c : cases) ExpectRefused(SGILoad, c.bytes, c.error, c.what);
}

TEST_F(SgiFiles, Information) {
  SgiSpec s;
  s.storage = 1;
  s.width = 6;
  s.height = 5;
  s.channels = 4;
  const std::string p(30, 'q');
  test::WriteFile(Path("i.sgi"), SgiFile(s, {p, p, p, p}));
  QffInfo info;
  ASSERT_EQ(test::Attempt([&] { SGIInfo(Path("i.sgi"), &info); }), kNoError);
  EXPECT_EQ(info.media.width, 6);
  EXPECT_EQ(info.media.height, 5);
  EXPECT_EQ(info.media.bytesPP, 4);
  EXPECT_EQ(info.media.bpp, 32);
  EXPECT_EQ(info.media.frames, 1);
  EXPECT_EQ(info.media.videoName, "Run Length Encoding (RLE)");
  EXPECT_EQ(info.media.hasPictures, kTrue);
  EXPECT_EQ(info.media.picturesReadable, kTrue);
  EXPECT_EQ(info.fileSize, int64_t(test::ReadFile(Path("i.sgi")).size()));

  s.storage = 0;
  s.bpc = 4;
  test::WriteFile(Path("u.sgi"), SgiHeader(s));
  QffInfo u;
  ASSERT_EQ(test::Attempt([&] { SGIInfo(Path("u.sgi"), &u); }), kNoError);
  EXPECT_EQ(u.media.videoName, "");
  EXPECT_EQ(u.media.picturesReadable, kFalse);
}

// --- writer ---------------------------------------------------------------------------

class SgiRoundTrip : public test::FormatTest, public testing::WithParamInterface<std::tuple<int, bool>> {
 protected:
  void TearDown() override {
    SGIRle = true;
    FormatTest::TearDown();
  }
};

TEST_P(SgiRoundTrip, GivesBackThePixelsAsTwentyFourBits) {
  const auto [bpp, rle] = GetParam();
  Qimg src = test::PatternImg(37, 23, bpp);
  // Runs for the encoder as well as noise.
  std::memset(ImgPixels(&src) + 5 * ImgRowBytes(&src), 0x80, size_t(ImgRowBytes(&src)) * 2);
  SGIRle = rle;
  ASSERT_EQ(test::Attempt([&] { SGISave(Path("x.sgi"), &src); }), kNoError);
  const std::string file = test::ReadFile(Path("x.sgi"));
  ASSERT_GE(file.size(), 512u);
  EXPECT_EQ(uint8_t(file[2]), rle ? 1 : 0);
  EXPECT_EQ(GetBE16(reinterpret_cast<const uint8_t*>(file.data()) + 10), 3);
  if (!rle) {
    EXPECT_EQ(file.size(), 512u + 37 * 23 * 3);
  }
  Qimg back{};
  ASSERT_EQ(test::LoadWith(SGILoad, Path("x.sgi"), &back), kNoError);
  EXPECT_EQ(back.bpp, 24);
  EXPECT_EQ(test::Bytes(back), test::As24(src));
  if (test::HaveImageMagick()) {
    EXPECT_TRUE(test::SameBytes(test::MagickPixels(Path("x.sgi")), test::RgbOf(src)));
  }
  ImgFree(&back);
  ImgFree(&src);
}

INSTANTIATE_TEST_SUITE_P(Depths, SgiRoundTrip,
                         testing::Combine(testing::Values(8, 15, 16, 24, 32), testing::Bool()));

TEST_F(SgiFiles, WriterRefusesWhatItCannotStore) {
  Qimg tiny = test::MakeImg(3, 8, 24);
  EXPECT_EQ(test::Attempt([&] { SGISave(Path("t.sgi"), &tiny); }), ErrPair(14, 1));
  Qimg none{};
  EXPECT_EQ(test::Attempt([&] { SGISave(Path("n.sgi"), &none); }), ErrPair(14, 1));
  ImgFree(&tiny);
}

TEST_F(SgiFiles, EveryRefusedAllocationLeavesNothing) {
  Qimg src = test::PatternImg(20, 9, 8);
  for (bool rle : {false, true}) {
    SGIRle = rle;
    ExpectRefusedAllocationsLeaveNothing(SGISave, SGILoad, &src);
  }
  SGIRle = true;
  ImgFree(&src);
}

// --- files ImageMagick writes ------------------------------------------------------------

TEST_F(SgiFiles, ReadsWhatImageMagickWrites) {
  if (!test::HaveImageMagick()) GTEST_SKIP() << "ImageMagick not installed";
  const int32_t w = 29, h = 13;
  test::WritePpm(Path("src.ppm"), w, h, test::TestRgb(w, h));
  const struct {
    const char* options;
    int32_t bpp;
  } cases[] = {
      {"-depth 8 -compress None", 24},
      {"-depth 8 -compress RLE", 24},
      {"-depth 8 -colorspace Gray -compress None", 8},
      {"-depth 8 -colorspace Gray -compress RLE", 8},
      {"-depth 8 -alpha set -channel A -fx 'i/w' +channel -compress None", 32},
      {"-depth 8 -alpha set -channel A -fx 'i/w' +channel -compress RLE", 32},
      {"-depth 16 -compress None", 24},
  };
  for (const auto& c : cases) {
    const std::string out = Path("im.sgi");
    std::filesystem::remove(out);
    ASSERT_TRUE(test::MagickConvert(Path("src.ppm"), c.options, out)) << c.options;
    Qimg img{};
    ASSERT_EQ(test::LoadWith(SGILoad, out, &img), kNoError) << c.options;
    EXPECT_EQ(img.bpp, c.bpp) << c.options;
    EXPECT_TRUE(test::SameBytes(test::RgbOf(img), test::MagickPixels(out))) << c.options;
    if (c.bpp == 32) {
      const std::string rgba = test::MagickPixels(out, "rgba");
      const std::vector<uint8_t> px = test::Bytes(img);
      for (int32_t i = 0; i < w * h; ++i) ASSERT_EQ(px[4 * i + 3], uint8_t(rgba[4 * i + 3])) << i;
    }
    ImgFree(&img);
  }
}

// --- public sample files -----------------------------------------------------------------

TEST_F(SgiFiles, SampleFilesDecodeLikeImageMagick) {
  const auto files = test::CorpusFiles("sgi/valid");
  if (files.empty()) GTEST_SKIP() << "sample corpus not present";
  for (const auto& f : files) {
    Qimg img{};
    const ErrPair r = test::LoadWith(SGILoad, f, &img);
    ASSERT_EQ(r, kNoError) << f;
    // Two-byte samples: ImageMagick truncates where this reader rounds.
    const int tolerance = test::ReadFile(f)[3] == 2 ? 1 : 0;
    if (test::HaveImageMagick()) {
      EXPECT_TRUE(test::NearBytes(test::RgbOf(img), test::MagickPixels(f), tolerance)) << f;
    }
    ImgFree(&img);
  }
}

TEST_F(SgiFiles, BrokenSampleFilesFailCleanly) {
  const auto files = test::CorpusFiles("sgi/invalid");
  if (files.empty()) GTEST_SKIP() << "sample corpus not present";
  for (const auto& f : files) {
    Qimg img{};
    const ErrPair r = test::LoadWith(SGILoad, f, &img);
    EXPECT_NE(r, kNoError) << f;
    if (r == kNoError) ImgFree(&img);
    EXPECT_EQ(MemCount(), blocks_) << f;
    EXPECT_EQ(FCount(), files_) << f;
  }
}

}  // namespace
}  // namespace zelo
