#include "platform/vcm.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "foundation/basic.h"
#include "platform/dib.h"
#include "platform/avlog.h"

namespace zelo::vfw {
namespace {

enum class QualityKind { None, QScale, Lambda };

constexpr AVPixelFormat kNone[] = {AV_PIX_FMT_NONE};
constexpr AVPixelFormat kRgb24[] = {AV_PIX_FMT_RGB24, AV_PIX_FMT_NONE};
constexpr AVPixelFormat kRgb555[] = {AV_PIX_FMT_RGB555LE, AV_PIX_FMT_NONE};
constexpr AVPixelFormat kBgr0[] = {AV_PIX_FMT_BGR0, AV_PIX_FMT_GBRP, AV_PIX_FMT_NONE};
constexpr AVPixelFormat kPal8[] = {AV_PIX_FMT_PAL8, AV_PIX_FMT_NONE};
constexpr AVPixelFormat kGbrp[] = {AV_PIX_FMT_GBRP, AV_PIX_FMT_NONE};
constexpr AVPixelFormat kYuvj[] = {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV420P, AV_PIX_FMT_NONE};
constexpr AVPixelFormat kYuv420[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_NONE};

struct CodecDef {
  FOURCC fcc;
  const char* encoder;  // FFmpeg encoder name
  const char* name;
  const char* description;
  uint32_t flags;
  int32_t multiple;  // width and height must be multiples of this
  int32_t maxSide;
  const AVPixelFormat* pix[4];  // what the encoder is fed for 8, 16, 24 and 32-bit input
  QualityKind quality;
  int32_t defaultQuality;
  int32_t defaultKeyRate;
  FOURCC aliases[2];
  // MS Video 1 puts its key frame one frame after the interval it is given.
  int32_t keyIntervalBias = 0;
};

// Temporal compressors put a key frame every 15 frames by default (MPEG-4:
// every 120); intra-only ones report 1, every frame being a key frame.
const CodecDef kCodecs[] = {
    {FourCC("cvid"), "cinepak", "Cinepak", "Cinepak (libavcodec)", VIDCF_QUALITY | VIDCF_TEMPORAL,
     4, kMaxDibSide, {kRgb24, kRgb24, kRgb24, kRgb24}, QualityKind::Lambda, 7500, 15, {}},
    {FourCC("MSVC"), "msvideo1", "MS Video 1", "Microsoft Video 1 (libavcodec)", VIDCF_TEMPORAL,
     4, kMaxDibSide, {kNone, kRgb555, kNone, kNone}, QualityKind::None, 0, 15,
     {FourCC("CRAM"), FourCC("WHAM")}, -1},
    {FourCC("MJPG"), "mjpeg", "Motion JPEG", "Motion JPEG (libavcodec)",
     VIDCF_QUALITY | VIDCF_CRUNCH, 1, kMaxDibSide, {kYuvj, kYuvj, kYuvj, kYuvj},
     QualityKind::QScale, 8500, 1, {}},
    {FourCC("HFYU"), "huffyuv", "Huffyuv", "Huffyuv lossless (libavcodec)", 0, 1, kMaxDibSide,
     {kRgb24, kRgb24, kRgb24, kRgb24}, QualityKind::None, 0, 1, {}},
    {FourCC("FFVH"), "ffvhuff", "FFV Huffyuv", "FFmpeg Huffyuv variant, lossless (libavcodec)", 0,
     1, kMaxDibSide, {kRgb24, kRgb24, kRgb24, kRgb24}, QualityKind::None, 0, 1, {}},
    {FourCC("FFV1"), "ffv1", "FFV1", "FFV1 lossless (libavcodec)", VIDCF_TEMPORAL, 1, kMaxDibSide,
     {kBgr0, kBgr0, kBgr0, kBgr0}, QualityKind::None, 0, 15, {}},
    {FourCC("ULRG"), "utvideo", "Ut Video RGB", "Ut Video RGB, lossless (libavcodec)", 0, 1,
     kMaxDibSide, {kGbrp, kGbrp, kGbrp, kGbrp}, QualityKind::None, 0, 1, {}},
    {FourCC("FMP4"), "mpeg4", "MPEG-4", "MPEG-4 part 2 video (libavcodec)",
     VIDCF_QUALITY | VIDCF_CRUNCH | VIDCF_TEMPORAL, 2, 8190, {kYuv420, kYuv420, kYuv420, kYuv420},
     QualityKind::QScale, 7500, 120, {FourCC("XVID")}},
    {FourCC("ZMBV"), "zmbv", "ZMBV", "Zip Motion Blocks Video, lossless (libavcodec)",
     VIDCF_TEMPORAL, 1, kMaxDibSide, {kPal8, kRgb555, kBgr0, kBgr0}, QualityKind::None, 0, 15,
     {}},
    {FourCC("MPNG"), "png", "PNG", "PNG frames, lossless (libavcodec)", 0, 1, kMaxDibSide,
     {kPal8, kRgb24, kRgb24, kRgb24}, QualityKind::None, 0, 1, {}},
};

const AVCodec* EncoderOf(const CodecDef& d) { return avcodec_find_encoder_by_name(d.encoder); }

// The compressor a FOURCC names (its own or an alias, any case), if installed.
const CodecDef* FindCodec(FOURCC fcc) {
  FOURCC l = FourCCLower(fcc);
  for (const CodecDef& d : kCodecs) {
    bool match = FourCCLower(d.fcc) == l;
    for (FOURCC a : d.aliases) match = match || (a != 0 && FourCCLower(a) == l);
    if (match) return EncoderOf(d) != nullptr ? &d : nullptr;
  }
  return nullptr;
}

VcmState DefaultState(const CodecDef& d) {
  VcmState s;
  s.fcc = d.fcc;
  s.quality = d.flags & VIDCF_QUALITY ? d.defaultQuality : 0;
  s.keyFrameEvery = d.defaultKeyRate;
  return s;
}

void CopyText(char* dst, size_t room, const char* src) {
  std::strncpy(dst, src, room - 1);
  dst[room - 1] = '\0';
}

void FillInfo(const CodecDef& d, FOURCC fcc, ICINFO& info) {
  info = ICINFO{};
  info.dwSize = sizeof(ICINFO);
  info.fccType = ICTYPE_VIDEO;
  info.fccHandler = fcc;
  info.dwFlags = d.flags;
  info.dwVersion = LIBAVCODEC_VERSION_INT;
  info.dwVersionICM = 0x0104;
  CopyText(info.szName, sizeof info.szName, d.name);
  CopyText(info.szDescription, sizeof info.szDescription, d.description);
  CopyText(info.szDriver, sizeof info.szDriver, "libavcodec");
}

// The header behind a message parameter, with the colour table or masks
// that follow it.
bool HeaderBlock(uintptr_t p, std::vector<uint8_t>& out) {
  if (p == 0) return false;
  const auto* b = reinterpret_cast<const uint8_t*>(p);
  BITMAPINFOHEADER h = GetInfoHeader(b);
  size_t size = std::clamp<size_t>(h.biSize, kInfoHeaderSize, 124);
  if (h.biCompression == BI_BITFIELDS && size < 52) size = 52;
  if (h.biBitCount <= 8 && h.biBitCount > 0)
    size += 4 * (h.biClrUsed > 0 ? std::min<uint32_t>(h.biClrUsed, 256) : (1u << h.biBitCount));
  out.assign(b, b + size);
  return true;
}

int DepthSlot(int bits) {
  switch (bits) {
    case 8: return 0;
    case 16: return 1;
    case 24: return 2;
    case 32: return 3;
    default: return -1;
  }
}

// The pixel format the encoder is fed for an input format, or NONE when the
// compressor does not take it.
AVPixelFormat EncoderInput(const CodecDef& d, const DibFormat& in) {
  if (in.compression != BI_RGB && in.compression != BI_BITFIELDS) return AV_PIX_FMT_NONE;
  if (in.PixFmt() == AV_PIX_FMT_NONE) return AV_PIX_FMT_NONE;
  if (in.width % d.multiple != 0 || in.height % d.multiple != 0) return AV_PIX_FMT_NONE;
  if (in.width > d.maxSide || in.height > d.maxSide) return AV_PIX_FMT_NONE;
  int slot = DepthSlot(in.bits);
  if (slot < 0) return AV_PIX_FMT_NONE;
  const AVCodec* codec = EncoderOf(d);
  if (codec == nullptr) return AV_PIX_FMT_NONE;
  for (const AVPixelFormat* f = d.pix[slot]; *f != AV_PIX_FMT_NONE; ++f) {
    if (codec->pix_fmts == nullptr) return *f;
    for (const AVPixelFormat* e = codec->pix_fmts; *e != AV_PIX_FMT_NONE; ++e)
      if (*e == *f) return *f;
  }
  return AV_PIX_FMT_NONE;
}

int DecodedBits(AVPixelFormat f) {
  if (f == AV_PIX_FMT_PAL8) return 8;
  if (f == AV_PIX_FMT_RGB555LE) return 16;
  return 24;
}

int32_t QScale(int32_t quality) {
  return 2 + int32_t(std::lround((10000 - std::clamp(quality, 0, 10000)) * 29 / 10000.0));
}

// Cinepak's rate-distortion weight: its own default at quality 7500,
// halving for every 1250 more.
int32_t CinepakLambda(int32_t quality) {
  return int32_t(std::lround(2.0 * FF_LAMBDA_SCALE *
                             std::pow(2.0, (7500 - std::clamp(quality, 0, 10000)) / 1250.0)));
}

// Settings an encoder runs with.
struct Settings {
  int32_t quality = 0;
  int32_t keyEvery = 1;
  int32_t bytesPerSecond = 0;
  int32_t effort = -1;
};

Settings FromState(const CodecDef& d, const VcmState& s) {
  Settings e;
  e.quality = s.quality;
  e.keyEvery = std::max(1, s.keyFrameEvery);
  e.bytesPerSecond = d.flags & VIDCF_CRUNCH ? s.bytesPerSecond : 0;
  e.effort = s.effort;
  return e;
}

struct OpenedEncoder {
  AVCodecContext* ctx = nullptr;
  AVPixelFormat input = AV_PIX_FMT_NONE;
  std::vector<uint8_t> format;  // the compressed stream's format block
  ~OpenedEncoder() { avcodec_free_context(&ctx); }
};

// Opens the encoder of d for the input format and builds the output format.
bool OpenEncoder(const CodecDef& d, FOURCC fcc, const DibFormat& in, const Settings& set,
                 uint32_t scale, uint32_t rate, OpenedEncoder& out) {
  out.input = EncoderInput(d, in);
  const AVCodec* codec = EncoderOf(d);
  if (out.input == AV_PIX_FMT_NONE || codec == nullptr) return false;
  AVCodecContext* c = out.ctx = avcodec_alloc_context3(codec);
  if (c == nullptr) return false;
  c->width = in.width;
  c->height = in.height;
  c->pix_fmt = out.input;
  AVRational tb{1, 25};
  if (scale > 0 && rate > 0) av_reduce(&tb.num, &tb.den, scale, rate, 65535);
  c->time_base = tb;
  c->framerate = av_inv_q(tb);
  c->thread_count = 1;
  c->max_b_frames = 0;  // one sample per frame, in order
  c->gop_size = set.keyEvery;
  c->keyint_min = std::max(0, set.keyEvery + d.keyIntervalBias);
  c->codec_tag = fcc;
  if (d.quality == QualityKind::QScale) {
    if (set.bytesPerSecond > 0) {
      c->bit_rate = int64_t(set.bytesPerSecond) * 8;
    } else {
      c->flags |= AV_CODEC_FLAG_QSCALE;
      c->global_quality = QScale(set.quality) * FF_QP2LAMBDA;
    }
  }
  if (set.effort >= 0) {
    if (d.fcc == FourCC("ZMBV") || d.fcc == FourCC("MPNG")) c->compression_level = set.effort;
    if (d.fcc == FourCC("FFV1") && set.effort >= 6) {
      av_opt_set_int(c->priv_data, "coder", 1, 0);
      av_opt_set_int(c->priv_data, "context", 1, 0);
    }
    if (d.fcc == FourCC("FMP4") && set.effort >= 6) av_opt_set(c, "mbd", "rd", 0);
  }
  if (avcodec_open2(c, codec, nullptr) < 0) return false;

  int bits = c->bits_per_coded_sample > 0 ? c->bits_per_coded_sample : DecodedBits(out.input);
  size_t extra = c->extradata_size > 0 ? size_t(c->extradata_size) : 0;
  size_t table = bits == 8 ? 1024 : 0;
  out.format.assign(size_t(kInfoHeaderSize) + extra + table, 0);
  BITMAPINFOHEADER h{};
  h.biSize = kInfoHeaderSize;
  h.biWidth = in.width;
  h.biHeight = in.height;
  h.biPlanes = 1;
  h.biBitCount = uint16_t(bits);
  h.biCompression = fcc;
  h.biSizeImage = uint32_t(DibRowBytes(in.width, bits) * in.height);
  h.biClrUsed = bits == 8 ? 256 : 0;
  PutInfoHeader(out.format.data(), h);
  if (extra) std::memcpy(out.format.data() + kInfoHeaderSize, c->extradata, extra);
  // The colour table goes last, where AVI readers look for it.
  if (table) std::memcpy(out.format.data() + kInfoHeaderSize + extra, in.palette, table);
  return true;
}

class Encoder final : public VideoEncoder {
 public:
  Encoder(const CodecDef& d, const DibFormat& in, const Settings& set)
      : def_(d), in_(in), set_(set) {}
  ~Encoder() override {
    sws_freeContext(sws_);
    av_frame_free(&frame_);
    av_packet_free(&pkt_);
  }

