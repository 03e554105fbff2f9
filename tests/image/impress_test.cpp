#include "image/impress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "support/image_helpers.h"

namespace zelo {
namespace {

using test::Bytes;
using test::MakeImg;
using test::MakeRandom;

class ImpressTest : public test::TrackedBlocksTest {
 protected:
  void TearDown() override {
    ImgAverageClear();
    test::TrackedBlocksTest::TearDown();
  }
};

// One 24-bit pixel per input value on every channel, so a table shows whole.
Qimg AllLevels() {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 256; ++i) bytes.insert(bytes.end(), 3, uint8_t(i));
  return MakeImg(256, 1, 24, bytes);
}

// Channel c (0 blue, 1 green, 2 red) of pixel i.
int At(const Qimg& img, int i, int c) { return static_cast<const uint8_t*>(img.pixPtr)[3 * i + c]; }

TEST_F(ImpressTest, Brightness) {
  Qimg img = AllLevels();
  Qimg out{};
  ImgBrightness(&img, &out, 50, 50, 50);
  EXPECT_EQ(At(out, 0, 2), 127);
  EXPECT_EQ(At(out, 0, 0), 127);
  EXPECT_EQ(At(out, 200, 1), 255);
  ImgBrightness(&img, &out, -50, 0, 0);
  EXPECT_EQ(At(out, 100, 2), 0);
  EXPECT_EQ(At(out, 200, 2), 73);
  EXPECT_EQ(At(out, 100, 1), 100);
  EXPECT_EQ(At(out, 100, 0), 100);
  ImgBrightness(&img, &out, 300, 0, 0);
  EXPECT_EQ(At(out, 0, 2), 255) << "clamped to 100";
  ImgFree(&img);
  ImgFree(&out);
}

TEST_F(ImpressTest, NeutralValuesCopyTheImage) {
  Qimg img = MakeRandom(7, 5, 16, 1);
  const auto before = Bytes(img);
  Qimg out{};
  ImgBrightness(&img, &out, 0, 0, 0);
  EXPECT_EQ(out.bpp, 16) << "a plain copy keeps the depth";
  EXPECT_EQ(Bytes(out), before);
  ImgGamma(&img, &out, 100, 100, 100);
  EXPECT_EQ(Bytes(out), before);
  ImgWhiteBalance(&img, &out, 255, 255, 255);
  EXPECT_EQ(Bytes(out), before);
  ImgContrast(&img, &img, 0, 0, 0);
  EXPECT_EQ(Bytes(img), before);
  ImgFree(&img);
  ImgFree(&out);
}

TEST_F(ImpressTest, GammaTables) {
  uint8_t t[256];
  GammaCalc_(1.0, t);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(t[i], i);
  Qimg img = AllLevels();
  Qimg out{};
  ImgGamma(&img, &out, 200, 1, 0.5);
  uint8_t five[256], half[256];
  GammaCalc_(5.0, five);
  GammaCalc_(0.5, half);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(At(out, i, 2), five[i]) << "red clamped to 5.0";
    EXPECT_EQ(At(out, i, 1), i);
    EXPECT_EQ(At(out, i, 0), half[i]);
    EXPECT_EQ(five[i], int(std::nearbyint(255 * std::pow(i / 255.0, 0.2)))) << i;
    EXPECT_EQ(half[i], int(std::nearbyint(255 * std::pow(i / 255.0, 2.0)))) << i;
  }
  ImgFree(&img);
  ImgFree(&out);
}

TEST_F(ImpressTest, ContrastTables) {
  uint8_t t[256];
  ContrastCalc_(100, t);
  EXPECT_EQ(t[127], 0);
  EXPECT_EQ(t[128], 255);
  // Reference in plain integers: c = trunc(128 / (128 - 1.27 b)).
  for (int x : {-100, -60, -1, 1, 25, 99}) {
    ContrastCalc_(x, t);
    const int b = std::abs(x);
    const int c = int(128.0 / (128 - 1.27 * b));
    for (int i = 0; i < 256; ++i) {
      int v;
      if (x > 0)
        v = i < 128 ? std::max(i - (std::abs(i - 127) * b / 100 + c), 0) : std::min(i + (i - 128) * b / 100 + c, 255);
      else
        v = i < 128 ? std::min(i + std::abs(i - 127) * b / 100 + c, 128) : std::max(i - ((i - 128) * b / 100 + c), 128);
      EXPECT_EQ(t[i], v) << x << " at " << i;
    }
  }
}

