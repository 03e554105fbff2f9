#include "platform/gdi.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <vector>

namespace zelo::gdi {
namespace {

TEST(Gdi, InfoHeaderIsWrittenLittleEndianAtItsOffsets) {
  BITMAPINFOHEADER h;
  h.biWidth = 0x01020304;
  h.biHeight = -2;
  h.biBitCount = 24;
  h.biCompression = BI_BITFIELDS;
  h.biSizeImage = 0xA0B0C0D0;
  h.biClrUsed = 256;
  std::vector<uint8_t> b(kInfoHeaderSize, 0xEE);
  PutInfoHeader(b.data(), h);
  const std::vector<uint8_t> want = {40, 0, 0, 0, 4, 3, 2,    1,    0xFE, 0xFF, 0xFF, 0xFF, 1, 0,
                                     24, 0, 3, 0, 0, 0, 0xD0, 0xC0, 0xB0, 0xA0, 0,    0,    0, 0,
                                     0,  0, 0, 0, 0, 1, 0,    0,    0,    0,    0,    0};
  EXPECT_EQ(b, want);
  const BITMAPINFOHEADER back = GetInfoHeader(b.data());
  EXPECT_EQ(back.biHeight, -2);
  EXPECT_EQ(back.biSizeImage, 0xA0B0C0D0u);
  EXPECT_EQ(back.biPlanes, 1);
}

TEST(Gdi, ContextsAreNeverPaletteDevices) {
  const struct {
    cairo_format_t format;
    int32_t bits;
  } cases[] = {{CAIRO_FORMAT_ARGB32, 32},
               {CAIRO_FORMAT_RGB24, 32},
               {CAIRO_FORMAT_RGB16_565, 16},
               {CAIRO_FORMAT_A8, 8}};
  for (const auto& c : cases) {
    cairo_surface_t* s = cairo_image_surface_create(c.format, 2, 2);
    cairo_t* cr = cairo_create(s);
    EXPECT_EQ(GetDeviceCaps(cr, RASTERCAPS) & RC_PALETTE, 0);
    EXPECT_NE(GetDeviceCaps(cr, RASTERCAPS) & RC_DI_BITMAP, 0);
    EXPECT_EQ(GetDeviceCaps(cr, BITSPIXEL), c.bits);
    EXPECT_EQ(GetDeviceCaps(cr, LOGPIXELSY), 96);
    cairo_destroy(cr);
    cairo_surface_destroy(s);
  }
  EXPECT_EQ(GetDeviceCaps(nullptr, RASTERCAPS), 0);
}

TEST(Gdi, GlobalBlocksAreReleasedOnceAndOnlyWhenTheyAreOurs) {
  HGLOBAL h = GlobalAlloc(GMEM_FIXED, 100);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GlobalLock(h), h) << "fixed: the handle is the address";
  EXPECT_EQ(GlobalSize(h), 100);
  EXPECT_TRUE(GlobalUnlock(h));
  int local = 0;
  EXPECT_FALSE(GlobalFree(&local)) << "not ours: left alone";
  EXPECT_FALSE(GlobalFree(nullptr));
  EXPECT_EQ(GlobalLock(&local), nullptr);
  EXPECT_TRUE(GlobalFree(h));
  EXPECT_FALSE(GlobalFree(h)) << "released once";
  EXPECT_EQ(GlobalSize(h), 0);
  const int64_t refused[] = {0, -1, int64_t(INT32_MAX) + 1};
  for (int64_t n : refused) EXPECT_EQ(GlobalAlloc(GMEM_FIXED, n), nullptr) << n;
  GlobalFailAfter(1);
  HGLOBAL first = GlobalAlloc(GMEM_FIXED, 4);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(GlobalAlloc(GMEM_FIXED, 4), nullptr);
  GlobalFailAfter(-1);
  EXPECT_TRUE(GlobalFree(first));
}

TEST(Gdi, BitmapsAndDrawingRefuseWhatCairoCannotHold) {
  uint8_t* bits = nullptr;
  int32_t stride = 0;
  EXPECT_EQ(CreateDIBSection(0, 5, &bits, &stride), nullptr);
  EXPECT_EQ(CreateDIBSection(kMaxBitmapSide + 1, 1, &bits, &stride), nullptr);
  HBITMAP bm = CreateDIBSection(3, 2, &bits, &stride);
  ASSERT_NE(bm, nullptr);
  EXPECT_EQ(stride, 12);
  BITMAP info;
  ASSERT_NE(GetObject(bm, &info), 0);
  EXPECT_EQ(info.bmWidth, 3);
  EXPECT_EQ(info.bmHeight, -2) << "rows run top-down";
  EXPECT_EQ(info.bmBitsPixel, 24);
  EXPECT_EQ(info.bmPixelBytes, 4);
  uint8_t quads[1024];
  EXPECT_EQ(GetDIBColorTable(bm, quads), 0) << "24-bit bitmaps have no colour table";

  cairo_t* cr = cairo_create(bm);
  const uint8_t row[8] = {1, 2, 3, 0, 4, 5, 6, 0};
  EXPECT_TRUE(SetDIBitsToDevice(cr, 1, 1, 2, 1, row, 8));
  EXPECT_FALSE(SetDIBitsToDevice(cr, 0, 0, 2, 1, row, 6)) << "stride not a multiple of 4";
  EXPECT_FALSE(SetDIBitsToDevice(cr, 0, 0, 0, 1, row, 8));
  EXPECT_FALSE(SetDIBitsToDevice(nullptr, 0, 0, 2, 1, row, 8));
  cairo_destroy(cr);
  cairo_surface_flush(bm);
  EXPECT_EQ(bits[stride + 4], 1);
  EXPECT_EQ(bits[stride + 10], 6);
  EXPECT_TRUE(DeleteObject(bm));
  EXPECT_FALSE(DeleteObject(nullptr));
}

}  // namespace
}  // namespace zelo::gdi
