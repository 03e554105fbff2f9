// Targa, PCX and bitmap files: round trips through the writers and readers,
// the bytes the writers store, and the readers' answers to unusual, broken
// and hostile files.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "formats/ffbasic.h"
#include "formats/imgfile.h"
#include "support/format_files.h"

namespace zelo {
namespace {

using test::Attempt;
using test::ErrPair;
using test::kNoError;
using test::LoadWith;

using Loader = void (*)(const std::string&, Qimg*);
using Saver = void (*)(const std::string&, Qimg*);

std::string Le16(uint32_t v) { return {char(v & 0xFF), char((v >> 8) & 0xFF)}; }
std::string Le32(uint32_t v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }
std::string Fill(size_t n, int v) { return std::string(n, char(v)); }

struct Tga {
  int idLength = 0, mapType = 0, type = 2, first = 0, length = 0, entryBits = 0;
  int width = 1, height = 1, depth = 24, descriptor = 0;
  std::string header() const {
    return std::string{char(idLength), char(mapType), char(type)} + Le16(first) + Le16(length) +
           char(entryBits) + Le32(0) + Le16(width) + Le16(height) + char(depth) + char(descriptor);
  }
};

struct Bmp {
  int32_t width = 1, height = 1;
  int bitCount = 24;
  uint32_t compression = 0;
  uint32_t headerSize = 40;
  int64_t dataOffset = -1;  // default: right after the header and palette
  std::string file(const std::string& palette, const std::string& data) const {
    std::string info = Le32(headerSize);
    if (headerSize == 12) {
      info += Le16(uint32_t(width)) + Le16(uint32_t(height)) + Le16(1) + Le16(uint32_t(bitCount));
    } else {
      info += Le32(uint32_t(width)) + Le32(uint32_t(height)) + Le16(1) + Le16(uint32_t(bitCount)) +
              Le32(compression) + Le32(uint32_t(data.size())) + Fill(16, 0);
      if (headerSize > 40) info += Fill(headerSize - 40, 0);
    }
    const uint32_t offset = uint32_t(dataOffset >= 0 ? dataOffset : 14 + int64_t(info.size() + palette.size()));
    const std::string all = info + palette + data;
    return "BM" + Le32(uint32_t(14 + all.size())) + Le32(0) + Le32(offset) + all;
  }
};

struct Pcx {
  int manufacturer = 10, encoding = 1, bitsPerPlane = 8, planes = 1;
  int width = 1, height = 1, lineBytes = 2;
  std::string header() const {
    std::string h = std::string{char(manufacturer), 5, char(encoding), char(bitsPerPlane)} + Le16(0) +
                    Le16(0) + Le16(uint32_t(width - 1)) + Le16(uint32_t(height - 1));
    h += Fill(65 - h.size(), 0);
    h += char(planes);
    h += Le16(uint32_t(lineBytes));
    return h + Fill(128 - h.size() - 0, 0);
  }
};

// A picture with runs and noise; every depth, bit 15 clear at 15 bits.
Qimg MixedImg(int32_t w, int32_t h, int32_t bpp) {
  Qimg img = test::PatternImg(w, h, bpp);
  uint8_t* p = ImgPixels(&img);
  const int32_t rowBytes = w * img.bytesPP;
  for (int32_t y = 0; y < h; y += 2)  // every other row is flat
    for (int32_t x = 0; x < rowBytes; ++x) p[y * rowBytes + x] = uint8_t(x % img.bytesPP == 0 ? 0x42 : 0x11);
  return img;
}

class ImgFileTest : public test::FormatTest {
 protected:
  void TearDown() override {
    TGASetCompression(true);
    test::FormatTest::TearDown();
  }
  // Writes bytes to a file of the folder and loads it.
  ErrPair LoadBytes(Loader loader, const std::string& bytes, Qimg* img, const std::string& ext = ".img") {
    const std::string file = Path("in" + ext);
    test::WriteFile(file, bytes);
    return LoadWith(loader, file, img);
  }
};

// --- round trips -------------------------------------------------------------------

struct RoundTrip {
  const char* format;
  Saver save;
  Loader load;
  int32_t bpp;     // of the source
  bool rle;        // Targa compression
  int32_t stored;  // depth read back
};

TEST_F(ImgFileTest, WrittenPicturesReadBackUnchanged) {
  const RoundTrip cases[] = {
      {"tga", TGASave_, TGALoad_, 8, false, 8},   {"tga", TGASave_, TGALoad_, 8, true, 8},
      {"tga", TGASave_, TGALoad_, 15, false, 15}, {"tga", TGASave_, TGALoad_, 15, true, 15},
      {"tga", TGASave_, TGALoad_, 24, false, 24}, {"tga", TGASave_, TGALoad_, 24, true, 24},
      {"tga", TGASave_, TGALoad_, 32, false, 32}, {"tga", TGASave_, TGALoad_, 32, true, 32},
      {"tga", TGASave_, TGALoad_, 16, true, 24},  {"pcx", PCXSave_, PCXLoad_, 8, true, 8},
      {"pcx", PCXSave_, PCXLoad_, 24, true, 24},  {"pcx", PCXSave_, PCXLoad_, 15, true, 24},
      {"pcx", PCXSave_, PCXLoad_, 16, true, 24},  {"pcx", PCXSave_, PCXLoad_, 32, true, 24},
      {"bmp", DIBSave_, DIBLoad_, 8, true, 8},    {"bmp", DIBSave_, DIBLoad_, 15, true, 15},
      {"bmp", DIBSave_, DIBLoad_, 24, true, 24},  {"bmp", DIBSave_, DIBLoad_, 32, true, 32},
      {"bmp", DIBSave_, DIBLoad_, 16, true, 24},
  };
  const int32_t sizes[][2] = {{1, 1}, {2, 3}, {7, 5}, {130, 3}, {301, 2}};
  for (const RoundTrip& c : cases) {
    for (const auto& size : sizes) {
      const std::string what = std::string(c.format) + " " + std::to_string(c.bpp) + " bits" +
                               (c.rle ? "" : " raw") + ", " + std::to_string(size[0]) + "x" +
                               std::to_string(size[1]);
      TGASetCompression(c.rle);
      Qimg src = MixedImg(size[0], size[1], c.bpp);
      const std::string file = Path(std::string("x.") + c.format);
      ASSERT_EQ(Attempt([&] { c.save(file, &src); }), kNoError) << what;
      Qimg back;
      ASSERT_EQ(LoadWith(c.load, file, &back), kNoError) << what;
      EXPECT_EQ(back.bpp, c.stored) << what;
      EXPECT_EQ(back.resX, size[0]) << what;
      EXPECT_EQ(back.resY, size[1]) << what;
      if (c.stored == c.bpp) {
        EXPECT_EQ(test::Bytes(back), test::Bytes(src)) << what;
        if (c.bpp == 8) {
          EXPECT_EQ(std::memcmp(back.pal, src.pal, sizeof src.pal), 0) << what;
        }
      } else {
        EXPECT_EQ(test::Bytes(back), test::As24(src)) << what;
      }
      ImgFree(&back);
      ImgFree(&src);
    }
  }
}

// --- what the writers store ----------------------------------------------------------

TEST_F(ImgFileTest, TargaHeaderAndPackets) {
  const struct {
    int32_t bpp;
    bool rle;
    int type, mapType, depth;
  } cases[] = {{8, true, 9, 1, 8}, {8, false, 1, 1, 8}, {15, true, 10, 0, 16}, {24, false, 2, 0, 24}, {32, true, 10, 0, 32}};
  for (const auto& c : cases) {
    TGASetCompression(c.rle);
    Qimg img = MixedImg(130, 1, c.bpp);
    const std::string file = Path("h.tga");
    ASSERT_EQ(Attempt([&] { TGASave_(file, &img); }), kNoError);
    const std::string bytes = test::ReadFile(file);
    ASSERT_GE(bytes.size(), 18u);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[1], c.mapType) << c.bpp;
    EXPECT_EQ(bytes[2], c.type) << c.bpp;
    EXPECT_EQ(bytes.substr(5, 3), c.bpp == 8 ? Le16(256) + char(24) : Fill(3, 0)) << c.bpp;
    EXPECT_EQ(bytes.substr(12, 4), Le16(130) + Le16(1));
    EXPECT_EQ(bytes[16], c.depth);
    EXPECT_EQ(bytes[17], 0);  // bottom-up, no attribute bits
    if (c.bpp == 8) {
      EXPECT_EQ(bytes.substr(18, 768), std::string(reinterpret_cast<const char*>(img.pal), 768));
    }
    if (c.bpp == 24 && !c.rle) {
      EXPECT_EQ(bytes.size(), 18u + 130 * 3);
    }
    ImgFree(&img);
  }
  // A row of 130 equal 24-bit pixels: a 128-pixel and a 2-pixel run packet.
  TGASetCompression(true);
  Qimg flat = test::MakeImg(130, 1, 24, std::vector<uint8_t>(390, 0x33));
  ASSERT_EQ(Attempt([&] { TGASave_(Path("flat.tga"), &flat); }), kNoError);
  EXPECT_EQ(test::ReadFile(Path("flat.tga")).substr(18), "\xFF\x33\x33\x33\x81\x33\x33\x33");
  ImgFree(&flat);
}

TEST_F(ImgFileTest, BitmapRowsArePaddedToFourBytes) {
  for (int32_t height : {1, 4}) {
    Qimg img = test::PatternImg(3, height, 24);
    ASSERT_EQ(Attempt([&] { DIBSave_(Path("x.bmp"), &img); }), kNoError);
    const std::string bytes = test::ReadFile(Path("x.bmp"));
    ASSERT_EQ(bytes.size(), 54u + 12 * height);
    EXPECT_EQ(bytes.substr(2, 4), Le32(54 + 12 * height));
    EXPECT_EQ(bytes.substr(10, 4), Le32(54));
    EXPECT_EQ(bytes.substr(14, 16), Le32(40) + Le32(3) + Le32(height) + Le16(1) + Le16(24));
    EXPECT_EQ(bytes.substr(34, 4), Le32(12 * height));
    // Bottom row first: 9 pixel bytes and 3 zero bytes.
    const char* pixels = static_cast<const char*>(img.pixPtr);
    EXPECT_EQ(bytes.substr(54, 12), std::string(pixels + 9 * (height - 1), 9) + Fill(3, 0));
    ImgFree(&img);
  }
  Qimg img8 = test::PatternImg(5, 2, 8);
  ASSERT_EQ(Attempt([&] { DIBSave_(Path("x8.bmp"), &img8); }), kNoError);
  const std::string bytes = test::ReadFile(Path("x8.bmp"));
  ASSERT_EQ(bytes.size(), 54u + 1024 + 8 * 2);
  EXPECT_EQ(bytes.substr(10, 4), Le32(1078));
  EXPECT_EQ(bytes.substr(46, 8), Le32(256) + Le32(256));
  EXPECT_EQ(bytes.substr(54 + 4 * 7, 4), std::string(reinterpret_cast<const char*>(img8.pal[7]), 3) + '\0');
  ImgFree(&img8);
  Qimg img15 = test::PatternImg(2, 2, 15);
  ASSERT_EQ(Attempt([&] { DIBSave_(Path("x15.bmp"), &img15); }), kNoError);
  EXPECT_EQ(test::ReadFile(Path("x15.bmp")).substr(28, 2), Le16(16));
  ImgFree(&img15);
}

TEST_F(ImgFileTest, PcxLinesOfOddWidthArePaddedPerPlane) {
  // 8 bits: each encoded row is followed by one zero byte; the palette ends the file.
  Qimg img = test::MakeImg(5, 2, 8, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  for (int i = 0; i < 256; ++i) img.pal[i][0] = uint8_t(i), img.pal[i][1] = 1, img.pal[i][2] = 2;
  ASSERT_EQ(Attempt([&] { PCXSave_(Path("x.pcx"), &img); }), kNoError);
  std::string bytes = test::ReadFile(Path("x.pcx"));
  ASSERT_EQ(bytes.size(), 128u + 12 + 769);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x0A\x05\x01\x08", 4));
  EXPECT_EQ(bytes.substr(8, 8), Le16(4) + Le16(1) + Le16(5) + Le16(2));
  EXPECT_EQ(bytes[65], 1);
  EXPECT_EQ(bytes.substr(66, 2), Le16(6));
  EXPECT_EQ(bytes.substr(128, 12), std::string("\1\2\3\4\5\0\6\7\x08\x09\x0A\0", 12));
  EXPECT_EQ(bytes[140], 12);
  EXPECT_EQ(bytes.substr(141 + 3 * 9, 3), std::string("\2\1\x09", 3));  // red, green, blue
  ImgFree(&img);
  // 24 bits: red, green and blue planes, each padded to the even bytes per line.
  Qimg rgb = test::MakeImg(3, 1, 24, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  ASSERT_EQ(Attempt([&] { PCXSave_(Path("y.pcx"), &rgb); }), kNoError);
  bytes = test::ReadFile(Path("y.pcx"));
  EXPECT_EQ(bytes[65], 3);
  EXPECT_EQ(bytes.substr(66, 2), Le16(4));
  EXPECT_EQ(bytes.substr(128), std::string("\3\6\x09\0\2\5\x08\0\1\4\7\0", 12));
  ImgFree(&rgb);
  // With an even width the planes follow each other and a run goes on across them.
  Qimg grey = test::MakeImg(2, 1, 24, std::vector<uint8_t>(6, 7));
  ASSERT_EQ(Attempt([&] { PCXSave_(Path("z.pcx"), &grey); }), kNoError);
  EXPECT_EQ(test::ReadFile(Path("z.pcx")).substr(128), "\xC6\x07");
  ImgFree(&grey);
}

TEST_F(ImgFileTest, RowTransfersWithFillBytes) {
  Qimg img = test::MakeImg(3, 2, 8, {1, 2, 3, 4, 5, 6});
  QImgFile f;
  ImgFileReset_(&f);
  ASSERT_EQ(Attempt([&] {
              FOpen(f.file, Path("rows"), FM_WRITE | FM_CREATE);
              Mem2Dsk_(&f, &img, 1);
              FClose(f.file);
            }),
            kNoError);
  EXPECT_EQ(test::ReadFile(Path("rows")), std::string("\4\5\6\0\1\2\3\0", 8));

  // Reading them back, bottom-up, and a file one byte short.
  for (bool shortFile : {false, true}) {
    test::WriteFile(Path("rows"), std::string("\4\5\6\0\1\2\3", shortFile ? 6 : 7));
    std::vector<uint8_t> dest(6, 0xEE);
    const ErrPair r = Attempt([&] {
      ImgFileReset_(&f);
      ImgFileOpen_(&f, Path("rows"));
      ImgFileSetGeometry_(&f, 3, 2, 8);
      f.bottomUp = kTrue;
      Dsk2Mem_(&f, dest.data(), 1);
      FClose(f.file);
    });
    if (shortFile) {
      EXPECT_EQ(r, ErrPair(ERR_FILE, 3));
    } else {
      EXPECT_EQ(r, kNoError);
      EXPECT_EQ(dest, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    }
  }
  ImgFree(&img);
}

// --- reading -----------------------------------------------------------------------------

TEST_F(ImgFileTest, TargaRowOrderAndSixteenBits) {
  const std::string top = "\1\2\3\4\5\6", bottom = "\7\x08\x09\x0A\x0B\x0C";
  Tga t;
  t.width = 2;
  t.height = 2;
  std::vector<std::string> files;
  t.descriptor = 0;  // bottom-up
  files.push_back(t.header() + bottom + top);
  t.descriptor = 0x20;  // top-down
  files.push_back(t.header() + top + bottom);
  t.type = 10;  // run-length packets of literals
  files.push_back(t.header() + '\1' + top + '\1' + bottom);
  t.descriptor = 0;
  files.push_back(t.header() + '\1' + bottom + '\1' + top);
  for (const std::string& bytes : files) {
    Qimg img;
    ASSERT_EQ(LoadBytes(TGALoad_, bytes, &img), kNoError);
    EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    ImgFree(&img);
  }
  t = Tga{};
  t.width = 2;
  t.depth = 16;
  Qimg img;
  ASSERT_EQ(LoadBytes(TGALoad_, t.header() + std::string("\x1F\x00\xE0\x03", 4), &img), kNoError);
  EXPECT_EQ(img.bpp, 15);
  EXPECT_EQ(img.bytesPP, 2);
  EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{0x1F, 0, 0xE0, 3}));
  ImgFree(&img);
}

TEST_F(ImgFileTest, TargaColourMaps) {
  // First index 200 and 100 entries: entries 200 to 255 are filled, no more.
  Tga t;
  t.mapType = 1;
  t.type = 1;
  t.first = 200;
  t.length = 100;
  t.entryBits = 24;
  t.depth = 8;
  t.width = 2;
  std::string map;
  for (int i = 0; i < 100; ++i) map += std::string{char(i), char(i + 1), char(i + 2)};
  Qimg img;
  ASSERT_EQ(LoadBytes(TGALoad_, t.header() + map + "\xC8\xFF", &img), kNoError);
  EXPECT_EQ(img.pal[200][0], 0);
  EXPECT_EQ(img.pal[255][2], 57);
  EXPECT_EQ(img.pal[199][0], 0);
  EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{200, 255}));
  ImgFree(&img);
  // 5-5-5 entries, and 4-byte entries whose fourth byte is dropped; an ID field before them.
  t = Tga{};
  t.idLength = 3;
  t.mapType = 1;
  t.type = 9;
  t.length = 2;
  t.entryBits = 16;
  t.depth = 8;
  ASSERT_EQ(LoadBytes(TGALoad_, t.header() + "abc" + std::string("\x1F\x00\x00\x7C", 4) + "\x80\x01", &img), kNoError);
  EXPECT_EQ(img.pal[0][0], 0xF8);
  EXPECT_EQ(img.pal[1][2], 0xF8);
  EXPECT_EQ(test::Bytes(img), std::vector<uint8_t>{1});
  ImgFree(&img);
  t.idLength = 0;
  t.entryBits = 32;
  ASSERT_EQ(LoadBytes(TGALoad_, t.header() + "\1\2\3\4\5\6\7\x08" + "\x80\x01", &img), kNoError);
  EXPECT_EQ(img.pal[1][0], 5);
  EXPECT_EQ(img.pal[1][2], 7);
  ImgFree(&img);
}

