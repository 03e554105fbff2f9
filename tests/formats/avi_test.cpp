// FF_AVI: pictures and sound through written AVIs and back, the file as
// ffmpeg/ffprobe read it, AVIs written by ffmpeg, and the failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "conversion/conform.h"
#include "formats/avi_fixture.h"
#include "formats/avicodecs.h"
#include "formats/ff_avi.h"
#include "formats/ffbasic.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "platform/avi_helpers.h"
#include "sound/sndbasic.h"
#include "support/image_helpers.h"
#include "support/temp_dir.h"

namespace zelo {
namespace {

using test::As24;
using test::Psnr;
using test::Quote;
using test::TempDir;

constexpr int32_t kW = 64, kH = 48;

// A smooth moving picture (what lossy codecs are made for); 8 bits: blocks
// of palette colours.
Qimg Smooth(int32_t w, int32_t h, int32_t bpp, int n) {
  Qimg img = test::MakeImg(w, h, bpp);
  uint8_t* p = ImgPixels(&img);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const int b = (x * 3 + n * 5) & 255, g = (y * 4 + n * 2) & 255, r = ((x + y) * 2 + n) & 255;
      const int64_t i = int64_t(y) * w + x;
      if (bpp == 24) {
        p[3 * i] = uint8_t(b), p[3 * i + 1] = uint8_t(g), p[3 * i + 2] = uint8_t(r);
      } else if (bpp == 15 || bpp == 16) {
        const uint16_t v = uint16_t(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3));
        p[2 * i] = uint8_t(v), p[2 * i + 1] = uint8_t(v >> 8);
      } else {
        p[i] = uint8_t((x / 4 + (y / 4) * 16 + n) & 255);
      }
    }
  }
  for (int i = 0; i < 256; ++i) {
    img.pal[i][0] = uint8_t(i * 3);
    img.pal[i][1] = uint8_t(255 - i);
    img.pal[i][2] = uint8_t(i * 7 + 1);
  }
  return img;
}

// A PCM sound of n frames whose samples differ from frame to frame.
Qsnd Ramp(int channels, int bits, int32_t n, int seed) {
  Qsnd s{};
  WaveFormatPCM(s.format, 22050, channels, bits);
  _sndalloc_(s, n * s.format.blockAlign, 1, "test.snd");
  for (int32_t i = 0; i < n * s.format.blockAlign; ++i) s.SndData[i] = uint8_t(i * 7 + seed * 13 + (i >> 5));
  s.samples = n;
  return s;
}

uint32_t Code(const char* s) { return MakeFourCC(s); }

// Pictures equal, or where and how much they differ.
testing::AssertionResult SamePicture(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a == b) return testing::AssertionSuccess();
  if (a.size() != b.size()) return testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
  size_t i = 0;
  while (a[i] == b[i]) ++i;
  return testing::AssertionFailure() << "first difference at byte " << i << " (" << int(a[i]) << " against "
                                     << int(b[i]) << "), PSNR " << Psnr(a, b);
}

class AviFileTest : public test::AviStateTest {
 protected:
  static void UseCodec(uint32_t code) {
    QAviCodec r{};
    AviCodecRecord(&r, code);
    AviUseVC(&r);
  }

  // Writes the pictures (and the sounds after the first picture) with the
  // codec; true when every call succeeded.
  bool Write(const std::string& name, uint32_t codec, std::vector<Qimg>& pictures,
             std::vector<Qsnd>* sounds = nullptr, double rate = 25,
             const std::vector<std::pair<std::string, std::string>>& info = {}) {
    UseCodec(codec);
    auto af = std::make_unique<QAviFile>();
    bool ok = false;
    ProtectedKeep([&] {
      AviCreate(af.get(), name, 1, rate);
      for (auto& [k, v] : info) AviSetCustomInfo(af.get(), k, v);
      for (size_t i = 0; i < pictures.size(); ++i) {
        AviImgSave(af.get(), &pictures[i]);
        if (i == 0 && sounds != nullptr)
          for (Qsnd& s : *sounds) AviSndSave(af.get(), &s);
      }
      if (pictures.empty() && sounds != nullptr)
        for (Qsnd& s : *sounds) AviSndSave(af.get(), &s);
      AviClose(af.get());
      ok = true;
    });
    if (!ok) {
      ADD_FAILURE() << "writing failed: (" << ErrCategory() << ", " << ErrCode() << ")";
      ErrClear();
      ProtectedKeep([&] { AviClose(af.get()); });
    }
    return ok;
  }

