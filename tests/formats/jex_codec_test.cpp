// The JEX strip codec: exact streams, round trips, hostile streams.
//
// The expected token sequences are checked with a slow decoder written here
// independently of the codec (one bit at a time, plain vectors), which also
// records each token, so a test can say which token the gain rules must pick.
#include "formats/jex_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"

namespace zelo {
namespace {

using Bytes = std::vector<uint8_t>;

enum class Variant { Fast, Best };

const char* Name(Variant v) { return v == Variant::Fast ? "FAST" : "BEST"; }

// --- reference decoder --------------------------------------------------------

struct RefToken {
  int32_t pos;       // output position where the token starts
  std::string text;  // e.g. "L65", "R7x767", "A64", "S1000", "D3", "W44:20", "E"
};

class RefBits {
 public:
  explicit RefBits(const Bytes& s) : s_(s) {}
  uint32_t Bit(size_t i) const { return i / 8 < s_.size() ? (s_[i / 8] >> (7 - i % 8)) & 1u : 0u; }
  uint32_t Peek(int n) const {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | Bit(pos_ + size_t(i));
    return v;
  }
  uint32_t Read(int n) {
    uint32_t v = Peek(n);
    pos_ += size_t(n);
    return v;
  }
  int32_t Len() {
    int z = 0;
    while (z < 7 && Bit(pos_ + size_t(z)) == 0) ++z;
    if (z >= 7) return int32_t(Read(16)) + 256;
    return int32_t(Read(2 * (z + 1)));
  }
  bool Exhausted() const { return pos_ >= s_.size() * 8; }

 private:
  const Bytes& s_;
  size_t pos_ = 0;
};

// Decodes into out (which holds the previous frame for skips); false for a
// stream that breaks the rules.
bool RefDecode(Variant v, const Bytes& stream, Bytes& out, int32_t W, int32_t B, int32_t R,
               std::vector<RefToken>* tokens = nullptr) {
  const int64_t L = int64_t(W) * B, S = L * R;
  out.resize(size_t(S));
  RefBits in(stream);
  std::vector<std::pair<int64_t, int64_t>> dict(1024, {-1, 0});
  size_t slot = 0;
  int64_t o = 0;
  auto note = [&](int64_t at, const std::string& t) {
    if (tokens) tokens->push_back(RefToken{int32_t(at), t});
  };
  auto copy = [&](int64_t from, int64_t n) {
    if (from < 0 || n > S - o || from + n > S) return false;
    for (int64_t i = 0; i < n; ++i) out[size_t(o + i)] = out[size_t(from + i)];
    return true;
  };
  const int tokenBits = v == Variant::Fast ? 10 : 12;
  while (!in.Exhausted()) {
    const int64_t at = o;
    uint32_t t = in.Peek(tokenBits);
    if (v == Variant::Fast ? t >= 0x200 : t >= 0xC00) {
      in.Read(v == Variant::Fast ? 1 : 2);
      if (o >= S) return false;
      out[size_t(o++)] = uint8_t(in.Read(8));
      note(at, "L" + std::to_string(out[size_t(at)]));
      continue;
    }
    if (v == Variant::Fast && t >= 0x100 && t < 0x180) {
      int64_t n = int64_t(in.Read(9)) - 128 + 2;
      if (o < L || !copy(o - L, n)) return false;
      o += n;
      note(at, "A" + std::to_string(n));
      continue;
    }
    in.Read(tokenBits);
    if (t < 0x100) {
      uint8_t px[3];
      if (B == 1) {
        px[0] = uint8_t(t);
      } else if (B == 2) {
        px[1] = uint8_t(t);
        px[0] = uint8_t(in.Read(8));
      } else {
        px[0] = uint8_t(t);
        px[2] = uint8_t(in.Read(8));
        px[1] = uint8_t(in.Read(8));
      }
      int64_t count = in.Len();
      if (count * B > S - o) return false;
      for (int64_t i = 0; i < count; ++i)
        for (int32_t k = 0; k < B; ++k) out[size_t(o++)] = px[k];
      uint32_t value = B == 1   ? px[0]
                       : B == 2 ? px[0] | px[1] << 8
                                : px[0] | px[1] << 8 | px[2] << 16;
      note(at, "R" + std::to_string(value) + "x" + std::to_string(count));
    } else if (t < 0x180) {  // BEST only
      int64_t n = int64_t(t) - 254;
      if (o < L || !copy(o - L, n)) return false;
      o += n;
      note(at, "A" + std::to_string(n));
    } else if (t < 0x1C0) {
      int64_t n = int64_t(t) - 382;
      if (n > S - o) return false;
      o += n;
      note(at, "S" + std::to_string(n));
    } else if (t < 0x200) {
      if (o == S) {
        note(at, "E");
        return true;
      }
      int64_t n = int64_t(t) - 510 + 64 * int64_t(in.Len());
      if (n > S - o) return false;
      o += n;
      note(at, "S" + std::to_string(n));
    } else if (t < 0x600) {
      auto [from, n] = dict[t - 512];
      if (from < 0 || !copy(from, n)) return false;
      o += n;
      note(at, "D" + std::to_string(t - 512));
    } else {
      uint32_t c = t - 1536;
      int64_t n = in.Len();
      uint32_t r = c / 64;
      int64_t offset = r < 12 ? 64 + int64_t(r) * L : int64_t(r - 11) * L;
      dict[slot] = {o, n};
      slot = (slot + 1) % 1024;
      if (!copy(o - offset + c % 64, n)) return false;
      o += n;
      note(at, "W" + std::to_string(c) + ":" + std::to_string(n));
    }
  }
  return false;
}

std::string Join(const std::vector<RefToken>& tokens) {
  std::string s;
  for (const auto& t : tokens) s += (s.empty() ? "" : " ") + t.text;
  return s;
}

std::string TokenAt(const std::vector<RefToken>& tokens, int32_t pos) {
  for (const auto& t : tokens)
    if (t.pos == pos && t.text != "E") return t.text;
  return "(none)";
}

// --- reference compressors -----------------------------------------------------

// The coders in their plain form, step by step: 10-bit hash chains
// per 64-byte column with newer and older links in a ring of 12 rows, keys
// of low nibbles, 14-bit dictionary chains, byte-by-byte comparisons, the
// size checked after every token. Slow and plain, without any of the
// shortcuts of the library's coders; used to check that those choose the
// same tokens. Slot numbers are 32-bit, as the library mends them.
class RefCoder {
 public:
  RefCoder(const std::vector<uint8_t>& b, const std::vector<uint8_t>* q, int32_t W, int32_t B,
           int32_t R)
      : b_(b), q_(q), B_(B), L_(W * B), S_(W * B * R) {}

  std::vector<uint8_t> Fast();
  std::vector<uint8_t> Best();

