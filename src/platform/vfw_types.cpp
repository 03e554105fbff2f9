#include "platform/vfw_types.h"

#include <cctype>

#include "foundation/basic.h"

namespace zelo::vfw {

FOURCC FourCCLower(FOURCC code) {
  FOURCC out = 0;
  for (int i = 0; i < 4; ++i) {
    uint32_t c = (code >> (8 * i)) & 0xFF;
    out |= uint32_t(std::tolower(int(c))) << (8 * i);
  }
  return out;
}

bool IsUncompressedFourCC(FOURCC code) {
  FOURCC l = FourCCLower(code);
  return code == 0 || l == FourCC("dib ") || l == FourCC("raw ") || l == FourCC("rgb ");
}

}  // namespace zelo::vfw
