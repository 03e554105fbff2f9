// Fuzz target of the Bayer raw picture reader: standard files, the same
// bytes as a raw mosaic of a geometry taken from the input, the mosaic in
// memory, and the trailer request.
#include <vector>

#include "formats/ff_bay.h"
#include "image_fuzz.h"

using namespace zelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::RunReader(data, size, ".bay", BayInfo, BayLoad, nullptr);
  if (size < 4) return 0;
  static const std::string name = fuzz::TempName(".bay");  // written by RunReader
  const int32_t blocks = MemCount();
  const int32_t files = FCount();
  const int32_t width = 1 + data[0] % 48;
  const int32_t height = 1 + data[1] % 48;
  const int32_t order = data[2] & 1;
  const int32_t kind = data[3] % 3;  // 1: monochrome
  Qimg img{};
  if (fuzz::Succeeds([&] { BayLoadCustom(name, &img, width, order, kind, height); })) {
    fuzz::CheckLoaded(img);
    fuzz::Check(img.resX == width && img.resY == height, "custom geometry");
    ImgFree(&img);
  } else {
    fuzz::Check(size < size_t(width) * height, "a custom load fails only for a short file");
    fuzz::Check(img.pixPtr == nullptr, "no pixels after a failed load");
  }
  if (size >= size_t(width) * height) {
    std::vector<uint8_t> pixels(size_t(width) * height * (kind == kBayMono ? 1 : 3));
    BayerToImg_(data, pixels.data(), width, order, kind, height);
  }
  uint8_t trailer[kBayTrailerSize];
  const int32_t want = int32_t(data[0]) * 8 - 200;
  int32_t got = 0;
  if (fuzz::Succeeds([&] { got = BayGetHdr(name, trailer, want); }))
    fuzz::Check(got >= 0 && got <= kBayTrailerSize && got <= std::max(want, 0), "trailer count");
  fuzz::Check(MemCount() == blocks && FCount() == files, "nothing left behind");
  return 0;
}
