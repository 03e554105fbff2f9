#include "sound/sndbasic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "support/sound_files.h"
#include "support/temp_dir.h"

namespace zelo {
namespace {

constexpr double kPi = 3.14159265358979323846;

QWaveFormat Pcm(int rate, int channels, int bits) {
  QWaveFormat f{};
  WaveFormatPCM(f, rate, channels, bits);
  return f;
}

class SndTest : public testing::Test {
 protected:
  void SetUp() override {
    ErrClear();
    blocks_ = MemCount();
  }
  void TearDown() override {
    for (Qsnd* s : {&a_, &b_, &c_}) SndFree(*s);
    EXPECT_EQ(MonDepth(), 0);
    EXPECT_EQ(MemCount(), blocks_) << "every block was released";
    ErrClear();
  }
  // Runs a routine as a caller with a keeping frame would, and returns the
  // error it left.
  template <class Work>
  std::pair<int, int> Outcome(Work&& work) {
    ProtectedKeep(work);
    std::pair<int, int> e{ErrCategory(), ErrCode()};
    ErrClear();
    return e;
  }
  // A sound of interleaved 16-bit samples made by `value(frame, channel)`.
  template <class F>
  void Make16(Qsnd& s, int rate, int channels, int frames, F value) {
    SndMakeSilence(s, frames, Pcm(rate, channels, 16));
    auto* p = reinterpret_cast<int16_t*>(s.SndData);
    for (int i = 0; i < frames; ++i)
      for (int c = 0; c < channels; ++c) p[i * channels + c] = int16_t(std::lrint(value(i, c)));
  }
  std::vector<int16_t> Samples(const Qsnd& s) {
    auto* p = reinterpret_cast<const int16_t*>(s.SndData);
    return std::vector<int16_t>(p, p + size_t(s.samples) * s.format.channels);
  }

