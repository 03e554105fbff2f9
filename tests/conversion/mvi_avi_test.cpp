// AVI through the movie handle: create, information entry, pictures and
// sound, then open, load and the handle's views of the module's values.
#include <gtest/gtest.h>

#include <cstring>

#include "conversion/uni.h"
#include "formats/avicodecs.h"
#include "formats/ff_avi.h"
#include "formats/ffbasic.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "sound/sndbasic.h"
#include "support/image_helpers.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace zelo {
namespace {

TEST(MviAvi, WrittenAndReadThroughTheMovieHandle) {
  QAviCodec saved{}, dib{};
  AviGetVC(&saved);
  AviCodecRecord(&dib, MakeFourCC("DIB "));
  AviUseVC(&dib);
  ErrClear();
  const int32_t mem = MemCount(), files = FCount(), open = AviOpenCount();
  test::TempDir dir;
  const std::string name = dir / "movie.avi";
  std::vector<Qimg> pictures;
  for (int n = 0; n < 3; ++n) pictures.push_back(test::PatternImg(16, 8, 8));
  for (int n = 0; n < 3; ++n) ImgPixels(&pictures[size_t(n)])[0] = uint8_t(n);
  Qsnd snd{};
  WaveFormatPCM(snd.format, 8000, 1, 16);
  _sndalloc_(snd, 800 * 2, 1, "test.snd");
  for (int i = 0; i < 1600; ++i) snd.SndData[i] = uint8_t(i * 3);
  snd.samples = 800;

  Qmvi mvi{};
  ProtectedKeep([&] {
    MviCreate(&mvi, name, 10, 1, 3);
    EXPECT_EQ(mvi.id, FF_AVI);
    EXPECT_EQ(MviWriting(mvi), kTrue);
    MviSetAviCustomInfo(&mvi, "INAM", "through the handle");
    for (Qimg& p : pictures) MviImgSave(&mvi, &p);
    MviSndSave(&mvi, &snd);
    EXPECT_EQ(MviCurFrame(mvi), 3);
    EXPECT_EQ(MviSndPos(mvi), 800);
    MviClose(&mvi);
  });
  ASSERT_TRUE(ErrNone()) << ErrCategory() << "," << ErrCode();
  EXPECT_EQ(mvi.mf.AVI, nullptr);

  ProtectedKeep([&] {
    MviOpen(&mvi, name, UNDEF);
    EXPECT_EQ(mvi.id, FF_AVI);
    EXPECT_EQ(MviFrameCount(mvi), 3);
    EXPECT_EQ(MviWriting(mvi), kFalse);
    Qimg img{};
    for (int32_t f = 1; f <= 3; ++f) {
      MviImgLoad(&mvi, &img, f, 2);
      EXPECT_EQ(test::Bytes(img), test::Bytes(pictures[size_t(f - 1)])) << f;
      EXPECT_EQ(MviCurFrame(mvi), f);
      EXPECT_EQ(MviPalChanged(mvi), f == 2 ? kTrue : kFalse);
    }
    ImgFree(&img);
    Qsnd got{};
    MviSndLoad(&mvi, &got, 0, 1, 500);
    EXPECT_EQ(got.samples, 500);
    EXPECT_EQ(std::memcmp(got.SndData, snd.SndData, 1000), 0);
    EXPECT_EQ(MviSndPos(mvi), 500);
    SndFree(got);
  });
  ASSERT_TRUE(ErrNone());
  // A failing load of its own: the frame of the open keeps the handle's record.
  ProtectedKeep([&] {
    Qimg img{};
    MviImgLoad(&mvi, &img, 4, 2);
  });
  EXPECT_EQ(ErrCategory(), ERR_MVI);
  EXPECT_EQ(ErrCode(), 7);
  ErrClear();
  ProtectedKeep([&] { MviClose(&mvi); });
  EXPECT_TRUE(ErrNone());

  if (test::HaveTool("ffprobe")) {
    const std::string tags = test::RunCommand("ffprobe -v error -show_entries format_tags=title -of csv=p=0 '" +
                                              name + "'");
    EXPECT_EQ(tags, "through the handle\n");
  }
  for (Qimg& p : pictures) ImgFree(&p);
  SndFree(snd);
  AviUseVC(&saved);
  EXPECT_EQ(MemCount(), mem);
  EXPECT_EQ(FCount(), files);
  EXPECT_EQ(AviOpenCount(), open);
}

TEST(MviAvi, FailedOpenLeavesAClosedHandle) {
  test::TempDir dir;
  const std::string name = dir / "bad.avi";
  test::WriteFile(name, "RIFF\x04\x00\x00\x00" "AVI junk junk junk");
  const int32_t mem = MemCount(), files = FCount(), open = AviOpenCount();
  Qmvi mvi{};
  ProtectedKeep([&] { MviOpen(&mvi, name, UNDEF); });
  EXPECT_EQ(ErrCategory(), ERR_AVIFILE);
  ErrClear();
  EXPECT_EQ(mvi.id, 0);
  EXPECT_EQ(mvi.mf.AVI, nullptr);
  EXPECT_EQ(MemCount(), mem);
  EXPECT_EQ(FCount(), files);
  EXPECT_EQ(AviOpenCount(), open);
}

}  // namespace
}  // namespace zelo