  // Opens the file, runs the work, closes; the error pair left by the work.
  std::pair<int32_t, int32_t> WithOpen(const std::string& name, const std::function<void(QAviFile*)>& work) {
    auto af = std::make_unique<QAviFile>();
    ProtectedKeep([&] {
      AviOpen(af.get(), name);
      work(af.get());
    });
    const auto result = std::make_pair(ErrCategory(), ErrCode());
    ErrClear();
    ProtectedKeep([&] { AviClose(af.get()); });
    EXPECT_TRUE(ErrNone());
    ErrClear();
    return result;
  }

  static void Free(std::vector<Qimg>& v) {
    for (Qimg& i : v) ImgFree(&i);
  }

};

// --- pictures through every codec ---------------------------------------------------

struct CodecCase {
  const char* code;
  int32_t bpp;        // of the pictures saved
  // 0: the pictures come back identical. Lossy floors sit 3 to 4 dB under
  // what the codecs reach on these pictures (Cinepak 37.5, Video 1 30.8,
  // Motion JPEG 40.0, MPEG-4 35.2).
  double psnrFloor;
  const char* ffName; // ffprobe's codec name
};

void PrintTo(const CodecCase& c, std::ostream* os) { *os << c.code << "_" << c.bpp; }

class AviCodecRoundTrip : public AviFileTest, public testing::WithParamInterface<CodecCase> {};

