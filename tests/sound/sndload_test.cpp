// Streamed decoding of stored sound through SndLoad, fed from memory the way
// the WAV reader feeds it from a file, against sox and ffmpeg as oracles.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "sound/sndbasic.h"
#include "support/sound_files.h"
#include "support/sound_reader.h"
#include "support/temp_dir.h"

namespace zelo {
namespace {

using test::MemReader;
using test::ReadMem;
using test::WavParts;

// A stored sound opened for streamed decoding as a sound reader opens it:
// the PCM format the stored one decodes to, the length the services measure
// (or one the caller knows), and an open conversion.
class Stream {
 public:
  Stream(const WavParts& w, size_t blocksPerRead, size_t extraBytesPerRead = 0, int64_t knownTotal = -1) {
    QWaveFormat in = w.Format();
    size_t formatBytes = std::max(w.fmt.size(), sizeof(QWaveFormat));
    _memalloc_(&loader_.InFormat, int32_t(formatBytes), 2, MEM_BLOCK, "Test.Stream.InFormat");
    FillBytes(0, int64_t(formatBytes), loader_.InFormat);
    std::memcpy(loader_.InFormat, w.fmt.data(), w.fmt.size());
    loader_.InFormatSize = int32_t(formatBytes);
    reader_.data = &w.data;
    reader_.align = in.blockAlign;
    reader_.chunk = blocksPerRead * in.blockAlign + extraBytesPerRead;
    loader_.totalBlocks = int32_t(w.data.size() / in.blockAlign);
    auto* stored = reinterpret_cast<QWaveFormat*>(loader_.InFormat);
    if (in.formatTag == 1) {
      loader_.OutFormat = in;
      loader_.OutFormat.extraSize = 0;
      loader_.totalSamples = loader_.totalBlocks;
    } else {
      loader_.OutFormat = QWaveFormat{};
      loader_.OutFormat.formatTag = 1;
      EXPECT_EQ(acmFormatSuggest(nullptr, stored, &loader_.OutFormat, 18, ACM_FORMATSUGGESTF_WFORMATTAG), 0);
      HACMSTREAM h = nullptr;
      uint32_t bytes = 0;
      EXPECT_EQ(acmStreamOpen(&h, nullptr, stored, &loader_.OutFormat, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME), 0);
      EXPECT_EQ(acmStreamSize(h, uint32_t(loader_.totalBlocks) * in.blockAlign, &bytes, ACM_STREAMSIZEF_SOURCE), 0);
      EXPECT_EQ(acmStreamClose(h, 0), 0);
      loader_.totalSamples = int32_t(bytes / loader_.OutFormat.blockAlign);
    }
    measured = loader_.totalSamples;
    if (knownTotal >= 0) loader_.totalSamples = int32_t(knownTotal);
    loader_.ratio = loader_.totalBlocks > 0 ? double(loader_.totalSamples) / loader_.totalBlocks : 1.0;
    WaveConvertInit(state_, stored, &loader_.OutFormat);
  }
  ~Stream() {
    WaveConvertDone(state_);
    SndFree(out_);
    MemFree(&loader_.InFormat);
    MemFree(&loader_.SndData);
  }
  // Loads the next `frames` frames and appends their bytes; returns the frames delivered.
  int Load(int frames, std::string& into) {
    SndLoad(&reader_, state_, loader_, ReadMem, frames, out_);
    EXPECT_TRUE(ErrNone()) << ErrText(ErrCategory(), ErrCode());
    into.append(reinterpret_cast<char*>(out_.SndData), size_t(out_.samples) * out_.format.blockAlign);
    loader_.position += out_.samples;
    return out_.samples;
  }
  std::string LoadAll(int piece) {
    std::string all;
    while (Load(piece, all) > 0) {
    }
    return all;
  }
  const QSndLoader& loader() const { return loader_; }
  int64_t measured = 0;

