// Targa, PCX and bitmap files against ImageMagick as the independent
// implementation: it reads what our writers store, and our readers read
// what it writes (or refuse variants they do not take).
#include <gtest/gtest.h>

#include <string>

#include "formats/imgfile.h"
#include "support/format_files.h"

namespace zelo {
namespace {

using test::Attempt;
using test::ErrPair;
using test::kNoError;
using test::LoadWith;

using Loader = void (*)(const std::string&, Qimg*);
using Saver = void (*)(const std::string&, Qimg*);

class MagickTest : public test::FormatTest {
 protected:
  void SetUp() override {
    if (!test::HaveImageMagick()) GTEST_SKIP() << "ImageMagick not installed";
    test::FormatTest::SetUp();
  }
  void TearDown() override {
    TGASetCompression(true);
    test::FormatTest::TearDown();
  }
};

// ImageMagick's reading of a file as red-green-blue rows, top row first. It
// leaves Targa rows in their stored order and notes the orientation, which
// -auto-orient applies.
std::string MagickRgb(const std::string& file) {
  return test::RunCommand("convert " + test::Quote(file) + " -auto-orient -depth 8 rgb:- 2>/dev/null");
}

// 5-bit and 6-bit channels are widened differently by the two readers.
int Tolerance(int32_t bpp) { return bpp == 15 || bpp == 16 ? 7 : 0; }

TEST_F(MagickTest, ImageMagickReadsWhatWeWrite) {
  const struct {
    const char* ext;
    Saver save;
    int32_t bpp;
    bool rle;
  } cases[] = {
      {"tga", TGASave_, 8, false},  {"tga", TGASave_, 8, true},  {"tga", TGASave_, 15, false},
      {"tga", TGASave_, 15, true},  {"tga", TGASave_, 24, false}, {"tga", TGASave_, 24, true},
      {"tga", TGASave_, 32, false}, {"tga", TGASave_, 32, true},  {"tga", TGASave_, 16, true},
      {"pcx", PCXSave_, 8, true},   {"pcx", PCXSave_, 24, true},  {"pcx", PCXSave_, 16, true},
      {"bmp", DIBSave_, 8, true},   {"bmp", DIBSave_, 15, true},  {"bmp", DIBSave_, 24, true},
      {"bmp", DIBSave_, 32, true},  {"bmp", DIBSave_, 16, true},
  };
  for (const auto& c : cases) {
    for (int32_t width : {1, 6, 13, 200}) {
      const std::string what = std::string(c.ext) + " " + std::to_string(c.bpp) + (c.rle ? "" : " raw") +
                               " width " + std::to_string(width);
      TGASetCompression(c.rle);
      Qimg img = test::ImgFromRgb(width, 5, test::TestRgb(width, 5, uint32_t(width)));
      Qimg src{};
      if (c.bpp == 24) {
        src = img;
      } else {
        ImgConvBpp(&img, &src, c.bpp);
        ImgFree(&img);
      }
      const std::string file = Path("ours." + std::string(c.ext));
      ASSERT_EQ(Attempt([&] { c.save(file, &src); }), kNoError) << what;
      EXPECT_TRUE(test::NearBytes(MagickRgb(file), test::RgbOf(src), Tolerance(c.bpp))) << what;
      ImgFree(&src);
    }
  }
}

TEST_F(MagickTest, WeReadWhatImageMagickWrites) {
  const struct {
    const char* options;
    const char* ext;
    Loader load;
    int32_t bpp;     // depth we load, or the error below
    ErrPair error;
  } cases[] = {
      {"bmp3:", "bmp", DIBLoad_, 24, kNoError},
      {"", "bmp", DIBLoad_, 24, kNoError},  // version 5 header
      {"bmp2:", "bmp", DIBLoad_, 24, kNoError},  // core header
      {"-type Palette bmp3:", "bmp", DIBLoad_, 8, kNoError},  // run-length encoded
      {"-type Palette -compress None bmp3:", "bmp", DIBLoad_, 8, kNoError},
      {"-type Palette -compress RLE", "bmp", DIBLoad_, 8, kNoError},
      {"-define bmp:subtype=RGB565", "bmp", DIBLoad_, 16, kNoError},
      {"-define bmp:subtype=RGB555", "bmp", DIBLoad_, 15, kNoError},
      {"-type TrueColorAlpha", "bmp", DIBLoad_, 32, kNoError},
      {"-type Palette -colors 16", "bmp", DIBLoad_, 0, {ERR_IMG, 1}},
      {"-monochrome", "bmp", DIBLoad_, 0, {ERR_IMG, 1}},
      {"-compress None", "tga", TGALoad_, 24, kNoError},
      {"-compress RLE", "tga", TGALoad_, 24, kNoError},
      {"-type Palette -compress None", "tga", TGALoad_, 8, kNoError},
      {"-type Palette -compress RLE", "tga", TGALoad_, 8, kNoError},
      {"-type TrueColorAlpha -compress None", "tga", TGALoad_, 32, kNoError},
      {"-type TrueColorAlpha -compress RLE", "tga", TGALoad_, 32, kNoError},
      {"-type Grayscale", "tga", TGALoad_, 0, {ERR_IMG, 2}},
      {"", "pcx", PCXLoad_, 24, kNoError},
      {"-type Palette", "pcx", PCXLoad_, 8, kNoError},
      {"-type Palette -colors 16", "pcx", PCXLoad_, 8, kNoError},
  };
  // Pictures of more than 16 colours, so that palette bitmaps are 8-bit.
  for (int32_t width : {3, 200}) {
    const std::string source = Path("source.ppm");
    test::WritePpm(source, width, 11, test::TestRgb(width, 11, uint32_t(width)));
    for (const auto& c : cases) {
      const std::string what = std::string(c.options) + " " + c.ext + " width " + std::to_string(width);
      std::string options = c.options;
      std::string prefix;
      if (!options.empty() && options.back() == ':') {  // a coder prefix for the output name
        const size_t space = options.rfind(' ');
        prefix = space == std::string::npos ? options : options.substr(space + 1);
        options = space == std::string::npos ? "" : options.substr(0, space);
      }
      const std::string file = Path("theirs." + std::string(c.ext));
      FDelete(file);
      test::RunCommand("convert " + test::Quote(source) + " " + options + " " + test::Quote(prefix + file) +
                       " 2>/dev/null");
      ASSERT_TRUE(FileExists(file)) << what;
      Qimg img;
      const ErrPair r = LoadWith(c.load, file, &img);
      EXPECT_EQ(r, c.error) << what;
      if (r == kNoError) {
        EXPECT_EQ(img.bpp, c.bpp) << what;
        EXPECT_TRUE(test::NearBytes(MagickRgb(file), test::RgbOf(img), Tolerance(img.bpp))) << what;
        ImgFree(&img);
      }
    }
  }
}

}  // namespace
}  // namespace zelo