TEST_F(ImgFileTest, BitmapVariants) {
  Bmp b;
  b.width = 2;
  b.height = 2;
  b.bitCount = 8;
  b.compression = 1;
  const std::string palette = Fill(1024, 9);
  Qimg img;
  // A run-length stream ending before the picture is full leaves the rest as allocated (zero).
  ASSERT_EQ(LoadBytes(DIBLoad_, b.file(palette, std::string("\2\7", 2)), &img), kNoError);
  EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{0, 0, 7, 7}));
  ImgFree(&img);
  // The core header: 3-byte colour entries.
  Bmp core;
  core.headerSize = 12;
  core.bitCount = 8;
  ASSERT_EQ(LoadBytes(DIBLoad_, core.file("\1\2\3\4\5\6", std::string("\1\0\0\0", 4)), &img), kNoError);
  EXPECT_EQ(img.pal[1][0], 4);
  EXPECT_EQ(img.pal[1][2], 6);
  EXPECT_EQ(img.pal[2][0], 0);
  ImgFree(&img);
  // 5-6-5 bit fields stay 16-bit; 5-5-5 ones and plain 16-bit data are 15-bit.
  const struct {
    uint32_t compression;
    std::string masks;
    int32_t bpp;
  } words[] = {{3, Le32(0xF800) + Le32(0x07E0) + Le32(0x1F), 16},
               {3, Le32(0x7C00) + Le32(0x03E0) + Le32(0x1F), 15},
               {0, "", 15}};
  for (const auto& w : words) {
    Bmp b16;
    b16.bitCount = 16;
    b16.compression = w.compression;
    ASSERT_EQ(LoadBytes(DIBLoad_, b16.file(w.masks, std::string("\x34\x12\0\0", 4)), &img), kNoError);
    EXPECT_EQ(img.bpp, w.bpp);
    EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{0x34, 0x12}));
    ImgFree(&img);
  }
}

