// Raw sensor pictures: 2 x 2 blocks of mosaic bytes into grey or colour
// pixels, from BAY files, from raw files of any given size, or from memory.
#include "formats/ff_bay.h"

#include <algorithm>
#include <cstring>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"

namespace zelo {
namespace {

constexpr int32_t kLoc = 4600;  // raise sites of this unit: kLoc + n
constexpr int32_t kTrailerRead = 12;
constexpr char kSignature[] = "BAY 2";

// The devices whose trailers the reader knows: the speed of each speed code
// (from 1) and the model designations reported for monochrome and colour
// pictures.
struct BayDevice {
  const char* code;
  int32_t speeds[7];
  const char* mono;
  const char* color;
};
constexpr BayDevice kDevices[] = {
    {"MV", {30, 60, 125, 250, 500, 1000, 2000}, "M2", "M2"},
    {"HS", {250, 500, 1000}, "HM", "HSC"},
    {"XS", {250, 500, 1000}, "XS", "XS"},
};

const BayDevice* FindDevice(const std::string& code) {
  for (const BayDevice& d : kDevices)
    if (code == d.code) return &d;
  return nullptr;
}

// Monochrome blocks: b0 b1 on the upper row, b2 b3 on the lower.
void BayMono_(const uint8_t* mosaic, uint8_t* pixels, int32_t width, int32_t height) {
  const int32_t blocks = width / 2;
  for (int32_t by = 0; by < height / 2; ++by) {
    const uint8_t* b = mosaic + int64_t(by) * blocks * 4;
    uint8_t* top = pixels + int64_t(2 * by) * width;
    uint8_t* bottom = top + width;
    for (int32_t bx = 0; bx < blocks; ++bx, b += 4, top += 2, bottom += 2) {
      top[0] = b[0];
      top[1] = b[1];
      bottom[0] = b[2];
      bottom[1] = b[3];
    }
  }
}

// Colour blocks: one red and one blue for the four pixels, one green per row.
void BayColor_(const uint8_t* mosaic, uint8_t* pixels, int32_t width, int32_t order, int32_t height) {
  const int32_t blocks = width / 2;
  const int64_t row = int64_t(width) * 3;
  for (int32_t by = 0; by < height / 2; ++by) {
    const uint8_t* b = mosaic + int64_t(by) * blocks * 4;
    uint8_t* top = pixels + 2 * by * row;
    for (int32_t bx = 0; bx < blocks; ++bx, b += 4, top += 6) {
      const uint8_t greenTop = order != 0 ? b[0] : b[2];
      const uint8_t greenBottom = order != 0 ? b[3] : b[1];
      const uint8_t red = order != 0 ? b[1] : b[3];
      const uint8_t blue = order != 0 ? b[2] : b[0];
      uint8_t* bottom = top + row;
      for (int32_t k = 0; k < 6; k += 3) {
        top[k] = bottom[k] = blue;
        top[k + 1] = greenTop;
        bottom[k + 1] = greenBottom;
        top[k + 2] = bottom[k + 2] = red;
      }
    }
  }
}

}  // namespace

void BayerToImg_(const uint8_t* mosaic, uint8_t* pixels, int32_t width, int32_t order, int32_t kind,
                 int32_t height) {
  PathScope path("FF_BAY.BayerToImg_");
  if (width <= 0 || height <= 0) return;
  CheckPtr(mosaic);
  CheckPtr(pixels);
  const int32_t bytesPP = kind == kBayMono ? 1 : 3;
  if (width % 2 != 0 || height % 2 != 0) FillBytes(0, int64_t(width) * height * bytesPP, pixels);
  if (kind == kBayMono)
    BayMono_(mosaic, pixels, width, height);
  else
    BayColor_(mosaic, pixels, width, order, height);
}

void BayOpen_(BayFile* file, const std::string& name) {
  Routine("FF_BAY.BayOpen_", [&] {
    CheckPtr(file);
    *file = BayFile{};
    FOpen(file->handle, name, FM_READ);
    file->fileSize = FSize(file->handle);
    file->width = kBayWidth;
    if (file->fileSize == kBaySmallSize)
      file->height = 144;
    else if (file->fileSize == kBayLargeSize)
      file->height = 384;
    else
      return ErrRaise(ERR_IMG, 2, kLoc + 1);
    uint8_t t[kTrailerRead];
    FSeek(file->handle, int64_t(file->width) * file->height);
    FRead(file->handle, t, kTrailerRead);
    if (std::memcmp(t + 3, kSignature, 5) != 0) return ErrRaise(ERR_IMG, 2, kLoc + 2);
    file->device.assign(reinterpret_cast<const char*>(t), 2);
    if (const BayDevice* d = FindDevice(file->device)) {
      const int32_t code = t[11];
      if (code >= 1 && code <= 7 && d->speeds[code - 1] != 0) file->speed = d->speeds[code - 1];
    }
    file->bytesPP = t[8] == 1 ? 3 : (t[8] == 2 ? 1 : 0);
    file->supported = ToBool(file->bytesPP != 0);
    file->color = ToBool(file->bytesPP == 3);
    file->order = 1;
    FSeek(file->handle, 0);
  });
}

void BayLoad(const std::string& name, Qimg* img) {
  Routine("FF_BAY.BayLoad", [&] {
    CheckPtr(img);
    BayFile f;
    BayOpen_(&f, name);
    if (!f.supported) return ErrRaise(ERR_IMG, 1, kLoc + 10);
    const int32_t bpp = f.bytesPP * 8;
    _imgalloc_(img, f.width, f.height, bpp, kLoc + 11, "FF_BAY.BayLoad.img");
    ImgSetGeometry(img, f.width, f.height, bpp);
    const int32_t n = f.width * f.height;
    uint8_t* cmpsData = nullptr;
    _memalloc_(&cmpsData, n, kLoc + 12, MEM_BLOCK, "FF_BAY.BayLoad.cmpsData");
    FRead(f.handle, cmpsData, n);
    FClose(f.handle);
    BayerToImg_(cmpsData, ImgPixels(img), f.width, f.order, f.color ? 0 : kBayMono, f.height);
    if (!f.color) GreyPalette_(&img->pal[0][0]);
    MemFree(&cmpsData);
    ErrRaise(ERR_IMG, 0, kLoc + 13);
  });
}

void BayLoadCustom(const std::string& name, Qimg* img, int32_t width, int32_t order, int32_t kind,
                   int32_t height) {
  Routine("FF_BAY.BayLoadCustom", [&] {
    CheckPtr(img);
    int32_t handle = UNDEF;
    FOpen(handle, name, FM_READ);
    const int32_t bpp = kind == kBayMono ? 8 : 24;
    // A geometry the image cannot take is refused like a file too short for it.
    if (!ImgGeometryValid(width, height, bpp) || FSize(handle) < int64_t(width) * height)
      return ErrRaise(ERR_IMG, 2, kLoc + 20);
    _imgalloc_(img, width, height, bpp, kLoc + 21, "FF_BAY.BayLoadCustom.img");
    ImgSetGeometry(img, width, height, bpp);
    const int32_t n = width * height;
    uint8_t* cmpsData = nullptr;
    _memalloc_(&cmpsData, n, kLoc + 22, MEM_BLOCK, "FF_BAY.BayLoadCustom.cmpsData");
    FRead(handle, cmpsData, n);
    FClose(handle);
    BayerToImg_(cmpsData, ImgPixels(img), width, order, kind, height);
    if (bpp == 8) GreyPalette_(&img->pal[0][0]);
    MemFree(&cmpsData);
    ErrRaise(ERR_IMG, 0, kLoc + 23);
  });
}

void BayInfo(const std::string& name, QffInfo* info) {
  Routine("FF_BAY.BayInfo", [&] {
    CheckPtr(info);
    BayFile f;
    BayOpen_(&f, name);
    FClose(f.handle);
    std::string model = f.device;
    if (const BayDevice* d = FindDevice(f.device)) model = f.color ? d->color : d->mono;
    if (f.bytesPP == 1) model += " (monochrome)";
    if (f.bytesPP == 3) model += " (color)";
    SetStillInfo(info, f.fileSize, f.width, f.height, f.bytesPP, f.bytesPP * 8, model, f.supported);
    info->media.frameRate = f.speed;
  });
}

int32_t BayGetHdr(const std::string& name, void* buf, int32_t size) {
  int32_t result = 0;
  Routine("FF_BAY.BayGetHdr", [&] {
    int32_t handle = UNDEF;
    FOpen(handle, name, FM_READ);
    if (FSize(handle) != kBayLargeSize) {
      result = kBayTrailerSize;
      return ErrRaise(ERR_IMG, 2, kLoc + 30);
    }
    const int32_t n = std::clamp(size, 0, kBayTrailerSize);
    if (n > 0) {
      CheckPtr(buf);
      FSeek(handle, kBayLargeSize - kBayTrailerSize);
      FRead(handle, buf, n);
    }
    FClose(handle);
    result = n;
  });
  return result;
}

}  // namespace zelo
