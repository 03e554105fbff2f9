// Fuzzes the JEX container reader. The input is a JEX file: it is opened,
// its frames are loaded in order and by jumps, its palettes looked up, its
// sound read in pieces and by a seek, and its information taken. Whatever
// the file holds, every step ends with success or an error, and nothing
// stays allocated or open.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "api/library.h"
#include "fuzz_common.h"
#include "formats/ff_jex.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"
#include "sound/sndbasic.h"

namespace {

using namespace zelo;
using fuzz::Check;
using fuzz::Succeeds;

// Decoding work per input: frames are decoded up to this many bytes in all.
constexpr int64_t kDecodeBudget = int64_t(48) << 20;

const std::string& InputName() {
  static const std::string name = fuzz::TempName(".jex");
  return name;
}

void Read(QJexFile* hf) {
  Qimg img{};
  Qsnd snd{};
  const int32_t frames = hf->hdr.frameCount;
  if (frames > 0) {
    const int64_t perFrame = std::max<int64_t>(hf->frameBytes, 1);
    const int32_t budget = int32_t(std::min<int64_t>(kDecodeBudget / perFrame, 64));
    // In order, then a jump back and one forward within the budget (a jump
    // decodes from the key frame before it), then the palette lookups.
    bool ok = true;
    for (int32_t n = 1; n <= std::min(frames, budget / 2) && ok; ++n)
      ok = Succeeds([&] { JEXImgLoad(hf, &img, n, 1); });
    if (budget > 1) Succeeds([&] { JEXImgLoad(hf, &img, 1, 0); });
    if (budget > 2) Succeeds([&] { JEXImgLoad(hf, &img, std::min(frames, budget / 2), 0); });
    uint8_t pal[768];
    Succeeds([&] { JEXGetPal(hf, pal, 1, std::min(frames, 256)); });
    Succeeds([&] { JEXImgLoadNext(hf, &img); });
  }
  // Sound in pieces, then from the middle by a seek.
  int32_t pos = 0;
  for (int i = 0; i < 2000; ++i) {
    if (!Succeeds([&] { JEXSndLoad(hf, &snd, pos, 1, 4096); }) || snd.samples <= 0) break;
    pos += snd.samples;
  }
  Succeeds([&] { JEXSndLoad(hf, &snd, hf->hdr.sampleCount / 2, 0, 1000); });
  Succeeds([&] { JEXSndLoad(hf, &snd, hf->hdr.sampleCount / 2 + 1, 1, 1000); });

  if (MemIsTracked(&img.pixPtr)) ImgFree(&img);
  if (MemIsTracked(&snd.SndData)) SndFree(snd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LibraryInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz::RunFileReader<QJexFile>(data, size, InputName(), JEXOpen, Read, JEXClose, JEXInfo);
}
