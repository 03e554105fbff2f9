// The output sink and the save settings: numbered still outputs, pictures
// brought to the sink's geometry, the setters, and the options handed to the
// format modules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "conversion/conform.h"
#include "conversion/ffsave.h"
#include "conversion/uni.h"
#include "formats/avicodecs.h"
#include "formats/ff_jex.h"
#include "formats/ff_pnm.h"
#include "formats/ff_ras.h"
#include "formats/ff_sgi.h"
#include "formats/ffbasic.h"
#include "formats/imgfile.h"
#include "sound/sndbasic.h"
#include "support/format_files.h"

namespace zelo {
namespace {

using test::Attempt;
using test::ErrPair;
using test::kNoError;

class UniSinkTest : public test::FormatTest {
 protected:
  void TearDown() override {
    TGASetCompression(true);
    SGIRle = true;
    RASRle = true;
    PNMAscii = false;
    JEXFast(1);
    JEXKeyFrameRate(25);
    test::FormatTest::TearDown();
  }

  static QffSave Settings(int32_t id) {
    QffSave s;
    ResetQffSave(&s);
    SetFormat(&s, id);
    return s;
  }

  // A sink for the name with the settings of its format.
  static void Create(QUni* sink, const std::string& name, int32_t expected, const QffSave* s = nullptr) {
    UniCreate(sink, name);
    SetSaveSettings(sink, s ? *s : Settings(FFGetID(name, FF_TABLE_WRITE)));
    SetExpectedFrames(sink, expected);
  }

  static ErrPair Save(QUni* sink, int32_t w, int32_t h, int32_t bpp) {
    Qimg img = test::PatternImg(w, h, bpp);
    const ErrPair r = Attempt([&] { UniImgSave(sink, &img); });
    ImgFree(&img);
    return r;
  }

