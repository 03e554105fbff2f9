// Preparing an image for a writer: size multiple and stored depth.
#include <cstring>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "formats/ffbasic.h"
#include "image/geometry.h"
#include "image/imgbasic.h"

namespace zelo {

void FFInit(int32_t id, QffInitData* work, Qimg* image, int32_t multiple) {
  Routine("FFBasic.FFInit", [&] {
    CheckPtr(work);
    std::memset(work, 0, sizeof *work);
    if (image == nullptr || !ImgHasPixels(image) || image->resX < 4 || image->resY < 4 ||
        image->resX > 4096 || image->resY > 4096) {
      ErrRaise(ERR_FF, 1, 4101);
      return;
    }
    Qimg* current = image;
    if (multiple > 1 && (image->resX % multiple != 0 || image->resY % multiple != 0)) {
      const int32_t w = (image->resX + multiple - 1) / multiple * multiple;
      const int32_t h = (image->resY + multiple - 1) / multiple * multiple;
      _imgalloc_(&work->temp_img, w, h, image->bpp, 4102, "FFBasic.FFInit.temp_img");
      FillBytes(0, work->temp_img.pixSize, work->temp_img.pixPtr);
      ImgCopyPalette(image, &work->temp_img);
      ImgInsert(image, &work->temp_img, 0, 0);
      work->tempInUse = kTrue;
      current = &work->temp_img;
    }
    const int32_t depth = FFStoreDepth(id, current->bpp);
    if (depth == UNDEF) {
      ErrRaise(ERR_FF, 1, 4103);
      return;
    }
    if (depth != current->bpp) {
      ImgConvBpp(current, &work->temp_img, depth);
      work->tempInUse = kTrue;
    }
    work->img = work->tempInUse ? &work->temp_img : image;
    ErrRaise(ERR_FF, 0, 4104);
  });
}

void FFDone(QffInitData* work) {
  PathScope path("FFBasic.FFDone");
  CheckPtr(work);
  if (work->tempInUse) ImgFree(&work->temp_img);
  std::memset(work, 0, sizeof *work);
}

}  // namespace zelo
