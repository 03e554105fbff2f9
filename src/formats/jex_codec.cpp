// Unit FF_JEX, its codec: the BEST and FAST strip compressors, their
// decoders and the prediction step. The token choices decide the stream
// bytes, so every comparison, tie rule and order below is part of the format.
#include "formats/jex_codec.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "foundation/errors.h"
#include "foundation/monitor.h"

namespace zelo {
namespace {

constexpr int32_t kMaxLen = 767;      // largest value of the length code in tokens
constexpr int32_t kMaxSkip = 49089;   // longest skip one token holds: 1 + 64 x 767
constexpr int32_t kWindowMax = 766;   // longest window copy
constexpr int32_t kRingRows = 12;     // rows the copy window reaches up
constexpr int32_t kDictSlots = 1024;  // dictionary of window copies
constexpr int32_t kDictHeads = 16384;
constexpr uint32_t kEndMarker = 448;

enum class Kind { Literal, Skip, Run, Above, Dictionary, Window };

// Validated strip geometry.
struct Strip {
  int32_t B, L, S;
};

Strip CheckStrip(int32_t W, int32_t B, int32_t R) {
  if (B < 1 || B > 3 || W < 1 || R < 1) ThrowFault("Invalid strip geometry");
  const int64_t L = int64_t(W) * B;
  const int64_t S = L * R;
  if (S > INT32_MAX - kJXDCOutSlack) ThrowFault("Strip too large");
  return Strip{B, int32_t(L), int32_t(S)};
}

uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Number of leading bytes at a equal to those at b, at most max. The ranges
// may overlap (a copy that repeats data compares with itself).
inline int32_t MatchLen(const uint8_t* a, const uint8_t* b, int32_t max) {
  int32_t i = 0;
  while (i + 8 <= max) {
    uint64_t x = Load64(a + i) ^ Load64(b + i);
    if (x != 0) return i + (std::countr_zero(x) >> 3);
    i += 8;
  }
  while (i < max && a[i] == b[i]) ++i;
  return i;
}

// Equality of n bytes, compared from the end: a candidate that cannot beat
// the current best usually fails on its last byte.
inline bool SameBackwards(const uint8_t* a, const uint8_t* b, int32_t n) {
  while (n >= 8) {
    n -= 8;
    if (Load64(a + n) != Load64(b + n)) return false;
  }
  while (n > 0) {
    --n;
    if (a[n] != b[n]) return false;
  }
  return true;
}

// Bytes covered by the pixel at p and the equal pixels after it (whole pixels
// inside the strip, at most 767 pixels); 0 when the next pixel differs.
inline int32_t RunBytes(const uint8_t* b, int32_t p, int32_t B, int32_t S) {
  if (p + 2 * B > S) return 0;
  const int32_t room = std::min(kMaxLen * B, S - p) - B;  // bytes after the first pixel
  const int32_t same = MatchLen(b + p + B, b + p, room);
  const int32_t pixels = 1 + same / B;
  return pixels >= 2 ? pixels * B : 0;
}

// Bits of the length code beyond its shortest 2, halved: the number of the
// thresholds 3, 7, ..., 255 that v exceeds.
inline int32_t LenSteps(int32_t v) {
  static constexpr int32_t kSteps[] = {3, 7, 15, 31, 63, 127, 255};
  int32_t c = 0;
  for (int32_t t : kSteps) c += v > t;
  return c;
}

// The same for the length code of a long skip (thresholds 1, 3, ..., 255).
inline int32_t SkipSteps(int32_t f) {
  static constexpr int32_t kSteps[] = {1, 3, 7, 15, 31, 63, 127, 255};
  int32_t c = 0;
  for (int32_t t : kSteps) c += f > t;
  return c;
}

// 95 % of the strip, rounded to the nearest integer (ties to even).
int32_t SizeLimit(int32_t S) { return static_cast<int32_t>(std::nearbyint(0.95 * S)); }

// Clamps a token to the strip end; a run keeps whole pixels.
void ClampToken(Kind& kind, int32_t& n, int32_t p, int32_t S, int32_t B) {
  if (p + n > S) {
    n = S - p;
    if (kind == Kind::Run && B > 1) {
      n = B * (n / B);
      if (n < 2 * B) n = 1;
    }
  }
  if (n == 1) kind = Kind::Literal;
}

// The compressors' bit writer: the stream of BitPut and BitFlush, each whole
// byte stored as soon as it is complete, values of up to 56 bits at once.
class StreamWriter {
 public:
  explicit StreamWriter(uint8_t* out) : pos_(out) {}
  // Needs 8 writable bytes at the output position.
  void Put(int32_t n, uint64_t v) {
    acc_ = (acc_ << n) | v;
    bits_ += n;
    total_ += n;
    const uint64_t top = __builtin_bswap64(acc_ << (64 - bits_));
    std::memcpy(pos_, &top, 8);
    pos_ += bits_ >> 3;
    bits_ &= 7;
  }
  // The bytes of the 4-byte groups BitPut would have stored by now: it
  // stores a full group only when the next value does not fit.
  int32_t Stored() const { return total_ == 0 ? 0 : int32_t(((total_ - 1) >> 5) << 2); }
  // The stream length; the last byte is already padded with zero bits.
  int32_t Length() const { return int32_t((total_ + 7) >> 3); }