 private:
  uint32_t At(int64_t i) const { return i < S_ ? b_[size_t(i)] : 0u; }
  bool SamePixel(int32_t x, int32_t y) const {
    for (int32_t k = 0; k < B_; ++k)
      if (b_[size_t(x + k)] != b_[size_t(y + k)]) return false;
    return true;
  }
  int32_t Leading(const std::vector<uint8_t>& a, int32_t x, int32_t y, int32_t max) const {
    int32_t n = 0;
    while (n < max && a[size_t(x + n)] == b_[size_t(y + n)]) ++n;
    return n;
  }
  // Pixels equal to the one at p from p on (whole pixels, at most 767), or 0.
  int32_t RunPixels(int32_t p) const {
    if (p + 2 * B_ > S_ || !SamePixel(p, p + B_)) return 0;
    int32_t k = 2;
    while (k < 767 && p + (k + 1) * B_ <= S_ && SamePixel(p, p + k * B_)) ++k;
    return k;
  }
  static int32_t Above(const int32_t* steps, int32_t count, int32_t v) {
    int32_t c = 0;
    for (int32_t i = 0; i < count; ++i) c += v > steps[i];
    return c;
  }
  void Clamp(char& kind, int32_t& n, int32_t p) const {
    if (p + n > S_) {
      n = S_ - p;
      if (kind == 'R' && B_ > 1) {
        n = B_ * (n / B_);
        if (n < 2 * B_) n = 1;
      }
    }
    if (n == 1) kind = 'L';
  }
  void PutPixel(JXBitWriter& w, int32_t p, int32_t bits) const {
    if (B_ == 1) {
      BitPut(w, bits, At(p));
    } else if (B_ == 2) {
      if (bits == 12) BitPut(w, 4, 0);
      BitPut(w, bits == 12 ? 16 : 18, At(p) + 256 * At(p + 1));
    } else {
      BitPut(w, bits, At(p));
      BitPut(w, 16, At(p + 1) + 256 * At(p + 2));
    }
  }
  void PutSkip(JXBitWriter& w, int32_t n, int32_t bits) const {
    if (n > 65) {
      BitPut(w, bits, uint32_t(448 + ((n - 66) & 63)));
      PutLen(w, (n + 62) / 64);
    } else {
      BitPut(w, bits, uint32_t(382 + n));
    }
  }
  int32_t Limit() const { return int32_t(std::nearbyint(0.95 * S_)); }
  std::vector<uint8_t> Finish(std::vector<uint8_t>& out, JXBitWriter& w) const {
    BitFlush(w);
    out.resize(size_t(w.pos - w.start));
    return out;
  }