  Qsnd a_{}, b_{}, c_{};
  int32_t blocks_ = 0;
};

TEST_F(SndTest, WaveFormatHelpers) {
  QWaveFormat f = Pcm(44100, 2, 16);
  EXPECT_EQ(f.formatTag, 1);
  EXPECT_EQ(f.blockAlign, 4);
  EXPECT_EQ(f.avgBytesPerSec, 176400u);
  EXPECT_EQ(f.extraSize, 0);

  QWaveFormat odd{};
  odd.channels = 2, odd.samplesPerSec = 8000, odd.bitsPerSample = 16, odd.blockAlign = 99;
  EXPECT_TRUE(WaveFormatComplete(odd));
  EXPECT_EQ(odd.blockAlign, 4);
  EXPECT_EQ(odd.avgBytesPerSec, 32000u);
  for (auto clear : {+[](QWaveFormat& g) { g.bitsPerSample = 0; }, +[](QWaveFormat& g) { g.channels = 0; },
                     +[](QWaveFormat& g) { g.samplesPerSec = 0; }}) {
    QWaveFormat g = Pcm(8000, 1, 8);
    clear(g);
    EXPECT_FALSE(WaveFormatComplete(g));
  }

  QWaveFormat x = Pcm(22050, 1, 8), y = x;
  y.extraSize = 32;
  EXPECT_FALSE(WaveFormatDiffers(x, y)) << "the extra size is not compared";
  uint16_t QWaveFormat::*fields16[] = {&QWaveFormat::formatTag, &QWaveFormat::channels,
                                       &QWaveFormat::blockAlign, &QWaveFormat::bitsPerSample};
  for (auto field : fields16) {
    y = x;
    y.*field += 1;
    EXPECT_TRUE(WaveFormatDiffers(x, y));
  }
  for (auto field : {&QWaveFormat::samplesPerSec, &QWaveFormat::avgBytesPerSec}) {
    y = x;
    y.*field += 1;
    EXPECT_TRUE(WaveFormatDiffers(x, y));
  }
}

TEST_F(SndTest, AddSilenceAppendsTheFormatsSilence) {
  struct Case {
    int channels, bits;
    uint8_t fill;
    int addedBytes;
  } cases[] = {{1, 8, 128, 50}, {2, 16, 0, 200}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.bits);
    SndMakeSilence(a_, 100, Pcm(22050, k.channels, k.bits));
    int oldBytes = 100 * a_.format.blockAlign;
    FillBytes(0x55, oldBytes, a_.SndData);  // stands for sound already there
    SndAddSilence(a_, 150);
    ASSERT_TRUE(ErrNone());
    EXPECT_EQ(a_.samples, 150);
    EXPECT_GE(a_.allocated, oldBytes + k.addedBytes);
    EXPECT_EQ(150 * a_.format.blockAlign - oldBytes, k.addedBytes);
    for (int i = 0; i < oldBytes; ++i) ASSERT_EQ(a_.SndData[i], 0x55);
    for (int i = oldBytes; i < oldBytes + k.addedBytes; ++i) ASSERT_EQ(a_.SndData[i], k.fill) << i;

    uint8_t* block = a_.SndData;
    SndAddSilence(a_, 150);
    SndAddSilence(a_, 20);
    EXPECT_EQ(a_.samples, 150) << "a length at or below the sound's changes nothing";
    EXPECT_EQ(a_.SndData, block);
    SndFree(a_);
  }
}

TEST_F(SndTest, SilenceRecordsAndTheirBlocks) {
  SndMakeSilence(a_, 10, Pcm(8000, 1, 8));
  int32_t at = MemFind(reinterpret_cast<void* const*>(&a_.SndData), 1);
  ASSERT_NE(at, UNDEF);
  EXPECT_NE(MemEntry(at).tag.find("(SndAlloc):SndBasic.SndAddSilence.snd.SndData"), std::string::npos)
      << MemEntry(at).tag;
  EXPECT_EQ(a_.allocated, 10);

  // A format tag of 0 with complete fields takes the default format.
  QWaveFormat untagged = Pcm(44100, 2, 16);
  untagged.formatTag = 0;
  SndMakeSilence(b_, 10, untagged);
  EXPECT_EQ(b_.format.formatTag, 1);
  EXPECT_EQ(b_.format.samplesPerSec, 22050u);
  EXPECT_EQ(b_.format.channels, 1);
  EXPECT_EQ(b_.format.bitsPerSample, 8);
  EXPECT_EQ(b_.format.avgBytesPerSec, 22050u);
  EXPECT_EQ(b_.format.blockAlign, 1);
  EXPECT_EQ(b_.SndData[0], 128);

  // A record whose block is not live holds nothing, whatever it says.
  c_.SndData = reinterpret_cast<uint8_t*>(&c_);
  c_.allocated = 4000;
  c_.samples = 1000;
  c_.format = Pcm(8000, 1, 16);
  SndAddSilence(c_, 4);
  ASSERT_TRUE(ErrNone());
  EXPECT_TRUE(MemIsTracked(&c_.SndData));
  EXPECT_EQ(c_.samples, 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(c_.SndData), 8), std::string(8, '\0'));

  SndFree(a_);
  EXPECT_EQ(a_.SndData, nullptr);
  EXPECT_EQ(a_.samples, 0);
  EXPECT_EQ(a_.format.samplesPerSec, 0u) << "the whole record is zeroed";
}

TEST_F(SndTest, IncompleteFormatIsAnInvalidAudioFormat) {
  QWaveFormat none{};
  EXPECT_EQ(Outcome([&] { SndMakeSilence(a_, 10, none); }), std::make_pair(ERR_SND, 4));
  EXPECT_EQ(ErrText(ERR_SND, 4), "Invalid audio format.");
  EXPECT_EQ(a_.SndData, nullptr);
}

TEST_F(SndTest, StrSnd) {
  SndMakeSilence(a_, 1000, Pcm(44100, 2, 16));
  EXPECT_EQ(StrSnd(&a_), "44100x2x16|1000");
  EXPECT_EQ(StrSnd(nullptr), "NULL");
}

TEST_F(SndTest, ConvertSizesTheDestinationFromTheByteRates) {
  SndMakeSilence(a_, 22050, Pcm(22050, 1, 8));
  SndConvert(a_, b_, Pcm(44100, 2, 16));
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(b_.allocated, 185220);  // 176400 / 22050 x 22050 x 1.05
  EXPECT_EQ(b_.samples, 44100);
  EXPECT_EQ(b_.format.avgBytesPerSec, 176400u);
  for (int i = 0; i < b_.samples * 4; ++i) ASSERT_EQ(b_.SndData[i], 0) << i;
}