TEST_F(ImgFileTest, PcxBytesPerLineAndShortStreams) {
  // Lines padded beyond the even width (3 pixels, 6 bytes per plane line).
  Pcx p;
  p.width = 3;
  p.height = 2;
  p.planes = 3;
  p.lineBytes = 6;
  std::string data;
  for (int y = 0; y < 2; ++y)
    for (int plane = 0; plane < 3; ++plane) data += std::string{char(10 * y + plane), 1, 2, 0, 0, 0};
  Qimg img;
  ASSERT_EQ(LoadBytes(PCXLoad_, p.header() + data, &img), kNoError);
  EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{2, 1, 0, 1, 1, 1, 2, 2, 2,  //
                                                    12, 11, 10, 1, 1, 1, 2, 2, 2}));
  ImgFree(&img);
  // An 8-bit file whose lines are as long as the picture is wide (odd), and
  // whose data ends one line early: that line stays zero.
  p = Pcx{};
  p.width = 3;
  p.height = 2;
  p.lineBytes = 3;
  std::string palette = Fill(768, 0);
  palette[3 * 5] = 'r';
  ASSERT_EQ(LoadBytes(PCXLoad_, p.header() + "\5\6\7" + '\x0C' + palette, &img), kNoError);
  EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{5, 6, 7, 0, 0, 0}));
  EXPECT_EQ(img.pal[5][2], 'r');
  EXPECT_EQ(img.pal[5][0], 0);
  ImgFree(&img);
}

