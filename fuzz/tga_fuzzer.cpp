// Fuzz target of the TGA reader (and, for what it loads, its writer).
#include "formats/imgfile.h"
#include "image_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zelo::fuzz::FuzzInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const zelo::fuzz::ImageFormat format{".tga", zelo::TGAInfo, zelo::TGALoad_, zelo::TGASave_, 24};
  return zelo::fuzz::RunImageInput(format, data, size);
}