 private:
  uint8_t* pos_;
  uint64_t acc_ = 0;
  int32_t bits_ = 0;  // bits of acc_ not stored as a whole byte yet
  int64_t total_ = 0;
};

inline void BitPut(StreamWriter& w, int32_t n, uint64_t v) { w.Put(n, v); }

template <class Writer>
void PutLenCode(Writer& w, int32_t v) {
  if (v < 2 || v > kMaxLen) return;
  if (v >= 256) {
    BitPut(w, 16, uint32_t(v - 256));
  } else {
    const int32_t k = std::bit_width(uint32_t(v)) - 1;
    BitPut(w, 2 * k, uint32_t(v));
  }
}

void PutRunPixel(StreamWriter& w, const uint8_t* px, int32_t B, int32_t tokenBits) {
  // The token bits hold the first byte (B = 1, 3) or, as the top of the
  // little-endian value, the second byte (B = 2; BEST's 4 zero bits and
  // 16-bit value are the same 20 bits).
  if (B == 1) {
    BitPut(w, tokenBits, px[0]);
  } else if (B == 2) {
    BitPut(w, tokenBits + 8, px[0] + 256u * px[1]);
  } else {
    BitPut(w, tokenBits, px[0]);
    BitPut(w, 16, px[1] + 256u * px[2]);
  }
}

void PutSkip(StreamWriter& w, int32_t n, int32_t tokenBits) {
  if (n > 65) {
    BitPut(w, tokenBits, kEndMarker + uint32_t((n - 66) & 63));
    PutLenCode(w, (n + 62) / 64);
  } else {
    BitPut(w, tokenBits, uint32_t(382 + n));
  }
}

// --- FAST ---------------------------------------------------------------------

// Where FAST's longer tokens may start, for 16 positions from `at` (bit i:
// position at + i): two bytes as in the previous frame (skip), the pixel
// repeated (run), two bytes as in the row above (above). Every other
// position is a literal.
struct Openings {
  int32_t at = INT32_MIN / 2;
  uint32_t skip = 0, run = 0, above = 0;

  void Scan(const uint8_t* b, const uint8_t* q, const Strip& g, int32_t p);
};

void Openings::Scan(const uint8_t* b, const uint8_t* q, const Strip& g, int32_t p) {
  const int32_t B = g.B, L = g.L, S = g.S;
  at = p;
  skip = run = above = 0;
#if defined(__SSE2__)
  // Every load inside the strip, and the row above either there for all 16
  // positions or for none.
  if (p + B + 18 <= S && (p >= L || p + 16 <= L)) {
    auto eq = [](const uint8_t* x, const uint8_t* y) {
      return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x)),
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(y)));
    };
    __m128i r = eq(b + p, b + p + B);
    if (B >= 2) r = _mm_and_si128(r, eq(b + p + 1, b + p + 1 + B));
    if (B == 3) r = _mm_and_si128(r, eq(b + p + 2, b + p + 2 + B));
    run = uint32_t(_mm_movemask_epi8(r));
    if (q != nullptr)
      skip = uint32_t(_mm_movemask_epi8(_mm_and_si128(eq(b + p, q + p), eq(b + p + 1, q + p + 1))));
    if (p >= L)
      above = uint32_t(
          _mm_movemask_epi8(_mm_and_si128(eq(b + p, b + p - L), eq(b + p + 1, b + p + 1 - L))));
    return;
  }
#endif
  for (int32_t i = 0; i < 16 && p + i + 2 <= S; ++i) {
    const int32_t x = p + i;
    const uint32_t bit = uint32_t(1) << i;
    if (q != nullptr && b[x] == q[x] && b[x + 1] == q[x + 1]) skip |= bit;
    if (x + 2 * B <= S && std::memcmp(b + x, b + x + B, size_t(B)) == 0) run |= bit;
    if (x >= L && b[x] == b[x - L] && b[x + 1] == b[x + 1 - L]) above |= bit;
  }
}

// Literals of FAST: "1" and the byte, six to a value.
void PutLiterals(StreamWriter& w, const uint8_t* b, int32_t count) {
  // The six bytes at 9-bit steps, combined as a tree, with the six ones.
  constexpr uint64_t kOnes = 0x20100804020100ull;  // bit 8 + 9k, k = 0..5
  for (; count >= 6; count -= 6, b += 6) {
    const uint64_t v01 = (uint64_t(b[0]) << 45) | (uint64_t(b[1]) << 36);
    const uint64_t v23 = (uint64_t(b[2]) << 27) | (uint64_t(b[3]) << 18);
    const uint64_t v45 = (uint64_t(b[4]) << 9) | b[5];
    w.Put(54, v01 | v23 | v45 | kOnes);
  }
  if (count > 0) {
    uint64_t v = 0;
    for (int32_t i = 0; i < count; ++i) v = (v << 9) | (256u + b[i]);
    w.Put(9 * count, v);
  }
}

