// Images from host memory and packed device-independent bitmaps, checked
// against ImageMagick and the bmpsuite samples.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/monitor.h"
#include "support/image_helpers.h"
#include "image/imgbasic.h"
#include "support/temp_dir.h"

namespace zelo {
namespace {

using BitmapsTest = test::ImageTest;
using test::As24;
using test::Bytes;
using test::MakeImg;
using test::PatternImg;

TEST_F(BitmapsTest, DIBRowBytesPadsToTheAlignment) {
  const int32_t cases[][4] = {
      // width, bpp, alignment, bytes
      {1, 8, 4, 4},    {4, 8, 4, 4},   {5, 8, 4, 8},   {1, 24, 4, 4},
      {3, 24, 4, 12},  {5, 15, 4, 12}, {5, 16, 4, 12}, {5, 32, 4, 20},
      {-5, 24, 4, 16}, {5, 24, 2, 16}, {5, 24, 1, 15}, {0, 24, 4, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(DIBRowBytes(c[0], c[1], c[2]), c[3]) << c[0] << " " << c[1];
  EXPECT_EQ(DIBRowBytes(INT32_MIN, 32), int64_t(1) << 33) << "no overflow";
}

TEST_F(BitmapsTest, RowsToDIBReversesRowsAndZeroesThePadding) {
  Qimg img = MakeImg(1, 2, 24, {1, 2, 3, 4, 5, 6});
  std::vector<uint8_t> dib(8, 0xEE);
  RowsToDIB_(ImgPixels(&img), dib.data(), 1, 24, 2);
  EXPECT_EQ(dib, (std::vector<uint8_t>{4, 5, 6, 0, 1, 2, 3, 0}));
  ImgFree(&img);
}

TEST_F(BitmapsTest, RawToQimgCopiesPixelsAndAGivenPalette) {
  const uint8_t pixels[6] = {1, 2, 3, 4, 5, 6};
  uint8_t palette[768];
  for (int i = 0; i < 768; ++i) palette[i] = uint8_t(i);
  Qimg img{};
  img.pal[9][0] = 77;
  RawToQimg(&img, pixels, nullptr, 3, 2, 8);
  EXPECT_EQ(Bytes(img), std::vector<uint8_t>(pixels, pixels + 6));
  EXPECT_EQ(img.pal[9][0], 77) << "no palette given: kept";
  RawToQimg(&img, pixels, palette, 1, 2, 24);
  EXPECT_EQ(img.bpp, 24);
  EXPECT_EQ(img.pixSize, 6);
  EXPECT_EQ(img.pal[9][0], 27);
  ImgFree(&img);
}

TEST_F(BitmapsTest, MakeQimgReadsStridedRowsEitherWayUp) {
  // Three rows of two 8-bit pixels, three bytes apart.
  const uint8_t bits[] = {1, 2, 0, 3, 4, 0, 5, 6, 0};
  struct Case {
    int64_t stride;
    bool topDown;
    std::vector<uint8_t> want;
  } const cases[] = {
      {3, true, {1, 2, 3, 4, 5, 6}},
      {3, false, {5, 6, 3, 4, 1, 2}},
      {2, false, {4, 0, 0, 3, 1, 2}},  // stride = row bytes, bottom-up: rows reversed
      {2, true, {1, 2, 0, 3, 4, 0}},   // one block copy
  };
  for (const auto& c : cases) {
    Qimg img{};
    MakeQimg(&img, bits, 2, 3, 8, c.stride, c.topDown);
    EXPECT_EQ(Bytes(img), c.want) << c.stride << " " << c.topDown;
    ImgFree(&img);
  }
}

// A packed bitmap in a byte vector: header, optional masks or colour table, rows.
std::vector<uint8_t> Dib(int32_t width, int32_t height, uint16_t bitCount, uint32_t compression,
                         uint32_t clrUsed, int64_t extra, uint32_t headerSize = 40) {
  const int64_t rows = DIBRowBytes(width, bitCount) * (height < 0 ? -height : height);
  std::vector<uint8_t> d(static_cast<size_t>(headerSize + extra + rows));
  gdi::BITMAPINFOHEADER h;
  h.biSize = headerSize;
  h.biWidth = width;
  h.biHeight = height;
  h.biBitCount = bitCount;
  h.biCompression = compression;
  h.biClrUsed = clrUsed;
  gdi::PutInfoHeader(d.data(), h);
  return d;
}

TEST_F(BitmapsTest, DibWithSixteenUsedColoursSkipsSixtyFourBytes) {
  std::vector<uint8_t> d = Dib(3, 2, 8, gdi::BI_RGB, 16, 64);
  for (int i = 0; i < 16; ++i) {
    d[40 + 4 * i] = uint8_t(i);            // blue
    d[40 + 4 * i + 1] = uint8_t(100 + i);  // green
    d[40 + 4 * i + 2] = uint8_t(200 + i);  // red
    d[40 + 4 * i + 3] = 0xAA;
  }
  const uint8_t rows[8] = {7, 8, 9, 0, 1, 2, 3, 0};  // bottom row first
  std::memcpy(d.data() + 104, rows, 8);
  Qimg img{};
  img.pal[16][1] = 55;
  DibToQimg(&img, d.data(), int64_t(d.size()));
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(img.bpp, 8);
  EXPECT_EQ(Bytes(img), (std::vector<uint8_t>{1, 2, 3, 7, 8, 9}));
  EXPECT_EQ(img.pal[15][0], 15);
  EXPECT_EQ(img.pal[15][1], 115);
  EXPECT_EQ(img.pal[15][2], 215);
  EXPECT_EQ(img.pal[16][1], 55) << "entries past the table keep what they held";
  ImgFree(&img);
}

TEST_F(BitmapsTest, DibVariantsThatConvertEasilyAreRead) {
  struct Case {
    const char* what;
    std::vector<uint8_t> dib;
    size_t bitsAt;
    int32_t bpp;
  };
  std::vector<Case> cases;
  // Top-down rows.
  cases.push_back({"top-down", Dib(1, -2, 24, gdi::BI_RGB, 0, 0), 40, 24});
  // 5-6-5 and 5-5-5 masks after a 40-byte header.
  for (bool six : {true, false}) {
    Case c{six ? "565 masks" : "555 masks", Dib(1, 2, 16, gdi::BI_BITFIELDS, 0, 12), 52,
           six ? 16 : 15};
    PutLE32(c.dib.data() + 40, six ? 0xF800 : 0x7C00);
    PutLE32(c.dib.data() + 44, six ? 0x07E0 : 0x03E0);
    PutLE32(c.dib.data() + 48, 0x1F);
    cases.push_back(c);
  }
  // A 24-bit bitmap with an optional colour table of 3 entries.
  cases.push_back({"table before 24-bit rows", Dib(1, 2, 24, gdi::BI_RGB, 3, 12), 52, 24});
  // A V5 header: the colour table follows the whole header.
  cases.push_back({"V5 header", Dib(1, 2, 8, gdi::BI_RGB, 2, 8, 124), 132, 8});
  for (auto& c : cases) {
    const size_t rowBytes = 4;
    c.dib[c.bitsAt] = 0x11;                     // first row in memory
    c.dib[c.bitsAt + rowBytes] = 0x22;          // second
    if (c.bpp == 8) c.dib[124 + 4 + 2] = 0x99;  // red of entry 1
    Qimg img{};
    ProtectedKeep([&] { DibToQimg(&img, c.dib.data(), int64_t(c.dib.size())); });
    ASSERT_TRUE(ErrNone()) << c.what << ": " << ErrCode();
    EXPECT_EQ(img.bpp, c.bpp) << c.what;
    const bool topDown = std::string(c.what) == "top-down";
    EXPECT_EQ(ImgPixels(&img)[0], topDown ? 0x11 : 0x22) << c.what;
    EXPECT_EQ(ImgPixels(&img)[img.bytesPP], topDown ? 0x22 : 0x11) << c.what;
    if (c.bpp == 8) {
      EXPECT_EQ(img.pal[1][2], 0x99);
    }
    ImgFree(&img);
  }
}

TEST_F(BitmapsTest, DibsOutsideTheAcceptedSetFailCleanly) {
  struct Case {
    const char* what;
    std::vector<uint8_t> dib;
    int64_t size;  // -1: the vector's size
    int32_t code;
  };
  std::vector<Case> cases = {
      {"4 bits", Dib(2, 2, 4, gdi::BI_RGB, 16, 64), -1, 1},
      {"1 bit", Dib(2, 2, 1, gdi::BI_RGB, 2, 8), -1, 1},
      {"run-length 8", Dib(2, 2, 8, 1, 0, 1024), -1, 1},
      {"masks of another layout", Dib(2, 2, 16, gdi::BI_BITFIELDS, 0, 12), -1, 1},
      {"masks at 24 bits", Dib(2, 2, 24, gdi::BI_BITFIELDS, 0, 12), -1, 1},
      {"core header", Dib(2, 2, 8, gdi::BI_RGB, 0, 1024, 12), -1, 4},
      {"header size 200", Dib(2, 2, 8, gdi::BI_RGB, 0, 1024, 200), -1, 4},
      {"width 0", Dib(0, 2, 24, gdi::BI_RGB, 0, 16), -1, 4},
      {"negative width", Dib(-2, 2, 24, gdi::BI_RGB, 0, 0), -1, 4},
      {"height 0", Dib(2, 0, 24, gdi::BI_RGB, 0, 16), -1, 4},
      {"300 colours", Dib(2, 2, 8, gdi::BI_RGB, 300, 1200), -1, 4},
      {"60000 x 60000", Dib(1, 1, 24, gdi::BI_RGB, 0, 0), -1, 4},
      {"rows cut short", Dib(3, 3, 24, gdi::BI_RGB, 0, 0), 40 + 12 * 2 + 8, 9},
      {"table cut short", Dib(2, 2, 8, gdi::BI_RGB, 0, 1024), 40 + 1000, 9},
      {"header cut short", Dib(2, 2, 24, gdi::BI_RGB, 0, 0), 39, 9},
      {"masks cut short", Dib(2, 2, 16, gdi::BI_BITFIELDS, 0, 12), 50, 9},
  };
  PutLE32(cases[3].dib.data() + 40, 0xFF00);  // 8-8-0
  PutLE32(cases[3].dib.data() + 44, 0xFF);
  PutLE32(cases[11].dib.data() + 4, 60000);
  PutLE32(cases[11].dib.data() + 8, 60000);
  for (auto& c : cases) {
    Qimg img = MakeImg(1, 1, 8, {42});
    const Qimg before = img;
    ProtectedKeep(
        [&] { DibToQimg(&img, c.dib.data(), c.size < 0 ? int64_t(c.dib.size()) : c.size); });
    EXPECT_EQ(ErrCategory(), ERR_IMG) << c.what;
    EXPECT_EQ(ErrCode(), c.code) << c.what;
    EXPECT_EQ(std::memcmp(&img, &before, sizeof img), 0) << c.what << ": image changed";
    EXPECT_EQ(ImgPixels(&img)[0], 42);
    ImgFree(&img);
  }
}

// --- packed bitmaps written by the library ---------------------------------------

struct PackedDib {
  gdi::HGLOBAL h = nullptr;
  ~PackedDib() { gdi::GlobalFree(h); }
  const uint8_t* bytes() const { return static_cast<const uint8_t*>(h); }
};

TEST_F(BitmapsTest, PackedDibHeaderAndLayoutAtEveryDepth) {
  struct Case {
    int32_t bpp;
    uint16_t bitCount;
    uint32_t compression, clrUsed;
    int64_t bitsAt;
  } const cases[] = {
      {8, 8, gdi::BI_RGB, 256, 40 + 1024}, {15, 16, gdi::BI_RGB, 0, 40},
      {16, 16, gdi::BI_BITFIELDS, 0, 52},  {24, 24, gdi::BI_RGB, 0, 40},
      {32, 32, gdi::BI_RGB, 0, 40},
  };
  for (const auto& c : cases) {
    Qimg img = PatternImg(3, 2, c.bpp);
    PackedDib dib;
    ASSERT_TRUE(QimgToDIBWin3(&img, &dib.h));
    const int64_t rowBytes = DIBRowBytes(3, c.bpp);
    EXPECT_EQ(gdi::GlobalSize(dib.h), c.bitsAt + 2 * rowBytes);
    const gdi::BITMAPINFOHEADER h = gdi::GetInfoHeader(dib.bytes());
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, 3);
    EXPECT_EQ(h.biHeight, 2);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, c.bitCount) << c.bpp;
    EXPECT_EQ(h.biCompression, c.compression) << c.bpp;
    EXPECT_EQ(h.biSizeImage, uint32_t(2 * rowBytes));
    EXPECT_EQ(h.biClrUsed, c.clrUsed);
    if (c.bpp == 16) {
      EXPECT_EQ(GetLE32(dib.bytes() + 40), 0xF800u);
      EXPECT_EQ(GetLE32(dib.bytes() + 44), 0x07E0u);
      EXPECT_EQ(GetLE32(dib.bytes() + 48), 0x001Fu);
    }
    if (c.bpp == 8) {
      EXPECT_EQ(dib.bytes()[40 + 4 * 7 + 2], img.pal[7][2]);
      EXPECT_EQ(dib.bytes()[40 + 4 * 7 + 3], 0);
    }
    // Bottom row first, padding zeroed.
    const uint8_t* bottom = dib.bytes() + c.bitsAt;
    EXPECT_EQ(std::memcmp(bottom, ImgPixels(&img) + ImgRowBytes(&img), size_t(ImgRowBytes(&img))),
              0);
    for (int64_t i = ImgRowBytes(&img); i < rowBytes; ++i) EXPECT_EQ(bottom[i], 0);
    ImgFree(&img);
  }
}

TEST_F(BitmapsTest, PackedDibRoundTripGivesTheSamePixelsAtEveryDepth) {
  for (int32_t bpp : {8, 15, 16, 24, 32}) {
    for (int32_t width : {1, 2, 3, 5}) {
      Qimg img = PatternImg(width, 3, bpp);
      PackedDib dib;
      ASSERT_TRUE(QimgToDIBWin3(&img, &dib.h));
      Qimg back{};
      DibToQimg(&back, dib.h, gdi::GlobalSize(dib.h));
      ASSERT_TRUE(ErrNone()) << bpp;
      EXPECT_EQ(back.bpp, bpp);
      EXPECT_EQ(back.resX, width);
      EXPECT_EQ(Bytes(back), Bytes(img)) << bpp << " bits, width " << width;
      if (bpp == 8) {
        EXPECT_EQ(std::memcmp(back.pal, img.pal, sizeof img.pal), 0);
      }
      ImgFree(&img);
      ImgFree(&back);
    }
  }
}

TEST_F(BitmapsTest, PackedDibFailsQuietlyWithoutGlobalMemoryOrPixels) {
  Qimg img = PatternImg(2, 2, 24);
  gdi::HGLOBAL h = &img;  // must be overwritten
  gdi::GlobalFailAfter(0);
  bool ok = true;
  ProtectedKeep([&] { ok = QimgToDIBWin3(&img, &h); });
  gdi::GlobalFailAfter(-1);
  EXPECT_FALSE(ok);
  EXPECT_EQ(h, nullptr);
  EXPECT_TRUE(ErrNone()) << "no error raised";
  Qimg empty{};
  h = &img;
  EXPECT_FALSE(QimgToDIBWin3(&empty, &h));
  EXPECT_EQ(h, nullptr);
  ImgFree(&img);
}

// --- independent readers -----------------------------------------------------------

// The 14-byte file header in front of a packed bitmap.
std::string BmpFile(const uint8_t* dib, int64_t size, int64_t bitsAt) {
  std::string f(14, '\0');
  auto* p = reinterpret_cast<uint8_t*>(f.data());
  p[0] = 'B', p[1] = 'M';
  PutLE32(p + 2, uint32_t(14 + size));
  PutLE32(p + 10, uint32_t(14 + bitsAt));
  f.append(reinterpret_cast<const char*>(dib), size_t(size));
  return f;
}

std::string MagickRgb(const std::string& file) {
  return test::RunCommand("convert '" + file + "' -depth 8 rgb:- 2>/dev/null");
}

// Compares ImageMagick's red-green-blue bytes with the image's blue-green-red
// ones; at 15 and 16 bits only the bits the pixel holds count (readers widen
// 5 and 6 bits differently).
void ExpectSameColours(const std::string& magick, const Qimg& img, const std::string& what) {
  const std::vector<uint8_t> ours = As24(img);
  ASSERT_EQ(magick.size(), ours.size()) << what;
  int mismatches = 0;
  for (size_t i = 0; i < ours.size() && mismatches < 5; i += 3) {
    for (int c = 0; c < 3; ++c) {
      int shift = img.bpp == 15 ? 3 : img.bpp == 16 ? (c == 1 ? 2 : 3) : 0;
      const int theirs = uint8_t(magick[i + c]) >> shift;
      const int mine = ours[i + 2 - c] >> shift;
      if (theirs != mine) {
        ADD_FAILURE() << what << ": pixel " << i / 3 << " channel " << c << ": " << theirs << " vs "
                      << mine;
        ++mismatches;
      }
    }
  }
}

TEST_F(BitmapsTest, ImageMagickReadsThePackedDibsWeWrite) {
  if (!test::HaveImageMagick()) GTEST_SKIP() << "ImageMagick not installed";
  test::TempDir dir;
  for (int32_t bpp : {8, 15, 16, 24, 32}) {
    Qimg img = PatternImg(5, 3, bpp);
    PackedDib dib;
    ASSERT_TRUE(QimgToDIBWin3(&img, &dib.h));
    const int64_t size = gdi::GlobalSize(dib.h);
    const int64_t bitsAt = size - DIBRowBytes(5, bpp) * 3;
    const std::string file = dir / ("x" + std::to_string(bpp) + ".bmp");
    test::WriteFile(file, BmpFile(dib.bytes(), size, bitsAt));
    ExpectSameColours(MagickRgb(file), img, std::to_string(bpp) + " bits");
    ImgFree(&img);
  }
}

TEST_F(BitmapsTest, BmpsuiteBitmapsReadAsImageMagickReadsThem) {
  const std::string folder = std::string(ZELO_SHARED_CORPUS) + "/bmp/valid/bmpsuite/";
  if (!std::filesystem::exists(folder)) GTEST_SKIP() << "corpus missing";
  if (!test::HaveImageMagick()) GTEST_SKIP() << "ImageMagick not installed";
  const char* readable[] = {
      "pal8.bmp",      "pal8-0.bmp",       "pal8gs.bmp",    "pal8nonsquare.bmp", "pal8topdown.bmp",
      "pal8v4.bmp",    "pal8v5.bmp",       "pal8w124.bmp",  "pal8w125.bmp",      "pal8w126.bmp",
      "rgb16-565.bmp", "rgb16-565pal.bmp", "rgb16.bmp",     "rgb16bfdef.bmp",    "rgb24.bmp",
      "rgb24pal.bmp",  "rgb32.bmp",        "rgb32bfdef.bmp"};
  for (const char* name : readable) {
    const std::string file = test::ReadFile(folder + name);
    ASSERT_GT(file.size(), 14u) << name;
    Qimg img{};
    ProtectedKeep([&] { DibToQimg(&img, file.data() + 14, int64_t(file.size() - 14)); });
    ASSERT_TRUE(ErrNone()) << name << ": (" << ErrCategory() << ", " << ErrCode() << ")";
    ExpectSameColours(MagickRgb(folder + name), img, name);
    ImgFree(&img);
  }
  const char* refused[] = {"pal1.bmp",    "pal4.bmp",    "pal4rle.bmp",
                           "pal8rle.bmp", "pal8os2.bmp", "rgb32bf.bmp"};
  for (const char* name : refused) {
    const std::string file = test::ReadFile(folder + name);
    Qimg img{};
    ProtectedKeep([&] { DibToQimg(&img, file.data() + 14, int64_t(file.size() - 14)); });
    EXPECT_EQ(ErrCategory(), ERR_IMG) << name;
    EXPECT_EQ(img.pixPtr, nullptr) << name;
  }
}

TEST_F(BitmapsTest, BrokenBitmapsNeverReadOutsideTheBlock) {
  const std::string root = std::string(ZELO_SHARED_CORPUS) + "/bmp/invalid/";
  if (!std::filesystem::exists(root)) GTEST_SKIP() << "corpus missing";
  int files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string file = test::ReadFile(entry.path().string());
    if (file.size() < 14) continue;
    // An exact-size copy so that the sanitizers see any read past the end.
    std::vector<uint8_t> dib(file.begin() + 14, file.end());
    Qimg img{};
    ProtectedKeep([&] { DibToQimg(&img, dib.data(), int64_t(dib.size())); });
    EXPECT_TRUE(ErrNone() || ErrCategory() == ERR_IMG) << entry.path();
    ImgFree(&img);
    ++files;
  }
  EXPECT_GT(files, 20);
}

}  // namespace
}  // namespace zelo
