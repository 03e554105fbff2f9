// Video samples decoded to packed DIBs. Uncompressed DIB streams are
// converted directly; compressed ones go through the FFmpeg decoder that
// the stream's FOURCC names in the AVI tag table, and its pictures are
// converted with swscale.
//
// Decoders may hand pictures out later than their samples and in another
// order (B-frames). Samples are fed with their index as time stamp; after a
// seek decoding starts one key frame earlier than needed when the codec
// reorders, and the first picture whose time stamp is not before the key
// frame is that key frame's display position, the next ones follow it.
#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "foundation/basic.h"
#include "platform/avi_internal.h"
#include "platform/dib.h"
#include "platform/avlog.h"

namespace zelo::vfw {

namespace {

int64_t gMaxPixels = int64_t(16384) * 16384;

AVCodecID CodecIdOf(const avi::StreamData& s) {
  if (s.format.size() < size_t(kInfoHeaderSize)) return AV_CODEC_ID_NONE;
  const AVCodecTag* const tags[] = {avformat_get_riff_video_tags(), nullptr};
  BITMAPINFOHEADER h = GetInfoHeader(s.format.data());
  AVCodecID id = av_codec_get_id(tags, h.biCompression);
  if (id == AV_CODEC_ID_NONE && s.info.fccHandler != 0) id = av_codec_get_id(tags, s.info.fccHandler);
  return id;
}

bool IsUncompressedStream(const avi::StreamData& s) {
  return s.format.size() >= size_t(kInfoHeaderSize) &&
         IsUncompressedDib(GetInfoHeader(s.format.data()));
}

}  // namespace

namespace avi {

bool VideoAllKey(const StreamData& s) {
  if (IsUncompressedStream(s)) return true;
  const AVCodecDescriptor* d = avcodec_descriptor_get(CodecIdOf(s));
  return d != nullptr && (d->props & AV_CODEC_PROP_INTRA_ONLY);
}

}  // namespace avi

struct AviGetFrame {
  AviStream* stream = nullptr;  // a reference is held
  const avi::StreamData* s = nullptr;
  int forcedBits = 0;  // 24 or 32 when asked for, else 0
  DibFormat src;       // the stream's format (colour table for paletted codecs)
  bool uncompressed = false;
  std::vector<int64_t> keys;  // samples that are key frames (and not empty)
  std::vector<uint8_t> dib;
  int64_t dibFor = -1;
  std::vector<uint8_t> chunk;

  AVCodecContext* ctx = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  SwsContext* sws = nullptr;
  bool reorder = false;
  bool active = false, draining = false, synced = false, paletteSent = false;
  int64_t feedPos = 0, syncKey = 0, nextLabel = 0, lastLabel = -1;

  ~AviGetFrame() {
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
  }

  int64_t Length() const { return int64_t(s->index.size()); }
  bool Empty(int64_t i) const { return s->index[size_t(i)].size == 0; }
  bool ReadSample(int64_t i) {
    const avi::IndexEntry& e = s->index[size_t(i)];
    if (e.size > kMaxDibBytes) return false;
    chunk.resize(e.size + AV_INPUT_BUFFER_PADDING_SIZE);
    std::fill(chunk.begin() + e.size, chunk.end(), 0);
    return stream->file->io->ReadAt(e.pos, chunk.data(), e.size);
  }
  int OutBits(AVPixelFormat fmt) const {
    if (forcedBits) return forcedBits;
    if (fmt == AV_PIX_FMT_PAL8 || fmt == AV_PIX_FMT_GRAY8) return 8;
    if (fmt == AV_PIX_FMT_RGB555LE) return 16;
    return 24;
  }

