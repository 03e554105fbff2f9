// Helpers for tests of the file format modules: outcomes of readers run in
// a keeping frame, ImageMagick as the independent reader and writer, and the
// shared sample corpus.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"
#include "support/image_helpers.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace zelo::test {

// A test that must leave no tracked block and no open file behind.
class FormatTest : public testing::Test {
 protected:
  void SetUp() override {
    blocks_ = MemCount();
    files_ = FCount();
  }
  void TearDown() override {
    MemFailAfter(-1);
    EXPECT_EQ(MemCount(), blocks_) << "tracked blocks left over";
    EXPECT_EQ(FCount(), files_) << "files left open";
    ErrClear();
  }
  std::string Path(const std::string& name) const { return dir_ / name; }

  // The writer, and the reader on the writer's file, with each tracked
  // allocation refused in turn: nothing may be left behind.
  template <class Saver, class Loader>
  void ExpectRefusedAllocationsLeaveNothing(Saver save, Loader load, Qimg* src) {
    const std::string file = Path("saved.bin");
    ProtectedKeep([&] { save(file, src); });
    ASSERT_TRUE(ErrNone()) << ErrText(ErrCategory(), ErrCode());
    Qimg img{};
    EveryAllocationFails([&] { load(file, &img); }, [&] { Release(img); });
    EveryAllocationFails([&] { save(Path("saved2.bin"), src); }, [] {});
  }

  // A file of the given bytes must fail to load with the error given and
  // leave no pixels, block or open file behind.
  template <class Loader>
  void ExpectRefused(Loader loader, const std::string& bytes, std::pair<int32_t, int32_t> error,
                     const std::string& what) {
    const std::string file = Path("refused.bin");
    WriteFile(file, bytes);
    Qimg img{};
    ProtectedKeep([&] { loader(file, &img); });
    EXPECT_EQ(std::make_pair(ErrCategory(), ErrCode()), error) << what;
    ErrClear();
    EXPECT_EQ(img.pixPtr, nullptr) << what;
    EXPECT_EQ(MemCount(), blocks_) << what;
    EXPECT_EQ(FCount(), files_) << what;
    if (img.pixPtr != nullptr) Release(img);
  }

  TempDir dir_;
  int32_t blocks_ = 0;
  int32_t files_ = 0;
};

using ErrPair = std::pair<int32_t, int32_t>;
constexpr ErrPair kNoError{0, 0};

// Runs a reader or writer in a keeping frame; returns the error it left.
template <class Work>
ErrPair Attempt(Work&& work) {
  ProtectedKeep(std::forward<Work>(work));
  const ErrPair r{ErrCategory(), ErrCode()};
  ErrClear();
  return r;
}

// Loads with a reader; on failure the image is left without pixels.
template <class Loader>
ErrPair LoadWith(Loader loader, const std::string& file, Qimg* img) {
  *img = Qimg{};
  const ErrPair r = Attempt([&] { loader(file, img); });
  if (r != kNoError) Release(*img);
  return r;
}

inline std::string Quote(const std::string& s) { return "'" + s + "'"; }

// ImageMagick's decoding of a file as packed 8-bit rows (map "rgb" or "rgba").
inline std::string MagickPixels(const std::string& file, const std::string& map = "rgb") {
  return RunCommand("convert " + Quote(file) + " -depth 8 " + map + ":- 2>/dev/null");
}

// Runs ImageMagick: convert <input> <options> <output>; true when the output exists.
inline bool MagickConvert(const std::string& input, const std::string& options,
                          const std::string& output) {
  RunCommand("convert " + Quote(input) + " " + options + " " + Quote(output) + " 2>/dev/null");
  return FileExists(output);
}

// The image's pixels as red-green-blue bytes (through the library's depth
// conversion for other depths than 24).
inline std::string RgbOf(const Qimg& img) {
  std::vector<uint8_t> bgr = As24(img);
  std::string rgb(bgr.size(), '\0');
  for (size_t i = 0; i + 2 < bgr.size(); i += 3) {
    rgb[i] = char(bgr[i + 2]);
    rgb[i + 1] = char(bgr[i + 1]);
    rgb[i + 2] = char(bgr[i]);
  }
  return rgb;
}

// A binary colour anymap written here (not by the library), as input for
// ImageMagick.
inline void WritePpm(const std::string& name, int32_t w, int32_t h, const std::string& rgb) {
  WriteFile(name, "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" + rgb);
}

// Compares two byte strings, reporting sizes or the first difference only.
inline testing::AssertionResult SameBytes(const std::string& a, const std::string& b) {
  if (a.size() != b.size())
    return testing::AssertionFailure() << "sizes differ: " << a.size() << " and " << b.size();
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i])
      return testing::AssertionFailure() << "byte " << i << " differs: " << int(uint8_t(a[i]))
                                         << " and " << int(uint8_t(b[i]));
  }
  return testing::AssertionSuccess();
}

// The same within a tolerance per byte (readers round 16-bit samples to 8
// bits differently).
inline testing::AssertionResult NearBytes(const std::string& a, const std::string& b, int tolerance) {
  if (a.size() != b.size())
    return testing::AssertionFailure() << "sizes differ: " << a.size() << " and " << b.size();
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i]))) > tolerance)
      return testing::AssertionFailure() << "byte " << i << " differs: " << int(uint8_t(a[i]))
                                         << " and " << int(uint8_t(b[i]));
  }
  return testing::AssertionSuccess();
}

// Deterministic red-green-blue test pixels with runs and noise, so that
// run-length coders meet both.
inline std::string TestRgb(int32_t w, int32_t h, uint32_t seed = 1) {
  std::string rgb(size_t(w) * h * 3, '\0');
  uint32_t s = seed;
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      s = s * 1103515245u + 12345u;
      const size_t i = (size_t(y) * w + x) * 3;
      const bool flat = (x / 5 + y) % 3 == 0;
      rgb[i] = char(flat ? 200 : (s >> 16) & 0xFF);
      rgb[i + 1] = char(flat ? 0x80 : (x * 9 + y * 3) & 0xFF);
      rgb[i + 2] = char(flat ? 17 : (s >> 8) & 0xFF);
    }
  }
  return rgb;
}

// Files of a corpus folder (e.g. "sgi/valid"), sorted; empty when absent.
inline std::vector<std::string> CorpusFiles(const std::string& folder,
                                            const std::vector<std::string>& exts = {}) {
  namespace fs = std::filesystem;
  std::vector<std::string> files;
  const fs::path root = fs::path(ZELO_SHARED_CORPUS) / folder;
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return files;
  for (auto& e : fs::recursive_directory_iterator(root, ec)) {
    if (!e.is_regular_file()) continue;
    const std::string ext = e.path().extension().string();
    if (exts.empty() || std::find(exts.begin(), exts.end(), ext) != exts.end())
      files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// An image made from red-green-blue bytes (24 bits).
inline Qimg ImgFromRgb(int32_t w, int32_t h, const std::string& rgb) {
  std::vector<uint8_t> bgr(rgb.size());
  for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
    bgr[i] = uint8_t(rgb[i + 2]);
    bgr[i + 1] = uint8_t(rgb[i + 1]);
    bgr[i + 2] = uint8_t(rgb[i]);
  }
  return MakeImg(w, h, 24, bgr);
}

}  // namespace zelo::test
