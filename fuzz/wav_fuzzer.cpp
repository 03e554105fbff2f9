// Fuzzes the WAV reader. The input is a WAVE file: it is opened, its sound
// read in pieces, then by seeks (into the middle, past the end, back to the
// start), and its information taken. Whatever the file holds, every step
// ends with success or an error, and nothing stays allocated or open.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "api/library.h"
#include "fuzz_common.h"
#include "formats/ff_wav.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "sound/sndbasic.h"

namespace {

using namespace zelo;
using fuzz::Check;
using fuzz::Succeeds;

// Sample frames decoded per input at most.
constexpr int32_t kSampleBudget = 1 << 20;

const std::string& InputName() {
  static const std::string name = fuzz::TempName(".wav");
  return name;
}

void Read(QWavFile* hf) {
  Qsnd snd{};
  int32_t pos = 0;
  while (pos < kSampleBudget) {
    if (!Succeeds([&] { WAVLoad(hf, &snd, pos, 1, 4096); }) || snd.samples <= 0) break;
    pos += snd.samples;
  }
  const int32_t total = hf->loader.totalSamples;
  Succeeds([&] { WAVLoad(hf, &snd, total / 2 + 1, 0, 1000); });
  Succeeds([&] { WAVLoad(hf, &snd, total + 5000, 0, 1000); });
  Succeeds([&] { WAVLoad(hf, &snd, 0, 1, 1000); });
  if (MemIsTracked(&snd.SndData)) SndFree(snd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LibraryInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz::RunFileReader<QWavFile>(data, size, InputName(), WAVOpen, Read, WAVClose, WAVInfo);
}
