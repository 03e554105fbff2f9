// Helpers shared by the Targa, PCX and bitmap modules: the open-file record,
// header checks made before anything is allocated, row transfer between a
// file and an image, and palette import.
#include "formats/imgfile.h"

#include <cstring>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "formats/ffbasic.h"
#include "image/imgbasic.h"

namespace zelo {
namespace {
constexpr int32_t kLoc = 41000;  // raise sites of this file: kLoc + n
}

void ImgFileReset_(QImgFile* f) {
  std::memset(CheckPtr(f), 0, sizeof *f);
  f->file = UNDEF;
}

void ImgFileOpen_(QImgFile* f, const std::string& name) {
  FOpen(f->file, name, FM_READ);
  f->fileSize = FSize(f->file);
}

void ImgFileSetGeometry_(QImgFile* f, int64_t width, int64_t height, int32_t bits) {
  // Header values may be anything: keep them in range of the record and let
  // ImgFileCheckGeometry_ judge them.
  auto clamp32 = [](int64_t v) { return int32_t(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v); };
  f->width = clamp32(width);
  f->height = clamp32(height);
  f->bpp = bits;
  f->bytesPP = (bits + 7) / 8;
  f->rowBytes = int64_t(f->width) * f->bytesPP;
  // Beyond 64 bits the size is no image's: -1, which the checks refuse.
  if (__builtin_mul_overflow(f->rowBytes, int64_t(f->height), &f->imageBytes)) f->imageBytes = -1;
}

void ImgFileCheckGeometry_(const QImgFile* f, int32_t location) {
  if (!ImgGeometryValid(f->width, f->height, f->bpp)) ErrRaise(ERR_IMG, 4, location);
}

void ImgFileCheckRows_(const QImgFile* f, int32_t gap, int32_t location) {
  const int64_t stored = (f->rowBytes + gap) * (int64_t(f->height) - 1) + f->rowBytes;
  if (f->dataOffset < 0 || f->dataOffset > f->fileSize || stored > f->fileSize - f->dataOffset)
    ErrRaise(ERR_FILE, 3, location);
}

void ImgFileAlloc_(const QImgFile* f, Qimg* img, int32_t location, const char* tag) {
  _imgalloc_(img, f->width, f->height, f->bpp, location, tag);
  // What a short stream leaves undecoded, and palette entries the file does
  // not give, are black rather than whatever the heap held.
  FillBytes(0, img->pixSize, img->pixPtr);
  std::memset(img->pal, 0, sizeof img->pal);
}

void ImgFileInfo_(const QImgFile* f, QffInfo* info, bool hasPictures, const char* compression) {
  SetStillInfo(CheckPtr(info), f->fileSize, f->width, f->height, f->bytesPP, f->bpp, compression, f->supported);
  info->media.hasPictures = ToBool(hasPictures);
}

void ImgFileReadAt_(const QImgFile* f, int64_t position, void* buffer, int64_t count) {
  FSeek(f->file, position);
  FRead(f->file, buffer, count);
}

void GetCmpsData_(QImgFile* f, int64_t tail) {
  Routine("ConForm.GetCmpsData_", [&] {
    const int64_t size = f->fileSize - tail - f->dataOffset;
    if (f->dataOffset < 0 || size <= 0 || size > INT32_MAX) return ErrRaise(ERR_IMG, 4, kLoc + 1);
    _memalloc_(&f->CmpsData, int32_t(size), kLoc + 2, MEM_BLOCK, "ConForm.GetCmpsData_.imgf.CmpsData");
    f->cmpsSize = int32_t(size);
    ImgFileReadAt_(f, f->dataOffset, f->CmpsData, size);
    ErrRaise(ERR_IMG, 0, kLoc + 3);
  });
}

void Dsk2Mem_(QImgFile* f, uint8_t* dest, int32_t gap) {
  PathScope path("ConForm.Dsk2Mem_");
  CheckPtr(f);
  if (f->height <= 0 || f->rowBytes <= 0) return;
  CheckPtr(dest);
  int64_t offset = f->bottomUp ? (int64_t(f->height) - 1) * f->rowBytes : 0;
  const int64_t step = f->bottomUp ? -f->rowBytes : f->rowBytes;
  int64_t position = f->dataOffset;
  for (int32_t row = 0; row < f->height; ++row) {
    FSeek(f->file, position);
    if (FRead(f->file, dest + offset, f->rowBytes) != 0) return;
    offset += step;
    position += f->rowBytes + gap;
  }
}

void Mem2Dsk_(QImgFile* f, const Qimg* img, int32_t gap) {
  PathScope path("ConForm.Mem2Dsk_");
  CheckPtr(f);
  CheckPtr(img);
  const int64_t rowBytes = int64_t(img->resX) * img->bytesPP;
  if (rowBytes <= 0 || img->resY <= 0) return;
  const uint8_t* pixels = CheckPtr(ImgPixels(img));
  const std::vector<uint8_t> fill(size_t(gap > 0 ? gap : 0), 0);
  for (int32_t row = img->resY - 1; row >= 0; --row) {
    if (FWrite(f->file, pixels + row * rowBytes, rowBytes) != 0) return;
    if (!fill.empty() && FWrite(f->file, fill.data(), int64_t(fill.size())) != 0) return;
  }
}

void ImportPalette_(Qimg* img, int32_t first, const uint8_t* table, int32_t count,
                    int32_t entrySize, bool swap) {
  if (first < 0 || first >= 256 || entrySize < 2 || entrySize > 4) return;
  if (count > 256 - first) count = 256 - first;
  if (count > 0) CopyTriples_(swap, entrySize, count, img->pal[first], CheckPtr(table));
}

bool ImgFileStoreDepth_(int32_t id, Qimg* img, Qimg* converted) {
  const int32_t bpp = img->bpp;
  const bool held = id == FF_PCX ? bpp == 8 || bpp == 24 : bpp == 8 || bpp == 15 || bpp == 24 || bpp == 32;
  const int32_t depth = FFStoreDepth(id, bpp);
  if (held || depth == UNDEF || depth == bpp) return false;
  ImgConvBpp(img, converted, depth);
  return true;
}

}  // namespace zelo
