// Uncompressed device-independent bitmaps as the video services exchange
// them: format blocks parsed and checked, packed DIBs built, and the pixel
// layouts FFmpeg's converter knows them by.
#pragma once

#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "platform/vfw_types.h"

namespace zelo::vfw {

// Largest picture side the services handle; keeps every size computation
// far from overflow.
constexpr int32_t kMaxDibSide = 32768;
constexpr int64_t kMaxDibBytes = int64_t(1) << 30;

// An uncompressed DIB format taken from a format block.
struct DibFormat {
  int32_t width = 0, height = 0;  // height positive
  int bits = 0;
  bool topDown = false;
  uint32_t compression = BI_RGB;
  uint32_t masks[3] = {0, 0, 0};  // red, green, blue (BI_BITFIELDS)
  int colors = 0;                 // colour table entries present
  uint8_t palette[256 * 4] = {};  // blue, green, red, 0
  int64_t rowBytes = 0;
  int64_t imageBytes = 0;

  // The FFmpeg layout of the pixels (PAL8, RGB555LE, RGB565LE, BGR24, BGR0),
  // or AV_PIX_FMT_NONE for 1- and 4-bit pictures and unusual masks.
  AVPixelFormat PixFmt() const;
};

// Reads the header (and colour table or masks) of a format block. For
// compressed formats only the size fields are checked and the colour table
// is read (paletted codecs); false when the block is too short, a size is
// out of range or an uncompressed depth is unknown.
bool ParseDibFormat(const uint8_t* format, size_t size, DibFormat& out);
bool IsUncompressedDib(const BITMAPINFOHEADER& h);

// A packed DIB for width x height at bits (8: with a 256-entry colour table
// taken from palette, or black): header, table, bottom-up rows padded to 4
// bytes. Returns the first byte of the rows.
uint8_t* MakePackedDib(std::vector<uint8_t>& dib, int32_t width, int32_t height, int bits,
                       const uint8_t* palette);

// Plane pointers for FFmpeg over DIB rows (bottom-up: the top row last, a
// negative line size) and, for PAL8, the palette as FFmpeg keeps it.
struct DibPlanes {
  uint8_t* data[4] = {};
  int linesize[4] = {};
  uint32_t pal[256] = {};
};
void DibToPlanes(uint8_t* rows, int64_t rowBytes, int32_t height, bool topDown,
                 const uint8_t* dibPalette, int colors, DibPlanes& out);

}  // namespace zelo::vfw
