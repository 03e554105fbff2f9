// Compressing streams: uncompressed DIB frames written to them come out as
// one compressed sample each in the stream below, in the same order.
#include <cstring>

#include "platform/avi_internal.h"
#include "platform/dib.h"
#include "platform/vcm.h"

namespace zelo::vfw::avi {
namespace {

HRESULT WriteBelow(AviStream& s, const uint8_t* data, int32_t size, bool key) {
  AviStream& below = *s.source;
  HRESULT r = WriteChunk(*below.file, *below.data, data, uint32_t(size), key, 1);
  if (r == AVIERR_OK) ++s.framesOut;
  return r;
}

}  // namespace

HRESULT CompressSetFormat(AviStream& s, const void* format, int32_t size) {
  const auto* p = static_cast<const uint8_t*>(format);
  if (!s.inputFormat.empty() || s.framesIn > 0) {
    if (s.inputFormat.size() == size_t(size) && std::memcmp(s.inputFormat.data(), p, size_t(size)) == 0)
      return AVIERR_OK;
    return AVIERR_UNSUPPORTED;
  }
  AviStream& below = *s.source;
  if (below.data->length > 0) return AVIERR_UNSUPPORTED;
  DibFormat in;
  if (!ParseDibFormat(p, size_t(size), in)) return AVIERR_BADFORMAT;
  const std::vector<uint8_t>* out;
  std::vector<uint8_t> same;
  if (s.passThrough) {
    if (in.compression != BI_RGB && in.compression != BI_BITFIELDS) return AVIERR_BADFORMAT;
    same.assign(p, p + size);
    out = &same;
  } else {
    HRESULT r = AVIERR_OK;
    const AVISTREAMINFO& info = below.data->info;
    s.encoder = VideoEncoder::Open(s.options, p, size_t(size), info.dwScale, info.dwRate, &r);
    if (!s.encoder) return r;
    out = &s.encoder->OutputFormat();
  }
  HRESULT r = AVIStreamSetFormat(&below, 0, out->data(), int32_t(out->size()));
  if (r != AVIERR_OK) {
    s.encoder.reset();
    return r;
  }
  AVISTREAMINFO& info = below.data->info;
  info.fccHandler = s.passThrough ? FourCC("DIB ") : s.options.fccHandler;
  if (s.encoder) info.dwQuality = s.encoder->Quality();
  s.inputFormat.assign(p, p + size);
  return AVIERR_OK;
}

HRESULT CompressWrite(AviStream& s, int32_t start, const void* data, int32_t size,
                      int32_t* samples, int32_t* bytes) {
  if (s.inputFormat.empty()) return AVIERR_BADFORMAT;
  if (start >= 0 && start < s.framesIn) return AVIERR_BADPARAM;
  // A gap before start becomes empty frames (the picture before repeats).
  while (start > s.framesIn) {
    if (HRESULT r = WriteBelow(s, nullptr, 0, false); r != AVIERR_OK) return r;
    ++s.framesIn;
  }
  int64_t written = 0;
  HRESULT r;
  if (s.passThrough) {
    r = WriteBelow(s, static_cast<const uint8_t*>(data), size, true);
    written = size;
  } else {
    r = s.encoder->Encode(static_cast<const uint8_t*>(data), size,
                          [&](const uint8_t* d, int32_t n, bool key) {
                            written += n;
                            return WriteBelow(s, d, n, key);
                          });
  }
  if (r != AVIERR_OK) return r;
  ++s.framesIn;
  if (samples) *samples = 1;
  if (bytes) *bytes = int32_t(written);
  return AVIERR_OK;
}

HRESULT CompressFlush(AviStream& s) {
  HRESULT r = AVIERR_OK;
  if (s.encoder && s.file->error == AVIERR_OK)
    r = s.encoder->Flush(
        [&](const uint8_t* d, int32_t n, bool key) { return WriteBelow(s, d, n, key); });
  // Every frame written has its sample, even if the encoder kept one back.
  while (r == AVIERR_OK && s.framesOut < s.framesIn) r = WriteBelow(s, nullptr, 0, false);
  return r;
}

}  // namespace zelo::vfw::avi
