// Writes a movie of a given size through the AVI module (uncompressed 24-bit
// pictures and 16-bit stereo sound after every picture), then reads it back
// through the module: frame count, chosen pictures against what was
// written, and the whole sound. Run by bench/avi_large.sh with "module".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "formats/avicodecs.h"
#include "formats/ff_avi.h"
#include "formats/ffbasic.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"
#include "sound/sndbasic.h"

using namespace zelo;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int32_t W = 1280, H = 720;
constexpr int kRate = 25, kSampleRate = 48000, kAlign = 4;
constexpr int kSamplesPerFrame = kSampleRate / kRate;

// Picture n: every row a different shade, the frame number in the first pixels.
void Picture(int64_t n, uint8_t* pixels) {
  const int64_t row = int64_t(W) * 3;
  for (int32_t y = 0; y < H; ++y) std::memset(pixels + row * y, int((y + n) & 0xFF), size_t(row));
  for (int i = 0; i < 8; ++i) pixels[i] = uint8_t(n >> (8 * i));
}

uint8_t SoundByte(int64_t pos) {
  const int64_t n = pos / (kSamplesPerFrame * kAlign), k = pos % (kSamplesPerFrame * kAlign);
  return uint8_t(n * 7 + k);
}

double Seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }

bool Ok(const char* what) {
  if (ErrNone()) return true;
  std::fprintf(stderr, "%s failed: (%d, %d)\n", what, ErrCategory(), ErrCode());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: ff_avi_large file gibibytes\n");
    return 2;
  }
  const std::string name = argv[1];
  const int64_t target = int64_t(std::atof(argv[2]) * double(int64_t(1) << 30));
  const int64_t frameBytes = int64_t(W) * 3 * H;
  const int64_t frames = target / (frameBytes + kSamplesPerFrame * kAlign + 32) + 1;

  QAviCodec dib{};
  AviCodecRecord(&dib, MakeFourCC("DIB "));
  AviUseVC(&dib);
  auto af = std::make_unique<QAviFile>();
  Qimg img{};
  Qsnd snd{};
  auto t0 = Clock::now();
  ProtectedKeep([&] {
    _imgalloc_(&img, W, H, 24, 1, "bench.img");
    WaveFormatPCM(snd.format, kSampleRate, 2, 16);
    _sndalloc_(snd, kSamplesPerFrame * kAlign, 2, "bench.snd");
    snd.samples = kSamplesPerFrame;
    AviCreate(af.get(), name, 1, kRate);
    for (int64_t n = 0; n < frames; ++n) {
      Picture(n, ImgPixels(&img));
      AviImgSave(af.get(), &img);
      for (int i = 0; i < kSamplesPerFrame * kAlign; ++i) snd.SndData[i] = SoundByte(n * kSamplesPerFrame * kAlign + i);
      AviSndSave(af.get(), &snd);
    }
    AviClose(af.get());
  });
  if (!Ok("writing")) return 1;
  const double writeTime = Seconds(t0);
  std::printf("written: %lld frames, %.2f GiB in %.1f s (%.0f MiB/s)\n", (long long)frames,
              double(frames * (frameBytes + kSamplesPerFrame * kAlign)) / double(1 << 30), writeTime,
              double(frames * frameBytes) / double(1 << 20) / writeTime);

  int bad = 0;
  auto t1 = Clock::now();
  ProtectedKeep([&] { AviOpen(af.get(), name); });
  if (!Ok("opening")) return 1;
  std::printf("read back: %d frames (opened in %.3f s)\n", af->frameCount, Seconds(t1));
  if (af->frameCount != frames) ++bad;
  std::vector<uint8_t> want(static_cast<size_t>(frameBytes));
  for (int64_t n : {int64_t(0), int64_t(1), frames / 3, frames / 2, frames - 2, frames - 1}) {
    ProtectedKeep([&] { AviImgLoad(af.get(), &img, int32_t(n + 1), 2); });
    Picture(n, want.data());
    if (!Ok("loading a picture") || img.pixSize != frameBytes || std::memcmp(img.pixPtr, want.data(), want.size()) != 0) {
      std::printf("picture %lld differs\n", (long long)n);
      ++bad;
    }
  }
  int64_t samples = 0;
  for (bool more = true; more;) {
    ProtectedKeep([&] { AviSndLoad(af.get(), &snd, int32_t(samples), 1, kSampleRate * 4); });
    if (!ErrNone() || snd.samples == 0) {
      ErrClear();
      break;
    }
    for (int64_t i = 0; i < int64_t(snd.samples) * kAlign; ++i) {
      if (snd.SndData[i] != SoundByte(samples * kAlign + i)) {
        std::printf("sound differs at byte %lld\n", (long long)(samples * kAlign + i));
        ++bad;
        more = false;
        break;
      }
    }
    samples += snd.samples;
  }
  std::printf("sound: %lld sample frames of %lld\n", (long long)samples, (long long)(frames * kSamplesPerFrame));
  if (samples != frames * kSamplesPerFrame) ++bad;
  ProtectedKeep([&] { AviClose(af.get()); });
  ImgFree(&img);
  SndFree(snd);
  std::printf("%s\n", bad ? "FAILED" : "ok");
  return bad ? 1 : 0;
}