TEST_F(ImpressTest, WhiteBalance) {
  Qimg img = AllLevels();
  Qimg out{};
  ImgWhiteBalance(&img, &out, 255, 255, 128);
  const double h = 127 / 9.0;
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(At(out, i, 0), int(std::max(std::min(i * 255 / 128.0, 255.0) - h, 0.0))) << i;
    EXPECT_EQ(At(out, i, 1), int(std::max(i - h, 0.0))) << i;
    EXPECT_EQ(At(out, i, 2), int(std::max(i - h, 0.0))) << i;
  }
  EXPECT_EQ(At(out, 100, 2), 85);
  // A zero reference counts as 1: red 1 is already full, less h = 254 / 9.
  ImgWhiteBalance(&img, &out, 0, 255, 255);
  EXPECT_EQ(At(out, 1, 2), 226);
  EXPECT_EQ(At(out, 1, 1), 0);
  EXPECT_EQ(At(out, 255, 1), 226);
  ImgFree(&img);
  ImgFree(&out);
}

TEST_F(ImpressTest, PaletteImagesChangeOnlyTheirPalette) {
  Qimg img = MakeImg(3, 1, 8, {0, 1, 2});
  img.pal[1][2] = 100;
  ImgBrightness(&img, &img, 10, 0, 0);
  EXPECT_EQ(img.bpp, 8);
  EXPECT_EQ(Bytes(img), (std::vector<uint8_t>{0, 1, 2}));
  EXPECT_EQ(img.pal[1][2], 125);
  EXPECT_EQ(img.pal[0][2], 25);
  Qimg w15 = MakeImg(1, 1, 15, {0x00, 0x7C});  // red 31
  ImgContrast(&w15, &w15, 0, 10, 0);
  EXPECT_EQ(w15.bpp, 24) << "other depths are worked at 24 bits";
  ImgFree(&img);
  ImgFree(&w15);
}

// Reference convolution: explicit 3 x 3 neighbourhoods with the edge pixel
// repeated beyond the picture, 16-bit sums, arithmetic shift, clamp.
std::vector<uint8_t> Convolve(const Qimg& img, const ConvKernel& k) {
  std::vector<uint8_t> out;
  const uint8_t* p = static_cast<const uint8_t*>(img.pixPtr);
  for (int y = 0; y < img.resY; ++y)
    for (int x = 0; x < img.resX; ++x)
      for (int c = 0; c < 3; ++c) {
        int s = 0;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx) {
            const int yy = std::clamp(y + dy, 0, img.resY - 1), xx = std::clamp(x + dx, 0, img.resX - 1);
            s += k.coef[(dy + 1) * 3 + dx + 1] * p[(yy * img.resX + xx) * 3 + c];
          }
        const int v = (int16_t(s) >> k.shift) + k.offset;
        out.push_back(uint8_t(std::clamp(v, 0, 255)));
      }
  return out;
}

TEST_F(ImpressTest, ConvolutionsMatchAPlainReference) {
  struct Filter {
    void (*op)(Qimg*, Qimg*);
    ConvKernel kernel;
  };
  const Filter filters[] = {
      {ImgSoften, {{1, 1, 1, 1, 8, 1, 1, 1, 1}, 4, 0}},
      {ImgSharpen, {{0, -1, 0, -1, 8, -1, 0, -1, 0}, 2, 0}},
      {ImgEdgeEnhance, {{-1, -2, -1, -2, 16, -2, -1, -2, -1}, 2, 0}},
  };
  const int sizes[][2] = {{17, 9}, {3, 3}, {1, 1}, {2, 5}, {6, 1}};
  for (const auto& f : filters) {
    for (const auto& s : sizes) {
      Qimg img = MakeRandom(s[0], s[1], 24, uint32_t(s[0] * 13 + s[1]));
      const auto want = Convolve(img, f.kernel);
      f.op(&img, &img);
      ASSERT_TRUE(ErrNone());
      EXPECT_EQ(Bytes(img), want) << s[0] << "x" << s[1];
      ImgFree(&img);
    }
    // A uniform picture stays as it is: each kernel sums to 2^shift.
    Qimg flat = MakeImg(5, 4, 8, std::vector<uint8_t>(20, 0));
    flat.pal[0][0] = 10, flat.pal[0][1] = 128, flat.pal[0][2] = 255;
    Qimg out{};
    f.op(&flat, &out);
    EXPECT_EQ(out.bpp, 24);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(std::vector<int>({At(out, i, 0), At(out, i, 1), At(out, i, 2)}),
                                           std::vector<int>({10, 128, 255}));
    ImgFree(&flat);
    ImgFree(&out);
  }
}

