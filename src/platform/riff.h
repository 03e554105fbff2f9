// RIFF chunk reading and writing (AVI, WAVE). Files are reached through a
// small random-access byte stream with 64-bit positions; the reader never
// trusts a declared size: every chunk is bounded by its parent and by the
// end of the data, and reads outside the stream fail instead of happening.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace zelo::riff {

// A four-character code as stored in a file: the first character is the
// lowest byte, so PutLE32/GetLE32 move it in file order.
constexpr uint32_t FourCC(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | (uint32_t(uint8_t(b)) << 8) | (uint32_t(uint8_t(c)) << 16) |
         (uint32_t(uint8_t(d)) << 24);
}
constexpr uint32_t FourCC(const char (&s)[5]) { return FourCC(s[0], s[1], s[2], s[3]); }

// The four characters, unprintable bytes shown as '.'.
std::string FourCCText(uint32_t code);

constexpr uint32_t kRIFF = FourCC("RIFF");
constexpr uint32_t kLIST = FourCC("LIST");
constexpr uint32_t kJUNK = FourCC("JUNK");

// --- byte streams -------------------------------------------------------------

class Stream {
 public:
  virtual ~Stream() = default;
  virtual int64_t Size() const = 0;
  // Reads exactly n bytes at pos; false (and nothing guaranteed in dst) when
  // the range is not entirely inside the stream or the read fails.
  virtual bool ReadAt(int64_t pos, void* dst, int64_t n) = 0;
  // Writes n bytes at pos (pos may equal Size() to append).
  virtual bool WriteAt(int64_t pos, const void* src, int64_t n) = 0;
  virtual bool Flush() { return true; }
};

// A file through 64-bit stdio, buffered.
class StdFile final : public Stream {
 public:
  // Read-only, or created empty (an existing file is truncated) for writing.
  static std::unique_ptr<StdFile> OpenRead(const std::string& name);
  static std::unique_ptr<StdFile> Create(const std::string& name);
  ~StdFile() override;
  StdFile(const StdFile&) = delete;
  StdFile& operator=(const StdFile&) = delete;

  int64_t Size() const override { return size_; }
  bool ReadAt(int64_t pos, void* dst, int64_t n) override;
  bool WriteAt(int64_t pos, const void* src, int64_t n) override;
  bool Flush() override;
  // Flushes and closes; false when something could not be written.
  bool Close();

 private:
  StdFile(FILE* f, int64_t size, bool writable);
  bool SeekTo(int64_t pos, bool forWrite);

  FILE* f_;
  int64_t size_;
  int64_t pos_ = 0;
  bool writable_;
  bool lastWrite_ = false;
  bool failed_ = false;
};

// Bytes in memory: a view of the caller's data (read-only) or an owned,
// growing buffer.
class MemoryStream final : public Stream {
 public:
  MemoryStream() = default;  // owned and writable
  MemoryStream(const void* data, int64_t size)
      : view_(static_cast<const uint8_t*>(data)), viewSize_(size) {}

  int64_t Size() const override { return view_ ? viewSize_ : int64_t(owned_.size()); }
  bool ReadAt(int64_t pos, void* dst, int64_t n) override;
  bool WriteAt(int64_t pos, const void* src, int64_t n) override;
  const std::vector<uint8_t>& Bytes() const { return owned_; }

 private:
  const uint8_t* view_ = nullptr;
  int64_t viewSize_ = 0;
  std::vector<uint8_t> owned_;
};

// --- reading ------------------------------------------------------------------

// One chunk found in a stream. A LIST or RIFF chunk carries its list type
// and its children start after that type.
struct Chunk {
  uint32_t id = 0;
  uint32_t type = 0;   // list type of LIST/RIFF chunks, else 0
  int64_t pos = 0;     // position of the 8-byte header
  uint32_t size = 0;   // declared data size
  int64_t avail = 0;   // data bytes actually present (bounded by parent and stream)

  bool IsList() const { return type != 0; }
  int64_t DataPos() const { return pos + 8; }
  // Where a list's children start and end.
  int64_t BodyPos() const { return pos + 12; }
  int64_t BodyEnd() const { return DataPos() + avail; }
  bool Truncated() const { return avail < int64_t(size); }
  // Position of the next sibling: data, then a pad byte for odd sizes.
  int64_t NextPos() const { return DataPos() + int64_t(size) + (size & 1); }
};

class Reader {
 public:
  explicit Reader(Stream& s) : s_(s) {}
  Stream& stream() { return s_; }

  // Reads the chunk header at pos for a chunk that must end by limit.
  // False when fewer than 8 bytes lie between pos and limit. A LIST or RIFF
  // chunk with room for its type reads that too.
  bool ReadHeader(int64_t pos, int64_t limit, Chunk& out);

  // The first child of a list, the sibling after a child, within the list.
  bool First(const Chunk& list, Chunk& child);
  bool Next(const Chunk& list, Chunk& child);

  // The first child with the id (and list type, when not 0).
  bool Find(const Chunk& list, uint32_t id, Chunk& out, uint32_t type = 0);

  // Reads n bytes at offset inside the chunk's data; false outside it.
  bool Read(const Chunk& c, int64_t offset, void* dst, int64_t n);
  // The chunk's data, at most max bytes; false when max is exceeded or the
  // read fails.
  bool ReadData(const Chunk& c, int64_t max, std::vector<uint8_t>& out);

  // The whole stream as a list (for walking the top-level chunks).
  Chunk Root() const;

 private:
  Stream& s_;
};

// --- writing ------------------------------------------------------------------

// Writes chunks one after the other; Begin/End nest (as mmio descends and
// ascends). Errors are sticky: after the first failure every call fails.
class Writer {
 public:
  explicit Writer(Stream& s, int64_t pos = 0) : s_(s), pos_(pos) {}
  Stream& stream() { return s_; }

  int64_t Pos() const { return pos_; }
  bool Ok() const { return ok_; }
  int Depth() const { return int(open_.size()); }

  // Opens a chunk (a list when type is not 0) whose size is filled by End.
  bool Begin(uint32_t id, uint32_t type = 0);
  // Closes the innermost chunk: writes its size and the pad byte.
  bool End();
  // A complete chunk.
  bool Put(uint32_t id, const void* data, int64_t n);
  // A JUNK chunk taking exactly total bytes (header included; even, >= 8).
  bool Junk(int64_t total);
  bool Bytes(const void* data, int64_t n);
  bool Zeros(int64_t n);
  bool PatchLE32(int64_t pos, uint32_t v);

  // Moves the write position (to rewrite a reserved area); the nesting must
  // be empty or the caller takes care of it.
  void SetPos(int64_t pos) { pos_ = pos; }

 private:
  bool Fail() { return ok_ = false; }
  Stream& s_;
  int64_t pos_;
  bool ok_ = true;
  std::vector<int64_t> open_;
};

}  // namespace zelo::riff