TEST_P(AviCodecRoundTrip, PicturesComeBackAndFfmpegAgrees) {
  const CodecCase& c = GetParam();
  TempDir dir;
  const std::string name = dir / "movie.avi";
  std::vector<Qimg> pictures;
  for (int n = 0; n < 3; ++n) pictures.push_back(Smooth(kW, kH, c.bpp, n * 3));
  ASSERT_TRUE(Write(name, Code(c.code), pictures));

  std::vector<std::vector<uint8_t>> ours;
  int32_t bpp = 0;
  auto err = WithOpen(name, [&](QAviFile* af) {
    EXPECT_EQ(af->frameCount, 3);
    EXPECT_EQ(af->width, kW);
    EXPECT_EQ(af->height, kH);
    bpp = af->bpp;
    Qimg img{};
    for (int32_t f = 1; f <= 3; ++f) {
      AviImgLoad(af, &img, f, 2);
      ours.push_back(As24(img));
    }
    ImgFree(&img);
  });
  ASSERT_EQ(err.first, 0) << err.second;
  if (std::string(c.code) == "DIB ") {
    EXPECT_EQ(bpp, c.bpp);
  }
  for (int n = 0; n < 3; ++n) {
    const std::vector<uint8_t> want = As24(pictures[size_t(n)]);
    if (c.psnrFloor == 0) {
      EXPECT_TRUE(SamePicture(ours[size_t(n)], want)) << "frame " << n;
    } else {
      EXPECT_GE(Psnr(ours[size_t(n)], want), c.psnrFloor) << "frame " << n;
    }
  }
  Free(pictures);

  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  EXPECT_EQ(test::ProbeTags(name)["nb_streams"], "1");
  auto v = test::Probe(name, "v:0");
  EXPECT_EQ(v["codec_name"], c.ffName);
  EXPECT_EQ(v["nb_frames"], "3");
  EXPECT_EQ(v["width"], std::to_string(kW));
  EXPECT_EQ(test::ProbeFrameCount(name), 3);
  auto theirs = test::FfmpegFrames(name, kW, kH);
  ASSERT_EQ(theirs.size(), 3u);
  for (size_t n = 0; n < 3; ++n) {
    // 5-bit channels widen differently; everything else decodes alike.
    if (bpp == 15 || bpp == 16) {
      // 5-bit channels widen to 8 bits differently: compare the 5 bits.
      for (auto* v : {&theirs[n], &ours[n]})
        for (uint8_t& b : *v) b >>= 3;
      EXPECT_TRUE(SamePicture(theirs[n], ours[n])) << "frame " << n;
    } else {
      EXPECT_TRUE(SamePicture(theirs[n], ours[n])) << "frame " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, AviCodecRoundTrip,
    testing::Values(CodecCase{"DIB ", 8, 0, "rawvideo"}, CodecCase{"DIB ", 15, 0, "rawvideo"},
                    CodecCase{"DIB ", 24, 0, "rawvideo"}, CodecCase{"HFYU", 24, 0, "huffyuv"},
                    CodecCase{"HFYU", 8, 0, "huffyuv"}, CodecCase{"FFV1", 24, 0, "ffv1"},
                    CodecCase{"FFV1", 15, 0, "ffv1"}, CodecCase{"ULRG", 24, 0, "utvideo"},
                    CodecCase{"MPNG", 24, 0, "png"}, CodecCase{"MPNG", 8, 0, "png"},
                    CodecCase{"ZMBV", 24, 0, "zmbv"}, CodecCase{"ZMBV", 8, 0, "zmbv"},
                    CodecCase{"ZMBV", 15, 0, "zmbv"}, CodecCase{"cvid", 24, 33, "cinepak"},
                    CodecCase{"MSVC", 15, 27, "msvideo1"}, CodecCase{"MJPG", 24, 36, "mjpeg"},
                    CodecCase{"FMP4", 24, 32, "mpeg4"}),
    [](const testing::TestParamInfo<CodecCase>& i) {
      std::string n = std::string(i.param.code) + "_" + std::to_string(i.param.bpp);
      for (char& ch : n)
        if (ch == ' ') ch = 'x';
      return n;
    });

// --- sound ---------------------------------------------------------------------------

struct SoundCase {
  int channels, bits;
  const char* ffName;
  const char* ffFormat;
};

void PrintTo(const SoundCase& c, std::ostream* os) { *os << c.channels << "x" << c.bits; }

class AviSoundRoundTrip : public AviFileTest, public testing::WithParamInterface<SoundCase> {};

TEST_P(AviSoundRoundTrip, SamplesComeBackExactly) {
  const SoundCase& c = GetParam();
  TempDir dir;
  const std::string name = dir / "sound.avi";
  std::vector<Qimg> pictures;
  pictures.push_back(Smooth(kW, kH, 24, 0));
  pictures.push_back(Smooth(kW, kH, 24, 1));
  std::vector<Qsnd> sounds{Ramp(c.channels, c.bits, 1000, 1), Ramp(c.channels, c.bits, 2000, 2)};
  ASSERT_TRUE(Write(name, Code("DIB "), pictures, &sounds));
  std::string all(reinterpret_cast<char*>(sounds[0].SndData), size_t(1000 * sounds[0].format.blockAlign));
  all.append(reinterpret_cast<char*>(sounds[1].SndData), size_t(2000 * sounds[1].format.blockAlign));
  const int align = sounds[0].format.blockAlign;
  for (Qsnd& s : sounds) SndFree(s);
  Free(pictures);

  auto err = WithOpen(name, [&](QAviFile* af) {
    EXPECT_EQ(af->sl.totalSamples, 3000);
    Qsnd s{};
    // In one piece, then in sequence from the middle, then past the end.
    AviSndLoad(af, &s, 0, 0, 3000);
    EXPECT_EQ(s.samples, 3000);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s.SndData), size_t(s.samples * align)), all);
    AviSndLoad(af, &s, 1234, 0, 100);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s.SndData), size_t(100 * align)), all.substr(1234 * align, 100 * align));
    AviSndLoad(af, &s, 1334, 1, 5000);
    EXPECT_EQ(s.samples, 3000 - 1334);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s.SndData), size_t(s.samples * align)), all.substr(1334 * align));
    EXPECT_EQ(af->sl.position, 3000);
    SndFree(s);
    AviSndLoad(af, &s, 3000, 1, 10);
    SndFree(s);
  });
  EXPECT_EQ(err, std::make_pair(ERR_AVI, 3));

  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  EXPECT_EQ(test::ProbeTags(name)["nb_streams"], "2");
  auto a = test::Probe(name, "a:0");
  EXPECT_EQ(a["codec_name"], c.ffName);
  EXPECT_EQ(a["channels"], std::to_string(c.channels));
  EXPECT_EQ(a["sample_rate"], "22050");
  const std::string theirs =
      test::Run("ffmpeg -v error -i " + Quote(name) + " -map 0:a:0 -f " + c.ffFormat + " -");
  EXPECT_EQ(theirs, all);
}

