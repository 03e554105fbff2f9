// The WAV module: files made by sox and ffmpeg in every stored format read
// to the samples those tools decode; files written here are read back by
// sox and ffprobe; hostile chunks and sizes fail cleanly or read as far as
// the file goes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "formats/ff_wav.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "sound/sndbasic.h"
#include "support/format_files.h"
#include "support/sound_files.h"

namespace zelo::test {
namespace {

class WavTest : public FormatTest {
 protected:
  // Every sample frame of the file, read in pieces of `piece` frames.
  std::string ReadAll(const std::string& file, QWaveFormat* format = nullptr, int32_t piece = 1000) {
    QWavFile hf{};
    std::string out;
    EXPECT_EQ(Attempt([&] { WAVOpen(&hf, file); }), kNoError) << file;
    EXPECT_TRUE(hf.readable) << file;
    if (format != nullptr) *format = hf.loader.OutFormat;
    Qsnd snd{};
    for (int guard = 0; guard < 100000; ++guard) {
      const ErrPair r = Attempt([&] { WAVLoad(&hf, &snd, hf.loader.position, 1, piece); });
      EXPECT_EQ(r, kNoError) << file;
      if (r != kNoError || snd.samples == 0) break;
      out.append(reinterpret_cast<const char*>(snd.SndData), size_t(snd.samples) * snd.format.blockAlign);
    }
    SndFree(snd);
    EXPECT_EQ(Attempt([&] { WAVClose(&hf); }), kNoError);
    return out;
  }
};

// The source every stored format is made from: 1.3 s (more than one read
// of a second), two tones so that the channels differ; without dither, so
// that every run makes the same samples.
std::string MakeSource(const std::string& dir, int rate, int channels) {
  const std::string src = dir + "/src_" + std::to_string(rate) + "_" + std::to_string(channels) + ".wav";
  if (!FileExists(src))
    zelo::test::Run("sox -D -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) +
        " -b 16 " + Quote(src) + " synth 1.3 sine 440 sine 660 vol 0.7");
  return src;
}

struct Made {
  const char* name;
  const char* tool;     // "sox" or "ffmpeg"
  const char* options;  // encoding options of the tool
  int rate, channels;
  int soxTolerance;     // largest difference from sox's decoding (-1: sox cannot read it)
  int ffTolerance;      // largest difference from ffmpeg's decoding
};

// Where the tolerance is not 0 the decoders legitimately differ:
// - float and 24-bit sound is rounded to 16 bits by each converter in its
//   own way (1 step at most);
// - sox's IMA ADPCM expands nibbles with shifts and adds, libavcodec (used
//   here) with one multiplication, so the predictors drift apart slightly;
// - the last MS ADPCM block of a sox file decodes differently in sox and in
//   libavcodec (ffmpeg and this reader agree);
// - MPEG audio: sox cannot read it inside WAVE at all; against ffmpeg the
//   synthesis arithmetic may differ by a step or two.
const Made kMade[] = {
    {"sox_s16", "sox", "-b 16", 22050, 2, 0, 0},
    {"sox_u8", "sox", "-b 8", 22050, 1, 0, 0},
    {"sox_s24", "sox", "-b 24", 44100, 2, 1, 1},
    {"sox_s32", "sox", "-b 32", 8000, 1, 0, 0},
    {"sox_float", "sox", "-e floating-point -b 32", 22050, 2, 1, 1},
    {"sox_msadpcm", "sox", "-e ms-adpcm", 22050, 2, 64, 0},
    {"sox_imaadpcm", "sox", "-e ima-adpcm", 22050, 1, 64, 0},
    {"sox_alaw", "sox", "-e a-law", 8000, 1, 0, 0},
    {"sox_ulaw", "sox", "-e u-law", 8000, 2, 0, 0},
    {"sox_gsm", "sox", "-e gsm-full-rate", 8000, 1, 0, 0},
    {"ff_s16", "ffmpeg", "-c:a pcm_s16le", 22050, 2, 0, 0},
    {"ff_u8", "ffmpeg", "-c:a pcm_u8", 11025, 2, 0, 0},
    {"ff_s24", "ffmpeg", "-c:a pcm_s24le", 22050, 2, 1, 1},
    {"ff_s32", "ffmpeg", "-c:a pcm_s32le", 22050, 1, 0, 0},
    {"ff_float", "ffmpeg", "-c:a pcm_f32le", 22050, 2, 1, 1},
    {"ff_msadpcm", "ffmpeg", "-c:a adpcm_ms", 22050, 2, 64, 0},
    {"ff_imaadpcm", "ffmpeg", "-c:a adpcm_ima_wav", 22050, 2, 64, 0},
    {"ff_alaw", "ffmpeg", "-c:a pcm_alaw", 8000, 1, 0, 0},
    {"ff_ulaw", "ffmpeg", "-c:a pcm_mulaw", 8000, 1, 0, 0},
    {"ff_gsm", "ffmpeg", "-c:a libgsm_ms", 8000, 1, 0, 0},
    {"ff_mp2", "ffmpeg", "-c:a mp2 -b:a 128k", 22050, 2, -1, 2},
    {"ff_mp3", "ffmpeg", "-c:a libmp3lame -b:a 64k", 22050, 2, -1, 2},
    {"ff_mp3_44k", "ffmpeg", "-c:a libmp3lame -b:a 128k", 44100, 2, -1, 2},  // block align 1152, no byte rate
    {"ff_mp2_mono", "ffmpeg", "-c:a mp2 -b:a 64k", 32000, 1, -1, 2},
    {"ff_extensible_s24", "ffmpeg", "-c:a pcm_s24le", 44100, 6, 1, 1},
};

// Ours against a reference decoding: equal lengths (or the length the
// "fact" chunk names, where the reference decodes whole blocks beyond it),
// samples within the tolerance. MPEG audio references skip the encoder
// delay: the best offset within two frames is searched.
void Compare(const std::string& what, const std::string& ours, const std::string& theirs, const QWaveFormat& out,
             int64_t fact, int tolerance, bool mpeg) {
  const size_t frame = out.blockAlign;
  const size_t n = ours.size() / frame, m = theirs.size() / frame;
  if (mpeg)
    EXPECT_NEAR(double(n), double(m), 2 * 1152.0) << what;
  else if (fact > 0 && out.formatTag == 1 && m > n)
    EXPECT_EQ(int64_t(n), fact) << what;
  else
    EXPECT_EQ(n, m) << what;
  if (out.bitsPerSample != 16) {
    EXPECT_TRUE(theirs.compare(0, ours.size(), ours) == 0) << what;
    return;
  }
  const std::vector<int16_t> a = Samples16(ours), b = Samples16(theirs);
  int best = INT32_MAX;
  const size_t maxShift = mpeg ? 2 * 1152 * size_t(out.channels) : 0;
  for (size_t shift = 0; shift <= maxShift && shift < a.size(); shift += out.channels) {
    best = std::min(best, MaxDifference(std::vector<int16_t>(a.begin() + long(shift), a.end()), b));
    if (best <= tolerance) break;
  }
  EXPECT_LE(best, tolerance) << what;
}

class WavDecodeTest : public WavTest, public testing::WithParamInterface<Made> {};

TEST_P(WavDecodeTest, ReadsWhatTheToolsDecode) {
  const Made& m = GetParam();
  if (!HaveTool("sox") || !HaveTool("ffmpeg")) GTEST_SKIP() << "sox or ffmpeg missing";
  const std::string src = MakeSource(dir_.path(), m.rate, m.channels);
  const std::string file = Path(std::string(m.name) + ".wav");
  if (std::string(m.tool) == "sox")
    zelo::test::Run("sox -D " + Quote(src) + " " + m.options + " " + Quote(file));
  else
    zelo::test::Run("ffmpeg -v error -y -i " + Quote(src) + " " + m.options + " " + Quote(file));
  ASSERT_TRUE(FileExists(file)) << m.name;

  QWaveFormat out{};
  const std::string ours = ReadAll(file, &out);
  ASSERT_EQ(out.formatTag, 1) << m.name;
  EXPECT_EQ(out.channels, m.channels);
  EXPECT_EQ(int(out.samplesPerSec), m.rate);
  const int64_t fact = ParseWav(ReadFile(file)).fact;
  const bool mpeg = m.soxTolerance < 0;

  const std::string bits = std::to_string(out.bitsPerSample);
  if (!mpeg) {
    const std::string encoding = out.bitsPerSample == 8 ? "unsigned" : "signed";
    const std::string sox =
        RunCommand("sox -D " + Quote(file) + " -t raw -e " + encoding + " -b " + bits + " - 2>/dev/null");
    ASSERT_FALSE(sox.empty()) << m.name;
    Compare(std::string(m.name) + " against sox", ours, sox, out, fact, m.soxTolerance, false);
  }
  const std::string codec = out.bitsPerSample == 8 ? "u8" : "s" + bits + "le";
  const std::string ff = RunCommand("ffmpeg -v error -i " + Quote(file) + " -f " + codec + " - 2>/dev/null");
  ASSERT_FALSE(ff.empty()) << m.name;
  Compare(std::string(m.name) + " against ffmpeg", ours, ff, out, fact, m.ffTolerance, mpeg);
}

INSTANTIATE_TEST_SUITE_P(Tools, WavDecodeTest, testing::ValuesIn(kMade),
                         [](const testing::TestParamInfo<Made>& i) { return std::string(i.param.name); });


// --- writing ------------------------------------------------------------------

// A sound of n frames whose samples count up (each byte differs from its
// neighbours, so any shift or loss shows).
Qsnd Ramp(int32_t frames, int rate, int channels, int bits) {
  Qsnd snd{};
  QWaveFormat f{};
  WaveFormatPCM(f, rate, channels, bits);
  SndMakeSilence(snd, frames, f);
  for (int32_t i = 0; i < frames * f.blockAlign; ++i) snd.SndData[i] = uint8_t(i * 7 + i / 251);
  return snd;
}

struct Written {
  int rate, channels, bits;
  int32_t frames;
};

class WavWriteTest : public WavTest, public testing::WithParamInterface<Written> {};

TEST_P(WavWriteTest, ToolsReadWhatIsWritten) {
  const Written& w = GetParam();
  const std::string file = Path("out.wav");
  Qsnd a = Ramp(w.frames, w.rate, w.channels, w.bits);
  Qsnd b = Ramp(w.frames / 2 + 1, w.rate, w.channels, w.bits);
  QWavFile hf{};
  ASSERT_EQ(Attempt([&] {
              WAVCreate(&hf, file);
              WAVSave(&hf, &a);
              WAVSave(&hf, &b);
            }),
            kNoError);
  EXPECT_EQ(hf.loader.position, a.samples + b.samples);
  ASSERT_EQ(Attempt([&] { WAVClose(&hf); }), kNoError);

  const std::string bytes = ReadFile(file);
  const int64_t data = int64_t(a.samples + b.samples) * a.format.blockAlign;
  const int64_t pad = data & 1;
  ASSERT_EQ(int64_t(bytes.size()), kWavHeaderSize + data + pad);
  EXPECT_EQ(bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(Le32(bytes, 4), uint32_t(38 + data + pad));
  EXPECT_EQ(Le32(bytes, 16), 18u);
  EXPECT_EQ(bytes.substr(38, 4), "data");
  EXPECT_EQ(Le32(bytes, 42), uint32_t(data));

  // Read back here, then by sox and ffprobe.
  QWaveFormat out{};
  const std::string back = ReadAll(file, &out);
  EXPECT_FALSE(WaveFormatDiffers(out, a.format));
  EXPECT_EQ(back, std::string(reinterpret_cast<char*>(a.SndData), size_t(a.samples) * a.format.blockAlign) +
                      std::string(reinterpret_cast<char*>(b.SndData), size_t(b.samples) * b.format.blockAlign));
  const double seconds = double(a.samples + b.samples) / w.rate;
  if (HaveTool("sox")) {
    EXPECT_EQ(std::stoi(RunCommand("sox --i -r " + Quote(file) + " 2>/dev/null")), w.rate);
    EXPECT_EQ(std::stoi(RunCommand("sox --i -c " + Quote(file) + " 2>/dev/null")), w.channels);
    EXPECT_EQ(std::stoi(RunCommand("sox --i -b " + Quote(file) + " 2>/dev/null")), w.bits);
    EXPECT_EQ(std::stol(RunCommand("sox --i -s " + Quote(file) + " 2>/dev/null")), a.samples + b.samples);
  }
  if (HaveTool("ffprobe")) {
    const std::string probe = RunCommand(
        "ffprobe -v error -show_entries stream=sample_rate,channels,bits_per_sample,duration -of "
        "default=noprint_wrappers=1 " + Quote(file) + " 2>/dev/null");
    EXPECT_NE(probe.find("sample_rate=" + std::to_string(w.rate)), std::string::npos) << probe;
    EXPECT_NE(probe.find("channels=" + std::to_string(w.channels)), std::string::npos) << probe;
    EXPECT_NE(probe.find("bits_per_sample=" + std::to_string(w.bits)), std::string::npos) << probe;
    const size_t at = probe.find("duration=");
    ASSERT_NE(at, std::string::npos) << probe;
    EXPECT_NEAR(std::stod(probe.substr(at + 9)), seconds, 1e-3) << probe;
  }
  SndFree(a);
  SndFree(b);
}

// 16-bit stereo with two sounds of 1000 frames makes 8000 data bytes; 8-bit
// mono with an odd count needs the pad byte.
INSTANTIATE_TEST_SUITE_P(Formats, WavWriteTest,
                         testing::Values(Written{44100, 2, 16, 1000}, Written{8000, 1, 8, 1001},
                                         Written{22050, 1, 16, 22050}, Written{48000, 2, 24, 999},
                                         Written{11025, 2, 32, 300}));

TEST_F(WavTest, TwoSoundsOf1000StereoFramesGiveTheCountedSizes) {
  const std::string file = Path("two.wav");
  Qsnd snd = Ramp(1000, 44100, 2, 16);
  QWavFile hf{};
  ASSERT_EQ(Attempt([&] {
              WAVCreate(&hf, file);
              WAVSave(&hf, &snd);
              WAVSave(&hf, &snd);
              WAVClose(&hf);
            }),
            kNoError);
  const std::string bytes = ReadFile(file);
  EXPECT_EQ(Le32(bytes, 42), 8000u);
  EXPECT_EQ(Le32(bytes, 4), 8038u);
  SndFree(snd);
}

TEST_F(WavTest, ReadingCallsOnAWrittenFileAndWritingCallsOnAReadFileDoNothing) {
  const std::string file = Path("w.wav");
  Qsnd snd = Ramp(100, 8000, 1, 16);
  QWavFile hf{};
  ASSERT_EQ(Attempt([&] { WAVCreate(&hf, file); }), kNoError);
  Qsnd got{};
  EXPECT_EQ(Attempt([&] { WAVLoad(&hf, &got, 0, 0, 10); }), kNoError);
  EXPECT_EQ(got.samples, 0);
  ASSERT_EQ(Attempt([&] { WAVSave(&hf, &snd); WAVClose(&hf); }), kNoError);
  const std::string before = ReadFile(file);
  ASSERT_EQ(Attempt([&] { WAVOpen(&hf, file); }), kNoError);
  EXPECT_EQ(Attempt([&] { WAVSave(&hf, &snd); }), kNoError);
  EXPECT_EQ(Attempt([&] { WAVClose(&hf); }), kNoError);
  EXPECT_EQ(ReadFile(file), before) << "closing a file opened for reading changed it";
  SndFree(snd);
}

TEST_F(WavTest, CreatingInAMissingDirectoryFails) {
  QWavFile hf{};
  EXPECT_EQ(Attempt([&] { WAVCreate(&hf, Path("no/such/dir.wav")); }), ErrPair(ERR_WAV, 2));
  EXPECT_FALSE(hf.fileOpen);
}

// --- seeking --------------------------------------------------------------------

TEST_F(WavTest, SeeksLandOnTheAskedSampleInEveryCoding) {
  if (!HaveTool("sox")) GTEST_SKIP();
  const std::string src = MakeSource(dir_.path(), 22050, 2);
  for (const char* options : {"-b 16", "-e ima-adpcm", "-e ms-adpcm", "-e u-law"}) {
    const std::string file = Path("seek.wav");
    zelo::test::Run("sox -D " + Quote(src) + " " + options + " " + Quote(file));
    const std::string all = ReadAll(file);
    QWavFile hf{};
    ASSERT_EQ(Attempt([&] { WAVOpen(&hf, file); }), kNoError);
    const int32_t align = hf.loader.OutFormat.blockAlign;
    Qsnd snd{};
    // Inside a block, at a block start, back to the start, then in sequence.
    for (int32_t at : {1000, 12345, 0, 20000}) {
      ASSERT_EQ(Attempt([&] { WAVLoad(&hf, &snd, at, 0, 700); }), kNoError) << options << " " << at;
      EXPECT_EQ(hf.loader.position, at + 700);
      ASSERT_EQ(snd.samples, 700);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(snd.SndData), size_t(700) * align),
                all.substr(size_t(at) * align, size_t(700) * align))
          << options << " at " << at;
      ASSERT_EQ(Attempt([&] { WAVLoad(&hf, &snd, at + 700, 1, 300); }), kNoError);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(snd.SndData), size_t(300) * align),
                all.substr(size_t(at + 700) * align, size_t(300) * align))
          << options << " after " << at;
    }
    // Beyond the end: the last block, and the sound that is left there.
    ASSERT_EQ(Attempt([&] { WAVLoad(&hf, &snd, 1 << 30, 0, 100000); }), kNoError);
    EXPECT_LT(snd.samples, 100000);
    EXPECT_EQ(hf.loader.position, int32_t(all.size() / align)) << options;
    SndFree(snd);
    ASSERT_EQ(Attempt([&] { WAVClose(&hf); }), kNoError);
  }
}

