// Unit FF_PNM: portable anymap files (grey and colour, ASCII and binary, and
// the bitmap forms); written as colour, binary (P6) or ASCII (P3).
#pragma once

#include <cstdint>
#include <string>

#include "formats/ffinfo.h"
#include "foundation/types.h"
#include "zelo/zelo.h"

namespace zelo {

// The writer's option: ASCII samples (P3) instead of binary (P6). Set by the
// output writer.
extern bool PNMAscii;

constexpr int32_t kPnmBufferSize = 4096;

// An open anymap file.
struct QPnmFile {
  int32_t handle;
  BOOL ascii;
  BOOL supported;
  int32_t width;
  int32_t height;
  int32_t bytesPP;
  int32_t bpp;       // of the image the file loads into: 8 grey, 24 colour, 0 unknown
  int32_t shift;     // left shift of samples whose maximum is below 255
  int64_t fileSize;
  int32_t magic;     // the character after "P"
  int32_t maxval;    // 1 for bitmaps
};

// Opens the file and parses the header: raises (7, 2) when it does not start
// with "P", (7, 4) for a header number that is not one, a maximum of 0 or
// above 65535, and (7, 9) when the file ends inside the header.
void PNMOpen_(QPnmFile* file, const std::string& name);
void PNMLoad(const std::string& name, Qimg* img);
void PNMSave(const std::string& name, Qimg* img);
void PNMInfo(const std::string& name, QffInfo* info);
// Refills the read buffer of the file being read; raises (7, 9) at its end.
void PNMReadBuf_();

}  // namespace zelo
