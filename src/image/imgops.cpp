// Whole-image operations that need no neighbourhood: vertical flip, red-blue
// exchange and per-channel remapping.
#include <cstring>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"

namespace zelo {

void RemapTriples_(const uint8_t* table, int64_t count, const uint8_t* source, uint8_t* dest) {
  const uint8_t* red = table;
  const uint8_t* green = table + 256;
  const uint8_t* blue = table + 512;
  for (int64_t i = 0; i < count; ++i, source += 3, dest += 3) {
    const uint8_t b = source[0], g = source[1], r = source[2];
    dest[0] = blue[b];
    dest[1] = green[g];
    dest[2] = red[r];
  }
}

void ImgFlipV(Qimg* src, Qimg* dst) {
  Routine("ImgBasic.ImgFlipV", [&] {
    QimgOpInfo info;
    QimgOp work;
    ImgInfo(&info, OP_FLIPV);
    CheckPtr(src);
    ImgInitEx(&info, &work, src, dst, src->resX, src->resY);
    const int64_t rowBytes = work.srcRowBytes;
    const int32_t rows = work.psrc->resY;
    if (rowBytes > 0 && rows > 0) {
      uint8_t* s = CheckPtr(work.srcData);
      uint8_t* d = CheckPtr(work.dstData);
      const auto n = static_cast<size_t>(rowBytes);
      if (s == d) {
        std::vector<uint8_t> row(n);
        for (int32_t i = 0, j = rows - 1; i < j; ++i, --j) {
          uint8_t* top = s + i * rowBytes;
          uint8_t* bottom = s + j * rowBytes;
          std::memcpy(row.data(), top, n);
          std::memcpy(top, bottom, n);
          std::memcpy(bottom, row.data(), n);
        }
      } else {
        for (int32_t i = 0; i < rows; ++i)
          std::memcpy(d + (rows - 1 - i) * rowBytes, s + i * rowBytes, n);
      }
    }
    ImgDone(&work);
    ErrRaise(ERR_IMG, 0, 2130);
  });
}

void ImgSwapRB(Qimg* src, Qimg* dst) {
  Routine("ImgBasic.ImgSwapRB", [&] {
    QimgOpInfo info;
    QimgOp work;
    ImgInfo(&info, OP_SWAPRB);
    CheckPtr(src);
    ImgInitEx(&info, &work, src, dst, src->resX, src->resY);
    if (work.srcUnits > 0) {
      if (work.srcData == work.dstData)
        SwapRB_(work.srcUnits, CheckPtr(work.srcData));
      else
        CopySwapRB_(work.srcUnits, CheckPtr(work.dstData), CheckPtr(work.srcData));
    }
    ImgDone(&work);
    ErrRaise(ERR_IMG, 0, 2131);
  });
}

void ImgRemap(Qimg* src, Qimg* dst, const uint8_t* table) {
  Routine("ImgBasic.ImgRemap", [&] {
    QimgOpInfo info;
    QimgOp work;
    CheckPtr(table);
    ImgInfo(&info, OP_REMAP);
    CheckPtr(src);
    ImgInitEx(&info, &work, src, dst, src->resX, src->resY);
    if (work.srcUnits > 0)
      RemapTriples_(table, work.srcUnits, CheckPtr(work.srcData), CheckPtr(work.dstData));
    ImgDone(&work);
    ErrRaise(ERR_IMG, 0, 2132);
  });
}

}  // namespace zelo