// --- chunks and hostile files ---------------------------------------------------------

std::string Le16s(uint16_t v) { return std::string{char(v), char(v >> 8)}; }
std::string Le32s(uint32_t v) { return Le16s(uint16_t(v)) + Le16s(uint16_t(v >> 16)); }
std::string Chunk(const std::string& id, const std::string& body, int64_t claimed = -1) {
  std::string c = id + Le32s(uint32_t(claimed < 0 ? int64_t(body.size()) : claimed)) + body;
  if (body.size() & 1) c += '\0';
  return c;
}
std::string Riff(const std::string& chunks) { return "RIFF" + Le32s(uint32_t(4 + chunks.size())) + "WAVE" + chunks; }
std::string PcmFmt(int rate, int channels, int bits, bool withExtra = true) {
  const int align = channels * bits / 8;
  std::string f = Le16s(1) + Le16s(uint16_t(channels)) + Le32s(uint32_t(rate)) + Le32s(uint32_t(rate * align)) +
                  Le16s(uint16_t(align)) + Le16s(uint16_t(bits));
  return withExtra ? f + Le16s(0) : f;
}
// Mono 12-bit samples stored in 2 bytes each.
std::string PcmFmt12() {
  return Le16s(1) + Le16s(1) + Le32s(8000) + Le32s(16000) + Le16s(2) + Le16s(12) + Le16s(0);
}
std::string Bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char(i * 13 + 1);
  return s;
}

