// The movie handle and the universal source: sequence names, descriptions of
// still images, numbered sequences, movies and sound files, and reading them
// all through the same calls.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "conversion/conform.h"
#include "conversion/uni.h"
#include "formats/ffbasic.h"
#include "formats/ff_jex.h"
#include "formats/ff_wav.h"
#include "image/imgbasic.h"
#include "sound/sndbasic.h"
#include "support/format_files.h"
#include "support/sound_files.h"

namespace zelo {
namespace {

using test::Attempt;
using test::ErrPair;
using test::kNoError;

// --- sequence names -------------------------------------------------------------

struct Split {
  const char* name;
  bool allowMinus;
  bool found;
  const char* prefix;
  int32_t number, digits;
  const char* suffix;
};

TEST(SeqSplitTest, FindsTheLastNumberOfTheName) {
  const Split cases[] = {
      {"clip12a.bmp", false, true, "clip", 12, 2, "a.bmp"},
      {"shot-007.tga", true, true, "shot", -7, 3, ".tga"},
      {"shot-007.tga", false, true, "shot-", 7, 3, ".tga"},
      {"/data/run.3/img0001.bmp", false, true, "/data/run.3/img", 1, 4, ".bmp"},
      {"/data/run.3/frame.bmp", false, false, "/data/run.3/frame", 0, 0, ".bmp"},
      {"dir.7/name", false, false, "dir.7/name", 0, 0, ""},
      {"000123", false, true, "", 123, 6, ""},
      {"-5.bmp", true, true, "", -5, 1, ".bmp"},
      {"img9.bmp", false, true, "img", 9, 1, ".bmp"},
      // The minus counts only right before the digits, so the name can be
      // built again from its parts.
      {"a7-b.tga", true, true, "a", 7, 1, "-b.tga"},
      {"a1-2.tga", true, true, "a1", -2, 1, ".tga"},
      // A number past int32 cannot be counted on.
      {"99999999999.bmp", false, false, "99999999999", 0, 0, ".bmp"},
  };
  for (const Split& c : cases) {
    std::string prefix = "?", suffix = "?";
    int32_t digits = -1, number = -1;
    EXPECT_EQ(SeqSplit(c.name, c.allowMinus, prefix, digits, number, suffix), c.found) << c.name;
    EXPECT_EQ(prefix, c.prefix) << c.name;
    EXPECT_EQ(number, c.number) << c.name;
    EXPECT_EQ(digits, c.digits) << c.name;
    EXPECT_EQ(suffix, c.suffix) << c.name;
    if (c.found) {
      QSeq seq{prefix, suffix, number, 1, digits};
      EXPECT_EQ(SeqName(seq, 1), c.name) << "the name is built again from its parts";
    }
  }
}

TEST(SeqNameTest, PadsToTheDigitsAndWritesLongerNumbersWhole) {
  const QSeq img{"d/img", ".bmp", 1, 0, 4};
  EXPECT_EQ(SeqName(img, 1), "d/img0001.bmp");
  EXPECT_EQ(SeqName(img, 3), "d/img0003.bmp");
  EXPECT_EQ(SeqName(img, 12345), "d/img12345.bmp");
  const QSeq nine{"img", ".bmp", 9, 0, 1};
  EXPECT_EQ(SeqName(nine, 2), "img10.bmp");
  const QSeq minus{"shot", ".tga", -2, 0, 3};
  EXPECT_EQ(SeqName(minus, 1), "shot-002.tga");
  EXPECT_EQ(SeqName(minus, 3), "shot000.tga");
  EXPECT_EQ(SeqName(minus, 4), "shot001.tga");
}

// --- sources ------------------------------------------------------------------------

class UniTest : public test::FormatTest {
 protected:
  // A 24-bit picture whose first pixel carries the value.
  void SavePicture(const std::string& file, int32_t value, int32_t w = 8, int32_t h = 6, int32_t bpp = 24) {
    Qimg img = test::MakeImg(w, h, bpp);
    static_cast<uint8_t*>(img.pixPtr)[0] = uint8_t(value);
    static_cast<uint8_t*>(img.pixPtr)[1] = uint8_t(value >> 8);
    static_cast<uint8_t*>(img.pixPtr)[2] = uint8_t(value >> 16);
    EXPECT_EQ(Attempt([&] { ImgSave(file, &img, UNDEF); }), kNoError) << file;
    ImgFree(&img);
  }
  // The value SavePicture put in the picture.
  static int32_t ValueOf(const Qimg& img) {
    const uint8_t* p = static_cast<const uint8_t*>(img.pixPtr);
    return p[0] | p[1] << 8 | p[2] << 16;
  }
  QUniInfo Describe(const std::string& file, int32_t maxFiles = 1000, bool allowMinus = false) {
    QUniInfo info;
    EXPECT_TRUE(UniInfo(file, &info, maxFiles, allowMinus)) << file;
    EXPECT_TRUE(ErrNone());
    return info;
  }
  // Opens the description, loads the pictures asked for and returns their
  // values; the handle is closed again.
  std::vector<int32_t> Load(const QUniInfo& info, const std::vector<int32_t>& frames) {
    QUni uni;
    Qimg img{};
    std::vector<int32_t> values;
    EXPECT_EQ(Attempt([&] { UniOpen(&uni, &info); }), kNoError);
    for (int32_t n : frames) {
      EXPECT_EQ(Attempt([&] { UniImgLoad(&uni, &img, n, 2); }), kNoError) << n;
      values.push_back(MemIsTracked(&img.pixPtr) ? ValueOf(img) : -1);
    }
    if (MemIsTracked(&img.pixPtr)) ImgFree(&img);
    EXPECT_EQ(Attempt([&] { UniClose(&uni); }), kNoError);
    EXPECT_EQ(uni.kind, UNI_NONE);
    return values;
  }
  std::string Name(const char* prefix, int32_t n, int32_t digits, const char* suffix) {
    QSeq seq{Path(prefix), suffix, n, 0, digits};
    return SeqName(seq, 1);
  }
};

struct Sequence {
  int32_t digits;
  int32_t first;
  int32_t count;  // files written
  int32_t gapAt;  // a number left out (-1: none)
  int32_t expectFrames;
};

class UniSequenceTest : public UniTest, public testing::WithParamInterface<Sequence> {};

TEST_P(UniSequenceTest, IsDescribedAndReadAsOneSource) {
  const Sequence& s = GetParam();
  for (int32_t n = s.first; n < s.first + s.count; ++n)
    if (n != s.gapAt) SavePicture(Name("frame", n, s.digits, ".bmp"), n);
  const QUniInfo info = Describe(Name("frame", s.first, s.digits, ".bmp"));
  EXPECT_EQ(info.id, FF_BMP);
  EXPECT_EQ(info.kind, s.expectFrames > 1 ? UNI_SEQUENCE : UNI_STILL);
  EXPECT_EQ(info.media.frames, s.expectFrames);
  EXPECT_EQ(info.seq.first, s.first);
  EXPECT_EQ(info.seq.digits, s.digits);
  EXPECT_EQ(info.seq.files, s.expectFrames);
  EXPECT_EQ(info.totalSize, int64_t(s.expectFrames) * (54 + 8 * 6 * 3));
  EXPECT_DOUBLE_EQ(info.media.pictureSize, double(8 * 6 * 3) * s.expectFrames);
  // Pictures by number, out of order too.
  const std::vector<int32_t> frames = {1, s.expectFrames, (s.expectFrames + 1) / 2, 1};
  std::vector<int32_t> want;
  for (int32_t n : frames) want.push_back(s.expectFrames > 1 ? s.first + n - 1 : s.first);
  EXPECT_EQ(Load(info, frames), want);
}

INSTANTIATE_TEST_SUITE_P(Numbers, UniSequenceTest,
                         testing::Values(Sequence{4, 1, 120, -1, 120},   // frame0001 .. frame0120
                                         Sequence{1, 0, 12, -1, 12},     // 0 .. 11: digits 1, 10 written whole
                                         Sequence{6, 0, 5, -1, 5},       // 000000 .. 000004
                                         Sequence{3, 1, 10, 7, 6},       // stops before the gap at 7
                                         Sequence{2, 5, 1, -1, 1},       // one file: a still image
                                         Sequence{5, 99998, 4, -1, 4}));  // 99998 .. 100001

TEST_F(UniTest, AMaximumOfOneFileDescribesOneStillImage) {
  for (int n = 1; n <= 3; ++n) SavePicture(Name("img", n, 4, ".bmp"), n);
  const QUniInfo many = Describe(Path("img0001.bmp"), 1000);
  EXPECT_EQ(many.kind, UNI_SEQUENCE);
  EXPECT_EQ(many.media.frames, 3);
  EXPECT_EQ(many.seq.first, 1);
  EXPECT_EQ(many.seq.digits, 4);
  const QUniInfo one = Describe(Path("img0001.bmp"), 1);
  EXPECT_EQ(one.kind, UNI_STILL);
  EXPECT_EQ(one.media.frames, 1);
  const QUniInfo two = Describe(Path("img0002.bmp"), 1000);
  EXPECT_EQ(two.media.frames, 2) << "a sequence counts from the named file on";
}

TEST_F(UniTest, ImgNineThenImgTenIsOneSequence) {
  SavePicture(Path("img9.bmp"), 9);
  SavePicture(Path("img10.bmp"), 10);
  const QUniInfo info = Describe(Path("img9.bmp"));
  EXPECT_EQ(info.kind, UNI_SEQUENCE);
  EXPECT_EQ(info.media.frames, 2);
  EXPECT_EQ(info.seq.digits, 1);
  EXPECT_EQ(Load(info, {1, 2}), (std::vector<int32_t>{9, 10}));
}

TEST_F(UniTest, ASequenceStopsAtADifferentSizeOrDepth) {
  SavePicture(Path("s1.bmp"), 1);
  SavePicture(Path("s2.bmp"), 2);
  SavePicture(Path("s3.bmp"), 3, 9, 6);
  EXPECT_EQ(Describe(Path("s1.bmp")).media.frames, 2);
  SavePicture(Path("d1.bmp"), 1);
  SavePicture(Path("d2.bmp"), 2, 8, 6, 8);
  EXPECT_EQ(Describe(Path("d1.bmp")).kind, UNI_STILL);
}

TEST_F(UniTest, ASequenceWrittenByImageMagickIsRead) {
  if (!test::HaveImageMagick()) GTEST_SKIP();
  const std::string pattern = Path("im%03d.bmp");
  test::RunCommand("convert -size 16x12 xc:red xc:green xc:blue xc:white -type TrueColor " + test::Quote(pattern) +
                   " 2>/dev/null");
  const QUniInfo info = Describe(Path("im000.bmp"));
  ASSERT_EQ(info.kind, UNI_SEQUENCE);
  EXPECT_EQ(info.media.frames, 4);
  EXPECT_EQ(info.seq.first, 0);
  EXPECT_EQ(info.seq.digits, 3);
  QUni uni;
  Qimg img{};
  ASSERT_EQ(Attempt([&] { UniOpen(&uni, &info); }), kNoError);
  for (int32_t n = 1; n <= 4; ++n) {
    ASSERT_EQ(Attempt([&] { UniImgLoad(&uni, &img, n, 2); }), kNoError);
    EXPECT_EQ(test::RgbOf(img), test::MagickPixels(SeqName(info.seq, n))) << n;
    EXPECT_EQ(uni.curFrame, n);
    EXPECT_TRUE(uni.palChanged);
  }
  ImgFree(&img);
  EXPECT_EQ(Attempt([&] { UniClose(&uni); }), kNoError);
}

TEST_F(UniTest, AStillImageGivesItsPictureForEveryFrameNumber) {
  SavePicture(Path("still.bmp"), 77);
  const QUniInfo info = Describe(Path("still.bmp"));
  EXPECT_EQ(info.kind, UNI_STILL);
  EXPECT_EQ(info.media.frames, 1);
  EXPECT_EQ(Load(info, {1, 2, 50, 1000}), (std::vector<int32_t>(4, 77)));
}

TEST_F(UniTest, TheFallbackFindsTheFormatBehindAWrongExtension) {
  SavePicture(Path("bmp.bmp"), 5);
  for (const char* name : {"really_bmp.pcx", "really_bmp.jpg", "really_bmp.ras"}) {
    const std::string file = Path(name);
    test::WriteFile(file, test::ReadFile(Path("bmp.bmp")));
    // Without a reader for the extension's format there is nothing to fall back from.
    QffInfo probe;
    if (Attempt([&] { FFInfo(file, UNDEF, &probe); }) == ErrPair(ERR_FF, 2)) continue;
    const QUniInfo info = Describe(file, 1);
    EXPECT_EQ(info.id, FF_BMP) << name;
    EXPECT_EQ(info.kind, UNI_STILL) << name;
    EXPECT_EQ(Load(info, {1}), std::vector<int32_t>{5}) << name;
  }
}

TEST_F(UniTest, NamesThatDescribeNothingLeaveTheWarning) {
  test::WriteFile(Path("text.bmp"), "not a picture at all");
  for (const std::string& name : {Path("missing.bmp"), Path("nothing.qqq"), Path("no_extension"), Path("text.bmp"),
                                  std::string(5000, 'a') + "1.bmp", std::string("12345")}) {
    QUniInfo info;
    EXPECT_FALSE(UniInfo(name, &info, 1000, true)) << name.substr(0, 80) << " id " << info.id << " kind " << info.kind << " " << info.media.width;
    EXPECT_TRUE(ErrNone());
    EXPECT_EQ(ErrPair(ErrWarnCategory(), ErrWarnCode()), ErrPair(ERR_FILE, 9));
    EXPECT_EQ(ErrText(ERR_FILE, 9), "File not exist.");
    ErrWarnClear();
    EXPECT_EQ(MemCount(), blocks_);
    EXPECT_EQ(FCount(), files_);
  }
}

// --- movies and sound through the same calls ---------------------------------------

class UniMovieTest : public UniTest {
 protected:
  // A JEX movie of `frames` pictures carrying their numbers, and sound.
  std::string WriteJex(int32_t frames) {
    const std::string file = Path("movie.jex");
    Qmvi mvi{};
    Qimg img = test::MakeImg(16, 8, 24);
    Qsnd snd{};
    QWaveFormat f{};
    WaveFormatPCM(f, 8000, 1, 16);
    SndMakeSilence(snd, 320, f);
    EXPECT_EQ(Attempt([&] { MviCreate(&mvi, file, 25.0, 1, frames); }), kNoError);
    EXPECT_TRUE(MviWriting(mvi));
    for (int32_t n = 1; n <= frames; ++n) {
      static_cast<uint8_t*>(img.pixPtr)[0] = uint8_t(n);
      EXPECT_EQ(Attempt([&] { MviImgSave(&mvi, &img); MviSndSave(&mvi, &snd); }), kNoError);
    }
    EXPECT_EQ(MviCurFrame(mvi), frames);
    EXPECT_EQ(Attempt([&] { MviSetAviCustomInfo(&mvi, "ICMT", "ignored by JEX"); }), kNoError);
    EXPECT_EQ(Attempt([&] { MviClose(&mvi); }), kNoError);
    EXPECT_EQ(mvi.id, 0);
    ImgFree(&img);
    SndFree(snd);
    return file;
  }
  // A WAV file of a ramp written through the movie handle.
  std::string WriteWav(int32_t frames, std::string* samples) {
    const std::string file = Path("sound.wav");
    Qmvi mvi{};
    Qsnd snd{};
    QWaveFormat f{};
    WaveFormatPCM(f, 11025, 2, 16);
    SndMakeSilence(snd, frames, f);
    for (int32_t i = 0; i < frames * 4; ++i) snd.SndData[i] = uint8_t(i * 3 + i / 7);
    samples->assign(reinterpret_cast<char*>(snd.SndData), size_t(frames) * 4);
    EXPECT_EQ(Attempt([&] { MviCreate(&mvi, file, 25.0, 1, 0); MviSndSave(&mvi, &snd); }), kNoError);
    EXPECT_EQ(MviSndPos(mvi), frames);
    Qimg img = test::MakeImg(4, 4, 24);
    EXPECT_EQ(Attempt([&] { MviImgSave(&mvi, &img); }), kNoError) << "pictures to a sound file are dropped";
    ImgFree(&img);
    EXPECT_EQ(Attempt([&] { MviClose(&mvi); }), kNoError);
    SndFree(snd);
    return file;
  }
};

TEST_F(UniMovieTest, AJexMovieIsReadAsKindThree) {
  const std::string file = WriteJex(5);
  const QUniInfo info = Describe(file);
  EXPECT_EQ(info.id, FF_JEX);
  EXPECT_EQ(info.kind, UNI_MOVIE);
  EXPECT_EQ(info.media.frames, 5);
  EXPECT_EQ(info.media.sampleFrames, 5 * 320);
  EXPECT_DOUBLE_EQ(info.media.duration, 5 / 25.0);
  EXPECT_DOUBLE_EQ(info.media.soundDuration, 5 * 320 / 8000.0);
  EXPECT_DOUBLE_EQ(info.media.pcmSize, 5 * 320 * 2.0);
  EXPECT_EQ(info.media.pcmBits, 16);
  QUni uni;
  Qimg img{};
  Qsnd snd{};
  ASSERT_EQ(Attempt([&] { UniOpen(&uni, &info); }), kNoError);
  for (int32_t n : {1, 4, 5, 2}) {
    ASSERT_EQ(Attempt([&] { UniImgLoad(&uni, &img, n, 2); }), kNoError);
    EXPECT_EQ(static_cast<uint8_t*>(img.pixPtr)[0], n);
    EXPECT_EQ(uni.curFrame, n);
    EXPECT_DOUBLE_EQ(uni.picTime, (n - 1) / 25.0);
  }
  EXPECT_EQ(Attempt([&] { UniImgLoad(&uni, &img, 6, 2); }), ErrPair(ERR_MVI, 7));
  ASSERT_EQ(Attempt([&] { UniSndLoad(&uni, &snd, 0, 1, 1000); }), kNoError);
  EXPECT_EQ(snd.samples, 1000);
  EXPECT_EQ(uni.sndPos, 1000);
  EXPECT_DOUBLE_EQ(uni.sndTime, 1000 / 8000.0);
  ImgFree(&img);
  SndFree(snd);
  EXPECT_EQ(Attempt([&] { UniClose(&uni); }), kNoError);
}

TEST_F(UniMovieTest, AWavFileIsReadAsKindThreeWithoutPictures) {
  std::string samples;
  const std::string file = WriteWav(3000, &samples);
  const QUniInfo info = Describe(file);
  EXPECT_EQ(info.id, FF_WAV);
  EXPECT_EQ(info.kind, UNI_MOVIE);
  EXPECT_FALSE(info.media.hasPictures);
  EXPECT_TRUE(info.media.soundReadable);
  EXPECT_EQ(info.media.sampleFrames, 3000);
  EXPECT_EQ(info.media.pcmRate, 11025);
  EXPECT_EQ(info.media.pcmChannels, 2);
  EXPECT_EQ(info.media.pcmBlockAlign, 4);
  EXPECT_EQ(info.description, "WAV, Windows Wave Sound");
  QUni uni;
  Qimg img{};
  Qsnd snd{};
  ASSERT_EQ(Attempt([&] { UniOpen(&uni, &info); }), kNoError);
  EXPECT_EQ(MviFrameCount(uni.mvi), 0);
  EXPECT_EQ(Attempt([&] { UniImgLoad(&uni, &img, 1, 2); }), ErrPair(ERR_MVI, 5));
  std::string got;
  for (int32_t pos = 0; pos < 3000;) {
    ASSERT_EQ(Attempt([&] { UniSndLoad(&uni, &snd, pos, 1, 1100); }), kNoError);
    ASSERT_GT(snd.samples, 0);
    got.append(reinterpret_cast<char*>(snd.SndData), size_t(snd.samples) * 4);
    pos += snd.samples;
    EXPECT_EQ(uni.sndPos, pos);
  }
  EXPECT_EQ(got, samples);
  // Through the movie handle directly: a picture load does nothing.
  for (int32_t n : {1, 2, 100}) EXPECT_EQ(Attempt([&] { MviImgLoad(&uni.mvi, &img, n, 2); }), kNoError);
  EXPECT_EQ(img.pixPtr, nullptr);
  SndFree(snd);
  EXPECT_EQ(Attempt([&] { UniClose(&uni); }), kNoError);
}

TEST_F(UniMovieTest, MovieHandleRefusals) {
  const std::string jex = WriteJex(2);
  Qmvi mvi{};
  Qimg img{};
  // Formats without a module for the direction.
  for (const char* name : {"x.gif", "x.png", "x.bmp", "x.flc", "x.mpg", "x.ogg", "x.mp2", "x.qqq"}) {
    EXPECT_EQ(Attempt([&] { MviCreate(&mvi, Path(name), 25.0, 1, 1); }), ErrPair(ERR_MVI, 1)) << name;
    EXPECT_EQ(mvi.id, 0) << name;
  }
  for (int32_t id : std::vector<int32_t>{FF_GIF, FF_FLC, FF_MPG, FF_OGG, FF_BMP, 0, 99})
    EXPECT_EQ(Attempt([&] { MviOpen(&mvi, jex, id); }), ErrPair(ERR_MVI, 1)) << id;
  EXPECT_EQ(MemCount(), blocks_);
  // A movie that cannot be opened leaves a closed handle.
  EXPECT_NE(Attempt([&] { MviOpen(&mvi, Path("missing.jex"), UNDEF); }), kNoError);
  EXPECT_EQ(mvi.mf.JEX, nullptr);
  EXPECT_EQ(MemCount(), blocks_);
  EXPECT_EQ(FCount(), files_);
  // Reading: the last frame loads, the next is the end; writing is refused.
  ASSERT_EQ(Attempt([&] { MviOpen(&mvi, jex, UNDEF); }), kNoError);
  EXPECT_EQ(MviFrameCount(mvi), 2);
  EXPECT_EQ(Attempt([&] { MviImgLoad(&mvi, &img, 2, 2); }), kNoError);
  EXPECT_EQ(Attempt([&] { MviImgLoad(&mvi, &img, 3, 2); }), ErrPair(ERR_MVI, 7));
  EXPECT_EQ(Attempt([&] { MviImgSave(&mvi, &img); }), ErrPair(ERR_MVI, 2));
  ImgFree(&img);
  EXPECT_EQ(Attempt([&] { MviClose(&mvi); }), kNoError);
  EXPECT_EQ(mvi.mf.JEX, nullptr);
  // A closed handle: closing again and loading sound do nothing.
  Qsnd snd{};
  snd.samples = 5;
  EXPECT_EQ(Attempt([&] { MviSndLoad(&mvi, &snd, 0, 1, 10); MviClose(&mvi); }), kNoError);
  EXPECT_EQ(snd.samples, 0);
}

TEST_F(UniMovieTest, SourceProtocolFaults) {
  SavePicture(Path("still.bmp"), 1);
  QUniInfo info = Describe(Path("still.bmp"));
  QUni uni;
  Qsnd snd{};
  ASSERT_EQ(Attempt([&] { UniOpen(&uni, &info); }), kNoError);
  EXPECT_EQ(Attempt([&] { UniSndLoad(&uni, &snd, 0, 1, 10); }), ErrPair(ERR_MVI, 5));
  uni.media.soundReadable = kTrue;  // sound from a still image
  EXPECT_EQ(Attempt([&] { UniSndLoad(&uni, &snd, 0, 1, 10); }), ErrPair(ERR_UNI, 1));
  uni.kind = 7;
  Qimg img{};
  EXPECT_EQ(Attempt([&] { UniImgLoad(&uni, &img, 1, 2); }), ErrPair(ERR_UNI, 1));
  // An unknown kind is refused but the handle is still emptied.
  QWaveFormat f{};
  WaveFormatPCM(f, 8000, 1, 8);
  SndMakeSilence(uni.sndBuf, 100, f);
  EXPECT_EQ(Attempt([&] { UniClose(&uni); }), ErrPair(ERR_UNI, 1));
  EXPECT_EQ(uni.kind, UNI_NONE);
  EXPECT_EQ(uni.sndBuf.SndData, nullptr);
  info.kind = 9;
  EXPECT_EQ(Attempt([&] { UniOpen(&uni, &info); }), ErrPair(ERR_UNI, 1));
}

}  // namespace
}  // namespace zelo
