// Fuzz target of the Targa reader (and its writer, on what it reads).
#include "formats/imgfile.h"
#include "image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The writer's run-length switch comes from the input's last byte.
  zelo::TGASetCompression(size > 0 && (data[size - 1] & 1) != 0);
  zelo::fuzz::RunReader(data, size, ".tga", zelo::TGAInfo, zelo::TGALoad_, zelo::TGASave_);
  return 0;
}
