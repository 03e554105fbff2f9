// Placeholder until the palette optimiser lands: reductions to 8 bits report
// that they are not available yet.
#include "image/palopt.h"

#include "foundation/errors.h"
#include "foundation/monitor.h"

namespace zelo {

void PalInit() {}
void PalClearVars() {}
void PalCountColors(const Qimg*) {}
void PalReduce(int32_t) {}
void PalRemap(Qimg*, Qimg*, int32_t) {}
void PalDone() {}
void ConvTo8bit(Qimg*, Qimg*, int32_t) {
  Routine("PalOpt.ConvTo8bit", [] { ErrRaise(ERR_GEN, 2, 2401); });
}

}  // namespace zelo