  bool Start(FOURCC fcc, uint32_t scale, uint32_t rate) {
    frame_ = av_frame_alloc();
    pkt_ = av_packet_alloc();
    return frame_ && pkt_ && OpenEncoder(def_, fcc, in_, set_, scale, rate, enc_);
  }

  const std::vector<uint8_t>& OutputFormat() const override { return enc_.format; }
  uint32_t Quality() const override {
    return def_.quality != QualityKind::None ? uint32_t(set_.quality) : 0xFFFFFFFFu;
  }

  HRESULT Encode(const uint8_t* bits, int64_t size, const Sink& sink) override {
    int64_t need = in_.rowBytes * (in_.height - 1) + (int64_t(in_.width) * in_.bits + 7) / 8;
    if (bits == nullptr || size < need) return AVIERR_BADSIZE;
    AVCodecContext* c = enc_.ctx;
    av_frame_unref(frame_);
    frame_->format = c->pix_fmt;
    frame_->width = c->width;
    frame_->height = c->height;
    if (av_frame_get_buffer(frame_, 0) < 0) return AVIERR_MEMORY;
    DibPlanes planes;
    DibToPlanes(const_cast<uint8_t*>(bits), in_.rowBytes, in_.height, in_.topDown, in_.palette,
                in_.colors, planes);
    AVPixelFormat src = in_.PixFmt();
    if (src == c->pix_fmt) {
      av_image_copy(frame_->data, frame_->linesize, const_cast<const uint8_t**>(planes.data),
                    planes.linesize, src, c->width, c->height);
    } else {
      sws_ = sws_getCachedContext(sws_, c->width, c->height, src, c->width, c->height, c->pix_fmt,
                                  SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP, nullptr,
                                  nullptr, nullptr);
      if (sws_ == nullptr) return AVIERR_COMPRESSOR;
      sws_scale(sws_, planes.data, planes.linesize, 0, c->height, frame_->data, frame_->linesize);
    }
    frame_->pts = frames_;
    frame_->pict_type = frames_ % set_.keyEvery == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (def_.quality == QualityKind::QScale && set_.bytesPerSecond == 0)
      frame_->quality = c->global_quality;
    if (def_.quality == QualityKind::Lambda) frame_->quality = CinepakLambda(set_.quality) + 1;
    ++frames_;
    if (avcodec_send_frame(c, frame_) < 0) return AVIERR_COMPRESSOR;
    return Drain(sink);
  }

