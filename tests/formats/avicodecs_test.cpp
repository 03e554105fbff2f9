// The AVI codec list: names, the list's order, the current record and its
// fallbacks, and the compression options built from it.
#include <gtest/gtest.h>

#include <cstring>

#include "formats/avi_fixture.h"
#include "formats/avicodecs.h"
#include "formats/ff_avi.h"
#include "formats/ffbasic.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "platform/avifile.h"
#include "platform/vcm.h"

namespace zelo {
namespace {

uint32_t Code(const char* s) { return MakeFourCC(s); }

class AviCodecsTest : public test::AviStateTest {
 protected:
  // Makes the record of a code current.
  void Use(const char* code) {
    QAviCodec r{};
    AviCodecRecord(&r, Code(code));
    AviUseVC(&r);
  }
  QAviCodec Current() {
    QAviCodec r{};
    AviGetVC(&r);
    return r;
  }
};

TEST_F(AviCodecsTest, VideoNames) {
  std::string t;
  AVIGetVideoName(0, t);
  EXPECT_EQ(t, "Full frames, uncompressed");
  AVIGetVideoName(Code("DIB "), t);
  EXPECT_EQ(t, "(DIB ) Full frames, uncompressed");
  AVIGetVideoName(Code("ZQZQ"), t);
  EXPECT_EQ(t, "(ZQZQ) Unknown codec");
  AVIGetVideoName(Code("cvid"), t);
  EXPECT_EQ(t.rfind("(cvid) ", 0), 0u) << t;
  EXPECT_EQ(t.find("Unknown"), std::string::npos) << t;
  // The Video 1 aliases are looked up as msvc.
  std::string a, b;
  AVIGetVideoName(Code("CRAM"), a);
  AVIGetVideoName(Code("MSVC"), b);
  EXPECT_EQ(a.substr(7), b.substr(7));
  EXPECT_EQ(a.substr(0, 7), "(CRAM) ");
}

TEST_F(AviCodecsTest, AudioNames) {
  std::string t;
  AVIGetAudioName(1, t);
  EXPECT_EQ(t, "(#1) PCM, uncompressed");
  AVIGetAudioName(0x7A7A, t);
  EXPECT_EQ(t, "(#31354) Unknown codec");
  AVIGetAudioName(2, t);
  EXPECT_EQ(t.rfind("(#2) ", 0), 0u);
  EXPECT_GT(t.size(), 5u);
  EXPECT_EQ(t.find("Unknown"), std::string::npos) << t;
}

TEST_F(AviCodecsTest, ListEndsWithUncompressedAndAZeroRecord) {
  QAviCodec** list = nullptr;
  const int32_t n = AviCodecList(&list, 0, 0, 0);
  ASSERT_GE(n, 1);
  for (int32_t i = 0; i < n; ++i) EXPECT_EQ(list[i]->position, i + 1);
  const QAviCodec& u = *list[n - 1];
  EXPECT_EQ(FourCCToStr(u.fourcc), "DIB ");
  EXPECT_EQ(AviCodecText(u.name), "Uncompressed");
  EXPECT_EQ(AviCodecText(u.description), "Full Frames, Uncompressed");
  EXPECT_EQ(u.keyFrameRate, 1);
  EXPECT_EQ(u.isEncoder, kTrue);
  QAviCodec zero{};
  EXPECT_EQ(std::memcmp(list[n], &zero, sizeof zero), 0);
  // The compressors of the platform are there, with their capabilities.
  const int32_t hfyu = AviCodecFind(Code("hfyu"));
  ASSERT_GE(hfyu, 0);
  EXPECT_EQ(list[hfyu]->isEncoder, kTrue);
  const int32_t mjpg = AviCodecFind(Code("MJPG"));
  ASSERT_GE(mjpg, 0);
  EXPECT_EQ(list[mjpg]->supportsQuality, kTrue);
  EXPECT_EQ(list[mjpg]->supportsDataRate, kTrue);
  EXPECT_GT(list[mjpg]->stateSize, 0);
  EXPECT_EQ(AviCodecFind(Code("ZQZQ")), -1);
}

TEST_F(AviCodecsTest, ListMarksCompatibilityForAPictureFormat) {
  QAviCodec** list = nullptr;
  const int32_t n = AviCodecList(&list, 64, 48, 15);
  const QAviCodec& msvc = *list[AviCodecFind(Code("MSVC"))];
  EXPECT_EQ(msvc.compatible, kTrue);
  EXPECT_EQ(msvc.outBits, 15);  // the codec's 16 is recorded as 15
  EXPECT_EQ(msvc.outWidth, 64);
  EXPECT_EQ(msvc.outHeight, 48);
  EXPECT_EQ(list[n - 1]->outBits, 15);
  AviCodecList(&list, 64, 48, 24);
  EXPECT_EQ(list[AviCodecFind(Code("MSVC"))]->compatible, kFalse);
}

TEST_F(AviCodecsTest, RecordDepthIsTheFirstAcceptedOf24_16_8) {
  QAviCodec r{};
  AviCodecRecord(&r, Code("MSVC"));  // takes 16 bits only
  EXPECT_EQ(r.outBits, 16);
  AviCodecRecord(&r, Code("cvid"));
  EXPECT_EQ(r.outBits, 24);
  // A code nothing answers keeps only its code.
  AviCodecRecord(&r, Code("ZQZQ"));
  EXPECT_EQ(r.fourcc, Code("ZQZQ"));
  EXPECT_EQ(r.outBits, 0);
  EXPECT_EQ(r.position, 0);
}

TEST_F(AviCodecsTest, CheckAsksFifteenBitsAsSixteen) {
  int32_t bits = 0, h = 0, w = 0;
  EXPECT_EQ(AviCodecCheck_(Code("MSVC"), 32, 16, bits, h, w, 15), kTrue);
  EXPECT_EQ(bits, 15);
  EXPECT_EQ(w, 32);
  EXPECT_EQ(h, 16);
  bits = h = w = -1;
  ProtectedKeep([&] { EXPECT_EQ(AviCodecCheck_(Code("ZQZQ"), 32, 16, bits, h, w, 24), kFalse); });
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(bits, -1);
  EXPECT_EQ(AviCodecCheck_(Code("RGB "), 32, 16, bits, h, w, 8), kTrue);
  EXPECT_EQ(bits, 8);
}

TEST_F(AviCodecsTest, CompressionOptions) {
  Use("MJPG");
  QAviCodec r = Current();
  AviSetQuality(&r, 75);
  AviSetDataRate(&r, 150);
  AviSetKeyFrameRate(&r, 7);
  AviUseVC(&r);
  AviMakeCmpsOptions_();
  const vfw::AVICOMPRESSOPTIONS* o = AviCompressOptions();
  EXPECT_EQ(o->fccType, Code("vids"));
  EXPECT_EQ(o->fccHandler, Code("MJPG"));
  EXPECT_EQ(o->dwQuality, 7500u);
  EXPECT_EQ(o->dwBytesPerSecond, 153600u);
  EXPECT_EQ(o->dwKeyFrameEvery, 7u);
  EXPECT_EQ(o->dwFlags, 14u);
  EXPECT_NE(o->lpParms, nullptr);
  EXPECT_EQ(o->cbParms, uint32_t(r.stateSize));
  // Run-length encoding never aims for a data rate.
  QAviCodec rle{};
  rle.fourcc = Code("MRLE");
  rle.dataRate = 150;
  AviUseVC(&rle);
  AviMakeCmpsOptions_();
  EXPECT_EQ(AviCompressOptions()->dwFlags, 12u);
  // Uncompressed has no parameters.
  Use("DIB ");
  AviMakeCmpsOptions_();
  EXPECT_EQ(AviCompressOptions()->lpParms, nullptr);
  EXPECT_EQ(AviCompressOptions()->cbParms, 0u);
  // The settings persist in the list entry: a fresh record takes them.
  Use("MJPG");
  EXPECT_EQ(Current().quality, 75);
  EXPECT_EQ(Current().dataRate, 150);
  QAviCodec reset = Current();
  AviSetDataRate(&reset, 0);
}

TEST_F(AviCodecsTest, SetVCKeepsACodecThatTakesThePicture) {
  Use("HFYU");
  AviSetVC(64, 48, 24, kFalse);
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(FourCCToStr(Current().fourcc), "HFYU");
  EXPECT_EQ(AviVCBpp(), 24);
  Use("MSVC");
  AviSetVC(64, 48, 15, kFalse);
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(AviVCBpp(), 15);
  Use("DIB ");
  AviSetVC(64, 48, 8, kFalse);
  EXPECT_EQ(AviVCBpp(), 8);
}

TEST_F(AviCodecsTest, SetVCFallsBackToCinepakThenUncompressed) {
  // Video 1 refuses 24 bits: Cinepak at 24 takes over, with no error left.
  Use("MSVC");
  AviSetVC(64, 48, 24, kTrue);
  EXPECT_TRUE(ErrNone()) << ErrCategory() << "," << ErrCode();
  EXPECT_EQ(FourCCToStr(Current().fourcc), "cvid");
  EXPECT_EQ(AviVCBpp(), 24);
  // An unknown codec alone fails with (9, 7).
  QAviCodec bad{};
  bad.fourcc = Code("ZQZQ");
  AviUseVC(&bad);
  ProtectedKeep([&] { AviSetVC_(64, 48, 24); });
  EXPECT_EQ(ErrCategory(), ERR_AVI);
  EXPECT_EQ(ErrCode(), 7);
  ErrClear();
  // A picture Cinepak cannot take (its sides are multiples of 4) ends
  // uncompressed at the picture's own depth.
  AviUseVC(&bad);
  AviSetVC(66, 8, 8, kFalse);
  EXPECT_EQ(FourCCToStr(Current().fourcc), "DIB ");
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(AviVCBpp(), 8);
  ErrClear();
}

TEST_F(AviCodecsTest, NoDialogSoSelectionReportsFalse) {
  EXPECT_EQ(AviSelectVC(64, 48, 24), kFalse);
  EXPECT_TRUE(ErrNone());
  // About and configuration boxes are not available: nothing changes.
  Use("MJPG");
  QAviCodec r = Current();
  std::vector<uint8_t> before(static_cast<uint8_t*>(r.state), static_cast<uint8_t*>(r.state) + r.stateSize);
  AviCodecAbout(r.fourcc);
  AviCodecConfigure(&r);
  EXPECT_EQ(std::memcmp(before.data(), r.state, before.size()), 0);
  EXPECT_TRUE(ErrNone());
}

TEST_F(AviCodecsTest, DefaultsOfACodec) {
  int32_t q = -1, k = -1;
  EXPECT_EQ(AviCodecQuality(Code("MJPG"), q), kTrue);
  EXPECT_GE(q, 0);
  EXPECT_LE(q, 100);
  EXPECT_EQ(AviCodecKeyFrameRate(Code("ZQZQ"), k), kFalse);
  EXPECT_EQ(k, -1);
  BOOL enc = kFalse;
  EXPECT_EQ(AviCodecIsEncoder_(Code("FFV1"), enc), kTrue);
  EXPECT_EQ(enc, kTrue);
  EXPECT_EQ(AviCodecIsEncoder_(Code("ZQZQ"), enc), kFalse);
}

TEST_F(AviCodecsTest, RebuildingTheListDropsTheCurrentRecordsStateBlock) {
  Use("MJPG");
  ASSERT_NE(Current().state, nullptr);
  AviCodecsInit();  // frees the entry whose state the current record shared
  QAviCodec r = Current();
  EXPECT_EQ(r.state, nullptr);
  AviMakeCmpsOptions_();  // takes the codec's state afresh
  EXPECT_NE(AviCompressOptions()->lpParms, nullptr);
  EXPECT_EQ(AviCompressOptions()->cbParms, uint32_t(vfw::kVcmStateSize));
}

}  // namespace
}  // namespace zelo

namespace zelo {
namespace {

TEST_F(AviCodecsTest, UnitStartMakesCinepakAt24Current) {
  AviCodecsUnitDone();
  AviCodecsUnitInit();
  EXPECT_EQ(FourCCToStr(Current().fourcc), "cvid");
  EXPECT_EQ(AviVCBpp(), 24);
  AviCodecList(nullptr, 0, 0, 0);  // as the fixture found it
}

}  // namespace
}  // namespace zelo
