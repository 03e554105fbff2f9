// Fuzz target of the bitmap reader (and its writer, on what it reads).
#include "formats/imgfile.h"
#include "image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zelo::fuzz::RunReader(data, size, ".bmp", zelo::DIBInfo, zelo::DIBLoad_, zelo::DIBSave_);
  return 0;
}
