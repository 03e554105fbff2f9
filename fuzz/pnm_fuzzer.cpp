// Fuzz target of the reader of portable anymaps (and its writer, on what it reads).
#include "formats/ff_pnm.h"
#include "image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The writer's option comes from the input's last byte.
  zelo::PNMAscii = size > 0 && (data[size - 1] & 1) != 0;
  zelo::fuzz::RunReader(data, size, ".pnm", zelo::PNMInfo, zelo::PNMLoad, zelo::PNMSave);
  return 0;
}
