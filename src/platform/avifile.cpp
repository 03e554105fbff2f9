// The AVI file service calls: objects, reference counts, stream access.
// Parsing is in avi_read.cpp, writing in avi_write.cpp, frame decoding in
// avi_frames.cpp and compressing streams in avi_compress.cpp.
#include "platform/avifile.h"

#include <algorithm>
#include <cstring>

#include "foundation/basic.h"
#include "platform/avi_internal.h"
#include "platform/avlog.h"
#include "platform/vcm.h"

namespace zelo::vfw {

const CLSID CLSID_AVIFile = {0x00020000, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const CLSID CLSID_AVICmpStream = {0x00020001, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const CLSID CLSID_ACMCmpStream = {0x0002000F, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

bool operator==(const CLSID& a, const CLSID& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
         std::memcmp(a.data4, b.data4, 8) == 0;
}

namespace {

int gInitCount = 0;

HRESULT OpenParsed(PAVIFILE* file, std::unique_ptr<riff::Stream> io) {
  auto f = std::make_unique<AviFile>();
  f->io = std::move(io);
  HRESULT r = avi::ParseFile(*f);
  if (r != AVIERR_OK) return r;
  *file = f.release();
  return AVIERR_OK;
}

AviStream* NewStream(AviFile* f, avi::StreamData* data) {
  auto* s = new AviStream;
  s->file = f;
  s->data = data;
  avi::AddRef(f);
  return s;
}

// The stream a compressing stream writes into, or the stream itself.
AviStream* Target(AviStream* s) { return s->source != nullptr ? s->source : s; }

}  // namespace

namespace avi {

void AddRef(AviFile* f) { ++f->refs; }

HRESULT ReleaseFile(AviFile* f) {
  if (f == nullptr) return AVIERR_BADHANDLE;
  if (--f->refs > 0) return AVIERR_OK;
  HRESULT r = AVIERR_OK;
  if (f->writing) r = FinishFile(*f);
  delete f;
  return r;
}

}  // namespace avi

void AVIFileInit() {
  if (gInitCount++ == 0) av::QuietLog();
}

void AVIFileExit() {
  if (gInitCount > 0) --gInitCount;
}

HRESULT AVIFileOpen(PAVIFILE* file, const char* name, uint32_t mode, const CLSID* handler) {
  if (file == nullptr || name == nullptr) return AVIERR_BADPARAM;
  *file = nullptr;
  av::QuietLog();
  if (handler != nullptr && !(*handler == CLSID_AVIFile) && !(*handler == CLSID_AVICmpStream))
    return AVIERR_UNSUPPORTED;
  if (mode & OF_CREATE) {
    if ((mode & (OF_WRITE | OF_READWRITE)) == 0) return AVIERR_BADFLAGS;
    auto io = riff::StdFile::Create(name);
    if (!io) return AVIERR_FILEOPEN;
    auto f = std::make_unique<AviFile>();
    f->writing = true;
    f->file = io.get();
    f->w = std::make_unique<riff::Writer>(*io);
    f->io = std::move(io);
    *file = f.release();
    return AVIERR_OK;
  }
  if (mode & (OF_WRITE | OF_READWRITE)) return AVIERR_UNSUPPORTED;  // no editing in place
  auto io = riff::StdFile::OpenRead(name);
  if (!io) return AVIERR_FILEOPEN;
  return OpenParsed(file, std::move(io));
}

HRESULT AVIFileOpenMemory(PAVIFILE* file, const void* data, int64_t size) {
  if (file == nullptr || (data == nullptr && size != 0) || size < 0) return AVIERR_BADPARAM;
  *file = nullptr;
  av::QuietLog();
  return OpenParsed(file, std::make_unique<riff::MemoryStream>(data, size));
}

HRESULT AVIFileRelease(PAVIFILE file) { return avi::ReleaseFile(file); }

HRESULT AVIFileInfo(PAVIFILE file, AVIFILEINFO* info, int32_t size) {
  if (file == nullptr) return AVIERR_BADHANDLE;
  if (info == nullptr || size < 0) return AVIERR_BADPARAM;
  AVIFILEINFO fi{};
  const AviFile& f = *file;
  fi.dwStreams = uint32_t(f.streams.size());
  fi.dwCaps = f.writing ? AVIFILECAPS_CANWRITE : AVIFILECAPS_CANREAD;
  fi.dwFlags = f.writing ? AVIF_HASINDEX : f.avihFlags;
  fi.dwMaxBytesPerSec = f.maxBytesPerSec;
  fi.dwSuggestedBufferSize = f.avihBuffer;
  fi.dwWidth = f.avihWidth;
  fi.dwHeight = f.avihHeight;
  fi.dwScale = f.usPerFrame;
  fi.dwRate = f.usPerFrame ? 1000000 : 0;
  for (const auto& s : f.streams) {
    const AVISTREAMINFO& si = s->info;
    uint32_t length = f.writing ? uint32_t(s->length) : si.dwLength;
    fi.dwSuggestedBufferSize = std::max(fi.dwSuggestedBufferSize, si.dwSuggestedBufferSize);
    if (si.fccType == streamtypeVIDEO && fi.dwLength == 0) {
      fi.dwScale = si.dwScale;
      fi.dwRate = si.dwRate;
      fi.dwLength = length;
      if (fi.dwWidth == 0 && s->format.size() >= 40) {
        BITMAPINFOHEADER h = GetInfoHeader(s->format.data());
        fi.dwWidth = uint32_t(std::abs(int64_t(h.biWidth)));
        fi.dwHeight = uint32_t(std::abs(int64_t(h.biHeight)));
      }
    }
  }
  std::strcpy(fi.szFileType, "AVI file");
  std::memcpy(info, &fi, size_t(std::min<int32_t>(size, sizeof fi)));
  return AVIERR_OK;
}

HRESULT AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, FOURCC type, int32_t index) {
  if (file == nullptr) return AVIERR_BADHANDLE;
  if (stream == nullptr) return AVIERR_BADPARAM;
  *stream = nullptr;
  int32_t n = 0;
  for (auto& s : file->streams) {
    if (type != 0 && s->info.fccType != type) continue;
    if (n++ == index) {
      *stream = NewStream(file, s.get());
      return AVIERR_OK;
    }
  }
  return AVIERR_NODATA;
}

HRESULT AVIFileCreateStream(PAVIFILE file, PAVISTREAM* stream, const AVISTREAMINFO* info) {
  if (file == nullptr) return AVIERR_BADHANDLE;
  if (stream == nullptr || info == nullptr) return AVIERR_BADPARAM;
  *stream = nullptr;
  if (!file->writing) return AVIERR_READONLY;
  if (file->error != AVIERR_OK) return file->error;
  if (int(file->streams.size()) >= avi::kMaxStreams) return AVIERR_UNSUPPORTED;
  auto data = std::make_unique<avi::StreamData>();
  data->info = *info;
  data->info.szName[sizeof data->info.szName - 1] = '\0';
  data->name = data->info.szName;
  data->info.dwLength = 0;
  data->number = int(file->streams.size());
  file->streams.push_back(std::move(data));
  if (HRESULT r = avi::CheckHeaderRoom(*file); r != AVIERR_OK) {
    file->streams.pop_back();
    return r;
  }
  *stream = NewStream(file, file->streams.back().get());
  return AVIERR_OK;
}

HRESULT AVIFileWriteData(PAVIFILE file, FOURCC ckid, const void* data, int32_t size) {
  if (file == nullptr) return AVIERR_BADHANDLE;
  if (size < 0 || (data == nullptr && size > 0)) return AVIERR_BADPARAM;
  if (!file->writing) return AVIERR_READONLY;
  if (ckid == riff::kLIST && size < 4) return AVIERR_BADSIZE;
  avi::ExtraChunk c{ckid, {}};
  c.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
  file->extras.push_back(std::move(c));
  if (HRESULT r = avi::CheckHeaderRoom(*file); r != AVIERR_OK) {
    file->extras.pop_back();
    return r;
  }
  return AVIERR_OK;
}

HRESULT AVIFileReadData(PAVIFILE file, FOURCC ckid, void* data, int32_t* size) {
  if (file == nullptr) return AVIERR_BADHANDLE;
  if (size == nullptr || (data != nullptr && *size < 0)) return AVIERR_BADPARAM;
  const riff::Chunk* found = nullptr;
  uint32_t wantType = 0;
  if (ckid == riff::kLIST && data != nullptr && *size >= 4)
    wantType = GetLE32(static_cast<const uint8_t*>(data));
  // A LIST of no named type is the INFO list if there is one.
  for (uint32_t type : {wantType ? wantType : riff::FourCC("INFO"), wantType}) {
    for (const auto& c : file->dataChunks) {
      if (c.id == ckid && (ckid != riff::kLIST || type == 0 || c.type == type)) {
        found = &c;
        break;
      }
    }
    if (found) break;
  }
  if (found == nullptr) {
    if (data == nullptr) *size = 0;
    return AVIERR_NODATA;
  }
  int64_t avail = std::min<int64_t>(found->avail, INT32_MAX);
  if (data == nullptr) {
    *size = int32_t(avail);
    return AVIERR_OK;
  }
  int64_t n = std::min<int64_t>(avail, *size);
  riff::Reader r(*file->io);
  if (!r.Read(*found, 0, data, n)) return AVIERR_FILEREAD;
  *size = int32_t(avail);
  return n < avail ? AVIERR_BUFFERTOOSMALL : AVIERR_OK;
}

HRESULT AVIStreamRelease(PAVISTREAM stream) {
  if (stream == nullptr) return AVIERR_BADHANDLE;
  if (--stream->refs > 0) return AVIERR_OK;
  HRESULT r = AVIERR_OK;
  if (stream->source != nullptr) {
    r = avi::CompressFlush(*stream);
    stream->encoder.reset();
    HRESULT r2 = AVIStreamRelease(stream->source);
    if (r == AVIERR_OK) r = r2;
  }
  HRESULT r3 = avi::ReleaseFile(stream->file);
  if (r == AVIERR_OK) r = r3;
  delete stream;
  return r;
}

HRESULT AVIStreamInfo(PAVISTREAM stream, AVISTREAMINFO* info, int32_t size) {
  if (stream == nullptr) return AVIERR_BADHANDLE;
  if (info == nullptr || size < 0) return AVIERR_BADPARAM;
  const AviStream* t = Target(stream);
  AVISTREAMINFO si = t->data->info;
  if (t->file->writing) si.dwLength = uint32_t(t->data->length);
  std::memcpy(info, &si, size_t(std::min<int32_t>(size, sizeof si)));
  return AVIERR_OK;
}

int32_t AVIStreamLength(PAVISTREAM stream) {
  if (stream == nullptr) return -1;
  const AviStream* t = Target(stream);
  if (t->file->writing) return int32_t(std::min<int64_t>(t->data->length, INT32_MAX));
  return int32_t(t->data->info.dwLength);
}

HRESULT AVIStreamReadFormat(PAVISTREAM stream, int32_t /*pos*/, void* format, int32_t* size) {
  if (stream == nullptr) return AVIERR_BADHANDLE;
  if (size == nullptr || (format != nullptr && *size < 0)) return AVIERR_BADPARAM;
  const std::vector<uint8_t>& f =
      stream->source != nullptr ? stream->inputFormat : stream->data->format;
  if (f.empty()) {
    *size = 0;
    return AVIERR_NODATA;
  }
  if (format == nullptr) {
    *size = int32_t(f.size());
    return AVIERR_OK;
  }
  int32_t n = std::min<int32_t>(*size, int32_t(f.size()));
  std::memcpy(format, f.data(), size_t(n));
  *size = n;
  return AVIERR_OK;
}

HRESULT AVIStreamSetFormat(PAVISTREAM stream, int32_t /*pos*/, const void* format, int32_t size) {
  if (stream == nullptr) return AVIERR_BADHANDLE;
  if (format == nullptr || size <= 0 || size > avi::kMaxFormatBytes) return AVIERR_BADPARAM;
  if (!stream->file->writing) return AVIERR_READONLY;
  if (stream->source != nullptr) return avi::CompressSetFormat(*stream, format, size);
  avi::StreamData& s = *stream->data;
  const auto* p = static_cast<const uint8_t*>(format);
  if (s.length > 0 || s.chunkId != 0) {
    // Format changes inside a stream are not supported; the same format again is fine.
    if (s.format.size() == size_t(size) && std::memcmp(s.format.data(), p, size_t(size)) == 0)
      return AVIERR_OK;
    return AVIERR_UNSUPPORTED;
  }
  if (s.info.fccType == streamtypeVIDEO && size < kInfoHeaderSize) return AVIERR_BADFORMAT;
  std::vector<uint8_t> old = std::move(s.format);
  s.format.assign(p, p + size);
  if (HRESULT r = avi::CheckHeaderRoom(*stream->file); r != AVIERR_OK) {
    s.format = std::move(old);
    return r;
  }
  return AVIERR_OK;
}

HRESULT AVIStreamRead(PAVISTREAM stream, int32_t start, int32_t count, void* buffer,
                      int32_t bufferSize, int32_t* bytes, int32_t* samples) {
  if (bytes) *bytes = 0;
  if (samples) *samples = 0;
  if (stream == nullptr) return AVIERR_BADHANDLE;
  if (stream->file->writing) return AVIERR_UNSUPPORTED;
  if (start < 0 || (count < 0 && count != AVISTREAMREAD_CONVENIENT) ||
      (buffer != nullptr && bufferSize < 0))
    return AVIERR_BADPARAM;
  const avi::StreamData& s = *stream->data;
  riff::Stream& io = *stream->file->io;
  int64_t length = s.info.dwLength;
  if (start >= length || count == 0) return AVIERR_OK;
  int64_t room = buffer != nullptr ? bufferSize : INT32_MAX;

  if (s.sampleSize == 0) {
    // One chunk per sample: whole chunks while they fit. CONVENIENT reads
    // one picture, or as much variable-size sound as fits.
    bool audio = s.info.fccType == streamtypeAUDIO;
    int64_t want = count != AVISTREAMREAD_CONVENIENT ? count : audio ? length : 1;
    int64_t got = 0, used = 0;
    for (int64_t i = start; i < length && got < want; ++i) {
      const avi::IndexEntry& e = s.index[size_t(i)];
      if (used + e.size > room) {
        if (got == 0) {
          if (bytes) *bytes = int32_t(std::min<uint32_t>(e.size, INT32_MAX));
          return AVIERR_BUFFERTOOSMALL;
        }
        break;
      }
      if (buffer != nullptr && e.size > 0 &&
          !io.ReadAt(e.pos, static_cast<uint8_t*>(buffer) + used, e.size))
        return AVIERR_FILEREAD;
      used += e.size;
      ++got;
    }
    if (bytes) *bytes = int32_t(used);
    if (samples) *samples = int32_t(got);
    return AVIERR_OK;
  }

  // Fixed-size samples laid across chunks.
  int64_t ss = s.sampleSize;
  int64_t avail = length - start;
  int64_t n;
  if (count == AVISTREAMREAD_CONVENIENT)
    n = buffer != nullptr ? std::min(avail, room / ss) : avail;
  else
    n = std::min<int64_t>(avail, count);
  if (buffer != nullptr && n * ss > room) n = room / ss;
  n = std::min<int64_t>(n, INT32_MAX / ss);
  if (n <= 0) {
    if (bytes) *bytes = int32_t(ss);
    return AVIERR_BUFFERTOOSMALL;
  }
  if (buffer != nullptr) {
    int64_t from = start * ss, todo = n * ss;
    auto* out = static_cast<uint8_t*>(buffer);
    // The chunk holding the first byte.
    size_t i = size_t(std::upper_bound(s.byteStart.begin(), s.byteStart.end(), from) -
                      s.byteStart.begin()) - 1;
    while (todo > 0 && i < s.index.size()) {
      const avi::IndexEntry& e = s.index[i];
      int64_t within = from - s.byteStart[i];
      int64_t part = std::min<int64_t>(int64_t(e.size) - within, todo);
      if (part > 0) {
        if (!io.ReadAt(e.pos + within, out, part)) return AVIERR_FILEREAD;
        out += part;
        from += part;
        todo -= part;
      }
      ++i;
    }
    if (todo > 0) return AVIERR_FILEREAD;
  }
  if (bytes) *bytes = int32_t(n * ss);
  if (samples) *samples = int32_t(n);
  return AVIERR_OK;
}

HRESULT AVIStreamWrite(PAVISTREAM stream, int32_t start, int32_t count, const void* buffer,
                       int32_t bufferSize, uint32_t flags, int32_t* samplesWritten,
                       int32_t* bytesWritten) {
  if (samplesWritten) *samplesWritten = 0;
  if (bytesWritten) *bytesWritten = 0;
  if (stream == nullptr) return AVIERR_BADHANDLE;
  if (!stream->file->writing) return AVIERR_READONLY;
  if (bufferSize < 0 || (buffer == nullptr && bufferSize > 0) || count < 0)
    return AVIERR_BADPARAM;
  AviFile& f = *stream->file;
  if (f.error != AVIERR_OK) return f.error;
  if (stream->source != nullptr)
    return avi::CompressWrite(*stream, start, buffer, bufferSize, samplesWritten, bytesWritten);

  avi::StreamData& s = *stream->data;
  if (s.format.empty()) return AVIERR_BADFORMAT;
  if (start >= 0 && start < s.length) return AVIERR_BADPARAM;  // no rewriting
  bool video = s.info.fccType == streamtypeVIDEO;
  if (video) {
    if (count != 1) return AVIERR_BADPARAM;
    // A gap before start becomes empty frames.
    for (int64_t gap = start - s.length; gap > 0; --gap)
      if (HRESULT r = avi::WriteChunk(f, s, nullptr, 0, false, 1); r != AVIERR_OK) return r;
  } else if (s.info.dwSampleSize > 0) {
    if (int64_t(count) * s.info.dwSampleSize != bufferSize) return AVIERR_BADSIZE;
  } else if (count != 1) {
    return AVIERR_BADPARAM;
  }
  HRESULT r = avi::WriteChunk(f, s, buffer, uint32_t(bufferSize),
                              (flags & AVIIF_KEYFRAME) != 0, count);
  if (r != AVIERR_OK) return r;
  if (samplesWritten) *samplesWritten = count;
  if (bytesWritten) *bytesWritten = bufferSize;
  return AVIERR_OK;
}

HRESULT AVIMakeCompressedStream(PAVISTREAM* compressed, PAVISTREAM source,
                                const AVICOMPRESSOPTIONS* options, const CLSID* handler) {
  if (compressed == nullptr || options == nullptr) return AVIERR_BADPARAM;
  *compressed = nullptr;
  if (source == nullptr) return AVIERR_BADHANDLE;
  if (handler != nullptr && !(*handler == CLSID_AVICmpStream)) return AVIERR_UNSUPPORTED;
  if (!source->file->writing || source->source != nullptr) return AVIERR_UNSUPPORTED;
  if (source->data->info.fccType != streamtypeVIDEO) return AVIERR_UNSUPPORTED;
  bool pass = IsUncompressedFourCC(options->fccHandler);
  if (!pass && !VideoCompressorExists(options->fccHandler)) return AVIERR_NOCOMPRESSOR;
  auto* s = NewStream(source->file, source->data);
  s->source = source;
  ++source->refs;
  s->options = *options;
  s->passThrough = pass;
  *compressed = s;
  return AVIERR_OK;
}

}  // namespace zelo::vfw