// Files each reader must refuse, with the error it must give; nothing may be
// left allocated or open afterwards.
struct Refusal {
  const char* what;
  Loader load;
  std::string bytes;
  ErrPair error;
};

std::vector<Refusal> Refusals() {
  std::vector<Refusal> r;
  auto tga = [](auto change) {
    Tga t;
    t.width = 4;
    t.height = 4;
    change(t);
    return t.header();
  };
  const std::string pixels = Fill(48, 1);
  r.push_back({"Targa grey", TGALoad_, tga([](Tga& t) { t.type = 3; }) + pixels, {ERR_IMG, 2}});
  r.push_back({"Targa 8-bit true colour", TGALoad_, tga([](Tga& t) { t.depth = 8; }) + pixels, {ERR_IMG, 1}});
  r.push_back({"Targa 12-bit", TGALoad_, tga([](Tga& t) { t.depth = 12; }) + pixels, {ERR_IMG, 1}});
  r.push_back({"Targa 48-bit", TGALoad_, tga([](Tga& t) { t.depth = 48; }) + pixels, {ERR_IMG, 1}});
  r.push_back({"Targa colour-mapped without a map", TGALoad_,
               tga([](Tga& t) { t.type = 1, t.depth = 8; }) + pixels, {ERR_IMG, 1}});
  r.push_back({"Targa map of 1-byte entries", TGALoad_,
               tga([](Tga& t) { t.type = 1, t.depth = 8, t.mapType = 1, t.length = 4, t.entryBits = 8; }) + pixels,
               {ERR_IMG, 1}});
  r.push_back({"Targa zero width", TGALoad_, tga([](Tga& t) { t.width = 0; }) + pixels, {ERR_IMG, 4}});
  r.push_back({"Targa map beyond the file", TGALoad_,
               tga([](Tga& t) { t.type = 1, t.depth = 8, t.mapType = 1, t.length = 256, t.entryBits = 24; }) +
                   Fill(100, 0),
               {ERR_IMG, 4}});
  r.push_back({"Targa rows missing", TGALoad_, tga([](Tga&) {}) + Fill(47, 0), {ERR_FILE, 3}});
  r.push_back({"Targa huge picture in a small file", TGALoad_,
               tga([](Tga& t) { t.width = 20000, t.height = 20000, t.type = 10; }) + "\xFF\1\2\3\4",
               {ERR_IMG, 4}});
  r.push_back({"Targa header cut", TGALoad_, std::string("\0\0\2\0\0", 5), {ERR_FILE, 3}});

  auto bmp = [](auto change) {
    Bmp b;
    b.width = 4;
    b.height = 4;
    b.bitCount = 8;
    change(b);
    return b;
  };
  const std::string palette = Fill(1024, 0), rows = Fill(16, 1);
  r.push_back({"bitmap without BM", DIBLoad_, "XY" + bmp([](Bmp&) {}).file(palette, rows).substr(2), {ERR_IMG, 2}});
  r.push_back({"bitmap 4-bit", DIBLoad_, bmp([](Bmp& b) { b.bitCount = 4; }).file(Fill(64, 0), Fill(8, 0)),
               {ERR_IMG, 1}});
  r.push_back({"bitmap 4-bit run-length", DIBLoad_,
               bmp([](Bmp& b) { b.bitCount = 4, b.compression = 2; }).file(Fill(64, 0), "\0\1"), {ERR_IMG, 1}});
  r.push_back({"bitmap 1-bit", DIBLoad_, bmp([](Bmp& b) { b.bitCount = 1; }).file(Fill(8, 0), Fill(16, 0)),
               {ERR_IMG, 1}});
  r.push_back({"bitmap top-down", DIBLoad_, bmp([](Bmp& b) { b.height = -4; }).file(palette, rows), {ERR_IMG, 1}});
  r.push_back({"bitmap unknown bit fields", DIBLoad_,
               bmp([](Bmp& b) { b.bitCount = 32, b.compression = 3; })
                   .file(Le32(0xFF000000) + Le32(0xFF0000) + Le32(0xFF00), Fill(64, 0)),
               {ERR_IMG, 1}});
  r.push_back({"bitmap JPEG contents", DIBLoad_,
               bmp([](Bmp& b) { b.bitCount = 24, b.compression = 4; }).file("", Fill(64, 0)), {ERR_IMG, 1}});
  r.push_back({"bitmap 16-byte header", DIBLoad_, bmp([](Bmp& b) { b.headerSize = 16; }).file(palette, rows),
               {ERR_IMG, 1}});
  r.push_back({"bitmap sizes whose product passes 64 bits", DIBLoad_,
               bmp([](Bmp& b) { b.width = INT32_MIN, b.height = INT32_MAX, b.bitCount = 0xFFFF; }).file("", rows),
               {ERR_IMG, 1}});
  r.push_back({"bitmap zero width", DIBLoad_, bmp([](Bmp& b) { b.width = 0; }).file(palette, rows), {ERR_IMG, 4}});
  r.push_back({"bitmap huge width", DIBLoad_, bmp([](Bmp& b) { b.width = 0x7FFFFFFF; }).file(palette, rows),
               {ERR_IMG, 4}});
  r.push_back({"bitmap data offset beyond the file", DIBLoad_,
               bmp([](Bmp& b) { b.dataOffset = 0x7FFFFFF0; }).file(palette, rows), {ERR_IMG, 4}});
  r.push_back({"bitmap data offset inside the header", DIBLoad_,
               bmp([](Bmp& b) { b.dataOffset = 20; }).file(palette, rows), {ERR_IMG, 4}});
  r.push_back({"bitmap rows missing", DIBLoad_, bmp([](Bmp&) {}).file(palette, Fill(15, 0)), {ERR_FILE, 3}});
  r.push_back({"bitmap huge rows missing", DIBLoad_,
               bmp([](Bmp& b) { b.width = 40000, b.height = 40000; }).file(palette, rows), {ERR_FILE, 3}});
  r.push_back({"bitmap run-length without data", DIBLoad_,
               bmp([](Bmp& b) { b.compression = 1; }).file(palette, ""), {ERR_IMG, 4}});
  r.push_back({"bitmap header cut", DIBLoad_, std::string("BM\0\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\4\0", 20),
               {ERR_FILE, 3}});

  auto pcx = [](auto change) {
    Pcx p;
    p.width = 4;
    p.height = 4;
    p.lineBytes = 4;
    change(p);
    return p.header();
  };
  const std::string tail = '\x0C' + Fill(768, 0), data = Fill(16, 1);
  r.push_back({"PCX manufacturer", PCXLoad_, pcx([](Pcx& p) { p.manufacturer = 5; }) + data + tail, {ERR_IMG, 2}});
  r.push_back({"PCX 4 planes", PCXLoad_, pcx([](Pcx& p) { p.planes = 4; }) + Fill(64, 1), {ERR_IMG, 1}});
  r.push_back({"PCX 2 planes", PCXLoad_, pcx([](Pcx& p) { p.planes = 2; }) + Fill(32, 1), {ERR_IMG, 1}});
  r.push_back({"PCX 1 bit per plane", PCXLoad_, pcx([](Pcx& p) { p.bitsPerPlane = 1; }) + data + tail,
               {ERR_IMG, 1}});
  r.push_back({"PCX not run-length encoded", PCXLoad_, pcx([](Pcx& p) { p.encoding = 0; }) + data + tail,
               {ERR_IMG, 1}});
  r.push_back({"PCX lines shorter than the picture", PCXLoad_, pcx([](Pcx& p) { p.lineBytes = 3; }) + data + tail,
               {ERR_IMG, 4}});
  r.push_back({"PCX without room for the palette", PCXLoad_, pcx([](Pcx&) {}) + Fill(500, 1), {ERR_IMG, 4}});
  r.push_back({"PCX huge picture in a small file", PCXLoad_,
               pcx([](Pcx& p) { p.width = 10000, p.height = 10000, p.lineBytes = 10000, p.planes = 3; }) +
                   Fill(100, 0xFF),
               {ERR_IMG, 4}});
  r.push_back({"PCX header cut", PCXLoad_, std::string("\x0A\5\1\x08", 4), {ERR_FILE, 3}});
  return r;
}

