// Fuzz target of the reader of SGI images (and its writer, on what it reads).
#include "formats/ff_sgi.h"
#include "image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The writer's option comes from the input's last byte.
  zelo::SGIRle = size > 0 && (data[size - 1] & 1) != 0;
  zelo::fuzz::RunReader(data, size, ".sgi", zelo::SGIInfo, zelo::SGILoad, zelo::SGISave);
  return 0;
}