  const std::vector<uint8_t>& b_;
  const std::vector<uint8_t>* q_;
  const int32_t B_, L_, S_;
};

std::vector<uint8_t> RefCoder::Fast() {
  std::vector<uint8_t> out(size_t(S_) + 8192);
  JXBitWriter w(out.data());
  for (int32_t p = 0; p < S_;) {
    int32_t n = 1;
    char kind = 'L';
    if (q_ && p + 2 <= S_ && b_[size_t(p)] == (*q_)[size_t(p)] &&
        b_[size_t(p + 1)] == (*q_)[size_t(p + 1)]) {
      n = 2 + Leading(*q_, p + 2, p + 2, std::min(49087, S_ - p - 2));
      kind = 'S';
    }
    if (n < 767 * B_) {
      if (int32_t l = RunPixels(p) * B_; l > n) {
        n = l;
        kind = 'R';
      }
      if (n <= 65 && p >= L_ && p + 2 <= S_ && b_[size_t(p)] == b_[size_t(p - L_)] &&
          b_[size_t(p + 1)] == b_[size_t(p + 1 - L_)]) {
        const int32_t l = 2 + Leading(b_, p + 2 - L_, p + 2, std::min(63, S_ - p - 2));
        if (l >= n) {
          n = l;
          kind = 'A';
        }
      }
    }
    Clamp(kind, n, p);
    if (kind == 'L') BitPut(w, 9, 256 + At(p));
    if (kind == 'A') BitPut(w, 9, uint32_t(128 + ((n - 2) & 63)));
    if (kind == 'R') {
      PutPixel(w, p, 10);
      PutLen(w, n / B_);
    }
    if (kind == 'S') PutSkip(w, n, 10);
    p += n;
    if (p == S_) BitPut(w, 10, 448);
    if (w.pos - w.start > Limit()) return {};
  }
  return Finish(out, w);
}

std::vector<uint8_t> RefCoder::Best() {
  static const int32_t kSkipSteps[] = {1, 3, 7, 15, 31, 63, 127, 255};
  static const int32_t kLenSteps[] = {3, 7, 15, 31, 63, 127, 255};
  const int32_t cols = (L_ + 63) / 64, ring = 12 * L_;
  auto column = [&](int32_t x) { return (x % L_) / 64; };
  auto h10 = [&](int32_t x) { return int32_t(((At(x) * 32) + (At(x + 1) & 31)) & 1023); };
  auto h14 = [&](int32_t x) { return int32_t(((At(x) * 128) + (At(x + 1) & 127)) & 16383); };
  auto keyOf = [&](int32_t x) {
    uint32_t k = 0;
    for (int32_t j = 0; j < 8; ++j) k |= (At(int64_t(x) + 2 + j) & 15) << (4 * j);
    return k;
  };
  struct Link {
    int32_t newer = -1, older = -1;
    uint32_t key = 0;
  };
  struct Copy {
    int32_t newer = -1, older = -1, count = 0, pos = 0;
  };
  std::vector<int32_t> chFrs(size_t(cols) * 1024, -1), dictHeads(16384, -1);
  std::vector<Link> chTab(static_cast<size_t>(ring));
  std::vector<Copy> idxTab(1024);
  int32_t m = 0, o = 0, filled = 0;
  uint32_t key = keyOf(0);
  std::vector<uint8_t> out(size_t(S_) + 8192);
  JXBitWriter w(out.data());
  for (int32_t p = 0; p < S_;) {
    int32_t n = 1, gain = 0, slot = 0, code = 0;
    char kind = 'L';
    if (q_) {
      const int32_t e = Leading(*q_, p, p, std::min(49089, S_ - p));
      if (e >= 2) {
        n = e;
        kind = 'S';
        gain = 8 * e - 12 - 2 * Above(kSkipSteps, 8, (e + 62) / 64);
      }
    }
    if (n < 767 * B_) {
      const int32_t r = RunPixels(p) * B_;
      const int32_t g = 8 * r - 14 - 2 * Above(kLenSteps, 7, r / B_) - 8 * (B_ - 1);
      if (g > gain) {
        n = r;
        kind = 'R';
        gain = g;
      }
      if (n <= 767) {
        int32_t t = n - 1, remembered = -1;
        for (int32_t s = dictHeads[size_t(h14(p))]; s != -1; s = idxTab[size_t(s)].older) {
          const Copy& c = idxTab[size_t(s)];
          if (c.count > t && p + c.count <= S_ && Leading(b_, c.pos, p, c.count) == c.count) {
            t = c.count;
            remembered = s;
          }
        }
        if (remembered >= 0 && 8 * t - 12 > gain) {
          n = t;
          kind = 'D';
          gain = 8 * t - 12;
          slot = remembered;
        }
        if (p > 0) {
          t = std::max(n, 2) - 1;
          int32_t found = -1;
          const int32_t r1 = (p - 64) % L_;
          const int32_t first = column(((p - 64) % L_ + L_) % L_), last = column((p + 63) % L_);
          for (int32_t col = first;; col = (col + 1) % cols) {
            for (int32_t e = chFrs[size_t(col * 1024 + h10(p))]; e != -1;
                 e = chTab[size_t(e)].older) {
              if (uint32_t x = chTab[size_t(e)].key ^ key;
                  x != 0 && std::countr_zero(x) / 4 + 1 < t)
                continue;
              const int32_t V = e + ring * ((p - 1 - e) / ring);  // the position in slot e
              const int32_t d = (V - r1) % L_;
              if (d < 0 || d >= 128 || p + t >= S_) continue;
              bool same = true;
              for (int32_t i = t; i >= 0 && same; --i)
                same = b_[size_t(p + i)] == b_[size_t(V + i)];
              if (!same) continue;
              const int32_t l = Leading(b_, V, p, std::min(766, S_ - p));
              if (l > t) {
                t = l;
                found = V;
              }
            }
            if (col == last) break;
          }
          if (found >= 0 && 8 * t - 14 - 2 * Above(kLenSteps, 7, t) > gain) {
            n = t;
            kind = 'W';
            gain = 8 * t - 14 - 2 * Above(kLenSteps, 7, t);
            const int32_t D = p - found;
            const int32_t wr = std::max(0, (D + L_ - 65) / L_);
            const int32_t base = p - wr * L_;
            code = found < base ? 64 * wr + 64 - (base - found) : 64 * (wr + 11) + (found - base);
          }
        }
        if (p >= L_) {
          const int32_t a = Leading(b_, p - L_, p, std::min(129, S_ - p));
          if (8 * a - 12 > gain) {
            n = a;
            kind = 'A';
          }
        }
      }
    }
    Clamp(kind, n, p);
    if (kind == 'L') BitPut(w, 10, 768 + At(p));
    if (kind == 'R') {
      PutPixel(w, p, 12);
      PutLen(w, n / B_);
    }
    if (kind == 'A') BitPut(w, 12, uint32_t(n + 254));
    if (kind == 'S') PutSkip(w, n, 12);
    if (kind == 'D') BitPut(w, 12, uint32_t(512 + slot));
    if (kind == 'W') {
      BitPut(w, 12, uint32_t(1536 + code));
      PutLen(w, n);
      if (filled == 1024) {
        Copy& old = idxTab[size_t(o)];
        if (old.newer == -1)
          dictHeads[size_t(h14(old.pos))] = -1;
        else
          idxTab[size_t(old.newer)].older = -1;
      }
      int32_t& head = dictHeads[size_t(h14(p))];
      idxTab[size_t(o)] = Copy{-1, head, n, p};
      if (head != -1) idxTab[size_t(head)].newer = o;
      head = o;
      o = (o + 1) % 1024;
      filled = std::min(filled + 1, 1024);
    }
    if (p + n == S_) {
      BitPut(w, 12, 448);
      break;
    }
    if (w.pos - w.start > Limit()) return {};
    for (const int32_t end = p + n; p < end;) {
      if (p >= ring) {
        const int32_t old = p - ring;
        if (chTab[size_t(m)].newer == -1)
          chFrs[size_t(column(old) * 1024 + h10(old))] = -1;
        else
          chTab[size_t(chTab[size_t(m)].newer)].older = -1;
      }
      int32_t& head = chFrs[size_t(column(p) * 1024 + h10(p))];
      chTab[size_t(m)] = Link{-1, head, key};
      if (head != -1) chTab[size_t(head)].newer = m;
      head = m;
      m = (m + 1) % ring;
      ++p;
      key = (key >> 4) | ((At(int64_t(p) + 9) & 15) << 28);
    }
  }
  return Finish(out, w);
}

// --- helpers ------------------------------------------------------------------

struct Geometry {
  int32_t W, B, R;
  size_t S() const { return size_t(W) * size_t(B) * size_t(R); }
};

// Compresses; an empty result means the strip did not compress.
Bytes Encode(Variant v, const Bytes& src, const Bytes* prev, Geometry g) {
  Bytes out(src.size() + kJXDCOutSlack);
  const uint8_t* q = prev ? prev->data() : nullptr;
  int32_t n = v == Variant::Fast
                  ? JXDCFast(src.data(), out.data(), q, prev != nullptr, g.B, g.R, g.W)
                  : JXDCBest(src.data(), out.data(), q, prev != nullptr, g.B, g.R, g.W);
  out.resize(size_t(n));
  return out;
}

bool Decode(Variant v, const Bytes& stream, Bytes& dest, Geometry g) {
  // An exact-size copy of the stream, so that a read beyond it is caught.
  Bytes exact(stream);
  return v == Variant::Fast
             ? JXDCFastDecode(exact.data(), int32_t(exact.size()), dest.data(), g.W, g.B, g.R)
             : JXDCBestDecode(exact.data(), int32_t(exact.size()), dest.data(), g.W, g.B, g.R);
}

std::vector<RefToken> Tokens(Variant v, const Bytes& stream, Geometry g,
                             const Bytes* prev = nullptr) {
  std::vector<RefToken> tokens;
  Bytes out = prev ? *prev : Bytes(g.S());
  EXPECT_TRUE(RefDecode(v, stream, out, g.W, g.B, g.R, &tokens)) << Join(tokens);
  return tokens;
}

// Bits written as text ("0101 11"); spaces are ignored, the end is padded.
Bytes FromBits(const std::string& text) {
  Bytes out;
  int n = 0;
  for (char c : text) {
    if (c == ' ') continue;
    if (n % 8 == 0) out.push_back(0);
    if (c == '1') out.back() |= uint8_t(0x80 >> (n % 8));
    ++n;
  }
  return out;
}

std::string BitsOf(uint32_t v, int n) {
  std::string s;
  for (int i = n - 1; i >= 0; --i) s += ((v >> i) & 1) ? '1' : '0';
  return s;
}

Bytes Hex(std::initializer_list<int> v) { return Bytes(v.begin(), v.end()); }

// Content with structure a lossless coder can use: smooth gradients, flat
// blocks, repeated motifs and a little noise.
Bytes MakePicture(Geometry g, uint32_t seed) {
  std::mt19937 rng(seed);
  const int32_t L = g.W * g.B;
  Bytes b(g.S());
  for (int32_t y = 0; y < g.R; ++y)
    for (int32_t x = 0; x < g.W; ++x)
      for (int32_t c = 0; c < g.B; ++c) {
        uint8_t v;
        int32_t zone = ((x / 24) + (y / 10)) % 4;
        if (zone == 0)
          v = uint8_t(40 * c + 7);  // flat
        else if (zone == 1)
          v = uint8_t(x * 3 + y * 2 + c * 50);  // gradient
        else if (zone == 2)
          v = uint8_t("ZELO text"[(x + c) % 9] ^ y);  // motif
        else
          v = uint8_t((x * 7 + c) ^ (rng() % 4 == 0 ? rng() : y));  // noisy
        b[size_t(y) * L + size_t(x) * g.B + c] = v;
      }
  return b;
}

// The next frame: a block moved and a few bytes changed.
Bytes NextFrame(const Bytes& a, Geometry g, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(a);
  const int32_t L = g.W * g.B;
  for (int32_t y = g.R / 3; y < g.R / 2; ++y)
    for (int32_t x = 0; x + 1 < L / 2; ++x) b[size_t(y) * L + x] = a[size_t(y) * L + x + 1];
  for (int i = 0; i < 20; ++i) b[rng() % b.size()] = uint8_t(rng());
  return b;
}

// Photograph-like content: smooth shading with a little noise in every byte.
Bytes MakePhoto(Geometry g, uint32_t seed) {
  std::mt19937 rng(seed);
  const int32_t L = g.W * g.B;
  Bytes b(g.S());
  for (int32_t y = 0; y < g.R; ++y)
    for (int32_t x = 0; x < L; ++x)
      b[size_t(y) * L + x] = uint8_t((x * 7 + y * 5) / 4 + ((x * y) >> 6) + int(rng() % 4 == 0));
  return b;
}

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng());
  return b;
}

