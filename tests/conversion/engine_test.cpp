// The conversion engine driven through its own callbacks: source blocks,
// frame-rate mapping, the error answers, stopping, sound interleaving and
// the report.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "conversion/conform.h"
#include "conversion/engine.h"
#include "conversion/ffsave.h"
#include "conversion/uni.h"
#include "formats/ff_jex.h"
#include "formats/ffbasic.h"
#include "sound/sndbasic.h"
#include "support/format_files.h"
#include "support/sound_files.h"

namespace zelo {
namespace {

using test::Attempt;
using test::ErrPair;
using test::kNoError;

// One block a test source hands out.
struct Block {
  int32_t kind = SRC_FILE;  // 0: nothing given (silence for sound)
  std::string file;
  const QUniInfo* info = nullptr;
  Qimg* img = nullptr;
  Qsnd* snd = nullptr;  // an in-memory sound (kind 3 of an audio request)
  int32_t start = UNDEF;
  int32_t length = UNDEF;
  double startTime = UNDEF_REAL;
  double lengthTime = UNDEF_REAL;
  int32_t repeat = 1;
  double frameRate = UNDEF_REAL;
  int32_t direction = 1;
  int32_t maxFiles = 1;

  // Chained setters keep the tables short.
  Block& Start(int32_t v) { start = v; return *this; }
  Block& Length(int32_t v) { length = v; return *this; }
  Block& StartTime(double v) { startTime = v; return *this; }
  Block& Repeat(int32_t v) { repeat = v; return *this; }
  Block& Rate(double v) { frameRate = v; return *this; }
  Block& Backwards() { direction = -1; return *this; }
  Block& MaxFiles(int32_t v) { maxFiles = v; return *this; }
};

Block FileBlock(const std::string& file) {
  Block b;
  b.file = file;
  return b;
}
Block ImageBlock(Qimg* img) {
  Block b;
  b.kind = SRC_IMAGE;
  b.img = img;
  return b;
}
Block InfoBlock(const QUniInfo* info) {
  Block b;
  b.kind = SRC_INFO;
  b.info = info;
  return b;
}
// A request with neither file nor data: silence of the length (UNDEF: none given).
Block SilenceBlock(int32_t length) {
  Block b;
  b.kind = 0;
  b.length = length;
  return b;
}

// The request as the public layer resets it for each block.
void ResetRequest(SourceRequest* r) {
  const int32_t block = r->block;
  *r = SourceRequest{};
  r->block = block;
  r->kind = UNDEF;
  r->start = UNDEF;
  r->length = UNDEF;
  r->startTime = UNDEF_REAL;
  r->lengthTime = UNDEF_REAL;
  r->repeat = 1;
  r->frameRate = UNDEF_REAL;
  r->direction = 1;
  r->maxFiles = 1;
}

// A PCM WAVE file of the given samples.
std::string WavBytes(int32_t rate, int32_t channels, int32_t bits, const std::string& data) {
  std::string fmt(16, '\0');
  const int32_t align = channels * bits / 8;
  auto put = [&](size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) fmt[at + i] = char(v >> (8 * i));
  };
  put(0, 1, 2);
  put(2, uint32_t(channels), 2);
  put(4, uint32_t(rate), 4);
  put(8, uint32_t(rate * align), 4);
  put(12, uint32_t(align), 2);
  put(14, uint32_t(bits), 2);
  return test::MakeWav(fmt, data);
}

std::string Ramp(size_t bytes) {
  std::string s(bytes, '\0');
  for (size_t i = 0; i < bytes; ++i) s[i] = char((i * 7 + i / 251) & 0xFF);
  return s;
}

class EngineTest : public test::FormatTest {
 protected:
  void SetUp() override {
    test::FormatTest::SetUp();
    ConDone();
  }
  void TearDown() override {
    ConDone();
    for (Qimg& img : images_) ImgFree(&img);
    test::FormatTest::TearDown();
  }

