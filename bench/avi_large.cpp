// Writes a movie of a given size through the AVI file services (uncompressed
// 24-bit pictures and 16-bit stereo sound, interleaved), then reads it back
// through them: frame count, chosen pictures against what was written, and
// the whole sound. Run by bench/avi_large.sh.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/basic.h"
#include "platform/avifile.h"
#include "platform/riff.h"

using namespace zelo::vfw;
using zelo::PutLE16;
using zelo::PutLE32;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int32_t W = 1280, H = 720;
constexpr int kRate = 25, kSampleRate = 48000, kAlign = 4;
constexpr int kSamplesPerFrame = kSampleRate / kRate;

// Picture n: every row a different shade, the frame number in the first pixels.
void Picture(int64_t n, std::vector<uint8_t>& rows) {
  int64_t row = DibRowBytes(W, 24);
  for (int32_t y = 0; y < H; ++y) std::memset(&rows[size_t(row * y)], int((y + n) & 0xFF), size_t(row));
  for (int i = 0; i < 8; ++i) rows[size_t(i)] = uint8_t(n >> (8 * i));
}

void Sound(int64_t n, std::vector<uint8_t>& s) {
  for (int i = 0; i < kSamplesPerFrame * kAlign; ++i) s[size_t(i)] = uint8_t(n * 7 + i);
}

double Seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }

int Fail(const char* what, HRESULT r) {
  std::fprintf(stderr, "%s failed: %d\n", what, r);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: avi_large file gibibytes\n");
    return 2;
  }
  const char* name = argv[1];
  int64_t target = int64_t(std::atof(argv[2]) * double(int64_t(1) << 30));
  AVIFileInit();
  int64_t frameBytes = DibRowBytes(W, 24) * H;
  int64_t frames = target / (frameBytes + kSamplesPerFrame * kAlign + 32) + 1;

  auto t0 = Clock::now();
  PAVIFILE f = nullptr;
  if (HRESULT r = AVIFileOpen(&f, name, OF_CREATE | OF_WRITE, nullptr)) return Fail("create", r);
  AVISTREAMINFO vi{};
  vi.fccType = streamtypeVIDEO;
  vi.dwScale = 1;
  vi.dwRate = kRate;
  vi.dwSuggestedBufferSize = uint32_t(frameBytes);
  PAVISTREAM v = nullptr, a = nullptr;
  if (HRESULT r = AVIFileCreateStream(f, &v, &vi)) return Fail("video stream", r);
  uint8_t bih[40] = {};
  PutInfoHeader(bih, BITMAPINFOHEADER{40, W, H, 1, 24, BI_RGB, uint32_t(frameBytes), 0, 0, 0, 0});
  if (HRESULT r = AVIStreamSetFormat(v, 0, bih, 40)) return Fail("video format", r);
  AVISTREAMINFO ai{};
  ai.fccType = streamtypeAUDIO;
  ai.dwScale = kAlign;
  ai.dwRate = kSampleRate * kAlign;
  ai.dwSampleSize = kAlign;
  if (HRESULT r = AVIFileCreateStream(f, &a, &ai)) return Fail("sound stream", r);
  uint8_t wf[18] = {1, 0, 2, 0};
  PutLE32(wf + 4, kSampleRate);
  PutLE32(wf + 8, kSampleRate * kAlign);
  PutLE16(wf + 12, kAlign);
  PutLE16(wf + 14, 16);
  if (HRESULT r = AVIStreamSetFormat(a, 0, wf, 18)) return Fail("sound format", r);
  std::vector<uint8_t> rows(static_cast<size_t>(frameBytes));
  std::vector<uint8_t> sound(static_cast<size_t>(kSamplesPerFrame * kAlign));
  for (int64_t n = 0; n < frames; ++n) {
    Picture(n, rows);
    if (HRESULT r = AVIStreamWrite(v, int32_t(n), 1, rows.data(), int32_t(rows.size()), AVIIF_KEYFRAME,
                                   nullptr, nullptr))
      return Fail("picture", r);
    Sound(n, sound);
    if (HRESULT r = AVIStreamWrite(a, int32_t(n * kSamplesPerFrame), kSamplesPerFrame, sound.data(),
                                   int32_t(sound.size()), AVIIF_KEYFRAME, nullptr, nullptr))
      return Fail("sound", r);
  }
  AVIStreamRelease(v);
  AVIStreamRelease(a);
  if (HRESULT r = AVIFileRelease(f)) return Fail("completing the file", r);
  double writeTime = Seconds(t0);
  std::printf("written: %lld frames, %.2f GiB in %.1f s (%.0f MiB/s)\n", (long long)frames,
              double(frames * (frameBytes + kSamplesPerFrame * kAlign)) / double(1 << 30), writeTime,
              double(frames * frameBytes) / double(1 << 20) / writeTime);

  // The RIFF parts: the AVI one, then the OpenDML extensions.
  int parts = 0;
  if (auto io = zelo::riff::StdFile::OpenRead(name)) {
    zelo::riff::Reader rr(*io);
    zelo::riff::Chunk c;
    for (bool ok = rr.First(rr.Root(), c); ok; ok = rr.Next(rr.Root(), c)) ++parts;
    std::printf("file: %lld bytes in %d RIFF parts\n", (long long)io->Size(), parts);
  }

  auto t1 = Clock::now();
  if (HRESULT r = AVIFileOpen(&f, name, OF_READ, nullptr)) return Fail("open", r);
  if (HRESULT r = AVIFileGetStream(f, &v, streamtypeVIDEO, 0)) return Fail("video stream", r);
  if (HRESULT r = AVIFileGetStream(f, &a, streamtypeAUDIO, 0)) return Fail("sound stream", r);
  double openTime = Seconds(t1);
  int32_t length = AVIStreamLength(v);
  std::printf("read back: %d frames (opened in %.3f s)\n", length, openTime);
  int bad = length == frames ? 0 : 1;
  PGETFRAME g = AVIStreamGetFrameOpen(v, nullptr);
  if (g == nullptr) return Fail("frame decoder", -1);
  for (int64_t n : {int64_t(0), int64_t(1), frames / 3, frames / 2, frames - 2, frames - 1}) {
    auto* dib = static_cast<uint8_t*>(AVIStreamGetFrame(g, int32_t(n)));
    Picture(n, rows);
    if (dib == nullptr || std::memcmp(dib + 40, rows.data(), rows.size()) != 0) {
      std::printf("picture %lld differs\n", (long long)n);
      ++bad;
    }
  }
  AVIStreamGetFrameClose(g);
  int64_t samples = 0;
  std::vector<uint8_t> buf(size_t(4 * kSampleRate * kAlign));
  for (int32_t start = 0;;) {
    int32_t bytes = 0, got = 0;
    if (AVIStreamRead(a, start, AVISTREAMREAD_CONVENIENT, buf.data(), int32_t(buf.size()), &bytes, &got) ||
        got == 0)
      break;
    for (int32_t i = 0; i < bytes; ++i) {
      int64_t pos = int64_t(start) * kAlign + i;
      int64_t n = pos / (kSamplesPerFrame * kAlign), k = pos % (kSamplesPerFrame * kAlign);
      if (buf[size_t(i)] != uint8_t(n * 7 + k)) {
        std::printf("sound differs at byte %lld\n", (long long)pos);
        ++bad;
        break;
      }
    }
    start += got;
    samples += got;
  }
  std::printf("sound: %lld sample frames of %lld\n", (long long)samples, (long long)(frames * kSamplesPerFrame));
  if (samples != frames * kSamplesPerFrame) ++bad;
  AVIStreamRelease(v);
  AVIStreamRelease(a);
  AVIFileRelease(f);
  std::printf("%s\n", bad ? "FAILED" : "ok");
  return bad ? 1 : 0;
}
