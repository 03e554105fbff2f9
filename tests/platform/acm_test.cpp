#include "platform/acm.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/avlog.h"
#include "support/sound_files.h"
#include "support/temp_dir.h"

namespace zelo {
namespace {

// A stored format followed by its extra bytes, as the services read it.
struct Stored {
  std::vector<uint8_t> bytes;
  Stored(uint16_t tag, int channels, int rate, int align, int bits, std::vector<uint8_t> extra = {},
         uint32_t avg = 0) {
    QWaveFormat f{tag, uint16_t(channels), uint32_t(rate), avg, uint16_t(align), uint16_t(bits),
                  uint16_t(extra.size())};
    bytes.assign(sizeof f + extra.size(), 0);
    std::memcpy(bytes.data(), &f, sizeof f);
    std::copy(extra.begin(), extra.end(), bytes.begin() + sizeof f);
  }
  const QWaveFormat* get() const { return reinterpret_cast<const QWaveFormat*>(bytes.data()); }
};

QWaveFormat Pcm(int rate, int channels, int bits) {
  QWaveFormat f{1, uint16_t(channels), uint32_t(rate), uint32_t(rate * channels * bits / 8),
                uint16_t(channels * bits / 8), uint16_t(bits), 0};
  return f;
}

// The extra bytes of an extensible format naming `tag` as its sub-format.
std::vector<uint8_t> Extensible(uint16_t tag, int validBits) {
  std::vector<uint8_t> e = {uint8_t(validBits), 0, 3, 0, 0, 0, uint8_t(tag), uint8_t(tag >> 8), 0, 0,
                            0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  return e;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(rng());
  return s;
}

// Random coded blocks whose headers the ADPCM decoders accept (IMA: a step
// index below 89; MS: a predictor below 7), so that they decode to noise.
std::string RandomBlocks(const QWaveFormat& f, size_t n, unsigned seed) {
  std::string s = RandomBytes(n, seed);
  size_t align = f.blockAlign;
  for (size_t b = 0; b < n; b += align)
    for (size_t c = 0; c < f.channels; ++c) {
      if (f.formatTag == 0x11 && b + 4 * c + 3 < n) {
        s[b + 4 * c + 2] = char(uint8_t(s[b + 4 * c + 2]) % 89);
        s[b + 4 * c + 3] = 0;
      }
      if (f.formatTag == 0x02 && b + c < n) s[b + c] = char(uint8_t(s[b + c]) % 7);
    }
  return s;
}

// Converts `src` through a new stream, cut into the given piece sizes (used
// in turn), each call's output limited to dstCap bytes; returns all output.
std::string Convert(const Stored& in, const QWaveFormat& out, const std::string& src, std::vector<size_t> pieces,
                    uint32_t dstCap = 1 << 22, bool endAtLast = false) {
  HACMSTREAM h = nullptr;
  EXPECT_EQ(acmStreamOpen(&h, nullptr, in.get(), &out, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME), 0);
  if (h == nullptr) return {};
  std::vector<uint8_t> dst(dstCap);
  std::string result;
  uint32_t flags = ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START;
  size_t pos = 0, k = 0;
  auto pass = [&](const char* data, size_t n, uint32_t extra) {
    AcmStreamHeader hdr{};
    hdr.size = kAcmStreamHeaderSize;
    hdr.src = reinterpret_cast<const uint8_t*>(data);
    hdr.srcLength = uint32_t(n);
    hdr.dst = dst.data();
    hdr.dstLength = dstCap;
    EXPECT_EQ(acmStreamPrepareHeader(h, &hdr, 0), 0);
    EXPECT_EQ(acmStreamConvert(h, &hdr, flags | extra), 0);
    EXPECT_EQ(hdr.srcLengthUsed, hdr.srcLength) << "the whole source is taken";
    EXPECT_EQ(hdr.dstLengthUsed % out.blockAlign, 0u);
    EXPECT_EQ(acmStreamUnprepareHeader(h, &hdr, 0), 0);
    result.append(reinterpret_cast<char*>(dst.data()), hdr.dstLengthUsed);
    flags = ACM_STREAMCONVERTF_BLOCKALIGN;
    return hdr.dstLengthUsed;
  };
  while (pos < src.size()) {
    size_t n = std::min(pieces[k++ % pieces.size()], src.size() - pos);
    pass(src.data() + pos, n, endAtLast && pos + n == src.size() ? ACM_STREAMCONVERTF_END : 0);
    pos += n;
  }
  while (pass(src.data(), 0, 0) > 0) {  // collect what did not fit
  }
  EXPECT_EQ(acmStreamClose(h, 0), 0);
  return result;
}

uint32_t SizeOf(const Stored& in, const QWaveFormat& out, uint32_t srcBytes) {
  HACMSTREAM h = nullptr;
  uint32_t size = 0;
  EXPECT_EQ(acmStreamOpen(&h, nullptr, in.get(), &out, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME), 0);
  EXPECT_EQ(acmStreamSize(h, srcBytes, &size, ACM_STREAMSIZEF_SOURCE), 0);
  EXPECT_EQ(acmStreamClose(h, 0), 0);
  return size;
}

// Stored codings that any bytes are valid input for (a block the decoder
// rejects becomes silence of the block's length).
struct BlockCase {
  const char* name;
  Stored format;
  int framesPerBlock;
};
std::vector<BlockCase> BlockCases() {
  return {
      {"ima_stereo", Stored(0x11, 2, 44100, 2048, 4, {0xF9, 0x07}), 2041},
      {"ima_mono", Stored(0x11, 1, 22050, 256, 4, {0xF9, 0x01}), 505},
      {"ima_3bit", Stored(0x11, 1, 8000, 256, 3), 1 + 252 / 12 * 32},
      {"ms_mono", Stored(0x02, 1, 22050, 512, 4), 1012},
      {"ms_stereo", Stored(0x02, 2, 44100, 1024, 4), 1012},
      {"gsm", Stored(0x31, 1, 8000, 65, 0, {0x40, 0x01}), 320},
      {"alaw", Stored(0x06, 2, 8000, 2, 8), 1},
      {"mulaw", Stored(0x07, 1, 8000, 1, 8), 1},
      {"yamaha_mono", Stored(0x20, 1, 22050, 1, 4), 2},
      {"float64", Stored(0x03, 1, 48000, 8, 64), 1},
      {"pcm24", Stored(0x01, 2, 48000, 6, 24), 1},
      {"extensible_pcm32", Stored(0xFFFE, 2, 48000, 8, 32, Extensible(1, 24)), 1},
  };
}

TEST(Acm, SuggestsPcmAtTheStoredRateAndChannels) {
  for (const BlockCase& c : BlockCases()) {
    SCOPED_TRACE(c.name);
    QWaveFormat pcm{};
    pcm.formatTag = 1;
    ASSERT_EQ(acmFormatSuggest(nullptr, c.format.get(), &pcm, 18, ACM_FORMATSUGGESTF_WFORMATTAG), 0);
    QWaveFormat want = Pcm(int(c.format.get()->samplesPerSec), c.format.get()->channels, 16);
    EXPECT_EQ(std::memcmp(&pcm, &want, sizeof want), 0);
  }
  for (const Stored& mpeg : {Stored(0x55, 2, 44100, 1, 0), Stored(0x50, 1, 48000, 1, 0)}) {
    QWaveFormat pcm{};
    pcm.formatTag = 1;
    ASSERT_EQ(acmFormatSuggest(nullptr, mpeg.get(), &pcm, 18, ACM_FORMATSUGGESTF_WFORMATTAG), 0);
    EXPECT_EQ(pcm.bitsPerSample, 16);
    EXPECT_EQ(pcm.channels, mpeg.get()->channels);
  }

  QWaveFormat pcm{};
  pcm.formatTag = 1;
  Stored ima(0x11, 1, 8000, 256, 4);
  EXPECT_EQ(acmFormatSuggest(nullptr, ima.get(), &pcm, 15, 0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(acmFormatSuggest(&pcm, ima.get(), &pcm, 18, 0), MMSYSERR_INVALHANDLE);
  pcm.formatTag = 2;
  EXPECT_EQ(acmFormatSuggest(nullptr, ima.get(), &pcm, 18, ACM_FORMATSUGGESTF_WFORMATTAG), ACMERR_NOTPOSSIBLE);
}

TEST(Acm, RefusesWhatNothingDecodes) {
  const Stored refused[] = {
      Stored(0x1234, 1, 8000, 1, 8),                      // no decoder knows the tag
      Stored(0x11, 2, 44100, 7, 4),                       // an IMA block shorter than its headers
      Stored(0x11, 1, 44100, 256, 6),                     // IMA with 6-bit codes
      Stored(0x02, 3, 44100, 1024, 4),                    // MS ADPCM beyond stereo
      Stored(0x31, 1, 8000, 64, 0),                       // GSM blocks are 65 bytes
      Stored(0x01, 0, 8000, 1, 8),                        // no channels
      Stored(0x01, 9, 8000, 9, 8),                        // more channels than taken
      Stored(0x01, 1, 0, 1, 8),                           // no rate
      Stored(0x01, 2, 8000, 3, 8),                        // a frame that splits no channel
      Stored(0x06, 1, 8000, 2, 16),                       // G.711 has one byte per sample
      Stored(0xFFFE, 2, 48000, 4, 16, {16, 0}),           // an extensible format without its GUID
      Stored(0xFFFE, 2, 48000, 4, 16, [] { auto e = Extensible(1, 16); e[19] ^= 1; return e; }()),
  };
  for (const Stored& s : refused) {
    SCOPED_TRACE(testing::Message() << "tag " << s.get()->formatTag << " ch " << s.get()->channels << " align "
                                    << s.get()->blockAlign);
    QWaveFormat pcm{};
    pcm.formatTag = 1;
    EXPECT_EQ(acmFormatSuggest(nullptr, s.get(), &pcm, 18, ACM_FORMATSUGGESTF_WFORMATTAG), ACMERR_NOTPOSSIBLE);
    HACMSTREAM h = reinterpret_cast<HACMSTREAM>(&pcm);
    QWaveFormat out = Pcm(8000, 1, 16);
    EXPECT_EQ(acmStreamOpen(&h, nullptr, s.get(), &out, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME),
              ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(h, nullptr);
  }
  // Only PCM of whole bytes comes out.
  Stored ima(0x11, 1, 8000, 256, 4);
  for (QWaveFormat out : {Pcm(8000, 1, 12), Pcm(8000, 0, 16), [] { auto f = Pcm(8000, 1, 16); f.formatTag = 2; return f; }(),
                          [] { auto f = Pcm(8000, 2, 16); f.blockAlign = 2; return f; }()}) {
    EXPECT_EQ(acmStreamOpen(nullptr, nullptr, ima.get(), &out, nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
              ACMERR_NOTPOSSIBLE);
  }
  QWaveFormat out = Pcm(11025, 2, 8);
  EXPECT_EQ(acmStreamOpen(nullptr, nullptr, ima.get(), &out, nullptr, 0, 0, ACM_STREAMOPENF_QUERY), 0);
}

TEST(Acm, NamesFormatTags) {
  const std::pair<uint32_t, const char*> names[] = {
      {1, "PCM"},           {2, "Microsoft ADPCM"}, {3, "IEEE Float"},   {6, "CCITT A-Law"},
      {7, "CCITT u-Law"},   {0x11, "IMA ADPCM"},    {0x20, "Yamaha ADPCM"}, {0x31, "GSM 6.10"},
      {0x50, "MPEG Layer-1/2"}, {0x55, "MPEG Layer-3"}, {0xFFFE, "WAVE Extensible"}};
  for (auto [tag, name] : names) {
    AcmFormatTagDetails d{};
    d.size = sizeof d;
    d.formatTag = tag;
    ASSERT_EQ(acmFormatTagDetailsA(nullptr, &d, ACM_FORMATTAGDETAILSF_FORMATTAG), 0) << name;
    EXPECT_STREQ(d.formatTagName, name);
    EXPECT_GE(d.formatSize, 16u);
  }
  AcmFormatTagDetails d{};
  d.size = 72;
  d.formatTag = 0x1234;
  EXPECT_EQ(acmFormatTagDetailsA(nullptr, &d, ACM_FORMATTAGDETAILSF_FORMATTAG), ACMERR_NOTPOSSIBLE);
  d.formatTag = 0x10001;
  EXPECT_EQ(acmFormatTagDetailsA(nullptr, &d, ACM_FORMATTAGDETAILSF_FORMATTAG), ACMERR_NOTPOSSIBLE);
  d.formatTag = 1;
  EXPECT_EQ(acmFormatTagDetailsA(nullptr, &d, 0), MMSYSERR_INVALFLAG);
  d.size = 71;
  EXPECT_EQ(acmFormatTagDetailsA(nullptr, &d, ACM_FORMATTAGDETAILSF_FORMATTAG), MMSYSERR_INVALPARAM);
}

TEST(Acm, StreamCallsKeepTheirOrder) {
  Stored ima(0x11, 1, 8000, 256, 4);
  QWaveFormat out = Pcm(8000, 1, 16);
  HACMSTREAM h = nullptr;
  ASSERT_EQ(acmStreamOpen(&h, nullptr, ima.get(), &out, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME), 0);
  uint8_t src[256] = {}, dst[2048];
  AcmStreamHeader hdr{};
  hdr.size = kAcmStreamHeaderSize;
  hdr.src = src;
  hdr.srcLength = sizeof src;
  hdr.dst = dst;
  hdr.dstLength = sizeof dst;
  EXPECT_EQ(acmStreamConvert(h, &hdr, ACM_STREAMCONVERTF_START), ACMERR_UNPREPARED);
  EXPECT_EQ(acmStreamUnprepareHeader(h, &hdr, 0), ACMERR_UNPREPARED);
  hdr.size = 83;
  EXPECT_EQ(acmStreamPrepareHeader(h, &hdr, 0), MMSYSERR_INVALPARAM);
  hdr.size = kAcmStreamHeaderSize;
  ASSERT_EQ(acmStreamPrepareHeader(h, &hdr, 0), 0);
  EXPECT_EQ(acmStreamConvert(h, &hdr, 0x100), MMSYSERR_INVALFLAG);
  ASSERT_EQ(acmStreamConvert(h, &hdr, ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN), 0);
  EXPECT_TRUE(hdr.status & ACMSTREAMHEADER_STATUSF_DONE);
  EXPECT_EQ(hdr.dstLengthUsed, 505u * 2);
  EXPECT_EQ(acmStreamUnprepareHeader(h, &hdr, 0), 0);

  uint32_t size = 0;
  EXPECT_EQ(acmStreamSize(h, 512, &size, ACM_STREAMSIZEF_SOURCE), 0);
  EXPECT_EQ(size, 2u * 505 * 2);
  EXPECT_EQ(acmStreamSize(h, 2 * 505 * 2, &size, ACM_STREAMSIZEF_DESTINATION), 0);
  EXPECT_EQ(size, 512u);
  EXPECT_EQ(acmStreamSize(h, 512, &size, 7), MMSYSERR_INVALFLAG);

  EXPECT_EQ(acmStreamClose(h, 0), 0);
  EXPECT_EQ(acmStreamClose(h, 0), MMSYSERR_INVALHANDLE) << "a closed stream is gone";
  EXPECT_EQ(acmStreamSize(h, 512, &size, 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(acmStreamSize(reinterpret_cast<HACMSTREAM>(&hdr), 512, &size, 0), MMSYSERR_INVALHANDLE);
}

TEST(Acm, SizesAreWhatTheConversionYields) {
  for (const BlockCase& c : BlockCases()) {
    SCOPED_TRACE(c.name);
    const QWaveFormat& f = *c.format.get();
    int unit = f.formatTag == 0x31 ? 65 : f.blockAlign;
    std::string src = RandomBlocks(f, size_t(unit) * 37, 7);
    for (QWaveFormat out : {Pcm(int(f.samplesPerSec), f.channels, 16), Pcm(11025, 1, 8), Pcm(48000, 2, 24)}) {
      uint32_t size = SizeOf(c.format, out, uint32_t(src.size()));
      std::string got = Convert(c.format, out, src, {src.size()});
      EXPECT_EQ(got.size(), size);
      if (out.samplesPerSec == f.samplesPerSec) {
        EXPECT_EQ(size, 37u * c.framesPerBlock * out.blockAlign);
      }
    }
  }
}

TEST(Acm, AnyCutOfTheSourceGivesTheSameSound) {
  for (const BlockCase& c : BlockCases()) {
    SCOPED_TRACE(c.name);
    const QWaveFormat& f = *c.format.get();
    std::string src = RandomBlocks(f, size_t(f.formatTag == 0x31 ? 65 : f.blockAlign) * 29 + 5, 11);
    QWaveFormat out = Pcm(int(f.samplesPerSec), f.channels, 16);
    std::string whole = Convert(c.format, out, src, {src.size()});
    ASSERT_NE(whole.find_first_not_of('\0'), std::string::npos) << "the blocks decode to sound";
    EXPECT_TRUE(Convert(c.format, out, src, {1, 700, 3, 2048, 1}) == whole);
    EXPECT_TRUE(Convert(c.format, out, src, {333}, 998) == whole) << "with a small destination";
  }
}

TEST(Acm, EndDecodesAShortLastBlock) {
  Stored ima(0x11, 1, 8000, 256, 4);
  QWaveFormat out = Pcm(8000, 1, 16);
  std::string src = RandomBlocks(*ima.get(), 256 + 100, 3);
  EXPECT_EQ(Convert(ima, out, src, {src.size()}).size(), 505u * 2) << "a partial block waits";
  EXPECT_EQ(Convert(ima, out, src, {src.size()}, 1 << 20, true).size(), (505u + 1 + 96 * 2) * 2);
}

TEST(Acm, RateChangesJoinAcrossCalls) {
  // 44100 -> 48000 in pieces: the frame count is exact however the source
  // is cut, and the sound agrees with a single conversion but where a call
  // ends: there the sound beyond it is not known yet and is mirrored.
  auto tone = [](int frames) {
    std::string src(size_t(frames) * 2, '\0');
    for (int i = 0; i < frames; ++i) {
      int16_t v = int16_t(std::lrint(10000 * std::sin(2 * 3.14159265358979 * 700 * i / 44100.0)));
      std::memcpy(&src[size_t(i) * 2], &v, 2);
    }
    return src;
  };
  Stored in(1, 1, 44100, 2, 16);
  QWaveFormat out = Pcm(48000, 1, 16);
  for (int frames : {30011, 2999}) {
    std::string src = tone(frames);
    std::string whole = Convert(in, out, src, {src.size()});
    ASSERT_EQ(whole.size(), size_t((int64_t(frames) * 160 + 146) / 147) * 2);
    auto pieceSets = frames > 3000 ? std::vector<std::vector<size_t>>{{882}, {9998, 2, 4410}}
                                   : std::vector<std::vector<size_t>>{{2}, {6, 2}};
    for (const std::vector<size_t>& pieces : pieceSets) {
      std::string cut = Convert(in, out, src, pieces);
      ASSERT_EQ(cut.size(), whole.size());
      int worst = test::MaxDifference(test::Samples16(cut), test::Samples16(whole));
      EXPECT_LT(worst, frames > 3000 ? 100 : 1000) << "pieces of " << pieces[0] << " bytes";
    }
  }
}

TEST(Acm, CorruptStreamsBecomeSilenceWithoutAWord) {
  // FFmpeg's complaints go to the last message, never to the terminal.
  test::TempDir dir;
  int saved = dup(2);
  int log = open((dir / "stderr.txt").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(log, 0);
  dup2(log, 2);
  av::ClearLastMessage();

  // MPEG frames with valid headers and noise inside.
  std::string mp3;
  for (int i = 0; i < 20; ++i) {
    std::string frame = RandomBytes(417, unsigned(i));
    frame[0] = char(0xFF), frame[1] = char(0xFB), frame[2] = char(0x90), frame[3] = char(0x44);
    mp3 += frame;
  }
  Stored layer3(0x55, 2, 44100, 1, 0, {}, 16000);
  std::string got = Convert(layer3, Pcm(44100, 2, 16), mp3, {1000});
  std::string ms = Convert(Stored(0x02, 2, 44100, 1024, 4), Pcm(44100, 2, 16),
                           std::string(1024 * 5, char(0x7F)), {4096});  // predictors beyond the table
  std::string noise = Convert(layer3, Pcm(44100, 2, 16), RandomBytes(20000, 9), {4096});

  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(log);
  EXPECT_EQ(test::ReadFile(dir / "stderr.txt"), "");
  EXPECT_EQ(got.size(), 20u * 1152 * 4) << "each frame keeps its length";
  EXPECT_EQ(ms.size(), 5u * 1012 * 4);
  EXPECT_LE(noise.size(), 20000u * 4 * 1152 / 104);
}

}  // namespace
}  // namespace zelo
