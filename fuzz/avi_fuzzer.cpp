// AVI reader: open from memory, every stream's information and format,
// every sample read, a few frames decoded; checks what the services promise
// about the results, not only that nothing crashes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/avifile.h"

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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
