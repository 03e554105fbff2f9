// libvips through its C interface; every result is computed into memory.
#include <vips/vips.h>

#include "peers/peers.h"

namespace peers {
namespace {
VipsImage* g_image = nullptr;

// Runs make(in, &out), then computes the whole output into memory.
double TimePipeline(int runs, const std::function<int(VipsImage*, VipsImage**)>& make) {
  return BestMs(runs, [&] {
    VipsImage* out = nullptr;
    if (make(g_image, &out) != 0) return;
    size_t size = 0;
    void* mem = vips_image_write_to_memory(out, &size);
    g_free(mem);
    g_object_unref(out);
  });
}
}  // namespace

bool VipsLoad(const uint8_t* pixels, int width, int height) {
  if (VIPS_INIT("zelo-bench") != 0) return false;
  vips_cache_set_max(0);  // repeated runs must compute again
  g_image = vips_image_new_from_memory(pixels, size_t(width) * size_t(height) * 3, width, height, 3,
                                       VIPS_FORMAT_UCHAR);
  return g_image != nullptr;
}

double VipsResize(double hscale, double vscale, bool nearest, int runs) {
  return TimePipeline(runs, [&](VipsImage* in, VipsImage** out) {
    return vips_resize(in, out, hscale, "vscale", vscale, "kernel",
                       nearest ? VIPS_KERNEL_NEAREST : VIPS_KERNEL_LINEAR, nullptr);
  });
}

double VipsShrink(double hshrink, double vshrink, int runs) {
  return TimePipeline(runs, [&](VipsImage* in, VipsImage** out) { return vips_shrink(in, out, hshrink, vshrink, nullptr); });
}

double VipsConvolve(const double* kernel3x3, double scale, int runs) {
  VipsImage* mask = vips_image_new_matrix_from_array(3, 3, kernel3x3, 9);
  vips_image_set_double(mask, "scale", scale);
  const double t = TimePipeline(runs, [&](VipsImage* in, VipsImage** out) {
    return vips_conv(in, out, mask, "precision", VIPS_PRECISION_INTEGER, nullptr);
  });
  g_object_unref(mask);
  return t;
}

void VipsUnload() {
  if (g_image != nullptr) g_object_unref(g_image);
  g_image = nullptr;
  vips_shutdown();
}

}  // namespace peers
