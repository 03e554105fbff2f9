// The image record and the operation framework.
#include "image/imgbasic.h"

#include <cstring>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"

namespace zelo {

namespace {
// width x height x bytes within 31 bits, tested by division so that no
// product of header fields can overflow.
bool ImgBytesFit(int64_t width, int64_t height, int32_t bytesPP) {
  if (width == 0 || height == 0 || bytesPP == 0) return true;
  return width <= kMaxImageBytes / bytesPP / height;
}
}  // namespace

bool ImgGeometryValid(int64_t width, int64_t height, int32_t bpp) {
  if (width <= 0 || height <= 0 || bpp <= 0 || bpp > 32) return false;
  return ImgBytesFit(width, height, BytesPP(bpp));
}

void _imgalloc_(Qimg* img, int32_t width, int32_t height, int32_t bpp, int32_t location,
                const char* tag) {
  Routine("ImgBasic._imgalloc_", [&] {
    CheckPtr(img);
    // Refuse geometries whose buffer would not fit 31 bits before asking for
    // memory (negative sizes included).
    if (width < 0 || height < 0 || bpp < 0 || !ImgBytesFit(width, height, BytesPP(bpp))) {
      ErrRaise(ERR_IMG, 2, 2101);
      return;
    }
    if (!MemIsTracked(img)) {
      // The header fields and the first four palette bytes.
      std::memset(img, 0, offsetof(Qimg, pal) + 4);
    }
    img->pixSize = width * height * BytesPP(bpp);
    std::string fullTag = std::string("(ImgAlloc):") + (tag ? tag : "");
    _memalloc_(&img->pixPtr, img->pixSize, location, MEM_BLOCK, fullTag.c_str());
    img->resX = width;
    img->resY = height;
    img->bytesPP = BytesPP(bpp);
    img->bpp = bpp;
    img->hostPix = 0;
    ErrRaise(ERR_IMG, 0, 2102);
  });
}

void ImgFree(Qimg* img) {
  PathScope path("ImgBasic.ImgFree");
  CheckPtr(img);
  MemFree(&img->pixPtr);
  std::memset(img, 0, sizeof(Qimg));
}

bool ImgHasPixels(const Qimg* img) {
  PathScope path("ImgBasic.ImgHasPixels");
  if (img == nullptr) return false;
  return img->hostPix != 0 || (img->pixPtr != nullptr && MemIsTracked(img));
}

void ImgSetGeometry(Qimg* img, int32_t width, int32_t height, int32_t bpp) {
  PathScope path("ImgBasic.ImgSetGeometry");
  CheckPtr(img);
  img->resX = width;
  img->resY = height;
  img->bytesPP = BytesPP(bpp);
  img->bpp = bpp;
  if (img->hostPix != 0) img->pixSize = width * height * img->bytesPP;
}

void ImgCopyGeometry(const Qimg* src, Qimg* dst) {
  PathScope path("ImgBasic.ImgCopyGeometry");
  if (src == dst) return;
  CheckPtr(src);
  CheckPtr(dst);
  dst->resX = src->resX;
  dst->resY = src->resY;
  dst->bytesPP = src->bytesPP;
  dst->bpp = src->bpp;
}

void ImgCopyPalette(const Qimg* src, Qimg* dst) {
  PathScope path("ImgBasic.ImgCopyPalette");
  if (src == dst || CheckPtr(src)->bpp != 8) return;
  std::memcpy(CheckPtr(dst)->pal, src->pal, sizeof src->pal);
}

void ImgCopyData(const Qimg* src, Qimg* dst) {
  Routine("ImgBasic.ImgCopyData", [&] {
    if (src == dst) return;
    CheckPtr(src);
    _imgalloc_(dst, src->resX, src->resY, src->bpp, 2103, "ImgBasic.ImgCopyData.dest");
    int64_t bytes = int64_t(src->resX) * src->resY * src->bytesPP;
    if (bytes > 0) std::memcpy(dst->pixPtr, CheckPtr(src->pixPtr), static_cast<size_t>(bytes));
    ErrRaise(ERR_IMG, 0, 2104);
  });
}

void ImgCopy(const Qimg* src, Qimg* dst) {
  Routine("ImgBasic.ImgCopy", [&] {
    if (src == dst) return;
    ImgCopyGeometry(src, dst);
    ImgCopyData(src, dst);
    ImgCopyPalette(src, dst);
    ErrRaise(ERR_IMG, 0, 2105);
  });
}

void ImgXchg(Qimg* a, Qimg* b) {
  Routine("ImgBasic.ImgXchg", [&] {
    CheckPtr(a);
    CheckPtr(b);
    MemXchg(&a->pixPtr, &b->pixPtr);
    if (!ErrNone()) return;
    Qimg t;
    std::memcpy(&t, a, sizeof t);
    std::memcpy(a, b, sizeof t);
    std::memcpy(b, &t, sizeof t);
  });
}

std::string StrImg(const Qimg* img) {
  if (img == nullptr) return "NULL";
  return std::to_string(img->resX) + "x" + std::to_string(img->resY) + "x" +
         std::to_string(img->bpp);
}

// --- operation framework --------------------------------------------------------

void ImgInitInfo(QimgOpInfo* info) {
  std::memset(info, 0, sizeof *info);
  for (int i = 0; i < 8; i += 2) {
    info->sizeLimits[i] = 4;
    info->sizeLimits[i + 1] = 4096;
  }
  for (int32_t& w : info->workBpp) w = 24;
  info->inPlace = true;
  info->palOnly = false;
}

namespace {

void SetParam(QimgOpInfo* info, int index, double min, double max, double def) {
  info->params[index] = QimgOpParam{min, max, def};
  info->hasParams = true;
  if (info->paramCount < index + 1) info->paramCount = index + 1;
}

void KeepEveryDepth(QimgOpInfo* info) {
  const int32_t depths[6] = {8, 15, 16, 24, 32, 24};
  std::memcpy(info->workBpp, depths, sizeof depths);
}

}  // namespace

void ImgInfo(QimgOpInfo* info, int32_t opId) {
  PathScope path("ImgBasic.ImgInfo");
  ImgInitInfo(CheckPtr(info));
  info->opId = opId;
  switch (opId) {
    case OP_BRIGHTNESS:
    case OP_CONTRAST:
      info->workBpp[0] = 8;
      info->palOnly = true;
      for (int i = 0; i < 3; ++i) SetParam(info, i, -100, 100, 0);
      break;
    case OP_GAMMA:
      info->workBpp[0] = 8;
      info->palOnly = true;
      for (int i = 0; i < 3; ++i) SetParam(info, i, 0.01, 5.0, 1.0);
      break;
    case OP_WHITEBAL:
      info->workBpp[0] = 8;
      info->palOnly = true;
      for (int i = 0; i < 3; ++i) SetParam(info, i, 0, 255, 255);
      break;
    case OP_SWAPRB:
    case OP_REMAP:
      info->workBpp[0] = 8;
      info->palOnly = true;
      break;
    case OP_EDGE:
    case OP_SHARPEN:
    case OP_SOFTEN:
    case OP_RESAMPLE:
      info->inPlace = false;
      break;
    case OP_FLIPV:
      KeepEveryDepth(info);
      break;
    case OP_SPRITE:
      KeepEveryDepth(info);
      info->inPlace = false;
      info->destToWork = true;
      break;
    case OP_INSERT:
      KeepEveryDepth(info);
      info->inPlace = false;
      info->destDepthWins = true;
      break;
    case OP_RESIZE:
      info->workBpp[0] = 8;
      info->inPlace = false;
      break;
    default:
      break;
  }
}

int32_t ImgWorkBpp(const QimgOpInfo* info, int32_t bpp) {
  switch (bpp) {
    case 8:
      return info->workBpp[0];
    case 15:
      return info->workBpp[1];
    case 16:
      return info->workBpp[2];
    case 24:
      return info->workBpp[3];
    case 32:
      return info->workBpp[4];
    default:
      return info->workBpp[5];
  }
}

void ImgInitEx(const QimgOpInfo* info, QimgOp* work, Qimg* src, Qimg* dst, int32_t width,
               int32_t height) {
  Routine("ImgBasic.ImgInitEx", [&] {
    CheckPtr(info);
    std::memset(CheckPtr(work), 0, sizeof *work);
    if (!info->inPlace && dst == nullptr) {
      ErrRaise(ERR_IMG, 6, 2110);
      return;
    }
    if (src == nullptr) return;
    CheckPtr(dst);
    int32_t w = ImgWorkBpp(info, src->bpp);
    if (info->destDepthWins && dst->bpp != w) {
      if (dst->bpp < w)
        ImgConvBpp(dst, dst, w);
      else
        w = dst->bpp;
    } else if (info->destToWork && dst->bpp != w) {
      ImgConvBpp(dst, dst, w);
    }
    if (src->bpp != w) {
      ImgConvBpp(src, &work->temp_ih, w);
      work->psrc = &work->temp_ih;
      work->freeTemp = true;
      work->pdest = dst;
    } else if (info->inPlace || src != dst) {
      work->psrc = src;
      work->pdest = dst;
    } else {
      _imgalloc_(&work->temp_ih, width, height, w, 2111, "ImgBasic.ImgInitEx.temp_ih");
      work->freeTemp = true;
      work->swapTemp = true;
      work->psrc = src;
      work->pdest = &work->temp_ih;
    }
    if (work->psrc != work->pdest) {
      _imgalloc_(work->pdest, width, height, w, 2112, "ImgBasic.ImgInitEx.pdest^");
      ImgSetGeometry(work->pdest, width, height, w);
    }
    const Qimg* s = work->psrc;
    const Qimg* d = work->pdest;
    work->srcRowBytes = s->resX * s->bytesPP;
    work->srcBytes = work->srcRowBytes * s->resY;
    work->dstRowBytes = width * d->bytesPP;
    work->dstBytes = work->dstRowBytes * height;
    work->srcPixels = s->resX * s->resY;
    work->dstPixels = width * height;
    work->dstWidth = width;
    work->dstHeight = height;
    if (info->palOnly && s->bpp == 8) {
      work->srcUnits = work->dstUnits = 256;
      work->srcData = &work->psrc->pal[0][0];
      work->dstData = &work->pdest->pal[0][0];
      work->srcUnitBytes = work->dstUnitBytes = 768;
      work->copyData = true;
    } else {
      work->srcUnits = work->srcPixels;
      work->dstUnits = work->dstPixels;
      work->srcData = ImgPixels(work->psrc);
      work->dstData = ImgPixels(work->pdest);
      work->srcUnitBytes = work->srcBytes;
      work->dstUnitBytes = work->dstBytes;
      work->copyData = false;
    }
    work->copyPal = s->bpp == 8;
  });
}

void ImgDone(QimgOp* work) {
  Routine("ImgBasic.ImgDone", [&] {
    CheckPtr(work);
    if (work->copyData)
      ImgCopyData(work->psrc, work->pdest);
    else if (work->copyPal)
      ImgCopyPalette(work->psrc, work->pdest);
    if (work->swapTemp) ImgXchg(work->psrc, &work->temp_ih);
    if (work->freeTemp) ImgFree(&work->temp_ih);
    if (work->pdest != nullptr) {
      work->pdest->resX = work->dstWidth;
      work->pdest->resY = work->dstHeight;
    }
  });
}

}  // namespace zelo
