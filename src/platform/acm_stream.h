// The conversion stream behind the audio compression services: a libavcodec
// decoder for the stored format (cut into whole blocks or MPEG frames), then
// libswresample for channels, sample format and rate.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "zelo/zelo.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

namespace zelo::acm {

// How the bytes of a stored format are cut before decoding.
enum class Cut {
  kStream,  // sample-wise codings (PCM, G.711, Yamaha ADPCM): any whole number of units per packet
  kBlock,   // one coded block per packet (MS and IMA ADPCM, GSM 6.10)
  kMpeg     // MPEG audio frames found by their headers
};

// A stored format as the decoder sees it.
struct Coding {
  uint16_t tag = 0;  // the tag that chose the codec (an extensible format's sub-format)
  int codec = 0;     // AVCodecID
  Cut cut = Cut::kStream;
  int channels = 0;
  int rate = 0;
  int unitBytes = 0;   // bytes of one unit: a sample frame, a block, or 0 for MPEG
  int unitFrames = 0;  // sample frames one unit decodes to
  int bitsCoded = 0;
  int mpegLayer = 0;   // MPEG: 3 for tag 0x55; 1 or 2 (0: either) for tag 0x50
  int64_t avgBytes = 0;
  std::vector<uint8_t> extradata;
};

// Name and largest format size of a known tag; nullptr for an unknown tag.
const char* TagName(uint16_t tag, uint32_t* formatSize = nullptr);

// Fills `coding` for a stored format whose decoder is available; returns 0
// or the service result (ACMERR_NOTPOSSIBLE for a format nothing decodes).
int32_t Describe(const QWaveFormat& format, Coding& coding);

// 0 when `format` is a PCM format the streams deliver (8, 16, 24 or 32 bits).
int32_t CheckTarget(const QWaveFormat& format);

class AcmStream {
 public:
  // Opens the decoder and the converters; 0 or a service result.
  static int32_t Create(const Coding& in, const QWaveFormat& out, std::unique_ptr<AcmStream>& made);
  ~AcmStream();
  AcmStream(const AcmStream&) = delete;
  AcmStream& operator=(const AcmStream&) = delete;

  // Forgets everything of the stream before (a new stream starts).
  void Reset();
  // Takes all of src, delivers up to dstLength bytes of whole frames into dst.
  void Convert(const uint8_t* src, uint32_t srcLength, uint8_t* dst, uint32_t dstLength, bool end,
               uint32_t& dstUsed);
  // Destination bytes srcBytes more source bytes yield (see acmStreamSize).
  uint64_t OutputBytesFor(uint64_t srcBytes) const;
  // Source bytes needed for dstBytes destination bytes.
  uint64_t SourceBytesFor(uint64_t dstBytes) const;

 private:
  AcmStream(const Coding& in, const QWaveFormat& out);
  int32_t Open();

  // decoding
  void DecodeUnits(const uint8_t* data, size_t size, bool end, size_t& used);
  void DecodeMpeg(bool end);
  void SendPacket(const uint8_t* data, size_t size, int64_t expectedFrames);
  bool Limit(int64_t& offset, int64_t& frames);
  // conversion
  void Deliver(const uint8_t* const* planes, int format, int64_t frames);
  void DeliverSilence(int64_t frames);
  void Silence(int64_t frames);
  bool OpenMixer(int format);
  void Rate(const float* frames, int64_t n);
  void RunRate(const float* frames, int64_t n, bool flush = false);
  void EndRate();
  const float* HistoryFrame(int64_t i) const;
  void Mirror(float* to, int64_t pivot, int64_t other) const;
  void Remember(const float* frames, int64_t n);
  void Emit(const uint8_t* data, int64_t frames);
  int64_t DecodableFrames(uint64_t moreBytes) const;

  Coding in_;
  QWaveFormat target_;
  int outFormat_ = 0;  // AVSampleFormat the converters write (24 bits: s32, then packed)
  AVCodecContext* dec_ = nullptr;
  AVPacket* pkt_ = nullptr;
  AVFrame* frame_ = nullptr;

  std::vector<uint8_t> pending_;  // source bytes of a partial unit or frame
  // MPEG: start-of-stream handling (tags, encoder delay and padding)
  bool mpegFirst_ = true;
  int64_t skipBytes_ = 0;
  int64_t skipFrames_ = 0;
  int64_t limitFrames_ = -1;  // frames still to deliver when the stream names its length
  int mpegSamplesPerFrame_ = 0;

  // channels and sample format: to the target, or to the channels the rate
  // change runs on (as floats)
  SwrContext* mixer_ = nullptr;
  int mixerIn_ = -1;
  int midCh_ = 0;
  std::vector<uint8_t> mixBuf_;

  // rate change
  bool resample_ = false;
  int64_t p_ = 1, q_ = 1;  // input rate : output rate in lowest terms
  int64_t reach_ = 0;      // input frames the filter reaches back and ahead
  int64_t seen_ = 0;       // input frames taken so far
  std::vector<float> history_;  // the last of them
  bool inCall_ = false;
  SwrContext* rate_ = nullptr;  // the run of the present call
  int64_t callStart_ = 0, callFrames_ = 0;
  int64_t callSkip_ = 0, callWant_ = 0, callMade_ = 0;  // output frames to skip, to make, made
  std::vector<uint8_t> resampled_;

  // delivery: the caller's destination, then what did not fit
  uint8_t* sink_ = nullptr;
  size_t sinkLeft_ = 0;
  std::vector<uint8_t> out_;
  size_t outPos_ = 0;
};

}  // namespace zelo::acm