 private:
  MemReader reader_;
  QSndLoader loader_{};
  QWaveConv state_{};
  Qsnd out_{};
};

// One stored coding: how it is made from the source, and what decodes it
// independently.
struct Coding {
  const char* name;
  const char* make;          // shell command; {in} and {out} are replaced
  bool ffmpegExact;          // ffmpeg's decoders are ours: equal bytes
  int soxTolerance;          // -1: sox does not read it; else the largest sample difference
                             // (its ADPCM decoders round differently; it rounds to 16 bits)
  bool exactLength = true;   // the measured length is the decoded length
};

const Coding kCodings[] = {
    {"sox_ima", "sox {in} -e ima-adpcm {out}", true, 64},
    {"sox_ms", "sox {in} -e ms-adpcm {out}", true, 64},
    {"sox_gsm", "sox {in} -r 8000 -c 1 -e gsm-full-rate {out}", true, 0},
    {"sox_alaw", "sox {in} -e a-law {out}", true, 0},
    {"sox_ulaw", "sox {in} -e u-law {out}", true, 0},
    {"ff_ima", "ffmpeg -i {in} -c:a adpcm_ima_wav {out}", true, 64},
    {"ff_ms", "ffmpeg -i {in} -c:a adpcm_ms {out}", true, 64},
    {"ff_yamaha", "ffmpeg -i {in} -c:a adpcm_yamaha {out}", true, -1},
    {"ff_mp2", "ffmpeg -i {in} -c:a mp2 {out}", true, -1, false},
    {"ff_mp3", "ffmpeg -i {in} -c:a libmp3lame {out}", true, -1, false},
    {"ff_s24_extensible", "ffmpeg -i {in} -c:a pcm_s24le {out}", true, 1},
    {"ff_float_extensible", "ffmpeg -i {in} -c:a pcm_f32le {out}", true, 1},
};

// The source sound and its stored codings, made once for all tests.
class SoundFiles : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir;
    tools_ = test::HaveTool("sox") && test::HaveTool("ffmpeg");
    if (tools_)
      tools_ = test::Run("sox -n -r 44100 -c 2 -b 16 " + *dir_ / "src.wav" +
                         " synth 1.3 sine 200-6000 sine 523 vol 0.6");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!tools_) GTEST_SKIP() << "sox and ffmpeg are needed";
    ErrClear();
    blocks_ = MemCount();
  }
  void TearDown() override {
    EXPECT_EQ(MonDepth(), 0);
    EXPECT_EQ(MemCount(), blocks_);
    ErrClear();
  }
  static std::string Make(const Coding& c) {
    std::string out = *dir_ / (std::string(c.name) + ".wav");
    if (!std::filesystem::exists(out)) {
      std::string cmd = c.make;
      cmd.replace(cmd.find("{in}"), 4, *dir_ / "src.wav");
      cmd.replace(cmd.find("{out}"), 5, out);
      if (cmd.rfind("ffmpeg", 0) == 0) cmd.insert(6, " -y -loglevel error");
      EXPECT_TRUE(test::Run(cmd)) << cmd;
    }
    return out;
  }
  static std::string FfmpegPcm(const std::string& file) {
    std::string raw = file + ".ff.raw";
    EXPECT_TRUE(test::Run("ffmpeg -y -loglevel error -i " + file + " -f s16le " + raw));
    return test::ReadFile(raw);
  }
  static std::string SoxPcm(const std::string& file) {
    std::string raw = file + ".sox.raw";
    EXPECT_TRUE(test::Run("sox " + file + " -t raw -e signed -b 16 " + raw));
    return test::ReadFile(raw);
  }

  static test::TempDir* dir_;
  static bool tools_;
  int32_t blocks_ = 0;
};
test::TempDir* SoundFiles::dir_ = nullptr;
bool SoundFiles::tools_ = false;

class StoredSound : public SoundFiles, public testing::WithParamInterface<Coding> {};

TEST_P(StoredSound, DecodesLikeTheReferenceDecoders) {
  const Coding& c = GetParam();
  std::string file = Make(c);
  WavParts w = test::ParseWav(test::ReadFile(file));
  ASSERT_FALSE(w.data.empty());
  Stream s(w, std::max<size_t>(1, w.Format().avgBytesPerSec / std::max<int>(1, w.Format().blockAlign)));
  std::string got = s.LoadAll(4096);
  EXPECT_EQ(s.loader().OutFormat.bitsPerSample, 16);

  std::string want = FfmpegPcm(file);
  ASSERT_EQ(got.size(), want.size());
  if (c.ffmpegExact) {
    EXPECT_TRUE(got == want) << "differs from ffmpeg by up to "
                             << test::MaxDifference(test::Samples16(got), test::Samples16(want));
  }
  if (c.soxTolerance >= 0) {
    std::string bySox = SoxPcm(file);
    ASSERT_EQ(got.size(), bySox.size());
    EXPECT_LE(test::MaxDifference(test::Samples16(got), test::Samples16(bySox)), c.soxTolerance);
  }
  int64_t frames = int64_t(got.size()) / s.loader().OutFormat.blockAlign;
  if (c.exactLength)
    EXPECT_EQ(s.measured, frames) << "the services measure the decoded length";
  else
    EXPECT_GE(s.measured, frames) << "an estimate errs on the high side";
}

TEST_P(StoredSound, PiecesOfAnySizeJoinExactly) {
  const Coding& c = GetParam();
  WavParts w = test::ParseWav(test::ReadFile(Make(c)));
  std::string whole = Stream(w, 1 << 20).LoadAll(1 << 24);
  ASSERT_FALSE(whole.empty());
  for (int piece : {1000, 44100, 1}) {
    if (piece == 1 && std::string(c.name) != "sox_ima" && std::string(c.name) != "ff_mp3") continue;
    SCOPED_TRACE(piece);
    // Reads of whole blocks, and reads that end inside a block.
    size_t blocks = std::max<size_t>(3, 1500 / w.Format().blockAlign);
    EXPECT_TRUE(Stream(w, blocks).LoadAll(piece) == whole);
    EXPECT_TRUE(Stream(w, blocks, w.Format().blockAlign / 3 + 1).LoadAll(piece) == whole);
  }
}

