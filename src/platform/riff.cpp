#include "platform/riff.h"

#include <sys/types.h>

#include <algorithm>
#include <cstring>

#include "foundation/basic.h"

namespace zelo::riff {

std::string FourCCText(uint32_t code) {
  std::string s(4, '.');
  for (int i = 0; i < 4; ++i) {
    char c = char((code >> (8 * i)) & 0xFF);
    if (c >= 32 && c < 127) s[i] = c;
  }
  return s;
}

// --- StdFile ------------------------------------------------------------------

StdFile::StdFile(FILE* f, int64_t size, bool writable) : f_(f), size_(size), writable_(writable) {}

std::unique_ptr<StdFile> StdFile::OpenRead(const std::string& name) {
  FILE* f = std::fopen(name.c_str(), "rb");
  if (f == nullptr) return nullptr;
  if (fseeko(f, 0, SEEK_END) != 0) {
    std::fclose(f);
    return nullptr;
  }
  off_t size = ftello(f);
  if (size < 0 || fseeko(f, 0, SEEK_SET) != 0) {
    std::fclose(f);
    return nullptr;
  }
  return std::unique_ptr<StdFile>(new StdFile(f, size, false));
}

std::unique_ptr<StdFile> StdFile::Create(const std::string& name) {
  FILE* f = std::fopen(name.c_str(), "w+b");
  if (f == nullptr) return nullptr;
  // Large sequential writes (movie data) go out in big pieces.
  std::setvbuf(f, nullptr, _IOFBF, 1 << 20);
  return std::unique_ptr<StdFile>(new StdFile(f, 0, true));
}

StdFile::~StdFile() { Close(); }

bool StdFile::SeekTo(int64_t pos, bool forWrite) {
  // stdio needs a positioning call between reading and writing.
  if (pos == pos_ && forWrite == lastWrite_) return true;
  if (fseeko(f_, off_t(pos), SEEK_SET) != 0) return false;
  pos_ = pos;
  lastWrite_ = forWrite;
  return true;
}

bool StdFile::ReadAt(int64_t pos, void* dst, int64_t n) {
  if (f_ == nullptr || pos < 0 || n < 0 || pos > size_ || n > size_ - pos) return false;
  if (n == 0) return true;
  if (!SeekTo(pos, false)) return false;
  size_t got = std::fread(dst, 1, size_t(n), f_);
  pos_ += int64_t(got);
  if (got != size_t(n)) {
    std::clearerr(f_);
    pos_ = -1;  // unknown: seek again next time
    return false;
  }
  return true;
}

bool StdFile::WriteAt(int64_t pos, const void* src, int64_t n) {
  if (f_ == nullptr || !writable_ || failed_ || pos < 0 || pos > size_ || n < 0) return false;
  if (n == 0) return true;
  if (!SeekTo(pos, true)) return failed_ = true, false;
  size_t put = std::fwrite(src, 1, size_t(n), f_);
  pos_ += int64_t(put);
  size_ = std::max(size_, pos_);
  if (put != size_t(n)) {
    failed_ = true;
    return false;
  }
  return true;
}

bool StdFile::Flush() {
  if (f_ == nullptr) return false;
  if (std::fflush(f_) != 0) failed_ = true;
  return !failed_;
}

bool StdFile::Close() {
  if (f_ == nullptr) return !failed_;
  if (std::fclose(f_) != 0) failed_ = true;
  f_ = nullptr;
  return !failed_;
}

// --- MemoryStream ---------------------------------------------------------------

bool MemoryStream::ReadAt(int64_t pos, void* dst, int64_t n) {
  int64_t size = Size();
  if (pos < 0 || n < 0 || pos > size || n > size - pos) return false;
  if (n > 0) std::memcpy(dst, (view_ ? view_ : owned_.data()) + pos, size_t(n));
  return true;
}

bool MemoryStream::WriteAt(int64_t pos, const void* src, int64_t n) {
  if (view_ != nullptr || pos < 0 || n < 0 || pos > int64_t(owned_.size())) return false;
  if (pos + n > int64_t(owned_.size())) owned_.resize(size_t(pos + n));
  if (n > 0) std::memcpy(owned_.data() + pos, src, size_t(n));
  return true;
}

// --- Reader ---------------------------------------------------------------------

bool Reader::ReadHeader(int64_t pos, int64_t limit, Chunk& out) {
  limit = std::min(limit, s_.Size());
  if (pos < 0 || limit - pos < 8) return false;
  uint8_t h[12];
  if (!s_.ReadAt(pos, h, 8)) return false;
  out = Chunk{};
  out.id = GetLE32(h);
  out.pos = pos;
  out.size = GetLE32(h + 4);
  out.avail = std::min<int64_t>(out.size, limit - pos - 8);
  if ((out.id == kLIST || out.id == kRIFF) && out.avail >= 4 && s_.ReadAt(pos + 8, h + 8, 4))
    out.type = GetLE32(h + 8);
  return true;
}

bool Reader::First(const Chunk& list, Chunk& child) {
  return ReadHeader(list.BodyPos(), list.BodyEnd(), child);
}

bool Reader::Next(const Chunk& list, Chunk& child) {
  int64_t next = child.NextPos();
  return next > child.pos && ReadHeader(next, list.BodyEnd(), child);
}

bool Reader::Find(const Chunk& list, uint32_t id, Chunk& out, uint32_t type) {
  Chunk c;
  for (bool ok = First(list, c); ok; ok = Next(list, c)) {
    if (c.id == id && (type == 0 || c.type == type)) {
      out = c;
      return true;
    }
  }
  return false;
}

bool Reader::Read(const Chunk& c, int64_t offset, void* dst, int64_t n) {
  if (offset < 0 || n < 0 || offset > c.avail || n > c.avail - offset) return false;
  return s_.ReadAt(c.DataPos() + offset, dst, n);
}

bool Reader::ReadData(const Chunk& c, int64_t max, std::vector<uint8_t>& out) {
  out.clear();
  if (c.avail > max) return false;
  out.resize(size_t(c.avail));
  return Read(c, 0, out.data(), c.avail);
}

Chunk Reader::Root() const {
  // A pseudo list whose body is the whole stream.
  Chunk root;
  root.id = kLIST;
  root.pos = -12;
  root.size = 0;
  root.avail = s_.Size() + 4;
  return root;
}

// --- Writer ---------------------------------------------------------------------

bool Writer::Bytes(const void* data, int64_t n) {
  if (!ok_) return false;
  if (!s_.WriteAt(pos_, data, n)) return Fail();
  pos_ += n;
  return true;
}

bool Writer::Zeros(int64_t n) {
  static const uint8_t zeros[4096] = {};
  while (n > 0 && ok_) {
    int64_t part = std::min<int64_t>(n, sizeof zeros);
    Bytes(zeros, part);
    n -= part;
  }
  return ok_;
}

bool Writer::Begin(uint32_t id, uint32_t type) {
  uint8_t h[12];
  PutLE32(h, id);
  PutLE32(h + 4, 0);
  PutLE32(h + 8, type);
  open_.push_back(pos_);
  return Bytes(h, type != 0 ? 12 : 8);
}

bool Writer::End() {
  if (open_.empty()) return Fail();
  int64_t start = open_.back();
  open_.pop_back();
  int64_t size = pos_ - start - 8;
  if (size < 0 || size > int64_t(UINT32_MAX)) return Fail();
  if (!PatchLE32(start + 4, uint32_t(size))) return false;
  if (size & 1) Zeros(1);
  return ok_;
}

bool Writer::Put(uint32_t id, const void* data, int64_t n) {
  if (n < 0 || n > int64_t(UINT32_MAX)) return Fail();
  uint8_t h[8];
  PutLE32(h, id);
  PutLE32(h + 4, uint32_t(n));
  Bytes(h, 8);
  if (n > 0) Bytes(data, n);
  if (n & 1) Zeros(1);
  return ok_;
}

bool Writer::Junk(int64_t total) {
  if (total < 8 || (total & 1) || total - 8 > int64_t(UINT32_MAX)) return Fail();
  uint8_t h[8];
  PutLE32(h, kJUNK);
  PutLE32(h + 4, uint32_t(total - 8));
  Bytes(h, 8);
  return Zeros(total - 8);
}

bool Writer::PatchLE32(int64_t pos, uint32_t v) {
  if (!ok_) return false;
  uint8_t b[4];
  PutLE32(b, v);
  if (!s_.WriteAt(pos, b, 4)) return Fail();
  return true;
}

}  // namespace zelo::riff