  // A 24-bit picture whose every byte is the level.
  Qimg* Picture(int level, int32_t w = 8, int32_t h = 8) {
    images_.push_back(test::MakeImg(w, h, 24, std::vector<uint8_t>(size_t(w * h * 3), uint8_t(level))));
    return &images_.back();
  }

  // Files name0001.bmp ... with levels 10, 20, ...
  std::string Sequence(const std::string& name, int32_t count) {
    for (int32_t i = 1; i <= count; ++i) {
      Qimg* img = Picture(10 * i);
      char num[16];
      std::snprintf(num, sizeof num, "%04d", i);
      EXPECT_EQ(Attempt([&] { ImgSave(Path(name + num + ".bmp"), img, UNDEF); }), kNoError);
    }
    return Path(name + "0001.bmp");
  }

  // A JEX movie of `count` frames at `rate` whose frame k has level k.
  std::string Movie(const std::string& name, int32_t count, double rate) {
    auto hf = std::make_unique<QJexFile>();
    EXPECT_EQ(Attempt([&] {
                JEXCreate(hf.get(), Path(name), rate);
                for (int32_t k = 1; k <= count; ++k) {
                  Qimg img = test::MakeImg(8, 8, 24, std::vector<uint8_t>(192, uint8_t(k)));
                  JEXImgSave(hf.get(), &img);
                  ImgFree(&img);
                }
                JEXClose(hf.get());
              }),
              kNoError);
    return Path(name);
  }

  // A JEX file holding only sound: 8-bit mono samples at the rate.
  std::string SoundMovie(const std::string& name, int32_t rate, const std::string& data) {
    auto hf = std::make_unique<QJexFile>();
    Qsnd snd{};
    QWaveFormat f{};
    WaveFormatPCM(f, rate, 1, 8);
    EXPECT_EQ(Attempt([&] {
                SndMakeSilence(snd, int32_t(data.size()), f);
                std::memcpy(snd.SndData, data.data(), data.size());
                JEXCreate(hf.get(), Path(name), 25);
                JEXSndSave(hf.get(), &snd);
                JEXClose(hf.get());
              }),
              kNoError);
    SndFree(snd);
    return Path(name);
  }

  std::string Wav(const std::string& name, int32_t rate, int32_t bits, const std::string& data) {
    test::WriteFile(Path(name), WavBytes(rate, 1, bits, data));
    return Path(name);
  }

  static ConSourceProc Feed(std::vector<Block>* blocks) {
    auto next = std::make_shared<size_t>(0);
    return [blocks, next](SourceRequest* r) {
      ResetRequest(r);
      if (*next >= blocks->size()) {
        r->finished = kTrue;
        return;
      }
      const Block& b = (*blocks)[(*next)++];
      r->block++;
      r->kind = b.kind;
      r->data = b.kind == SRC_FILE   ? static_cast<void*>(const_cast<char*>(b.file.c_str()))
                : b.kind == SRC_INFO ? static_cast<void*>(const_cast<QUniInfo*>(b.info))
                : b.kind == SRC_IMAGE ? (b.img ? static_cast<void*>(b.img) : static_cast<void*>(b.snd))
                                      : nullptr;
      r->start = b.start;
      r->length = b.length;
      r->startTime = b.startTime;
      r->lengthTime = b.lengthTime;
      r->repeat = b.repeat;
      r->frameRate = b.frameRate;
      r->direction = b.direction;
      r->maxFiles = b.maxFiles;
    };
  }

