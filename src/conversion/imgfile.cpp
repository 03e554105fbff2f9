// Image file dispatch: the one way still-image files are loaded and saved,
// by format id or, for UNDEF, by the file name's extension.
#include "conversion/conform.h"
#include "conversion/routines.h"
#include "formats/ffbasic.h"
#include "formats/ff_bay.h"
#include "formats/ff_pnm.h"
#include "formats/ff_ras.h"
#include "formats/ff_sgi.h"
#include "formats/imgfile.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"

namespace zelo {
namespace {

constexpr int32_t kLoc = 51100;  // raise sites of this file: kLoc + n

using ImgFileProc = void (*)(const std::string& name, Qimg* img);

// The reader of each still-image format.
constexpr FormatRoutine<ImgFileProc> kReaders[] = {
    {FF_TGA, TGALoad_},
    {FF_PCX, PCXLoad_},
    {FF_BMP, DIBLoad_},
    {FF_SGI, SGILoad},
    {FF_RAS, RASLoad},
    {FF_PNM, PNMLoad},
    {FF_BAY, BayLoad},
};

// The writer of each still-image format.
constexpr FormatRoutine<ImgFileProc> kWriters[] = {
    {FF_TGA, TGASave_},
    {FF_PCX, PCXSave_},
    {FF_BMP, DIBSave_},
    {FF_SGI, SGISave},
    {FF_RAS, RASSave},
    {FF_PNM, PNMSave},
};

}  // namespace

void ImgLoad(const std::string& name, Qimg* img, int32_t id) {
  PathScope path("ConForm.ImgLoad");
  if (id == UNDEF) id = FFGetID(name, FF_TABLE_READ);
  ImgFileProc reader = FindFormatRoutine(kReaders, id);
  if (reader == nullptr) return ErrRaise(ERR_IMG, 2, kLoc + 1);
  reader(name, img);
}

void ImgSave(const std::string& name, Qimg* img, int32_t id) {
  PathScope path("ConForm.ImgSave");
  ErrClear();
  if (!ImgHasPixels(img)) return ErrRaise(ERR_IMG, 9, kLoc + 2);
  if (id == UNDEF) id = FFGetID(name, FF_TABLE_WRITE);
  ImgFileProc writer = FindFormatRoutine(kWriters, id);
  if (writer == nullptr) return ErrRaise(ERR_IMG, 2, kLoc + 3);
  writer(name, img);
}

}  // namespace zelo
