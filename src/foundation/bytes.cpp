// Byte-level moves, fills and comparisons, and number formatting.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "foundation/basic.h"

namespace zelo {

void FillBytes(uint8_t value, int64_t count, void* buffer) {
  if (count > 0) std::memset(buffer, value, static_cast<size_t>(count));
}

void FillWords(uint16_t value, int64_t count, void* buffer) {
  auto* p = static_cast<uint8_t*>(buffer);
  for (int64_t i = 0; i < count; ++i) std::memcpy(p + i * 2, &value, 2);
}

void FillTriples(uint32_t value, int64_t count, void* buffer) {
  auto* p = static_cast<uint8_t*>(buffer);
  const uint8_t b0 = uint8_t(value >> 16), b1 = uint8_t(value >> 8), b2 = uint8_t(value);
  for (int64_t i = 0; i < count; ++i, p += 3) {
    p[0] = b0;
    p[1] = b1;
    p[2] = b2;
  }
}

void FillDWords(uint32_t value, int64_t count, void* buffer) {
  auto* p = static_cast<uint8_t*>(buffer);
  for (int64_t i = 0; i < count; ++i) std::memcpy(p + i * 4, &value, 4);
}

void MoveBytes(int64_t count, void* dest, const void* src) {
  if (count < 1 || dest == src) return;
  std::memmove(dest, src, static_cast<size_t>(count));
}

void SwapBytes(int64_t count, void* a, void* b) {
  auto* pa = static_cast<uint8_t*>(a);
  auto* pb = static_cast<uint8_t*>(b);
  for (int64_t i = 0; i < count; ++i) std::swap(pa[i], pb[i]);
}

int32_t CompareBytes(int64_t count, const void* a, const void* b) {
  if (count <= 0) return 0;
  int r = std::memcmp(a, b, static_cast<size_t>(count));
  return r == 0 ? 0 : (r < 0 ? 1 : 2);
}

int32_t FindBytes(int32_t step, int32_t length, int32_t patternLength, const void* buffer,
                  const void* pattern) {
  if (length == 0 || length < patternLength || step <= 0) return 0;
  auto* p = static_cast<const uint8_t*>(buffer);
  for (int32_t off = 0; off <= length - patternLength; off += step)
    if (CompareBytes(patternLength, p + off, pattern) == 0) return off / step + 1;
  return 0;
}

bool SameReal(double a, double b) { return std::fabs(a - b) <= 0.0001; }

std::string FmtInt(int32_t width, int64_t value) {
  // 32-bit values are written as unsigned numbers (-1 gives 4294967295).
  uint64_t v = (value < 0 && value >= INT32_MIN) ? uint64_t(uint32_t(int32_t(value)))
                                                 : uint64_t(value);
  std::string digits = std::to_string(v);
  if (width < 100) {
    if (static_cast<int32_t>(digits.size()) < width)
      digits.insert(0, static_cast<size_t>(width) - digits.size(), ' ');
    return digits;
  }
  if (width < 200) {
    std::string grouped;
    int n = static_cast<int>(digits.size());
    for (int i = 0; i < n; ++i) {
      grouped += digits[i];
      int rest = n - 1 - i;
      if (rest > 0 && rest % 3 == 0) grouped += ',';
    }
    int32_t w = width - 100;
    if (static_cast<int32_t>(grouped.size()) < w)
      grouped.insert(0, static_cast<size_t>(w) - grouped.size(), ' ');
    return grouped;
  }
  int32_t w = width - 200;
  if (static_cast<int32_t>(digits.size()) < w)
    digits.insert(0, static_cast<size_t>(w) - digits.size(), '0');
  return digits;
}

std::string FmtReal(int32_t width, int32_t decimals, double value) {
  if (decimals < 0) decimals = 0;
  char buf[400];
  std::snprintf(buf, sizeof buf, "%*.*f", width < 0 ? 0 : width, decimals, value);
  return buf;
}

int32_t DecToInt(const char* digits) {
  uint32_t v = 0;
  if (digits == nullptr) return 0;
  for (; *digits != '\0'; ++digits) v = v * 10u + uint32_t(uint8_t(*digits) - uint8_t('0'));
  return static_cast<int32_t>(v);
}

}  // namespace zelo