  // Runs one pass; the error left pending comes back in error_.
  QConReport Run(const std::string& videoOut, const std::string& audioOut = "", double rate = 25,
                 bool keepDuration = false, int32_t expected = 0) {
    ConDone();
    QffSave s;
    ResetQffSave(&s);
    if (!videoOut.empty()) {
      SetFormat(&s, FFGetID(videoOut, FF_TABLE_WRITE));
      FFSavePrepare(&s, 8, 8, 24);
    }
    ConSetCallbacks(video_.empty() ? ConSourceProc{} : Feed(&video_), videoFunc_,
                    audio_.empty() ? ConSourceProc{} : Feed(&audio_), audioFunc_, progress_, error_);
    ConSetOptions(expected, rate, keepDuration ? kTrue : kFalse);
    QConReport report;
    left_ = Attempt([&] { ConStart(videoOut, audioOut, s, &report); });
    state_ = ConvState;
    // Every run, failed or not, leaves only the test's own pictures behind.
    EXPECT_EQ(MemCount(), blocks_ + int32_t(images_.size())) << "tracked blocks left over";
    EXPECT_EQ(FCount(), files_) << "files left open";
    return report;
  }

  // The levels of the pictures of a JEX file, and its sound bytes.
  struct JexContent {
    std::vector<int> levels;
    std::string sound;
  };
  static JexContent ReadJex(const std::string& file) {
    JexContent c;
    auto hf = std::make_unique<QJexFile>();
    EXPECT_EQ(Attempt([&] {
                JEXOpen(hf.get(), file);
                Qimg img{};
                for (int32_t k = 1; k <= hf->hdr.frameCount; ++k) {
                  JEXImgLoad(hf.get(), &img, k, 0);
                  c.levels.push_back(ImgPixels(&img)[0]);
                }
                ImgFree(&img);
                if (hf->hdr.sampleCount > 0) {
                  Qsnd snd{};
                  JEXSndLoad(hf.get(), &snd, 0, 0, hf->hdr.sampleCount);
                  c.sound.assign(reinterpret_cast<const char*>(snd.SndData),
                                 size_t(snd.samples) * snd.format.blockAlign);
                  SndFree(snd);
                }
                JEXClose(hf.get());
              }),
              kNoError)
        << file;
    return c;
  }

  // Records the level of every picture the video function sees.
  void RecordLevels() {
    videoFunc_ = [this](FilterRequest* f) { seen_.push_back(ImgPixels(f->img)[0]); };
  }
  // Records (pictures passed, sample frames) of every sound block.
  void RecordSound(bool drop = false) {
    audioFunc_ = [this, drop](FilterRequest* f) {
      sound_.push_back({f->frame, f->snd->samples});
      if (drop) f->resultSnd = nullptr;
    };
    if (!videoFunc_) videoFunc_ = [](FilterRequest*) {};
  }

