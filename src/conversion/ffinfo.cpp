// File information: one information routine per readable format, reached by
// format id.
#include "conversion/conform.h"
#include "conversion/routines.h"
#include "formats/ffbasic.h"
#include "formats/ff_avi.h"
#include "formats/ff_bay.h"
#include "formats/ff_jex.h"
#include "formats/ff_pnm.h"
#include "formats/ff_ras.h"
#include "formats/ff_sgi.h"
#include "formats/ff_wav.h"
#include "formats/imgfile.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"

namespace zelo {
namespace {

constexpr int32_t kLoc = 51000;  // raise sites of this file: kLoc + n

using FFInfoProc = void (*)(const std::string& name, QffInfo* info);

// The information routine of each format that has one.
constexpr FormatRoutine<FFInfoProc> kInfoRoutines[] = {
    {FF_TGA, TGAInfo},
    {FF_PCX, PCXInfo},
    {FF_BMP, DIBInfo},
    {FF_SGI, SGIInfo},
    {FF_RAS, RASInfo},
    {FF_PNM, PNMInfo},
    {FF_BAY, BayInfo},
    {FF_AVI, AviInfo},
    {FF_JEX, JEXInfo},
    {FF_WAV, WAVInfo},
};

}  // namespace

void FFInfo(const std::string& name, int32_t id, QffInfo* info) {
  Routine("ConForm.FFInfo", [&] {
    CheckPtr(info);
    *info = QffInfo{};
    const int32_t found = FFGetID(name, FF_TABLE_READ);
    if (id == UNDEF) id = found;
    // The id and the description stand even when no routine can read the file.
    info->id = id;
    info->description = FFDescription(id);
    FFInfoProc routine = FindFormatRoutine(kInfoRoutines, id);
    if (routine == nullptr) return ErrRaise(ERR_FF, 2, kLoc + 1);
    routine(name, info);
    info->id = id;
    info->description = FFDescription(id);
    if (info->media.videoName.empty()) info->media.videoName = "Uncompressed, full frames";
    if (info->media.audioName.empty()) info->media.audioName = "PCM, uncompressed";
    ErrRaise(ERR_FF, 0, kLoc + 2);
  });
}

}  // namespace zelo
