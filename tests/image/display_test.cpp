// Images drawn on device contexts and exchanged with platform bitmaps (cairo
// contexts and image surfaces).
#include <cairo.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "foundation/monitor.h"
#include "support/image_helpers.h"
#include "image/imgbasic.h"

namespace zelo {
namespace {

using DisplayTest = test::ImageTest;
using test::As24;
using test::Bytes;
using test::MakeImg;
using test::PatternImg;

constexpr uint32_t kBackground = 0xFF123456;

// A cairo context on an image surface filled with the background colour.
struct Canvas {
  cairo_surface_t* surface;
  cairo_t* cr;
  Canvas(int w, int h, cairo_format_t format = CAIRO_FORMAT_ARGB32)
      : surface(cairo_image_surface_create(format, w, h)), cr(cairo_create(surface)) {
    cairo_surface_flush(surface);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) Px(x, y) = kBackground;
    cairo_surface_mark_dirty(surface);
  }
  ~Canvas() {
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
  }
  uint32_t& Px(int x, int y) {
    uint8_t* row =
        cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
    return reinterpret_cast<uint32_t*>(row)[x];
  }
  uint32_t At(int x, int y) {
    cairo_surface_flush(surface);
    return Px(x, y);
  }
};

// The colour of pixel i of a 24-bit byte image as cairo stores it, opaque.
uint32_t Opaque(const std::vector<uint8_t>& bgr, size_t i) {
  return 0xFF000000u | (uint32_t(bgr[3 * i + 2]) << 16) | (uint32_t(bgr[3 * i + 1]) << 8) |
         bgr[3 * i];
}

// Checks that exactly the rectangle (sx, sy, w, h) of the image landed at
// (dx, dy) and that nothing else changed.
void ExpectDrawn(Canvas& c, const Qimg& img, int sx, int sy, int w, int h, int dx, int dy,
                 const std::string& what) {
  const std::vector<uint8_t> bgr = As24(img);
  const int cw = cairo_image_surface_get_width(c.surface);
  const int ch = cairo_image_surface_get_height(c.surface);
  int bad = 0;
  for (int y = 0; y < ch && bad < 5; ++y) {
    for (int x = 0; x < cw && bad < 5; ++x) {
      const bool inside = x >= dx && x < dx + w && y >= dy && y < dy + h;
      const uint32_t want =
          inside ? Opaque(bgr, size_t((y - dy + sy) * img.resX + (x - dx + sx))) : kBackground;
      if (c.At(x, y) != want) {
        ADD_FAILURE() << what << ": (" << x << ", " << y << ") is " << std::hex << c.At(x, y)
                      << ", want " << want;
        ++bad;
      }
    }
  }
}

TEST_F(DisplayTest, PutExAdjustsTheRectangleToTheImage) {
  struct Case {
    QRect in, adjusted;
  } const cases[] = {
      {{0, 0, 0, 0}, {0, 0, 5, 4}},    // width 0 and height 0: the whole image
      {{1, 2, 0, 0}, {1, 2, 4, 2}},    // ... from the origin on
      {{1, 1, 2, 1}, {1, 1, 2, 1}},    // inside: unchanged
      {{3, 0, 9, 9}, {3, 0, 2, 4}},    // cut at the edges
      {{5, 4, 2, 2}, {0, 0, 2, 2}},    // origin at or past the edge: 0
      {{-2, -1, 3, 2}, {0, 0, 3, 2}},  // negative origin: 0 as well
      {{2, 1, -3, 1}, {2, 1, 3, 1}},   // negative width: the whole width
  };
  for (int32_t bpp : {8, 24}) {
    Qimg img = PatternImg(5, 4, bpp);
    for (const auto& c : cases) {
      Canvas canvas(12, 9);
      QRect r = c.in;
      ImgPutEx(&img, &r, canvas.cr, 4, 3, 0);
      EXPECT_EQ(r.x, c.adjusted.x);
      EXPECT_EQ(r.y, c.adjusted.y);
      EXPECT_EQ(r.width, c.adjusted.width);
      EXPECT_EQ(r.height, c.adjusted.height);
      ExpectDrawn(canvas, img, r.x, r.y, r.width, r.height, 4, 3,
                  "rect " + std::to_string(c.in.x) + "," + std::to_string(c.in.y) + "," +
                      std::to_string(c.in.width) + "," + std::to_string(c.in.height));
    }
    ImgFree(&img);
  }
}

TEST_F(DisplayTest, PutDrawsEveryDepthInItsOwnColours) {
  for (int32_t bpp : {8, 15, 16, 24, 32}) {
    for (int32_t width : {1, 3, 6}) {
      Qimg img = PatternImg(width, 3, bpp);
      Canvas canvas(9, 5);
      ImgPut(&img, canvas.cr, 2, 1);
      ExpectDrawn(canvas, img, 0, 0, width, 3, 2, 1, std::to_string(bpp) + " bits");
      // Partly outside the context: clipped, nothing else touched.
      Canvas small(2, 2);
      ImgPut(&img, small.cr, 1, -1);
      ExpectDrawn(small, img, 0, 1, 1, 2, 1, 0, std::to_string(bpp) + " bits, clipped");
      ImgFree(&img);
    }
  }
}

TEST_F(DisplayTest, PutOnAnRGB24ContextAndInTallBands) {
  // Taller than one band of the row buffer at this width.
  Qimg img = PatternImg(700, 400, 24);
  Canvas canvas(700, 400, CAIRO_FORMAT_RGB24);
  ImgPut(&img, canvas.cr, 0, 0);
  const std::vector<uint8_t> bgr = As24(img);
  for (int y : {0, 373, 374, 399})
    for (int x : {0, 699})
      EXPECT_EQ(canvas.At(x, y) & 0xFFFFFF, Opaque(bgr, size_t(y * 700 + x)) & 0xFFFFFF);
  ImgFree(&img);
}

TEST_F(DisplayTest, PutDrawsNothingWithoutPixelsOrContext) {
  Canvas canvas(3, 3);
  Qimg empty{};
  ImgPut(&empty, canvas.cr, 0, 0);
  QRect r{0, 0, 0, 0};
  Qimg img = PatternImg(2, 2, 24);
  ImgPutEx(&img, &r, nullptr, 0, 0, 0);
  EXPECT_EQ(r.width, 2) << "the rectangle is still adjusted";
  cairo_t* broken = cairo_create(nullptr);
  ImgPut(&img, broken, 0, 0);
  cairo_destroy(broken);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(canvas.At(x, y), kBackground);
  EXPECT_FALSE(IsPaletteDevice(canvas.cr));
  PalPut(&img.pal[0][0], canvas.cr);
  EXPECT_EQ(canvas.At(0, 0), kBackground);
  ImgFree(&img);
}

// --- platform bitmaps ------------------------------------------------------------------

TEST_F(DisplayTest, BitmapRoundTripGivesTheSameColoursAtEveryDepth) {
  for (int32_t bpp : {8, 15, 16, 24, 32}) {
    Qimg img = PatternImg(5, 3, bpp);
    gdi::HBITMAP bm = nullptr;
    ASSERT_TRUE(QimgToHBitmap(&img, &bm)) << bpp;
    EXPECT_EQ(cairo_image_surface_get_format(bm), CAIRO_FORMAT_RGB24);
    Qimg back{};
    EXPECT_NE(HBitmapToQimg(bm, &back), 0);
    EXPECT_EQ(back.bpp, 24);
    EXPECT_EQ(back.resX, 5);
    EXPECT_EQ(back.resY, 3);
    EXPECT_EQ(Bytes(back), As24(img)) << bpp;
    EXPECT_TRUE(gdi::DeleteObject(bm));
    ImgFree(&img);
    ImgFree(&back);
  }
}

TEST_F(DisplayTest, BitmapsOfEachReadableFormat) {
  struct Case {
    cairo_format_t format;
    int32_t bpp;
  } const cases[] = {
      {CAIRO_FORMAT_RGB24, 24},
      {CAIRO_FORMAT_ARGB32, 32},
      {CAIRO_FORMAT_RGB16_565, 16},
      {CAIRO_FORMAT_A8, 8},
  };
  for (const auto& c : cases) {
    // Rows wider than the pixels need, so that the stride is honoured.
    const int w = 3, h = 2, stride = 32;
    std::vector<uint8_t> data(stride * h);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 5 + 1);
    cairo_surface_t* s = cairo_image_surface_create_for_data(data.data(), c.format, w, h, stride);
    Qimg img{};
    ASSERT_NE(HBitmapToQimg(s, &img), 0) << c.bpp;
    EXPECT_EQ(img.bpp, c.bpp);
    const int pixelBytes = c.bpp == 24 ? 4 : c.bpp / 8;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const uint8_t* want = data.data() + y * stride + x * pixelBytes;
        const uint8_t* got = ImgPixels(&img) + (y * w + x) * img.bytesPP;
        EXPECT_EQ(std::memcmp(got, want, size_t(img.bytesPP)), 0)
            << c.bpp << " at " << x << "," << y;
      }
    }
    if (c.bpp == 8) {
      EXPECT_EQ(img.pal[0][0], 0);
      EXPECT_EQ(img.pal[200][1], 200) << "grey levels";
    }
    cairo_surface_destroy(s);
    ImgFree(&img);
  }
}

