// Fuzz target of the PCX reader (and its writer, on what it reads).
#include "formats/imgfile.h"
#include "image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zelo::fuzz::RunReader(data, size, ".pcx", zelo::PCXInfo, zelo::PCXLoad_, zelo::PCXSave_);
  return 0;
}
