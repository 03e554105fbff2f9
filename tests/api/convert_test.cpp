// The conversion run through the exports: the source setters inside a
// callback, the function bridges' size and depth rules, preparation of the
// output, aborts, error answers and what a run leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api/zelorec.h"
#include "conversion/conform.h"
#include "conversion/engine.h"
#include "formats/ffbasic.h"
#include "foundation/basic.h"
#include "foundation/common.h"
#include "foundation/errors.h"
#include "image/imgbasic.h"
#include "support/image_helpers.h"
#include "support/sound_files.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"
#include "zelo/zelo.h"

namespace zelo {
namespace {

// What the host's callbacks do in one test; the callbacks are plain C
// routines, so they reach it through this pointer.
struct Host {
  std::function<void(ZeloRec*, int32_t)> video, audio;
  std::function<void(ZeloRec*, Qimg*, int32_t)> videoFunc;
  std::function<void(ZeloRec*, Qsnd*, int32_t)> audioFunc;
  std::function<void(ZeloRec*, int32_t, int32_t, int32_t)> progress;
  std::function<void(ZeloRec*, const char*, int32_t*)> error;
};
Host* g_host = nullptr;

void ZELO_CALL VideoCB(ZeloRec* r, int32_t b) { g_host->video(r, b); }
void ZELO_CALL AudioCB(ZeloRec* r, int32_t b) { g_host->audio(r, b); }
void ZELO_CALL VideoFuncCB(ZeloRec* r, Qimg* i, int32_t f) { g_host->videoFunc(r, i, f); }
void ZELO_CALL AudioFuncCB(ZeloRec* r, Qsnd* s, int32_t f) { g_host->audioFunc(r, s, f); }
void ZELO_CALL ProgressCB(ZeloRec* r, int32_t s, int32_t f, int32_t n) { g_host->progress(r, s, f, n); }
void ZELO_CALL ErrorCB(ZeloRec* r, const char* n, int32_t* a) { g_host->error(r, n, a); }

// Tracked blocks, but for the AVI module's process-wide compressor list and
// options, which live until the library unloads.
int32_t RunBlocks() {
  int32_t n = 0;
  for (int32_t i = 0; i < MemCount(); ++i)
    if (MemEntry(i).tag.find("ff_avi.") == std::string::npos) ++n;
  return n;
}

class ConvertTest : public testing::Test {
 protected:
  void SetUp() override {
    g_host = &host_;
    blocks_ = RunBlocks();
    files_ = FCount();
    rec_ = ZeloAlloc();
    ASSERT_NE(rec_, nullptr);
  }
  void TearDown() override {
    ZeloFree(rec_);
    g_host = nullptr;
    EXPECT_EQ(RunBlocks(), blocks_) << "tracked blocks left over";
    EXPECT_EQ(FCount(), files_) << "files left open";
  }

  // A 24-bit picture file of the given size.
  std::string Picture(const std::string& name, int32_t w, int32_t h) {
    const std::string path = dir_ / name;
    Qimg img = test::PatternImg(w, h, 24);
    ProtectedKeep([&] { ImgSave(path, &img, UNDEF); });
    EXPECT_TRUE(ErrNone());
    ImgFree(&img);
    return path;
  }

  // Feeds the files, one block each, as the video source.
  void VideoFiles(std::vector<std::string> files) {
    host_.video = [files](ZeloRec* r, int32_t block) {
      if (block < static_cast<int32_t>(files.size()))
        ZeloSrcSetFile(r, files[static_cast<size_t>(block)].c_str());
    };
    ZeloAssignVideoSource(rec_, VideoCB);
  }

  ZeloFileInfo Info(const std::string& path) {
    ZeloFileInfo fi;
    ZeloGetFileInfo(path.c_str(), &fi, ZELO_FALSE);
    return fi;
  }