int32_t FastCore(const uint8_t* b, uint8_t* out, const uint8_t* q, const Strip& g) {
  const int32_t B = g.B, L = g.L, S = g.S;
  const int32_t limit = SizeLimit(S);
  StreamWriter w(out);
  Openings o;
  int32_t p = 0;
  while (p < S) {
    // Up to the next opening: literals, checked against the limit in pieces
    // (the stored size only grows, so a piece passes the limit when one of
    // its tokens does).
    int32_t stop = p;
    for (;;) {
      if (stop >= o.at + 16) o.Scan(b, q, g, stop);
      const uint32_t open = (o.skip | o.run | o.above) >> (stop - o.at);
      if (open != 0) {
        stop += std::countr_zero(open);
        break;
      }
      stop = o.at + 16;
      if (stop >= S) {
        stop = S;
        break;
      }
      if (stop - p >= 240) {
        PutLiterals(w, b + p, stop - p);
        p = stop;
        if (w.Stored() > limit) return 0;
      }
    }
    if (p < stop) {
      PutLiterals(w, b + p, stop - p);
      p = stop;
      if (p == S) BitPut(w, 10, kEndMarker);
      if (w.Stored() > limit) return 0;
      if (p == S) break;
    }
    const int32_t bit = p - o.at;
    int32_t n = 1;
    Kind kind = Kind::Literal;
    if ((((o.skip | o.run) >> bit) & 1) == 0) {  // the row above only, the common case
      n = 2 + MatchLen(b + p + 2, b + p - L + 2, std::min(65, S - p) - 2);
      BitPut(w, 9, 128u + uint32_t(n - 2));
      p += n;
      if (p == S) BitPut(w, 10, kEndMarker);
      if (w.Stored() > limit) return 0;
      continue;
    }
    if ((o.skip >> bit) & 1) {
      n = 2 + MatchLen(b + p + 2, q + p + 2, std::min(kMaxSkip, S - p) - 2);
      kind = Kind::Skip;
    }
    if (n < kMaxLen * B) {
      if ((o.run >> bit) & 1) {
        const int32_t run = RunBytes(b, p, B, S);
        if (run > n) {
          n = run;
          kind = Kind::Run;
        }
      }
      if (n <= 65 && ((o.above >> bit) & 1)) {
        const int32_t above = 2 + MatchLen(b + p + 2, b + p - L + 2, std::min(65, S - p) - 2);
        if (above >= n) {  // a tie goes to the row above
          n = above;
          kind = Kind::Above;
        }
      }
    }
    ClampToken(kind, n, p, S, B);
    switch (kind) {
      case Kind::Literal:
        BitPut(w, 9, 256u + b[p]);
        break;
      case Kind::Above:
        BitPut(w, 9, 128u + uint32_t((n - 2) & 63));
        break;
      case Kind::Run:
        PutRunPixel(w, b + p, B, 10);
        PutLenCode(w, n / B);
        break;
      default:
        PutSkip(w, n, 10);
        break;
    }
    p += n;
    if (p == S) BitPut(w, 10, kEndMarker);
    if (w.Stored() > limit) return 0;
  }
  return w.Length();
}

// --- BEST ---------------------------------------------------------------------

// The window search visits, column by column, the positions of the last 12
// rows whose first two bytes hash like those at p, newest first, and keeps
// the first of the longest matches. Only a position whose first two bytes
// equal those at p can win, and one that cannot beat the best so far changes
// nothing. So positions are linked here on two chains per column, by a hash
// of their first 2 and of their first 3 bytes, and each entry keeps the
// position's first 8 bytes, so that most positions are passed over without
// reading the strip. Matches of 3 bytes and more are all on the 3-byte chain,
// in the same order as on any chain; without one, the first match of 2 bytes
// on the 2-byte chain is the first of the longest. The choice is the one
// plain 10-bit hash chains give (tests compare), with far fewer visits.
constexpr int32_t kBuckets = 4096;  // chain heads per 64-byte column and chain

// One position of the last 12 rows: the next older position on each chain
// and its first 8 bytes (bytes beyond the strip 0). Positions are held in
// 32 bits: the ring has 12 x L entries, more than 16-bit slot numbers can
// name from L = 5462 on.
struct alignas(16) RingEntry {
  int32_t older[2];  // on the chains of the first 2 and the first 3 bytes
  uint64_t bytes;
};

// Bucket of a value among a power of two of chain heads.
template <int32_t Heads>
inline uint32_t HashTo(uint64_t value) {
  return (uint32_t(value) * 0x9E3779B1u) >> (32 - std::countr_zero(uint32_t(Heads)));
}

// a mod d for a fixed d without a division (Lemire, Kaser, Kurz 2019).
class FastMod {
 public:
  explicit FastMod(uint32_t d) : m_(UINT64_MAX / d + 1), d_(d) {}
  uint32_t operator()(uint32_t a) const {
    return uint32_t((static_cast<unsigned __int128>(m_ * a) * d_) >> 64);
  }