TEST_F(WavTest, ChunksAroundTheSoundArePassedOverAndPadded) {
  struct Case {
    const char* what;
    std::string file;
    std::string samples;  // what must be read
  };
  const std::string pcm = Bytes(1000);
  const Case cases[] = {
      {"LIST between fmt and data", Riff(Chunk("fmt ", PcmFmt(8000, 1, 16)) + Chunk("LIST", "INFOISFT" + Le32s(3) + "ab\0") + Chunk("data", pcm)), pcm},
      {"odd-sized chunk before data", Riff(Chunk("fmt ", PcmFmt(8000, 1, 16)) + Chunk("junk", "abc") + Chunk("data", pcm)), pcm},
      {"16-byte fmt", Riff(Chunk("fmt ", PcmFmt(8000, 1, 16, false)) + Chunk("data", pcm)), pcm},
      {"data before fmt", Riff(Chunk("data", pcm) + Chunk("fmt ", PcmFmt(8000, 1, 16))), pcm},
      {"data claiming more than the file holds", Riff(Chunk("fmt ", PcmFmt(8000, 1, 16)) + Chunk("data", pcm, 1 << 30)), pcm},
      {"odd data of 8-bit sound", Riff(Chunk("fmt ", PcmFmt(8000, 1, 8)) + Chunk("data", pcm.substr(0, 999))), pcm.substr(0, 999)},
      {"12-bit samples in 16-bit containers", Riff(Chunk("fmt ", PcmFmt12()) + Chunk("data", pcm)), pcm},
      {"partial frame at the end", Riff(Chunk("fmt ", PcmFmt(8000, 2, 16)) + Chunk("data", pcm.substr(0, 998))), pcm.substr(0, 996)},
  };
  for (const Case& c : cases) {
    const std::string file = Path("chunks.wav");
    WriteFile(file, c.file);
    EXPECT_EQ(ReadAll(file), c.samples) << c.what;
    EXPECT_EQ(MemCount(), blocks_) << c.what;
    EXPECT_EQ(FCount(), files_) << c.what;
  }
}

