#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "foundation/monitor.h"
#include "support/image_helpers.h"
#include "image/imgbasic.h"

namespace zelo {
namespace {

using ImgOpsTest = test::ImageTest;
using test::Bytes;
using test::MakeImg;
using test::PatternImg;

std::vector<uint8_t> Row(const Qimg& img, int32_t y) {
  const uint8_t* p = ImgPixels(&img) + y * ImgRowBytes(&img);
  return std::vector<uint8_t>(p, p + ImgRowBytes(&img));
}

TEST_F(ImgOpsTest, FlipInPlaceKeepsEveryDepthAndTheMiddleRow) {
  for (int32_t bpp : {8, 15, 16, 24, 32}) {
    Qimg img = PatternImg(3, 3, bpp);
    const Qimg before = img;
    std::vector<uint8_t> r0 = Row(img, 0), r1 = Row(img, 1), r2 = Row(img, 2);
    void* pixels = img.pixPtr;
    ImgFlipV(&img, &img);
    EXPECT_EQ(img.bpp, bpp);
    EXPECT_EQ(img.pixPtr, pixels) << "flipped where it lies";
    EXPECT_EQ(Row(img, 0), r2) << bpp;
    EXPECT_EQ(Row(img, 1), r1) << bpp;
    EXPECT_EQ(Row(img, 2), r0) << bpp;
    EXPECT_EQ(std::memcmp(img.pal, before.pal, sizeof img.pal), 0);
    ImgFree(&img);
  }
}

TEST_F(ImgOpsTest, FlipIntoAnotherImageLeavesTheSourceAndCopiesThePalette) {
  for (int32_t rows : {1, 2, 5}) {
    Qimg src = PatternImg(4, rows, 8);
    const std::vector<uint8_t> original = Bytes(src);
    Qimg dst{};
    ImgFlipV(&src, &dst);
    EXPECT_EQ(Bytes(src), original);
    ASSERT_EQ(dst.resY, rows);
    for (int32_t y = 0; y < rows; ++y) EXPECT_EQ(Row(dst, y), Row(src, rows - 1 - y));
    EXPECT_EQ(std::memcmp(dst.pal, src.pal, sizeof dst.pal), 0);
    ImgFlipV(&dst, &dst);
    EXPECT_EQ(Bytes(dst), original) << "twice is the identity";
    ImgFree(&src);
    ImgFree(&dst);
  }
}

TEST_F(ImgOpsTest, SwapRBOfAn8BitImageChangesThePaletteOnly) {
  Qimg img = PatternImg(3, 2, 8);
  const std::vector<uint8_t> indices = Bytes(img);
  const Qimg before = img;
  Qimg other{};
  ImgSwapRB(&img, &other);
  ImgSwapRB(&img, &img);
  for (Qimg* out : {&img, &other}) {
    EXPECT_EQ(out->bpp, 8);
    EXPECT_EQ(Bytes(*out), indices);
    for (int i = 0; i < 256; ++i) {
      EXPECT_EQ(out->pal[i][0], before.pal[i][2]);
      EXPECT_EQ(out->pal[i][1], before.pal[i][1]);
      EXPECT_EQ(out->pal[i][2], before.pal[i][0]);
    }
  }
  ImgFree(&img);
  ImgFree(&other);
}

TEST_F(ImgOpsTest, SwapRBWorksAt24BitsAndTurnsOtherDepthsInto24) {
  // One pixel per depth, as blue-green-red after widening to 24 bits.
  struct Case {
    int32_t bpp;
    std::initializer_list<uint8_t> in;
    std::vector<uint8_t> out;  // red, green, blue of the swapped 24-bit pixel
  } const cases[] = {
      {24, {1, 2, 3}, {3, 2, 1}},
      {32, {1, 2, 3, 99}, {3, 2, 1}},
      {16, {0x3F, 0x80}, {0x80, 0x04, 0xF8}},  // R 0x80, G 0x04, B 0xF8 before
      {15, {0x1F, 0x40}, {0x80, 0x00, 0xF8}},
  };
  for (const auto& c : cases) {
    for (bool inPlace : {true, false}) {
      Qimg img = MakeImg(1, 1, c.bpp, c.in);
      Qimg other{};
      Qimg* out = inPlace ? &img : &other;
      ImgSwapRB(&img, out);
      EXPECT_EQ(out->bpp, 24) << c.bpp;
      EXPECT_EQ(out->pixSize, 3);
      EXPECT_EQ(Bytes(*out), c.out) << c.bpp << (inPlace ? " in place" : "");
      if (!inPlace) {
        EXPECT_EQ(img.bpp, c.bpp) << "source untouched";
      }
      ImgFree(&img);
      ImgFree(&other);
    }
  }
}

TEST_F(ImgOpsTest, RemapMapsEachChannelThroughItsTable) {
  uint8_t table[768];
  for (int i = 0; i < 256; ++i) {
    table[i] = uint8_t(255 - i);      // red inverted
    table[256 + i] = uint8_t(i / 2);  // green halved
    table[512 + i] = uint8_t(i ^ 1);  // blue: lowest bit flipped
  }
  Qimg rgb = MakeImg(2, 1, 24, {10, 20, 30, 0, 255, 128});
  ImgRemap(&rgb, &rgb, table);
  EXPECT_EQ(Bytes(rgb), (std::vector<uint8_t>{11, 10, 225, 1, 127, 127}));

  Qimg pal = MakeImg(2, 1, 8, {0, 1});
  pal.pal[1][0] = 10, pal.pal[1][1] = 20, pal.pal[1][2] = 30;
  Qimg out{};
  ImgRemap(&pal, &out, table);
  EXPECT_EQ(out.bpp, 8);
  EXPECT_EQ(Bytes(out), (std::vector<uint8_t>{0, 1}));
  EXPECT_EQ(out.pal[1][0], 11);
  EXPECT_EQ(out.pal[1][1], 10);
  EXPECT_EQ(out.pal[1][2], 225);
  EXPECT_EQ(pal.pal[1][2], 30) << "source palette untouched";

  Qimg word = MakeImg(1, 1, 16, {0xFF, 0xFF});
  ImgRemap(&word, &word, table);
  EXPECT_EQ(word.bpp, 24);
  EXPECT_EQ(Bytes(word), (std::vector<uint8_t>{0xF9, 0x7E, 0x07}));
  ImgFree(&rgb);
  ImgFree(&pal);
  ImgFree(&out);
  ImgFree(&word);
}

TEST_F(ImgOpsTest, OperationsOnAnAbsentSourceOrTableFailAsFaults) {
  Qimg img = MakeImg(1, 1, 24);
  ProtectedKeep([&] { ImgRemap(&img, &img, nullptr); });
  EXPECT_EQ(ErrCategory(), ERR_EXCEPT);
  ProtectedKeep([&] { ImgFlipV(nullptr, &img); });
  EXPECT_EQ(ErrCategory(), ERR_EXCEPT);
  ImgFree(&img);
}

}  // namespace
}  // namespace zelo
