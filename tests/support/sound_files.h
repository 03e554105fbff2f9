// Sound fixtures for the tests: made at test time with sox and ffmpeg, taken
// apart with a small RIFF walker, and the decoders' output compared as
// 16-bit samples.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/process.h"
#include "zelo/zelo.h"

namespace zelo::test {

// Runs a shell command with its chatter thrown away; true on success.
inline bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline uint32_t Le32(const std::string& s, size_t at) {
  auto b = [&](size_t i) { return uint32_t(uint8_t(s[at + i])); };
  return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

// The chunks of a RIFF WAVE file that matter for decoding.
struct WavParts {
  std::string fmt;    // the "fmt " chunk as stored
  std::string data;   // the "data" chunk
  int64_t fact = -1;  // sample frames named by a "fact" chunk
  QWaveFormat Format() const {
    QWaveFormat f{};
    std::memcpy(&f, fmt.data(), std::min(fmt.size(), sizeof f));
    return f;
  }
};

inline WavParts ParseWav(const std::string& file) {
  WavParts w;
  if (file.size() < 12 || file.compare(0, 4, "RIFF") != 0 || file.compare(8, 4, "WAVE") != 0) return w;
  size_t at = 12;
  while (at + 8 <= file.size()) {
    std::string id = file.substr(at, 4);
    size_t size = Le32(file, at + 4);
    size_t body = at + 8;
    size_t take = std::min(size, file.size() - body);
    if (id == "fmt ") w.fmt = file.substr(body, take);
    if (id == "data") w.data = file.substr(body, take);
    if (id == "fact" && take >= 4) w.fact = Le32(file, body);
    at = body + size + (size & 1);
  }
  return w;
}

// A WAVE file of a stored format (with its extra bytes) around `data`.
inline std::string MakeWav(const std::string& fmt, const std::string& data) {
  auto le32 = [](uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = char(v >> (8 * i));
    return s;
  };
  std::string body = "WAVE";
  body += "fmt " + le32(uint32_t(fmt.size())) + fmt;
  if (fmt.size() & 1) body += '\0';
  body += "data" + le32(uint32_t(data.size())) + data;
  return "RIFF" + le32(uint32_t(body.size())) + body;
}

inline std::vector<int16_t> Samples16(const std::string& bytes) {
  std::vector<int16_t> v(bytes.size() / 2);
  std::memcpy(v.data(), bytes.data(), v.size() * 2);
  return v;
}

inline int MaxDifference(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
  int worst = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

// Amplitude and frequency of one channel of interleaved 16-bit sound, read
// from its RMS level and its rising zero crossings.
struct Tone {
  double amplitude = 0;
  double frequency = 0;
};
inline Tone MeasureTone(const std::vector<int16_t>& s, int channels, int channel, int rate, size_t from,
                        size_t to) {
  double sum = 0;
  int crossings = 0;
  double firstCross = -1, lastCross = -1;
  for (size_t i = from; i < to; ++i) {
    double x = s[i * channels + channel];
    sum += x * x;
    if (i > from) {
      double prev = s[(i - 1) * channels + channel];
      if (prev < 0 && x >= 0) {
        double t = double(i - 1) + prev / (prev - x);  // interpolated crossing
        if (firstCross < 0) firstCross = t;
        lastCross = t;
        ++crossings;
      }
    }
  }
  Tone tone;
  tone.amplitude = std::sqrt(sum / double(to - from)) * std::sqrt(2.0);
  if (crossings > 1) tone.frequency = (crossings - 1) * rate / (lastCross - firstCross);
  return tone;
}

}  // namespace zelo::test