TEST_F(WavTest, HostileFilesFailCleanly) {
  const std::string fmt = Chunk("fmt ", PcmFmt(8000, 1, 16));
  const std::string data = Chunk("data", Bytes(100));
  std::string zeroAlign = PcmFmt(8000, 1, 16);
  zeroAlign[12] = zeroAlign[13] = 0;
  struct Case {
    const char* what;
    std::string file;
  };
  const Case cases[] = {
      {"empty file", ""},
      {"not RIFF", "RIFX" + Riff(fmt + data).substr(4)},
      {"not WAVE", "RIFF" + Le32s(4) + "AVI "},
      {"no fmt", Riff(data)},
      {"no data", Riff(fmt)},
      {"fmt of 14 bytes", Riff(Chunk("fmt ", PcmFmt(8000, 1, 16).substr(0, 14)) + data)},
      {"fmt cut by the end of the file", Riff(Chunk("fmt ", PcmFmt(8000, 1, 16), 4000))},
      {"block align 0", Riff(Chunk("fmt ", zeroAlign) + data)},
      {"RIFF header only", "RIFF"},
  };
  for (const Case& c : cases) {
    const std::string file = Path("hostile.wav");
    WriteFile(file, c.file);
    QWavFile hf{};
    EXPECT_EQ(Attempt([&] { WAVOpen(&hf, file); }), ErrPair(ERR_WAV, 1)) << c.what;
    EXPECT_FALSE(hf.fileOpen) << c.what;
    EXPECT_EQ(hf.loader.InFormat, nullptr) << c.what;
    QffInfo info;
    EXPECT_EQ(Attempt([&] { WAVInfo(file, &info); }), ErrPair(ERR_WAV, 1)) << c.what;
    EXPECT_EQ(MemCount(), blocks_) << c.what;
    EXPECT_EQ(FCount(), files_) << c.what;
  }
  QWavFile hf{};
  EXPECT_EQ(Attempt([&] { WAVOpen(&hf, Path("missing.wav")); }), ErrPair(ERR_WAV, 1));
}