 private:
  uint64_t m_;
  uint32_t d_;
};

// One window copy of the dictionary; entries are named by their sequence
// number (slot = sequence mod 1024), which is still valid while it is among
// the last 1024 copies.
struct DictEntry {
  int32_t older;  // sequence number of the next older copy with the same hash
  int32_t count;
  int32_t pos;
  uint64_t bytes;  // the first 8 bytes of the copy (beyond it: any)
};

struct BestTables {
  int32_t* heads;      // ChFrs: newest position per chain, column and bucket, -1 for none
  RingEntry* ring;     // ChTab: 12 x L entries, position p in slot p mod 12L
  DictEntry* dict;     // IdxTab: kDictSlots entries, then kDictHeads heads
  int32_t* dictHeads;  // newest sequence number per bucket of the first two bytes, -1 for none
};

class BestCoder {
 public:
  BestCoder(const uint8_t* b, const uint8_t* q, const Strip& g, const BestTables& t)
      : b_(b),
        q_(q),
        B_(g.B),
        L_(g.L),
        S_(g.S),
        RL_(kRingRows * g.L),
        cols_((g.L + 63) / 64),
        modL_(uint32_t(g.L)),
        t_(t) {}

  int32_t Run(uint8_t* out);

 private:
  uint32_t ByteAt(int64_t i) const { return i < S_ ? b_[i] : 0u; }
  // The 8 bytes from i, little-endian, 0 beyond the strip.
  uint64_t Bytes8(int32_t i) const {
    if (i + 8 <= S_) return Load64(b_ + i);
    uint64_t v = 0;
    for (int32_t k = 0; k < 8; ++k) v |= uint64_t(ByteAt(int64_t(i) + k)) << (8 * k);
    return v;
  }
  int32_t* Heads(int32_t col, int32_t chain = 0) const {
    return t_.heads + (int64_t(chain) * cols_ + col) * kBuckets;
  }

  // The part of the ring a window copy at p can use.
  struct Window {
    int32_t lowest;  // oldest position in the ring
    int32_t r1;      // (p - 64) rem L, truncating
    int32_t firstCol, lastCol;
  };
  Window WindowAt(int32_t p) const;

  // bytes: the 8 bytes from p (Bytes8).
  void SearchDictionary(int32_t p, uint64_t bytes, int32_t& n, Kind& kind, int32_t& gain,
                        int32_t& slot) const;
  void SearchWindow(int32_t p, uint64_t bytes, int32_t& n, Kind& kind, int32_t& gain,
                    int32_t& code) const;
  void AddToDictionary(int32_t p, uint64_t bytes, int32_t n);
  void Insert(int32_t p, int32_t n);

  const uint8_t* b_;
  const uint8_t* q_;
  const int32_t B_, L_, S_, RL_;
  const int32_t cols_;  // 64-byte columns of a row
  const FastMod modL_;
  BestTables t_;
  int32_t ringSlot_ = 0;  // slot of the next position to insert (p mod 12L)
  int32_t ringCol_ = 0;   // that position mod L
  int32_t copies_ = 0;    // window copies entered into the dictionary
};

void BestCoder::SearchDictionary(int32_t p, uint64_t bytes, int32_t& n, Kind& kind, int32_t& gain,
                                 int32_t& slot) const {
  int32_t t = n - 1;
  int32_t remembered = -1;
  const int32_t oldest = copies_ - kDictSlots;
  // Only copies starting with the two bytes at p can be repeated; the chains
  // link them by a hash of those two bytes, newest first, in the order plain
  // 14-bit hash chains give.
  for (int32_t s = t_.dictHeads[HashTo<kDictHeads>(bytes & 0xFFFF)]; s >= 0 && s >= oldest;) {
    const int32_t entry = s & (kDictSlots - 1);
    const DictEntry& e = t_.dict[entry];
    const int32_t c = e.count;
    s = e.older;
    if (c <= t || p + c > S_) continue;
    const uint64_t x = e.bytes ^ bytes;
    const int32_t same = x != 0 ? std::countr_zero(x) >> 3 : 8;
    if (c <= 8 ? same < c : same < 8 || !SameBackwards(b_ + e.pos + 8, b_ + p + 8, c - 8)) continue;
    t = c;
    remembered = entry;
  }
  if (remembered >= 0 && 8 * t - 12 > gain) {
    n = t;
    kind = Kind::Dictionary;
    gain = 8 * t - 12;
    slot = remembered;
  }
}

BestCoder::Window BestCoder::WindowAt(int32_t p) const {
  Window w;
  w.lowest = std::max(0, p - RL_);
  // Positions V with (V - r1) rem L in 0..127 can be coded: the remainder of
  // truncating division, negative for p below 64 and for V below r1.
  w.r1 = p >= 64 ? int32_t(modL_(uint32_t(p - 64))) : -int32_t(modL_(uint32_t(64 - p)));
  w.firstCol = (w.r1 < 0 ? w.r1 + L_ : w.r1) >> 6;
  w.lastCol = int32_t(modL_(uint32_t(p + 63))) >> 6;
  return w;
}

