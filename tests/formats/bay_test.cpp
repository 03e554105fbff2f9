#include "formats/ff_bay.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/format_files.h"

namespace zelo {
namespace {

using test::ErrPair;
using test::kNoError;

// A mosaic whose every block holds (10, 20, 30, 40) plus the block number,
// so that both the place and the order of the bytes show.
std::string Mosaic(int32_t width, int32_t height) {
  std::string m(size_t(width) * height, '\0');
  const int32_t blocks = (width / 2) * (height / 2);
  for (int32_t k = 0; k < blocks; ++k)
    for (int32_t i = 0; i < 4; ++i) m[4 * k + i] = char(10 * (i + 1) + k % 5);
  return m;
}

// A standard file: mosaic, then the trailer.
std::string BayFileBytes(int32_t height, int colourKind, const std::string& device = "MV", int speed = 1,
                         const char* signature = "BAY 2") {
  std::string trailer(kBayTrailerSize, '\0');
  trailer.replace(0, 2, device);
  trailer.replace(3, 5, signature);
  trailer[8] = char(colourKind);
  trailer[11] = char(speed);
  for (int i = 12; i < kBayTrailerSize; ++i) trailer[i] = char(i);
  return Mosaic(kBayWidth, height) + trailer;
}

struct Px {
  int b, g, r;
};

Px At(const Qimg& img, int32_t x, int32_t y) {
  const uint8_t* p = ImgPixels(&img) + (int64_t(y) * img.resX + x) * 3;
  return {p[0], p[1], p[2]};
}

#define EXPECT_PX(img, x, y, B, G, R)   \
  do {                                  \
    const Px px_ = At(img, x, y);       \
    EXPECT_EQ(px_.b, B) << x << "," << y; \
    EXPECT_EQ(px_.g, G) << x << "," << y; \
    EXPECT_EQ(px_.r, R) << x << "," << y; \
  } while (0)

TEST(BayerMosaic, ColourBlocksInBothOrders) {
  const std::string m = "\x0A\x14\x1E\x28";  // 10, 20, 30, 40
  Qimg img = test::MakeImg(2, 2, 24);
  BayerToImg_(reinterpret_cast<const uint8_t*>(m.data()), ImgPixels(&img), 2, 1, 0, 2);
  EXPECT_PX(img, 0, 0, 30, 10, 20);
  EXPECT_PX(img, 1, 0, 30, 10, 20);
  EXPECT_PX(img, 0, 1, 30, 40, 20);
  EXPECT_PX(img, 1, 1, 30, 40, 20);
  BayerToImg_(reinterpret_cast<const uint8_t*>(m.data()), ImgPixels(&img), 2, 0, 3, 2);
  EXPECT_PX(img, 0, 0, 10, 30, 40);
  EXPECT_PX(img, 1, 0, 10, 30, 40);
  EXPECT_PX(img, 0, 1, 10, 20, 40);
  EXPECT_PX(img, 1, 1, 10, 20, 40);
  ImgFree(&img);
}

TEST(BayerMosaic, MonochromeBlocksAndBlockOrder) {
  // 4 x 4: blocks left to right, block rows top to bottom.
  std::string m;
  for (int k = 0; k < 4; ++k)
    for (int i = 0; i < 4; ++i) m += char(10 * k + i);
  Qimg img = test::MakeImg(4, 4, 8);
  BayerToImg_(reinterpret_cast<const uint8_t*>(m.data()), ImgPixels(&img), 4, 1, kBayMono, 4);
  EXPECT_EQ(test::Bytes(img), (std::vector<uint8_t>{0, 1, 10, 11, 2, 3, 12, 13, 20, 21, 30, 31, 22, 23, 32, 33}));
  ImgFree(&img);
}

TEST(BayerMosaic, OddLastColumnAndRowAreBlack) {
  const std::string m(15, '\x63');
  std::vector<uint8_t> px(15 * 3, 0xEE);
  BayerToImg_(reinterpret_cast<const uint8_t*>(m.data()), px.data(), 5, 1, 0, 3);
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 5; ++x)
      for (int c = 0; c < 3; ++c)
        EXPECT_EQ(px[(y * 5 + x) * 3 + c], (x < 4 && y < 2) ? 0x63 : 0) << x << "," << y;
}

using BayFiles = test::FormatTest;

TEST_F(BayFiles, StandardFilesLoadGreyOrColour) {
  test::WriteFile(Path("m.bay"), BayFileBytes(384, 2));
  ASSERT_EQ(test::ReadFile(Path("m.bay")).size(), size_t(kBayLargeSize));
  Qimg img{};
  ASSERT_EQ(test::LoadWith(BayLoad, Path("m.bay"), &img), kNoError);
  EXPECT_EQ(img.resX, 512);
  EXPECT_EQ(img.resY, 384);
  EXPECT_EQ(img.bpp, 8);
  const std::vector<uint8_t> mono = test::Bytes(img);
  EXPECT_EQ(mono[0], 10);
  EXPECT_EQ(mono[1], 20);
  EXPECT_EQ(mono[512], 30);
  EXPECT_EQ(mono[513], 40);
  EXPECT_EQ(mono[2], 11);  // the next block
  EXPECT_EQ(img.pal[99][1], 99);
  ImgFree(&img);

  test::WriteFile(Path("c.bay"), BayFileBytes(144, 1));
  ASSERT_EQ(test::LoadWith(BayLoad, Path("c.bay"), &img), kNoError);
  EXPECT_EQ(img.resX, 512);
  EXPECT_EQ(img.resY, 144);
  EXPECT_EQ(img.bpp, 24);
  EXPECT_PX(img, 0, 0, 30, 10, 20);
  EXPECT_PX(img, 1, 1, 30, 40, 20);
  EXPECT_PX(img, 511, 143, 31, 41, 21);  // block 71 x 256 + 255, whose bytes are 11, 21, 31, 41
  ImgFree(&img);
}

TEST_F(BayFiles, BrokenFilesFailCleanly) {
  const struct {
    const char* what;
    std::string bytes;
    ErrPair error;
  } cases[] = {
      {"size of neither layout", BayFileBytes(384, 1) + "x", {7, 2}},
      {"empty", "", {7, 2}},
      {"signature", BayFileBytes(144, 1, "MV", 1, "BAY 3"), {7, 2}},
      {"colour kind 3", BayFileBytes(144, 3), {7, 1}},
  };
  for (const auto& c : cases) ExpectRefused(BayLoad, c.bytes, c.error, c.what);
  Qimg img{};
  EXPECT_EQ(test::LoadWith(BayLoad, Path("missing.bay"), &img), ErrPair(6, 1));
}

TEST_F(BayFiles, InformationNamesDeviceAndSpeed) {
  const struct {
    int32_t height;
    int kind;
    std::string device;
    int speed;
    double rate;
    const char* name;
    BOOL readable;
  } cases[] = {
      {144, 1, "MV", 1, 30, "M2 (color)", kTrue},
      {384, 2, "MV", 7, 2000, "M2 (monochrome)", kTrue},
      {384, 2, "HS", 3, 1000, "HM (monochrome)", kTrue},
      {144, 1, "HS", 2, 500, "HSC (color)", kTrue},
      {144, 1, "HS", 4, 0, "HSC (color)", kTrue},
      {384, 1, "XS", 1, 250, "XS (color)", kTrue},
      {384, 2, "QQ", 1, 0, "QQ (monochrome)", kTrue},
      {384, 5, "MV", 8, 0, "M2", kFalse},
  };
  for (const auto& c : cases) {
    test::WriteFile(Path("i.bay"), BayFileBytes(c.height, c.kind, c.device, c.speed));
    QffInfo info;
    ASSERT_EQ(test::Attempt([&] { BayInfo(Path("i.bay"), &info); }), kNoError) << c.name;
    EXPECT_EQ(info.fileSize, c.height == 144 ? kBaySmallSize : kBayLargeSize);
    EXPECT_EQ(info.media.width, 512);
    EXPECT_EQ(info.media.height, c.height);
    EXPECT_EQ(info.media.bpp, c.kind == 1 ? 24 : (c.kind == 2 ? 8 : 0)) << c.name;
    EXPECT_EQ(info.media.frames, 1);
    EXPECT_DOUBLE_EQ(info.media.frameRate, c.rate) << c.name;
    EXPECT_EQ(info.media.videoName, c.name);
    EXPECT_EQ(info.media.hasPictures, kTrue);
    EXPECT_EQ(info.media.picturesReadable, c.readable) << c.name;
  }
}

TEST_F(BayFiles, TrailerOfALargeFile) {
  const std::string file = BayFileBytes(384, 1);
  test::WriteFile(Path("h.bay"), file);
  char buf[2048];
  std::memset(buf, '#', sizeof buf);
  int32_t n = 0;
  ASSERT_EQ(test::Attempt([&] { n = BayGetHdr(Path("h.bay"), buf, 16); }), kNoError);
  EXPECT_EQ(n, 16);
  EXPECT_EQ(std::string(buf, 16), file.substr(196608, 16));
  EXPECT_EQ(buf[16], '#');
  ASSERT_EQ(test::Attempt([&] { n = BayGetHdr(Path("h.bay"), buf, 5000); }), kNoError);
  EXPECT_EQ(n, 1024);
  EXPECT_EQ(std::string(buf, 1024), file.substr(196608));
  ASSERT_EQ(test::Attempt([&] { n = BayGetHdr(Path("h.bay"), nullptr, -5); }), kNoError);
  EXPECT_EQ(n, 0);
  test::WriteFile(Path("s.bay"), BayFileBytes(144, 1));
  // A caller that keeps the error sees the count 1024 with it.
  MonKeepNext();
  n = BayGetHdr(Path("s.bay"), buf, 16);
  EXPECT_EQ(ErrPair(ErrCategory(), ErrCode()), ErrPair(7, 2));
  EXPECT_EQ(n, 1024);
  ErrClear();
}

TEST_F(BayFiles, CustomGeometryFromAnyFile) {
  // 6 x 4 colour mosaic from the start of a longer file.
  test::WriteFile(Path("raw.bin"), Mosaic(6, 4) + "tail");
  Qimg img{};
  ASSERT_EQ(test::Attempt([&] { BayLoadCustom(Path("raw.bin"), &img, 6, 0, 0, 4); }), kNoError);
  EXPECT_EQ(img.bpp, 24);
  EXPECT_EQ(img.resX, 6);
  EXPECT_EQ(img.resY, 4);
  EXPECT_PX(img, 0, 0, 10, 30, 40);
  EXPECT_PX(img, 3, 1, 11, 21, 41);  // second block
  ImgFree(&img);
  ASSERT_EQ(test::Attempt([&] { BayLoadCustom(Path("raw.bin"), &img, 5, 1, kBayMono, 5); }), kNoError);
  EXPECT_EQ(img.bpp, 8);
  const std::vector<uint8_t> px = test::Bytes(img);
  EXPECT_EQ(px[0], 10);
  EXPECT_EQ(px[6], 40);  // lower right of the first block
  EXPECT_EQ(px[4], 0);   // odd last column
  EXPECT_EQ(px[20], 0);  // odd last row
  EXPECT_EQ(img.pal[5][2], 5);
  ImgFree(&img);

  const struct {
    int32_t width, height;
  } refused[] = {{6, 5}, {0, 4}, {-6, -4}, {100000, 100000}};
  for (const auto& r : refused) {
    img = Qimg{};
    EXPECT_EQ(test::Attempt([&] { BayLoadCustom(Path("raw.bin"), &img, r.width, 1, 0, r.height); }),
              ErrPair(7, 2))
        << r.width << " x " << r.height;
    EXPECT_EQ(img.pixPtr, nullptr);
    EXPECT_EQ(MemCount(), blocks_);
    EXPECT_EQ(FCount(), files_);
  }
}

}  // namespace
}  // namespace zelo
