// Fuzzes the WAV reader. The input is a WAVE file: it is opened, its sound
// read in pieces, then by seeks (into the middle, past the end, back to the
// start), and its information taken. Whatever the file holds, every step
// ends with success or an error, and nothing stays allocated or open.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "api/library.h"
#include "formats/ff_wav.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "sound/sndbasic.h"

namespace {

using namespace zelo;

// Sample frames decoded per input at most.
constexpr int32_t kSampleBudget = 1 << 20;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "wav_fuzzer: %s\n", what);
    std::abort();
  }
}

template <class Work>
bool Step(Work&& work) {
  ErrClear();
  ProtectedKeep(work);
  const bool ok = ErrNone();
  ErrClear();
  return ok;
}

const std::string& TempName() {
  static const std::string name = "/tmp/zelo-wav-fuzz-" + std::to_string(::getpid()) + ".wav";
  return name;
}

void Read(QWavFile* hf) {
  Qsnd snd{};
  int32_t pos = 0;
  while (pos < kSampleBudget) {
    if (!Step([&] { WAVLoad(hf, &snd, pos, 1, 4096); }) || snd.samples <= 0) break;
    pos += snd.samples;
  }
  const int32_t total = hf->loader.totalSamples;
  Step([&] { WAVLoad(hf, &snd, total / 2 + 1, 0, 1000); });
  Step([&] { WAVLoad(hf, &snd, total + 5000, 0, 1000); });
  Step([&] { WAVLoad(hf, &snd, 0, 1, 1000); });
  if (MemIsTracked(&snd.SndData)) SndFree(snd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LibraryInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::FILE* f = std::fopen(TempName().c_str(), "wb");
    Check(f != nullptr, "cannot write the temporary file");
    Check(std::fwrite(data, 1, size, f) == size, "cannot write the temporary file");
    std::fclose(f);
  }
  const int32_t blocks = MemCount(), files = FCount();

  auto hf = std::make_unique<QWavFile>();
  if (Step([&] { WAVOpen(hf.get(), TempName()); })) {
    Read(hf.get());
    Check(Step([&] { WAVClose(hf.get()); }), "closing a file opened for reading failed");
  }
  QffInfo info;
  Step([&] { WAVInfo(TempName(), &info); });

  Check(MemCount() == blocks, "tracked blocks left over");
  Check(FCount() == files, "files left open");
  std::remove(TempName().c_str());
  return 0;
}
