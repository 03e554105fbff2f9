// Reading AVI files: headers, then every stream's sample index from the
// OpenDML indexes, else from idx1, else by walking the movi lists. Nothing
// in the file is trusted: positions are checked against the file, counts
// against the bytes that hold them, and the index is sampled against the
// chunks it points at before it is believed.
#include <algorithm>
#include <cstring>

#include "foundation/basic.h"
#include "platform/avi_internal.h"

namespace zelo::vfw::avi {

int ChunkStream(uint32_t ckid) {
  int c0 = int(ckid & 0xFF), c1 = int((ckid >> 8) & 0xFF);
  if (c0 < '0' || c0 > '9' || c1 < '0' || c1 > '9') return -1;
  return (c0 - '0') * 10 + (c1 - '0');
}

uint32_t MakeChunkId(int stream, const char* suffix) {
  return riff::FourCC(char('0' + stream / 10), char('0' + stream % 10), suffix[0], suffix[1]);
}

namespace {

uint64_t GetLE64(const uint8_t* p) { return uint64_t(GetLE32(p)) | (uint64_t(GetLE32(p + 4)) << 32); }

bool IsLetter(uint32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// "NNxx" with two letters, excluding palette changes and chunk indexes.
int SampleStream(uint32_t ckid) {
  int s = ChunkStream(ckid);
  if (s < 0) return -1;
  uint32_t a = (ckid >> 16) & 0xFF, b = ckid >> 24;
  if (!IsLetter(a) || !IsLetter(b)) return -1;
  if ((a == 'p' && b == 'c') || (a == 'i' && b == 'x')) return -1;
  return s;
}

bool IsIndexChunk(uint32_t ckid) {
  return (ckid & 0xFFFF) == ('i' | ('x' << 8)) || (ckid >> 16) == ('i' | ('x' << 8));
}

bool Printable(uint32_t ckid) {
  for (int i = 0; i < 4; ++i) {
    uint32_t c = (ckid >> (8 * i)) & 0xFF;
    if (c < 32 || c > 126) return false;
  }
  return true;
}

class Parser {
 public:
  explicit Parser(AviFile& f) : f_(f), r_(*f.io), fileSize_(f.io->Size()) {
    budget_ = std::min<int64_t>(kMaxIndexEntries, fileSize_ / 8);
  }

  HRESULT Run();

 private:
  void ParseHeaderList(const riff::Chunk& hdrl);
  void ParseStreamList(const riff::Chunk& strl);
  void BuildIndexes();
  bool ReadSuperIndex(StreamData& s, std::vector<IndexEntry>& out);
  bool ReadChunkIndex(const riff::Chunk& c, int stream, std::vector<IndexEntry>& out);
  bool LoadIdx1(const std::vector<bool>& lacking, int64_t& lastEnd);
  void Scan(int64_t pos, int64_t end, const std::vector<bool>& lacking);
  int64_t Resync(int64_t from, int64_t end);
  bool ChunkAt(int64_t dataPos, int stream);
  void Add(int stream, int64_t pos, uint32_t size, uint32_t flags);
  void Finish(StreamData& s);
  bool IsAudio(int stream) const {
    return f_.streams[size_t(stream)]->info.fccType == streamtypeAUDIO;
  }

  AviFile& f_;
  riff::Reader r_;
  int64_t fileSize_;
  int64_t budget_;
  riff::Chunk idx1_;
  bool haveIdx1_ = false;
  bool haveHdrl_ = false;
};

HRESULT Parser::Run() {
  riff::Chunk riffAvi;
  if (!r_.ReadHeader(0, fileSize_, riffAvi) || riffAvi.id != riff::kRIFF || riffAvi.type != kAVI)
    return AVIERR_BADFORMAT;
  // A RIFF size of 0 (never completed) covers the rest of the file.
  if (riffAvi.size == 0) riffAvi.avail = fileSize_ - 8;

  riff::Chunk c;
  for (bool ok = r_.First(riffAvi, c); ok; ok = r_.Next(riffAvi, c)) {
    if (c.id == riff::kLIST && c.type == kHdrl && !haveHdrl_) {
      haveHdrl_ = true;
      ParseHeaderList(c);
    } else if (c.id == riff::kLIST && c.type == kMovi) {
      if (c.size == 0) {
        // Never completed: the list runs to the end of the RIFF, and nothing
        // after it can be found.
        c.avail = riffAvi.BodyEnd() - c.DataPos();
        if (f_.moviLists.empty()) f_.moviLists.push_back(c);
        break;
      }
      if (f_.moviLists.empty()) f_.moviLists.push_back(c);
    } else if (c.id == kIdx1) {
      if (!haveIdx1_) idx1_ = c, haveIdx1_ = true;
    } else if (c.id != riff::kJUNK) {
      f_.dataChunks.push_back(c);
    }
  }
  // OpenDML extensions follow the first RIFF.
  for (int64_t pos = riffAvi.NextPos(); pos > 0 && pos < fileSize_;) {
    riff::Chunk x;
    if (!r_.ReadHeader(pos, fileSize_, x) || x.id != riff::kRIFF || x.type != kAVIX) break;
    riff::Chunk m;
    if (r_.Find(x, riff::kLIST, m, kMovi)) f_.moviLists.push_back(m);
    pos = x.NextPos();
  }
  if (!haveHdrl_ || f_.streams.empty() || f_.moviLists.empty()) return AVIERR_BADFORMAT;
  BuildIndexes();
  for (auto& s : f_.streams) Finish(*s);
  return AVIERR_OK;
}

void Parser::ParseHeaderList(const riff::Chunk& hdrl) {
  riff::Chunk c;
  for (bool ok = r_.First(hdrl, c); ok; ok = r_.Next(hdrl, c)) {
    if (c.id == kAvih) {
      uint8_t h[56] = {};
      r_.Read(c, 0, h, std::min<int64_t>(c.avail, sizeof h));
      f_.usPerFrame = GetLE32(h);
      f_.maxBytesPerSec = GetLE32(h + 4);
      f_.avihFlags = GetLE32(h + 12);
      f_.avihFrames = GetLE32(h + 16);
      f_.avihBuffer = GetLE32(h + 28);
      f_.avihWidth = GetLE32(h + 32);
      f_.avihHeight = GetLE32(h + 36);
    } else if (c.id == riff::kLIST && c.type == kStrl) {
      ParseStreamList(c);
    } else if (c.id != riff::kJUNK && !(c.id == riff::kLIST && c.type == kOdml)) {
      f_.dataChunks.push_back(c);
    }
  }
}

void Parser::ParseStreamList(const riff::Chunk& strl) {
  if (int(f_.streams.size()) >= kMaxStreams) return;
  auto s = std::make_unique<StreamData>();
  s->number = int(f_.streams.size());
  bool haveStrh = false;
  riff::Chunk c;
  for (bool ok = r_.First(strl, c); ok; ok = r_.Next(strl, c)) {
    if (c.id == kStrh && !haveStrh) {
      haveStrh = true;
      uint8_t h[56] = {};
      r_.Read(c, 0, h, std::min<int64_t>(c.avail, sizeof h));
      AVISTREAMINFO& i = s->info;
      i.fccType = GetLE32(h);
      i.fccHandler = GetLE32(h + 4);
      i.dwFlags = GetLE32(h + 8);
      i.wPriority = GetLE16(h + 12);
      i.wLanguage = GetLE16(h + 14);
      i.dwInitialFrames = GetLE32(h + 16);
      i.dwScale = GetLE32(h + 20);
      i.dwRate = GetLE32(h + 24);
      i.dwStart = GetLE32(h + 28);
      i.dwLength = GetLE32(h + 32);
      i.dwSuggestedBufferSize = GetLE32(h + 36);
      i.dwQuality = GetLE32(h + 40);
      i.dwSampleSize = GetLE32(h + 44);
      i.rcFrame.left = int16_t(GetLE16(h + 48));
      i.rcFrame.top = int16_t(GetLE16(h + 50));
      i.rcFrame.right = int16_t(GetLE16(h + 52));
      i.rcFrame.bottom = int16_t(GetLE16(h + 54));
    } else if (c.id == kStrf && s->format.empty()) {
      if (!r_.ReadData(c, kMaxFormatBytes, s->format)) s->format.clear();
    } else if (c.id == kIndx && !s->hasIndx) {
      s->indx = c;
      s->hasIndx = true;
    } else if (c.id == kStrn && s->name.empty()) {
      char name[64] = {};
      r_.Read(c, 0, name, std::min<int64_t>(c.avail, 63));
      s->name = name;
    }
  }
  if (!haveStrh) return;  // a stream without its header is no stream
  std::strncpy(s->info.szName, s->name.c_str(), sizeof s->info.szName - 1);
  f_.streams.push_back(std::move(s));
}

bool Parser::ChunkAt(int64_t dataPos, int stream) {
  uint8_t h[4];
  if (dataPos < 8 || !f_.io->ReadAt(dataPos - 8, h, 4)) return false;
  return ChunkStream(GetLE32(h)) == stream;
}

void Parser::Add(int stream, int64_t pos, uint32_t size, uint32_t flags) {
  if (budget_ <= 0 || pos < 8 || pos > fileSize_) return;
  if (int64_t(size) > fileSize_ - pos) {
    // The file ends inside this chunk: sound keeps what is there, a picture is lost.
    if (!IsAudio(stream)) return;
    size = uint32_t(fileSize_ - pos);
  }
  --budget_;
  f_.streams[size_t(stream)]->index.push_back({pos, size, flags});
}

bool Parser::ReadChunkIndex(const riff::Chunk& c, int stream, std::vector<IndexEntry>& out) {
  uint8_t h[24];
  if (!r_.Read(c, 0, h, 24)) return false;
  int longs = GetLE16(h);
  if (h[3] != kIndexOfChunks || (longs != 2 && longs != 3)) return false;
  int64_t n = GetLE32(h + 4);
  uint64_t base = GetLE64(h + 12);
  int64_t entryBytes = 4 * longs;
  n = std::min<int64_t>(n, (c.avail - 24) / entryBytes);
  n = std::min(n, budget_ - int64_t(out.size()));
  std::vector<uint8_t> block;
  const int64_t kBlock = 4096;
  for (int64_t i = 0; i < n; i += kBlock) {
    int64_t m = std::min(kBlock, n - i);
    block.resize(size_t(m * entryBytes));
    if (!r_.Read(c, 24 + i * entryBytes, block.data(), m * entryBytes)) return false;
    for (int64_t k = 0; k < m; ++k) {
      const uint8_t* e = block.data() + k * entryBytes;
      uint64_t pos = base + GetLE32(e);
      uint32_t size = GetLE32(e + 4);
      uint32_t flags = (size & 0x80000000u) ? 0 : AVIIF_KEYFRAME;
      size &= 0x7FFFFFFFu;
      if (pos > uint64_t(fileSize_)) continue;
      // One look at the first chunk tells whether this index points anywhere sensible.
      if (i + k == 0 && !ChunkAt(int64_t(pos), stream)) return false;
      out.push_back({int64_t(pos), size, flags});
    }
  }
  return true;
}

bool Parser::ReadSuperIndex(StreamData& s, std::vector<IndexEntry>& out) {
  uint8_t h[24];
  if (!r_.Read(s.indx, 0, h, 24)) return false;
  if (h[3] == kIndexOfChunks) return ReadChunkIndex(s.indx, s.number, out);
  if (h[3] != kIndexOfIndexes || GetLE16(h) != 4) return false;
  int64_t n = std::min<int64_t>(GetLE32(h + 4), (s.indx.avail - 24) / 16);
  int64_t lastPos = -1;
  for (int64_t i = 0; i < n; ++i) {
    uint8_t e[16];
    if (!r_.Read(s.indx, 24 + 16 * i, e, 16)) return false;
    uint64_t pos = GetLE64(e);
    if (pos == 0) continue;
    // Parts follow each other; anything else is damage (or a loop).
    if (pos > uint64_t(fileSize_) || int64_t(pos) <= lastPos) return false;
    lastPos = int64_t(pos);
    riff::Chunk ix;
    if (!r_.ReadHeader(int64_t(pos), fileSize_, ix) || !IsIndexChunk(ix.id)) {
      // A part lost at the end of a truncated file ends the index.
      if (int64_t(pos) + 8 > fileSize_) break;
      return false;
    }
    if (!ReadChunkIndex(ix, s.number, out)) return false;
  }
  return !out.empty();
}

bool Parser::LoadIdx1(const std::vector<bool>& lacking, int64_t& lastEnd) {
  if (!haveIdx1_ || f_.moviLists.empty()) return false;
  int64_t n = std::min(idx1_.avail / 16, kMaxIndexEntries);
  std::vector<uint8_t> raw(size_t(std::max<int64_t>(n, 0) * 16));
  if (n <= 0 || !r_.Read(idx1_, 0, raw.data(), n * 16)) return false;
  int nStreams = int(f_.streams.size());
  auto entry = [&](int64_t i) { return raw.data() + 16 * i; };
  auto streamOf = [&](int64_t i) {
    int s = SampleStream(GetLE32(entry(i)));
    return (s >= 0 && s < nStreams && !(GetLE32(entry(i) + 4) & AVIIF_LIST)) ? s : -1;
  };
  // Offsets count from the "movi" type (the usual) or from the file start.
  int64_t first = 0;
  while (first < n && streamOf(first) < 0) ++first;
  if (first == n) return false;
  int64_t movi = f_.moviLists[0].pos + 8;
  int64_t base = -1;
  for (int64_t candidate : {movi, int64_t(0)}) {
    if (ChunkAt(candidate + GetLE32(entry(first) + 8) + 8, streamOf(first))) {
      base = candidate;
      break;
    }
  }
  if (base < 0) return false;
  // Sample the index against the chunks before believing it.
  const int64_t kSamples = 64;
  for (int64_t k = 0; k <= kSamples; ++k) {
    int64_t i = first + (n - 1 - first) * k / kSamples;
    int s = streamOf(i);
    if (s < 0) continue;
    int64_t pos = base + GetLE32(entry(i) + 8) + 8;
    if (pos + 8 > fileSize_) continue;  // lost with a truncated file
    if (!ChunkAt(pos, s)) return false;
  }
  for (int64_t i = first; i < n; ++i) {
    int s = streamOf(i);
    if (s < 0) continue;
    const uint8_t* e = entry(i);
    int64_t pos = base + GetLE32(e + 8) + 8;
    uint32_t size = GetLE32(e + 12);
    lastEnd = std::max(lastEnd, pos + int64_t(size) + (size & 1));
    if (lacking[size_t(s)]) Add(s, pos, size, GetLE32(e + 4) & AVIIF_KEYFRAME);
  }
  return true;
}

int64_t Parser::Resync(int64_t from, int64_t end) {
  int nStreams = int(f_.streams.size());
  std::vector<uint8_t> buf;
  const int64_t kBlock = 1 << 16;
  for (int64_t pos = from; pos + 8 <= end;) {
    int64_t m = std::min(kBlock + 7, end - pos);
    buf.resize(size_t(m));
    if (!f_.io->ReadAt(pos, buf.data(), m)) return -1;
    for (int64_t k = 0; k + 8 <= m; ++k) {
      uint32_t id = GetLE32(buf.data() + k);
      int s = SampleStream(id);
      if ((s >= 0 && s < nStreams) || id == riff::kLIST || IsIndexChunk(id)) {
        if (int64_t(GetLE32(buf.data() + k + 4)) <= end - (pos + k) - 8) return pos + k;
      }
    }
    pos += m - 7;
  }
  return -1;
}

void Parser::Scan(int64_t pos, int64_t end, const std::vector<bool>& lacking) {
  int nStreams = int(f_.streams.size());
  bool lastOdd = false;
  while (pos + 8 <= end && budget_ > 0) {
    uint8_t h[8];
    if (!f_.io->ReadAt(pos, h, 8)) break;
    uint32_t id = GetLE32(h), size = GetLE32(h + 4);
    if (id == riff::kLIST || id == riff::kRIFF) {
      pos += 12;  // walk into "rec " lists (and whatever else) in place
      lastOdd = false;
      continue;
    }
    int64_t dataEnd = pos + 8 + int64_t(size);
    int s = SampleStream(id);
    bool known = (s >= 0 && s < nStreams) || id == riff::kJUNK || id == kIdx1 ||
                 IsIndexChunk(id) || (ChunkStream(id) >= 0 && ChunkStream(id) < nStreams);
    if (!known && !(Printable(id) && dataEnd <= end)) {
      // Garbage: a writer that left out a pad byte, or damage.
      if (lastOdd) {
        --pos;
        lastOdd = false;
        continue;
      }
      pos = Resync(pos + 1, end);
      if (pos < 0) break;
      continue;
    }
    if (s >= 0 && s < nStreams && lacking[size_t(s)]) {
      Add(s, pos + 8, size, 0);
      if (dataEnd > fileSize_) break;  // the file ends here
    }
    if (dataEnd > end) break;
    lastOdd = (size & 1) != 0;
    pos = dataEnd + (size & 1);
  }
}

void Parser::BuildIndexes() {
  size_t n = f_.streams.size();
  std::vector<bool> lacking(n, true);
  bool anyLacking = false;
  for (size_t i = 0; i < n; ++i) {
    StreamData& s = *f_.streams[i];
    if (s.hasIndx) {
      std::vector<IndexEntry> entries;
      if (ReadSuperIndex(s, entries)) {
        // Add drops what lies beyond a truncated end, as for the other indexes.
        for (const IndexEntry& e : entries) Add(int(i), e.pos, e.size, e.flags);
        lacking[i] = false;
        continue;
      }
    }
    anyLacking = true;
  }
  if (!anyLacking || f_.moviLists.empty()) return;

  // idx1 covers the first RIFF; what follows its last entry (a cut index)
  // and every later movi list is found by walking the lists.
  int64_t lastEnd = 0;
  const riff::Chunk& movi = f_.moviLists[0];
  if (LoadIdx1(lacking, lastEnd)) {
    if (lastEnd < movi.BodyEnd()) Scan(std::max(lastEnd, movi.BodyPos()), movi.BodyEnd(), lacking);
  } else {
    Scan(movi.BodyPos(), movi.BodyEnd(), lacking);
  }
  for (size_t k = 1; k < f_.moviLists.size(); ++k)
    Scan(f_.moviLists[k].BodyPos(), f_.moviLists[k].BodyEnd(), lacking);
}

void Parser::Finish(StreamData& s) {
  AVISTREAMINFO& i = s.info;
  bool audio = i.fccType == streamtypeAUDIO;
  bool video = i.fccType == streamtypeVIDEO;
  // Key frames: every sample of sound, of uncompressed and of intra-only
  // video; otherwise as indexed, at least the first.
  if (audio || (video && VideoAllKey(s))) {
    for (IndexEntry& e : s.index) e.flags |= AVIIF_KEYFRAME;
  } else if (!s.index.empty() &&
             std::none_of(s.index.begin(), s.index.end(),
                          [](const IndexEntry& e) { return e.flags & AVIIF_KEYFRAME; })) {
    s.index[0].flags |= AVIIF_KEYFRAME;
  }
  uint32_t maxChunk = 0;
  for (const IndexEntry& e : s.index) maxChunk = std::max(maxChunk, e.size);
  i.dwSuggestedBufferSize = std::max(i.dwSuggestedBufferSize, maxChunk);

  if (audio) {
    // PCM is counted in blocks of its block align whatever the header says.
    uint16_t tag = s.format.size() >= 14 ? GetLE16(s.format.data()) : 0;
    uint16_t align = s.format.size() >= 14 ? GetLE16(s.format.data() + 12) : 0;
    s.sampleSize = (tag == 1 && align > 0) ? align : i.dwSampleSize;
    i.dwSampleSize = s.sampleSize;
    if (i.dwScale == 0 || i.dwRate == 0) {
      uint32_t avg = s.format.size() >= 12 ? GetLE32(s.format.data() + 8) : 0;
      i.dwScale = std::max<uint32_t>(align, 1);
      i.dwRate = std::max<uint32_t>(avg, 1);
    }
  } else {
    s.sampleSize = 0;
    i.dwSampleSize = 0;
  }
  if (video && (i.dwScale == 0 || i.dwRate == 0)) {
    // The stream's own rate is unusable: the main header's frame time, else 25.
    i.dwScale = f_.usPerFrame > 0 ? f_.usPerFrame : 1;
    i.dwRate = f_.usPerFrame > 0 ? 1000000 : 25;
  }
  if (s.sampleSize > 0) {
    s.byteStart.resize(s.index.size());
    int64_t total = 0;
    for (size_t k = 0; k < s.index.size(); ++k) {
      s.byteStart[k] = total;
      total += s.index[k].size;
    }
    s.totalBytes = total;
    i.dwLength = uint32_t(std::min<int64_t>(total / s.sampleSize, INT32_MAX));
  } else {
    i.dwLength = uint32_t(std::min<int64_t>(int64_t(s.index.size()), INT32_MAX));
  }
  if (video && s.format.size() >= 40 && i.rcFrame.right <= i.rcFrame.left) {
    BITMAPINFOHEADER h = GetInfoHeader(s.format.data());
    i.rcFrame = {0, 0, int32_t(std::min<int64_t>(std::abs(int64_t(h.biWidth)), INT32_MAX)),
                 int32_t(std::min<int64_t>(std::abs(int64_t(h.biHeight)), INT32_MAX))};
  }
}

}  // namespace

HRESULT ParseFile(AviFile& f) { return Parser(f).Run(); }

}  // namespace zelo::vfw::avi