TEST_F(SndTest, ConvertEdgesAndErrors) {
  // Nothing to convert: silent, destination untouched.
  SndMakeSilence(b_, 5, Pcm(8000, 1, 8));
  EXPECT_EQ(Outcome([&] { SndConvert(a_, b_, Pcm(8000, 2, 16)); }), std::make_pair(0, 0));
  EXPECT_EQ(b_.samples, 5);
  EXPECT_EQ(b_.format.channels, 1);

  SndMakeSilence(a_, 100, Pcm(8000, 1, 16));
  EXPECT_EQ(Outcome([&] { SndConvert(a_, c_, QWaveFormat{}); }), std::make_pair(ERR_SND, 1));
  EXPECT_EQ(ErrText(ERR_SND, 1), "Audio conversion error.");
  EXPECT_EQ(c_.SndData, nullptr);

  // A format nothing converts from is the service's refusal.
  QWaveFormat strange = a_.format;
  strange.formatTag = 0x7777;
  a_.format = strange;
  EXPECT_EQ(Outcome([&] { SndConvert(a_, c_, Pcm(8000, 1, 16)); }), std::make_pair(ERR_ACM, 512));
  EXPECT_EQ(ErrText(ERR_ACM, 512), "Fatal error in Audio Compression Manager: 512");
  EXPECT_EQ(c_.SndData, nullptr);
}

TEST_F(SndTest, WaveConvertCopiesBetweenEqualFormats) {
  QWaveConv state{};
  QWaveFormat f = Pcm(11025, 2, 16);
  WaveConvertInit(state, &f, &f);
  uint8_t src[64], dst[64] = {};
  for (int i = 0; i < 64; ++i) src[i] = uint8_t(i * 7);
  int32_t produced = 0;
  WaveConvert(state, src, dst, &f, &f, produced, sizeof dst, 40);
  EXPECT_EQ(produced, 40);
  EXPECT_EQ(std::memcmp(src, dst, 40), 0);
  EXPECT_EQ(Outcome([&] { WaveConvert(state, src, dst, &f, &f, produced, 39, 40); }),
            std::make_pair(ERR_SND, 3));
  EXPECT_EQ(ErrText(ERR_SND, 3), "Audio conversion error (WAVE).");

  // Without a PCM format the source decodes to there is nothing to convert.
  QWaveFormat strange = f;
  strange.formatTag = 0x7777;
  EXPECT_EQ(Outcome([&] { WaveConvert(state, src, dst, &f, &strange, produced, 64, 40); }),
            std::make_pair(ERR_SND, 3));
  WaveConvertDone(state);
  EXPECT_EQ(state.handle, nullptr);

  EXPECT_EQ(Outcome([&] { WaveConvertInit(state, &strange, &f); }), std::make_pair(ERR_ACM, 512));
  EXPECT_EQ(state.handle, nullptr);
}

TEST_F(SndTest, ResamplingKeepsFrequencyAndLevel) {
  // 1 kHz and 3 kHz on two channels, 44100 -> 22050 -> 44100.
  const int frames = 44100;
  Make16(a_, 44100, 2, frames, [](int i, int c) {
    return 12000.0 * std::sin(2 * kPi * (c ? 3000.0 : 1000.0) * i / 44100.0);
  });
  SndConvert(a_, b_, Pcm(22050, 2, 16));
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(b_.samples, 22050);
  SndConvert(b_, c_, Pcm(44100, 2, 16));
  ASSERT_TRUE(ErrNone());
  ASSERT_EQ(c_.samples, frames);

  std::vector<int16_t> half = Samples(b_), back = Samples(c_), orig = Samples(a_);
  for (int c = 0; c < 2; ++c) {
    test::Tone t = test::MeasureTone(half, 2, c, 22050, 100, 22050 - 100);
    EXPECT_NEAR(t.frequency, c ? 3000.0 : 1000.0, 0.05);
    EXPECT_NEAR(t.amplitude, 12000.0, 12000.0 * 0.002);
    t = test::MeasureTone(back, 2, c, 44100, 0, frames);
    EXPECT_NEAR(t.frequency, c ? 3000.0 : 1000.0, 0.05);
    EXPECT_NEAR(t.amplitude, 12000.0, 12000.0 * 0.002);
  }
  // In time as well: the round trip lies on the original, its start
  // included; the last frames lean on the sound mirrored beyond its end.
  orig.resize(orig.size() - 2 * 8);
  back.resize(back.size() - 2 * 8);
  EXPECT_LT(test::MaxDifference(orig, back), 120);
}

