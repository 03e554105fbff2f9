// Shared by the image tests: a fixture that checks that no tracked block is
// left over, and small image builders.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "image/imgbasic.h"

namespace zelo::test {

class ImageTest : public testing::Test {
 protected:
  void SetUp() override { base_ = MemCount(); }
  void TearDown() override {
    EXPECT_EQ(MemCount(), base_) << "tracked blocks left over";
    ErrClear();
  }
  int32_t base_ = 0;
};

// An image with the given leading pixel bytes (as many as it holds), the
// rest zero.
inline Qimg MakeImg(int32_t w, int32_t h, int32_t bpp, std::initializer_list<uint8_t> bytes = {}) {
  Qimg img{};
  _imgalloc_(&img, w, h, bpp, 1, "test.img");
  std::memset(img.pixPtr, 0, static_cast<size_t>(img.pixSize));
  const size_t n = std::min(bytes.size(), static_cast<size_t>(img.pixSize));
  std::copy(bytes.begin(), bytes.begin() + n, ImgPixels(&img));
  return img;
}

// An image whose every byte differs from its neighbours (15-bit words keep
// bit 15 clear), with a palette of distinct colours.
inline Qimg PatternImg(int32_t w, int32_t h, int32_t bpp) {
  Qimg img = MakeImg(w, h, bpp);
  uint8_t* p = ImgPixels(&img);
  for (int32_t i = 0; i < img.pixSize; ++i) p[i] = uint8_t(i * 37 + 11);
  if (bpp == 15)
    for (int32_t i = 1; i < img.pixSize; i += 2) p[i] &= 0x7F;
  for (int i = 0; i < 256; ++i) {
    img.pal[i][0] = uint8_t(i * 3);
    img.pal[i][1] = uint8_t(255 - i);
    img.pal[i][2] = uint8_t(i * 7 + 1);
  }
  return img;
}

inline std::vector<uint8_t> Bytes(const Qimg& img) {
  return std::vector<uint8_t>(ImgPixels(&img), ImgPixels(&img) + img.pixSize);
}

// The image as 24-bit blue-green-red bytes, through the library's conversion.
inline std::vector<uint8_t> As24(const Qimg& img) {
  Qimg src = img;  // a view; the copy is released below, never src
  Qimg out{};
  ImgConvBpp(&src, &out, 24);
  std::vector<uint8_t> bytes = Bytes(out);
  ImgFree(&out);
  return bytes;
}

// Standard output of a command, as bytes.
inline std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* f = popen(command.c_str(), "r");
  if (f == nullptr) return out;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  pclose(f);
  return out;
}

inline bool HaveImageMagick() { return RunCommand("command -v convert").size() > 0; }

}  // namespace zelo::test
