// ImageMagick 6 through MagickCore.
#include <magick/MagickCore.h>

#include "peers/peers.h"

namespace peers {
namespace {
Image* g_image = nullptr;
ExceptionInfo* g_exception = nullptr;

double TimeImageOp(int runs, Image* (*op)(const Image*, size_t, size_t, ExceptionInfo*), int w, int h) {
  return BestMs(runs, [&] { DestroyImage(op(g_image, size_t(w), size_t(h), g_exception)); });
}
}  // namespace

bool MagickLoad(const uint8_t* pixels, int width, int height) {
  MagickCoreGenesis("zelo-bench", MagickFalse);
  g_exception = AcquireExceptionInfo();
  g_image = ConstituteImage(size_t(width), size_t(height), "BGR", CharPixel, pixels, g_exception);
  return g_image != nullptr;
}

double MagickSample(int width, int height, int runs) { return TimeImageOp(runs, SampleImage, width, height); }
double MagickScale(int width, int height, int runs) { return TimeImageOp(runs, ScaleImage, width, height); }

double MagickConvolve(const double* kernel3x3, int runs) {
  double k[9], sum = 0;
  for (int i = 0; i < 9; ++i) sum += kernel3x3[i];
  for (int i = 0; i < 9; ++i) k[i] = kernel3x3[i] / sum;
  return BestMs(runs, [&] { DestroyImage(ConvolveImage(g_image, 3, k, g_exception)); });
}

double MagickQuantize(int dither, int runs) {
  // The quantizer works in place: a clone per run, whose time is taken off.
  const double clone = BestMs(runs, [&] { DestroyImage(CloneImage(g_image, 0, 0, MagickTrue, g_exception)); });
  QuantizeInfo info;
  GetQuantizeInfo(&info);
  info.number_colors = 256;
  info.dither = dither != 0 ? MagickTrue : MagickFalse;
  info.dither_method = dither == 0 ? NoDitherMethod : (dither == 1 ? RiemersmaDitherMethod : FloydSteinbergDitherMethod);
  const double total = BestMs(runs, [&] {
    Image* copy = CloneImage(g_image, 0, 0, MagickTrue, g_exception);
    QuantizeImage(&info, copy);
    DestroyImage(copy);
  });
  return total - clone;
}

void MagickUnload() {
  if (g_image != nullptr) DestroyImage(g_image);
  if (g_exception != nullptr) DestroyExceptionInfo(g_exception);
  g_image = nullptr;
  g_exception = nullptr;
  MagickCoreTerminus();
}

}  // namespace peers
