// Small helpers for tests on Qimg pictures.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"
#include "support/process.h"

namespace zelo::test {

// Checks that a test leaves no tracked block behind.
class TrackedBlocksTest : public testing::Test {
 protected:
  void SetUp() override { base_ = MemCount(); }
  void TearDown() override {
    MemFailAfter(-1);
    EXPECT_EQ(MemCount(), base_) << "tracked blocks left over";
    ErrClear();
  }
  int32_t base_ = 0;
};
using ImageTest = TrackedBlocksTest;

inline Qimg MakeImg(int32_t w, int32_t h, int32_t bpp, const std::vector<uint8_t>& bytes = {}) {
  Qimg img{};
  _imgalloc_(&img, w, h, bpp, 1, "test.img");
  std::memset(img.pixPtr, 0, size_t(img.pixSize));
  if (!bytes.empty()) std::memcpy(img.pixPtr, bytes.data(), std::min(bytes.size(), size_t(img.pixSize)));
  return img;
}

// A 24-bit picture whose pixels are grey levels (all three bytes equal).
inline Qimg MakeGrey(int32_t w, int32_t h, const std::vector<int>& levels) {
  std::vector<uint8_t> bytes;
  for (int v : levels) bytes.insert(bytes.end(), 3, uint8_t(v));
  return MakeImg(w, h, 24, bytes);
}

inline Qimg MakeRandom(int32_t w, int32_t h, int32_t bpp, uint32_t seed) {
  Qimg img = MakeImg(w, h, bpp);
  std::mt19937 rng(seed);
  uint8_t* p = ImgPixels(&img);
  for (int32_t i = 0; i < img.pixSize; ++i) p[i] = uint8_t(rng());
  if (bpp == 15)  // bit 15 stays zero
    for (int32_t i = 1; i < img.pixSize; i += 2) p[i] &= 0x7F;
  return img;
}

inline std::vector<uint8_t> Bytes(const Qimg& img) {
  const uint8_t* p = static_cast<const uint8_t*>(img.pixPtr);
  return std::vector<uint8_t>(p, p + int64_t(img.resX) * img.resY * img.bytesPP);
}

// First byte of every pixel of a 24-bit grey picture.
inline std::vector<int> Levels(const Qimg& img) {
  std::vector<int> v;
  const uint8_t* p = static_cast<const uint8_t*>(img.pixPtr);
  for (int64_t i = 0; i < int64_t(img.resX) * img.resY; ++i) {
    EXPECT_TRUE(p[3 * i] == p[3 * i + 1] && p[3 * i] == p[3 * i + 2]) << "pixel " << i;
    v.push_back(p[3 * i]);
  }
  return v;
}

// Frees an image whose pixels a failed frame may already have released.
inline void Release(Qimg& img) {
  if (MemFind(&img.pixPtr, 3) != UNDEF)
    ImgFree(&img);
  else
    img = Qimg{};
}

// Runs an operation with the n-th tracked allocation refused, for n = 0, 1,
// ... until it succeeds; after each failure nothing may be left over.
inline void EveryAllocationFails(const std::function<void()>& op, const std::function<void()>& reset) {
  const int32_t base = MemCount();
  for (int32_t n = 0; n < 64; ++n) {
    MemFailAfter(n);
    ProtectedKeep(op);
    MemFailAfter(-1);
    const bool failed = !ErrNone();
    ErrClear();
    reset();
    EXPECT_EQ(MemCount(), base) << "after refusing allocation " << n;
    if (!failed) return;
  }
  ADD_FAILURE() << "the operation never succeeded";
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

// The image as 24-bit blue-green-red bytes, through the library's conversion.
inline std::vector<uint8_t> As24(const Qimg& img) {
  Qimg src = img;  // a view; the copy is released below, never src
  Qimg out{};
  ImgConvBpp(&src, &out, 24);
  std::vector<uint8_t> bytes = Bytes(out);
  ImgFree(&out);
  return bytes;
}

inline bool HaveImageMagick() { return HaveTool("convert"); }

}  // namespace zelo::test
