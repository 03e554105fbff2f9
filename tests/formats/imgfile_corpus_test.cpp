// Targa, PCX and bitmap files made by other programs (the shared sample
// corpus): valid files decode as the suites' reference pictures or
// ImageMagick show them, or are refused with an image error; broken files
// are refused, or (truncated streams) leave what they hold; nothing is
// left allocated or open.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "formats/imgfile.h"
#include "support/format_files.h"

namespace zelo {
namespace {

using test::ErrPair;
using test::kNoError;
using test::LoadWith;

using Loader = void (*)(const std::string&, Qimg*);

class CorpusTest : public test::FormatTest {};

std::string Name(const std::string& file) { return std::filesystem::path(file).filename().string(); }

// Pictures where we differ from every reference on purpose, or where the
// references do not agree.
bool KnownDifference(const std::string& file) {
  const std::string name = Name(file);
  const std::string header = test::ReadFile(file).substr(0, 18);
  // Targa rows stored right to left are taken left to right.
  if (file.find(".tga") != std::string::npos && header.size() == 18 && (header[17] & 0x10) != 0) return true;
  // Indices beyond the colour table: readers choose their own colour.
  return name == "pal8badindex.bmp";
}

// The reference picture of a file, as red-green-blue rows: the suite's own
// rendering where there is one that ImageMagick gets wrong, else ImageMagick's.
std::string Reference(const std::string& file) {
  namespace fs = std::filesystem;
  const std::string name = Name(file);
  fs::path png;
  if (file.find("image-rs-tga-testsuite") != std::string::npos)
    png = fs::path(ZELO_SHARED_CORPUS) / "tga/reference/image-rs-tga-testsuite" / (name + ".png");
  // ImageMagick misreads OS/2 version 2 bitmaps and refuses colour tables of
  // more than 256 entries; bmpsuite renders these as pal8.bmp.
  if (name.rfind("pal8os2v2", 0) == 0 || name == "pal8oversizepal.bmp")
    png = fs::path(ZELO_SHARED_CORPUS) / "bmp/reference/bmpsuite/pal8.png";
  const std::string source = fs::exists(png) ? png.string() : file;
  return test::RunCommand("convert " + test::Quote(source) + " -auto-orient -depth 8 rgb:- 2>/dev/null");
}

// 5-bit channels (15- and 16-bit pixels or colour-table entries) are widened
// by shifting here and by scaling elsewhere.
int Tolerance(const std::string& file, const Qimg& img) {
  const std::string h = test::ReadFile(file).substr(0, 18);
  const bool words = file.find(".tga") != std::string::npos && h.size() == 18 &&
                     (h[16] == 15 || h[16] == 16 || h[7] == 15 || h[7] == 16);
  return words || img.bpp == 15 || img.bpp == 16 ? 7 : 0;
}

bool Consistent(const Qimg& img) {
  return ImgHasPixels(&img) && ImgKnownDepth(img.bpp) && img.resX > 0 && img.resY > 0 &&
         img.bytesPP == BytesPP(img.bpp) && int64_t(img.pixSize) == int64_t(img.resX) * img.resY * img.bytesPP;
}

// The errors a refusal may carry: image errors, or a short read.
bool CleanRefusal(const ErrPair& r) { return r.first == ERR_IMG || r == ErrPair(ERR_FILE, 3); }

struct CorpusSet {
  const char* folder;
  Loader load;
  bool valid;
};

constexpr CorpusSet kSets[] = {
    {"tga/valid", TGALoad_, true},  {"tga/invalid", TGALoad_, false}, {"bmp/valid", DIBLoad_, true},
    {"bmp/invalid", DIBLoad_, false}, {"pcx/valid", PCXLoad_, true},  {"pcx/invalid", PCXLoad_, false},
};

TEST_F(CorpusTest, SampleFilesDecodeOrAreRefusedCleanly) {
  if (!std::filesystem::exists(ZELO_SHARED_CORPUS)) GTEST_SKIP() << "corpus missing";
  const bool magick = test::HaveImageMagick();
  int decoded = 0, compared = 0;
  for (const CorpusSet& set : kSets) {
    for (const std::string& file : test::CorpusFiles(set.folder)) {
      if (Name(file) == "LICENSE") continue;
      Qimg img;
      const ErrPair r = LoadWith(set.load, file, &img);
      EXPECT_EQ(FCount(), files_) << file;
      if (r != kNoError) {
        EXPECT_TRUE(CleanRefusal(r)) << file << ": (" << r.first << ", " << r.second << ")";
        EXPECT_EQ(img.pixPtr, nullptr) << file;
      } else {
        ++decoded;
        EXPECT_TRUE(Consistent(img)) << file;
        if (set.valid && magick && !KnownDifference(file)) {
          EXPECT_TRUE(test::NearBytes(Reference(file), test::RgbOf(img), Tolerance(file, img))) << file;
          ++compared;
        }
        ImgFree(&img);
      }
      EXPECT_EQ(MemCount(), blocks_) << file;
    }
  }
  EXPECT_GT(decoded, 80);
  if (magick) {
    EXPECT_GT(compared, 70);
  }
}

}  // namespace
}  // namespace zelo
