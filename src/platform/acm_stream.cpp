#include "platform/acm_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "foundation/basic.h"
#include "platform/acm.h"
#include "platform/avlog.h"

namespace zelo::acm {
namespace {

constexpr int kMaxChannels = 8;
constexpr int kMaxRate = 1 << 20;
constexpr int kFilterSize = 32;      // libswresample's taps per output sample
constexpr size_t kPacketBytes = 1 << 16;  // sample-wise codings go to the decoder in pieces of this size

struct TagRow {
  uint16_t tag;
  const char* name;
  uint32_t formatSize;
  AVCodecID codec;  // a decoder the tag needs; NONE when it depends on the format
};

constexpr TagRow kTags[] = {
    {0x0001, "PCM", 16, AV_CODEC_ID_PCM_S16LE},
    {0x0002, "Microsoft ADPCM", 50, AV_CODEC_ID_ADPCM_MS},
    {0x0003, "IEEE Float", 18, AV_CODEC_ID_PCM_F32LE},
    {0x0006, "CCITT A-Law", 18, AV_CODEC_ID_PCM_ALAW},
    {0x0007, "CCITT u-Law", 18, AV_CODEC_ID_PCM_MULAW},
    {0x0011, "IMA ADPCM", 20, AV_CODEC_ID_ADPCM_IMA_WAV},
    {0x0020, "Yamaha ADPCM", 20, AV_CODEC_ID_ADPCM_YAMAHA},
    {0x0031, "GSM 6.10", 20, AV_CODEC_ID_GSM_MS},
    {0x0050, "MPEG Layer-1/2", 40, AV_CODEC_ID_MP2},
    {0x0055, "MPEG Layer-3", 30, AV_CODEC_ID_MP3},
    {0xFFFE, "WAVE Extensible", 40, AV_CODEC_ID_NONE},
};

const TagRow* FindTag(uint16_t tag) {
  for (const TagRow& row : kTags)
    if (row.tag == tag) return &row;
  return nullptr;
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t d = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? d - 1 : d;
}
int64_t CeilDiv(int64_t a, int64_t b) { return -FloorDiv(-a, b); }

AVChannelLayout Layout(int channels) {
  AVChannelLayout layout{};
  av_channel_layout_default(&layout, channels);
  return layout;
}

// --- MPEG audio frame headers -------------------------------------------------

struct MpaHeader {
  int version = 0;  // 1 MPEG-1, 2 MPEG-2, 25 MPEG-2.5
  int layer = 0;
  int rate = 0;
  int channels = 0;
  int bytes = 0;    // whole frame
  int samples = 0;  // sample frames it decodes to
};

bool ParseMpaHeader(const uint8_t* p, MpaHeader& h) {
  static const int kRates[3] = {44100, 48000, 32000};
  static const int kKbps[5][15] = {
      {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer 1
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer 2
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer 3
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2 layer 1
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};         // MPEG-2 layers 2, 3
  uint32_t v = GetBE32(p);
  if ((v & 0xFFE00000u) != 0xFFE00000u) return false;
  int versionBits = (v >> 19) & 3, layerBits = (v >> 17) & 3;
  int bitrateIndex = (v >> 12) & 15, rateIndex = (v >> 10) & 3;
  if (versionBits == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
    return false;  // reserved values; free-format streams are not taken
  h.version = versionBits == 3 ? 1 : (versionBits == 2 ? 2 : 25);
  h.layer = 4 - layerBits;
  h.rate = kRates[rateIndex] / (h.version == 1 ? 1 : (h.version == 2 ? 2 : 4));
  h.channels = ((v >> 6) & 3) == 3 ? 1 : 2;
  int padding = (v >> 9) & 1;
  int row = h.version == 1 ? h.layer - 1 : (h.layer == 1 ? 3 : 4);
  int64_t bitrate = int64_t(kKbps[row][bitrateIndex]) * 1000;
  if (h.layer == 1) {
    h.bytes = int((12 * bitrate / h.rate + padding) * 4);
    h.samples = 384;
  } else if (h.layer == 2 || h.version == 1) {
    h.bytes = int(144 * bitrate / h.rate + padding);
    h.samples = 1152;
  } else {
    h.bytes = int(72 * bitrate / h.rate + padding);
    h.samples = 576;
  }
  return h.bytes > 4;
}

int MpegSamplesPerFrame(int layer, int rate) {
  if (layer == 1) return 384;
  if (layer == 3 && rate < 32000) return 576;
  return 1152;
}

}  // namespace

const char* TagName(uint16_t tag, uint32_t* formatSize) {
  const TagRow* row = FindTag(tag);
  if (row == nullptr) return nullptr;
  if (row->codec != AV_CODEC_ID_NONE && avcodec_find_decoder(row->codec) == nullptr) return nullptr;
  if (formatSize != nullptr) *formatSize = row->formatSize;
  return row->name;
}

int32_t Describe(const QWaveFormat& f, Coding& c) {
  av::QuietLog();
  c = Coding{};
  if (f.channels < 1 || f.channels > kMaxChannels || f.samplesPerSec < 1 || f.samplesPerSec > kMaxRate)
    return ACMERR_NOTPOSSIBLE;
  const uint8_t* extra = reinterpret_cast<const uint8_t*>(&f) + sizeof(QWaveFormat);
  uint16_t tag = f.formatTag;
  bool extensible = tag == 0xFFFE;
  if (extensible) {
    // The sub-format GUID is {tag-0000-0010-8000-00AA00389B71}.
    static const uint8_t kTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                      0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    if (f.extraSize < 22) return ACMERR_NOTPOSSIBLE;
    const uint8_t* guid = extra + 6;
    if (GetLE16(guid + 2) != 0 || std::memcmp(guid + 4, kTail, sizeof kTail) != 0) return ACMERR_NOTPOSSIBLE;
    tag = GetLE16(guid);
    if (tag == 0xFFFE) return ACMERR_NOTPOSSIBLE;
  }
  int ch = f.channels, align = f.blockAlign;
  int container = align % ch == 0 ? align / ch : 0;
  c.tag = tag;
  c.channels = ch;
  c.rate = int(f.samplesPerSec);
  c.bitsCoded = f.bitsPerSample;
  c.avgBytes = f.avgBytesPerSec;
  c.cut = Cut::kStream;
  c.unitBytes = align;
  c.unitFrames = 1;
  AVCodecID id = AV_CODEC_ID_NONE;
  switch (tag) {
    case 0x0001: {
      static const AVCodecID kPcm[5] = {AV_CODEC_ID_NONE, AV_CODEC_ID_PCM_U8, AV_CODEC_ID_PCM_S16LE,
                                        AV_CODEC_ID_PCM_S24LE, AV_CODEC_ID_PCM_S32LE};
      if (container >= 1 && container <= 4) id = kPcm[container];
      break;
    }
    case 0x0003:
      id = container == 4 ? AV_CODEC_ID_PCM_F32LE : (container == 8 ? AV_CODEC_ID_PCM_F64LE : AV_CODEC_ID_NONE);
      break;
    case 0x0006:
    case 0x0007:
      if (container == 1) id = tag == 6 ? AV_CODEC_ID_PCM_ALAW : AV_CODEC_ID_PCM_MULAW;
      break;
    case 0x0020:  // one byte holds a mono pair or a stereo frame
      if (ch <= 2) {
        id = AV_CODEC_ID_ADPCM_YAMAHA;
        c.unitBytes = 1;
        c.unitFrames = ch == 1 ? 2 : 1;
      }
      break;
    case 0x0002:  // per channel a 7-byte header holding two samples, then nibbles
      if (ch <= 2 && align >= 7 * ch) {
        id = AV_CODEC_ID_ADPCM_MS;
        c.cut = Cut::kBlock;
        c.unitFrames = (align - 6 * ch) * 2 / ch;
      }
      break;
    case 0x0011: {  // per channel a 4-byte header holding one sample, then groups of codes
      static const int kGroupBytes[4] = {4, 12, 4, 20}, kGroupSamples[4] = {16, 32, 8, 32};
      int bits = f.bitsPerSample;
      if (ch <= 2 && bits >= 2 && bits <= 5 && align >= 4 * ch) {
        id = AV_CODEC_ID_ADPCM_IMA_WAV;
        c.cut = Cut::kBlock;
        c.unitFrames = 1 + (align - 4 * ch) / (kGroupBytes[bits - 2] * ch) * kGroupSamples[bits - 2];
      }
      break;
    }
    case 0x0031:  // 65-byte blocks of two GSM frames
      if (ch == 1 && align >= 65 && align % 65 == 0) {
        id = AV_CODEC_ID_GSM_MS;
        c.cut = Cut::kBlock;
        c.unitBytes = 65;
        c.unitFrames = 320;
      }
      break;
    case 0x0050:
    case 0x0055:
      if (ch <= 2) {
        c.cut = Cut::kMpeg;
        c.unitBytes = 0;
        c.unitFrames = 0;
        if (tag == 0x0055) {
          c.mpegLayer = 3;
          id = AV_CODEC_ID_MP3;
        } else {
          int headLayer = (!extensible && f.extraSize >= 2) ? GetLE16(extra) : 0;  // 1, 2 or 4
          c.mpegLayer = headLayer == 1 ? 1 : (headLayer == 2 ? 2 : 0);
          id = c.mpegLayer == 1 ? AV_CODEC_ID_MP1 : AV_CODEC_ID_MP2;
        }
      }
      break;
    default:
      break;
  }
  if (id == AV_CODEC_ID_NONE || avcodec_find_decoder(id) == nullptr) return ACMERR_NOTPOSSIBLE;
  if (c.unitFrames < 1 && c.cut != Cut::kMpeg) return ACMERR_NOTPOSSIBLE;
  c.codec = id;
  if (!extensible && f.extraSize > 0) c.extradata.assign(extra, extra + f.extraSize);
  return MMSYSERR_NOERROR;
}

int32_t CheckTarget(const QWaveFormat& f) {
  int bits = f.bitsPerSample;
  if (f.formatTag != 1 || f.channels < 1 || f.channels > kMaxChannels || f.samplesPerSec < 1 ||
      f.samplesPerSec > kMaxRate || (bits != 8 && bits != 16 && bits != 24 && bits != 32))
    return ACMERR_NOTPOSSIBLE;
  if (f.blockAlign != f.channels * bits / 8) return ACMERR_NOTPOSSIBLE;
  return MMSYSERR_NOERROR;
}

// --- the stream ---------------------------------------------------------------

AcmStream::AcmStream(const Coding& in, const QWaveFormat& out) : in_(in), target_(out) {}

AcmStream::~AcmStream() {
  avcodec_free_context(&dec_);
  av_packet_free(&pkt_);
  av_frame_free(&frame_);
  swr_free(&mixer_);
  swr_free(&rate_);
}

int32_t AcmStream::Create(const Coding& in, const QWaveFormat& out, std::unique_ptr<AcmStream>& made) {
  av::QuietLog();
  std::unique_ptr<AcmStream> s(new AcmStream(in, out));
  int32_t r = s->Open();
  if (r == MMSYSERR_NOERROR) made = std::move(s);
  return r;
}

int32_t AcmStream::Open() {
  const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(in_.codec));
  if (codec == nullptr) return ACMERR_NOTPOSSIBLE;
  dec_ = avcodec_alloc_context3(codec);
  pkt_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  if (dec_ == nullptr || pkt_ == nullptr || frame_ == nullptr) return MMSYSERR_NOMEM;
  dec_->sample_rate = in_.rate;
  dec_->ch_layout = Layout(in_.channels);
  dec_->block_align = in_.cut == Cut::kMpeg ? 0 : in_.unitBytes;
  dec_->bits_per_coded_sample = in_.bitsCoded;
  dec_->thread_count = 1;
  if (!in_.extradata.empty()) {
    dec_->extradata = static_cast<uint8_t*>(av_mallocz(in_.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (dec_->extradata == nullptr) return MMSYSERR_NOMEM;
    std::memcpy(dec_->extradata, in_.extradata.data(), in_.extradata.size());
    dec_->extradata_size = int(in_.extradata.size());
  }
  if (avcodec_open2(dec_, codec, nullptr) < 0) return ACMERR_NOTPOSSIBLE;

  outFormat_ = target_.bitsPerSample == 8 ? AV_SAMPLE_FMT_U8
               : target_.bitsPerSample == 16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32;
  resample_ = int64_t(target_.samplesPerSec) != in_.rate;
  if (resample_) {
    int64_t g = std::gcd(int64_t(in_.rate), int64_t(target_.samplesPerSec));
    p_ = in_.rate / g;
    q_ = int64_t(target_.samplesPerSec) / g;
    // The filter reaches this far on either side, in input frames (it widens
    // by the rate ratio when going down); generously rounded up.
    double widen = std::max(1.0, double(p_) / double(q_));
    reach_ = int64_t(std::ceil(kFilterSize * widen / 0.9)) + 16;
  }
  // Rate changes run on the fewer channels: mix down before, up after.
  midCh_ = resample_ ? std::min<int>(in_.channels, target_.channels) : target_.channels;
  mpegSamplesPerFrame_ = MpegSamplesPerFrame(in_.mpegLayer, in_.rate);
  return MMSYSERR_NOERROR;
}

void AcmStream::Reset() {
  if (dec_ != nullptr) avcodec_flush_buffers(dec_);
  pending_.clear();
  mpegFirst_ = true;
  skipBytes_ = skipFrames_ = 0;
  limitFrames_ = -1;
  swr_free(&rate_);
  inCall_ = false;
  seen_ = 0;
  history_.clear();
  out_.clear();
  outPos_ = 0;
}

void AcmStream::Convert(const uint8_t* src, uint32_t srcLength, uint8_t* dst, uint32_t dstLength, bool end,
                        uint32_t& dstUsed) {
  // What an earlier call could not deliver goes first; new sound follows
  // straight into the destination while it has room.
  const size_t align = target_.blockAlign;
  size_t frames = std::min((out_.size() - outPos_) / align, size_t(dstLength) / align);
  if (frames > 0) std::memcpy(dst, out_.data() + outPos_, frames * align);
  outPos_ += frames * align;
  if (outPos_ == out_.size()) {
    out_.clear();
    outPos_ = 0;
  }
  sink_ = dst + frames * align;
  sinkLeft_ = out_.empty() ? (size_t(dstLength) / align - frames) * align : 0;
  if (in_.cut == Cut::kMpeg) {
    pending_.insert(pending_.end(), src, src + srcLength);
    DecodeMpeg(end);
  } else {
    // Complete a unit left over from the previous buffer, then decode the
    // whole units of this one in place and keep its tail.
    size_t pos = 0, used = 0, unit = size_t(in_.unitBytes);
    if (!pending_.empty()) {
      size_t take = std::min(unit - pending_.size(), size_t(srcLength));
      pending_.insert(pending_.end(), src, src + take);
      pos = take;
      if (pending_.size() == unit) {
        DecodeUnits(pending_.data(), unit, false, used);
        pending_.clear();
      }
    }
    if (pending_.empty() && pos < srcLength) {
      DecodeUnits(src + pos, srcLength - pos, false, used);
      pending_.assign(src + pos + used, src + srcLength);
    }
    if (end && !pending_.empty()) {
      DecodeUnits(pending_.data(), pending_.size(), true, used);
      pending_.clear();
    }
  }
  if (resample_) EndRate();
  dstUsed = uint32_t(sink_ - dst);
  sink_ = nullptr;
  sinkLeft_ = 0;
}

void AcmStream::DecodeUnits(const uint8_t* data, size_t size, bool end, size_t& used) {
  size_t unit = size_t(in_.unitBytes);
  size_t units = size / unit;
  size_t perPacket = in_.cut == Cut::kBlock ? 1 : std::max<size_t>(1, kPacketBytes / unit);
  used = 0;
  while (units > 0) {
    size_t n = std::min(units, perPacket);
    SendPacket(data + used, n * unit, int64_t(n) * in_.unitFrames);
    used += n * unit;
    units -= n;
  }
  // A short last block of ADPCM still holds samples; other codings need whole units.
  if (end && used < size && in_.cut == Cut::kBlock && in_.codec != AV_CODEC_ID_GSM_MS)
    SendPacket(data + used, size - used, 0);
  if (end) used = size;
}

void AcmStream::DecodeMpeg(bool end) {
  size_t pos = 0, n = pending_.size();
  while (true) {
    if (skipBytes_ > 0) {
      size_t d = size_t(std::min<int64_t>(skipBytes_, int64_t(n - pos)));
      pos += d;
      skipBytes_ -= int64_t(d);
      if (skipBytes_ > 0) break;
    }
    if (n - pos < 4) break;
    const uint8_t* p = pending_.data() + pos;
    if (mpegFirst_ && std::memcmp(p, "ID3", 3) == 0) {  // a tag before the first frame
      if (n - pos < 10) break;
      skipBytes_ = 10 + ((p[6] & 0x7F) << 21 | (p[7] & 0x7F) << 14 | (p[8] & 0x7F) << 7 | (p[9] & 0x7F)) +
                   ((p[5] & 0x10) ? 10 : 0);
      continue;
    }
    MpaHeader h;
    if (!ParseMpaHeader(p, h) || h.rate != in_.rate || h.channels != in_.channels ||
        (in_.mpegLayer != 0 ? h.layer != in_.mpegLayer : h.layer == 3)) {
      ++pos;  // not a frame of this stream: look for the next header
      continue;
    }
    if (n - pos < size_t(h.bytes)) break;
    if (mpegFirst_) {
      mpegFirst_ = false;
      // An encoder's information frame holds no sound; a LAME-style tag in it
      // gives the encoder delay and padding to cut away.
      int side = h.version == 1 ? (h.channels == 1 ? 17 : 32) : (h.channels == 1 ? 9 : 17);
      int at = 4 + side;
      if (h.layer == 3 && at + 8 <= h.bytes &&
          (std::memcmp(p + at, "Xing", 4) == 0 || std::memcmp(p + at, "Info", 4) == 0)) {
        uint32_t flags = GetBE32(p + at + 4);
        int q = at + 8;
        int64_t frames = 0;
        if ((flags & 1) && q + 4 <= h.bytes) frames = GetBE32(p + q);
        q += (flags & 1 ? 4 : 0) + (flags & 2 ? 4 : 0) + (flags & 4 ? 100 : 0) + (flags & 8 ? 4 : 0);
        if (q + 24 <= h.bytes && (std::memcmp(p + q, "LAME", 4) == 0 || std::memcmp(p + q, "Lavf", 4) == 0 ||
                                  std::memcmp(p + q, "Lavc", 4) == 0)) {
          uint32_t v = uint32_t(p[q + 21]) << 16 | uint32_t(p[q + 22]) << 8 | p[q + 23];
          int64_t delay = v >> 12, padding = v & 0xFFF;
          skipFrames_ = delay + 529;  // the decoder's own delay comes on top
          if (frames > 0) limitFrames_ = std::max<int64_t>(0, frames * h.samples - delay - padding);
        }
        pos += size_t(h.bytes);
        continue;
      }
    }
    SendPacket(p, size_t(h.bytes), h.samples);
    pos += size_t(h.bytes);
  }
  pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(pos));
  if (end) pending_.clear();
}

// Decodes one packet; a packet the decoder rejects becomes silence of the
// length it should have had, so the stream keeps its timing.
void AcmStream::SendPacket(const uint8_t* data, size_t size, int64_t expectedFrames) {
  av_packet_unref(pkt_);
  if (av_new_packet(pkt_, int(size)) < 0) {
    DeliverSilence(expectedFrames);
    return;
  }
  std::memcpy(pkt_->data, data, size);
  int64_t got = 0;
  if (avcodec_send_packet(dec_, pkt_) >= 0) {
    while (avcodec_receive_frame(dec_, frame_) >= 0) {
      if (frame_->ch_layout.nb_channels == in_.channels && frame_->nb_samples > 0) {
        Deliver(frame_->extended_data, frame_->format, frame_->nb_samples);
        got += frame_->nb_samples;
      }
      av_frame_unref(frame_);
    }
  }
  if (got < expectedFrames) DeliverSilence(expectedFrames - got);
}

// Applies the start-of-stream cut and the stream's own length to `frames`
// decoded frames; false when none are left.
bool AcmStream::Limit(int64_t& offset, int64_t& frames) {
  offset = 0;
  if (skipFrames_ > 0) {
    int64_t d = std::min(skipFrames_, frames);
    offset = d;
    frames -= d;
    skipFrames_ -= d;
  }
  if (limitFrames_ >= 0) {
    frames = std::min(frames, limitFrames_);
    limitFrames_ -= frames;
  }
  return frames > 0;
}

// The channel mixing swresample does: down to mono the mean of the channels,
// up from mono the same sound everywhere, otherwise its own layout rules.
void SetMix(SwrContext* swr, int in, int out) {
  if (in != out && (in == 1 || out == 1)) {
    std::vector<double> matrix(size_t(in * out), out == 1 ? 1.0 / in : 1.0);
    swr_set_matrix(swr, matrix.data(), in);
  }
}

bool AcmStream::OpenMixer(int format) {
  if (mixer_ != nullptr && mixerIn_ == format) return true;
  swr_free(&mixer_);
  mixerIn_ = -1;
  AVChannelLayout inLayout = Layout(in_.channels), outLayout = Layout(midCh_);
  AVSampleFormat to = resample_ ? AV_SAMPLE_FMT_FLT : static_cast<AVSampleFormat>(outFormat_);
  if (swr_alloc_set_opts2(&mixer_, &outLayout, to, in_.rate, &inLayout, static_cast<AVSampleFormat>(format),
                          in_.rate, 0, nullptr) < 0)
    return false;
  SetMix(mixer_, in_.channels, midCh_);
  if (swr_init(mixer_) < 0) {
    swr_free(&mixer_);
    return false;
  }
  mixerIn_ = format;
  return true;
}

void AcmStream::Deliver(const uint8_t* const* planes, int format, int64_t frames) {
  int64_t offset = 0;
  if (!Limit(offset, frames)) return;
  if (!OpenMixer(format)) {
    Silence(frames);
    return;
  }
  AVSampleFormat f = static_cast<AVSampleFormat>(format);
  int bps = av_get_bytes_per_sample(f);
  const uint8_t* in[kMaxChannels] = {};
  if (av_sample_fmt_is_planar(f)) {
    for (int c = 0; c < in_.channels; ++c) in[c] = planes[c] + offset * bps;
  } else {
    in[0] = planes[0] + offset * bps * in_.channels;
  }
  int outBps = resample_ ? 4 : av_get_bytes_per_sample(static_cast<AVSampleFormat>(outFormat_));
  mixBuf_.resize(size_t(frames) * midCh_ * outBps);
  uint8_t* out = mixBuf_.data();
  int n = std::max(0, swr_convert(mixer_, &out, int(frames), in, int(frames)));
  if (resample_)
    Rate(reinterpret_cast<const float*>(mixBuf_.data()), n);
  else
    Emit(mixBuf_.data(), n);
  Silence(frames - n);
}

void AcmStream::DeliverSilence(int64_t frames) {
  int64_t offset = 0;
  if (frames > 0 && Limit(offset, frames)) Silence(frames);
}

void AcmStream::Silence(int64_t frames) {
  if (frames <= 0) return;
  if (resample_) {
    std::vector<float> zero(size_t(frames) * midCh_, 0.0f);
    Rate(zero.data(), frames);
  } else {
    Emit(nullptr, frames);
  }
}

// Delivers frames in the converters' output format: into the caller's
// destination while it has room, the rest kept for the next call. No data
// means silence.
void AcmStream::Emit(const uint8_t* data, int64_t frames) {
  if (frames <= 0) return;
  const size_t align = target_.blockAlign, bytes = target_.bitsPerSample / 8;
  const size_t srcFrame = target_.channels * (bytes == 3 ? 4 : bytes);
  auto put = [&](uint8_t* to, const uint8_t* from, size_t n) {
    size_t samples = n * target_.channels;
    if (from == nullptr)
      std::memset(to, bytes == 1 ? 0x80 : 0, n * align);
    else if (bytes == 3)
      for (size_t i = 0; i < samples; ++i) std::memcpy(to + 3 * i, from + 4 * i + 1, 3);  // the top bytes of s32
    else
      std::memcpy(to, from, n * align);
  };
  size_t direct = std::min(size_t(frames), sinkLeft_ / align);
  if (direct > 0) {
    put(sink_, data, direct);
    sink_ += direct * align;
    sinkLeft_ -= direct * align;
  }
  size_t rest = size_t(frames) - direct;
  if (rest == 0) return;
  if (outPos_ > 0 && outPos_ >= out_.size() / 2) {  // drop what was delivered before growing
    out_.erase(out_.begin(), out_.begin() + std::ptrdiff_t(outPos_));
    outPos_ = 0;
  }
  size_t at = out_.size();
  out_.resize(at + rest * align);
  put(out_.data() + at, data ? data + direct * srcFrame : nullptr, rest);
}

// Rate change. Output frame j stands at input time j * p / q on one grid for
// the whole stream, so the frames delivered by successive calls join without
// gap or overlap. Each call runs a resampler of its own over its frames, with
// real history before them and, beyond the stream's ends, the sound mirrored
// about its end frame (which keeps its slope, so a cut sound ends without a
// click and needs no flush); the run starts on a multiple of p, where an
// output frame falls. Within a call the frames pass through as they come.
const float* AcmStream::HistoryFrame(int64_t i) const {
  int64_t have = int64_t(history_.size()) / midCh_;
  int64_t first = seen_ - have;
  i = std::clamp(i, first, seen_ - 1);
  return history_.data() + (i - first) * midCh_;
}

void AcmStream::Mirror(float* to, int64_t pivot, int64_t other) const {
  int64_t have = int64_t(history_.size()) / midCh_;
  bool known = other >= seen_ - have && other < seen_;
  const float *a = HistoryFrame(pivot), *b = HistoryFrame(other);
  for (int c = 0; c < midCh_; ++c) to[c] = known ? 2 * a[c] - b[c] : a[c];
}

void AcmStream::Remember(const float* frames, int64_t n) {
  const int64_t keep = reach_ + p_;
  if (n >= keep) {
    history_.assign(frames + (n - keep) * midCh_, frames + n * midCh_);
  } else {
    history_.insert(history_.end(), frames, frames + n * midCh_);
    if (int64_t(history_.size()) > keep * midCh_)
      history_.erase(history_.begin(), history_.end() - keep * midCh_);
  }
  seen_ += n;
}

// Feeds n frames to the run (none with `flush`: what it still holds) and
// delivers the output frames that belong to this call.
void AcmStream::RunRate(const float* frames, int64_t n, bool flush) {
  const int outBps = av_get_bytes_per_sample(static_cast<AVSampleFormat>(outFormat_));
  const int64_t chunk = 8192;  // swresample is quickest on pieces that stay in the cache
  for (int64_t done = 0; done < n || flush; done += chunk) {
    int64_t m = flush ? 0 : std::min(chunk, n - done);
    int64_t room = CeilDiv(m * q_, p_) + swr_get_out_samples(rate_, 0) + 64;
    resampled_.resize(size_t(room) * target_.channels * outBps);
    uint8_t* o = resampled_.data();
    const uint8_t* in = flush ? nullptr : reinterpret_cast<const uint8_t*>(frames + done * midCh_);
    int got = swr_convert(rate_, &o, int(room), flush ? nullptr : &in, int(m));
    if (got > 0) {
      int64_t drop = std::min<int64_t>(got, callSkip_);
      callSkip_ -= drop;
      int64_t take = std::min<int64_t>(got - drop, callWant_ - callMade_);
      Emit(resampled_.data() + drop * target_.channels * outBps, take);
      callMade_ += take;
    }
    if (flush) break;
  }
}

void AcmStream::Rate(const float* frames, int64_t n) {
  if (n <= 0) return;
  if (!inCall_) {
    // A new run: note where this call starts and feed what lies before it.
    inCall_ = true;
    callStart_ = seen_;
    callFrames_ = 0;
    callMade_ = 0;
    const int64_t start = FloorDiv(callStart_ - reach_, p_) * p_;
    callSkip_ = CeilDiv(callStart_ * q_, p_) - (start / p_) * q_;
    callWant_ = INT64_MAX;
    AVChannelLayout inLayout = Layout(midCh_), outLayout = Layout(target_.channels);
    if (swr_alloc_set_opts2(&rate_, &outLayout, static_cast<AVSampleFormat>(outFormat_),
                            int(target_.samplesPerSec), &inLayout, AV_SAMPLE_FMT_FLT, in_.rate, 0, nullptr) >= 0) {
      SetMix(rate_, midCh_, target_.channels);
      av_opt_set_int(rate_, "filter_size", kFilterSize, 0);
      // With exact phases for the ratio there is nothing to interpolate between.
      av_opt_set_int(rate_, "linear_interp", q_ <= 1024 ? 0 : 1, 0);
      if (swr_init(rate_) < 0) swr_free(&rate_);
    }
    if (rate_ == nullptr) callSkip_ = INT64_MAX;  // no run: the call's frames become silence
    std::vector<float> before(size_t(callStart_ - start) * midCh_);
    for (int64_t i = start; i < callStart_; ++i) {
      float* to = before.data() + (i - start) * midCh_;
      if (i >= 0) {
        std::copy(HistoryFrame(i), HistoryFrame(i) + midCh_, to);
      } else if (callStart_ > 0) {
        Mirror(to, 0, -i);
      } else {
        // The stream's first frames are in this piece: mirror about frame 0.
        for (int c = 0; c < midCh_; ++c) to[c] = -i < n ? 2 * frames[c] - frames[-i * midCh_ + c] : frames[c];
      }
    }
    if (!before.empty() && rate_ != nullptr) RunRate(before.data(), int64_t(before.size()) / midCh_);
  }
  if (rate_ != nullptr) RunRate(frames, n);
  Remember(frames, n);
  callFrames_ += n;
}

// Ends the run of this call: the sound mirrored beyond its last frame lets
// the resampler finish the call's last output frames.
void AcmStream::EndRate() {
  if (!inCall_) return;
  inCall_ = false;
  callWant_ = CeilDiv((callStart_ + callFrames_) * q_, p_) - CeilDiv(callStart_ * q_, p_);
  if (rate_ != nullptr) {
    std::vector<float> after(size_t(reach_) * midCh_);
    for (int64_t k = 1; k <= reach_; ++k) Mirror(after.data() + (k - 1) * midCh_, seen_ - 1, seen_ - 1 - k);
    RunRate(after.data(), reach_);
    RunRate(nullptr, 0, true);
    swr_free(&rate_);
  }
  Emit(nullptr, callWant_ - callMade_);
}

int64_t AcmStream::DecodableFrames(uint64_t moreBytes) const {
  uint64_t bytes = pending_.size() + moreBytes;
  if (in_.cut != Cut::kMpeg) return int64_t(bytes / uint64_t(in_.unitBytes)) * in_.unitFrames;
  // MPEG frames vary; count frames of the size the average byte rate gives,
  // or of the smallest size the layer allows when that rate is implausible.
  int spf = mpegSamplesPerFrame_;
  bool lsf = in_.rate < 32000;
  int minKbps = lsf ? 8 : 32;
  int maxKbps = in_.mpegLayer == 1 ? 448 : (lsf ? 160 : 384);
  int64_t avg = in_.avgBytes;
  if (avg * 8 < minKbps * 1000 || avg * 8 > maxKbps * 1000) avg = minKbps * 1000 / 8;
  int64_t frameBytes = std::max<int64_t>(1, avg * spf / in_.rate);
  return CeilDiv(int64_t(bytes), frameBytes) * spf;
}

uint64_t AcmStream::OutputBytesFor(uint64_t srcBytes) const {
  int64_t in = DecodableFrames(srcBytes);
  int64_t out = resample_ ? CeilDiv((seen_ + in) * q_, p_) - CeilDiv(seen_ * q_, p_) : in;
  return uint64_t(out) * target_.blockAlign + (out_.size() - outPos_);
}

uint64_t AcmStream::SourceBytesFor(uint64_t dstBytes) const {
  int64_t frames = CeilDiv(int64_t(dstBytes), target_.blockAlign);
  int64_t in = resample_ ? CeilDiv(frames * p_, q_) : frames;
  if (in_.cut != Cut::kMpeg) return uint64_t(CeilDiv(in, in_.unitFrames)) * uint64_t(in_.unitBytes);
  return uint64_t(CeilDiv(in * std::max<int64_t>(in_.avgBytes, 1), in_.rate));
}

}  // namespace zelo::acm
