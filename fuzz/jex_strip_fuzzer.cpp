// Fuzzes the JEX strip codec. The first four bytes choose the strip:
//   0  bit 0: BEST (else FAST); bit 1: previous frame in the destination
//   1  bytes per pixel - 1 (mod 3)
//   2  width - 1 (1..256 pixels)
//   3  rows - 1 (mod 64)
// The rest is decoded as a stream into a guarded destination, and also used
// as strip bytes: whatever the compressors make of them must decode back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/library.h"
#include "formats/jex_codec.h"

namespace {

using zelo::kJXDCOutSlack;
constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xC3;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "jex_strip_fuzzer: %s\n", what);
    std::abort();
  }
}

bool Decode(bool best, const uint8_t* stream, size_t length, uint8_t* dest, int32_t W, int32_t B,
            int32_t R) {
  // An exact-size copy, so that a read beyond the stream is caught.
  std::vector<uint8_t> exact(stream, stream + length);
  const int32_t n = static_cast<int32_t>(length);
  return best ? zelo::JXDCBestDecode(exact.data(), n, dest, W, B, R)
              : zelo::JXDCFastDecode(exact.data(), n, dest, W, B, R);
}

// The previous frame the destination holds before a delta frame.
std::vector<uint8_t> Previous(const uint8_t* strip, size_t size) {
  std::vector<uint8_t> prev(strip, strip + size);
  for (size_t i = 0; i < size; i += 5) prev[i] = static_cast<uint8_t>(~prev[i]);
  return prev;
}

void RoundTrip(bool best, const uint8_t* strip, int32_t W, int32_t B, int32_t R, bool delta) {
  const size_t size = static_cast<size_t>(W) * B * R;
  const std::vector<uint8_t> prev = Previous(strip, size);
  std::vector<uint8_t> out(size + kJXDCOutSlack);
  const uint8_t* q = delta ? prev.data() : nullptr;
  const int32_t n = best ? zelo::JXDCBest(strip, out.data(), q, delta, B, R, W)
                         : zelo::JXDCFast(strip, out.data(), q, delta, B, R, W);
  if (n == 0) return;
  // The stream stops just after passing 95 % of the strip (BEST's end marker
  // is not checked, and the last token and the flush add a few bytes).
  Check(n > 0 && static_cast<size_t>(n) <= size * 95 / 100 + 16, "stream too long");
  std::vector<uint8_t> dest = delta ? prev : std::vector<uint8_t>(size, 0x5A);
  Check(Decode(best, out.data(), static_cast<size_t>(n), dest.data(), W, B, R),
        "a compressed strip does not decode");
  Check(std::memcmp(dest.data(), strip, size) == 0, "round trip differs");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zelo::LibraryInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const bool best = data[0] & 1;
  const bool delta = data[0] & 2;
  const int32_t B = 1 + data[1] % 3;
  const int32_t W = 1 + data[2];
  const int32_t R = 1 + data[3] % 64;
  const uint8_t* rest = data + 4;
  const size_t restSize = size - 4;
  const size_t S = static_cast<size_t>(W) * B * R;

  // Decode arbitrary bytes; the destination is guarded on both sides.
  std::vector<uint8_t> dest(S + 2 * kGuard, kGuardByte);
  for (size_t i = 0; i < S; ++i) dest[kGuard + i] = static_cast<uint8_t>(delta ? i * 31 : 0);
  (void)Decode(best, rest, restSize, dest.data() + kGuard, W, B, R);
  for (size_t i = 0; i < kGuard; ++i)
    Check(dest[i] == kGuardByte && dest[kGuard + S + i] == kGuardByte,
          "write outside the destination");

  // The same bytes as a strip, through both compressors.
  const size_t L = static_cast<size_t>(W) * B;
  const int32_t rows = static_cast<int32_t>(restSize / L < 64 ? restSize / L : 64);
  if (rows >= 1) {
    RoundTrip(true, rest, W, B, rows, delta);
    RoundTrip(false, rest, W, B, rows, delta);
  }
  return 0;
}