class JexCodecTest : public testing::Test {
 protected:
  void SetUp() override { base_ = MemCount(); }
  void TearDown() override {
    EXPECT_EQ(MemCount(), base_) << "the codec left tracked blocks behind";
    ErrClear();
  }
  int32_t base_ = 0;
};

// --- bit writer and length code ----------------------------------------------

std::string Written(const std::function<void(JXBitWriter&)>& put) {
  Bytes buf(64);
  JXBitWriter w(buf.data());
  put(w);
  std::string s;
  for (uint8_t* p = w.start; p < w.pos; ++p) s += BitsOf(*p, 8);
  return s + BitsOf(w.acc, 32 - w.free);  // bits still in the accumulator
}

TEST(JexLengthCode, WritesTheCodeTable) {
  const std::pair<int32_t, std::string> cases[] = {
      {2, "10"},
      {3, "11"},
      {5, "0101"},
      {8, "001000"},
      {31, "00011111"},
      {128, "00000010000000"},
      {255, "00000011111111"},
      {256, BitsOf(0, 16)},
      {300, BitsOf(0x002C, 16)},
      {767, BitsOf(0x01FF, 16)},
  };
  for (const auto& [v, bits] : cases)
    EXPECT_EQ(Written([v = v](JXBitWriter& w) { PutLen(w, v); }), bits) << v;
  for (int32_t v : {-1, 0, 1, 768, 100000})
    EXPECT_EQ(Written([v](JXBitWriter& w) { PutLen(w, v); }), "") << v;
}

TEST(JexLengthCode, GetLenReadsEveryValueBack) {
  Bytes buf(4096);
  JXBitWriter w(buf.data());
  for (int32_t v = 2; v <= 767; ++v) {
    BitPut(w, 1, uint32_t(v & 1));  // shifts the codes across byte boundaries
    PutLen(w, v);
  }
  BitFlush(w);
  JXBitReader r(buf.data(), w.Stored());
  for (int32_t v = 2; v <= 767; ++v) {
    ASSERT_TRUE(r.Refill());
    ASSERT_EQ(r.Get(1), uint32_t(v & 1));
    ASSERT_EQ(GetLen(r), v);
  }
  EXPECT_LE(r.LengthBits() - r.Consumed(), 7) << "only the padding is left";
}

TEST(JexBitWriter, StoresAGroupOnlyWhenAValueNoLongerFits) {
  Bytes buf(16, 0xEE);
  JXBitWriter w(buf.data());
  BitPut(w, 16, 0xABCD);
  BitPut(w, 16, 0x1234);
  EXPECT_EQ(w.Stored(), 0) << "a full accumulator waits for the next value";
  BitPut(w, 3, 0x5);
  EXPECT_EQ(w.Stored(), 4);
  BitPut(w, 32, 0x80000001);
  EXPECT_EQ(w.Stored(), 8);
  BitFlush(w);
  EXPECT_EQ(w.Stored(), 9) << "35 + 32 bits fill 9 bytes";
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 9),
            Hex({0xAB, 0xCD, 0x12, 0x34, 0xB0, 0x00, 0x00, 0x00, 0x20}));
}

TEST(JexBitWriter, FlushOfWholeGroupsAddsNothing) {
  Bytes buf(16);
  JXBitWriter w(buf.data());
  BitPut(w, 32, 0xDEADBEEF);
  BitFlush(w);
  EXPECT_EQ(w.Stored(), 4);
  EXPECT_EQ(GetBE32(buf.data()), 0xDEADBEEFu);
}

// --- the worked examples ----------------------------------------------------

TEST_F(JexCodecTest, ThousandByteRunStripGivesTheKnownStreams) {
  const Geometry g{100, 1, 10};
  const Bytes src(1000, 7);
  Bytes fast = Encode(Variant::Fast, src, nullptr, g);
  EXPECT_EQ(fast, Hex({0x01, 0xC0, 0x7F, 0xC0, 0x70, 0x3A, 0x5C, 0x00}));
  EXPECT_EQ(Join(Tokens(Variant::Fast, fast, g)), "R7x767 R7x233 E");
  // BEST: at the second run the window copy only ties with the run (1838).
  Bytes best = Encode(Variant::Best, src, nullptr, g);
  EXPECT_EQ(best, Hex({0x00, 0x70, 0x1F, 0xF0, 0x07, 0x03, 0xA4, 0x70, 0x00}));
  EXPECT_EQ(Join(Tokens(Variant::Best, best, g)), "R7x767 R7x233 E");
  for (Variant v : {Variant::Fast, Variant::Best}) {
    Bytes dest(1000, 0);
    ASSERT_TRUE(Decode(v, v == Variant::Fast ? fast : best, dest, g)) << Name(v);
    EXPECT_EQ(dest, src) << Name(v);
  }
}

TEST(JexPrediction, DifferencesToTheLeftPixelAndBack) {
  const Bytes src = Hex({10, 20, 30, 12, 25, 29});
  Bytes diff(6), back(6);
  PredictDiff(2, diff.data(), src.data());
  EXPECT_EQ(diff, Hex({10, 20, 30, 2, 5, 255}));
  PredictSum(2, back.data(), diff.data());
  EXPECT_EQ(back, src);
  // In place, and across many pixels (rows are not special).
  Bytes pixels = Random(3000, 5), work = pixels;
  PredictDiff(1000, work.data(), work.data());
  PredictSum(1000, work.data(), work.data());
  EXPECT_EQ(work, pixels);
}

// --- round trips ------------------------------------------------------------

struct TripCase {
  Variant variant;
  int32_t B;
  bool withPrevious;
};

