#include "formats/ff_pnm.h"

#include <gtest/gtest.h>

#include <cstring>
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

using PnmFiles = test::FormatTest;

TEST_F(PnmFiles, HeadersAndSamples) {
  const std::string rgb48 = test::TestRgb(4, 4);
  const struct {
    const char* what;
    std::string bytes;
    int32_t bpp;
    std::string pixels;  // grey levels, or red-green-blue bytes for colour
  } cases[] = {
      {"P5 maximum 15: samples times 16", "P5 4 4 15\n" + std::string(15, '\x01') + "\x0F", 8,
       std::string(15, '\x10') + "\xF0"},
      {"P2 without a final new line", "P2 4 4 255 " + std::string("1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16"), 8,
       B({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16})},
      {"comments between and inside tokens", "P5#a\n#b\r4 4#c\n  255#d\n" + std::string(16, 'z'), 8,
       std::string(16, 'z')},
      {"samples above the maximum count as the maximum", "P2 4 4 3 0 1 2 3 4 9 3 3 3 3 3 3 3 3 3 3", 8,
       B({0, 64, 128, 192, 192, 192, 192, 192, 192, 192, 192, 192, 192, 192, 192, 192})},
      {"binary data cut short: black rest", "P5 4 4 255\n" + std::string(10, '\x07'), 8,
       std::string(10, '\x07') + std::string(6, '\0')},
      {"16-bit binary, rounded to 8 bits", "P5 4 4 65535\n" + std::string(30, '\0') + "\xFF\xFF", 8,
       std::string(15, '\0') + "\xFF"},
      {"16-bit ASCII, maximum 1023", "P2 4 4 1023 0 1023 511 512 2 1 1 1 1 1 1 1 1 1 1 1", 8,
       B({0, 255, 127, 128, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
      {"P1 digits need no white space", "P1 4 4\n1010 0101\n# c\n11110000\n", 8,
       B({0, 255, 0, 255, 255, 0, 255, 0, 0, 0, 0, 0, 255, 255, 255, 255})},
      {"P4 rows padded to bytes", "P4 5 4\n" + B({0xA8, 0x50, 0xF8, 0x00}), 8,
       B({0, 255, 0, 255, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0, 255, 255, 255, 255, 255})},
      {"P6 in red-green-blue order", "P6 4 4 255\n" + rgb48, 24, rgb48},
  };
  for (const auto& c : cases) {
    test::WriteFile(Path("x.pnm"), c.bytes);
    Qimg img{};
    ASSERT_EQ(test::LoadWith(PNMLoad, Path("x.pnm"), &img), kNoError) << c.what;
    EXPECT_EQ(img.bpp, c.bpp) << c.what;
    const std::vector<uint8_t> px = test::Bytes(img);
    if (c.bpp == 24) {
      EXPECT_EQ(test::RgbOf(img), c.pixels) << c.what;
    } else {
      EXPECT_EQ(std::string(px.begin(), px.end()), c.pixels) << c.what;
      EXPECT_EQ(img.pal[77][0], 77) << c.what;
      EXPECT_EQ(img.pal[77][2], 77) << c.what;
    }
    ImgFree(&img);
  }
}

TEST_F(PnmFiles, GreyLevelsOfAnAsciiFile) {
  test::WriteFile(Path("g.pgm"), "P2\n4 4\n255\n0 128 255 0\n0 0 0 0\n0 0 0 0\n0 0 0 0\n");
  Qimg img{};
  ASSERT_EQ(test::LoadWith(PNMLoad, Path("g.pgm"), &img), kNoError);
  EXPECT_EQ(img.bpp, 8);
  const std::vector<uint8_t> px = test::Bytes(img);
  EXPECT_EQ(px[0], 0);
  EXPECT_EQ(px[1], 128);
  EXPECT_EQ(px[2], 255);
  EXPECT_EQ(img.pal[128][1], 128);
  ImgFree(&img);
}

TEST_F(PnmFiles, ColourFileWithCommentLine) {
  std::string rgb = test::TestRgb(640, 480);
  test::WriteFile(Path("c.ppm"), "P6\n# made by hand\n640 480\n255\n" + rgb);
  Qimg img{};
  ASSERT_EQ(test::LoadWith(PNMLoad, Path("c.ppm"), &img), kNoError);
  EXPECT_EQ(img.resX, 640);
  EXPECT_EQ(img.resY, 480);
  EXPECT_EQ(img.bpp, 24);
  EXPECT_TRUE(test::SameBytes(test::RgbOf(img), rgb));
  ImgFree(&img);
}

TEST_F(PnmFiles, BrokenFilesFailCleanly) {
  const struct {
    const char* what;
    std::string bytes;
    ErrPair error;
  } cases[] = {
      {"not P", "X6 4 4 255\n" + std::string(48, 'a'), {7, 2}},
      {"empty", "", {7, 9}},
      {"only white space", " \n\t ", {7, 9}},
      {"header cut", "P6 4 4", {7, 9}},
      {"comment to the end", "P6 4 4 # no maximum", {7, 9}},
      {"P7", "P7\nWIDTH 4\nHEIGHT 4\n", {7, 1}},
      {"P alone", "P 4 4 255\n", {7, 1}},
      {"3 x 3", "P6 3 3 255\n" + std::string(27, 'a'), {7, 1}},
      {"too wide", "P6 4097 4 255\n", {7, 1}},
      {"huge number", "P6 99999999999999999999999999 4 255\n", {7, 1}},
      {"negative width", "P6 -4 4 255\n", {7, 4}},
      {"letters in the height", "P6 4 4x 255\n", {7, 4}},
      {"maximum 0", "P6 4 4 0\n" + std::string(48, 'a'), {7, 4}},
      {"maximum above 65535", "P6 4 4 65536\n" + std::string(96, 'a'), {7, 4}},
      {"ASCII samples cut", "P2 4 4 255 1 2 3", {7, 9}},
      {"letters among ASCII samples", "P2 4 4 255 1 2 3 x 5 6 7 8 9 10 11 12 13 14 15 16", {7, 9}},
      {"bitmap digit 2", "P1 4 4 1012", {7, 9}},
  };
  for (const auto& c : cases) ExpectRefused(PNMLoad, c.bytes, c.error, c.what);
}

TEST_F(PnmFiles, Information) {
  const struct {
    std::string bytes;
    int32_t width, bytesPP;
    const char* name;
    BOOL readable;
  } cases[] = {
      {"P3 5 4 255\n", 5, 3, "Ascii encoded", kTrue},
      {"P6 5 4 255\n", 5, 3, "Binary encoded", kTrue},
      {"P5 5 4 255\n", 5, 1, "Binary encoded", kTrue},
      {"P1 5 4\n", 5, 1, "Ascii encoded", kTrue},
      {"P6 3 4 255\n", 3, 3, "Binary encoded", kFalse},
      {"P7 5 4 255\n", 0, 0, "Binary encoded", kFalse},
  };
  for (const auto& c : cases) {
    test::WriteFile(Path("i.pnm"), c.bytes);
    QffInfo info;
    ASSERT_EQ(test::Attempt([&] { PNMInfo(Path("i.pnm"), &info); }), kNoError) << c.bytes;
    EXPECT_EQ(info.fileSize, int64_t(c.bytes.size()));
    EXPECT_EQ(info.media.width, c.width) << c.bytes;
    EXPECT_EQ(info.media.height, c.width ? 4 : 0) << c.bytes;
    EXPECT_EQ(info.media.bytesPP, c.bytesPP) << c.bytes;
    EXPECT_EQ(info.media.bpp, c.bytesPP * 8) << c.bytes;
    EXPECT_EQ(info.media.frames, 1);
    EXPECT_EQ(info.media.videoName, c.name) << c.bytes;
    EXPECT_EQ(info.media.hasPictures, ToBool(c.width > 0)) << c.bytes;
    EXPECT_EQ(info.media.picturesReadable, c.readable) << c.bytes;
  }
}

// --- writer ----------------------------------------------------------------------------------

class PnmWriter : public test::FormatTest {
 protected:
  void TearDown() override {
    PNMAscii = false;
    FormatTest::TearDown();
  }
};

TEST_F(PnmWriter, BinaryAndAsciiLayout) {
  const std::string rgb = test::TestRgb(640, 480);
  Qimg src = test::ImgFromRgb(640, 480, rgb);
  PNMAscii = false;
  ASSERT_EQ(test::Attempt([&] { PNMSave(Path("b.ppm"), &src); }), kNoError);
  EXPECT_EQ(test::ReadFile(Path("b.ppm")), "P6\n640 480\n255\n" + rgb);
  PNMAscii = true;
  ASSERT_EQ(test::Attempt([&] { PNMSave(Path("a.ppm"), &src); }), kNoError);
  std::string expect = "P3\n640 480\n255\n";
  for (char v : rgb) expect += std::to_string(int(uint8_t(v))) + "\n";
  EXPECT_EQ(test::ReadFile(Path("a.ppm")), expect);
  ImgFree(&src);
}

class PnmRoundTrip : public PnmWriter, public testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(PnmRoundTrip, GivesBackThePixelsAsTwentyFourBits) {
  const auto [bpp, ascii] = GetParam();
  Qimg src = test::PatternImg(37, 23, bpp);
  PNMAscii = ascii;
  ASSERT_EQ(test::Attempt([&] { PNMSave(Path("x.ppm"), &src); }), kNoError);
  EXPECT_EQ(test::ReadFile(Path("x.ppm")).substr(0, 2), ascii ? "P3" : "P6");
  Qimg back{};
  ASSERT_EQ(test::LoadWith(PNMLoad, Path("x.ppm"), &back), kNoError);
  EXPECT_EQ(back.bpp, 24);
  EXPECT_EQ(test::Bytes(back), test::As24(src));
  if (test::HaveImageMagick()) {
    EXPECT_TRUE(test::SameBytes(test::MagickPixels(Path("x.ppm")), test::RgbOf(src)));
  }
  ImgFree(&back);
  ImgFree(&src);
}

INSTANTIATE_TEST_SUITE_P(Depths, PnmRoundTrip, testing::Combine(testing::Values(8, 15, 16, 24, 32), testing::Bool()));

TEST_F(PnmWriter, EveryRefusedAllocationLeavesNothing) {
  Qimg src = test::PatternImg(21, 9, 16);
  for (bool ascii : {false, true}) {
    PNMAscii = ascii;
    ExpectRefusedAllocationsLeaveNothing(PNMSave, PNMLoad, &src);
  }
  ImgFree(&src);
}

// --- files ImageMagick writes ----------------------------------------------------------------

TEST_F(PnmFiles, ReadsWhatImageMagickWrites) {
  if (!test::HaveImageMagick()) GTEST_SKIP() << "ImageMagick not installed";
  const int32_t w = 29, h = 13;
  test::WritePpm(Path("src.ppm"), w, h, test::TestRgb(w, h));
  const struct {
    const char* options;
    const char* out;
    const char* magic;
    int tolerance;
  } cases[] = {
      {"-compress None", "a.pgm", "P2", 0},  {"-compress None", "a.ppm", "P3", 0},
      {"", "b.pgm", "P5", 0},                {"", "b.ppm", "P6", 0},
      {"-compress None", "a.pbm", "P1", 0},  {"", "b.pbm", "P4", 0},
      {"-depth 16", "c.pgm", "P5", 1},        {"-depth 16", "c.ppm", "P6", 1},
      {"-depth 16 -compress None", "d.ppm", "P3", 1},
  };
  for (const auto& c : cases) {
    const std::string out = Path(c.out);
    ASSERT_TRUE(test::MagickConvert(Path("src.ppm"), c.options, out)) << c.out;
    EXPECT_EQ(test::ReadFile(out).substr(0, 2), c.magic) << c.out;
    Qimg img{};
    ASSERT_EQ(test::LoadWith(PNMLoad, out, &img), kNoError) << c.out;
    EXPECT_TRUE(test::NearBytes(test::RgbOf(img), test::MagickPixels(out), c.tolerance))
        << c.options << " " << c.out;
    ImgFree(&img);
  }
}

// --- public sample files ---------------------------------------------------------------------

TEST_F(PnmFiles, SampleFilesDecodeLikeImageMagickOrAreRefused) {
  const auto files = test::CorpusFiles("pnm/valid");
  if (files.empty()) GTEST_SKIP() << "sample corpus not present";
  int decoded = 0;
  for (const auto& f : files) {
    Qimg img{};
    const ErrPair r = test::LoadWith(PNMLoad, f, &img);
    if (r != kNoError) {
      // Pictures below 4 pixels a side, and a PNG named .pbm.
      EXPECT_TRUE(r == ErrPair(7, 1) || r == ErrPair(7, 2)) << f;
      continue;
    }
    ++decoded;
    const int tolerance = f.find("16") != std::string::npos ? 1 : 0;
    if (test::HaveImageMagick()) {
      EXPECT_TRUE(test::NearBytes(test::RgbOf(img), test::MagickPixels(f), tolerance)) << f;
    }
    ImgFree(&img);
  }
  EXPECT_GE(decoded, 14);
}

TEST_F(PnmFiles, BrokenSampleFilesFailCleanly) {
  const auto files = test::CorpusFiles("pnm/invalid");
  if (files.empty()) GTEST_SKIP() << "sample corpus not present";
  for (const auto& f : files) {
    Qimg img{};
    EXPECT_NE(test::LoadWith(PNMLoad, f, &img), kNoError) << f;
    EXPECT_EQ(MemCount(), blocks_) << f;
    EXPECT_EQ(FCount(), files_) << f;
  }
}

}  // namespace
}  // namespace zelo