TEST_F(WavTest, AHostileByteRateDoesNotSizeTheReadBuffer) {
  // avgBytesPerSec of 2 GiB - 1: the reads stay small and the sound is whole.
  std::string f = PcmFmt(8000, 1, 16);
  f[8] = f[9] = f[10] = char(0xFF);
  f[11] = 0x7F;
  const std::string pcm = Bytes(4000);
  const std::string file = Path("rate.wav");
  WriteFile(file, Riff(Chunk("fmt ", f) + Chunk("data", pcm)));
  EXPECT_EQ(ReadAll(file), pcm);
}

TEST_F(WavTest, AnUndecodableFormatOpensWithoutReadableSound) {
  std::string f = PcmFmt(8000, 1, 16);
  f[0] = 0x34;
  f[1] = 0x12;
  const std::string file = Path("unknown.wav");
  WriteFile(file, Riff(Chunk("fmt ", f) + Chunk("data", Bytes(100))));
  QWavFile hf{};
  ASSERT_EQ(Attempt([&] { WAVOpen(&hf, file); }), kNoError);
  EXPECT_FALSE(hf.readable);
  Qsnd snd{};
  EXPECT_EQ(Attempt([&] { WAVLoad(&hf, &snd, 0, 0, 10); }), kNoError);
  EXPECT_EQ(snd.samples, 0);
  EXPECT_EQ(Attempt([&] { WAVClose(&hf); }), kNoError);
  QffInfo info;
  ASSERT_EQ(Attempt([&] { WAVInfo(file, &info); }), kNoError);
  EXPECT_TRUE(info.media.hasSound);
  EXPECT_FALSE(info.media.soundReadable);
  EXPECT_EQ(info.media.audioName, "(#4660) Unknown codec");
}