class JexRoundTrip : public JexCodecTest, public testing::WithParamInterface<TripCase> {};

TEST_P(JexRoundTrip, DecodesExactlyWhatWasCompressed) {
  const auto [variant, B, withPrevious] = GetParam();
  for (Geometry g : {Geometry{97, B, 31}, Geometry{10, B, 7}, Geometry{300, B, 40}}) {
    const Bytes first = MakePicture(g, uint32_t(g.W));
    const Bytes second = NextFrame(first, g, 3);
    const Bytes* prev = withPrevious ? &first : nullptr;
    Bytes stream = Encode(variant, second, prev, g);
    ASSERT_FALSE(stream.empty()) << "structured content compresses";
    Bytes dest = withPrevious ? first : Bytes(g.S(), 0x5A);
    ASSERT_TRUE(Decode(variant, stream, dest, g));
    EXPECT_EQ(dest, second) << g.W << "x" << g.R;
    Bytes ref = withPrevious ? first : Bytes(g.S());
    ASSERT_TRUE(RefDecode(variant, stream, ref, g.W, g.B, g.R));
    EXPECT_EQ(ref, second) << "the independent decoder agrees";
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, JexRoundTrip,
    testing::Values(TripCase{Variant::Fast, 1, false}, TripCase{Variant::Fast, 2, false},
                    TripCase{Variant::Fast, 3, false}, TripCase{Variant::Fast, 1, true},
                    TripCase{Variant::Fast, 2, true}, TripCase{Variant::Fast, 3, true},
                    TripCase{Variant::Best, 1, false}, TripCase{Variant::Best, 2, false},
                    TripCase{Variant::Best, 3, false}, TripCase{Variant::Best, 1, true},
                    TripCase{Variant::Best, 2, true}, TripCase{Variant::Best, 3, true}),
    [](const testing::TestParamInfo<TripCase>& i) {
      return std::string(Name(i.param.variant)) + "_B" + std::to_string(i.param.B) +
             (i.param.withPrevious ? "_delta" : "_key");
    });

TEST_F(JexCodecTest, PredictedStripsRoundTrip) {
  const Geometry g{120, 3, 20};
  const Bytes src = MakePicture(g, 9);
  Bytes diff(src.size());
  PredictDiff(g.W * g.R, diff.data(), src.data());
  Bytes stream = Encode(Variant::Best, diff, nullptr, g);
  ASSERT_FALSE(stream.empty());
  Bytes dest(src.size()), pixels(src.size());
  ASSERT_TRUE(Decode(Variant::Best, stream, dest, g));
  PredictSum(g.W * g.R, pixels.data(), dest.data());
  EXPECT_EQ(pixels, src);
}

TEST_F(JexCodecTest, RandomStripsDoNotCompress) {
  for (int32_t B = 1; B <= 3; ++B) {
    const Geometry g{200, B, 16};
    const Bytes src = Random(g.S(), uint32_t(B));
    const Bytes prev = Random(g.S(), uint32_t(B + 10));
    for (Variant v : {Variant::Fast, Variant::Best}) {
      EXPECT_TRUE(Encode(v, src, nullptr, g).empty()) << Name(v) << " B=" << B;
      EXPECT_TRUE(Encode(v, src, &prev, g).empty()) << Name(v) << " B=" << B;
    }
  }
}

// --- exact token choices ------------------------------------------------------

TEST_F(JexCodecTest, PixelRunsWriteTheirBytesInTheKnownOrder) {
  // Ten pixels (1, 2, 3): the token holds the first byte, then come the
  // third and the second; B = 2 writes the second byte first.
  const std::string end10 = "0111000000", end12 = "000111000000";
  const std::string len10 = "001010";
  Bytes rgb;
  for (int i = 0; i < 10; ++i) rgb.insert(rgb.end(), {1, 2, 3});
  EXPECT_EQ(Encode(Variant::Fast, rgb, nullptr, {10, 3, 1}),
            FromBits(BitsOf(1, 10) + BitsOf(0x0302, 16) + len10 + end10));
  EXPECT_EQ(Encode(Variant::Best, rgb, nullptr, {10, 3, 1}),
            FromBits(BitsOf(1, 12) + BitsOf(0x0302, 16) + len10 + end12));
  Bytes words;
  for (int i = 0; i < 10; ++i) words.insert(words.end(), {0x34, 0x12});
  EXPECT_EQ(Encode(Variant::Fast, words, nullptr, {10, 2, 1}),
            FromBits(BitsOf(0x1234, 18) + len10 + end10));
  EXPECT_EQ(Encode(Variant::Best, words, nullptr, {10, 2, 1}),
            FromBits("0000" + BitsOf(0x1234, 16) + len10 + end12));
}

TEST_F(JexCodecTest, UnchangedStripsBecomeSkips) {
  const std::pair<Geometry, std::string> cases[] = {
      {{40, 1, 1}, "S40 E"},
      {{100, 3, 10}, "S3000 E"},
      {{1000, 1, 100}, "S49089 S49089 S1822 E"},  // longer than one token holds
  };
  for (const auto& [g, expected] : cases) {
    const Bytes prev = MakePicture(g, 4);
    for (Variant v : {Variant::Fast, Variant::Best}) {
      Bytes stream = Encode(v, prev, &prev, g);
      EXPECT_EQ(Join(Tokens(v, stream, g, &prev)), expected) << Name(v);
      Bytes dest = prev;
      ASSERT_TRUE(Decode(v, stream, dest, g));
      EXPECT_EQ(dest, prev) << "skips leave the previous frame untouched";
    }
  }
}

TEST_F(JexCodecTest, SkipAndRunCompareByGain) {
  const Geometry g{100, 1, 1};
  const Bytes fives(100, 5);
  auto withPrefix = [&](size_t same) {
    Bytes p(100, 9);
    std::fill_n(p.begin(), same, 5);
    return p;
  };
  struct Case {
    size_t same;  // leading bytes equal to the previous frame
    const char* best;
    const char* fast;
  };
  // BEST: skip 50 gains 388, the run of 100 gains 776: the run. Skip 100
  // gains 786 (its length code costs 2 more bits than a short skip). FAST
  // takes the run only when it is strictly longer.
  const Case cases[] = {{50, "R5x100 E", "R5x100 E"}, {100, "S100 E", "S100 E"}};
  for (const Case& c : cases) {
    const Bytes prev = withPrefix(c.same);
    EXPECT_EQ(Join(Tokens(Variant::Best, Encode(Variant::Best, fives, &prev, g), g, &prev)),
              c.best);
    EXPECT_EQ(Join(Tokens(Variant::Fast, Encode(Variant::Fast, fives, &prev, g), g, &prev)),
              c.fast);
  }
  // Equal lengths: BEST's skip (468) beats the run (458); FAST keeps the skip.
  Bytes src(100);
  for (size_t i = 0; i < 100; ++i) src[i] = i < 60 ? 5 : uint8_t(100 + i);
  Bytes prev = src;
  std::fill(prev.begin() + 60, prev.end(), 0);
  EXPECT_EQ(TokenAt(Tokens(Variant::Best, Encode(Variant::Best, src, &prev, g), g, &prev), 0),
            "S60");
  EXPECT_EQ(TokenAt(Tokens(Variant::Fast, Encode(Variant::Fast, src, &prev, g), g, &prev), 0),
            "S60");
}

// Rows of 64 bytes, each starting with 1..19 and then: row 0 201, row 1
// rowOneByte, row 2 201; the rest of each row a run of its own. Row 1 copies 19
// or 20 bytes from the row above (no dictionary entry); at the start of row 2
// the row above matches 19 or 20 bytes and row 0 matches 20.
Bytes TieStrip(uint8_t rowOneByte) {
  Bytes b(192);
  for (size_t y = 0; y < 3; ++y) {
    for (size_t i = 0; i < 19; ++i) b[y * 64 + i] = uint8_t(1 + i);
    b[y * 64 + 19] = y == 1 ? rowOneByte : 201;
    for (size_t i = 20; i < 64; ++i) b[y * 64 + i] = uint8_t(150 + y);
  }
  return b;
}

TEST_F(JexCodecTest, WindowKeepsATieWithTheRowAbove) {
  const Geometry g{64, 1, 3};
  // Row 1: the row above (19 bytes: 8*19 - 12 = 140) beats the window copy
  // of the same bytes (8*19 - 14 - 2*3 = 132).
  auto tokens = Tokens(Variant::Best, Encode(Variant::Best, TieStrip(200), nullptr, g), g);
  EXPECT_EQ(TokenAt(tokens, 64), "A19") << Join(tokens);
  // Row 2: the window copy of 20 bytes from two rows up (140) ties with the
  // row above (19 bytes, 140) and stays.
  EXPECT_EQ(TokenAt(tokens, 128), "W64:20") << Join(tokens);
  // With the row above matching 20 bytes too, it gains 148 and wins.
  tokens = Tokens(Variant::Best, Encode(Variant::Best, TieStrip(201), nullptr, g), g);
  EXPECT_EQ(TokenAt(tokens, 64), "A20") << Join(tokens);
  EXPECT_EQ(TokenAt(tokens, 128), "A20") << Join(tokens);
}

TEST_F(JexCodecTest, RowAboveWinsTiesInFastAndShortRunsInBest) {
  // Row 1 starts with the three 7s of row 0: a run of 3 or a copy of 3.
  Bytes b = Hex({7, 7, 7, 1, 2, 3, 4, 5, 6, 8, 7, 7, 7, 9, 10, 11, 12, 13, 14, 15});
  const Geometry g{10, 1, 2};
  EXPECT_EQ(TokenAt(Tokens(Variant::Fast, Encode(Variant::Fast, b, nullptr, g), g), 10), "A3");
  // BEST: run 8*3 - 14 = 10 against the row above 8*3 - 12 = 12.
  EXPECT_EQ(TokenAt(Tokens(Variant::Best, Encode(Variant::Best, b, nullptr, g), g), 10), "A3");
}

TEST_F(JexCodecTest, DictionaryBeatsAnEqualWindowCopy) {
  // A 6-byte phrase three times, each with another byte after it: literals,
  // a window copy (which enters the dictionary), then dictionary slot 0
  // (8*6 - 12 = 36): a window copy must be longer to replace it.
  const Bytes phrase = Hex({11, 22, 33, 44, 55, 66});
  Bytes b;
  for (int k = 0; k < 3; ++k) {
    b.insert(b.end(), phrase.begin(), phrase.end());
    b.push_back(uint8_t(200 + k));
  }
  b.resize(24, 250);
  b[22] = 251;
  b[21] = 252;
  const Geometry g{24, 1, 1};
  auto tokens = Tokens(Variant::Best, Encode(Variant::Best, b, nullptr, g), g);
  EXPECT_EQ(TokenAt(tokens, 7), "W57:6") << Join(tokens);
  EXPECT_EQ(TokenAt(tokens, 14), "D0") << Join(tokens);
}

TEST_F(JexCodecTest, NarrowRowsCodeNearCopiesInRowZero) {
  // Rows of 8 bytes: copies 20 and 64 bytes back use code 64 - distance.
  for (int32_t distance : {20, 64}) {
    Bytes b(size_t(2 * distance));
    for (int32_t i = 0; i < distance; ++i) b[size_t(i)] = b[size_t(i + distance)] = uint8_t(i + 1);
    const Geometry g{8, 1, 2 * distance / 8};
    auto tokens = Tokens(Variant::Best, Encode(Variant::Best, b, nullptr, g), g);
    EXPECT_EQ(TokenAt(tokens, distance),
              "W" + std::to_string(64 - distance) + ":" + std::to_string(distance))
        << Join(tokens);
  }
}

TEST_F(JexCodecTest, SizeLimitIsCheckedAfterFastEndMarkerOnly) {
  // 30 or 34 distinct bytes and a run to the end of a 40-byte strip; the
  // limit is 38 bytes (stored 4-byte groups). FAST passes it only with its
  // end marker and gives up; BEST writes its end marker unchecked and keeps
  // a 42-byte stream.
  Bytes fastStrip(40), bestStrip(40);
  for (int i = 0; i < 40; ++i) {
    fastStrip[size_t(i)] = uint8_t(i < 34 ? 10 + i : 99);
    bestStrip[size_t(i)] = uint8_t(i < 30 ? 10 + i : 99);
  }
  const Geometry g{40, 1, 1};
  EXPECT_TRUE(Encode(Variant::Fast, fastStrip, nullptr, g).empty());
  Bytes best = Encode(Variant::Best, bestStrip, nullptr, g);
  EXPECT_EQ(best.size(), 42u);
  Bytes dest(40);
  ASSERT_TRUE(Decode(Variant::Best, best, dest, g));
  EXPECT_EQ(dest, bestStrip);
}

// Pairs (a, b) written as a b a b a b a b: two literals and a 6-byte window
// copy each, no two-byte sequence repeated across pairs.
std::vector<std::pair<uint8_t, uint8_t>> UniquePairs(size_t count) {
  std::set<std::pair<int, int>> seen;
  std::vector<std::pair<uint8_t, uint8_t>> pairs;
  std::mt19937 rng(77);
  int last = -1;
  while (pairs.size() < count) {
    int a = 1 + int(rng() % 255), b = 1 + int(rng() % 255);
    if (a == b || seen.count({a, b}) || seen.count({b, a}) || (last >= 0 && seen.count({last, a})))
      continue;
    seen.insert({a, b});
    seen.insert({b, a});
    if (last >= 0) seen.insert({last, a});
    pairs.emplace_back(uint8_t(a), uint8_t(b));
    last = b;
  }
  return pairs;
}

TEST_F(JexCodecTest, DictionaryWrapsAfter1024WindowCopies) {
  const auto pairs = UniquePairs(1100);
  Bytes b;
  for (auto [x, y] : pairs)
    for (int k = 0; k < 4; ++k) b.insert(b.end(), {x, y});
  // Far beyond the 12-row window (rows of 64 bytes): a flat gap, then the
  // 1025th pair (its copy took slot 0) and the first pair (its copy left the
  // dictionary).
  const size_t gapAt = b.size();
  b.resize(b.size() + 900, 0);
  const size_t again1025 = b.size();
  for (int k = 0; k < 4; ++k) b.insert(b.end(), {pairs[1024].first, pairs[1024].second});
  const size_t again1 = b.size();
  for (int k = 0; k < 4; ++k) b.insert(b.end(), {pairs[0].first, pairs[0].second});
  b.resize((b.size() + 63) / 64 * 64, 0);
  const Geometry g{64, 1, int32_t(b.size() / 64)};
  Bytes stream = Encode(Variant::Best, b, nullptr, g);
  ASSERT_FALSE(stream.empty());
  auto tokens = Tokens(Variant::Best, stream, g);
  size_t windows = 0;
  for (const auto& t : tokens) windows += t.text[0] == 'W' && size_t(t.pos) < gapAt;
  EXPECT_EQ(windows, 1100u);
  EXPECT_EQ(TokenAt(tokens, int32_t(again1025)), "D0") << "slot 0 holds the 1025th copy";
  EXPECT_EQ(TokenAt(tokens, int32_t(again1)), "L" + std::to_string(pairs[0].first))
      << "the first copy left the dictionary";
  Bytes dest(b.size());
  ASSERT_TRUE(Decode(Variant::Best, stream, dest, g));
  EXPECT_EQ(dest, b);
}

TEST_F(JexCodecTest, WideRowsBeyondSixteenBitSlotsRoundTrip) {
  // 1920 pixels of 3 bytes: the 12-row ring holds 69120 positions. Each row
  // repeats the row ten rows up, shifted, so the copies reach across the
  // whole ring.
  const Geometry g{1920, 3, 30};
  const int32_t L = g.W * g.B;
  const Bytes picture = MakePicture(g, 2);
  Bytes b(g.S());
  std::mt19937 rng(11);
  for (int32_t y = 0; y < g.R; ++y)
    for (int32_t x = 0; x < L; ++x) {
      uint8_t& v = b[size_t(y) * L + x];
      if (y < 10)
        v = picture[size_t(y) * L + x];
      else
        v = b[size_t(y - 10) * L + (x + 5) % L];
      if (rng() % 97 == 0) v = uint8_t(rng());
    }
  for (Variant v : {Variant::Best, Variant::Fast}) {
    for (const Bytes* prev : std::initializer_list<const Bytes*>{nullptr, &b}) {
      Bytes src = prev ? NextFrame(b, g, 5) : b;
      Bytes stream = Encode(v, src, prev, g);
      ASSERT_FALSE(stream.empty()) << Name(v);
      Bytes dest = prev ? *prev : Bytes(g.S());
      ASSERT_TRUE(Decode(v, stream, dest, g)) << Name(v);
      EXPECT_EQ(dest, src) << Name(v);
      Bytes ref = prev ? *prev : Bytes(g.S());
      ASSERT_TRUE(RefDecode(v, stream, ref, g.W, g.B, g.R)) << Name(v);
      EXPECT_EQ(ref, src) << Name(v);
    }
  }
}

// Strips built from copies of what came before at all kinds of distances
// (in the row, rows up, beyond the window), runs, repeated phrases and
// noise: every token kind, ties and wraps of the ring and the dictionary.
Bytes MakeCopies(Geometry g, std::mt19937& rng) {
  const int32_t L = g.W * g.B, S = int32_t(g.S());
  Bytes b(static_cast<size_t>(S));
  const int32_t alphabet = 2 + int32_t(rng() % 60);
  for (int32_t p = 0; p < S;) {
    const uint32_t pick = rng() % 10;
    if (pick < 5 && p > 0) {
      const int32_t reach[] = {1 + int32_t(rng() % 64),
                               L * (1 + int32_t(rng() % 13)) + int32_t(rng() % 129) - 64,
                               int32_t(rng() % uint32_t(p)) + 1, g.B};
      const int32_t d = std::max(1, std::min(p, reach[rng() % 4]));
      for (int32_t n = 2 + int32_t(rng() % 40); n > 0 && p < S; --n, ++p)
        b[size_t(p)] = b[size_t(p - d)];
    } else if (pick < 6) {
      const uint8_t v = uint8_t(rng());
      for (int32_t n = 2 + int32_t(rng() % 30); n > 0 && p < S; --n) b[size_t(p++)] = v;
    } else {
      b[size_t(p++)] = uint8_t(rng() % uint32_t(alphabet));
    }
  }
  return b;
}

TEST_F(JexCodecTest, ChoosesTheTokensOfThePlainCoders) {
  std::mt19937 rng(2024);
  int compressed = 0;
  for (int round = 0; round < 240; ++round) {
    Geometry g{1 + int32_t(rng() % 120), 1 + int32_t(rng() % 3), 1 + int32_t(rng() % 24)};
    if (round % 40 == 0) g = Geometry{300 + int32_t(rng() % 200), 1 + int32_t(rng() % 3), 16};
    if (round == 7) g = Geometry{1900, 3, 14};  // a ring of more than 65535 positions
    const Bytes prev = round % 3 == 0 ? MakePicture(g, uint32_t(round)) : MakeCopies(g, rng);
    Bytes src = MakeCopies(g, rng);
    if (round % 2 == 1) {  // a delta frame: much of the previous frame again
      for (size_t i = 0; i < src.size(); ++i)
        if ((i / 37 + size_t(round)) % 3 != 0) src[i] = prev[i];
    }
    const Bytes* q = round % 2 == 1 ? &prev : nullptr;
    for (Variant v : {Variant::Fast, Variant::Best}) {
      RefCoder ref(src, q, g.W, g.B, g.R);
      const Bytes expected = v == Variant::Fast ? ref.Fast() : ref.Best();
      ASSERT_EQ(Encode(v, src, q, g), expected)
          << Name(v) << " round " << round << ": " << g.W << "x" << g.B << "x" << g.R;
      compressed += !expected.empty();
    }
  }
  EXPECT_GT(compressed, 300) << "most of these strips compress";
}

// A fingerprint of the streams of varied strips (key and delta frames,
// pictures, photograph-like and predicted content, narrow to wide rows):
// reworking the coders must not change a single bit of their streams.
TEST_F(JexCodecTest, StreamsStayTheSame) {
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](const Bytes& stream) {
    for (uint8_t c : stream) h = (h ^ c) * 1099511628211ull;
    h = (h ^ stream.size()) * 1099511628211ull;
  };
  for (Geometry g : {Geometry{64, 1, 40}, Geometry{97, 2, 23}, Geometry{160, 3, 30},
                     Geometry{1920, 3, 14}, Geometry{7, 3, 5}, Geometry{300, 1, 200}}) {
    for (uint32_t seed = 0; seed < 2; ++seed) {
      const Bytes picture = MakePicture(g, seed), moved = NextFrame(picture, g, seed);
      const Bytes photo = MakePhoto(g, seed);
      Bytes panned(photo.size());
      for (size_t i = 0; i < photo.size(); ++i)
        panned[i] = uint8_t(photo[(i + size_t(g.B)) % photo.size()] + (i % 13 == 0));
      for (Variant v : {Variant::Fast, Variant::Best}) {
        mix(Encode(v, picture, nullptr, g));
        mix(Encode(v, moved, &picture, g));
        mix(Encode(v, photo, nullptr, g));
        mix(Encode(v, panned, &photo, g));
      }
      if (g.B == 3) {
        Bytes a(photo.size()), b(photo.size());
        PredictDiff(g.W * g.R, a.data(), photo.data());
        PredictDiff(g.W * g.R, b.data(), panned.data());
        mix(Encode(Variant::Best, a, nullptr, g));
        mix(Encode(Variant::Best, b, &a, g));
      }
    }
  }
  EXPECT_EQ(h, 0x8a4f60f893aafaa7ull) << std::hex << h;
}