  static QffMedia InfoOf(const std::string& file) {
    QffInfo info;
    EXPECT_EQ(Attempt([&] { FFInfo(file, UNDEF, &info); }), kNoError) << file;
    return info.media;
  }
};

TEST_F(UniSinkTest, StillOutputsBecomeOneFileOrANumberedSequence) {
  const struct {
    const char* name;
    int32_t expected;
    int32_t saves;
    const char* first;   // the sink's name after the first save
    const char* last;    // the last file written
    const char* absent;  // a name that must not be written
  } cases[] = {
      {"clip.bmp", 250, 250, "clip000.bmp", "clip249.bmp", "clip.bmp"},
      {"clip0001.bmp", 1, 1, "clip0001.bmp", "clip0001.bmp", "clip0002.bmp"},
      {"one.bmp", 1, 1, "one.bmp", "one.bmp", "one0.bmp"},
      {"shot7.tga", 3, 3, "shot7.tga", "shot9.tga", "shot10.tga"},
  };
  for (const auto& c : cases) {
    QUni sink;
    Create(&sink, Path(c.name), c.expected);
    for (int32_t i = 0; i < c.saves; ++i) ASSERT_EQ(Save(&sink, 4, 4, 8), kNoError) << c.name << " " << i;
    EXPECT_EQ(sink.fileName, Path(c.first)) << c.name;
    EXPECT_EQ(sink.curFrame, c.saves) << c.name;
    EXPECT_TRUE(FileExists(Path(c.first))) << c.name;
    EXPECT_TRUE(FileExists(Path(c.last))) << c.name;
    EXPECT_FALSE(FileExists(Path(c.absent))) << c.name;
    ASSERT_EQ(Attempt([&] { UniClose(&sink); }), kNoError);
  }
  int32_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
    files += e.path().filename().string().rfind("clip", 0) == 0 ? 1 : 0;
  EXPECT_EQ(files, 251);
}

TEST_F(UniSinkTest, LaterPicturesTakeTheFirstPicturesDepthAndSize) {
  QUni sink;
  Create(&sink, Path("fit0001.bmp"), 3);
  ASSERT_EQ(Save(&sink, 320, 240, 24), kNoError);
  ASSERT_EQ(Save(&sink, 320, 240, 16), kNoError);
  ASSERT_EQ(Save(&sink, 640, 480, 16), kNoError);
  ASSERT_EQ(Attempt([&] { UniClose(&sink); }), kNoError);
  for (const char* name : {"fit0001.bmp", "fit0002.bmp", "fit0003.bmp"}) {
    const QffMedia m = InfoOf(Path(name));
    EXPECT_EQ(m.width, 320) << name;
    EXPECT_EQ(m.height, 240) << name;
    EXPECT_EQ(m.bpp, 24) << name;
  }
  // The converted picture holds the 16-bit picture's colours.
  Qimg src = test::PatternImg(320, 240, 16), want{}, got{};
  ImgConvBpp(&src, &want, 24);
  ASSERT_EQ(Attempt([&] { ImgLoad(Path("fit0002.bmp"), &got, UNDEF); }), kNoError);
  EXPECT_EQ(test::Bytes(got), test::Bytes(want));
  ImgFree(&src);
  ImgFree(&want);
  ImgFree(&got);
}

TEST_F(UniSinkTest, SettersChangeOnlyWhatTheFormatHas) {
  QffSave mpg = Settings(FF_MPG);
  FFSaveSetDataRate(&mpg, 150);
  EXPECT_EQ(mpg.mpgDataRate, 1200);
  FFSaveSetCodec(&mpg, 2);
  EXPECT_EQ(mpg.mpgFormat, 2);

  const QffSave tgaBefore = Settings(FF_TGA);
  QffSave tga = tgaBefore;
  FFSaveSetQuality(&tga, 10);
  FFSaveSetKeyFrameRate(&tga, 10);
  FFSaveSetDataRate(&tga, 10);
  EXPECT_EQ(std::memcmp(&tga, &tgaBefore, sizeof tga), 0);
  FFSaveSetCodec(&tga, 0);
  EXPECT_EQ(tga.tgaCompression, 0);

  QffSave jex = Settings(FF_JEX);
  FFSaveSetCodec(&jex, 0);
  FFSaveSetKeyFrameRate(&jex, 5);
  EXPECT_EQ(jex.jexCodec, 0);
  EXPECT_EQ(jex.jexKeyFrameRate, 5);
  QffSave jpg = Settings(FF_JPG);
  FFSaveSetQuality(&jpg, 40);
  EXPECT_EQ(jpg.jpgQuality, 40);

  // Which formats have options of their own.
  for (int32_t id = 1; id <= 19; ++id) {
    const bool has = id == 1 || (id >= 6 && id <= 11) || (id >= 13 && id <= 15);
    EXPECT_EQ(Settings(id).hasSettings != 0, has) << id;
  }
}

TEST_F(UniSinkTest, PrepareFillsTheValuesInEffect) {
  const struct {
    int32_t id;
    void (*change)(QffSave*);
    int32_t codec, quality, dataRate, keyFrameRate;
  } cases[] = {
      {FF_TGA, [](QffSave* s) { FFSaveSetCodec(s, 0); }, 0, UNDEF, UNDEF, UNDEF},
      {FF_JEX, [](QffSave* s) { FFSaveSetKeyFrameRate(s, 7); }, 1, UNDEF, UNDEF, 7},
      {FF_JPG, [](QffSave* s) { FFSaveSetQuality(s, 60); }, UNDEF, 60, UNDEF, UNDEF},
      {FF_PNG, [](QffSave* s) { FFSaveSetCodec(s, 3); }, 3, UNDEF, UNDEF, UNDEF},
      {FF_MPG, [](QffSave* s) { FFSaveSetDataRate(s, 100); }, 1, UNDEF, 800, UNDEF},
      {FF_PNM, [](QffSave* s) { FFSaveSetCodec(s, 1); }, 1, UNDEF, UNDEF, UNDEF},
  };
  for (const auto& c : cases) {
    QffSave s = Settings(c.id);
    c.change(&s);
    EXPECT_EQ(FFSavePrepare(&s, 64, 48, 16), FFStoreDepth(c.id, 16)) << c.id;
    EXPECT_EQ(s.codec, c.codec) << c.id;
    EXPECT_EQ(s.quality, c.quality) << c.id;
    EXPECT_EQ(s.dataRate, c.dataRate) << c.id;
    EXPECT_EQ(s.keyFrameRate, c.keyFrameRate) << c.id;
  }
}

TEST_F(UniSinkTest, AviSettingsGoThroughTheCompressor) {
  // The codec list and the compression options live for the process.
  QffSave warm = Settings(FF_AVI);
  FFSavePrepare(&warm, 320, 240, 24);
  blocks_ = MemCount();
  // The setters tune the process-wide list entries: put them back afterwards.
  QAviCodec mjpg{}, cvid{};
  AviCodecRecord(&mjpg, MakeFourCC("MJPG"));
  AviCodecRecord(&cvid, MakeFourCC("cvid"));
  QffSave s = Settings(FF_AVI);
  FFSaveSetQuality(&s, 70);
  FFSaveSetKeyFrameRate(&s, 12);
  EXPECT_EQ(s.avi.quality, 70);
  EXPECT_EQ(s.avi.keyFrameRate, 12);
  // Another compressor keeps the tuning of the one it replaces.
  FFSaveSetCodec(&s, int32_t(MakeFourCC("MJPG")));
  EXPECT_EQ(s.avi.fourcc, MakeFourCC("MJPG"));
  EXPECT_EQ(s.avi.quality, 70);
  EXPECT_EQ(s.avi.keyFrameRate, 12);
  FFSaveSetCodec(&s, int32_t(MakeFourCC("cvid")));
  const int32_t depth = FFSavePrepare(&s, 320, 240, 24);
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(depth, AviVCBpp());
  EXPECT_EQ(s.codec, int32_t(s.avi.fourcc));
  EXPECT_NE(depth, UNDEF);
  for (QAviCodec* c : {&mjpg, &cvid}) {
    QAviCodec now{};
    AviCodecRecord(&now, c->fourcc);
    AviSetQuality(&now, c->quality);
    AviSetKeyFrameRate(&now, c->keyFrameRate);
  }
}

TEST_F(UniSinkTest, TheFirstSaveHandsTheSettingsToTheFormatModule) {
  const struct {
    const char* name;
    int32_t codec;
    bool (*read)();
    bool want;
  } cases[] = {
      {"a.tga", 0, [] { return TGACompression(); }, false},
      {"a.sgi", 0, [] { return SGIRle; }, false},
      {"a.ras", 0, [] { return RASRle; }, false},
      {"a.ppm", 1, [] { return PNMAscii; }, true},
  };
  for (const auto& c : cases) {
    for (const bool use : {false, true}) {
      QffSave s = Settings(FFGetID(c.name, FF_TABLE_WRITE));
      FFSaveSetCodec(&s, c.codec);
      FFSavePrepare(&s, 4, 4, 8);
      s.useSettings = use ? kTrue : kFalse;
      const bool before = c.read();
      QUni sink;
      Create(&sink, Path(c.name), 1, &s);
      ASSERT_EQ(Save(&sink, 4, 4, 8), kNoError) << c.name;
      EXPECT_EQ(c.read(), use ? c.want : before) << c.name << " use=" << use;
      ASSERT_EQ(Attempt([&] { UniClose(&sink); }), kNoError);
    }
  }
  // JEX: codec and key frame rate; out-of-range values leave the module's own.
  QffSave s = Settings(FF_JEX);
  FFSaveSetCodec(&s, 0);
  FFSaveSetKeyFrameRate(&s, 3);
  FFSavePrepare(&s, 8, 8, 24);
  QUni sink;
  Create(&sink, Path("a.jex"), 1, &s);
  ASSERT_EQ(Save(&sink, 8, 8, 24), kNoError);
  EXPECT_EQ(JEXFast(UNDEF), 0);
  EXPECT_EQ(JEXKeyFrameRate(UNDEF), 3);
  ASSERT_EQ(Attempt([&] { UniClose(&sink); }), kNoError);
  s.codec = 5;
  s.keyFrameRate = -2;
  Create(&sink, Path("b.jex"), 1, &s);
  ASSERT_EQ(Save(&sink, 8, 8, 24), kNoError);
  EXPECT_EQ(JEXFast(UNDEF), 0);
  EXPECT_EQ(JEXKeyFrameRate(UNDEF), 3);
  ASSERT_EQ(Attempt([&] { UniClose(&sink); }), kNoError);
}

TEST_F(UniSinkTest, RefusesWhatTheFormatCannotTake) {
  QUni wav;
  Create(&wav, Path("s.wav"), 1);
  EXPECT_EQ(Save(&wav, 4, 4, 24), ErrPair(12, 5));
  ASSERT_EQ(Attempt([&] { UniClose(&wav); }), kNoError);

  QUni bmp;
  Create(&bmp, Path("p.bmp"), 1);
  Qsnd snd{};
  QWaveFormat f{};
  WaveFormatPCM(f, 8000, 1, 8);
  SndMakeSilence(snd, 100, f);
  EXPECT_EQ(Attempt([&] { UniSndSave(&bmp, &snd); }), ErrPair(12, 5));
  SndFree(snd);
  ASSERT_EQ(Attempt([&] { UniClose(&bmp); }), kNoError);
  EXPECT_FALSE(FileExists(Path("p.bmp")));

  QUni none;
  Create(&none, Path("x.unknown"), 1);
  EXPECT_EQ(Save(&none, 4, 4, 24), ErrPair(16, 1));
  EXPECT_FALSE(none.setUp);
}

TEST_F(UniSinkTest, SixteenCustomEntriesAreKept) {
  QUni sink;
  UniCreate(&sink, Path("a.avi"));
  for (int32_t i = 0; i < 17; ++i) AddCustomInfo(&sink, "ICMT-long", "text " + std::to_string(i));
  EXPECT_EQ(sink.customCount, 16);
  EXPECT_EQ(sink.custom[0].key, "ICMT");
  EXPECT_EQ(sink.custom[15].text, "text 15");
}

TEST(MakeCompatibleRes, RoundsUpToMultiplesOf16) {
  const struct {
    int32_t w, h, wantW, wantH;
  } cases[] = {{321, 240, 336, 240}, {320, 240, 320, 240}, {1, 17, 16, 32}, {0, 0, 0, 0}};
  for (const auto& c : cases) {
    int32_t w = c.w, h = c.h;
    MakeCompatibleRes(w, h);
    EXPECT_EQ(w, c.wantW);
    EXPECT_EQ(h, c.wantH);
  }
}

}  // namespace
}  // namespace zelo