INSTANTIATE_TEST_SUITE_P(Codings, StoredSound, testing::ValuesIn(kCodings),
                         [](const testing::TestParamInfo<Coding>& i) { return std::string(i.param.name); });

TEST_F(SoundFiles, AKnownLengthEndsTheStream) {
  // The fact chunk names the frames before the encoders' padding.
  for (const Coding& c : {kCodings[0], kCodings[2], kCodings[9]}) {
    SCOPED_TRACE(c.name);
    std::string file = Make(c);
    WavParts w = test::ParseWav(test::ReadFile(file));
    ASSERT_GT(w.fact, 0);
    std::string all = FfmpegPcm(file);
    size_t frameBytes = 2u * w.Format().channels;
    ASSERT_GT(all.size() / frameBytes, size_t(w.fact)) << "the coding pads";
    Stream s(w, 7, 0, w.fact);
    std::string got = s.LoadAll(1000);
    EXPECT_EQ(got.size(), size_t(w.fact) * frameBytes);
    EXPECT_TRUE(got == all.substr(0, got.size()));
    EXPECT_TRUE(s.loader().atEnd);
  }
}

TEST_F(SoundFiles, LameTaggedMp3IsGapless) {
  // An MP3 stream with its encoder's information frame, stored in a WAVE
  // file: the encoder delay and padding are cut as ffmpeg cuts them from the
  // .mp3 file itself.
  std::string mp3 = *dir_ / "tagged.mp3";
  ASSERT_TRUE(test::Run("ffmpeg -y -loglevel error -i " + *dir_ / "src.wav" + " -c:a libmp3lame -b:a 128k " + mp3));
  std::string stream = test::ReadFile(mp3);
  std::string fmt(30, '\0');
  QWaveFormat f{0x55, 2, 44100, 16000, 1, 0, 12};
  std::memcpy(fmt.data(), &f, 18);
  fmt[18] = 1;  // MPEGLAYER3 extra: id 1, flags 2, block size 418, 1 frame per block, delay 0
  fmt[20] = 2;
  fmt[24] = char(418 & 0xFF), fmt[25] = char(418 >> 8), fmt[26] = 1;
  WavParts w = test::ParseWav(test::MakeWav(fmt, stream));
  std::string got = Stream(w, 4410).LoadAll(4096);
  std::string want = FfmpegPcm(mp3);
  EXPECT_EQ(got.size(), 57330u * 4) << "1.3 s at 44100 Hz";
  EXPECT_EQ(want.size(), got.size());
  EXPECT_TRUE(got == want);
}

TEST_F(SoundFiles, PcmPassesThrough) {
  // A PCM file is its own output format: the loader copies.
  std::string file = *dir_ / "u8.wav";
  ASSERT_TRUE(test::Run("ffmpeg -y -loglevel error -i " + *dir_ / "src.wav" + " -c:a pcm_u8 " + file));
  WavParts w = test::ParseWav(test::ReadFile(file));
  ASSERT_EQ(w.fmt.size(), 16u) << "ffmpeg writes the short format of PCM";
  Stream s(w, 2205);
  std::string pieces;
  while (s.Load(1000, pieces) > 0) {
  }
  EXPECT_TRUE(pieces == w.data);
  EXPECT_EQ(s.loader().position, int32_t(w.data.size() / 2));
}

}  // namespace
}  // namespace zelo

namespace zelo {
namespace {

TEST(SndLoad, AFailedLoadLeavesNothingBehind) {
  // Stored IMA ADPCM with no conversion opened: the service refuses the
  // stream, and the load releases what it allocated.
  ErrClear();
  int32_t blocks = MemCount();
  QWaveFormat ima{0x11, 1, 8000, 4055, 256, 4, 0};
  std::string data(256 * 4, '\0');
  MemReader reader{&data, 0, 512, 256};
  QSndLoader loader{};
  loader.InFormat = reinterpret_cast<uint8_t*>(&ima);
  loader.InFormatSize = sizeof ima;
  loader.OutFormat = QWaveFormat{1, 1, 8000, 16000, 2, 16, 0};
  loader.totalBlocks = 4;
  loader.ratio = 505;
  QWaveConv state{};
  Qsnd out{};
  ProtectedKeep([&] { SndLoad(&reader, state, loader, ReadMem, 1000, out); });
  EXPECT_EQ(ErrCategory(), ERR_ACM);
  EXPECT_EQ(ErrCode(), MMSYSERR_INVALHANDLE);
  ErrClear();
  EXPECT_EQ(out.SndData, nullptr);
  EXPECT_EQ(out.samples, 0);
  EXPECT_EQ(loader.SndData, nullptr);
  EXPECT_EQ(MemCount(), blocks);
  EXPECT_EQ(MonDepth(), 0);
}

}  // namespace
}  // namespace zelo
