// The conversion record and the output configuration exports: defaults,
// clamping, ignored values and their trace lines.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "api/zelorec.h"
#include "foundation/basic.h"
#include "foundation/common.h"
#include "support/trace_capture.h"
#include "zelo/zelo.h"

namespace zelo {
namespace {

ErrorInfo LastError() {
  ErrorInfo info{-1, -1, -1};
  ZeloGetLastError(&info);
  return info;
}

// A fresh record per test, released afterwards.
class RecordTest : public testing::Test {
 protected:
  void SetUp() override { rec_ = ZeloAlloc(); ASSERT_NE(rec_, nullptr); }
  void TearDown() override {
    rec_->State = 0;
    ZeloFree(rec_);
  }
  ZeloRec* rec_ = nullptr;
};

TEST_F(RecordTest, NewRecordHasItsDefaults) {
  EXPECT_EQ(ZeloGetStatus(rec_), 0);
  EXPECT_EQ(rec_->ExpectedFrames, 1);
  EXPECT_EQ(rec_->VideoFormat, UNDEF);
  EXPECT_EQ(rec_->AudioFormat, UNDEF);
  EXPECT_TRUE(rec_->VideoFile.Empty());
  EXPECT_EQ(rec_->Width, 320);
  EXPECT_EQ(rec_->Height, 240);
  EXPECT_EQ(rec_->AutoRes, kTrue);
  EXPECT_EQ(rec_->Bpp, 24);
  EXPECT_EQ(rec_->Dither, kFalse);
  EXPECT_DOUBLE_EQ(rec_->FrameRate, 30.0);
  EXPECT_EQ(rec_->KeepDuration, kTrue);
  EXPECT_EQ(rec_->Direction, 1);
  EXPECT_EQ(rec_->CodecSettings.id, UNDEF);
  EXPECT_EQ(rec_->AudioFmt.formatTag, 1);
  EXPECT_EQ(rec_->AudioFmt.channels, 2);
  EXPECT_EQ(rec_->AudioFmt.samplesPerSec, 44100u);
  EXPECT_EQ(rec_->AudioFmt.bitsPerSample, 16);
  EXPECT_EQ(rec_->AudioFmt.blockAlign, 4);
  EXPECT_EQ(rec_->AviInfoCount, 0);
  EXPECT_EQ(rec_->VideoSourceCB, nullptr);
  EXPECT_EQ(ZeloGetElapsedTime(rec_), 0.0);
  // The record is a tracked block with its tag.
  void* p = rec_;
  const int32_t at = MemFind(&p, 1);
  ASSERT_NE(at, UNDEF);
  EXPECT_NE(MemEntry(at).tag.find("zelomain.ZeloAlloc.dataP"), std::string::npos);
}

TEST(RecordLifetime, FreeReleasesIdleRecordsOnly) {
  const int32_t before = MemCount();
  ZeloRec* rec = ZeloAlloc();
  EXPECT_EQ(MemCount(), before + 1);
  rec->State = 3;  // converting: left alone
  ZeloFree(rec);
  EXPECT_EQ(MemCount(), before + 1);
  rec->State = 0;
  ZeloFree(rec);
  EXPECT_EQ(MemCount(), before);

  ZeloFree(nullptr);
  EXPECT_EQ(LastError().Result, RES_OK);
}

TEST(RecordLifetime, StatusOfNullIsZeroAndLeavesTheLastError) {
  ZeloRec* rec = ZeloAlloc();
  ZeloSetBpp(nullptr, 8);  // a fault: Result 999
  ASSERT_EQ(LastError().Result, RES_EXCEPTION);
  EXPECT_EQ(ZeloGetStatus(rec), 0);
  EXPECT_EQ(LastError().Result, RES_EXCEPTION);
  ZeloFree(rec);
}

TEST(TimeText, HoursMinutesSecondsAlways) {
  const struct {
    double seconds;
    const char* text;
  } cases[] = {{3725.5, "01:02:05"}, {59, "00:00:59"}, {0, "00:00:00"},
               {36000, "10:00:00"}, {59.999, "00:00:59"}, {360000, "100:00:00"}};
  for (const auto& c : cases) {
    char buf[32] = {};
    ZeloMakeTimeStr(c.seconds, buf);
    EXPECT_STREQ(buf, c.text) << c.seconds;
  }
}

TEST_F(RecordTest, ResolutionIsClampedAndSwitchesAutoResOff) {
  const struct {
    int32_t w, h, ew, eh;
  } cases[] = {{2, 5000, 4, 4096}, {100, 200, 100, 200}, {-5, 4096, 4, 4096}, {4097, 3, 4096, 4}};
  for (const auto& c : cases) {
    rec_->AutoRes = kTrue;
    EXPECT_EQ(ZeloSetResolution(rec_, c.w, c.h), RES_OK);
    EXPECT_EQ(rec_->Width, c.ew);
    EXPECT_EQ(rec_->Height, c.eh);
    EXPECT_EQ(rec_->AutoRes, kFalse);
  }
}

TEST_F(RecordTest, DepthTakesOnlyTheFiveFormats) {
  const struct {
    int32_t bpp, expected;
  } cases[] = {{8, 8}, {12, 8}, {15, 15}, {16, 16}, {0, 16}, {24, 24}, {64, 24}, {32, 32}, {-8, 32}};
  for (const auto& c : cases) {
    EXPECT_EQ(ZeloSetBpp(rec_, c.bpp), RES_OK);
    EXPECT_EQ(rec_->Bpp, c.expected) << c.bpp;
  }
}

TEST_F(RecordTest, SizeAndDepthStayWhileConverting) {
  rec_->State = 2;
  ZeloSetResolution(rec_, 64, 48);
  ZeloSetBpp(rec_, 8);
  EXPECT_EQ(rec_->Width, 320);
  EXPECT_EQ(rec_->Bpp, 24);
  EXPECT_EQ(rec_->AutoRes, kTrue);
}

TEST_F(RecordTest, OutputFileFindsTheWritableFormat) {
  const struct {
    const char* name;
    int32_t id;
  } cases[] = {{"out.avi", 6},  {"OUT.JEX", 7},   {"a/b.c/frame0001.tga", 1}, {"x.mp3", UNDEF},
               {"x.mpg", 11},   {"x.wav", 12},    {"noextension", UNDEF},     {"x.gif", UNDEF},
               {"x.xyz", UNDEF}, {"", UNDEF}};
  for (const auto& c : cases) {
    EXPECT_EQ(ZeloSetOutputFile(rec_, c.name, c.name), RES_OK);
    EXPECT_EQ(rec_->VideoFormat, c.id) << c.name;
    EXPECT_EQ(rec_->AudioFormat, c.id) << c.name;
    EXPECT_EQ(rec_->VideoFile.Get(), c.name);
    EXPECT_EQ(ZeloGetFileFmtID(c.name), c.id) << c.name;
  }
  ZeloSetOutputFile(rec_, nullptr, nullptr);
  EXPECT_TRUE(rec_->VideoFile.Empty());
  EXPECT_EQ(rec_->VideoFormat, UNDEF);
  EXPECT_EQ(LastError().Result, RES_OK);
  // Names are kept to their first 255 characters.
  const std::string longName = std::string(300, 'a') + ".avi";
  ZeloSetOutputFile(rec_, longName.c_str(), "");
  EXPECT_EQ(rec_->VideoFile.Get(), longName.substr(0, 255));
}

TEST_F(RecordTest, AviInformationEntries) {
  EXPECT_EQ(ZeloAviAddCustomInfo(rec_, "ICMT", "a comment"), RES_OK);
  ZeloAviAddCustomInfo(rec_, "INA", "three characters");
  ZeloAviAddCustomInfo(rec_, "ISFTWR", "six characters");
  ZeloAviAddCustomInfo(rec_, "ICOP", "");
  ZeloAviAddCustomInfo(rec_, nullptr, "x");
  ZeloAviAddCustomInfo(rec_, "ICOP", nullptr);
  ASSERT_EQ(rec_->AviInfoCount, 2);
  EXPECT_EQ(std::string(rec_->AviInfo[0].id, 4), "ICMT");
  EXPECT_EQ(rec_->AviInfo[0].value.Get(), "a comment");
  EXPECT_EQ(std::string(rec_->AviInfo[1].id, 4), "ISFT");
  for (int i = 2; i < 20; ++i) ZeloAviAddCustomInfo(rec_, "IKEY", std::to_string(i).c_str());
  EXPECT_EQ(rec_->AviInfoCount, 16);
  EXPECT_EQ(rec_->AviInfo[15].value.Get(), "15");
  EXPECT_EQ(LastError().Result, RES_OK);
  EXPECT_EQ(ZeloAviClearCustomInfo(rec_), RES_OK);
  EXPECT_EQ(rec_->AviInfoCount, 0);
  EXPECT_EQ(rec_->AviInfo[0].value.length, 0);
}

TEST_F(RecordTest, AudioFormatIsPcmFromItsThreeNumbers) {
  ZeloSetAudioFormat(rec_, 22050, 1, 8);
  EXPECT_EQ(rec_->AudioFmt.formatTag, 1);
  EXPECT_EQ(rec_->AudioFmt.blockAlign, 1);
  EXPECT_EQ(rec_->AudioFmt.avgBytesPerSec, 22050u);
  ZeloSetFrameRate(rec_, 12.5, ZELO_FALSE);
  EXPECT_DOUBLE_EQ(rec_->FrameRate, 12.5);
  EXPECT_EQ(rec_->KeepDuration, kFalse);
  ZeloEnableDithering(rec_, 7);
  ZeloForceCompatibility(rec_, 1);
  EXPECT_EQ(rec_->Dither, kTrue);
  EXPECT_EQ(rec_->ForceCompat, kTrue);
}

TEST_F(RecordTest, CallbacksAreStoredAndNullUnregisters) {
  auto source = [](ZeloRec*, int32_t) {};
  ZeloAssignVideoSource(rec_, source);
  ZeloAssignAudioSource(rec_, source);
  EXPECT_EQ(rec_->VideoSourceCB, static_cast<ZeloSourceCB>(source));
  EXPECT_EQ(rec_->AudioSourceCB, static_cast<ZeloSourceCB>(source));
  ZeloAssignVideoSource(rec_, nullptr);
  EXPECT_EQ(rec_->VideoSourceCB, nullptr);
}

TEST_F(RecordTest, SourceSettersOutsideACallbackDoNothing) {
  EXPECT_EQ(ZeloSrcSetFile(rec_, "a.bmp"), RES_OK);
  EXPECT_EQ(ZeloSrcSetStart(rec_, 5), RES_OK);
  EXPECT_EQ(ZeloSrcFinished(rec_), RES_OK);
  EXPECT_EQ(rec_->SrcRequest, nullptr);
  EXPECT_EQ(LastError().Result, RES_OK);
}

TEST_F(RecordTest, ExportTraceLines) {
  test::TraceCapture trace;
  SetExportTrace(true);
  ZeloSetFrameRate(rec_, 25, ZELO_TRUE);
  ZeloSetFrameRate(rec_, 29.97, ZELO_FALSE);
  ZeloSetResolution(rec_, 640, 480);
  ZeloSetBpp(rec_, 12);
  ZeloEnableDithering(rec_, ZELO_TRUE);
  ZeloForceCompatibility(rec_, ZELO_FALSE);
  ZeloSetAudioFormat(rec_, 22050, 1, 8);
  ZeloSetOutputFile(rec_, "a.avi", nullptr);
  ZeloSetCodec(rec_, 6, 0x64697663);
  ZeloSetQuality(rec_, 8, 90);
  ZeloSetDataRate(rec_, 11, 150);
  ZeloSetKeyFrameRate(rec_, 7, 10);
  ZeloAviClearCustomInfo(rec_);
  ZeloAviAddCustomInfo(rec_, "ICMT", "x");
  ZeloAssignProgress(rec_, nullptr);
  ZeloSrcSetDirection(rec_, -1);
  ZeloSrcSetLenTime(rec_, 1.5);
  ZeloSrcFinished(rec_);
  ZeloGetStatus(rec_);
  ZeloAbort(rec_);
  char buf[32];
  ZeloMakeTimeStr(61, buf);
  SetExportTrace(false);
  std::vector<std::string> lines;
  for (const std::string& l : trace.Lines())
    if (!l.empty() && l[0] == '#') lines.push_back(l.substr(1));
  const std::vector<std::string> expected = {
      "ZeloSetFrameRate: 25.00, keep duration",
      "ZeloSetFrameRate: 29.97",
      "ZeloSetResolution: 640x480",
      "ZeloSetBpp: 12",
      "ZeloEnableDithering: TRUE",
      "ZeloForceCompatibility: FALSE",
      "ZeloSetAudioFormat: rate=22050, chan=1, bits=8",
      "ZeloSetOutputFile: vid=a.avi, aud=NULL",
      "ZeloSetCodec: fmt=6, codec=0x64697663",
      "ZeloSetQuality: fmt=8, quality=90",
      "ZeloSetDataRate: fmt=11, rate=150",
      "ZeloSetKeyFrameRate: fmt=7, rate=10",
      "ZeloAviClearCustomInfo",
      "ZeloAviAddCustomInfo",
      "ZeloAssignProgress NULL",
      "ZeloSrcSetDirection: Backwards",
      "ZeloSrcSetLenTime: 1.50",
      "ZeloSrcFinished",
      "ZeloGetStatus: 0",
      "ZeloAbort",
      "ZeloMakeTimeStr: 00:01:01",
  };
  EXPECT_EQ(lines, expected);
}

TEST(Switches, M2vSelectsMpeg2OnlyOnceTheSwitchIsOn) {
  ZeloRec* rec = ZeloAlloc();
  test::TraceCapture trace;
  SetExportTrace(true);
  ZeloSetOutputFile(rec, "clip.M2V", "");
  EXPECT_EQ(rec->VideoFormat, 11);
  EXPECT_EQ(ZeloCodecsInit(11, 0, 0, 0), 1);
  EXPECT_EQ(ZeloEnableMPEG2(), ZELO_TRUE);
  ZeloSetOutputFile(rec, "clip.M2V", "");
  ZeloSetOutputFile(rec, "clip.mpg", "");
  EXPECT_EQ(ZeloCodecsInit(11, 0, 0, 0), 2);
  SetExportTrace(false);
  int codecLines = 0;
  for (const std::string& l : trace.Lines())
    if (l == "#ZeloSetCodec: fmt=11, codec=0x00000002") ++codecLines;
  EXPECT_EQ(codecLines, 1);
  ZeloFree(rec);
}

TEST(Switches, LzwAddsTheFifthTiffCodec) {
  ZeloCodecInfo info;
  if (ZeloCodecsInit(10, 0, 0, 0) == 4) {
    ZeloCodecsGetInfo(10, &info, 5);
    EXPECT_STREQ(info.description, "Uncompressed, full frames");
    EXPECT_EQ(ZeloEnableLZW(), ZELO_TRUE);
  }
  EXPECT_EQ(ZeloCodecsInit(10, 0, 0, 0), 5);
  ZeloCodecsGetInfo(10, &info, 5);
  EXPECT_EQ(info.codec, 5);
  EXPECT_STREQ(info.description, "Variable-Length-Code LZW");
}

TEST(Codecs, CountsByFormat) {
  const struct {
    int32_t format, count;
  } cases[] = {{0, 0},  {1, 2},  {2, 1},  {3, 0},  {4, 1},  {5, 1},  {7, 2},  {8, 1},
               {9, 1},  {12, 1}, {13, 2}, {14, 2}, {15, 2}, {16, 0}, {17, 1}, {18, 1},
               {19, 0}, {-3, 0}, {1000, 0}};
  for (const auto& c : cases) EXPECT_EQ(ZeloCodecsInit(c.format, 320, 240, 24), c.count) << c.format;
}

TEST(Codecs, Descriptions) {
  const struct {
    int32_t format, index, codec;
    const char* text;
    ZeloBool flag;
  } cases[] = {
      {1, 1, 0, "Uncompressed, full frames", ZELO_TRUE},
      {1, 2, 1, "Run length encoded (RLE)", ZELO_TRUE},
      {2, 1, 0, "Run length encoded (RLE)", 0},
      {7, 1, 1, "JEX-FAST compression", ZELO_TRUE},
      {7, 2, 0, "JEX-BEST compression", ZELO_TRUE},
      {8, 1, 0, "ISO/IEC IS 10918-1, ITU-T T.81", 0},
      {9, 1, 0, "Deflate compression (modified LZ77)", ZELO_TRUE},
      {10, 2, 7, "JPEG DCT compression", 0},
      {10, 4, 32946, "Deflate compression (ZIP)", 0},
      {12, 1, 0, "PCM, uncompressed", 0},
      {15, 2, 1, "ASCII encoded", ZELO_TRUE},
      {18, 1, 0, "MPEG audio compression", 0},
      {3, 2, 1, "Run length encoded (RLE)", 0},
  };
  for (const auto& c : cases) {
    ZeloCodecInfo info;
    std::memset(&info, 0x55, sizeof info);
    EXPECT_EQ(ZeloCodecsGetInfo(c.format, &info, c.index), RES_OK);
    EXPECT_EQ(info.format, c.format);
    EXPECT_EQ(info.codec, c.codec) << c.format << "/" << c.index;
    EXPECT_STREQ(info.description, c.text);
    EXPECT_EQ(info.hasCodecs, c.flag);
  }
  ZeloCodecInfo info;
  ZeloCodecsGetInfo(8, &info, 1);
  EXPECT_EQ(info.qualityAdjustable, ZELO_TRUE);
  EXPECT_EQ(info.qualityDefault, 85);
  EXPECT_EQ(info.qualityMax, 100);
  ZeloCodecsGetInfo(11, &info, 1);
  EXPECT_STREQ(info.description, "MPEG-1 format");
  EXPECT_EQ(info.dataRateDefault, 610);
  EXPECT_EQ(info.dataRateMax, 12800);
  ZeloCodecsGetInfo(7, &info, 1);
  EXPECT_EQ(info.keyFrameRateDefault, 25);
  EXPECT_EQ(info.keyFrameRateMax, INT32_MAX);
  EXPECT_EQ(ZeloCodecsGetInfo(7, nullptr, 1), RES_EXCEPTION);
}

TEST(Abort, FromAnotherThreadDoesNotWaitForTheLock) {
  ZeloRec* rec = ZeloAlloc();
  std::future<int32_t> result;
  {
    // A conversion on this thread holds the library's lock.
    std::lock_guard<std::recursive_mutex> busy(ApiMutex());
    result = std::async(std::launch::async, [rec] { return ZeloAbort(rec); });
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  }
  EXPECT_EQ(result.get(), RES_OK);
  EXPECT_EQ(rec->Abort, kTrue);
  EXPECT_EQ(ZeloAbort(nullptr), RES_EXCEPTION);
  ZeloFree(rec);
}

}  // namespace
}  // namespace zelo
