#include <gtest/gtest.h>

#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/miscprocs.h"
#include "foundation/monitor.h"

namespace zelo {
namespace {

struct BoxCase {
  int w, h, bw, bh;
  bool force;
  int ox, oy, nw, nh;
  bool fails;
};

TEST(CalcBoxResizeTest, FitsKeepingTheAspectRatio) {
  const BoxCase cases[] = {
      {200, 100, 100, 100, false, 0, 25, 100, 50, false},
      {40, 20, 60, 60, false, 10, 20, 40, 20, false},
      {40, 20, 60, 60, true, 0, 15, 60, 30, false},
      {100, 300, 50, 50, false, 17, 0, 16, 50, false},
      {1000, 1, 10, 10, false, 0, 4, 10, 1, false},  // at least one row
      {0, 20, 60, 60, false, 0, 0, 60, 60, true},
      {40, -2, 60, 60, true, 0, 0, 60, 60, true},
      {40, 20, 0, 60, false, 0, 0, 0, 60, true},
  };
  for (const auto& c : cases) {
    int ox = -1, oy = -1, nw = -1, nh = -1;
    ErrClear();
    CalcBoxResize(c.w, c.h, c.bw, c.bh, c.force, ox, oy, nw, nh);
    EXPECT_EQ(std::vector<int>({ox, oy, nw, nh}), std::vector<int>({c.ox, c.oy, c.nw, c.nh}))
        << c.w << "x" << c.h << " in " << c.bw << "x" << c.bh;
    EXPECT_EQ(ErrCategory(), c.fails ? ERR_GEN : 0);
    EXPECT_EQ(ErrCode(), c.fails ? 1 : 0);
  }
  ErrClear();
}

TEST(FillColorTest, FillsEachDepthAndStaysInsideTheImage) {
  struct Case {
    int32_t bpp;
    std::vector<uint8_t> pixel;
  };
  const uint32_t colour = 0x00332211;  // a Windows colour: red 0x11
  const Case cases[] = {
      {8, {0x11}}, {15, {0x11, 0x22}}, {16, {0x11, 0x22}}, {24, {0x33, 0x22, 0x11}}, {32, {0x11, 0x22, 0x33, 0x00}}};
  for (const auto& c : cases) {
    const int32_t bytes = (c.bpp + 7) / 8;
    std::vector<uint8_t> buf(size_t(6 * bytes + 8), 0xEE);  // 3 x 2 pixels and a guard
    Qimg img{};
    img.pixPtr = buf.data();
    img.hostPix = 1;
    img.resX = 3, img.resY = 2, img.bytesPP = bytes, img.bpp = c.bpp;
    FillColor(&img, 4, 100, colour);  // clamped to the last two pixels
    FillColor(&img, 0, -3, colour);   // nothing
    FillColor(&img, 6, 1, colour);    // past the end: nothing
    FillColor(&img, -1, 2, colour);   // before the start: nothing
    for (int px = 0; px < 6; ++px)
      for (int b = 0; b < bytes; ++b)
        EXPECT_EQ(buf[size_t(px * bytes + b)], px >= 4 ? c.pixel[size_t(b)] : 0xEE) << c.bpp << " " << px;
    for (size_t i = size_t(6 * bytes); i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEE);
  }
}

}  // namespace
}  // namespace zelo
