#include <gtest/gtest.h>

#include "formats/ffbasic.h"

namespace zelo {
namespace {

TEST(FormatTables, ExtensionLookup) {
  const struct {
    const char* name;
    int32_t table;
    int32_t id;
  } cases[] = {
      {"a/b/photo.JPEG", FF_TABLE_READ, FF_JPG},  {"photo.JPEG", FF_TABLE_WRITE, FF_JPG},
      {"x.jif", FF_TABLE_READ, FF_JPG},           {"x.jif", FF_TABLE_WRITE, UNDEF},
      {"noext", FF_TABLE_READ, UNDEF},            {"dot.", FF_TABLE_READ, UNDEF},
      {"x.J", FF_TABLE_READ, UNDEF},              {"clip.mpe", FF_TABLE_READ, FF_MPG},
      {"song.mp2", FF_TABLE_READ, FF_MPG},        {"song.mp2", FF_TABLE_WRITE, FF_MPA},
      {"song.mp3", FF_TABLE_READ, FF_MPG},        {"a.tar.gz/noext", FF_TABLE_READ, UNDEF},
      {"movie.avi", FF_TABLE_WRITE, FF_AVI},      {"pic.rgba", FF_TABLE_READ, FF_SGI},
      {"pic.rgba", FF_TABLE_WRITE, UNDEF},        {"pic.pgm", FF_TABLE_WRITE, UNDEF},
      {"x.gif", FF_TABLE_WRITE, UNDEF},           {"x.e", FF_TABLE_READ, UNDEF},
  };
  for (const auto& c : cases) EXPECT_EQ(FFGetID(c.name, c.table), c.id) << c.name;
  QffDesc mp3 = FFFindByExt("song.mp3", FF_TABLE_READ);
  EXPECT_EQ(mp3.caps, 0x14);
  EXPECT_EQ(mp3.shortName, "MPA");
  EXPECT_EQ(FFGetCaps(FF_MPG, FF_TABLE_READ), 0x1A);
  EXPECT_EQ(FFDescription(FF_MPG), "MPEG, Moving Pictures Experts Group");
  EXPECT_EQ(FFGetCaps(FF_GIF, FF_TABLE_WRITE), UNDEF);
}

TEST(FormatTables, KindsAndDepths) {
  EXPECT_EQ(FFKind(4, 1), KIND_STILL);
  EXPECT_EQ(FFKind(4, 2), KIND_MOVIE);
  EXPECT_EQ(FFKind(8, 1), KIND_STILL);
  EXPECT_EQ(FFKind(8, 5), KIND_SEQUENCE);
  EXPECT_EQ(FFKind(12, 0), KIND_MOVIE);
  EXPECT_EQ(FFKind(0, 5), KIND_NONE);
  EXPECT_EQ(FFKind(UNDEF, 5), KIND_NONE);
  EXPECT_EQ(FFKind(-3, 1), KIND_NONE);
  EXPECT_EQ(FFKind(20, 1), KIND_NONE);
  EXPECT_EQ(FFStoreDepth(FF_JEX, 15), 16);
  EXPECT_EQ(FFStoreDepth(FF_PNG, 8), 8);
  EXPECT_EQ(FFStoreDepth(FF_JPG, 8), 24);
  EXPECT_EQ(FFStoreDepth(FF_TGA, 12), 24);
  EXPECT_EQ(FFStoreDepth(FF_GIF, 8), UNDEF);
  EXPECT_TRUE(FFIsWritable(FF_MPA));
  EXPECT_FALSE(FFIsWritable(FF_BAY));
}

TEST(FormatTables, FourCC) {
  EXPECT_EQ(MakeFourCC('c', 'v', 'i', 'd'), 0x64697663u);
  EXPECT_EQ(FourCCToStr(MakeFourCC("DIB")), "DIB ");
  EXPECT_EQ(FourCCToStr(0x64697663u), "cvid");
}

}  // namespace
}  // namespace zelo

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "support/image_helpers.h"

namespace zelo {
namespace {

using FFInitTest = test::TrackedBlocksTest;

TEST_F(FFInitTest, SizeMultipleAndStoredDepth) {
  Qimg img = test::PatternImg(321, 240, 24);
  QffInitData work;
  FFInit(FF_MPG, &work, &img, 16);
  ASSERT_TRUE(ErrNone());
  ASSERT_EQ(work.img, &work.temp_img);
  EXPECT_EQ(work.img->resX, 336);
  EXPECT_EQ(work.img->resY, 240);
  const uint8_t* row = ImgPixels(work.img) + 5 * 336 * 3;
  EXPECT_EQ(std::memcmp(row, ImgPixels(&img) + 5 * 321 * 3, 321 * 3), 0);
  EXPECT_EQ(row[321 * 3], 0) << "the added columns are black";
  FFDone(&work);

  const struct {
    int32_t id, bpp, stored;
    bool copy;
  } depths[] = {{FF_JPG, 16, 24, true}, {FF_PNG, 8, 8, false}, {FF_JPG, 8, 24, true}, {FF_JEX, 15, 16, true}};
  for (const auto& d : depths) {
    Qimg src = test::PatternImg(8, 8, d.bpp);
    FFInit(d.id, &work, &src, 1);
    ASSERT_TRUE(ErrNone());
    EXPECT_EQ(work.img->bpp, d.stored);
    EXPECT_EQ(work.img == &src, !d.copy);
    FFDone(&work);
    ImgFree(&src);
  }
  ImgFree(&img);
}

TEST_F(FFInitTest, RefusesImagesOutsideTheLimits) {
  const int32_t sizes[][2] = {{4097, 8}, {8, 4097}, {3, 8}};
  QffInitData work;
  for (auto& s : sizes) {
    Qimg img = test::MakeImg(s[0], s[1], 8);
    ProtectedKeep([&] { FFInit(FF_PNG, &work, &img, 1); });
    EXPECT_EQ(ErrCategory(), ERR_FF);
    EXPECT_EQ(ErrCode(), 1);
    ImgFree(&img);
  }
  Qimg big = test::MakeImg(4096, 4096, 8);
  FFInit(FF_PNG, &work, &big, 1);
  EXPECT_TRUE(ErrNone());
  FFDone(&work);
  ImgFree(&big);
  Qimg none{};
  ProtectedKeep([&] { FFInit(FF_PNG, &work, &none, 1); });
  EXPECT_EQ(ErrCode(), 1);
  Qimg gif = test::MakeImg(8, 8, 8);
  ProtectedKeep([&] { FFInit(FF_GIF, &work, &gif, 1); });
  EXPECT_EQ(ErrCode(), 1) << "no writer, no depth row";
  ImgFree(&gif);
}

}  // namespace
}  // namespace zelo