  std::vector<Block> video_, audio_;
  ConFuncProc videoFunc_, audioFunc_;
  ConProgressProc progress_;
  ConErrorProc error_;
  ErrPair left_{0, 0};  // the error the run left pending
  int32_t state_ = 0;   // ConvState after the run
  std::vector<int> seen_;
  std::vector<std::pair<int32_t, int32_t>> sound_;
  std::deque<Qimg> images_;
};


TEST_F(EngineTest, FrameRateMappingRepeatsOrDropsPictures) {
  const std::string first = Sequence("f", 6);
  const struct {
    double sourceRate;
    bool keepDuration;
    int32_t repeat;
    int32_t length;
    std::vector<int> written;
  } cases[] = {
      {10, true, 1, 3, {10, 10, 20, 20, 20, 30, 30}},
      {10, false, 1, 3, {10, 20, 30}},
      {10, false, 3, 3, {10, 10, 10, 20, 20, 20, 30, 30, 30}},
      {50, true, 1, 6, {10, 30, 50}},
      {25, true, 2, 2, {10, 10, 20, 20}},
  };
  int n = 0;
  for (const auto& c : cases) {
    video_ = {FileBlock(first).Length(c.length).Repeat(c.repeat).Rate(c.sourceRate).MaxFiles(1000)};
    const std::string out = Path("map" + std::to_string(n++) + ".jex");
    const QConReport r = Run(out, "", 25, c.keepDuration);
    ASSERT_EQ(left_, kNoError) << n;
    EXPECT_EQ(r.framesWritten, int32_t(c.written.size())) << n;
    EXPECT_EQ(r.videoName, out);
    EXPECT_EQ(ReadJex(out).levels, c.written) << n;
  }
}

TEST_F(EngineTest, BlocksChooseTheirPictures) {
  const std::string seq = Sequence("d", 10);
  const std::string movie = Movie("m.jex", 60, 25);
  RecordLevels();
  int calls = 0;
  error_ = [&](const std::string&, int32_t&) { ++calls; };
  video_ = {
      FileBlock(seq).Start(5).Length(5).Backwards().MaxFiles(1000),
      FileBlock(movie).Length(2).StartTime(2.0),
      FileBlock(movie).Start(61),
      FileBlock(movie).Start(59).Length(10),
      FileBlock(Path("missing.bmp")),
      ImageBlock(Picture(200)),
  };
  const QConReport r = Run(Path("out.jex"));
  EXPECT_EQ(left_, kNoError);
  EXPECT_EQ(state_, CONV_RUNNING);
  // Backwards over 5..9; 2.0 s at 25 frames per second is frame 51; a start
  // beyond the movie and a file that does not exist are skipped silently; a
  // length beyond the end stops at the last frame.
  EXPECT_EQ(seen_, (std::vector<int>{90, 80, 70, 60, 50, 51, 52, 59, 60, 200}));
  EXPECT_EQ(r.framesWritten, 10);
  EXPECT_EQ(calls, 0);
}

TEST_F(EngineTest, TheErrorAnswerDecidesAfterAFailedLoad) {
  Sequence("e", 5);
  QUniInfo info;
  ASSERT_TRUE(UniInfo(Path("e0001.bmp"), &info, 1000, false));
  ASSERT_EQ(info.kind, KIND_SEQUENCE);
  ASSERT_EQ(info.media.frames, 5);
  std::filesystem::remove(Path("e0003.bmp"));
  Qimg* after = Picture(200);

  const struct {
    int32_t answer;
    int32_t state;
    bool kept;
    std::vector<int> written;
    int calls;
  } cases[] = {
      {4, CONV_RUNNING, true, {10, 20, 200}, 1},  // the block ends, the next one follows
      {2, CONV_ABORTED, true, {10, 20}, 1},       // stops, keeps the output
      {1, CONV_STOPPED, false, {}, 1},            // stops, deletes the output
      {3, CONV_RUNNING, true, {10, 20, 200}, 4},  // retried until the answer changes to 4
  };
  for (const auto& c : cases) {
    int calls = 0;
    bool pending = true;
    error_ = [&](const std::string& name, int32_t& answer) {
      ++calls;
      pending = pending && !ErrNone();
      EXPECT_EQ(name, Path("e0001.bmp"));
      answer = c.answer == 3 && calls > 3 ? 4 : c.answer;
    };
    video_ = {InfoBlock(&info), ImageBlock(after)};
    const std::string out = Path("err" + std::to_string(c.answer) + ".jex");
    const QConReport r = Run(out);
    EXPECT_EQ(left_, kNoError) << c.answer;
    EXPECT_EQ(state_, c.state) << c.answer;
    EXPECT_EQ(calls, c.calls) << c.answer;
    EXPECT_TRUE(pending) << c.answer;
    EXPECT_EQ(FileExists(out), c.kept) << c.answer;
    if (c.kept) {
      EXPECT_EQ(ReadJex(out).levels, c.written) << c.answer;
    }
  }

  // Answer 0 goes on with whatever the buffer holds; the run continues.
  error_ = [](const std::string&, int32_t& answer) { answer = 0; };
  video_ = {InfoBlock(&info), ImageBlock(after)};
  Run(Path("err0.jex"));
  EXPECT_EQ(left_, kNoError);
  EXPECT_EQ(state_, CONV_RUNNING);
  const std::vector<int> levels = ReadJex(Path("err0.jex")).levels;
  ASSERT_GE(levels.size(), 5u);
  EXPECT_EQ(std::vector<int>(levels.begin(), levels.begin() + 2), (std::vector<int>{10, 20}));
  EXPECT_EQ(std::vector<int>(levels.end() - 3, levels.end()), (std::vector<int>{40, 50, 200}));

  // Without an error callback the block ends and the run goes on.
  error_ = nullptr;
  video_ = {InfoBlock(&info), ImageBlock(after)};
  Run(Path("errnone.jex"));
  EXPECT_EQ(left_, kNoError);
  EXPECT_EQ(ReadJex(Path("errnone.jex")).levels, (std::vector<int>{10, 20, 200}));
}

TEST_F(EngineTest, StoppingThroughTheStatusKeepsOrDeletesTheOutput) {
  for (const int32_t status : {CONV_ABORTED, CONV_STOPPED}) {
    video_.clear();
    for (int i = 1; i <= 10; ++i) video_.push_back(ImageBlock(Picture(i)));
    progress_ = [status](const ConProgress& p) {
      if (p.framesDone >= 3) ConSetStatus(status);
    };
    const std::string stem = status == CONV_ABORTED ? "kept" : "gone";
    const QConReport r = Run(Path(stem + ".bmp"), "", 25, false, 10);
    EXPECT_EQ(left_, kNoError);
    EXPECT_EQ(state_, status);
    EXPECT_EQ(r.framesWritten, 3);
    // A numbered output: all of its files stay, or all go.
    EXPECT_EQ(r.videoName, Path(stem + "00.bmp"));
    for (const char* n : {"00", "01", "02"})
      EXPECT_EQ(FileExists(Path(stem + n + ".bmp")), status == CONV_ABORTED) << n;
    EXPECT_FALSE(FileExists(Path(stem + "03.bmp")));
  }
}

TEST_F(EngineTest, AnOutputThatReceivedNothingIsDeleted) {
  const std::string out = Path("nothing.jex");
  test::WriteFile(out, "old");
  video_ = {FileBlock(Path("missing.bmp"))};
  const QConReport r = Run(out, Path("nothing.wav"));
  EXPECT_EQ(left_, kNoError);
  EXPECT_EQ(r.framesWritten, 0);
  EXPECT_EQ(r.videoName, "");
  EXPECT_EQ(r.audioName, "");
  EXPECT_FALSE(FileExists(out));
  EXPECT_FALSE(FileExists(Path("nothing.wav")));
}

TEST_F(EngineTest, APassWithoutOutputsOnlyCallsTheCallbacks) {
  const std::string seq = Sequence("p", 4);
  audio_ = {SilenceBlock(100)};
  video_ = {FileBlock(seq).MaxFiles(1000)};
  RecordLevels();
  RecordSound();
  const size_t before = std::distance(std::filesystem::directory_iterator(dir_.path()), {});
  const QConReport r = Run("", "");
  EXPECT_EQ(left_, kNoError);
  EXPECT_EQ(seen_, (std::vector<int>{10, 20, 30, 40}));
  // With no video output no block is due before the video ends.
  EXPECT_EQ(sound_, (std::vector<std::pair<int32_t, int32_t>>{{4, 100}}));
  EXPECT_EQ(r.framesWritten, 0);
  EXPECT_EQ(r.videoName, "");
  EXPECT_EQ(size_t(std::distance(std::filesystem::directory_iterator(dir_.path()), {})), before);
}

TEST_F(EngineTest, AFailureInsideTheRunClosesEverythingAndResetsTheEngine) {
  const struct {
    bool fault;
    ErrPair error;
  } cases[] = {{false, {7, 9}}, {true, {3, MAX_CODE}}};
  for (const auto& c : cases) {
    for (int i = 1; i <= 5; ++i) video_.push_back(ImageBlock(Picture(i)));
    audio_ = {FileBlock(Wav("f.wav", 8000, 8, Ramp(80000)))};
    int calls = 0;
    videoFunc_ = [&c, &calls](FilterRequest* f) {
      ++calls;
      if (f->frame < 2) return;
      if (c.fault) ThrowFault("test fault");
      ErrRaise(7, 9, 1);
    };
    const std::string out = Path("fail.jex");
    Run(out, out);
    EXPECT_EQ(left_, c.error);
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(FileExists(out));
    // The clean-up reset the engine: no callbacks are left to call.
    EXPECT_EQ(ConvState, CONV_RUNNING);
    QConReport r;
    QffSave none{};
    EXPECT_EQ(Attempt([&] { ConStart("", "", none, &r); }), kNoError);
    EXPECT_EQ(calls, 3);
    video_.clear();
  }
}

TEST_F(EngineTest, SoundInterleavesIntoTheMovieAtTheSoundPeriod) {
  const std::string data = Ramp(2 * 23200);  // 2.9 s of 16-bit sound at 8000 Hz
  audio_ = {FileBlock(Wav("s.wav", 8000, 16, data))};
  for (int i = 1; i <= 60; ++i) video_.push_back(ImageBlock(Picture(i)));
  RecordSound();
  const std::string out = Path("av.jex");
  const QConReport r = Run(out, out);
  ASSERT_EQ(left_, kNoError);
  // One second of sound after every 25 pictures; the rest once the video ended.
  EXPECT_EQ(sound_, (std::vector<std::pair<int32_t, int32_t>>{{25, 8000}, {50, 8000}, {60, 7200}}));
  EXPECT_EQ(r.framesWritten, 60);
  EXPECT_EQ(r.samplesWritten, 23200);
  EXPECT_EQ(r.videoName, out);
  EXPECT_EQ(r.audioName, "");
  const JexContent c = ReadJex(out);
  EXPECT_EQ(c.levels.size(), 60u);
  ASSERT_EQ(c.sound.size(), data.size());
  EXPECT_TRUE(c.sound == data);
}

TEST_F(EngineTest, SeparateSoundOutputGetsASecondEveryPeriod) {
  const std::string data = Ramp(4 * 44100);
  audio_ = {FileBlock(Wav("a.wav", 44100, 8, data))};
  for (int i = 1; i <= 100; ++i) video_.push_back(ImageBlock(Picture(i)));
  RecordSound();
  ConProgress last{};
  int reports = 0;
  progress_ = [&](const ConProgress& p) {
    EXPECT_GE(p.framesDone, last.framesDone);
    EXPECT_GE(p.samplesDone, last.samplesDone);
    EXPECT_GE(p.pictureSeconds, 0.0);
    EXPECT_GE(p.soundSeconds, 0.0);
    last = p;
    ++reports;
  };
  const std::string wav = Path("o.wav");
  const QConReport r = Run(Path("v.jex"), wav);
  ASSERT_EQ(left_, kNoError);
  EXPECT_GE(reports, 100);
  EXPECT_EQ(last.framesDone, 100);
  EXPECT_EQ(last.samplesDone, 4 * 44100);
  EXPECT_EQ(sound_, (std::vector<std::pair<int32_t, int32_t>>{{25, 44100}, {50, 44100}, {75, 44100}, {100, 44100}}));
  EXPECT_EQ(r.samplesWritten, 4 * 44100);
  EXPECT_EQ(r.audioName, wav);
  EXPECT_TRUE(test::ParseWav(test::ReadFile(wav)).data == data);
}

TEST_F(EngineTest, SoundAloneGoesOutInSeconds) {
  const std::string data = Ramp(20000);  // 2.5 s of 8-bit sound at 8000 Hz
  audio_ = {FileBlock(Wav("in.wav", 8000, 8, data)).Start(0)};
  audioFunc_ = [this](FilterRequest* f) { sound_.push_back({f->frame, f->snd->samples}); };
  const std::string wav = Path("out.wav");
  const QConReport r = Run("", wav);
  ASSERT_EQ(left_, kNoError);
  EXPECT_EQ(sound_, (std::vector<std::pair<int32_t, int32_t>>{{0, 8000}, {0, 8000}, {0, 4000}}));
  EXPECT_EQ(r.samplesWritten, 20000);
  EXPECT_EQ(r.audioName, wav);
  EXPECT_TRUE(test::ParseWav(test::ReadFile(wav)).data == data);
}

TEST_F(EngineTest, AnInMemorySoundIsReadWithinItsBounds) {
  Qsnd snd{};
  QWaveFormat f{};
  WaveFormatPCM(f, 8000, 1, 8);
  SndMakeSilence(snd, 10000, f);
  const std::string data = Ramp(10000);
  std::memcpy(snd.SndData, data.data(), data.size());
  Block inside;
  inside.kind = SRC_IMAGE;
  inside.snd = &snd;
  inside.start = 1000;
  Block beyond = inside;
  beyond.start = 20000;  // past the end: unusable, skipped
  audio_ = {beyond, inside};
  audioFunc_ = [this](FilterRequest* f) { sound_.push_back({f->frame, f->snd->samples}); };
  const std::string wav = Path("mem.wav");
  ++blocks_;  // the test's own sound lives through the run
  const QConReport r = Run("", wav);
  SndFree(snd);
  --blocks_;
  ASSERT_EQ(left_, kNoError);
  EXPECT_EQ(sound_, (std::vector<std::pair<int32_t, int32_t>>{{0, 8000}, {0, 1000}}));
  EXPECT_EQ(r.samplesWritten, 9000);
  EXPECT_TRUE(test::ParseWav(test::ReadFile(wav)).data == data.substr(1000));
}

TEST_F(EngineTest, DroppedPicturesBringNoExtraSound) {
  // 50 pictures a second written at 25 drop every other picture; the sound
  // step after a dropped picture finds the same picture count and must not
  // write the period's block a second time.
  audio_ = {FileBlock(Wav("d.wav", 44100, 8, Ramp(2 * 44100)))};
  for (int i = 1; i <= 100; ++i) video_.push_back(ImageBlock(Picture(i)).Rate(50));
  RecordSound();
  const QConReport r = Run(Path("half.jex"), Path("half.wav"), 25, true);
  ASSERT_EQ(left_, kNoError);
  EXPECT_EQ(r.framesWritten, 50);
  EXPECT_EQ(sound_, (std::vector<std::pair<int32_t, int32_t>>{{49, 44100}, {99, 44100}}));
}

TEST_F(EngineTest, AviOutputTakesTheCompressorAndTheInformationEntries) {
  if (!test::HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe missing";
  // The output settings go through the compressor list, which lives for
  // the process: prepare them before counting what the test leaves.
  QffSave s;
  ResetQffSave(&s);
  SetFormat(&s, FF_AVI);
  FFSaveSetCodec(&s, int32_t(MakeFourCC("MJPG")));
  ASSERT_NE(FFSavePrepare(&s, 32, 32, 24), UNDEF);
  blocks_ = MemCount();

  const std::string data = Ramp(2 * 12000);  // 1.5 s of 16-bit sound at 8000 Hz
  audio_ = {FileBlock(Wav("s.wav", 8000, 16, data))};
  for (int i = 1; i <= 30; ++i) video_.push_back(ImageBlock(Picture(i * 8, 32, 32)));
  ConSetCallbacks(Feed(&video_), nullptr, Feed(&audio_), nullptr, nullptr, nullptr);
  ConSetOptions(0, 25, kFalse);
  for (int i = 0; i < 17; ++i) {
    char key[8];
    std::snprintf(key, sizeof key, "IT%02d", i);
    ConAddAviInfo(key, "entry " + std::to_string(i));
  }
  const std::string out = Path("movie.avi");
  QConReport r;
  ASSERT_EQ(Attempt([&] { ConStart(out, out, s, &r); }), kNoError);
  EXPECT_EQ(r.framesWritten, 30);
  EXPECT_EQ(r.samplesWritten, 12000);
  ConDone();

  const std::string q = test::Quote(out);
  EXPECT_EQ(test::RunCommand("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                             "stream=codec_tag_string,nb_read_frames -of csv=p=0 " + q),
            "MJPG,30\n");
  const std::string pcm = test::RunCommand("ffmpeg -v error -i " + q + " -map 0:a -f s16le - 2>/dev/null");
  EXPECT_TRUE(pcm == data) << pcm.size();
  // Sixteen information entries; the seventeenth was dropped.
  const std::string bytes = test::ReadFile(out);
  EXPECT_NE(bytes.find("IT15"), std::string::npos);
  EXPECT_EQ(bytes.find("IT16"), std::string::npos);
}

TEST_F(EngineTest, SilenceRequestsGiveTheirLength) {
  for (int i = 1; i <= 50; ++i) video_.push_back(ImageBlock(Picture(i)));
  RecordSound();
  audio_ = {SilenceBlock(12000)};
  const std::string wav = Path("quiet.wav");
  QConReport r = Run(Path("v1.jex"), wav);
  ASSERT_EQ(left_, kNoError);
  EXPECT_EQ(sound_, (std::vector<std::pair<int32_t, int32_t>>{{25, 8000}, {50, 4000}}));
  EXPECT_EQ(r.samplesWritten, 12000);
  EXPECT_TRUE(test::ParseWav(test::ReadFile(wav)).data == std::string(12000, '\x80'));

  // Without a length there is nothing, and the empty sound output goes.
  sound_.clear();
  audio_ = {SilenceBlock(UNDEF)};
  r = Run(Path("v2.jex"), Path("none.wav"));
  ASSERT_EQ(left_, kNoError);
  EXPECT_TRUE(sound_.empty());
  EXPECT_EQ(r.samplesWritten, 0);
  EXPECT_EQ(r.audioName, "");
  EXPECT_FALSE(FileExists(Path("none.wav")));
  EXPECT_TRUE(FileExists(Path("v2.jex")));
}

TEST_F(EngineTest, InterleavedSoundKeepsThePicturesDurationOverLongRuns) {
  // 10 000 pictures at 29.97 frames per second with 44.1 kHz sound: a block
  // follows every 29th picture. Truncating each block to 42672 sample frames
  // would fall 231 sample frames behind by picture 9976; the blocks carry
  // their fraction instead, so they hold 42672 or 42673.
  constexpr int32_t kFrames = 10000;
  constexpr int32_t kSamples = 44100 * 340;
  audio_ = {FileBlock(SoundMovie("long.jex", 44100, std::string(kSamples, '\x80')))};
  Qimg* pic = Picture(1, 4, 4);
  video_.assign(kFrames, ImageBlock(pic));
  RecordSound(true);
  const QConReport r = Run(Path("drift.jex"), "", 29.97);
  ASSERT_EQ(left_, kNoError);
  EXPECT_EQ(r.framesWritten, kFrames);
  int64_t interleaved = 0, all = 0;
  int32_t blocks = 0;
  for (const auto& [frame, samples] : sound_) {
    all += samples;
    if (frame >= kFrames) continue;
    ++blocks;
    interleaved += samples;
    EXPECT_EQ(frame % 29, 0);
    EXPECT_TRUE(samples == 42672 || samples == 42673) << samples;
  }
  EXPECT_EQ(blocks, 9976 / 29);
  EXPECT_EQ(interleaved, int64_t(std::floor(9976 * 44100 / 29.97)));
  EXPECT_EQ(all, kSamples);
  // After the video, whole seconds follow until the sound ends.
  ASSERT_GT(sound_.size(), size_t(blocks));
  EXPECT_EQ(sound_[size_t(blocks)], std::make_pair(kFrames, 44100));
}

}  // namespace
}  // namespace zelo
