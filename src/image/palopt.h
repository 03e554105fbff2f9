// Unit PalOpt: reduction of true-colour pictures to an optimised palette of
// at most 256 colours, plain or dithered.
#pragma once

#include <cstdint>

#include "zelo/zelo.h"

namespace zelo {

void PalInit();
void PalClearVars();
void PalCountColors(const Qimg* img);
void PalReduce(int32_t colours);
// mode: 0 plain, 1 lite dither, 2 heavy dither.
void PalRemap(Qimg* img, Qimg* out, int32_t mode);
void PalDone();
void ConvTo8bit(Qimg* img, Qimg* out, int32_t mode);

}  // namespace zelo