TEST_F(WavTest, InformationNamesTheStoredAndTheDeliveredFormat) {
  if (!HaveTool("sox")) GTEST_SKIP();
  const std::string src = MakeSource(dir_.path(), 22050, 1);
  const std::string ima = Path("ima.wav");
  zelo::test::Run("sox -D " + Quote(src) + " -e ima-adpcm " + Quote(ima));
  QffInfo info;
  ASSERT_EQ(Attempt([&] { WAVInfo(ima, &info); }), kNoError);
  EXPECT_EQ(info.media.storedFormat.formatTag, 0x11);
  EXPECT_EQ(info.media.pcmFormat.formatTag, 1);
  EXPECT_EQ(info.media.pcmFormat.bitsPerSample, 16);
  EXPECT_EQ(info.media.sampleFrames, 28665);  // 1.3 s, as the fact chunk says
  EXPECT_EQ(info.media.audioName, "(#17) IMA ADPCM");
  EXPECT_TRUE(info.media.soundReadable);
  EXPECT_EQ(info.fileSize, int64_t(ReadFile(ima).size()));

  ASSERT_EQ(Attempt([&] { WAVInfo(src, &info); }), kNoError);
  EXPECT_EQ(info.media.audioName, "(#1) PCM, uncompressed");
  EXPECT_EQ(info.media.sampleFrames, 28665);
}