// --- hostile streams -----------------------------------------------------------

TEST_F(JexCodecTest, CorruptStreamsAreRejected) {
  const std::string end12 = "000111000000", end10 = "0111000000";
  struct Case {
    Variant v;
    Geometry g;
    std::string bits;
    const char* what;
  };
  const Case cases[] = {
      {Variant::Best, {10, 1, 2}, "", "empty stream"},
      {Variant::Best, {10, 1, 2}, BitsOf(0x100, 12) + end12, "row-above copy in row 0"},
      {Variant::Best, {10, 1, 2}, BitsOf(0x600, 12) + "10" + end12, "window copy before the strip"},
      {Variant::Best, {10, 1, 2}, BitsOf(0x200, 12) + end12, "empty dictionary slot"},
      {Variant::Best, {10, 1, 2}, BitsOf(7, 12) + "00010101" + end12, "run past the end"},
      {Variant::Best, {10, 1, 2}, BitsOf(0x1BF, 12) + end12, "skip past the end"},
      {Variant::Best, {10, 1, 2}, BitsOf(0x1C0, 12) + "10" + end12, "long skip past the end"},
      {Variant::Best,
       {1, 1, 1},
       BitsOf(0x301, 10) + BitsOf(0x301, 10) + end12,
       "literal after the end"},
      {Variant::Best, {10, 1, 2}, BitsOf(9, 12) + "10", "no end marker"},
      {Variant::Fast, {10, 1, 2}, "", "empty stream"},
      {Variant::Fast, {10, 1, 2}, BitsOf(0x80, 9) + end10, "row-above copy in row 0"},
      {Variant::Fast, {10, 1, 2}, BitsOf(7, 10) + "00010101" + end10, "run past the end"},
      {Variant::Fast, {10, 1, 2}, BitsOf(0x1BF, 10) + end10, "skip past the end"},
      {Variant::Fast,
       {1, 1, 1},
       BitsOf(0x101, 9) + BitsOf(0x101, 9) + end10,
       "literal after the end"},
      {Variant::Fast, {10, 1, 2}, BitsOf(9, 10) + "10", "no end marker"},
  };
  for (const Case& c : cases) {
    Bytes dest(c.g.S());
    EXPECT_FALSE(Decode(c.v, FromBits(c.bits), dest, c.g)) << Name(c.v) << ": " << c.what;
  }
  Bytes dest(8);
  EXPECT_FALSE(JXDCBestDecode(nullptr, 4, dest.data(), 8, 1, 1));
  EXPECT_FALSE(JXDCFastDecode(dest.data(), 4, nullptr, 8, 1, 1));
  EXPECT_FALSE(JXDCBestDecode(dest.data(), 4, dest.data(), 8, 4, 1)) << "4 bytes per pixel";
  EXPECT_FALSE(JXDCFastDecode(dest.data(), 4, dest.data(), 0, 1, 1));
}

