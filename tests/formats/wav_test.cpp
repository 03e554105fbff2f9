// The WAV module: files made by sox and ffmpeg in every stored format read
// to the samples those tools decode; files written here are read back by
// sox and ffprobe; hostile chunks and sizes fail cleanly or read as far as
// the file goes.
#include <gtest/gtest.h>

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
// of a second), two tones so that the channels differ.
std::string MakeSource(const std::string& dir, int rate, int channels) {
  const std::string src = dir + "/src_" + std::to_string(rate) + "_" + std::to_string(channels) + ".wav";
  if (!FileExists(src))
    zelo::test::Run("sox -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) +
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
    zelo::test::Run("sox " + Quote(src) + " " + m.options + " " + Quote(file));
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

}  // namespace
}  // namespace zelo::test
