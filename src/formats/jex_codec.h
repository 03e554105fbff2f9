// Unit FF_JEX, its codec: the lossless strip coder of JEX movies.
//
// A strip is R whole rows of W pixels of B bytes (B = 1, 2 or 3), a byte
// string of S = R x L bytes with the row length L = W x B. Two variants share
// one bit-stream convention (most significant bit first, zero-padded to a
// whole byte) and one length code:
//   BEST (JXDCBest)  runs, unchanged runs (skips), copies from the row above,
//                    a two-dimensional copy window over the last 12 rows and a
//                    dictionary of the last 1024 window copies;
//   FAST (JXDCFast)  runs, skips, row-above copies and literals only.
// Streams are part of the file format: every input gives exactly one stream.
//
// Compressing
//   out must hold at least S + kJXDCOutSlack bytes (the container allocates
//   frame bytes + 8192); the coders write at most 0.95 x S + 320 bytes of it.
//   A compressor stops as soon as its stream passes 95 % of S (counted in
//   4-byte groups) and returns 0: the strip did not compress and is stored
//   raw. Otherwise it returns the stream length in bytes (at least 1); BEST
//   does not check its last token and end marker, so its stream can end a
//   few bytes beyond 95 % of S (beyond S for strips of a few dozen bytes).
//   prev is the same strip of the data given for the previous frame; skip
//   tokens are used only when usePrev is true and prev is given. Note the
//   argument orders: B, R, W here, W, B, R to decode.
//   The compressors run in the protected frames "FF_JEX.JXDCBest" and
//   "FF_JEX.JXDCFast": invalid arguments (null buffers, B outside 1..3,
//   W or R below 1, S too large) throw EFault there, which the frame turns
//   into an exception error; a failed table allocation raises the memory
//   error. Either unwinds to the caller's frame; nothing stays allocated.
//   A call keeps all its state (bit writer, tables) to itself.
//
// Decompressing
//   dest holds S bytes; skip tokens leave bytes untouched, so for a delta
//   frame dest must hold the previous frame. The decoders return false for
//   a corrupt stream (the container reports "Cannot decompress movie image
//   data."), also for invalid arguments; dest may then be partly written.
//   Whatever the stream, a decoder reads only stream[0 .. length), writes
//   only dest[0 .. S), copies only from inside dest, and ends after at most
//   one token per 9 stream bits. A token that starts beyond the stream is a
//   fault; bits after the end marker are ignored.
#pragma once

#include <cstdint>
#include <cstring>

#include "foundation/basic.h"

namespace zelo {

constexpr int32_t kJXDCOutSlack = 8192;  // output bytes needed beyond the strip size

// --- bit writer -------------------------------------------------------------
// A 32-bit accumulator stored as big-endian 4-byte groups when a value does
// not fit; the size limit of the compressors counts the stored groups.
struct JXBitWriter {
  uint32_t acc = 0;
  int32_t free = 32;  // free bits in acc
  uint8_t* start = nullptr;
  uint8_t* pos = nullptr;  // next 4-byte group

  explicit JXBitWriter(uint8_t* buffer) : start(buffer), pos(buffer) {}
  int32_t Stored() const { return static_cast<int32_t>(pos - start); }
};

// Appends the n (1..32) low bits of v (v below 2^n), most significant first.
inline void BitPut(JXBitWriter& w, int32_t n, uint32_t v) {
  if (w.free >= n) {
    w.acc = static_cast<uint32_t>((uint64_t(w.acc) << n) + v);
    w.free -= n;
    return;
  }
  const int32_t rest = n - w.free;  // bits of v that go to the next group
  PutBE32(w.pos, static_cast<uint32_t>((uint64_t(w.acc) << w.free) | (uint64_t(v) >> rest)));
  w.pos += 4;
  w.acc = static_cast<uint32_t>(uint64_t(v) & ((uint64_t(1) << rest) - 1));
  w.free = 32 - rest;
}

// Stores the last group and cuts the stream back to its last written byte.
inline void BitFlush(JXBitWriter& w) {
  BitPut(w, 32, 0);
  w.pos -= w.free / 8;
}

// The length code for v = 2..767: v in k·2 bits for v in [2^k, 2^(k+1)) below
// 256, else v - 256 in 16 bits. Other values write nothing.
void PutLen(JXBitWriter& w, int32_t v);

// --- bit reader -------------------------------------------------------------
// A 64-bit window over the stream; bits beyond the stream read as zeros and
// no byte beyond it is ever touched.
class JXBitReader {
 public:
  JXBitReader(const uint8_t* data, int32_t length)
      : data_(data), length_(length < 0 ? 0 : static_cast<uint32_t>(length)) {}