void BestCoder::SearchWindow(int32_t p, uint64_t bytes, int32_t& n, Kind& kind, int32_t& gain,
                             int32_t& code) const {
  const int32_t t0 = std::max(n, 2) - 1;
  // A candidate must match t + 1 bytes inside the strip and stays within 766.
  const int32_t most = std::min(kWindowMax, S_ - p);
  if (t0 >= most) return;
  const Window w = WindowAt(p);
  int32_t found = -1;
  int32_t t = t0;
  // Walks one chain; first: stop at the first position that beats t.
  auto walk = [&](int32_t chain, uint32_t bucket, bool first) {
    for (int32_t col = w.firstCol;; col = col + 1 == cols_ ? 0 : col + 1) {
      for (int32_t v = Heads(col, chain)[bucket]; v >= w.lowest;) {
        int32_t slot = ringSlot_ - (p - v);
        if (slot < 0) slot += RL_;
        const RingEntry& e = t_.ring[slot];
        const int32_t cand = v;
        v = e.older[chain];
        // The first differing byte gives the match length (bytes beyond the
        // strip read as 0, but `most` ends a match before them).
        const uint64_t x = e.bytes ^ bytes;
        int32_t l = x != 0 ? std::min(std::countr_zero(x) >> 3, most) : most;
        if (l <= t) continue;
        if (cand < w.r1 || modL_(uint32_t(cand - w.r1)) >= 128) continue;
        if (x == 0 && most > 8) {
          l = 8 + MatchLen(b_ + p + 8, b_ + cand + 8, most - 8);
          if (l <= t) continue;
        }
        t = l;
        found = cand;
        if (first || t >= most) return;
      }
      if (col == w.lastCol) return;
    }
  };
  if (most < 3) {
    walk(0, HashTo<kBuckets>(bytes & 0xFFFF), false);
  } else {
    // Matches of 3 bytes and more are all on the 3-byte chain, in the same
    // order; without one, the first match of 2 bytes is the first longest.
    t = std::max(t0, 2);
    walk(1, HashTo<kBuckets>(bytes & 0xFFFFFF), false);
    if (found < 0 && t0 == 1) {
      t = 1;
      walk(0, HashTo<kBuckets>(bytes & 0xFFFF), true);
    }
  }
  if (found < 0) return;
  const int32_t g = 8 * t - 14 - 2 * LenSteps(t);
  if (g <= gain) return;
  n = t;
  kind = Kind::Window;
  gain = g;
  const int32_t D = p - found;
  const int32_t w0 = std::max(0, (D + L_ - 65) / L_);
  const int32_t base = p - w0 * L_;
  code = found < base ? 64 * w0 + 64 - (base - found) : 64 * (w0 + 11) + (found - base);
}

void BestCoder::AddToDictionary(int32_t p, uint64_t bytes, int32_t n) {
  // The slot taken over (sequence copies_ - 1024) drops out of its chain
  // because chains end at the oldest sequence number still held.
  int32_t& head = t_.dictHeads[HashTo<kDictHeads>(bytes & 0xFFFF)];
  t_.dict[copies_ & (kDictSlots - 1)] = DictEntry{head, n, p, bytes};
  head = copies_;
  ++copies_;
}

void BestCoder::Insert(int32_t p, int32_t n) {
  // Chains end at the oldest position of the ring, so the position leaving
  // the ring needs no unlinking.
  for (const int32_t end = p + n; p < end; ++p) {
    const uint64_t bytes = Bytes8(p);
    const int32_t col = ringCol_ >> 6;
    int32_t& head2 = Heads(col, 0)[HashTo<kBuckets>(bytes & 0xFFFF)];
    int32_t& head3 = Heads(col, 1)[HashTo<kBuckets>(bytes & 0xFFFFFF)];
    t_.ring[ringSlot_] = RingEntry{{head2, head3}, bytes};
    head2 = p;
    head3 = p;
    if (++ringSlot_ == RL_) ringSlot_ = 0;
    if (++ringCol_ == L_) ringCol_ = 0;
  }
}

