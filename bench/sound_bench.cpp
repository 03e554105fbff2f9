// Sound conversion and decoding speed beside sox, on the same sound in the
// same run: one minute of 44.1 kHz stereo 16-bit taken to 22.05 kHz mono
// 8-bit and back, and one minute of MS ADPCM decoded.
//
// sox runs as a subprocess on WAV files in a temporary folder; its times
// include starting the process and file input and output, so the start-up
// of a sox that converts nothing is measured too and shown beside them.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/library.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "sound/sndbasic.h"
#include "support/sound_files.h"
#include "support/sound_reader.h"
#include "support/temp_dir.h"

namespace {

using namespace zelo;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 7;

template <class Work>
double MedianMs(Work&& work) {
  std::vector<double> ms;
  for (int i = 0; i < kRuns; ++i) {
    auto t0 = Clock::now();
    work();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

double SoxMs(const std::string& args) {
  return MedianMs([&] {
    if (!test::Run("sox " + args)) std::fprintf(stderr, "sox failed: %s\n", args.c_str());
  });
}

QWaveFormat Pcm(int rate, int channels, int bits) {
  QWaveFormat f{};
  WaveFormatPCM(f, rate, channels, bits);
  return f;
}

// Decodes a whole stored stream as a sound reader would: one-second reads,
// one-second loads.
size_t DecodeAll(const test::WavParts& w) {
  QWaveFormat in = w.Format();
  QSndLoader loader{};
  _memalloc_(&loader.InFormat, int32_t(w.fmt.size()), 1, MEM_BLOCK, "Bench.InFormat");
  std::memcpy(loader.InFormat, w.fmt.data(), w.fmt.size());
  loader.InFormatSize = int32_t(w.fmt.size());
  loader.OutFormat.formatTag = 1;
  acmFormatSuggest(nullptr, reinterpret_cast<QWaveFormat*>(loader.InFormat), &loader.OutFormat, 18,
                   ACM_FORMATSUGGESTF_WFORMATTAG);
  loader.totalBlocks = int32_t(w.data.size() / in.blockAlign);
  loader.ratio = 2.0 * (in.blockAlign - 6 * in.channels) / in.channels;
  test::MemReader reader{&w.data, 0, in.avgBytesPerSec / in.blockAlign * in.blockAlign, in.blockAlign};
  QWaveConv state{};
  WaveConvertInit(state, reinterpret_cast<QWaveFormat*>(loader.InFormat), &loader.OutFormat);
  Qsnd out{};
  size_t frames = 0;
  do {
    SndLoad(&reader, state, loader, test::ReadMem, 44100, out);
    frames += size_t(out.samples);
  } while (out.samples > 0);
  WaveConvertDone(state);
  SndFree(out);
  MemFree(&loader.InFormat);
  MemFree(&loader.SndData);
  return frames;
}

}  // namespace

int main() {
  LibraryInit();
  if (!test::HaveTool("sox")) {
    std::printf("sox is not installed\n");
    return 1;
  }
  test::TempDir dir;
  std::string src = dir / "minute.wav", down = dir / "down.wav", back = dir / "back.wav";
  std::string ms = dir / "ms.wav", raw = dir / "ms.raw";
  test::Run("sox -n -r 44100 -c 2 -b 16 " + src +
            " synth 60 sine 100-8000 sine 440 synth 60 pinknoise mix vol 0.5");
  test::Run("sox " + src + " -e ms-adpcm " + ms);
  test::WavParts minute = test::ParseWav(test::ReadFile(src));
  test::WavParts adpcm = test::ParseWav(test::ReadFile(ms));

  Qsnd in{}, small{}, again{};
  _sndalloc_(in, int32_t(minute.data.size()), 1, "Bench.in");
  std::memcpy(in.SndData, minute.data.data(), minute.data.size());
  in.format = minute.Format();
  in.format.extraSize = 0;
  in.samples = int32_t(minute.data.size() / 4);

  double zDown = MedianMs([&] { SndConvert(in, small, Pcm(22050, 1, 8)); });
  double zUp = MedianMs([&] { SndConvert(small, again, Pcm(44100, 2, 16)); });
  size_t decoded = 0;
  double zMs = MedianMs([&] { decoded = DecodeAll(adpcm); });
  if (!ErrNone()) std::printf("error: %s\n", ErrText(ErrCategory(), ErrCode()).c_str());

  double soxStart = SoxMs("-n -r 44100 -c 2 -b 16 " + dir / "none.wav trim 0 0");
  double sDown = SoxMs(src + " -r 22050 -c 1 -b 8 " + down);
  double sUp = SoxMs(down + " -r 44100 -c 2 -b 16 " + back);
  double sMs = SoxMs(ms + " -t raw -e signed -b 16 " + raw);

  std::printf("One minute of sound (median of %d runs)\n", kRuns);
  std::printf("%-46s %10s %10s %12s\n", "operation", "zelo ms", "sox ms", "sox / zelo");
  auto row = [](const char* what, double z, double s) {
    std::printf("%-46s %10.1f %10.1f %12.2f\n", what, z, s, s / z);
  };
  row("44.1 kHz stereo 16-bit -> 22.05 kHz mono 8-bit", zDown, sDown);
  row("22.05 kHz mono 8-bit -> 44.1 kHz stereo 16-bit", zUp, sUp);
  row("both ways", zDown + zUp, sDown + sUp);
  row("MS ADPCM decode (44.1 kHz stereo)", zMs, sMs);
  std::printf("sox start-up without work: %.1f ms (included in its times above)\n", soxStart);
  std::printf("frames: in %d, down %d, back %d, ADPCM decoded %zu\n", in.samples, small.samples, again.samples,
              decoded);
  SndFree(in);
  SndFree(small);
  SndFree(again);
  return 0;
}