  // Makes at least 56 bits available for the next token. False when that
  // token would start beyond the stream: the stream ended without its end.
  bool Refill() {
    if (next_ + 8 <= length_) {
      uint64_t w = GetBE64(data_ + next_);
      window_ |= w >> avail_;
      next_ += (63 - avail_) >> 3;
      avail_ |= 56;
      return true;
    }
    if (Consumed() >= LengthBits()) return false;
    while (avail_ <= 56) {
      uint64_t byte = next_ < length_ ? data_[next_] : 0;
      window_ |= byte << (56 - avail_);
      ++next_;
      avail_ += 8;
    }
    return true;
  }
  // The next n (1..32) bits; needs n available bits.
  uint32_t Peek(int32_t n) const { return static_cast<uint32_t>(window_ >> (64 - n)); }
  void Skip(int32_t n) {
    window_ <<= n;
    avail_ -= n;
  }
  // The next 64 bits, of which the available ones are the stream's.
  uint64_t Window() const { return window_; }
  uint32_t Get(int32_t n) {
    uint32_t v = Peek(n);
    Skip(n);
    return v;
  }
  // Bits taken so far (beyond the stream when a token ran past its end).
  int64_t Consumed() const { return int64_t(next_) * 8 - avail_; }
  int64_t LengthBits() const { return int64_t(length_) * 8; }

 private:
  static uint64_t GetBE64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
  }

  const uint8_t* data_;
  uint32_t length_;
  uint32_t next_ = 0;  // next byte to load (may pass length_: zeros)
  int32_t avail_ = 0;  // valid bits at the top of window_
  uint64_t window_ = 0;
};

// Reads one length code: z leading zeros (0..6) give a 2(z+1)-bit value,
// seven or more a 16-bit value + 256 (256..65791). Needs 16 available bits.
inline int32_t GetLen(JXBitReader& r) {
  uint32_t top = r.Peek(16);
  int32_t z = top == 0 ? 16 : __builtin_clz(top) - 16;
  if (z >= 7) return static_cast<int32_t>(r.Get(16)) + 256;
  return static_cast<int32_t>(r.Get(2 * (z + 1)));
}

// --- compressors and decompressors -------------------------------------------
int32_t JXDCBest(const uint8_t* src, uint8_t* out, const uint8_t* prev, bool usePrev, int32_t B,
                 int32_t R, int32_t W);
int32_t JXDCFast(const uint8_t* src, uint8_t* out, const uint8_t* prev, bool usePrev, int32_t B,
                 int32_t R, int32_t W);

[[nodiscard]] bool JXDCBestDecode(const uint8_t* stream, int32_t length, uint8_t* dest, int32_t W,
                                  int32_t B, int32_t R);
[[nodiscard]] bool JXDCFastDecode(const uint8_t* stream, int32_t length, uint8_t* dest, int32_t W,
                                  int32_t B, int32_t R);

// --- prediction (24-bit strips) ---------------------------------------------
// Over n 3-byte pixels: each byte minus the same byte of the pixel on its left
// (0, 0, 0 before the first pixel), modulo 256; PredictSum inverts it. Rows are
// not special: a strip is one run of pixels. dest and src may be the same.
void PredictDiff(int32_t n, uint8_t* dest, const uint8_t* src);
void PredictSum(int32_t n, uint8_t* dest, const uint8_t* src);

}  // namespace zelo