  bool OpenDecoder();
  bool Convert(const uint8_t* const data[4], const int linesize[4], AVPixelFormat fmt,
               int32_t w, int32_t h);
  bool DecodeUncompressed(int64_t m);
  bool DecodeTo(int64_t m);
  void Seek(int64_t key);
  int64_t Label(const AVFrame* f);
  bool Feed();
};

bool AviGetFrame::OpenDecoder() {
  const AVCodec* codec = avcodec_find_decoder(CodecIdOf(*s));
  if (codec == nullptr) return false;
  ctx = avcodec_alloc_context3(codec);
  pkt = av_packet_alloc();
  frame = av_frame_alloc();
  if (!ctx || !pkt || !frame) return false;
  BITMAPINFOHEADER h = GetInfoHeader(s->format.data());
  ctx->width = src.width;
  ctx->height = src.height;
  ctx->codec_tag = h.biCompression;
  ctx->bits_per_coded_sample = h.biBitCount;
  ctx->thread_count = 1;
  ctx->max_pixels = gMaxPixels;
  size_t extra = s->format.size() - size_t(kInfoHeaderSize);
  if (extra > 0) {
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(extra + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!ctx->extradata) return false;
    std::memcpy(ctx->extradata, s->format.data() + kInfoHeaderSize, extra);
    ctx->extradata_size = int(extra);
  }
  if (avcodec_open2(ctx, codec, nullptr) < 0) return false;
  const AVCodecDescriptor* d = avcodec_descriptor_get(codec->id);
  reorder = d != nullptr && (d->props & AV_CODEC_PROP_REORDER);
  return true;
}

bool AviGetFrame::Convert(const uint8_t* const data[4], const int linesize[4], AVPixelFormat fmt,
                          int32_t w, int32_t h) {
  if (w < 1 || h < 1 || w > kMaxDibSide || h > kMaxDibSide || int64_t(w) * h > gMaxPixels)
    return false;
  int bits = OutBits(fmt);
  uint8_t palette[1024] = {};
  if (bits == 8) {
    for (int i = 0; i < 256; ++i) {
      uint32_t c = fmt == AV_PIX_FMT_PAL8 ? reinterpret_cast<const uint32_t*>(data[1])[i]
                                          : uint32_t(i) * 0x010101u;
      palette[4 * i] = uint8_t(c);
      palette[4 * i + 1] = uint8_t(c >> 8);
      palette[4 * i + 2] = uint8_t(c >> 16);
    }
  }
  uint8_t* rows = MakePackedDib(dib, w, h, bits, palette);
  int64_t row = DibRowBytes(w, bits);
  if (bits == 8 || (bits == 16 && fmt == AV_PIX_FMT_RGB555LE)) {
    int64_t n = int64_t(w) * (bits / 8);
    for (int32_t y = 0; y < h; ++y)
      std::memcpy(rows + row * (h - 1 - y), data[0] + int64_t(linesize[0]) * y, size_t(n));
    return true;
  }
  AVPixelFormat out = bits == 32 ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR24;
  sws = sws_getCachedContext(sws, w, h, fmt, w, h, out, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (sws == nullptr) return false;
  uint8_t* dst[4] = {rows + row * (h - 1), nullptr, nullptr, nullptr};
  int dstLines[4] = {-int(row), 0, 0, 0};
  if (sws_scale(sws, data, linesize, 0, h, dst, dstLines) != h) return false;
  if (bits == 32)
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) rows[row * y + 4 * x + 3] = 0;
  return true;
}

bool AviGetFrame::DecodeUncompressed(int64_t m) {
  if (!ReadSample(m)) return false;
  int64_t size = s->index[size_t(m)].size;
  // The last row may lack its padding.
  int64_t need = src.rowBytes * (src.height - 1) + (int64_t(src.width) * src.bits + 7) / 8;
  if (size < need) return false;
  std::vector<uint8_t> expanded;
  uint8_t* rows = chunk.data();
  int64_t rowBytes = src.rowBytes;
  int bits = src.bits;
  if (bits < 8) {
    // 1- and 4-bit pictures become 8-bit ones with the same colours.
    rowBytes = DibRowBytes(src.width, 8);
    expanded.assign(size_t(rowBytes * src.height), 0);
    int perByte = 8 / bits, mask = (1 << bits) - 1;
    for (int32_t y = 0; y < src.height; ++y) {
      const uint8_t* in = chunk.data() + src.rowBytes * y;
      uint8_t* out = expanded.data() + rowBytes * y;
      for (int32_t x = 0; x < src.width; ++x) {
        int shift = 8 - bits * (x % perByte + 1);
        out[x] = uint8_t((in[x / perByte] >> shift) & mask);
      }
    }
    rows = expanded.data();
    bits = 8;
  }
  DibFormat f = src;
  f.bits = bits;
  AVPixelFormat fmt = f.PixFmt();
  if (fmt == AV_PIX_FMT_NONE) return false;
  DibPlanes planes;
  DibToPlanes(rows, rowBytes, src.height, src.topDown, src.palette, src.colors, planes);
  return Convert(planes.data, planes.linesize, fmt, src.width, src.height);
}

void AviGetFrame::Seek(int64_t key) {
  avcodec_flush_buffers(ctx);
  int64_t start = key;
  if (reorder && key > 0) {
    // Start a key frame earlier, so the pictures shown before the key frame
    // (decoded after it) have their references.
    auto it = std::lower_bound(keys.begin(), keys.end(), key);
    if (it != keys.begin()) start = *(it - 1);
  }
  feedPos = start;
  syncKey = key;
  synced = false;
  draining = false;
  paletteSent = false;
  lastLabel = -1;
  active = true;
}

int64_t AviGetFrame::Label(const AVFrame* f) {
  int64_t pts = f->pts != AV_NOPTS_VALUE ? f->pts : f->best_effort_timestamp;
  if (!reorder && pts != AV_NOPTS_VALUE) return pts >= syncKey ? pts : -1;
  if (!synced) {
    if (pts != AV_NOPTS_VALUE && pts < syncKey) return -1;
    synced = true;
    nextLabel = syncKey;
  }
  int64_t label = nextLabel;
  do ++nextLabel;
  while (nextLabel < Length() && Empty(nextLabel));
  return label;
}

bool AviGetFrame::Feed() {
  while (feedPos < Length() && Empty(feedPos)) ++feedPos;
  if (feedPos >= Length()) {
    if (draining) return false;
    draining = true;
    return avcodec_send_packet(ctx, nullptr) >= 0;
  }
  int64_t i = feedPos++;
  const avi::IndexEntry& e = s->index[size_t(i)];
  av_packet_unref(pkt);
  if (e.size > kMaxDibBytes) return true;  // no picture is that big: skipped
  if (av_new_packet(pkt, int(e.size)) < 0) return false;
  if (!stream->file->io->ReadAt(e.pos, pkt->data, e.size)) return true;  // skipped
  pkt->pts = pkt->dts = i;
  if (s->index[size_t(i)].flags & AVIIF_KEYFRAME) pkt->flags |= AV_PKT_FLAG_KEY;
  if (!paletteSent && src.colors > 0 && src.bits <= 8) {
    // Paletted codecs take their colours from the first packet.
    DibPlanes planes;
    DibToPlanes(nullptr, 0, 1, true, src.palette, src.colors, planes);
    uint8_t* side = av_packet_new_side_data(pkt, AV_PKT_DATA_PALETTE, AVPALETTE_SIZE);
    if (side) std::memcpy(side, planes.pal, AVPALETTE_SIZE);
    paletteSent = true;
  }
  int r = avcodec_send_packet(ctx, pkt);
  if (r == AVERROR(EAGAIN)) --feedPos;  // take the pictures out first
  return true;
}

bool AviGetFrame::DecodeTo(int64_t m) {
  auto it = std::upper_bound(keys.begin(), keys.end(), m);
  int64_t key = it == keys.begin() ? keys.front() : *(it - 1);
  // Going on is cheaper than a seek unless a key frame lies beyond what was fed.
  if (!active || m <= lastLabel || key > feedPos) Seek(key);
  // Each sample is fed once; the loop ends when the decoder runs dry.
  for (int64_t guard = 0; guard < 4 * (Length() + 16); ++guard) {
    int r = avcodec_receive_frame(ctx, frame);
    if (r == AVERROR(EAGAIN)) {
      if (!Feed()) break;
      continue;
    }
    if (r < 0) break;
    int64_t label = Label(frame);
    if (label < 0) continue;
    lastLabel = label;
    if (label < m) continue;
    bool ok = Convert(frame->data, frame->linesize, AVPixelFormat(frame->format), frame->width,
                      frame->height);
    dibFor = ok ? label : -1;
    return ok && label == m;
  }
  active = false;
  return false;
}

void AVISetMaxPixels(int64_t pixels) { gMaxPixels = std::max<int64_t>(pixels, 1); }

PGETFRAME AVIStreamGetFrameOpen(PAVISTREAM stream, const BITMAPINFOHEADER* wanted) {
  if (stream == nullptr || stream->file->writing) return nullptr;
  const avi::StreamData* s = stream->data;
  if (s->info.fccType != streamtypeVIDEO) return nullptr;
  av::QuietLog();
  auto g = std::make_unique<AviGetFrame>();
  if (wanted != nullptr) {
    if (wanted->biBitCount != 24 && wanted->biBitCount != 32 && wanted->biBitCount != 0)
      return nullptr;
    g->forcedBits = wanted->biBitCount;
  }
  g->s = s;
  if (!ParseDibFormat(s->format.data(), s->format.size(), g->src) ||
      int64_t(g->src.width) * g->src.height > gMaxPixels)
    return nullptr;
  g->uncompressed = IsUncompressedStream(*s);
  if (g->uncompressed) {
    DibFormat probe = g->src;
    probe.bits = std::max(probe.bits, 8);
    if (probe.PixFmt() == AV_PIX_FMT_NONE) return nullptr;
  } else if (!g->OpenDecoder()) {
    return nullptr;
  }
  for (int64_t i = 0; i < g->Length(); ++i)
    if ((s->index[size_t(i)].flags & AVIIF_KEYFRAME) && !g->Empty(i)) g->keys.push_back(i);
  if (g->keys.empty()) {
    for (int64_t i = 0; i < g->Length(); ++i)
      if (!g->Empty(i)) {
        g->keys.push_back(i);
        break;
      }
  }
  g->stream = stream;
  ++stream->refs;
  return g.release();
}

void* AVIStreamGetFrame(PGETFRAME g, int32_t pos) {
  if (g == nullptr || pos < 0 || pos >= g->Length()) return nullptr;
  // An empty sample repeats the picture before it.
  int64_t m = pos;
  while (m >= 0 && g->Empty(m)) --m;
  if (m < 0) {
    MakePackedDib(g->dib, g->src.width, g->src.height, g->forcedBits ? g->forcedBits : 24, nullptr);
    g->dibFor = -1;
    return g->dib.data();
  }
  if (g->dibFor == m) return g->dib.data();
  bool ok = g->uncompressed ? g->DecodeUncompressed(m) : g->DecodeTo(m);
  if (g->uncompressed) g->dibFor = ok ? m : -1;
  return ok ? g->dib.data() : nullptr;
}

HRESULT AVIStreamGetFrameClose(PGETFRAME g) {
  if (g == nullptr) return AVIERR_BADHANDLE;
  AviStream* stream = g->stream;
  delete g;
  return AVIStreamRelease(stream);
}

}  // namespace zelo::vfw