TEST_F(ImgFileTest, ReadersRefuseWhatTheyCannotRead) {
  for (const Refusal& c : Refusals()) {
    Qimg img;
    EXPECT_EQ(LoadBytes(c.load, c.bytes, &img), c.error) << c.what;
    EXPECT_EQ(img.pixPtr, nullptr) << c.what;
    EXPECT_EQ(MemCount(), blocks_) << c.what;
    EXPECT_EQ(FCount(), files_) << c.what;
  }
  Qimg img;
  for (Loader load : {TGALoad_, PCXLoad_, DIBLoad_}) EXPECT_EQ(LoadWith(load, Path("missing"), &img), ErrPair(ERR_FILE, 1));
}

TEST_F(ImgFileTest, InformationRoutines) {
  Tga t;
  t.type = 10;
  t.width = 3;
  t.height = 2;
  t.depth = 16;
  test::WriteFile(Path("i.tga"), t.header() + Fill(10, 0));
  Bmp b;
  b.width = 5;
  b.height = 4;
  b.bitCount = 4;
  test::WriteFile(Path("i.bmp"), b.file(Fill(64, 0), Fill(16, 0)));
  Pcx p;
  p.width = 6;
  p.height = 7;
  p.planes = 3;
  test::WriteFile(Path("i.pcx"), p.header() + Fill(20, 0));
  const struct {
    const char* file;
    void (*info)(const std::string&, QffInfo*);
    int32_t width, height, bytesPP, bpp;
    BOOL readable;
    const char* compression;
  } cases[] = {
      {"i.tga", TGAInfo, 3, 2, 2, 15, kTrue, "Run Length Encoding (RLE)"},
      {"i.bmp", DIBInfo, 5, 4, 1, 4, kFalse, ""},
      {"i.pcx", PCXInfo, 6, 7, 3, 24, kTrue, "Run Length Encoding (RLE)"},
  };
  for (const auto& c : cases) {
    QffInfo info;
    ASSERT_EQ(Attempt([&] { c.info(Path(c.file), &info); }), kNoError) << c.file;
    EXPECT_EQ(info.fileSize, int64_t(test::ReadFile(Path(c.file)).size())) << c.file;
    EXPECT_EQ(info.media.width, c.width) << c.file;
    EXPECT_EQ(info.media.height, c.height) << c.file;
    EXPECT_EQ(info.media.bytesPP, c.bytesPP) << c.file;
    EXPECT_EQ(info.media.bpp, c.bpp) << c.file;
    EXPECT_EQ(info.media.frames, 1) << c.file;
    EXPECT_EQ(info.media.hasPictures, kTrue) << c.file;
    EXPECT_EQ(info.media.picturesReadable, c.readable) << c.file;
    EXPECT_EQ(info.media.videoName, c.compression) << c.file;
  }
  QffInfo info;
  Tga grey;
  grey.type = 3;
  test::WriteFile(Path("bad.tga"), grey.header());
  EXPECT_EQ(Attempt([&] { TGAInfo(Path("bad.tga"), &info); }), ErrPair(ERR_IMG, 2));
}