INSTANTIATE_TEST_SUITE_P(Pcm, AviSoundRoundTrip,
                         testing::Values(SoundCase{1, 8, "pcm_u8", "u8"}, SoundCase{2, 8, "pcm_u8", "u8"},
                                         SoundCase{1, 16, "pcm_s16le", "s16le"},
                                         SoundCase{2, 16, "pcm_s16le", "s16le"}),
                         [](const testing::TestParamInfo<SoundCase>& i) {
                           return std::to_string(i.param.channels) + "ch" + std::to_string(i.param.bits);
                         });

TEST_F(AviFileTest, SoundOnlyFileOpensWithoutPictures) {
  TempDir dir;
  const std::string name = dir / "only.avi";
  std::vector<Qimg> none;
  std::vector<Qsnd> sounds{Ramp(2, 16, 500, 3)};
  ASSERT_TRUE(Write(name, Code("DIB "), none, &sounds));
  SndFree(sounds[0]);
  QffInfo info;
  ProtectedKeep([&] { FFInfo(name, UNDEF, &info); });
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(info.id, FF_AVI);
  EXPECT_EQ(info.media.hasPictures, kFalse);
  EXPECT_EQ(info.media.hasSound, kTrue);
  EXPECT_EQ(info.media.soundReadable, kTrue);
  EXPECT_EQ(info.media.sampleFrames, 500);
  EXPECT_EQ(info.media.audioName, "(#1) PCM, uncompressed");
  auto err = WithOpen(name, [&](QAviFile* af) {
    Qimg img{};
    AviImgLoad(af, &img, 1, 2);
  });
  EXPECT_EQ(err, std::make_pair(ERR_AVI, 1));
  if (test::HaveFfmpeg()) {
    EXPECT_EQ(test::ProbeTags(name)["nb_streams"], "1");
    EXPECT_EQ(test::Probe(name, "a:0")["codec_name"], "pcm_s16le");
  }
}

// --- the written file ----------------------------------------------------------------

// The data of the first chunk with that code after `from`, as offset and size.
std::pair<size_t, uint32_t> FindChunk(const std::string& file, const char* id, size_t from = 0) {
  size_t at = file.find(id, from);
  if (at == std::string::npos || at + 8 > file.size()) return {std::string::npos, 0};
  return {at + 8, GetLE32(reinterpret_cast<const uint8_t*>(file.data()) + at + 4)};
}