TEST_F(JexCodecTest, TruncatedAndGarbledStreamsStayInsideTheirBuffers) {
  // Guard bytes around the destination catch a stray write even without a
  // sanitizer; exact-size stream copies catch a stray read under one.
  const Geometry g{37, 3, 9};
  const Bytes src = MakePicture(g, 21);
  std::mt19937 rng(8);
  for (Variant v : {Variant::Fast, Variant::Best}) {
    const Bytes good = Encode(v, src, nullptr, g);
    ASSERT_FALSE(good.empty());
    for (int round = 0; round < 400; ++round) {
      Bytes bad = good;
      if (round % 3 == 0) {
        bad.resize(rng() % bad.size());
      } else if (round % 3 == 1) {
        for (int k = 0; k < 3; ++k) bad[rng() % bad.size()] ^= uint8_t(1 << (rng() % 8));
      } else {
        bad = Random(1 + rng() % 300, uint32_t(round));
      }
      Bytes guarded(g.S() + 64, 0xA5);
      Bytes exact(bad);
      const bool ok = v == Variant::Fast ? JXDCFastDecode(exact.data(), int32_t(exact.size()),
                                                          guarded.data() + 32, g.W, g.B, g.R)
                                         : JXDCBestDecode(exact.data(), int32_t(exact.size()),
                                                          guarded.data() + 32, g.W, g.B, g.R);
      for (size_t i = 0; i < 32; ++i) {
        ASSERT_EQ(guarded[i], 0xA5) << "write before the destination";
        ASSERT_EQ(guarded[guarded.size() - 1 - i], 0xA5) << "write after the destination";
      }
      const Bytes mine(guarded.begin() + 32, guarded.end() - 32);
      if (round % 3 == 0 && ok) {
        EXPECT_EQ(mine, src) << "a truncated stream that decodes is complete";
      }
    }
  }
}

// --- protected frames ---------------------------------------------------------

TEST_F(JexCodecTest, InvalidArgumentsAndFailedAllocationsRaiseAndReleaseEverything) {
  Bytes src(64, 1), out(64 + kJXDCOutSlack);
  ProtectedKeep([&] { JXDCBest(src.data(), out.data(), nullptr, false, 4, 1, 16); });
  EXPECT_EQ(ErrCategory(), ERR_EXCEPT);
  ProtectedKeep([&] { JXDCFast(nullptr, out.data(), nullptr, false, 1, 1, 64); });
  EXPECT_EQ(ErrCategory(), ERR_EXCEPT);
  MemFailAfter(1);
  ProtectedKeep([&] { JXDCBest(src.data(), out.data(), nullptr, false, 1, 1, 64); });
  MemFailAfter(-1);
  EXPECT_EQ(ErrCategory(), ERR_MEM);
  ErrClear();
  int32_t n = 0;
  ProtectedKeep([&] { n = JXDCBest(src.data(), out.data(), nullptr, false, 1, 1, 64); });
  EXPECT_TRUE(ErrNone());
  EXPECT_GT(n, 0);
}

}  // namespace
}  // namespace zelo
