#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"
#include "support/image_helpers.h"

namespace zelo {
namespace {

using ImgBasicTest = test::ImageTest;
using test::MakeImg;

TEST_F(ImgBasicTest, AllocClearsAFreshHeaderAndKeepsAliveOnes) {
  Qimg img;
  std::memset(&img, 0xAB, sizeof img);
  img.pixPtr = nullptr;
  _imgalloc_(&img, 4, 2, 24, 1, "test.fresh");
  EXPECT_EQ(img.pal[1][0], 0) << "first four palette bytes cleared";
  EXPECT_EQ(img.pal[1][1], 0xAB) << "the rest of the palette kept";
  EXPECT_EQ(img.pixSize, 24);
  EXPECT_EQ(img.bytesPP, 3);
  EXPECT_EQ(img.hostPix, 0);
  EXPECT_EQ(MemEntry(MemFind(&img.pixPtr, 3)).tag.substr(0, 24), "C:(ImgAlloc):test.fresh:");
  ImgPixels(&img)[0] = 42;
  img.pal[5][2] = 77;
  _imgalloc_(&img, 8, 8, 24, 2, "test.grow");
  EXPECT_EQ(ImgPixels(&img)[0], 42) << "a live buffer keeps its leading bytes";
  EXPECT_EQ(img.pal[5][2], 77);
  ImgFree(&img);
  EXPECT_EQ(img.pixPtr, nullptr);
}

TEST_F(ImgBasicTest, OversizedOrNegativeGeometryIsRefusedBeforeAllocating) {
  const int32_t cases[][3] = {{65536, 65536, 24},          {46341, 46341, 8},
                              {-4, 4, 24},                 {30000, 30000, 24},
                              {0x7138F754, 0x7F0000BF, 24}, {INT32_MAX, INT32_MAX, 32}};
  for (auto& c : cases) {
    Qimg img{};
    ProtectedKeep([&] { _imgalloc_(&img, c[0], c[1], c[2], 1, "test.big"); });
    EXPECT_EQ(ErrCategory(), ERR_IMG) << c[0];
    EXPECT_EQ(ErrCode(), 2);
    EXPECT_EQ(img.pixPtr, nullptr);
    EXPECT_FALSE(ImgGeometryValid(c[0], c[1], c[2])) << c[0];
  }
  // Products of header fields that pass 64 bits are refused, not wrapped.
  EXPECT_FALSE(ImgGeometryValid(INT64_MAX / 2, 3, 24));
  EXPECT_TRUE(ImgGeometryValid(4096, 4096, 32));
}

TEST_F(ImgBasicTest, FreeOfHostPixelsLeavesThemAlone) {
  std::vector<uint8_t> host(48, 9);
  Qimg img{};
  img.pixPtr = host.data();
  img.hostPix = 1;
  ImgSetGeometry(&img, 4, 4, 24);
  EXPECT_EQ(img.pixSize, 48) << "host images get their size recomputed";
  EXPECT_TRUE(ImgHasPixels(&img));
  ImgFree(&img);
  EXPECT_EQ(img.pixPtr, nullptr);
  EXPECT_EQ(host[0], 9);
  Qimg tracked = MakeImg(2, 2, 24);
  ImgSetGeometry(&tracked, 1, 1, 24);
  EXPECT_EQ(tracked.pixSize, 12) << "tracked images keep pixSize";
  ImgFree(&tracked);
}

TEST_F(ImgBasicTest, CopyTakesThePaletteOnlyAt8Bits) {
  for (int32_t bpp : {8, 24}) {
    Qimg a = MakeImg(2, 1, bpp, {1, 2, 3, 4, 5, 6});
    a.pal[1][1] = 99;
    Qimg b{};
    ImgCopy(&a, &b);
    EXPECT_EQ(b.resX, 2);
    EXPECT_EQ(b.bpp, bpp);
    EXPECT_EQ(std::memcmp(a.pixPtr, b.pixPtr, a.pixSize), 0);
    EXPECT_EQ(b.pal[1][1], bpp == 8 ? 99 : 0);
    ImgFree(&a);
    ImgFree(&b);
  }
}

TEST_F(ImgBasicTest, XchgSwapsWholeRecordsAndNeedsTrackedPixels) {
  Qimg a = MakeImg(1, 1, 24, {1, 2, 3});
  Qimg b = MakeImg(2, 1, 8, {7, 8});
  ImgXchg(&a, &b);
  EXPECT_EQ(a.bpp, 8);
  EXPECT_EQ(ImgPixels(&a)[1], 8);
  EXPECT_EQ(b.resX, 1);
  ImgFree(&b);  // must release the block it now owns
  uint8_t host[3] = {};
  Qimg h{};
  h.pixPtr = host;
  h.hostPix = 1;
  ProtectedKeep([&] { ImgXchg(&a, &h); });
  EXPECT_EQ(ErrCategory(), ERR_MEM);
  EXPECT_EQ(ErrCode(), 2);
  EXPECT_EQ(h.pixPtr, host) << "nothing exchanged";
  ImgFree(&a);
}

// A minimal operation on the framework: copies each 24-bit pixel, adding 1
// to its blue byte, so that we can see where the result went.
void BumpBlue(int32_t opId, Qimg* src, Qimg* dst) {
  Routine("test.BumpBlue", [&] {
    QimgOpInfo info;
    QimgOp work;
    ImgInfo(&info, opId);
    ImgInitEx(&info, &work, src, dst, src->resX, src->resY);
    for (int32_t i = 0; i < work.srcUnits; ++i) {
      const uint8_t* s = work.srcData + 3 * i;
      uint8_t* d = work.dstData + 3 * i;
      d[0] = uint8_t(s[0] + 1);
      d[1] = s[1];
      d[2] = s[2];
    }
    ImgDone(&work);
  });
}

TEST_F(ImgBasicTest, OperationThatCannotWorkInPlaceEndsInTheSameRecord) {
  Qimg img = MakeImg(2, 1, 24, {10, 20, 30, 40, 50, 60});
  BumpBlue(OP_SOFTEN, &img, &img);
  EXPECT_EQ(img.bpp, 24);
  EXPECT_EQ(ImgPixels(&img)[0], 11);
  EXPECT_EQ(ImgPixels(&img)[3], 41);
  ImgFree(&img);
}

TEST_F(ImgBasicTest, FifteenBitSourceIntoA24BitOperationStaysUntouched) {
  Qimg src = MakeImg(1, 1, 15, {0xFF, 0x7F});
  Qimg dst{};
  BumpBlue(OP_SOFTEN, &src, &dst);
  EXPECT_EQ(src.bpp, 15);
  EXPECT_EQ(ImgPixels(&src)[0], 0xFF);
  EXPECT_EQ(dst.bpp, 24);
  const uint8_t want[3] = {0xF9, 0xF8, 0xF8};
  EXPECT_EQ(std::memcmp(dst.pixPtr, want, 3), 0);
  ImgFree(&src);
  ImgFree(&dst);
}

TEST_F(ImgBasicTest, PaletteOnlyOperationsWorkOnThePalette) {
  Qimg img = MakeImg(2, 1, 8, {0, 1});
  img.pal[0][0] = 5;
  BumpBlue(OP_SWAPRB, &img, &img);
  EXPECT_EQ(img.pal[0][0], 6);
  EXPECT_EQ(ImgPixels(&img)[1], 1);
  ImgFree(&img);
}

TEST_F(ImgBasicTest, MissingDestinationForAnOutOfPlaceOperation) {
  Qimg img = MakeImg(1, 1, 24);
  QimgOpInfo info;
  QimgOp work;
  ImgInfo(&info, OP_RESAMPLE);
  ProtectedKeep([&] { ImgInitEx(&info, &work, &img, nullptr, 1, 1); });
  EXPECT_EQ(ErrCategory(), ERR_IMG);
  EXPECT_EQ(ErrCode(), 6);
  ImgFree(&img);
}

TEST_F(ImgBasicTest, OperationTableSettings) {
  QimgOpInfo info;
  ImgInfo(&info, OP_GAMMA);
  EXPECT_EQ(info.workBpp[0], 8);
  EXPECT_EQ(info.workBpp[2], 24);
  EXPECT_TRUE(info.palOnly);
  EXPECT_EQ(info.paramCount, 3);
  EXPECT_DOUBLE_EQ(info.params[2].def, 1.0);
  ImgInfo(&info, OP_INSERT);
  EXPECT_EQ(info.workBpp[1], 15);
  EXPECT_EQ(info.workBpp[5], 24);
  EXPECT_TRUE(info.destDepthWins);
  EXPECT_FALSE(info.inPlace);
}

struct ConvCase {
  int32_t from, to;
  std::vector<uint8_t> in, out;
};

TEST_F(ImgBasicTest, ConversionWords) {
  const ConvCase cases[] = {
      {15, 24, {0xFF, 0x7F}, {0xF8, 0xF8, 0xF8}},
      {16, 24, {0xFF, 0xFF}, {0xF8, 0xFC, 0xF8}},
      {24, 16, {0xFF, 0x07, 0x80}, {0x3F, 0x80}},
      {24, 15, {0xFF, 0x07, 0x80}, {0x1F, 0x40}},
      {16, 15, {0xFF, 0xFF}, {0xFF, 0x7F}},
      {15, 16, {0xFF, 0x7F}, {0xDF, 0xFF}},
      {24, 32, {1, 2, 3}, {1, 2, 3, 0}},
      {32, 24, {1, 2, 3, 9}, {1, 2, 3}},
      {32, 16, {0xFF, 0x07, 0x80, 9}, {0x3F, 0x80}},
      {15, 32, {0xFF, 0x7F}, {0xF8, 0xF8, 0xF8, 0}},
      {16, 32, {0xFF, 0xFF}, {0xF8, 0xFC, 0xF8, 0}},
  };
  for (const auto& c : cases) {
    Qimg src{};
    _imgalloc_(&src, 1, 1, c.from, 1, "test.src");
    std::memcpy(src.pixPtr, c.in.data(), c.in.size());
    Qimg dst{};
    ImgConvBpp(&src, &dst, c.to);
    ASSERT_EQ(dst.bpp, c.to);
    EXPECT_EQ(std::vector<uint8_t>(ImgPixels(&dst), ImgPixels(&dst) + c.out.size()), c.out)
        << c.from << " -> " << c.to;
    ImgFree(&src);
    ImgFree(&dst);
  }
}

TEST_F(ImgBasicTest, EightBitSourcesGoThroughThePalette) {
  Qimg src = MakeImg(2, 1, 8, {0, 1});
  src.pal[1][0] = 0xFF;  // blue
  src.pal[1][2] = 0x80;  // red
  for (int32_t bpp : {15, 16, 24, 32}) {
    Qimg dst{};
    ImgConvBpp(&src, &dst, bpp);
    Qimg back{};
    ImgConvBpp(&dst, &back, 24);
    const uint8_t* p = ImgPixels(&back) + 3;
    EXPECT_EQ(p[0], bpp <= 16 ? 0xF8 : 0xFF) << bpp;
    EXPECT_EQ(p[2], 0x80) << bpp;
    ImgFree(&dst);
    ImgFree(&back);
  }
  ImgFree(&src);
}

TEST_F(ImgBasicTest, InPlaceConversionKeepsTheRecordAndSameDepthDoesNothing) {
  Qimg img = MakeImg(2, 1, 24, {1, 2, 3, 4, 5, 6});
  void* before = img.pixPtr;
  ImgConvBpp(&img, &img, 24);
  EXPECT_EQ(img.pixPtr, before);
  ImgConvBpp(&img, &img, 32);
  EXPECT_EQ(img.bpp, 32);
  EXPECT_EQ(img.pixSize, 8);
  EXPECT_EQ(ImgPixels(&img)[4], 4);
  EXPECT_EQ(ImgPixels(&img)[7], 0);
  ImgConvBpp(&img, &img, 24);
  EXPECT_EQ(ImgPixels(&img)[5], 6);
  ImgFree(&img);
}

TEST_F(ImgBasicTest, UnknownDepthsAreRefusedBeforeTheTargetIsTouched) {
  // A fresh target and one that already holds pixels both stay as they were.
  for (bool fresh : {true, false}) {
    Qimg src = MakeImg(2, 2, 24, {1, 2, 3});
    Qimg dst = fresh ? Qimg{} : MakeImg(1, 1, 8, {42});
    ProtectedKeep([&] { ImgConvBpp(&src, &dst, 12); });
    EXPECT_EQ(ErrCategory(), ERR_IMG);
    EXPECT_EQ(ErrCode(), 2);
    EXPECT_EQ(dst.bpp, fresh ? 0 : 8);
    if (!fresh) {
      EXPECT_EQ(ImgPixels(&dst)[0], 42);
    }
    src.bpp = 12;
    ProtectedKeep([&] { ImgConvBpp(&src, &src, 24); });
    EXPECT_EQ(ErrCode(), 2);
    EXPECT_EQ(src.bpp, 12);
    ImgFree(&src);
    ImgFree(&dst);
  }
}

TEST_F(ImgBasicTest, GreyReduction) {
  Qimg src = MakeImg(2, 1, 24, {30, 60, 90, 255, 255, 255});
  Qimg dst{};
  ImgConvBppEx(&src, &dst, 8, 3);
  EXPECT_EQ(dst.bpp, 8);
  EXPECT_EQ(ImgPixels(&dst)[0], 60);
  EXPECT_EQ(ImgPixels(&dst)[1], 255);
  EXPECT_EQ(dst.pal[60][1], 60);
  ImgFree(&src);
  ImgFree(&dst);
}

}  // namespace
}  // namespace zelo