TEST_F(AviFileTest, FileLayoutRateRowsAndInformation) {
  TempDir dir;
  const std::string name = dir / "layout.avi";
  // 5 pixels of 24 bits: 15 data bytes and 1 zero byte per row.
  std::vector<Qimg> pictures{test::PatternImg(5, 4, 24), test::PatternImg(5, 4, 24)};
  const std::string longText(300, 'c');
  ASSERT_TRUE(Write(name, Code("DIB "), pictures, nullptr, 29.97, {{"INAM", "A title"}, {"ICMT", longText}}));
  const std::string file = test::ReadFile(name);
  const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());

  auto [strh, strhSize] = FindChunk(file, "strh");
  ASSERT_NE(strh, std::string::npos);
  EXPECT_EQ(file.substr(strh, 4), "vids");
  EXPECT_EQ(GetLE32(bytes + strh + 20), 10000u);   // scale
  EXPECT_EQ(GetLE32(bytes + strh + 24), 299700u);  // rate

  const size_t info = file.find("INFO");
  ASSERT_NE(info, std::string::npos);
  EXPECT_EQ(file.substr(info - 8, 4), "LIST");
  EXPECT_EQ(GetLE32(bytes + info - 4), 4u + 2 * 264);
  EXPECT_LT(info, file.find("movi"));

  auto [frame, frameSize] = FindChunk(file, "00db", file.find("movi"));
  ASSERT_NE(frame, std::string::npos);
  ASSERT_EQ(frameSize, 16u * 4);
  const uint8_t* top = ImgPixels(&pictures[0]);
  for (int y = 0; y < 4; ++y) {
    const uint8_t* row = bytes + frame + size_t(3 - y) * 16;  // bottom-up
    EXPECT_EQ(std::memcmp(row, top + y * 15, 15), 0) << "row " << y;
    EXPECT_EQ(row[15], 0);
  }
  Free(pictures);

  auto err = WithOpen(name, [&](QAviFile* af) {
    EXPECT_NEAR(af->frameRate, 29.97, 1e-9);
    std::string t;
    AviGetCustomInfo(af->file, "ICMT", t);
    EXPECT_EQ(t, longText.substr(0, 255));
    AviGetCustomInfo(af->file, "INAM", t);
    EXPECT_EQ(t, "A title");
    AviGetCustomInfo(af->file, "IART", t);
    EXPECT_EQ(t, "");
  });
  EXPECT_EQ(err.first, 0);

  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  auto v = test::Probe(name, "v:0");
  EXPECT_EQ(v["r_frame_rate"], "2997/100");
  EXPECT_NEAR(std::stod(v["duration"]), 2 / 29.97, 1e-3);
  auto tags = test::ProbeTags(name);
  EXPECT_EQ(tags["title"], "A title");
  EXPECT_EQ(tags["comment"], longText.substr(0, 255));
}

TEST_F(AviFileTest, DepthsAsWritten) {
  TempDir dir;
  struct Row {
    int32_t bpp, stored;
  };
  for (Row r : {Row{8, 8}, Row{15, 15}, Row{16, 24}, Row{32, 24}}) {
    const std::string name = dir / ("d" + std::to_string(r.bpp) + ".avi");
    std::vector<Qimg> pictures{test::PatternImg(8, 6, r.bpp)};
    ASSERT_TRUE(Write(name, Code("DIB "), pictures));
    Free(pictures);
    QffInfo info;
    ProtectedKeep([&] { AviInfo(name, &info); });
    ASSERT_TRUE(ErrNone());
    EXPECT_EQ(info.media.bpp, r.stored) << r.bpp;
    EXPECT_EQ(info.media.bytesPP, (r.stored + 7) / 8);
    EXPECT_EQ(info.media.frames, 1);
    EXPECT_EQ(info.media.picturesReadable, kTrue);
    const std::string file = test::ReadFile(name);
    auto [strf, strfSize] = FindChunk(file, "strf");
    EXPECT_EQ(strfSize, r.stored == 8 ? 1064u : 40u) << r.bpp;
  }
}

TEST_F(AviFileTest, EightBitPaletteChangedAndSequentialShortCut) {
  TempDir dir;
  const std::string name = dir / "pal.avi";
  std::vector<Qimg> pictures{Smooth(16, 8, 8, 0), Smooth(16, 8, 8, 1), Smooth(16, 8, 8, 2)};
  ASSERT_TRUE(Write(name, Code("DIB "), pictures));
  auto err = WithOpen(name, [&](QAviFile* af) {
    Qimg img{};
    AviImgLoad(af, &img, 1, 2);
    EXPECT_EQ(af->palChanged, kFalse);
    EXPECT_EQ(img.bpp, 8);
    EXPECT_EQ(std::memcmp(img.pal, pictures[0].pal, sizeof img.pal), 0);
    EXPECT_EQ(test::Bytes(img), test::Bytes(pictures[0]));
    AviImgLoad(af, &img, 2, 2);
    EXPECT_EQ(af->palChanged, kTrue);
    // Asking for the frame just loaded, in sequence, leaves the image alone.
    FillBytes(0x5A, img.pixSize, img.pixPtr);
    AviImgLoad(af, &img, 2, 1);
    EXPECT_EQ(ImgPixels(&img)[0], 0x5A);
    AviImgLoad(af, &img, 0, 2);  // the next one
    EXPECT_EQ(test::Bytes(img), test::Bytes(pictures[2]));
    EXPECT_EQ(af->curFrame, 3);
    AviImgLoad(af, &img, 1, 2);  // back again
    EXPECT_EQ(test::Bytes(img), test::Bytes(pictures[0]));
    ImgFree(&img);
    AviImgLoad(af, &img, 4, 2);
  });
  EXPECT_EQ(err, std::make_pair(ERR_AVI, 1));
  Free(pictures);
}

