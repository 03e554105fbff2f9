// Fuzz target of the reader of Sun raster images (and its writer, on what it reads).
#include "formats/ff_ras.h"
#include "image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The writer's option comes from the input's last byte.
  zelo::RASRle = size > 0 && (data[size - 1] & 1) != 0;
  zelo::fuzz::RunReader(data, size, ".ras", zelo::RASInfo, zelo::RASLoad, zelo::RASSave);
  return 0;
}
