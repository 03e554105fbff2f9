// Unit FFBasic: the format tables (readable and writable formats with their
// extensions, capability bits and names), the depth each writer stores, and
// the preparation of an image for a writer.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/types.h"
#include "zelo/zelo.h"

namespace zelo {

// Format ids.
enum : int32_t {
  FF_TGA = 1,
  FF_PCX = 2,
  FF_BMP = 3,
  FF_GIF = 4,
  FF_FLC = 5,
  FF_AVI = 6,
  FF_JEX = 7,
  FF_JPG = 8,
  FF_PNG = 9,
  FF_TIF = 10,
  FF_MPG = 11,
  FF_WAV = 12,
  FF_SGI = 13,
  FF_RAS = 14,
  FF_PNM = 15,
  FF_BAY = 16,
  FF_XPM = 17,
  FF_MPA = 18,
  FF_OGG = 19,
};

// Capability bits.
enum : int32_t {
  FFC_STILL = 0x01,
  FFC_FRAMES = 0x02,
  FFC_SOUNDONLY = 0x04,
  FFC_PICTURES = 0x08,
  FFC_SOUND = 0x10,
};

// Source and sink kinds.
enum : int32_t { KIND_NONE = 0, KIND_STILL = 1, KIND_SEQUENCE = 2, KIND_MOVIE = 3 };

constexpr int32_t FF_TABLE_READ = 1;
constexpr int32_t FF_TABLE_WRITE = 2;

struct QffDesc {
  int32_t id;
  int32_t caps;
  std::string exts;
  std::string shortName;
  std::string longName;
  std::string description;
};

// The rows of a table (for listing formats).
int32_t FFTableSize(int32_t table);
QffDesc FFTableRow(int32_t table, int32_t index);

QffDesc FFFindByExt(const std::string& fileName, int32_t table);
int32_t FFGetID(const std::string& fileName, int32_t table);
bool FFIsWritable(int32_t id);
int32_t FFGetCaps(int32_t id, int32_t table);
int32_t FFKind(int32_t id, int32_t frames);
int32_t FFStoreDepth(int32_t id, int32_t depth);
// The read table's description of the first row with that id ("" if none).
std::string FFDescription(int32_t id);

uint32_t MakeFourCC(char a, char b, char c, char d);
uint32_t MakeFourCC(const char* text);  // the first four characters (blank-padded)
std::string FourCCToStr(uint32_t code);

// Work record of FFInit: the image a writer must use, and the prepared copy
// when the caller's image had to be enlarged or converted.
struct QffInitData {
  Qimg* img;
  Qimg temp_img;
  BOOL tempInUse;
};

// Prepares an image for the writer of a format: sizes are raised to the next
// multiple of `multiple` (black fill) and the depth becomes the one the
// writer stores. Raises (14, 1) for an image without pixels, outside 4..4096
// pixels on either side, or a format without a depth-table row.
void FFInit(int32_t id, QffInitData* work, Qimg* image, int32_t multiple);
void FFDone(QffInitData* work);

// The library-wide LZW switch of the TIFF writer.
bool FFLzwEnabled();
void FFSetLzw(bool on);
// The library-wide MPEG-2 switch: MPEG output may then be written as MPEG-2.
bool FFMpeg2Enabled();
void FFSetMpeg2(bool on);

}  // namespace zelo