TEST_F(AviFileTest, CustomInfoAfterTheFirstPictureIsNotWritten) {
  TempDir dir;
  const std::string name = dir / "late.avi";
  Qimg img = Smooth(8, 8, 24, 0);
  auto af = std::make_unique<QAviFile>();
  UseCodec(Code("DIB "));
  ProtectedKeep([&] {
    AviCreate(af.get(), name, 1, 10);
    AviSetCustomInfo(af.get(), "IN", "short key");  // ignored
    AviSetCustomInfo(af.get(), "INAM", "");          // ignored
    EXPECT_EQ(af->customInfoUsed, 0);
    AviImgSave(af.get(), &img);
    AviSetCustomInfo(af.get(), "INAM", "too late");
    AviClose(af.get());
  });
  ASSERT_TRUE(ErrNone());
  ImgFree(&img);
  EXPECT_EQ(test::ReadFile(name).find("INFO"), std::string::npos);
}

TEST_F(AviFileTest, PictureOfAnotherSizeIsRefusedAndTheFileStillCompletes) {
  TempDir dir;
  const std::string name = dir / "sizes.avi";
  Qimg a = Smooth(16, 8, 24, 0), b = Smooth(8, 8, 24, 1);
  auto af = std::make_unique<QAviFile>();
  UseCodec(Code("HFYU"));
  ProtectedKeep([&] {
    AviCreate(af.get(), name, 1, 10);
    AviImgSave(af.get(), &a);
    AviImgSave(af.get(), &b);
  });
  EXPECT_EQ(ErrCategory(), ERR_AVI);
  EXPECT_EQ(ErrCode(), 2);
  ErrClear();
  ProtectedKeep([&] { AviClose(af.get()); });
  EXPECT_TRUE(ErrNone());
  ImgFree(&a);
  ImgFree(&b);
  QffInfo info;
  ProtectedKeep([&] { AviInfo(name, &info); });
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(info.media.frames, 1);
  EXPECT_EQ(info.media.videoName.rfind("(HFYU) ", 0), 0u) << info.media.videoName;
}

// --- failures --------------------------------------------------------------------------

TEST_F(AviFileTest, FilesThatAreNotAvis) {
  TempDir dir;
  struct Row {
    std::string content;
    int32_t category, code;
  };
  const std::string riffNoStreams = std::string("RIFF") + std::string("\x04\x00\x00\x00", 4) + "AVI ";
  for (const Row& r : {Row{"", ERR_AVI, 5}, Row{std::string(1000, 'x'), ERR_AVIFILE, 0},
                       Row{riffNoStreams, ERR_AVIFILE, 0}}) {
    const std::string name = dir / "bad.avi";
    test::WriteFile(name, r.content);
    auto err = WithOpen(name, [](QAviFile*) {});
    EXPECT_EQ(err.first, r.category) << r.content.size();
    if (r.code != 0) {
      EXPECT_EQ(err.second, r.code);
    }
    QffInfo info;
    ProtectedKeep([&] { AviInfo(name, &info); });
    EXPECT_EQ(ErrCategory(), r.category);
    ErrClear();
  }
  auto err = WithOpen(dir / "missing.avi", [](QAviFile*) {});
  EXPECT_EQ(err.first, ERR_FILE);
}