int32_t BestCoder::Run(uint8_t* out) {
  const int32_t limit = SizeLimit(S_);
  StreamWriter w(out);
  int32_t p = 0;
  while (p < S_) {
    int32_t n = 1;
    Kind kind = Kind::Literal;
    int32_t gain = 0;
    int32_t slot = 0;
    int32_t code = 0;
    if (q_ != nullptr) {
      const int32_t e = MatchLen(b_ + p, q_ + p, std::min(kMaxSkip, S_ - p));
      if (e >= 2) {
        n = e;
        kind = Kind::Skip;
        gain = 8 * e - 12 - 2 * SkipSteps((e + 62) / 64);
      }
    }
    if (n < kMaxLen * B_) {
      const int32_t r = RunBytes(b_, p, B_, S_);
      const int32_t g = 8 * r - 14 - 2 * LenSteps(r / B_) - 8 * (B_ - 1);
      if (g > gain) {
        n = r;
        kind = Kind::Run;
        gain = g;
      }
      if (n <= kMaxLen) {
        const uint64_t bytes = Bytes8(p);
        SearchDictionary(p, bytes, n, kind, gain, slot);
        if (p > 0) SearchWindow(p, bytes, n, kind, gain, code);
        if (p >= L_) {
          const int32_t a = MatchLen(b_ + p, b_ + p - L_, std::min(129, S_ - p));
          if (8 * a - 12 > gain) {
            n = a;
            kind = Kind::Above;
          }
        }
      }
    }
    ClampToken(kind, n, p, S_, B_);
    switch (kind) {
      case Kind::Literal:
        BitPut(w, 10, 768u + b_[p]);
        break;
      case Kind::Run:
        PutRunPixel(w, b_ + p, B_, 12);
        PutLenCode(w, n / B_);
        break;
      case Kind::Above:
        BitPut(w, 12, uint32_t(n + 254));
        break;
      case Kind::Skip:
        PutSkip(w, n, 12);
        break;
      case Kind::Dictionary:
        BitPut(w, 12, uint32_t(512 + slot));
        break;
      case Kind::Window:
        BitPut(w, 12, uint32_t(1536 + code));
        PutLenCode(w, n);
        AddToDictionary(p, Bytes8(p), n);
        break;
    }
    if (p + n == S_) {
      BitPut(w, 12, kEndMarker);
      break;
    }
    if (w.Stored() > limit) return 0;
    Insert(p, n);
    p += n;
  }
  return w.Length();
}

// --- decoders -------------------------------------------------------------------

// Copies n bytes between ranges that do not overlap; short copies, the
// common case, without a call.
inline void CopyApart(uint8_t* dst, const uint8_t* src, size_t n) {
  if (n >= 8) {
    if (n > 16) {
      std::memcpy(dst, src, n);
      return;
    }
    const uint64_t head = Load64(src), tail = Load64(src + n - 8);
    std::memcpy(dst, &head, 8);
    std::memcpy(dst + n - 8, &tail, 8);
  } else if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, src, 4);
    std::memcpy(&tail, src + n - 4, 4);
    std::memcpy(dst, &head, 4);
    std::memcpy(dst + n - 4, &tail, 4);
  } else if (n > 0) {
    const uint8_t a = src[0], b = src[n / 2], c = src[n - 1];
    dst[0] = a;
    dst[n / 2] = b;
    dst[n - 1] = c;
  }
}

// Copies n bytes from src to dst byte by byte from lower to higher addresses:
// a source that overlaps the destination from below repeats its data.
inline void CopyForward(uint8_t* dst, const uint8_t* src, size_t n) {
  if (src < dst && size_t(dst - src) >= n) {
    CopyApart(dst, src, n);
    return;
  }
  if (src >= dst) {
    std::memmove(dst, src, n);
    return;
  }
  const size_t dist = size_t(dst - src);
  if (dist == 1) {
    std::memset(dst, src[0], n);
  } else if (dist >= 8) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) std::memcpy(dst + i, src + i, 8);
    for (; i < n; ++i) dst[i] = src[i];
  } else {
    for (size_t i = 0; i < n; ++i) dst[i] = src[i];
  }
}

// Writes count copies of the B-byte pixel px at dst.
inline void FillPixels(uint8_t* dst, const uint8_t* px, int32_t B, size_t count) {
  if (B == 1) {
    std::memset(dst, px[0], count);
    return;
  }
  const size_t total = count * size_t(B);
  std::memcpy(dst, px, size_t(B));
  for (size_t done = size_t(B); done < total;) {
    const size_t c = std::min(done, total - done);
    std::memcpy(dst + done, dst, c);
    done += c;
  }
}

// Reads a run token's pixel; the first bits were the token value t.
inline void ReadRunPixel(JXBitReader& r, uint32_t t, int32_t B, uint8_t* px) {
  if (B == 1) {
    px[0] = uint8_t(t);
  } else if (B == 2) {
    px[1] = uint8_t(t);
    px[0] = uint8_t(r.Get(8));
  } else {
    px[0] = uint8_t(t);
    uint32_t v = r.Get(16);
    px[2] = uint8_t(v >> 8);
    px[1] = uint8_t(v);
  }
}

// The tokens both variants share, each checked against the strip once.
struct DecodeState {
  uint8_t* const dest;
  uint8_t* const end;
  uint8_t* out;
  const int32_t B, L;

