#include "platform/vfw_types.h"

#include <cctype>

#include "foundation/basic.h"

namespace zelo::vfw {

BITMAPINFOHEADER GetBitmapInfoHeader(const uint8_t* p) {
  BITMAPINFOHEADER h;
  h.biSize = GetLE32(p);
  h.biWidth = int32_t(GetLE32(p + 4));
  h.biHeight = int32_t(GetLE32(p + 8));
  h.biPlanes = GetLE16(p + 12);
  h.biBitCount = GetLE16(p + 14);
  h.biCompression = GetLE32(p + 16);
  h.biSizeImage = GetLE32(p + 20);
  h.biXPelsPerMeter = int32_t(GetLE32(p + 24));
  h.biYPelsPerMeter = int32_t(GetLE32(p + 28));
  h.biClrUsed = GetLE32(p + 32);
  h.biClrImportant = GetLE32(p + 36);
  return h;
}

void PutBitmapInfoHeader(uint8_t* p, const BITMAPINFOHEADER& h) {
  PutLE32(p, h.biSize);
  PutLE32(p + 4, uint32_t(h.biWidth));
  PutLE32(p + 8, uint32_t(h.biHeight));
  PutLE16(p + 12, h.biPlanes);
  PutLE16(p + 14, h.biBitCount);
  PutLE32(p + 16, h.biCompression);
  PutLE32(p + 20, h.biSizeImage);
  PutLE32(p + 24, uint32_t(h.biXPelsPerMeter));
  PutLE32(p + 28, uint32_t(h.biYPelsPerMeter));
  PutLE32(p + 32, h.biClrUsed);
  PutLE32(p + 36, h.biClrImportant);
}

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
