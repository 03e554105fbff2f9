// File information, image file dispatch and the names of the save settings.
#include <gtest/gtest.h>

#include <string>

#include "conversion/conform.h"
#include "formats/ffbasic.h"
#include "formats/imgfile.h"
#include "support/format_files.h"

namespace zelo {
namespace {

using test::Attempt;
using test::ErrPair;
using test::kNoError;

class ConFormTest : public test::FormatTest {
 protected:
  void TearDown() override {
    TGASetCompression(true);
    test::FormatTest::TearDown();
  }
  // Saves a small picture in a format through the dispatch.
  std::string Saved(const std::string& name, int32_t bpp, int32_t id = UNDEF) {
    Qimg img = test::PatternImg(5, 3, bpp);
    const std::string file = Path(name);
    EXPECT_EQ(Attempt([&] { ImgSave(file, &img, id); }), kNoError) << name;
    ImgFree(&img);
    return file;
  }
};

TEST_F(ConFormTest, InformationOfEachFormat) {
  TGASetCompression(false);
  const std::string rawTga = Saved("raw.tga", 24);
  TGASetCompression(true);
  const struct {
    std::string file;
    int32_t id;
    int32_t bpp;
    const char* description;
    const char* compression;
  } cases[] = {
      {rawTga, FF_TGA, 24, "TGA, Truevision Targa", "Uncompressed, full frames"},
      {Saved("rle.tga", 15), FF_TGA, 15, "TGA, Truevision Targa", "Run Length Encoding (RLE)"},
      {Saved("x.pcx", 8), FF_PCX, 8, "PCX, Zsoft Paintbrush", "Run Length Encoding (RLE)"},
      {Saved("x.bmp", 32), FF_BMP, 32, "BMP/DIB, Windows Device Independent Bitmap", "Uncompressed, full frames"},
  };
  for (const auto& c : cases) {
    QffInfo info;
    ASSERT_EQ(Attempt([&] { FFInfo(c.file, UNDEF, &info); }), kNoError) << c.file;
    EXPECT_EQ(info.id, c.id) << c.file;
    EXPECT_EQ(info.description, c.description) << c.file;
    EXPECT_EQ(info.fileSize, int64_t(test::ReadFile(c.file).size())) << c.file;
    EXPECT_EQ(info.media.width, 5) << c.file;
    EXPECT_EQ(info.media.height, 3) << c.file;
    EXPECT_EQ(info.media.bpp, c.bpp) << c.file;
    EXPECT_EQ(info.media.bytesPP, BytesPP(c.bpp)) << c.file;
    EXPECT_EQ(info.media.frames, 1) << c.file;
    EXPECT_EQ(info.media.hasPictures, kTrue) << c.file;
    EXPECT_EQ(info.media.picturesReadable, kTrue) << c.file;
    EXPECT_EQ(info.media.videoName, c.compression) << c.file;
    EXPECT_EQ(info.media.audioName, "PCM, uncompressed") << c.file;
    EXPECT_EQ(info.media.hasSound, kFalse) << c.file;
    EXPECT_EQ(info.dataRate, 0) << c.file;
  }
  // A given id wins over the extension.
  const std::string renamed = Path("picture.dat");
  test::WriteFile(renamed, test::ReadFile(Path("x.bmp")));
  QffInfo info;
  ASSERT_EQ(Attempt([&] { FFInfo(renamed, FF_BMP, &info); }), kNoError);
  EXPECT_EQ(info.id, FF_BMP);
  EXPECT_EQ(info.media.bpp, 32);
}

TEST_F(ConFormTest, InformationFailures) {
  QffInfo info;
  info.media.width = 99;
  // No information routine (MPEG audio layer II is written only; an unknown
  // extension gives no id): the record holds zeroes and the id, no defaults.
  const struct {
    const char* name;
    int32_t given, id;
  } missing[] = {{"a.mp2", FF_MPA, FF_MPA}, {"a.xyz", UNDEF, UNDEF}, {"noext", UNDEF, UNDEF}};
  for (const auto& c : missing) {
    EXPECT_EQ(Attempt([&] { FFInfo(Path(c.name), c.given, &info); }), ErrPair(ERR_FF, 2)) << c.name;
    EXPECT_EQ(info.id, c.id) << c.name;
    EXPECT_EQ(info.description, "") << c.name;
    EXPECT_EQ(info.media.width, 0) << c.name;
    EXPECT_EQ(info.media.videoName, "") << c.name;
  }
  // A routine's own error passes through.
  test::WriteFile(Path("bad.bmp"), "XX" + std::string(60, '\0'));
  EXPECT_EQ(Attempt([&] { FFInfo(Path("bad.bmp"), UNDEF, &info); }), ErrPair(ERR_IMG, 2));
  EXPECT_EQ(Attempt([&] { FFInfo(Path("missing.pcx"), UNDEF, &info); }), ErrPair(ERR_FILE, 1));
}

TEST_F(ConFormTest, LoadAndSaveByIdOrExtension) {
  const struct {
    const char* name;
    int32_t id;
    int32_t bpp, loaded;
  } cases[] = {
      {"a.tga", UNDEF, 8, 8},  {"a.pcx", UNDEF, 24, 24}, {"a.bmp", UNDEF, 15, 15},
      {"a.dib", UNDEF, 16, 24}, {"a.img", FF_TGA, 32, 32}, {"b.bmp", FF_PCX, 8, 8},
  };
  for (const auto& c : cases) {
    Qimg src = test::PatternImg(5, 3, c.bpp);
    const std::string file = Path(c.name);
    ASSERT_EQ(Attempt([&] { ImgSave(file, &src, c.id); }), kNoError) << c.name;
    Qimg back{};
    ASSERT_EQ(Attempt([&] { ImgLoad(file, &back, c.id); }), kNoError) << c.name;
    EXPECT_EQ(back.bpp, c.loaded) << c.name;
    EXPECT_EQ(test::Bytes(back), c.loaded == c.bpp ? test::Bytes(src) : test::As24(src)) << c.name;
    ImgFree(&back);
    ImgFree(&src);
  }
  // What is in the file counts, not its name: a PCX file named .bmp read as a bitmap.
  Qimg img{};
  EXPECT_EQ(Attempt([&] { ImgLoad(Path("b.bmp"), &img, UNDEF); }), ErrPair(ERR_IMG, 2));
  EXPECT_EQ(img.pixPtr, nullptr);
}

TEST_F(ConFormTest, DispatchRefusals) {
  Qimg img{};
  // Movie and sound files are no still images; no file is touched.
  for (const char* name : {"a.wav", "a.avi", "a.gif.x", "a"})
    EXPECT_EQ(Attempt([&] { ImgLoad(Path(name), &img, UNDEF); }), ErrPair(ERR_IMG, 2)) << name;
  EXPECT_EQ(Attempt([&] { ImgLoad(Path("a.tga"), &img, FF_WAV); }), ErrPair(ERR_IMG, 2));
  EXPECT_EQ(img.pixPtr, nullptr);

  // Saving: a picture without pixels, and formats without a writer.
  EXPECT_EQ(Attempt([&] { ImgSave(Path("a.bmp"), &img, UNDEF); }), ErrPair(ERR_IMG, 9));
  EXPECT_EQ(Attempt([&] { ImgSave(Path("a.bmp"), nullptr, UNDEF); }), ErrPair(ERR_IMG, 9));
  Qimg pic = test::PatternImg(4, 4, 24);
  for (const char* name : {"a.gif", "a.wav", "a.rle", "a"})
    EXPECT_EQ(Attempt([&] { ImgSave(Path(name), &pic, UNDEF); }), ErrPair(ERR_IMG, 2)) << name;
  EXPECT_EQ(Attempt([&] { ImgSave(Path("a.tga"), &pic, FF_GIF); }), ErrPair(ERR_IMG, 2));
  EXPECT_FALSE(FileExists(Path("a.gif")));
  // An existing file is replaced.
  test::WriteFile(Path("old.tga"), std::string(100000, 'x'));
  EXPECT_EQ(Attempt([&] { ImgSave(Path("old.tga"), &pic, UNDEF); }), kNoError);
  EXPECT_LT(test::ReadFile(Path("old.tga")).size(), 1000u);
  ImgFree(&pic);
}

TEST_F(ConFormTest, SaveSettingsAndTheirCompressionNames) {
  QffSave s;
  ResetQffSave(&s);
  EXPECT_EQ(s.useSettings, kTrue);
  EXPECT_EQ(s.hasSettings, kTrue);
  EXPECT_EQ(s.id, UNDEF);
  EXPECT_EQ(s.codec, UNDEF);
  EXPECT_EQ(s.quality, UNDEF);
  EXPECT_EQ(s.dataRate, UNDEF);
  EXPECT_EQ(s.keyFrameRate, UNDEF);
  EXPECT_EQ(s.tgaCompression, 1);
  EXPECT_EQ(s.tifCompression, 1);
  EXPECT_EQ(s.sgiCompression, 1);
  EXPECT_EQ(s.rasCompression, 1);
  EXPECT_EQ(s.pnmEncoding, 0);
  EXPECT_EQ(s.jexCodec, 1);
  EXPECT_EQ(s.pngLevel, 7);
  EXPECT_EQ(s.mpgFormat, 1);
  EXPECT_EQ(FourCCToStr(s.avi.fourcc), "cvid");
  EXPECT_EQ(s.jpgQuality, 85);
  EXPECT_EQ(s.jexKeyFrameRate, 25);
  EXPECT_EQ(s.mpgDataRate, 1125);

  const struct {
    int32_t id;
    void (*change)(QffSave&);
    const char* name;
  } cases[] = {
      {FF_TGA, [](QffSave&) {}, "Run Length Encoding (RLE)"},
      {FF_TGA, [](QffSave& x) { x.tgaCompression = 0; }, "Uncompressed, full frames"},
      {FF_PCX, [](QffSave&) {}, "Run Length Encoding (RLE)"},
      {FF_BMP, [](QffSave&) {}, "Uncompressed, full frames"},
      {FF_FLC, [](QffSave&) {}, "RLE + pixel difference from previous frame"},
      {FF_JEX, [](QffSave& x) { x.jexCodec = 0; }, "JEX-BEST compression"},
      {FF_JEX, [](QffSave&) {}, "JEX-FAST compression"},
      {FF_JEX, [](QffSave& x) { x.jexCodec = 2; }, "N/A"},
      {FF_JPG, [](QffSave&) {}, "JPEG quality: 85%"},
      {FF_JPG, [](QffSave& x) { x.jpgQuality = 7; }, "JPEG quality: 7%"},
      {FF_PNG, [](QffSave&) {}, "PNG compression level: 7 of 9"},
      {FF_TIF, [](QffSave&) {}, "Uncompressed, full frames"},
      {FF_TIF, [](QffSave& x) { x.tifCompression = 5; }, "Variable-Length-Code LZW"},
      {FF_TIF, [](QffSave& x) { x.tifCompression = 7; }, "JPEG DCT compression"},
      {FF_TIF, [](QffSave& x) { x.tifCompression = 32773; }, "PackBits (Macintosh RLE)"},
      {FF_TIF, [](QffSave& x) { x.tifCompression = 32946; }, "Deflate compression (ZIP)"},
      {FF_TIF, [](QffSave& x) { x.tifCompression = 4; }, "Uncompressed, full frames"},
      {FF_MPG, [](QffSave&) {}, "MPEG-1 format"},
      {FF_MPG, [](QffSave& x) { x.mpgFormat = 2; }, "MPEG-2 format"},
      {FF_MPG, [](QffSave& x) { x.mpgFormat = 3; }, "N/A"},
      {FF_SGI, [](QffSave&) {}, "Run Length Encoding (RLE)"},
      {FF_SGI, [](QffSave& x) { x.sgiCompression = 0; }, "Uncompressed, full frames"},
      {FF_RAS, [](QffSave&) {}, "Run Length Encoding (RLE)"},
      {FF_RAS, [](QffSave& x) { x.rasCompression = 0; }, "Uncompressed, full frames"},
      {FF_PNM, [](QffSave&) {}, "Binary encoded"},
      {FF_PNM, [](QffSave& x) { x.pnmEncoding = 1; }, "ASCII encoded"},
      {FF_WAV, [](QffSave&) {}, "Uncompressed, full frames"},
      {FF_XPM, [](QffSave&) {}, "Uncompressed, full frames"},
      {FF_OGG, [](QffSave&) {}, "Uncompressed, full frames"},
      {UNDEF, [](QffSave&) {}, "Uncompressed, full frames"},
  };
  for (const auto& c : cases) {
    QffSave x;
    ResetQffSave(&x);
    x.id = c.id;
    c.change(x);
    std::string text = "stale";
    FFSaveCodecName(x, "out", text);
    EXPECT_EQ(text, c.name) << c.id;
  }
  QffSave avi;
  ResetQffSave(&avi);
  avi.id = FF_AVI;
  AviCodecSetText(avi.avi.description, "Cinepak Codec by Radius");
  std::string text;
  FFSaveCodecName(avi, "out.avi", text);
  EXPECT_EQ(text, "Cinepak Codec by Radius");
  // A record with only its code is named by the installed codec.
  AviCodecSetText(avi.avi.description, "");
  FFSaveCodecName(avi, "out.avi", text);
  EXPECT_EQ(text.rfind("(cvid) ", 0), 0u) << text;
}

}  // namespace
}  // namespace zelo