  size_t Room() const { return size_t(end - out); }
  // The literal at the reader and those right after it that one refill holds
  // (5 or 6), Bits long each: a prefix of ones (1 for FAST, 2 for BEST) and
  // the byte. With 8 bytes of room they go out in one store that keeps the
  // bytes after them.
  template <int Bits>
  bool Literals(JXBitReader& r) {
    constexpr int kCount = 54 / Bits, kByteAt = 64 - Bits;  // shift of the first byte
    if (Room() < 8) {
      if (out == end) return false;
      *out++ = uint8_t(r.Window() >> kByteAt);
      r.Skip(Bits);
      return true;
    }
    const uint64_t w = r.Window();
    // Top bit of each token's prefix, set when the whole prefix is ones.
    const uint64_t ones = Bits == 9 ? w : w & (w << 1);
    uint64_t marks = 0, bytes = 0;
    for (int i = 0; i < kCount; ++i) {
      marks |= uint64_t(1) << (63 - Bits * i);
      bytes |= ((w >> (kByteAt - Bits * i)) & 0xFF) << (8 * i);
    }
    const uint64_t breaks = ~ones & marks;
    const int k = breaks != 0 ? std::countl_zero(breaks) / Bits : kCount;
    const uint64_t keep = ~uint64_t(0) << (8 * k);
    const uint64_t merged = (Load64(out) & keep) | (bytes & ~keep);
    std::memcpy(out, &merged, 8);
    out += k;
    r.Skip(Bits * k);
    return true;
  }
  bool Run(JXBitReader& r, uint32_t t) {
    uint8_t px[3];
    ReadRunPixel(r, t, B, px);
    const size_t count = size_t(GetLen(r));
    if (count * size_t(B) > Room()) return false;
    FillPixels(out, px, B, count);
    out += count * size_t(B);
    return true;
  }
  // Copies n bytes from src, which lies in the destination, to the output;
  // the room is checked. Up to 8 bytes from wholly behind the output go in
  // one store that keeps the bytes after them.
  void CopyOut(const uint8_t* src, size_t n) {
    if (n <= 8 && src + n <= out && Room() >= 8) {
      const uint64_t keep = n == 8 ? 0 : ~uint64_t(0) << (8 * n);
      const uint64_t v = (Load64(out) & keep) | (Load64(src) & ~keep);
      std::memcpy(out, &v, 8);
    } else {
      CopyForward(out, src, n);
    }
    out += n;
  }
  bool Above(size_t n) {
    if (out - dest < L || n > Room()) return false;
    CopyOut(out - L, n);
    return true;
  }
  bool Skip(size_t n) {
    if (n > Room()) return false;
    out += n;
    return true;
  }
  // 0x1C0..0x1FF: the end of the strip once it is full, else a long skip.
  // Returns 1 at the end, 0 after a skip, -1 for a fault.
  int LongSkip(JXBitReader& r, uint32_t t) {
    if (out == end) return 1;
    const int64_t n = int64_t(t) - 510 + 64 * int64_t(GetLen(r));
    if (n < 1 || uint64_t(n) > Room()) return -1;
    out += n;
    return 0;
  }
};

}  // namespace

void PutLen(JXBitWriter& w, int32_t v) { PutLenCode(w, v); }

int32_t JXDCFast(const uint8_t* src, uint8_t* out, const uint8_t* prev, bool usePrev, int32_t B,
                 int32_t R, int32_t W) {
  int32_t result = 0;
  Routine("FF_JEX.JXDCFast", [&] {
    CheckPtr(src);
    CheckPtr(out);
    const Strip g = CheckStrip(W, B, R);
    result = FastCore(src, out, usePrev ? prev : nullptr, g);
    ErrRaise(ERR_MVI, 0, 4100);
  });
  return result;
}

int32_t JXDCBest(const uint8_t* src, uint8_t* out, const uint8_t* prev, bool usePrev, int32_t B,
                 int32_t R, int32_t W) {
  int32_t result = 0;
  Routine("FF_JEX.JXDCBest", [&] {
    CheckPtr(src);
    CheckPtr(out);
    const Strip g = CheckStrip(W, B, R);
    const int32_t cols = (g.L + 63) / 64;
    // The ring of 12 rows is one tracked block.
    const int64_t ringBytes = int64_t(kRingRows) * g.L * int64_t(sizeof(RingEntry));
    if (ringBytes > INT32_MAX / 2) ThrowFault("Strip too large");
    int32_t* chFrs = nullptr;
    RingEntry* chTab = nullptr;
    uint8_t* idxTab = nullptr;
    _memalloc_(&chFrs, 2 * cols * kBuckets * int32_t(sizeof(int32_t)), 4101, MEM_BLOCK,
               "FF_JEX.JXDCBest.ChFrs");
    _memalloc_(&chTab, int32_t(ringBytes), 4102, MEM_BLOCK, "FF_JEX.JXDCBest.ChTab");
    _memalloc_(&idxTab, int32_t(kDictSlots * sizeof(DictEntry) + kDictHeads * sizeof(int32_t)),
               4103, MEM_BLOCK, "FF_JEX.JXDCBest.IdxTab");
    BestTables t{chFrs, chTab, reinterpret_cast<DictEntry*>(idxTab),
                 reinterpret_cast<int32_t*>(idxTab + kDictSlots * sizeof(DictEntry))};
    std::fill_n(t.heads, 2 * size_t(cols) * kBuckets, -1);
    std::fill_n(t.dictHeads, kDictHeads, -1);
    BestCoder coder(src, usePrev ? prev : nullptr, g, t);
    result = coder.Run(out);
    MemFree(&idxTab);
    MemFree(&chTab);
    MemFree(&chFrs);
    ErrRaise(ERR_MVI, 0, 4104);
  });
  return result;
}

