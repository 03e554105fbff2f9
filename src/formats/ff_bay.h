// Unit FF_BAY: raw sensor pictures ("BAY" files): an 8-bit mosaic of 2 x 2
// pixel blocks followed by a 1024-byte trailer that describes the device.
// Read only.
#pragma once

#include <cstdint>
#include <string>

#include "formats/ffinfo.h"
#include "foundation/types.h"
#include "zelo/zelo.h"

namespace zelo {

constexpr int32_t kBayWidth = 512;
constexpr int64_t kBaySmallSize = 74752;   // 512 x 144 + trailer
constexpr int64_t kBayLargeSize = 197632;  // 512 x 384 + trailer
constexpr int32_t kBayTrailerSize = 1024;
// Colour-or-mono argument: 1 monochrome (8 bits), anything else colour.
constexpr int32_t kBayMono = 1;

// An open BAY file.
struct BayFile {
  int32_t handle = UNDEF;
  BOOL color = kFalse;      // colour kind 1
  BOOL supported = kFalse;  // colour kind 1 or 2
  int32_t width = 0;
  int32_t height = 0;
  int32_t bytesPP = 0;  // 3 colour, 1 monochrome, 0 otherwise
  int32_t order = 0;    // colour order flag
  int64_t fileSize = 0;
  double speed = 0;
  std::string device;  // two letters
};

// Opens the file and reads its trailer: raises (7, 2) for a size that is
// not one of the two layouts or a trailer without the signature.
void BayOpen_(BayFile* file, const std::string& name);
void BayLoad(const std::string& name, Qimg* img);
// A raw mosaic of width x height bytes from the start of any file.
void BayLoadCustom(const std::string& name, Qimg* img, int32_t width, int32_t order, int32_t kind,
                   int32_t height);
// A mosaic in memory into the pixels of an image the caller prepared
// (width x height, 8 bits for kind 1, else 24). An odd last column or row
// has no block of its own and is written black.
void BayerToImg_(const uint8_t* mosaic, uint8_t* pixels, int32_t width, int32_t order, int32_t kind,
                 int32_t height);
void BayInfo(const std::string& name, QffInfo* info);
// Copies up to size bytes of the trailer of a 512 x 384 file; returns the
// count copied.
int32_t BayGetHdr(const std::string& name, void* buf, int32_t size);

}  // namespace zelo