TEST_F(ImgFileTest, FailingAllocationsLeaveNothingBehind) {
  Qimg src = MixedImg(9, 3, 24);
  Qimg src8 = MixedImg(9, 3, 8);
  Qimg src16 = MixedImg(9, 3, 16);
  const std::string file = Path("a");
  for (Saver save : {TGASave_, PCXSave_, DIBSave_}) {
    for (Qimg* s : {&src, &src8, &src16}) {
      test::EveryAllocationFails([&] { save(file, s); }, [] {});
      Loader load = save == TGASave_ ? TGALoad_ : save == PCXSave_ ? PCXLoad_ : DIBLoad_;
      Qimg back{};
      test::EveryAllocationFails([&] { load(file, &back); }, [&] { test::Release(back); });
    }
  }
  ImgFree(&src);
  ImgFree(&src8);
  ImgFree(&src16);
}

TEST_F(ImgFileTest, WritersRefusePicturesTheirFieldsCannotHold) {
  Qimg wide = test::MakeImg(65536, 1, 8);
  EXPECT_EQ(Attempt([&] { TGASave_(Path("w.tga"), &wide); }), ErrPair(ERR_IMG, 1));
  EXPECT_EQ(Attempt([&] { PCXSave_(Path("w.pcx"), &wide); }), ErrPair(ERR_IMG, 1));
  EXPECT_EQ(Attempt([&] { DIBSave_(Path("w.bmp"), &wide); }), kNoError);
  ImgFree(&wide);
}

}  // namespace
}  // namespace zelo