TEST_F(WavTest, RefusedAllocationsLeaveNothing) {
  if (!HaveTool("sox")) GTEST_SKIP();
  const std::string src = MakeSource(dir_.path(), 22050, 2);
  const std::string file = Path("ms.wav");
  zelo::test::Run("sox -D " + Quote(src) + " -e ms-adpcm " + Quote(file));
  QWavFile hf{};
  Qsnd snd{};
  EveryAllocationFails(
      [&] {
        WAVOpen(&hf, file);
        WAVLoad(&hf, &snd, 0, 1, 30000);
        WAVLoad(&hf, &snd, 5000, 0, 100);
        WAVClose(&hf);
      },
      [&] {
        ProtectedKeep([&] { WAVClose(&hf); });
        ErrClear();
        if (MemIsTracked(&snd.SndData)) SndFree(snd);
        snd = Qsnd{};
      });
  EXPECT_EQ(FCount(), files_);
}

TEST_F(WavTest, SampleFilesOfTheCorpusReadOrFailCleanly) {
#ifdef ZELO_SHARED_CORPUS
  namespace fs = std::filesystem;
  const fs::path root = fs::path(ZELO_SHARED_CORPUS) / "wav";
  if (!fs::exists(root)) GTEST_SKIP();
  int valid = 0;
  for (const auto& e : fs::recursive_directory_iterator(root / "valid")) {
    if (e.path().extension() != ".wav") continue;
    ReadAll(e.path().string());
    ++valid;
  }
  EXPECT_GT(valid, 0);
  for (const auto& e : fs::recursive_directory_iterator(root / "invalid")) {
    if (!e.is_regular_file()) continue;
    QWavFile hf{};
    Qsnd snd{};
    if (Attempt([&] { WAVOpen(&hf, e.path().string()); }) == kNoError) {
      Attempt([&] { WAVLoad(&hf, &snd, 0, 1, 100000); });
      EXPECT_EQ(Attempt([&] { WAVClose(&hf); }), kNoError);
    }
    if (MemIsTracked(&snd.SndData)) SndFree(snd);
    EXPECT_EQ(MemCount(), blocks_) << e.path();
    EXPECT_EQ(FCount(), files_) << e.path();
  }
#else
  GTEST_SKIP();
#endif
}

}  // namespace
}  // namespace zelo::test
