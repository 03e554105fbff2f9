// Writing AVI files. The movie data starts after a space reserved for the
// headers, which are written last, when every stream's length is known.
// Chunks go out in the order they are written; the first RIFF ends with an
// idx1 index. Past the RIFF size limit the file continues in AVIX parts,
// each movi list ending with one ix## index per stream, and the headers
// then carry indx super-indexes and the odml/dmlh total frame count.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "foundation/basic.h"
#include "platform/avi_internal.h"

namespace zelo::vfw {
namespace avi {
namespace {

int64_t gRiffLimit = int64_t(1) << 30;

constexpr int64_t kIndxBytes = 8 + 24 + 16 * kSuperIndexCapacity;
constexpr int64_t kDmlhBytes = 248;
// Room kept for what may come after the movie data has started: two more
// streams with formats up to 1 KiB, and 2 KiB of extra chunks.
constexpr int64_t kSlack = 2 * (12 + 64 + 8 + 1024 + kIndxBytes + 72) + 2048 + 8;

void Put16(std::vector<uint8_t>& v, uint32_t x) {
  uint8_t b[2];
  PutLE16(b, x);
  v.insert(v.end(), b, b + 2);
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
  uint8_t b[4];
  PutLE32(b, x);
  v.insert(v.end(), b, b + 4);
}
void Put64(std::vector<uint8_t>& v, uint64_t x) {
  Put32(v, uint32_t(x));
  Put32(v, uint32_t(x >> 32));
}

uint32_t Clamp32(int64_t v) { return uint32_t(std::clamp<int64_t>(v, 0, UINT32_MAX)); }

bool IsVideo(const StreamData& s) { return s.info.fccType == streamtypeVIDEO; }

BITMAPINFOHEADER VideoHeader(const StreamData& s) {
  BITMAPINFOHEADER h{};
  if (s.format.size() >= 40) h = GetInfoHeader(s.format.data());
  return h;
}

uint32_t ChooseChunkId(const StreamData& s) {
  if (s.info.fccType == streamtypeAUDIO) return MakeChunkId(s.number, "wb");
  if (s.info.fccType == FourCC("txts")) return MakeChunkId(s.number, "tx");
  if (IsVideo(s)) {
    uint32_t c = VideoHeader(s).biCompression;
    if (c == BI_RGB || c == BI_BITFIELDS) return MakeChunkId(s.number, "db");
  }
  return MakeChunkId(s.number, "dc");
}

double Seconds(const StreamData& s) {
  if (s.info.dwRate == 0) return 0;
  return double(s.length) * s.info.dwScale / s.info.dwRate;
}

// hdrl (with indexes and odml when the file went OpenDML; with room for the
// biggest of them when worst is set) followed by the extra chunks.
std::vector<uint8_t> BuildHeader(const AviFile& f, bool openDml, bool worst) {
  riff::MemoryStream m;
  riff::Writer w(m);
  const StreamData* video = nullptr;
  int64_t totalBytes = 0;
  double seconds = 0;
  uint32_t buffer = 0;
  for (const auto& s : f.streams) {
    if (IsVideo(*s) && video == nullptr) video = s.get();
    totalBytes += s->bytes;
    seconds = std::max(seconds, Seconds(*s));
    buffer = std::max({buffer, s->maxChunk, s->info.dwSuggestedBufferSize});
  }
  bool dml = openDml || worst;

  w.Begin(riff::kLIST, kHdrl);
  std::vector<uint8_t> avih;
  BITMAPINFOHEADER vh = video ? VideoHeader(*video) : BITMAPINFOHEADER{};
  uint32_t us = (video && video->info.dwRate)
                    ? Clamp32(std::llround(1e6 * video->info.dwScale / video->info.dwRate))
                    : 0;
  Put32(avih, us);
  Put32(avih, seconds > 0 ? Clamp32(int64_t(std::ceil(double(totalBytes) / seconds))) : 0);
  Put32(avih, 0);  // padding granularity
  Put32(avih, AVIF_HASINDEX | (f.streams.size() > 1 ? AVIF_ISINTERLEAVED : 0));
  // With OpenDML the main header counts the first RIFF's frames, dmlh all of them.
  Put32(avih, video ? Clamp32(openDml ? video->framesInFirstRiff : video->length) : 0);
  Put32(avih, 0);  // initial frames
  Put32(avih, uint32_t(f.streams.size()));
  Put32(avih, buffer);
  Put32(avih, Clamp32(std::abs(int64_t(vh.biWidth))));
  Put32(avih, Clamp32(std::abs(int64_t(vh.biHeight))));
  for (int i = 0; i < 4; ++i) Put32(avih, 0);
  w.Put(kAvih, avih.data(), int64_t(avih.size()));

  for (const auto& sp : f.streams) {
    const StreamData& s = *sp;
    const AVISTREAMINFO& i = s.info;
    w.Begin(riff::kLIST, kStrl);
    std::vector<uint8_t> strh;
    Put32(strh, i.fccType);
    Put32(strh, i.fccHandler);
    Put32(strh, i.dwFlags);
    Put16(strh, i.wPriority);
    Put16(strh, i.wLanguage);
    Put32(strh, i.dwInitialFrames);
    Put32(strh, i.dwScale);
    Put32(strh, i.dwRate);
    Put32(strh, i.dwStart);
    Put32(strh, Clamp32(s.length));
    Put32(strh, std::max(i.dwSuggestedBufferSize, s.maxChunk));
    Put32(strh, i.dwQuality);
    Put32(strh, i.dwSampleSize);
    RECT rc = i.rcFrame;
    if (IsVideo(s) && rc.left == 0 && rc.top == 0 && rc.right == 0 && rc.bottom == 0) {
      BITMAPINFOHEADER h = VideoHeader(s);
      rc = {0, 0, h.biWidth, int32_t(std::abs(int64_t(h.biHeight)))};
    }
    for (int32_t v : {rc.left, rc.top, rc.right, rc.bottom})
      Put16(strh, uint16_t(int16_t(std::clamp<int32_t>(v, INT16_MIN, INT16_MAX))));
    w.Put(kStrh, strh.data(), int64_t(strh.size()));
    w.Put(kStrf, s.format.data(), int64_t(s.format.size()));
    if (dml) {
      size_t capacity = worst ? size_t(kSuperIndexCapacity) : s.super.size();
      std::vector<uint8_t> indx;
      Put16(indx, 4);  // longs per entry
      indx.push_back(0);
      indx.push_back(kIndexOfIndexes);
      Put32(indx, uint32_t(s.super.size()));
      Put32(indx, s.chunkId ? s.chunkId : MakeChunkId(s.number, "dc"));
      for (int k = 0; k < 3; ++k) Put32(indx, 0);
      for (size_t k = 0; k < capacity; ++k) {
        SuperEntry e = k < s.super.size() ? s.super[k] : SuperEntry{0, 0, 0};
        Put64(indx, uint64_t(e.pos));
        Put32(indx, e.size);
        Put32(indx, e.duration);
      }
      w.Put(kIndx, indx.data(), int64_t(indx.size()));
    }
    if (!s.name.empty()) w.Put(kStrn, s.name.c_str(), int64_t(s.name.size()) + 1);
    w.End();
  }
  if (dml) {
    w.Begin(riff::kLIST, kOdml);
    std::vector<uint8_t> dmlh(kDmlhBytes, 0);
    PutLE32(dmlh.data(), video ? Clamp32(video->length) : 0);
    w.Put(kDmlh, dmlh.data(), int64_t(dmlh.size()));
    w.End();
  }
  w.End();
  for (const ExtraChunk& c : f.extras) w.Put(c.ckid, c.data.data(), int64_t(c.data.size()));
  return m.Bytes();
}

HRESULT Fail(AviFile& f, HRESULT r) {
  if (f.error == AVIERR_OK) f.error = r;
  return f.error;
}

HRESULT Start(AviFile& f) {
  riff::Writer& w = *f.w;
  f.riffPos = w.Pos();
  w.Begin(riff::kRIFF, kAVI);
  f.reserve = int64_t(BuildHeader(f, false, true).size()) + kSlack;
  w.Junk(f.reserve);
  f.moviPos = w.Pos();
  w.Begin(riff::kLIST, kMovi);
  f.started = true;
  return w.Ok() ? AVIERR_OK : Fail(f, AVIERR_FILEWRITE);
}

// Bytes still to come in the current part for its indexes.
int64_t PendingIndexBytes(const AviFile& f) {
  int64_t n = 0;
  for (const auto& s : f.streams) n += 8 + 24 + 8 * (int64_t(s->partChunks.size()) + 1);
  if (f.part == 0) n += 8 + 16 * (int64_t(f.idx1.size()) + 1);
  return n;
}

void WritePartIndexes(AviFile& f) {
  riff::Writer& w = *f.w;
  for (const auto& sp : f.streams) {
    StreamData& s = *sp;
    if (s.partChunks.empty()) continue;
    std::vector<uint8_t> ix;
    Put16(ix, 2);  // longs per entry
    ix.push_back(0);
    ix.push_back(kIndexOfChunks);
    Put32(ix, uint32_t(s.partChunks.size()));
    Put32(ix, s.chunkId);
    Put64(ix, uint64_t(f.moviPos));
    Put32(ix, 0);
    for (const WrittenChunk& c : s.partChunks) {
      Put32(ix, uint32_t(c.pos + 8 - f.moviPos));
      Put32(ix, c.size | (c.key ? 0 : 0x80000000u));
    }
    int64_t pos = w.Pos();
    uint32_t id = riff::FourCC('i', 'x', char('0' + s.number / 10), char('0' + s.number % 10));
    w.Put(id, ix.data(), int64_t(ix.size()));
    s.super.push_back({pos, uint32_t(8 + ix.size()), Clamp32(s.length - s.partStartLength)});
    s.partChunks.clear();
    s.partStartLength = s.length;
  }
}

void WriteIdx1(AviFile& f) {
  std::vector<uint8_t> idx;
  idx.reserve(f.idx1.size() * 16);
  for (const Idx1Entry& e : f.idx1) {
    Put32(idx, e.ckid);
    Put32(idx, e.flags);
    Put32(idx, e.offset);
    Put32(idx, e.size);
  }
  f.w->Put(kIdx1, idx.data(), int64_t(idx.size()));
  f.idx1.clear();
  f.idx1.shrink_to_fit();
}

HRESULT NewPart(AviFile& f) {
  if (f.part + 1 >= kSuperIndexCapacity) return Fail(f, AVIERR_FILEWRITE);
  riff::Writer& w = *f.w;
  WritePartIndexes(f);
  w.End();  // movi
  if (f.part == 0) WriteIdx1(f);
  w.End();  // RIFF
  f.riffPos = w.Pos();
  w.Begin(riff::kRIFF, kAVIX);
  f.moviPos = w.Pos();
  w.Begin(riff::kLIST, kMovi);
  ++f.part;
  return w.Ok() ? AVIERR_OK : Fail(f, AVIERR_FILEWRITE);
}

}  // namespace

int64_t RiffLimit() { return gRiffLimit; }

HRESULT CheckHeaderRoom(AviFile& f) {
  if (!f.started) return AVIERR_OK;
  int64_t need = int64_t(BuildHeader(f, false, true).size());
  if (need == f.reserve || need + 8 <= f.reserve) return AVIERR_OK;
  return AVIERR_BUFFERTOOSMALL;
}

HRESULT WriteChunk(AviFile& f, StreamData& s, const void* data, uint32_t size, bool key,
                   int64_t samples) {
  if (f.error != AVIERR_OK) return f.error;
  if (!f.started && Start(f) != AVIERR_OK) return f.error;
  if (s.chunkId == 0) s.chunkId = ChooseChunkId(s);
  riff::Writer& w = *f.w;
  int64_t chunkBytes = 8 + int64_t(size) + (size & 1);
  bool partHasData = f.part == 0 ? !f.idx1.empty()
                                 : std::any_of(f.streams.begin(), f.streams.end(),
                                               [](const auto& t) { return !t->partChunks.empty(); });
  if (partHasData && w.Pos() - f.riffPos + chunkBytes + PendingIndexBytes(f) > gRiffLimit)
    if (NewPart(f) != AVIERR_OK) return f.error;
  int64_t pos = w.Pos();
  if (!w.Put(s.chunkId, data, size)) return Fail(f, AVIERR_FILEWRITE);
  s.partChunks.push_back({pos, size, key});
  if (f.part == 0) {
    f.idx1.push_back({s.chunkId, key ? AVIIF_KEYFRAME : 0u, uint32_t(pos - (f.moviPos + 8)), size});
    s.framesInFirstRiff += samples;
  }
  s.length += samples;
  s.bytes += size;
  s.maxChunk = std::max(s.maxChunk, size);
  return AVIERR_OK;
}

HRESULT FinishFile(AviFile& f) {
  riff::Writer& w = *f.w;
  if (f.error == AVIERR_OK && !f.started) Start(f);
  if (f.error == AVIERR_OK) {
    if (f.part > 0) {
      WritePartIndexes(f);
      w.End();  // movi
      w.End();  // RIFF
    } else {
      w.End();  // movi
      WriteIdx1(f);
      w.End();  // RIFF
    }
    std::vector<uint8_t> header = BuildHeader(f, f.part > 0, false);
    int64_t gap = f.reserve - int64_t(header.size());
    if (gap < 0 || (gap > 0 && gap < 8)) {
      Fail(f, AVIERR_BUFFERTOOSMALL);
    } else {
      w.SetPos(12);
      w.Bytes(header.data(), int64_t(header.size()));
      if (gap > 0) w.Junk(gap);
      if (!w.Ok()) Fail(f, AVIERR_FILEWRITE);
    }
  }
  if (!f.file->Close()) Fail(f, AVIERR_FILEWRITE);
  return f.error;
}

}  // namespace avi

// Offsets inside a RIFF part are 32-bit; parts stay well below that.
void AVISetRiffLimit(int64_t bytes) {
  avi::gRiffLimit = std::clamp<int64_t>(bytes, 4096, int64_t(1) << 30);
}

}  // namespace zelo::vfw
