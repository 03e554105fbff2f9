// Unit FF_RAS: Sun raster files (32-byte big-endian header, optional colour
// map, rows top row first, raw or byte-encoded).
#pragma once

#include <cstdint>
#include <string>

#include "formats/ffinfo.h"
#include "foundation/types.h"
#include "zelo/zelo.h"

namespace zelo {

// The writer's option: byte-encoded pixel data. Set by the output writer.
extern bool RASRle;

constexpr uint32_t kRasMagic = 0x59A66A95u;
constexpr int32_t kRasHeaderSize = 32;

// An open Sun raster file: the eight header values in host order.
struct QRasFile {
  int32_t handle;
  int64_t fileSize;
  BOOL supported;
  uint32_t magic;
  int32_t width;
  int32_t height;
  int32_t depth;      // 1, 8, 24 or 32 are read
  int32_t length;
  int32_t type;       // 0..5; 2 byte-encoded, 3 red-green-blue order
  int32_t mapType;    // 1: red, green and blue planes follow the header
  int32_t mapLength;  // bytes of the colour map
};

// Opens the file and reads its header; raises (7, 2) for a wrong magic.
void RASOpen_(QRasFile* file, const std::string& name);
void RASLoad(const std::string& name, Qimg* img);
void RASSave(const std::string& name, Qimg* img);
void RASInfo(const std::string& name, QffInfo* info);

// Decodes byte-encoded data into out (at most outSize bytes); returns the
// number of bytes written.
int64_t RASUnpack_(uint8_t* out, int64_t outSize, const uint8_t* in, int64_t count);
// Encodes count bytes (at least one); out needs 2 x count bytes. Returns the
// encoded length.
int32_t RASPack_(const uint8_t* row, int32_t count, uint8_t* out);

}  // namespace zelo
