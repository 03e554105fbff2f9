// The shared body of the still-image reader fuzz targets: the input becomes
// a file of this process, the reader's information and load routines run in
// keeping frames, and the outcome must be consistent: a loaded image has a
// valid geometry and a pixel block of its size, a failure leaves no pixels,
// and every tracked block and open file is released either way. A loaded
// picture the writer can store is saved and read back to the same pixels.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "formats/ffinfo.h"
#include "fuzz_common.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"

namespace zelo::fuzz {

inline volatile uint32_t g_sink = 0;

// Pictures above this size are not loaded.
constexpr int64_t kMaxFuzzBytes = 64 << 20;

inline void CheckLoaded(const Qimg& img) {
  Check(img.pixPtr != nullptr && MemIsTracked(&img.pixPtr), "pixels of a loaded image");
  Check(ImgGeometryValid(img.resX, img.resY, img.bpp), "geometry of a loaded image");
  Check(ImgKnownDepth(img.bpp) && img.bytesPP == BytesPP(img.bpp), "depth of a loaded image");
  Check(img.pixSize == img.resX * img.resY * img.bytesPP, "size of a loaded image");
  // Every pixel is read, so that the sanitizers see the whole block.
  const uint8_t* p = ImgPixels(&img);
  uint32_t sum = 0;
  for (int32_t i = 0; i < img.pixSize; ++i) sum += p[i];
  g_sink = sum;
}

// The image's pixels at 24 bits (tracked copy in out).
inline void To24(Qimg* img, Qimg* out) {
  if (img->bpp == 24)
    ImgCopy(img, out);
  else
    ImgConvBpp(img, out, 24);
}

// save: the format's writer, or nullptr for a format that is only read.
template <class InfoFn, class LoadFn, class SaveFn>
void RunReader(const uint8_t* data, size_t size, const char* ext, InfoFn info, LoadFn load,
               SaveFn save) {
  static const std::string name = TempName(ext);
  static const std::string copy = TempName((std::string(".out") + ext).c_str());
  WriteInput(name, data, size);
  const int32_t blocks = MemCount();
  const int32_t files = FCount();

  QffInfo fi;
  const bool infoOk = Succeeds([&] { info(name, &fi); });
  Check(MemCount() == blocks && FCount() == files, "information leaves nothing behind");
  // A few header bytes may name a picture of up to 2 GiB (bitmaps' run-length
  // data can leave most of it untouched); filling those only slows the search.
  if (infoOk && double(fi.media.width) * fi.media.height * fi.media.bytesPP > double(kMaxFuzzBytes)) return;

  Qimg img{};
  const bool loaded = Succeeds([&] { load(name, &img); });
  Check(FCount() == files, "no file left open");
  if (!loaded) {
    Check(img.pixPtr == nullptr, "no pixels after a failed load");
    Check(MemCount() == blocks, "no block after a failed load");
    return;
  }
  CheckLoaded(img);
  if (infoOk) Check(fi.media.width == img.resX && fi.media.height == img.resY, "information matches");

  // Writer round trip for pictures it can store (4 to 4096 pixels a side),
  // small ones only, to keep pace.
  if constexpr (!std::is_same_v<SaveFn, std::nullptr_t>) {
  if (img.resX >= 4 && img.resY >= 4 && img.resX <= 4096 && img.resY <= 4096 &&
      int64_t(img.resX) * img.resY <= 65536) {
    Qimg back{}, a{}, b{};
    const bool saved = Succeeds([&] { save(copy, &img); });
    Check(saved, "a loaded picture saves");
    Check(Succeeds([&] { load(copy, &back); }), "a saved picture loads");
    Check(Succeeds([&] {
            To24(&img, &a);
            To24(&back, &b);
          }),
          "conversion to 24 bits");
    Check(a.resX == b.resX && a.resY == b.resY &&
              std::memcmp(a.pixPtr, b.pixPtr, size_t(a.pixSize)) == 0,
          "saved and read back: the same pixels");
    ImgFree(&a);
    ImgFree(&b);
    ImgFree(&back);
  }
  }
  ImgFree(&img);
  Check(MemCount() == blocks && FCount() == files, "nothing left behind");
}

}  // namespace zelo::fuzz
