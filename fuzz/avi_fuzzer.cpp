// AVI reader: open from memory, every stream's information and format,
// every sample read, a few frames decoded; checks what the services promise
// about the results, not only that nothing crashes. Then the same bytes as a
// file through the AVI module (information, open, picture and sound loads,
// information entries, close), which must leave no tracked block, open file
// or AVI handle behind, whatever it reports.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "formats/ff_avi.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"
#include "platform/avifile.h"
#include "sound/sndbasic.h"

using namespace zelo::vfw;

static void Check(bool ok) {
  if (!ok) std::abort();
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  AVIFileInit();
  AVISetMaxPixels(1 << 20);  // keep decoders to small pictures
  return 0;
}

static void ReadSamples(PAVISTREAM s, const AVISTREAMINFO& si) {
  int32_t length = AVIStreamLength(s);
  Check(length >= 0);
  std::vector<uint8_t> buf(1 << 16);
  int32_t start = 0;
  for (int guard = 0; start < length && guard < 100000; ++guard) {
    int32_t bytes = -1, samples = -1;
    HRESULT r = AVIStreamRead(s, start, AVISTREAMREAD_CONVENIENT, buf.data(), int32_t(buf.size()),
                              &bytes, &samples);
    if (r == AVIERR_BUFFERTOOSMALL) {
      Check(bytes > int32_t(buf.size()) || si.dwSampleSize > buf.size());
      ++start;
      continue;
    }
    if (r != AVIERR_OK) break;
    Check(bytes >= 0 && bytes <= int32_t(buf.size()));
    Check(samples > 0 && samples <= length - start);
    if (si.dwSampleSize > 0) Check(int64_t(bytes) == int64_t(samples) * si.dwSampleSize);
    start += samples;
  }
}

static void DecodeSome(PAVISTREAM s) {
  PGETFRAME g = AVIStreamGetFrameOpen(s, nullptr);
  if (g == nullptr) return;
  int32_t n = AVIStreamLength(s);
  for (int32_t i : {0, 1, n / 2, n - 1, 0}) {
    if (i < 0 || i >= n) continue;
    const auto* dib = static_cast<const uint8_t*>(AVIStreamGetFrame(g, i));
    if (dib == nullptr) continue;
    BITMAPINFOHEADER h = GetInfoHeader(dib);
    Check(h.biSize == 40 && h.biWidth > 0 && h.biHeight > 0);
    Check(h.biBitCount == 8 || h.biBitCount == 16 || h.biBitCount == 24);
    Check(h.biSizeImage == uint32_t(DibRowBytes(h.biWidth, h.biBitCount) * h.biHeight));
    // Touch the last byte of the picture.
    volatile uint8_t last = dib[40 + (h.biBitCount == 8 ? 1024 : 0) + h.biSizeImage - 1];
    (void)last;
  }
  AVIStreamGetFrameClose(g);
}

static std::string TempName() {
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/zelo_avi_fuzz_" + std::to_string(getpid()) + ".avi";
}

static void ThroughModule(const uint8_t* data, size_t size) {
  using namespace zelo;
  const std::string name = TempName();
  if (std::FILE* f = std::fopen(name.c_str(), "wb")) {
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    return;
  }
  const int32_t mem = MemCount(), files = FCount(), open = AviOpenCount();

  QffInfo info;
  ProtectedKeep([&] { AviInfo(name, &info); });
  if (ErrNone()) {
    const QffMedia& m = info.media;
    Check(m.hasPictures == 0 || (m.frames > 0 && m.bytesPP == (m.bpp + 7) / 8));
    // Sound the services cannot decode is described, not readable.
    Check(m.hasSound == 0 || m.sampleFrames > 0);
    Check(m.soundReadable == 0 || (m.hasSound != 0 && m.pcmFormat.formatTag == 1 && m.pcmFormat.blockAlign > 0));
    Check(m.picturesReadable == 0 || m.hasPictures != 0);
  }
  ErrClear();

  auto af = std::make_unique<QAviFile>();
  QAviFile* h = af.get();
  Qimg img{};
  Qsnd snd{};
  ProtectedKeep([&] { AviOpen(h, name); });
  const bool opened = ErrNone();
  ErrClear();
  if (opened) {
    Check(h->frameCount >= 0 && (h->video == nullptr || h->frameCount >= 1));
    for (int32_t n : {1, 2, 0, h->frameCount, h->frameCount / 2, 1, h->frameCount + 1}) {
      ProtectedKeep([&] { AviImgLoad(h, &img, n, 2); });
      if (ErrNone()) {
        Check(ImgHasPixels(&img) && int64_t(img.resX) * img.resY * img.bytesPP == img.pixSize);
        Check(h->curFrame >= 1 && h->curFrame <= h->frameCount);
      }
      ErrClear();
    }
    const int32_t total = h->sl.totalSamples;
    for (int32_t start : {0, total / 2}) {
      int32_t at = start;
      for (int i = 0; i < 16; ++i) {
        ProtectedKeep([&] { AviSndLoad(h, &snd, at, i == 0 ? 0 : 1, 2048); });
        const bool ok = ErrNone();
        ErrClear();
        if (!ok) break;
        Check(snd.samples >= 0 && snd.samples <= 2048);
        if (snd.samples > 0) Check(int64_t(snd.samples) * snd.format.blockAlign <= snd.allocated);
        if (snd.samples == 0) break;
        at += snd.samples;
        Check(h->sl.position == at);
      }
    }
    std::string text;
    ProtectedKeep([&] { AviGetCustomInfo(h->file, "INAM", text); });
    ErrClear();
    Check(text.size() <= 256);
  }
  if (zelo::MemFind(reinterpret_cast<void* const*>(&img.pixPtr), 3) != UNDEF) ImgFree(&img);
  SndFree(snd);
  ProtectedKeep([&] { AviClose(h); });
  ErrClear();
  Check(MemCount() == mem && FCount() == files && AviOpenCount() == open);
  std::remove(name.c_str());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ThroughModule(data, size);
  PAVIFILE f = nullptr;
  if (AVIFileOpenMemory(&f, data, int64_t(size)) != AVIERR_OK) {
    Check(f == nullptr);
    return 0;
  }
  AVIFILEINFO fi{};
  AVIFileInfo(f, &fi, sizeof fi);
  for (int32_t i = 0; i < int32_t(fi.dwStreams); ++i) {
    PAVISTREAM s = nullptr;
    Check(AVIFileGetStream(f, &s, 0, i) == AVIERR_OK);
    AVISTREAMINFO si{};
    Check(AVIStreamInfo(s, &si, sizeof si) == AVIERR_OK);
    int32_t fmtSize = 0;
    if (AVIStreamReadFormat(s, 0, nullptr, &fmtSize) == AVIERR_OK) {
      std::vector<uint8_t> fmt(static_cast<size_t>(fmtSize));
      Check(AVIStreamReadFormat(s, 0, fmt.data(), &fmtSize) == AVIERR_OK);
    }
    ReadSamples(s, si);
    if (si.fccType == streamtypeVIDEO) DecodeSome(s);
    AVIStreamRelease(s);
  }
  int32_t n = 0;
  if (AVIFileReadData(f, FourCC("LIST"), nullptr, &n) == AVIERR_OK) {
    std::vector<uint8_t> list(size_t(n) + 4);
    AVIFileReadData(f, FourCC("LIST"), list.data(), &n);
  }
  AVIFileRelease(f);
  return 0;
}