TEST_F(DisplayTest, BitmapsThatCannotBeReadChangeNothing) {
  std::vector<cairo_surface_t*> bad = {
      cairo_image_surface_create(CAIRO_FORMAT_A1, 8, 8),
      cairo_image_surface_create(CAIRO_FORMAT_RGB30, 8, 8),
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, -1, 5),  // error surface
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, 0, 0),
      cairo_recording_surface_create(CAIRO_CONTENT_COLOR, nullptr),
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, 4, 4),
  };
  cairo_surface_finish(bad.back());
  bad.push_back(nullptr);
  Qimg img = MakeImg(1, 1, 8, {42});
  const Qimg before = img;
  for (size_t i = 0; i < bad.size(); ++i) {
    EXPECT_EQ(HBitmapToQimg(bad[i], &img), 0) << i;
    EXPECT_EQ(std::memcmp(&img, &before, sizeof img), 0) << i;
    if (bad[i] != nullptr) cairo_surface_destroy(bad[i]);
  }
  EXPECT_TRUE(ErrNone());
  gdi::HBITMAP bm = reinterpret_cast<gdi::HBITMAP>(&img);
  Qimg empty{};
  EXPECT_FALSE(QimgToHBitmap(&empty, &bm));
  EXPECT_EQ(bm, nullptr);
  ImgFree(&img);
}

}  // namespace
}  // namespace zelo
