// Unit FF_SGI: Silicon Graphics image files (big-endian header, channel
// planes stored bottom row first, verbatim or run-length encoded).
#pragma once

#include <cstdint>
#include <string>

#include "formats/ffinfo.h"
#include "foundation/types.h"
#include "zelo/zelo.h"

namespace zelo {

// The writer's option: run-length encoded rows. Set by the output writer.
extern bool SGIRle;

constexpr int32_t kSgiMagic = 474;
constexpr int32_t kSgiHeaderSize = 512;

// An open SGI file: the header's fields in host order.
struct QSgiFile {
  int32_t handle;
  int64_t fileSize;
  BOOL supported;
  int32_t magic;
  int32_t storage;    // 0 verbatim, 1 run-length encoded
  int32_t bpc;        // bytes per channel sample
  int32_t dimension;
  int32_t width;
  int32_t height;
  int32_t channels;   // 0 when the dimension field is not 1, 2 or 3
  int32_t pixMin;
  int32_t pixMax;
  int32_t colorMap;   // colour-map kind; only 0 (normal) is read
};

// Opens the file and reads its header; raises (7, 2) for a wrong magic.
void SGIOpen_(QSgiFile* file, const std::string& name);
void SGILoad(const std::string& name, Qimg* img);
void SGISave(const std::string& name, Qimg* img);
void SGIInfo(const std::string& name, QffInfo* info);

// Decodes one run-length row of bytes into out, never past width bytes.
// Returns the number of bytes written: width, or fewer when an end marker
// ends the row early; -1 for a corrupt row (a packet past the width or cut
// short, or data that ends before the row is full without an end marker).
int32_t SGIUnpack_(uint8_t* out, int32_t width, const uint8_t* in, int32_t count);
// Encodes count bytes (at least one); out needs 2 x count + 1 bytes.
// Returns the encoded length, end marker included.
int32_t SGIPack_(const uint8_t* row, int32_t count, uint8_t* out);

}  // namespace zelo