TEST_F(ImpressTest, AveragingFrames) {
  Qimg black = MakeImg(2, 2, 24, std::vector<uint8_t>(12, 0));
  Qimg white = MakeImg(2, 2, 24, std::vector<uint8_t>(12, 255));
  Qimg result{};
  ProtectedKeep([&] { ImgAverageGet(&result); });
  EXPECT_EQ(ErrCategory(), ERR_IMG);
  EXPECT_EQ(ErrCode(), MAX_CODE);
  EXPECT_EQ(ErrText(ERR_IMG, MAX_CODE), "General image handling fault.");
  ErrClear();
  ImgAverage(&black);
  ImgAverage(&white);
  ImgAverageGet(&result);
  EXPECT_EQ(result.bpp, 24);
  EXPECT_EQ(Bytes(result), std::vector<uint8_t>(12, 127));
  // Another size is refused and the sum is kept.
  Qimg other = MakeImg(3, 2, 24);
  ProtectedKeep([&] { ImgAverage(&other); });
  EXPECT_EQ(ErrCategory(), ERR_GEN);
  EXPECT_EQ(ErrCode(), 1);
  ErrClear();
  EXPECT_EQ(ImgAverageCount(), 2);
  // Every depth adds its widened channels; more can be added after a get.
  Qimg p8 = MakeImg(2, 2, 8);
  p8.pal[0][0] = 255, p8.pal[0][1] = 255, p8.pal[0][2] = 255;
  Qimg w15 = MakeImg(2, 2, 15, {0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F});
  Qimg w16 = MakeImg(2, 2, 16, std::vector<uint8_t>(8, 0xFF));
  Qimg d32 = MakeImg(2, 2, 32, std::vector<uint8_t>(16, 255));
  for (Qimg* img : {&p8, &w15, &w16, &d32}) ImgAverage(img);
  ImgAverageGet(&result);
  // Six frames: black, white, and white at 8, 15, 16 and 32 bits (the
  // word depths give 248, and 252 for 16-bit green).
  EXPECT_EQ(At(result, 0, 0), (255 * 3 + 248 * 2) / 6);
  EXPECT_EQ(At(result, 0, 1), (255 * 3 + 248 + 252) / 6);
  ImgAverageClear();
  ProtectedKeep([&] { ImgAverageGet(&result); });
  EXPECT_EQ(ErrCode(), MAX_CODE);
  ErrClear();
  for (Qimg* img : {&black, &white, &result, &other, &p8, &w15, &w16, &d32}) ImgFree(img);
}

TEST_F(ImpressTest, AverageSurvivesTheLossOfItsBuffer) {
  // A failing frame around the first add releases the sum buffer; the next
  // add must start afresh instead of writing into the released block.
  Qimg img = MakeImg(2, 1, 24, {10, 10, 10, 20, 20, 20});
  ProtectedKeep([&] {
    ImgAverage(&img);
    ErrRaise(ERR_GEN, 1, 9);
  });
  ErrClear();
  ImgAverage(&img);
  EXPECT_EQ(ImgAverageCount(), 1);
  Qimg result{};
  ImgAverageGet(&result);
  EXPECT_EQ(Bytes(result), Bytes(img));
  ImgFree(&img);
  ImgFree(&result);
}

TEST_F(ImpressTest, FailedAllocationsLeaveNothingBehind) {
  Qimg img = MakeRandom(20, 10, 16, 5);
  Qimg out{};
  auto reset = [&] { test::Release(out); };
  test::EveryAllocationFails([&] { ImgSharpen(&img, &out); }, reset);
  test::EveryAllocationFails([&] { ImgGamma(&img, &out, 2, 2, 2); }, reset);
  test::EveryAllocationFails([&] { ImgSoften(&img, &img); }, [] {});
  ImgFree(&img);
}

}  // namespace
}  // namespace zelo