  test::TempDir dir_;
  Host host_;
  ZeloRec* rec_ = nullptr;
  int32_t blocks_ = 0, files_ = 0;
};

TEST_F(ConvertTest, SourceSettersFillTheOpenRequest) {
  const std::string a = Picture("a.bmp", 8, 8), b = Picture("b.bmp", 8, 8);
  std::vector<SourceRequest> seen;
  std::string dataName;
  int32_t liveNames = 0;
  host_.video = [&](ZeloRec* r, int32_t block) {
    if (block > 0) return;  // nothing set: the source ends
    ZeloSrcSetFile(r, a.c_str());
    const int32_t before = MemCount();
    ZeloSrcSetFile(r, b.c_str());  // replaces the first name's buffer
    liveNames = MemCount() - before;
    ZeloSrcSetStart(r, 0);
    ZeloSrcSetLen(r, 1);
    ZeloSrcSetDirection(r, -1);
    ZeloSrcSetFrameRate(r, 12.5);
    ZeloSrcSetStartTime(r, 1.25);
    ZeloSrcSetLenTime(r, 2.5);
    seen.push_back(*static_cast<SourceRequest*>(r->SrcRequest));
    dataName = static_cast<const char*>(seen.back().data);
  };
  ZeloAssignVideoSource(rec_, VideoCB);
  ZeloSetOutputFile(rec_, (dir_ / "out.jex").c_str(), nullptr);
  EXPECT_EQ(ZeloConvert(rec_), RES_OK);
  ASSERT_EQ(seen.size(), 1u);
  const SourceRequest& r = seen[0];
  EXPECT_EQ(dataName, b);
  EXPECT_EQ(r.kind, SRC_FILE);
  EXPECT_EQ(r.start, 1);  // counted from 0 by the host, from 1 in the request
  EXPECT_EQ(r.length, 1);
  EXPECT_EQ(r.direction, -1);
  EXPECT_DOUBLE_EQ(r.frameRate, 12.5);
  EXPECT_DOUBLE_EQ(r.startTime, 1.25);
  EXPECT_DOUBLE_EQ(r.lengthTime, 2.5);
  EXPECT_EQ(r.repeat, 1);
  EXPECT_EQ(r.maxFiles, 1);
  EXPECT_EQ(liveNames, 0);  // the first buffer was released
  // A source at 12.5 frames per second written at 30 keeps its duration.
  EXPECT_EQ(Info(dir_ / "out.jex").frames, 2);
  EXPECT_EQ(rec_->SrcRequest, nullptr);  // closed after the callback
}

TEST_F(ConvertTest, RequestDefaultsAndAudioStartCountsFromZero) {
  std::vector<SourceRequest> video, audio;
  host_.video = [&](ZeloRec* r, int32_t) {
    video.push_back(*static_cast<SourceRequest*>(r->SrcRequest));
  };
  host_.audio = [&](ZeloRec* r, int32_t) {
    ZeloSrcSetStart(r, 0);
    audio.push_back(*static_cast<SourceRequest*>(r->SrcRequest));
    ZeloSrcFinished(r);
  };
  ZeloAssignVideoSource(rec_, VideoCB);
  ZeloAssignAudioSource(rec_, AudioCB);
  ZeloSetFrameRate(rec_, 24, ZELO_TRUE);
  EXPECT_EQ(ZeloConvert(rec_), RES_OK);
  ASSERT_EQ(video.size(), 1u);
  EXPECT_EQ(video[0].kind, UNDEF);
  EXPECT_EQ(video[0].start, UNDEF);
  EXPECT_EQ(video[0].length, UNDEF);
  EXPECT_EQ(video[0].startTime, UNDEF_REAL);
  EXPECT_DOUBLE_EQ(video[0].frameRate, 24.0);  // the record's rate for the video side
  EXPECT_EQ(video[0].direction, 1);
  ASSERT_EQ(audio.size(), 1u);
  EXPECT_EQ(audio[0].frameRate, UNDEF_REAL);
  EXPECT_EQ(audio[0].start, 0);
}

// Pictures from memory: a copy of a host image, raw pixels with a palette,
// and 32-bit pixels (taken as 24).
TEST_F(ConvertTest, PicturesFromMemory) {
  Qimg host = test::PatternImg(12, 10, 24);
  std::vector<uint8_t> indexed(12 * 10, 3), wide(12 * 10 * 4, 0x40);
  uint8_t palette[256][3] = {};
  palette[3][0] = 10;
  palette[3][1] = 20;
  palette[3][2] = 30;
  host_.video = [&](ZeloRec* r, int32_t block) {
    if (block == 0) ZeloSrcSetImg(r, &host);
    if (block == 1) ZeloSrcSetPixels(r, indexed.data(), palette, 12, 10, 8);
    if (block == 2) ZeloSrcSetPixels(r, wide.data(), nullptr, 12, 10, 32);
  };
  ZeloAssignVideoSource(rec_, VideoCB);
  std::vector<std::vector<uint8_t>> seen;
  std::vector<int32_t> depths;
  host_.videoFunc = [&](ZeloRec*, Qimg* img, int32_t) {
    depths.push_back(img->bpp);
    seen.push_back(test::As24(*img));
  };
  ZeloAssignVideoFunc(rec_, VideoFuncCB);
  const std::string out = dir_ / "out.jex";
  ZeloSetOutputFile(rec_, out.c_str(), nullptr);
  EXPECT_EQ(ZeloConvert(rec_), RES_OK);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(depths, (std::vector<int32_t>{24, 8, 24}));
  EXPECT_EQ(seen[0], test::Bytes(host));
  EXPECT_EQ(seen[1][0], 10);  // palette entry 3, blue first
  EXPECT_EQ(seen[1][2], 30);
  EXPECT_EQ(seen[2], std::vector<uint8_t>(12 * 10 * 3, 0x40));
  EXPECT_EQ(Info(out).frames, 3);
  ImgFree(&host);
}

// A host may ask about files from inside its callbacks; a failing answer
// leaves the running conversion alone.
TEST_F(ConvertTest, FailingInformationInsideACallback) {
  const std::string a = Picture("a.bmp", 8, 8);
  const std::string missing = dir_ / "missing.bmp";
  int32_t infoResult = -1;
  host_.video = [&](ZeloRec* r, int32_t block) {
    if (block >= 3) return;
    ZeloFileInfo fi;
    ZeloGetFileInfo(missing.c_str(), &fi, ZELO_FALSE);
    ErrorInfo e;
    ZeloGetLastError(&e);
    infoResult = e.Result;
    ZeloSrcSetFile(r, a.c_str());
  };
  ZeloAssignVideoSource(rec_, VideoCB);
  const std::string out = dir_ / "out.jex";
  ZeloSetOutputFile(rec_, out.c_str(), nullptr);
  EXPECT_EQ(ZeloConvert(rec_), RES_OK);
  EXPECT_EQ(infoResult, RES_ERROR);
  EXPECT_EQ(Info(out).frames, 3);
}

TEST_F(ConvertTest, NoOutputNamesStillRunTheEngine) {
  const std::string a = Picture("a.bmp", 8, 8);
  VideoFiles({a, a, a});
  int calls = 0;
  host_.videoFunc = [&](ZeloRec*, Qimg*, int32_t) { ++calls; };
  ZeloAssignVideoFunc(rec_, VideoFuncCB);
  EXPECT_EQ(ZeloConvert(rec_), RES_OK);
  EXPECT_EQ(calls, 3);
}

TEST_F(ConvertTest, FixedSizeReachesTheVideoFunction) {
  const std::string big = Picture("big.bmp", 64, 48);
  VideoFiles({big});
  std::vector<std::pair<int32_t, int32_t>> sizes;
  host_.videoFunc = [&](ZeloRec*, Qimg* img, int32_t) { sizes.emplace_back(img->resX, img->resY); };
  ZeloAssignVideoFunc(rec_, VideoFuncCB);
  ZeloSetResolution(rec_, 20, 16);
  ZeloSetOutputFile(rec_, (dir_ / "out.jex").c_str(), nullptr);
  EXPECT_EQ(ZeloConvert(rec_), RES_OK);
  ASSERT_EQ(sizes.size(), 1u);
  EXPECT_EQ(sizes[0], std::make_pair(20, 16));
  const ZeloFileInfo fi = Info(dir_ / "out.jex");
  EXPECT_EQ(fi.width, 20);
  EXPECT_EQ(fi.height, 16);
}

// The depth the video function sees and the depth written, by output depth.
TEST_F(ConvertTest, DepthIsEnforcedAfterTheVideoFunction) {
  const std::string a = Picture("a.bmp", 16, 16);
  const struct {
    int32_t bpp, written;
    std::vector<int32_t> states;
  } cases[] = {{16, 16, {3}}, {8, 8, {2, 3}}, {24, 24, {3}}};
  for (const auto& c : cases) {
    std::vector<int32_t> depths, states;
    host_.videoFunc = [&](ZeloRec* r, Qimg* img, int32_t) {
      depths.push_back(img->bpp);
      states.push_back(ZeloGetStatus(r));
    };
    VideoFiles({a});
    ZeloAssignVideoFunc(rec_, VideoFuncCB);
    ZeloSetBpp(rec_, c.bpp);
    const std::string out = dir_ / ("out" + std::to_string(c.bpp) + ".jex");
    ZeloSetOutputFile(rec_, out.c_str(), nullptr);
    EXPECT_EQ(ZeloConvert(rec_), RES_OK);
    EXPECT_EQ(states, c.states) << c.bpp;
    for (int32_t d : depths) EXPECT_EQ(d, 24) << c.bpp;  // the source's depth
    EXPECT_EQ(Info(out).bpp, c.written);
    EXPECT_EQ(rec_->PalPass, ToBool(c.bpp == 8));
  }
}

// A host that lets go of a frame's or a sound's data drops it; the blocks it
// let go of are released, not leaked.
TEST_F(ConvertTest, DroppedFramesAndSoundLeaveNothingBehind) {
  const std::string a = Picture("a.bmp", 16, 16);
  VideoFiles({a, a, a});
  host_.videoFunc = [&](ZeloRec*, Qimg* img, int32_t frame) {
    if (frame == 0) img->pixPtr = nullptr;  // drops the first frame
    if (frame == 2) img->resX = 1000;       // more than its block holds: dropped too
  };
  ZeloAssignVideoFunc(rec_, VideoFuncCB);
  // Three seconds of 8000 Hz mono 8-bit sound; the second and third are dropped.
  const std::string wav = dir_ / "a.wav";
  const std::string fmt("\x01\x00\x01\x00\x40\x1f\x00\x00\x40\x1f\x00\x00\x01\x00\x08\x00", 16);
  test::WriteFile(wav, test::MakeWav(fmt, std::string(24000, '\x90')));
  host_.audio = [&](ZeloRec* r, int32_t block) {
    if (block == 0) ZeloSrcSetFile(r, wav.c_str());
  };
  ZeloAssignAudioSource(rec_, AudioCB);
  int32_t seen = 0;
  host_.audioFunc = [&](ZeloRec*, Qsnd* snd, int32_t first) {
    seen += snd->samples;
    if (first == 8000) snd->SndData = nullptr;
    if (first >= 16000) snd->samples *= 100;  // more than the block holds: dropped
  };
  ZeloAssignAudioFunc(rec_, AudioFuncCB);
  ZeloSetFrameRate(rec_, 2, ZELO_FALSE);
  ZeloSetAudioFormat(rec_, 8000, 1, 8);
  const std::string out = dir_ / "out.jex";
  ZeloSetOutputFile(rec_, out.c_str(), out.c_str());
  EXPECT_EQ(ZeloConvert(rec_), RES_OK);
  EXPECT_EQ(seen, 24000);
  const ZeloFileInfo fi = Info(out);
  EXPECT_EQ(fi.frames, 1);
  EXPECT_EQ(fi.sampleFrames, 8000);
}

TEST_F(ConvertTest, ErrorAnswerThreeRetriesTheSameLoad) {
  const std::string good = Picture("good.bmp", 16, 16);
  const std::string bad = dir_ / "bad.bmp";
  test::WriteFile(bad, test::ReadFile(good).substr(0, 200));
  VideoFiles({good, bad, good});
  int calls = 0;
  host_.error = [&](ZeloRec*, const char* name, int32_t* answer) {
    EXPECT_EQ(name, bad);
    EXPECT_EQ(*answer, 1);
    ErrorInfo info;
    ZeloGetLastError(&info);
    EXPECT_EQ(info.Result, RES_ERROR);
    *answer = ++calls < 5 ? ZELO_ANSWER_RETRY : ZELO_ANSWER_SKIP;
  };
  ZeloAssignError(rec_, ErrorCB);
  ZeloSetOutputFile(rec_, (dir_ / "out.jex").c_str(), nullptr);
  EXPECT_EQ(ZeloConvert(rec_), RES_OK);
  EXPECT_EQ(calls, 5);
  EXPECT_EQ(Info(dir_ / "out.jex").frames, 2);
}

TEST_F(ConvertTest, AbortFromTheFirstProgressCallPreparesNothing) {
  const std::string a = Picture("a.bmp", 8, 8);
  VideoFiles({a});
  std::vector<int32_t> states;
  host_.progress = [&](ZeloRec* r, int32_t state, int32_t, int32_t) {
    states.push_back(state);
    if (states.size() == 1) {
      EXPECT_EQ(ZeloAbort(r), RES_OK);
    }
  };
  ZeloAssignProgress(rec_, ProgressCB);
  const std::string out = dir_ / "out.jex";
  ZeloSetOutputFile(rec_, out.c_str(), nullptr);
  EXPECT_EQ(ZeloConvert(rec_), RES_ABORTED);
  EXPECT_EQ(states, (std::vector<int32_t>{1, 0}));
  EXPECT_FALSE(FileExists(out));
  ErrorInfo info;
  ZeloGetLastError(&info);
  EXPECT_EQ(info.Result, RES_ABORTED);
}

TEST_F(ConvertTest, UnknownOutputIsResultOneWithoutTheEngine) {
  int sources = 0;
  host_.video = [&](ZeloRec*, int32_t) { ++sources; };
  ZeloAssignVideoSource(rec_, VideoCB);
  std::vector<int32_t> states;
  host_.progress = [&](ZeloRec* r, int32_t state, int32_t, int32_t) {
    states.push_back(state);
    ZeloSetBpp(r, 8);  // an export inside the last call must not change the outcome
  };
  ZeloAssignProgress(rec_, ProgressCB);
  ZeloSetOutputFile(rec_, (dir_ / "out.zzz").c_str(), nullptr);
  EXPECT_EQ(ZeloConvert(rec_), RES_BAD_OUTPUT);
  EXPECT_EQ(sources, 0);
  EXPECT_EQ(states, (std::vector<int32_t>{1, 0}));
  ErrorInfo info;
  ZeloGetLastError(&info);
  EXPECT_EQ(info.Result, RES_BAD_OUTPUT);
  // A sound output no format claims, without a video format, is refused too;
  // with a video format it is dropped.
  ZeloSetOutputFile(rec_, "", (dir_ / "out.zzz").c_str());
  EXPECT_EQ(ZeloConvert(rec_), RES_BAD_OUTPUT);
  ZeloSetOutputFile(rec_, (dir_ / "out.jex").c_str(), (dir_ / "out.zzz").c_str());
  EXPECT_EQ(ZeloConvert(rec_), RES_OK);
  EXPECT_TRUE(rec_->AudioFile.Empty());
}

TEST_F(ConvertTest, PreparationRoundsSizesAndRates) {
  ZeloSetResolution(rec_, 321, 240);
  ZeloForceCompatibility(rec_, ZELO_TRUE);
  ZeloSetOutputFile(rec_, (dir_ / "out.jex").c_str(), nullptr);
  EXPECT_EQ(ZeloConvert(rec_), RES_OK);
  EXPECT_EQ(rec_->Width, 336);
  EXPECT_EQ(rec_->Height, 240);
  // MPEG output takes the first standard rate at or above the one asked for,
  // and MPEG audio the nearest rate it allows.
  const struct {
    double asked, taken;
  } rates[] = {{24.5, 25}, {15, 24000.0 / 1001}, {30, 30}, {100, 60}};
  for (const auto& r : rates) {
    ZeloSetFrameRate(rec_, r.asked, ZELO_TRUE);
    ZeloSetOutputFile(rec_, (dir_ / "out.mpg").c_str(), nullptr);
    ZeloConvert(rec_);
    EXPECT_DOUBLE_EQ(rec_->FrameRate, r.taken) << r.asked;
  }
  ZeloSetAudioFormat(rec_, 22050, 1, 8);
  ZeloSetOutputFile(rec_, "", (dir_ / "out.mp2").c_str());
  ZeloConvert(rec_);
  EXPECT_EQ(rec_->AudioFmt.samplesPerSec, 32000u);
  EXPECT_EQ(rec_->AudioFmt.channels, 1);
  EXPECT_EQ(rec_->AudioFmt.bitsPerSample, 16);
}

// With compatibility forced the depth becomes the one the compressor takes.
TEST_F(ConvertTest, ForcedCompatibilityTakesTheCompressorsDepth) {
  ZeloForceCompatibility(rec_, ZELO_TRUE);
  ZeloSetOutputFile(rec_, (dir_ / "out.avi").c_str(), nullptr);
  ZeloSetCodec(rec_, 6, static_cast<int32_t>(MakeFourCC("MJPG")));
  ZeloSetBpp(rec_, 16);
  EXPECT_EQ(ZeloConvert(rec_), RES_OK);
  EXPECT_EQ(rec_->CodecSettings.avi.fourcc, MakeFourCC("MJPG"));
  EXPECT_EQ(rec_->Bpp, 24);
}

TEST_F(ConvertTest, OneConversionAtATime) {
  const std::string a = Picture("a.bmp", 8, 8);
  VideoFiles({a});
  int32_t nested = -1;
  host_.progress = [&](ZeloRec*, int32_t state, int32_t, int32_t) {
    if (state == 3 && nested == -1) {  // inside the running conversion
      ZeloRec* other = ZeloAlloc();
      nested = ZeloConvert(other);
      ZeloFree(other);
    }
  };
  ZeloAssignProgress(rec_, ProgressCB);
  const std::string out = dir_ / "out.jex";
  ZeloSetOutputFile(rec_, out.c_str(), nullptr);
  EXPECT_EQ(ZeloConvert(rec_), RES_OK);
  EXPECT_EQ(nested, RES_EXCEPTION);
  EXPECT_EQ(Info(out).frames, 1);
}

TEST_F(ConvertTest, RunTraceAndElapsedTime) {
  const std::string a = Picture("a.bmp", 8, 8);
  VideoFiles({a});
  test::TraceCapture trace;
  SetExportTrace(true);
  ZeloConvert(rec_);
  SetExportTrace(false);
  std::vector<std::string> lines;
  for (const std::string& l : trace.Lines())
    if (!l.empty() && l[0] == '#' && l.find("memory") == std::string::npos &&
        l.find("total") == std::string::npos)
      lines.push_back(l.substr(1));
  const std::string dashes(40, '-');
  const std::vector<std::string> expected = {
      "ZeloConvert: Starting " + dashes,
      "ZeloConvert: Calling ProgressCBF (init)",
      "ZeloConvert: Output prepared",
      "ZeloConvert: Saving to file",
      "ZeloVideoSource: blockNum=0",
      "ZeloSrcSetFile: " + a,
      "ZeloVideoSource: blockNum=1",
      "ZeloConvert: Called ProgressCBF (done)",
      "ZeloConvert: Finished " + dashes,
  };
  EXPECT_EQ(lines, expected);
  EXPECT_GE(ZeloGetElapsedTime(rec_), 0.0);
  EXPECT_DOUBLE_EQ(ZeloGetElapsedTime(rec_), rec_->Elapsed);
  EXPECT_EQ(ZeloGetStatus(rec_), 0);
}

}  // namespace
}  // namespace zelo
