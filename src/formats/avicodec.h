// The AVI codec record: one layout for the process-wide codec list, the
// current codec, each AVI output's copy and the AVI field of the output
// settings.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "foundation/types.h"

namespace zelo {

// Texts of the record are length-prefixed: a length byte, then the characters.
constexpr int32_t kAviCodecNameMax = 16;
constexpr int32_t kAviCodecDescMax = 128;

struct QAviCodec {
  int32_t position;          // number in the list (installed codecs 1, 2, ...)
  uint32_t fourcc;           // handler code
  int32_t handle;            // codec handle while the record is being built
  uint8_t name[1 + kAviCodecNameMax];
  uint8_t description[1 + kAviCodecDescMax];
  BOOL hasAbout;
  BOOL hasConfig;
  BOOL supportsQuality;
  BOOL supportsKeyFrames;    // temporal compression
  BOOL supportsDataRate;     // compresses to a size, or supports quality
  BOOL isEncoder;
  BOOL compatible;           // takes the current picture format
  int32_t outWidth;
  int32_t outHeight;
  int32_t outBits;           // the depth the AVI is written with
  int32_t keyFrameRate;      // every n-th frame a key frame
  int32_t dataRate;          // kilobytes per second, 0 = none
  int32_t quality;           // 0..100
  int32_t stateSize;         // bytes of the private state
  void* state;               // private state block (tracked)
};

// Reads and writes the record's length-prefixed texts.
template <size_t N>
inline std::string AviCodecText(const uint8_t (&field)[N]) {
  const size_t n = std::min<size_t>(field[0], N - 1);
  return std::string(reinterpret_cast<const char*>(field + 1), n);
}

template <size_t N>
inline void AviCodecSetText(uint8_t (&field)[N], const std::string& text) {
  const size_t n = std::min(text.size(), N - 1);
  std::memset(field, 0, N);
  field[0] = static_cast<uint8_t>(n);
  std::memcpy(field + 1, text.data(), n);
}

}  // namespace zelo