TEST_F(AviFileTest, VideoOnlyHasNoSound) {
  TempDir dir;
  const std::string name = dir / "v.avi";
  std::vector<Qimg> pictures{Smooth(8, 8, 24, 0)};
  ASSERT_TRUE(Write(name, Code("DIB "), pictures));
  Free(pictures);
  auto err = WithOpen(name, [](QAviFile* af) {
    Qsnd s{};
    AviSndLoad(af, &s, 0, 0, 10);
  });
  EXPECT_EQ(err, std::make_pair(ERR_AVI, 3));
}

// --- AVIs that ffmpeg writes -------------------------------------------------------------

struct ForeignCase {
  const char* name;
  const char* video;  // ffmpeg options
  const char* audio;
  uint16_t tag;       // stored sound format
  bool exactSound;    // PCM decodes to the same samples
};

void PrintTo(const ForeignCase& c, std::ostream* os) { *os << c.name; }

class AviForeign : public AviFileTest, public testing::WithParamInterface<ForeignCase> {};

TEST_P(AviForeign, OpensAndDecodesLikeFfmpeg) {
  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  const ForeignCase& c = GetParam();
  TempDir dir;
  const std::string name = dir / "in.avi";
  int rc = 0;
  test::Run("ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=10:duration=1 -f lavfi -i "
            "sine=frequency=440:sample_rate=22050:duration=1 -ac 2 " +
                std::string(c.video) + " " + c.audio + " -y " + Quote(name),
            &rc);
  ASSERT_EQ(rc, 0);
  QffInfo info;
  ProtectedKeep([&] { AviInfo(name, &info); });
  ASSERT_TRUE(ErrNone()) << ErrCategory() << "," << ErrCode();
  EXPECT_EQ(info.media.width, 64);
  // ffmpeg may leave a frame out (an empty chunk): the headers count it,
  // and it repeats the picture before.
  const int32_t frames = std::stoi(test::Probe(name, "v:0")["nb_frames"]);
  EXPECT_GE(frames, 10);
  EXPECT_EQ(info.media.frames, frames);
  EXPECT_NEAR(info.media.frameRate, 10, 1e-9);
  EXPECT_EQ(info.media.picturesReadable, kTrue);
  EXPECT_EQ(info.media.storedFormat.formatTag, c.tag);
  EXPECT_EQ(info.media.pcmFormat.formatTag, 1);
  EXPECT_EQ(info.media.pcmFormat.bitsPerSample, 16);
  EXPECT_EQ(info.media.pcmFormat.channels, 2);
  EXPECT_EQ(info.media.soundReadable, kTrue);
  // The PCM length is worked out from the stored stream (MPEG audio: an
  // estimate on the high side).
  EXPECT_GE(info.media.sampleFrames, 22050 - 1152);
  EXPECT_LE(info.media.sampleFrames, 22050 + 4 * 1152);

  std::vector<std::vector<uint8_t>> theirs;
  const std::string raw = test::Run("ffmpeg -v error -i " + Quote(name) +
                                    " -map 0:v:0 -fps_mode cfr -f rawvideo -pix_fmt bgr24 -");
  for (size_t p = 0; p + 64 * 48 * 3 <= raw.size(); p += 64 * 48 * 3)
    theirs.emplace_back(raw.begin() + long(p), raw.begin() + long(p + 64 * 48 * 3));
  ASSERT_EQ(theirs.size(), size_t(frames));
  std::string pcm, seeked;
  auto err = WithOpen(name, [&](QAviFile* af) {
    Qimg img{};
    std::vector<uint8_t> previous;
    int32_t repeats = 0;
    for (int32_t f = 1; f <= frames; ++f) {
      AviImgLoad(af, &img, f, 2);
      const auto ours = As24(img);
      // A left-out frame repeats the picture before; ffmpeg fills it its own way.
      if (ours != theirs[size_t(f - 1)] && ours == previous && ++repeats <= frames - 10) continue;
      EXPECT_TRUE(SamePicture(ours, theirs[size_t(f - 1)])) << "frame " << f;
      previous = ours;
    }
    ImgFree(&img);
    Qsnd s{};
    // In sequence to the end, which reports (9, 3) or gives nothing more.
    for (int32_t at = 0; at < 100000; at += s.samples) {
      ProtectedKeep([&] { AviSndLoad(af, &s, at, 1, 4000); });
      const auto end = std::make_pair(ErrCategory(), ErrCode());
      ErrClear();
      if (end.first != 0 || s.samples == 0) {
        EXPECT_TRUE(end.first == 0 || end == std::make_pair(ERR_AVI, 3)) << end.first << "," << end.second;
        break;
      }
      pcm.append(reinterpret_cast<char*>(s.SndData), size_t(s.samples) * 4);
    }
    // Into the middle of a coded block, and on from there.
    AviSndLoad(af, &s, 1001, 0, 300);
    seeked.append(reinterpret_cast<char*>(s.SndData), size_t(s.samples) * 4);
    AviSndLoad(af, &s, 1301, 1, 300);
    seeked.append(reinterpret_cast<char*>(s.SndData), size_t(s.samples) * 4);
    SndFree(s);
    // Beyond the end there is nothing to deliver.
    AviSndLoad(af, &s, 1 << 30, 0, 10);
  });
  EXPECT_EQ(err, std::make_pair(ERR_AVI, 3));
  const std::string ffpcm = test::Run("ffmpeg -v error -i " + Quote(name) + " -map 0:a:0 -f s16le -ac 2 -");
  if (c.exactSound) {
    EXPECT_EQ(pcm, ffpcm);
    EXPECT_EQ(seeked, ffpcm.substr(1001 * 4, 600 * 4));
  } else {
    EXPECT_NEAR(double(pcm.size()) / 4, double(ffpcm.size()) / 4, 1152);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ffmpeg, AviForeign,
    testing::Values(ForeignCase{"rawvideo_pcm", "-c:v rawvideo -pix_fmt bgr24", "-c:a pcm_s16le", 1, true},
                    ForeignCase{"mjpeg_adpcm", "-c:v mjpeg -q:v 3", "-c:a adpcm_ms", 2, true},
                    ForeignCase{"mpeg4_mp3", "-c:v mpeg4 -q:v 3", "-c:a libmp3lame -b:a 64k", 0x55, false},
                    ForeignCase{"huffyuv_pcm", "-c:v huffyuv", "-c:a pcm_s16le", 1, true}),
    [](const testing::TestParamInfo<ForeignCase>& i) { return std::string(i.param.name); });

TEST_F(AviFileTest, UndecodablePicturesAreDescribedButNotLoaded) {
  TempDir dir;
  const std::string name = dir / "odd.avi";
  std::vector<Qimg> pictures;
  for (int n = 0; n < 5; ++n) pictures.push_back(Smooth(32, 16, 24, n));
  ASSERT_TRUE(Write(name, Code("DIB "), pictures));
  Free(pictures);
  // A compression nothing here decodes, in the stream header and the format.
  std::string file = test::ReadFile(name);
  auto [strh, strhSize] = FindChunk(file, "strh");
  auto [strf, strfSize] = FindChunk(file, "strf");
  ASSERT_NE(strf, std::string::npos);
  file.replace(strh + 4, 4, "ZQZQ");
  file.replace(strf + 16, 4, "ZQZQ");
  test::WriteFile(name, file);
  QffInfo info;
  ProtectedKeep([&] { AviInfo(name, &info); });
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(info.media.width, 32);
  EXPECT_EQ(info.media.height, 16);
  EXPECT_EQ(info.media.frames, 5);
  EXPECT_EQ(info.media.hasPictures, kTrue);
  EXPECT_EQ(info.media.picturesReadable, kFalse);
  EXPECT_EQ(info.media.videoName, "(ZQZQ) Unknown codec");
  auto err = WithOpen(name, [](QAviFile* af) {
    Qimg img{};
    AviImgLoad(af, &img, 1, 2);
    ImgFree(&img);
  });
  EXPECT_EQ(err, std::make_pair(ERR_AVI, 1));
}

}  // namespace
}  // namespace zelo