  HRESULT Flush(const Sink& sink) override {
    if (flushed_) return AVIERR_OK;
    flushed_ = true;
    if (avcodec_send_frame(enc_.ctx, nullptr) < 0) return AVIERR_COMPRESSOR;
    return Drain(sink);
  }

 private:
  HRESULT Drain(const Sink& sink) {
    for (;;) {
      int r = avcodec_receive_packet(enc_.ctx, pkt_);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return AVIERR_OK;
      if (r < 0) return AVIERR_COMPRESSOR;
      HRESULT w = sink(pkt_->data, pkt_->size, (pkt_->flags & AV_PKT_FLAG_KEY) != 0);
      av_packet_unref(pkt_);
      if (w != AVIERR_OK) return w;
    }
  }

  const CodecDef& def_;
  DibFormat in_;
  Settings set_;
  OpenedEncoder enc_;
  AVFrame* frame_ = nullptr;
  AVPacket* pkt_ = nullptr;
  SwsContext* sws_ = nullptr;
  int64_t frames_ = 0;
  bool flushed_ = false;
};

}  // namespace

// An open compressor, or (def none) a decompressor that is only described.
struct IcInstance {
  const CodecDef* def;
  FOURCC fcc;
  uint32_t mode;
  VcmState state;
  const AVCodecDescriptor* decoder = nullptr;
};

namespace {

// A decoder FFmpeg has for an AVI FOURCC outside the compressors' list.
const AVCodecDescriptor* DecoderOnly(FOURCC fcc) {
  const AVCodecTag* const tags[] = {avformat_get_riff_video_tags(), nullptr};
  AVCodecID id = av_codec_get_id(tags, fcc);
  if (id == AV_CODEC_ID_NONE || avcodec_find_decoder(id) == nullptr) return nullptr;
  return avcodec_descriptor_get(id);
}

void FillDecoderInfo(const AVCodecDescriptor& d, FOURCC fcc, ICINFO& info) {
  info = ICINFO{};
  info.dwSize = sizeof(ICINFO);
  info.fccType = ICTYPE_VIDEO;
  info.fccHandler = fcc;
  info.dwVersion = LIBAVCODEC_VERSION_INT;
  info.dwVersionICM = 0x0104;
  CopyText(info.szName, sizeof info.szName, d.name);
  CopyText(info.szDescription, sizeof info.szDescription, d.long_name ? d.long_name : d.name);
  CopyText(info.szDriver, sizeof info.szDriver, "libavcodec");
}

}  // namespace

void PutVcmState(uint8_t* b, const VcmState& s) {
  std::memset(b, 0, kVcmStateSize);
  PutLE32(b, FourCC("ZVCS"));
  PutLE16(b + 4, kVcmStateVersion);
  PutLE16(b + 6, kVcmStateSize);
  PutLE32(b + 8, s.fcc);
  PutLE32(b + 12, uint32_t(s.quality));
  PutLE32(b + 16, uint32_t(s.keyFrameEvery));
  PutLE32(b + 20, uint32_t(s.bytesPerSecond));
  PutLE32(b + 24, uint32_t(s.effort));
}

bool GetVcmState(const uint8_t* b, int32_t size, VcmState& out) {
  if (b == nullptr || size < kVcmStateSize) return false;
  if (GetLE32(b) != FourCC("ZVCS") || GetLE16(b + 4) != kVcmStateVersion ||
      GetLE16(b + 6) != kVcmStateSize)
    return false;
  VcmState s;
  s.fcc = GetLE32(b + 8);
  s.quality = int32_t(GetLE32(b + 12));
  s.keyFrameEvery = int32_t(GetLE32(b + 16));
  s.bytesPerSecond = int32_t(GetLE32(b + 20));
  s.effort = int32_t(GetLE32(b + 24));
  if (s.quality < 0 || s.quality > 10000 || s.keyFrameEvery < 1 || s.keyFrameEvery > 100000 ||
      s.bytesPerSecond < 0 || s.effort < -1 || s.effort > 9)
    return false;
  out = s;
  return true;
}

bool ICInfo(FOURCC type, FOURCC handler, ICINFO* info) {
  av::QuietLog();
  if (info == nullptr || (type != ICTYPE_VIDEO && type != 0)) return false;
  if (handler < 256) {
    uint32_t n = 0;
    for (const CodecDef& d : kCodecs) {
      if (EncoderOf(d) == nullptr) continue;
      if (n++ == handler) {
        FillInfo(d, d.fcc, *info);
        return true;
      }
    }
    return false;
  }
  if (const CodecDef* d = FindCodec(handler)) {
    FillInfo(*d, d->fcc, *info);
    return true;
  }
  if (IsUncompressedFourCC(handler)) return false;
  const AVCodecDescriptor* dec = DecoderOnly(handler);
  if (dec == nullptr) return false;
  FillDecoderInfo(*dec, handler, *info);
  return true;
}

HIC ICOpen(FOURCC type, FOURCC handler, uint32_t mode) {
  av::QuietLog();
  if (type != ICTYPE_VIDEO && type != 0) return nullptr;
  const CodecDef* d = FindCodec(handler);
  if (d == nullptr) {
    // What FFmpeg only decodes can be asked about, not used to compress.
    const AVCodecDescriptor* dec =
        IsUncompressedFourCC(handler) || (mode & ICMODE_COMPRESS) ? nullptr : DecoderOnly(handler);
    if (dec == nullptr) return nullptr;
    return new IcInstance{nullptr, handler, mode, VcmState{}, dec};
  }
  // Opened under an alias, the compressor writes that code.
  FOURCC fcc = FourCCLower(handler) == FourCCLower(d->fcc) ? d->fcc : handler;
  return new IcInstance{d, fcc, mode, DefaultState(*d)};
}

int32_t ICGetInfo(HIC hic, ICINFO* info, int32_t size) {
  if (hic == nullptr || info == nullptr || size <= 0) return 0;
  ICINFO full;
  if (hic->def)
    FillInfo(*hic->def, hic->fcc, full);
  else
    FillDecoderInfo(*hic->decoder, hic->fcc, full);
  int32_t n = std::min<int32_t>(size, sizeof full);
  std::memcpy(info, &full, size_t(n));
  return n;
}

intptr_t ICClose(HIC hic) {
  if (hic == nullptr) return ICERR_BADHANDLE;
  delete hic;
  return ICERR_OK;
}

intptr_t ICSendMessage(HIC hic, uint32_t msg, uintptr_t p1, uintptr_t p2) {
  if (hic == nullptr) return ICERR_BADHANDLE;
  if (hic->def == nullptr) {
    // A decompressor: described, without state, compressing nothing.
    if (msg == ICM_GETINFO)
      return ICGetInfo(hic, reinterpret_cast<ICINFO*>(p1), int32_t(std::min<uintptr_t>(p2, INT32_MAX)));
    if (msg == ICM_GETSTATE && p1 == 0) return 0;
    if (msg == ICM_COMPRESS_QUERY || msg == ICM_COMPRESS_GET_FORMAT) return ICERR_BADFORMAT;
    return ICERR_UNSUPPORTED;
  }
  const CodecDef& d = *hic->def;
  switch (msg) {
    case ICM_GETSTATE:
      if (p1 == 0) return kVcmStateSize;
      if (p2 < uintptr_t(kVcmStateSize)) return ICERR_BADSIZE;
      PutVcmState(reinterpret_cast<uint8_t*>(p1), hic->state);
      return ICERR_OK;
    case ICM_SETSTATE: {
      if (p1 == 0) {
        hic->state = DefaultState(d);
        return ICERR_OK;
      }
      VcmState s;
      if (!GetVcmState(reinterpret_cast<const uint8_t*>(p1), int32_t(std::min<uintptr_t>(p2, INT32_MAX)), s))
        return 0;
      if (FindCodec(s.fcc) != &d) return 0;
      hic->state = s;
      return kVcmStateSize;
    }
    case ICM_GETINFO:
      return ICGetInfo(hic, reinterpret_cast<ICINFO*>(p1), int32_t(std::min<uintptr_t>(p2, INT32_MAX)));
    case ICM_CONFIGURE:
    case ICM_ABOUT:
      return ICERR_UNSUPPORTED;
    case ICM_GETDEFAULTQUALITY:
      if (!(d.flags & VIDCF_QUALITY)) return ICERR_UNSUPPORTED;
      if (p1 == 0) return ICERR_BADPARAM;
      *reinterpret_cast<uint32_t*>(p1) = uint32_t(d.defaultQuality);
      return ICERR_OK;
    case ICM_GETDEFAULTKEYFRAMERATE:
      if (p1 == 0) return ICERR_BADPARAM;
      *reinterpret_cast<uint32_t*>(p1) = uint32_t(d.defaultKeyRate);
      return ICERR_OK;
    case ICM_COMPRESS_QUERY:
    case ICM_COMPRESS_GET_FORMAT:
    case ICM_COMPRESS_GET_SIZE: {
      std::vector<uint8_t> block;
      DibFormat in;
      if (!HeaderBlock(p1, block) || !ParseDibFormat(block.data(), block.size(), in))
        return ICERR_BADFORMAT;
      if (EncoderInput(d, in) == AV_PIX_FMT_NONE) return ICERR_BADFORMAT;
      if (msg == ICM_COMPRESS_GET_SIZE) return intptr_t(DibRowBytes(in.width, 32) * in.height + 65536);
      if (msg == ICM_COMPRESS_QUERY && p2 == 0) return ICERR_OK;
      OpenedEncoder enc;
      if (!OpenEncoder(d, hic->fcc, in, FromState(d, hic->state), 1, 25, enc)) return ICERR_BADFORMAT;
      if (msg == ICM_COMPRESS_GET_FORMAT) {
        if (p2 == 0) return intptr_t(enc.format.size());
        std::memcpy(reinterpret_cast<void*>(p2), enc.format.data(), enc.format.size());
        return ICERR_OK;
      }
      // A query with an output format: it must be the one this input gives.
      BITMAPINFOHEADER want = GetInfoHeader(reinterpret_cast<const uint8_t*>(p2));
      BITMAPINFOHEADER have = GetInfoHeader(enc.format.data());
      bool same = FourCCLower(want.biCompression) == FourCCLower(have.biCompression) &&
                  want.biWidth == have.biWidth && std::abs(want.biHeight) == have.biHeight;
      return same ? ICERR_OK : ICERR_BADFORMAT;
    }
    default:
      return ICERR_UNSUPPORTED;
  }
}

uint32_t ICGetDefaultQuality(HIC hic) {
  uint32_t v = 0;
  return ICSendMessage(hic, ICM_GETDEFAULTQUALITY, reinterpret_cast<uintptr_t>(&v), sizeof v) ==
                 ICERR_OK
             ? v
             : 0;
}

uint32_t ICGetDefaultKeyFrameRate(HIC hic) {
  uint32_t v = 0;
  return ICSendMessage(hic, ICM_GETDEFAULTKEYFRAMERATE, reinterpret_cast<uintptr_t>(&v),
                       sizeof v) == ICERR_OK
             ? v
             : 0;
}

bool VideoCompressorExists(FOURCC handler) {
  av::QuietLog();
  return FindCodec(handler) != nullptr;
}

std::unique_ptr<VideoEncoder> VideoEncoder::Open(const AVICOMPRESSOPTIONS& o,
                                                 const uint8_t* format, size_t size,
                                                 uint32_t scale, uint32_t rate, HRESULT* result) {
  av::QuietLog();
  HRESULT dummy;
  HRESULT& r = result ? *result : dummy;
  const CodecDef* d = FindCodec(o.fccHandler);
  if (d == nullptr) {
    r = AVIERR_NOCOMPRESSOR;
    return nullptr;
  }
  DibFormat in;
  if (!ParseDibFormat(format, size, in) || EncoderInput(*d, in) == AV_PIX_FMT_NONE) {
    r = AVIERR_BADFORMAT;
    return nullptr;
  }
  // The state block gives the compressor's own settings; the options
  // override what they set.
  VcmState state = DefaultState(*d);
  VcmState given;
  if (o.lpParms != nullptr &&
      GetVcmState(static_cast<const uint8_t*>(o.lpParms), int32_t(o.cbParms), given) &&
      FindCodec(given.fcc) == d)
    state = given;
  Settings set = FromState(*d, state);
  if (o.dwQuality <= 10000) set.quality = int32_t(o.dwQuality);
  if ((o.dwFlags & AVICOMPRESSF_KEYFRAMES) && o.dwKeyFrameEvery > 0)
    set.keyEvery = int32_t(std::min<uint32_t>(o.dwKeyFrameEvery, 100000));
  if ((o.dwFlags & AVICOMPRESSF_DATARATE) && o.dwBytesPerSecond > 0 && (d->flags & VIDCF_CRUNCH))
    set.bytesPerSecond = int32_t(std::min<uint32_t>(o.dwBytesPerSecond, INT32_MAX / 8));
  if (!(d->flags & VIDCF_TEMPORAL)) set.keyEvery = 1;
  FOURCC fcc = FourCCLower(o.fccHandler) == FourCCLower(d->fcc) ? d->fcc : o.fccHandler;
  auto e = std::make_unique<Encoder>(*d, in, set);
  if (!e->Start(fcc, scale, rate)) {
    r = AVIERR_COMPRESSOR;
    return nullptr;
  }
  r = AVIERR_OK;
  return e;
}

}  // namespace zelo::vfw