TEST_F(SndTest, ResamplingAgreesWithSox) {
  if (!test::HaveTool("sox")) GTEST_SKIP() << "sox is not installed";
  test::TempDir dir;
  ASSERT_TRUE(test::Run("sox -n -r 44100 -c 1 -b 16 " + dir / "in.wav" + " synth 1 sine 440 sine 5000 vol 0.4"));
  ASSERT_TRUE(test::Run("sox " + dir / "in.wav" + " -r 32000 " + dir / "out.wav"));
  test::WavParts in = test::ParseWav(test::ReadFile(dir / "in.wav"));
  std::vector<int16_t> want = test::Samples16(test::ParseWav(test::ReadFile(dir / "out.wav")).data);

  _sndalloc_(a_, int32_t(in.data.size()), 1, "Test.in");
  std::memcpy(a_.SndData, in.data.data(), in.data.size());
  a_.format = in.Format();
  a_.samples = int32_t(in.data.size() / 2);
  SndConvert(a_, b_, Pcm(32000, 1, 16));
  std::vector<int16_t> got = Samples(b_);
  ASSERT_EQ(got.size(), want.size());
  double err = 0, sig = 0;
  for (size_t i = 200; i + 200 < got.size(); ++i) {  // sox fades in and out from zero at the ends
    err += double(got[i] - want[i]) * (got[i] - want[i]);
    sig += double(want[i]) * want[i];
  }
  EXPECT_LT(10 * std::log10(err / sig), -60.0) << "difference from sox in dB";
}

TEST_F(SndTest, ConvertsBitsAndChannels) {
  const int frames = 5000;
  auto tone = [](int i, int c) { return 9000.0 * std::sin(0.01 * i + c) + (c ? -3000 : 2000); };
  Make16(a_, 22050, 2, frames, tone);
  std::vector<int16_t> orig = Samples(a_);

  // 16 -> 8 -> 16 bits loses the low byte only.
  SndConvert(a_, b_, Pcm(22050, 2, 8));
  ASSERT_EQ(b_.samples, frames);
  EXPECT_EQ(b_.format.blockAlign, 2);
  for (int i = 0; i < 2 * frames; ++i) ASSERT_NEAR(b_.SndData[i], orig[i] / 256.0 + 128, 1.0) << i;
  SndConvert(b_, c_, Pcm(22050, 2, 16));
  EXPECT_LE(test::MaxDifference(orig, Samples(c_)), 256);
  SndFree(c_);

  // Stereo to mono is the mean of the channels; mono to stereo copies it.
  SndConvert(a_, c_, Pcm(22050, 1, 16));
  ASSERT_EQ(c_.samples, frames);
  std::vector<int16_t> mono = Samples(c_);
  for (int i = 0; i < frames; ++i) ASSERT_NEAR(mono[i], (orig[2 * i] + orig[2 * i + 1]) / 2.0, 1.0) << i;
  SndConvert(c_, b_, Pcm(22050, 2, 16));
  std::vector<int16_t> both = Samples(b_);
  for (int i = 0; i < frames; ++i) {
    ASSERT_EQ(both[2 * i], mono[i]);
    ASSERT_EQ(both[2 * i + 1], mono[i]);
  }
}

TEST_F(SndTest, ConvertIntoItself) {
  Make16(a_, 8000, 1, 800, [](int i, int) { return 1000.0 * std::sin(0.05 * i); });
  std::vector<int16_t> orig = Samples(a_);
  SndConvert(a_, a_, Pcm(8000, 2, 16));
  ASSERT_TRUE(ErrNone());
  ASSERT_EQ(a_.samples, 800);
  std::vector<int16_t> got = Samples(a_);
  for (int i = 0; i < 800; ++i) ASSERT_EQ(got[2 * i], orig[i]);
}

}  // namespace
}  // namespace zelo
