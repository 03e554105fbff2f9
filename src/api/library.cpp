#include "api/library.h"

#include "formats/avicodecs.h"
#include "foundation/basic.h"
#include "foundation/common.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"

namespace zelo {
namespace {
bool g_loaded = false;
}

void LibraryInit() {
  if (g_loaded) return;
  g_loaded = true;
  ErrInit();
  MonInit();
  CommonInit();
  AviCodecsUnitInit();
}

void LibraryDone() {
  if (!g_loaded) return;
  g_loaded = false;
  AviCodecsUnitDone();
  MonReport();
  MemReport();
}

namespace {
__attribute__((constructor)) void OnLoad() { LibraryInit(); }
__attribute__((destructor)) void OnUnload() { LibraryDone(); }
}  // namespace

}  // namespace zelo