bool JXDCBestDecode(const uint8_t* stream, int32_t length, uint8_t* dest, int32_t W, int32_t B,
                    int32_t R) {
  if (dest == nullptr || (stream == nullptr && length > 0)) return false;
  if (B < 1 || B > 3 || W < 1 || R < 1 || int64_t(W) * B * R > INT32_MAX) return false;
  const int32_t L = W * B;
  DecodeState st{dest, dest + int64_t(L) * R, dest, B, L};
  // Distances of the 24 window rows: 0..11 reach left, 12..23 right.
  int64_t rowOffset[24];
  for (int32_t r = 0; r < 12; ++r) rowOffset[r] = 64 + int64_t(r) * L;
  for (int32_t r = 12; r < 24; ++r) rowOffset[r] = int64_t(r - 11) * L;
  struct Copy {
    uint32_t pos;
    uint32_t count;  // 0: slot not filled yet
  } dict[kDictSlots] = {};
  int32_t slot = 0;
  JXBitReader r(stream, length);
  while (r.Refill()) {
    uint32_t t = r.Peek(12);
    if (t >= 0xC00) {  // literals: "11" and the byte
      if (!st.Literals<10>(r)) return false;
      continue;
    }
    r.Skip(12);
    if (t >= 0x600) {  // window copies and literals are the common tokens
      const uint32_t c = t - 1536;
      const size_t n = size_t(GetLen(r));
      const int64_t from = (st.out - dest) - rowOffset[c >> 6] + (c & 63);
      if (from < 0 || n > st.Room() || uint64_t(from) + n > uint64_t(st.end - dest)) return false;
      dict[slot] = Copy{uint32_t(st.out - dest), uint32_t(n)};
      slot = (slot + 1) & (kDictSlots - 1);
      st.CopyOut(dest + from, n);
    } else if (t >= 0x200) {
      const Copy& c = dict[t - 512];
      if (c.count == 0 || c.count > st.Room()) return false;
      st.CopyOut(dest + c.pos, c.count);  // always wholly behind the output
    } else if (t < 0x100) {
      if (!st.Run(r, t)) return false;
    } else if (t < 0x180) {
      if (!st.Above(t - 254)) return false;
    } else if (t < 0x1C0) {
      if (!st.Skip(t - 382)) return false;
    } else {
      const int e = st.LongSkip(r, t);
      if (e != 0) return e > 0;
    }
  }
  return false;  // the stream ended before the end marker
}

bool JXDCFastDecode(const uint8_t* stream, int32_t length, uint8_t* dest, int32_t W, int32_t B,
                    int32_t R) {
  if (dest == nullptr || (stream == nullptr && length > 0)) return false;
  if (B < 1 || B > 3 || W < 1 || R < 1 || int64_t(W) * B * R > INT32_MAX) return false;
  const int32_t L = W * B;
  DecodeState st{dest, dest + int64_t(L) * R, dest, B, L};
  JXBitReader r(stream, length);
  while (r.Refill()) {
    uint32_t t = r.Peek(10);
    if (t >= 0x200) {  // literals: "1" and the byte
      if (!st.Literals<9>(r)) return false;
    } else if (t < 0x100) {
      r.Skip(10);
      if (!st.Run(r, t)) return false;
    } else if (t < 0x180) {  // 9 bits: 128 + (n - 2)
      r.Skip(9);
      if (!st.Above((t >> 1) - 126)) return false;
    } else if (t < 0x1C0) {
      r.Skip(10);
      if (!st.Skip(t - 382)) return false;
    } else {
      r.Skip(10);
      const int e = st.LongSkip(r, t);
      if (e != 0) return e > 0;
    }
  }
  return false;
}

void PredictDiff(int32_t n, uint8_t* dest, const uint8_t* src) {
  uint8_t l0 = 0, l1 = 0, l2 = 0;
  for (int32_t i = 0; i < n; ++i, src += 3, dest += 3) {
    const uint8_t c0 = src[0], c1 = src[1], c2 = src[2];
    dest[0] = uint8_t(c0 - l0);
    dest[1] = uint8_t(c1 - l1);
    dest[2] = uint8_t(c2 - l2);
    l0 = c0;
    l1 = c1;
    l2 = c2;
  }
}

void PredictSum(int32_t n, uint8_t* dest, const uint8_t* src) {
  uint8_t s0 = 0, s1 = 0, s2 = 0;
  for (int32_t i = 0; i < n; ++i, src += 3, dest += 3) {
    s0 = uint8_t(s0 + src[0]);
    s1 = uint8_t(s1 + src[1]);
    s2 = uint8_t(s2 + src[2]);
    dest[0] = s0;
    dest[1] = s1;
    dest[2] = s2;
  }
}

}  // namespace zelo
