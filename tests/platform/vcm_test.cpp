// The installed compressors: what they report and what they make.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "foundation/basic.h"
#include "platform/avi_helpers.h"
#include "platform/riff.h"
#include "support/temp_dir.h"

namespace zelo {
namespace {

using namespace vfw;
using test::WriteSpec;

struct CodecCase {
  const char* fcc;
  int bits;
  double minPsnr;  // at the default quality; 99: identical
  const char* ffName;
};

class CodecRoundTrip : public testing::TestWithParam<CodecCase> {
 protected:
  test::TempDir dir_;
};

TEST_P(CodecRoundTrip, DecodesBackHereAndInFfmpeg) {
  const CodecCase& c = GetParam();
  FOURCC fcc = FourCC(c.fcc[0], c.fcc[1], c.fcc[2], c.fcc[3]);
  if (!VideoCompressorExists(fcc)) GTEST_SKIP() << c.fcc << " not installed";
  WriteSpec spec;
  spec.codec = fcc;
  spec.bits = c.bits;
  // Lossy codecs get a bigger picture, so the floor measures more than edges.
  spec.width = c.minPsnr < 99 ? 160 : 64;
  spec.height = c.minPsnr < 99 ? 120 : 48;
  spec.frames = 12;
  spec.keyEvery = 5;
  std::string name = dir_ / "c.avi";
  ASSERT_EQ(test::WriteMovie(name, spec), AVIERR_OK);
  test::ReadResult r = test::ReadMovie(name);
  ASSERT_EQ(r.open, AVIERR_OK);
  ASSERT_EQ(r.frames, spec.frames);
  EXPECT_EQ(r.failed, 0);
  double worst = 99;
  for (int n = 0; n < spec.frames; ++n) {
    std::vector<uint8_t> rows = test::TestFrame(spec.width, spec.height, spec.bits, n);
    auto want = test::RowsToBgr(rows.data(), spec.width, spec.height, spec.bits, test::TestPalette());
    worst = std::min(worst, test::Psnr(want, r.pictures[size_t(n)]));
  }
  EXPECT_GE(worst, c.minPsnr) << c.fcc;
  std::printf("%s %d bits: worst PSNR %.1f dB, decoded at %d bits\n", c.fcc, c.bits, worst, r.bits);
  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  auto v = test::Probe(name, "v:0");
  EXPECT_EQ(v["codec_name"], c.ffName);
  EXPECT_EQ(v["nb_frames"], "12");
  EXPECT_EQ(test::ProbeFrameCount(name), 12);
  auto ff = test::FfmpegFrames(name, spec.width, spec.height);
  ASSERT_EQ(ff.size(), size_t(spec.frames));
  double agree = 99;
  for (int n = 0; n < spec.frames; ++n) agree = std::min(agree, test::Psnr(ff[size_t(n)], r.pictures[size_t(n)]));
  std::printf("%s: ours against ffmpeg's decode: %.1f dB\n", c.fcc, agree);
  EXPECT_GE(agree, c.minPsnr >= 99 ? 99 : 50.0);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, CodecRoundTrip,
    testing::Values(CodecCase{"HFYU", 24, 99, "huffyuv"}, CodecCase{"FFVH", 24, 99, "ffvhuff"},
                    CodecCase{"FFV1", 24, 99, "ffv1"}, CodecCase{"ULRG", 24, 99, "utvideo"},
                    CodecCase{"MPNG", 24, 99, "png"}, CodecCase{"MPNG", 8, 99, "png"},
                    CodecCase{"ZMBV", 24, 99, "zmbv"}, CodecCase{"ZMBV", 8, 99, "zmbv"},
                    CodecCase{"ZMBV", 16, 99, "zmbv"}, CodecCase{"HFYU", 8, 99, "huffyuv"},
                    CodecCase{"FFV1", 16, 99, "ffv1"}, CodecCase{"ULRG", 32, 99, "utvideo"},
                    CodecCase{"cvid", 24, 28, "cinepak"}, CodecCase{"cvid", 8, 20, "cinepak"},
                    CodecCase{"MSVC", 16, 27, "msvideo1"}, CodecCase{"MJPG", 24, 30, "mjpeg"},
                    CodecCase{"FMP4", 24, 28, "mpeg4"}, CodecCase{"XVID", 24, 28, "mpeg4"}),
    [](const testing::TestParamInfo<CodecCase>& i) {
      return std::string(i.param.fcc) + "_" + std::to_string(i.param.bits);
    });

// --- the compressor interface ----------------------------------------------

FOURCC Fcc(const char* s) { return FourCC(s[0], s[1], s[2], s[3]); }

// A BITMAPINFO for a query: header and 256 colours.
struct Bitmap {
  BITMAPINFOHEADER h{};
  uint8_t colours[1024] = {};
  Bitmap(int32_t w, int32_t hgt, int bits, uint32_t compression = BI_RGB) {
    std::vector<uint8_t> f = test::DibFormatBlock(w, hgt, bits);
    h = GetInfoHeader(f.data());
    h.biCompression = compression;
    if (bits == 8) std::memcpy(colours, f.data() + 40, 1024);
  }
  uintptr_t P() const { return reinterpret_cast<uintptr_t>(&h); }
};

TEST(Compressors, EnumerationListsTheInstalledOnesWithTheirCapabilities) {
  struct Expected {
    const char* fcc;
    uint32_t flags;
  };
  const Expected all[] = {{"cvid", VIDCF_QUALITY | VIDCF_TEMPORAL}, {"MSVC", VIDCF_TEMPORAL},
                          {"MJPG", VIDCF_QUALITY | VIDCF_CRUNCH}, {"HFYU", 0}, {"FFVH", 0},
                          {"FFV1", VIDCF_TEMPORAL}, {"ULRG", 0},
                          {"FMP4", VIDCF_QUALITY | VIDCF_CRUNCH | VIDCF_TEMPORAL},
                          {"ZMBV", VIDCF_TEMPORAL}, {"MPNG", 0}};
  std::vector<std::string> listed;
  ICINFO info;
  for (uint32_t i = 0; ICInfo(ICTYPE_VIDEO, i, &info); ++i) {
    EXPECT_EQ(info.dwSize, sizeof(ICINFO));
    EXPECT_EQ(info.fccType, ICTYPE_VIDEO);
    EXPECT_LE(std::strlen(info.szName), 16u);
    EXPECT_LE(std::strlen(info.szDescription), 128u);
    EXPECT_GT(std::strlen(info.szDescription), 0u);
    listed.push_back(riff::FourCCText(info.fccHandler));
    for (const Expected& e : all)
      if (Fcc(e.fcc) == info.fccHandler) {
        EXPECT_EQ(info.dwFlags, e.flags) << e.fcc;
      }
  }
  // Every allow-listed compressor FFmpeg has, in the list's order, and nothing else.
  std::vector<std::string> expected;
  for (const Expected& e : all)
    if (VideoCompressorExists(Fcc(e.fcc))) expected.push_back(e.fcc);
  EXPECT_EQ(listed, expected);
  EXPECT_FALSE(ICInfo(ICTYPE_VIDEO, uint32_t(listed.size()), &info));
  EXPECT_FALSE(ICInfo(FourCC("vidx"), 0, &info));
  EXPECT_FALSE(ICInfo(ICTYPE_VIDEO, FourCC("DIB "), &info)) << "uncompressed is no compressor";
  ASSERT_TRUE(ICInfo(ICTYPE_VIDEO, FourCC("mjpg"), &info));
  EXPECT_EQ(info.fccHandler, FourCC("MJPG"));
}

TEST(Compressors, OpenIgnoresCaseAndKnowsAliases) {
  for (const char* code : {"CVID", "cvid", "msvc", "CRAM", "wham", "XVID", "fmp4"}) {
    HIC h = ICOpen(ICTYPE_VIDEO, Fcc(code), ICMODE_QUERY);
    ASSERT_NE(h, nullptr) << code;
    ICINFO info;
    EXPECT_EQ(ICGetInfo(h, &info, sizeof info), int32_t(sizeof info));
    if (std::string(code) == "XVID") {
      EXPECT_EQ(info.fccHandler, FourCC("XVID"));
    }
    EXPECT_EQ(ICClose(h), ICERR_OK);
  }
  EXPECT_EQ(ICOpen(ICTYPE_VIDEO, FourCC("DIB "), ICMODE_QUERY), nullptr);
  EXPECT_EQ(ICOpen(ICTYPE_VIDEO, FourCC("QQQQ"), ICMODE_QUERY), nullptr);
  // What FFmpeg only decodes is described, but compresses nothing.
  EXPECT_EQ(ICOpen(ICTYPE_VIDEO, FourCC("H264"), ICMODE_COMPRESS), nullptr);
  HIC h = ICOpen(ICTYPE_VIDEO, FourCC("H264"), ICMODE_QUERY);
  ASSERT_NE(h, nullptr);
  ICINFO info;
  ASSERT_EQ(ICGetInfo(h, &info, sizeof info), int32_t(sizeof info));
  EXPECT_EQ(info.dwFlags, 0u);
  EXPECT_NE(std::string(info.szDescription).find("H.264"), std::string::npos);
  Bitmap in(320, 240, 24);
  EXPECT_EQ(ICSendMessage(h, ICM_COMPRESS_QUERY, in.P(), 0), ICERR_BADFORMAT);
  EXPECT_EQ(ICSendMessage(h, ICM_GETSTATE, 0, 0), 0);
  EXPECT_EQ(ICGetDefaultQuality(h), 0u);
  ICClose(h);
  EXPECT_FALSE(VideoCompressorExists(FourCC("H264")));
  EXPECT_FALSE(ICInfo(ICTYPE_VIDEO, FourCC("DIB "), &info));
  EXPECT_EQ(ICSendMessage(nullptr, ICM_ABOUT, 0, 0), ICERR_BADHANDLE);
}

TEST(Compressors, NoDialogsAndTheDefaults) {
  struct Case {
    const char* fcc;
    uint32_t quality;  // 0: not supported
    uint32_t keyRate;
  };
  for (Case c : {Case{"cvid", 7500, 15}, Case{"MSVC", 0, 15}, Case{"MJPG", 8500, 1},
                 Case{"HFYU", 0, 1}, Case{"FMP4", 7500, 120}, Case{"ZMBV", 0, 15}}) {
    HIC h = ICOpen(ICTYPE_VIDEO, Fcc(c.fcc), ICMODE_QUERY);
    if (h == nullptr) continue;
    EXPECT_EQ(ICSendMessage(h, ICM_ABOUT, uintptr_t(-1), 1), ICERR_UNSUPPORTED);
    EXPECT_EQ(ICSendMessage(h, ICM_CONFIGURE, uintptr_t(-1), 1), ICERR_UNSUPPORTED);
    EXPECT_EQ(ICSendMessage(h, ICM_CONFIGURE, 0, 0), ICERR_UNSUPPORTED);
    uint32_t q = 12345;
    intptr_t r = ICSendMessage(h, ICM_GETDEFAULTQUALITY, reinterpret_cast<uintptr_t>(&q), 4);
    EXPECT_EQ(r, c.quality ? ICERR_OK : ICERR_UNSUPPORTED) << c.fcc;
    EXPECT_EQ(ICGetDefaultQuality(h), c.quality) << c.fcc;
    EXPECT_EQ(ICGetDefaultKeyFrameRate(h), c.keyRate) << c.fcc;
    EXPECT_EQ(ICSendMessage(h, 0x4321, 0, 0), ICERR_UNSUPPORTED);
    ICClose(h);
  }
}

TEST(Compressors, QueryAcceptsThePictureFormatsEachTakes) {
  struct Case {
    const char* fcc;
    int32_t w, h;
    int bits;
    bool ok;
  };
  const Case cases[] = {
      {"cvid", 320, 240, 24, true},  {"cvid", 320, 240, 8, true},  {"cvid", 320, 240, 16, true},
      {"cvid", 322, 240, 24, false}, {"MSVC", 320, 240, 16, true}, {"MSVC", 320, 240, 24, false},
      {"MSVC", 320, 240, 8, false},  {"MSVC", 318, 240, 16, false}, {"HFYU", 321, 241, 24, true},
      {"HFYU", 320, 240, 32, true},  {"FMP4", 321, 240, 24, false}, {"FMP4", 8192, 64, 24, false},
      {"ZMBV", 33, 17, 8, true},     {"MPNG", 31, 7, 16, true},     {"ULRG", 320, 240, 4, false},
      {"FFV1", 320, 240, 1, false},
  };
  for (const Case& c : cases) {
    HIC h = ICOpen(ICTYPE_VIDEO, Fcc(c.fcc), ICMODE_QUERY);
    if (h == nullptr) continue;
    Bitmap in(c.w, c.h, c.bits);
    EXPECT_EQ(ICSendMessage(h, ICM_COMPRESS_QUERY, in.P(), 0), c.ok ? ICERR_OK : ICERR_BADFORMAT)
        << c.fcc << " " << c.w << "x" << c.h << "x" << c.bits;
    ICClose(h);
  }
  // Compressed or broken input is refused.
  HIC h = ICOpen(ICTYPE_VIDEO, FourCC("HFYU"), ICMODE_QUERY);
  ASSERT_NE(h, nullptr);
  Bitmap mjpg(320, 240, 24, FourCC("MJPG"));
  EXPECT_EQ(ICSendMessage(h, ICM_COMPRESS_QUERY, mjpg.P(), 0), ICERR_BADFORMAT);
  Bitmap huge(100000, 240, 24);
  EXPECT_EQ(ICSendMessage(h, ICM_COMPRESS_QUERY, huge.P(), 0), ICERR_BADFORMAT);
  EXPECT_EQ(ICSendMessage(h, ICM_COMPRESS_QUERY, 0, 0), ICERR_BADFORMAT);
  ICClose(h);
}

TEST(Compressors, GetFormatProposesTheDecodedDepthAndCodecData) {
  struct Case {
    const char* fcc;
    int bits;
    int outBits;
    bool extra;  // codec data after the header
  };
  for (Case c : {Case{"cvid", 24, 24, false}, Case{"cvid", 8, 24, false}, Case{"MSVC", 16, 16, false},
                 Case{"HFYU", 24, 24, true}, Case{"ZMBV", 8, 8, false}, Case{"ZMBV", 16, 16, false},
                 Case{"MPNG", 8, 8, false}, Case{"FFV1", 16, 24, false}}) {
    HIC h = ICOpen(ICTYPE_VIDEO, Fcc(c.fcc), ICMODE_QUERY);
    if (h == nullptr) continue;
    Bitmap in(320, 240, c.bits);
    intptr_t size = ICSendMessage(h, ICM_COMPRESS_GET_FORMAT, in.P(), 0);
    ASSERT_GE(size, 40) << c.fcc;
    std::vector<uint8_t> out(size_t(size) + 16, 0xEE);
    ASSERT_EQ(ICSendMessage(h, ICM_COMPRESS_GET_FORMAT, in.P(), reinterpret_cast<uintptr_t>(out.data())),
              ICERR_OK);
    EXPECT_EQ(out[size_t(size)], 0xEE) << "nothing written past the size";
    BITMAPINFOHEADER o = GetInfoHeader(out.data());
    EXPECT_EQ(o.biWidth, 320);
    EXPECT_EQ(o.biHeight, 240);
    EXPECT_EQ(o.biBitCount, c.outBits) << c.fcc << " " << c.bits;
    EXPECT_EQ(o.biCompression, Fcc(c.fcc));
    size_t table = c.outBits == 8 ? 1024 : 0;
    if (c.extra) {
      EXPECT_GT(size_t(size), 40 + table) << c.fcc;
    } else {
      EXPECT_GE(size_t(size), 40 + table) << c.fcc;
    }
    if (table) {
      EXPECT_EQ(0, std::memcmp(out.data() + size - 1024, in.colours, 1024));
    }
    // The proposal passes the query with its output.
    EXPECT_EQ(ICSendMessage(h, ICM_COMPRESS_QUERY, in.P(), reinterpret_cast<uintptr_t>(out.data())),
              ICERR_OK);
    o.biWidth = 100;
    PutInfoHeader(out.data(), o);
    EXPECT_EQ(ICSendMessage(h, ICM_COMPRESS_QUERY, in.P(), reinterpret_cast<uintptr_t>(out.data())),
              ICERR_BADFORMAT);
    EXPECT_GT(ICSendMessage(h, ICM_COMPRESS_GET_SIZE, in.P(), 0), 320 * 240 * 3);
    ICClose(h);
  }
}

TEST(Compressors, StateBlocksAreCheckedBeforeTheyAreTaken) {
  HIC h = ICOpen(ICTYPE_VIDEO, FourCC("FMP4"), ICMODE_QUERY);
  if (h == nullptr) GTEST_SKIP();
  ASSERT_EQ(ICSendMessage(h, ICM_GETSTATE, 0, 0), kVcmStateSize);
  uint8_t block[kVcmStateSize];
  EXPECT_EQ(ICSendMessage(h, ICM_GETSTATE, reinterpret_cast<uintptr_t>(block), 8), ICERR_BADSIZE);
  ASSERT_EQ(ICSendMessage(h, ICM_GETSTATE, reinterpret_cast<uintptr_t>(block), sizeof block), ICERR_OK);
  VcmState s;
  ASSERT_TRUE(GetVcmState(block, sizeof block, s));
  EXPECT_EQ(s.fcc, FourCC("FMP4"));
  EXPECT_EQ(s.quality, 7500);
  EXPECT_EQ(s.keyFrameEvery, 120);

  auto set = [&](const VcmState& st) {
    uint8_t b[kVcmStateSize];
    PutVcmState(b, st);
    return ICSendMessage(h, ICM_SETSTATE, reinterpret_cast<uintptr_t>(b), sizeof b);
  };
  VcmState good = s;
  good.quality = 9000;
  good.effort = 7;
  EXPECT_EQ(set(good), kVcmStateSize);
  VcmState bad = good;
  bad.quality = 10001;
  EXPECT_EQ(set(bad), 0);
  bad = good;
  bad.fcc = FourCC("cvid");
  EXPECT_EQ(set(bad), 0) << "another compressor's state";
  bad = good;
  bad.keyFrameEvery = 0;
  EXPECT_EQ(set(bad), 0);
  uint8_t junk[kVcmStateSize] = {1, 2, 3};
  EXPECT_EQ(ICSendMessage(h, ICM_SETSTATE, reinterpret_cast<uintptr_t>(junk), sizeof junk), 0);
  EXPECT_EQ(ICSendMessage(h, ICM_SETSTATE, reinterpret_cast<uintptr_t>(block), 16), 0) << "short";
  ICSendMessage(h, ICM_GETSTATE, reinterpret_cast<uintptr_t>(block), sizeof block);
  ASSERT_TRUE(GetVcmState(block, sizeof block, s));
  EXPECT_EQ(s.quality, 9000) << "refused states change nothing";
  EXPECT_EQ(s.effort, 7);
  EXPECT_EQ(ICSendMessage(h, ICM_SETSTATE, 0, 0), ICERR_OK);
  ICSendMessage(h, ICM_GETSTATE, reinterpret_cast<uintptr_t>(block), sizeof block);
  ASSERT_TRUE(GetVcmState(block, sizeof block, s));
  EXPECT_EQ(s.quality, 7500) << "reset to the defaults";
  // The XVID alias takes the same states.
  HIC x = ICOpen(ICTYPE_VIDEO, FourCC("XVID"), ICMODE_QUERY);
  uint8_t b[kVcmStateSize];
  PutVcmState(b, good);
  EXPECT_EQ(ICSendMessage(x, ICM_SETSTATE, reinterpret_cast<uintptr_t>(b), sizeof b), kVcmStateSize);
  ICClose(x);
  ICClose(h);
}

class CompressedStream : public testing::Test {
 protected:
  test::TempDir dir_;
  int64_t VideoBytes(const std::string& name) {
    std::string s = test::Run("ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 " +
                              test::Quote(name));
    int64_t total = 0;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) total += std::stoll(line);
    return total;
  }
  std::string KeyFlags(const std::string& name) {
    std::string s = test::Run("ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 " +
                              test::Quote(name));
    std::string keys;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) keys += line[0] == 'K' ? 'K' : '.';
    return keys;
  }
};

TEST_F(CompressedStream, KeyFramesComeEveryNAndAreIndexed) {
  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  for (const char* fcc : {"cvid", "FMP4", "ZMBV", "FFV1", "MSVC"}) {
    if (!VideoCompressorExists(Fcc(fcc))) continue;
    WriteSpec spec;
    spec.codec = Fcc(fcc);
    spec.bits = std::string(fcc) == "MSVC" ? 16 : 24;
    spec.frames = 12;
    spec.keyEvery = 4;
    std::string name = dir_ / "k.avi";
    ASSERT_EQ(test::WriteMovie(name, spec), AVIERR_OK);
    EXPECT_EQ(KeyFlags(name), "K...K...K...") << fcc;
  }
}

TEST_F(CompressedStream, QualityAndDataRateSteerTheSize) {
  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  for (const char* fcc : {"cvid", "MJPG", "FMP4"}) {
    if (!VideoCompressorExists(Fcc(fcc))) continue;
    WriteSpec spec;
    spec.codec = Fcc(fcc);
    spec.width = 160;
    spec.height = 120;
    spec.frames = 10;
    spec.quality = 1000;
    std::string low = dir_ / "low.avi", high = dir_ / "high.avi";
    ASSERT_EQ(test::WriteMovie(low, spec), AVIERR_OK);
    spec.quality = 9500;
    ASSERT_EQ(test::WriteMovie(high, spec), AVIERR_OK);
    EXPECT_LT(VideoBytes(low) * 5 / 4, VideoBytes(high)) << fcc;
    auto a = test::ReadMovie(low), b = test::ReadMovie(high);
    auto want = test::TestFrame(160, 120, 24, 9);
    auto ref = test::RowsToBgr(want.data(), 160, 120, 24, nullptr);
    EXPECT_LT(test::Psnr(ref, a.pictures[9]) + 1, test::Psnr(ref, b.pictures[9])) << fcc;
  }
  // A data rate: 2 seconds at 12 kB/s (one-pass rate control on a short clip is rough).
  WriteSpec spec;
  spec.codec = FourCC("FMP4");
  spec.width = 160;
  spec.height = 120;
  spec.frames = 50;
  spec.bytesPerSecond = 12000;
  std::string name = dir_ / "rate.avi";
  ASSERT_EQ(test::WriteMovie(name, spec), AVIERR_OK);
  int64_t bytes = VideoBytes(name);
  EXPECT_GT(bytes, 24000 / 2);
  EXPECT_LT(bytes, 24000 * 2);
}

TEST_F(CompressedStream, TheStateBlockSetsWhatTheOptionsLeaveOpen) {
  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  auto write = [&](const std::string& name, int32_t stateQuality, uint32_t optionQuality) {
    PAVIFILE f = nullptr;
    PAVISTREAM raw = nullptr, v = nullptr;
    EXPECT_EQ(test::CreateWithVideo(name, 25, &f, &raw), AVIERR_OK);
    VcmState st;
    st.fcc = FourCC("FMP4");
    st.quality = stateQuality;
    st.keyFrameEvery = 3;
    uint8_t block[kVcmStateSize];
    PutVcmState(block, st);
    AVICOMPRESSOPTIONS o{};
    o.fccType = streamtypeVIDEO;
    o.fccHandler = FourCC("FMP4");
    o.dwQuality = optionQuality;
    o.dwFlags = AVICOMPRESSF_VALID;  // key frames left to the compressor
    o.lpParms = block;
    o.cbParms = sizeof block;
    EXPECT_EQ(AVIMakeCompressedStream(&v, raw, &o, nullptr), AVIERR_OK);
    std::vector<uint8_t> fmt = test::DibFormatBlock(160, 120, 24);
    EXPECT_EQ(AVIStreamSetFormat(v, 0, fmt.data(), int32_t(fmt.size())), AVIERR_OK);
    for (int n = 0; n < 6; ++n) {
      auto rows = test::TestFrame(160, 120, 24, n);
      EXPECT_EQ(AVIStreamWrite(v, n, 1, rows.data(), int32_t(rows.size()), 0, nullptr, nullptr), AVIERR_OK);
    }
    AVIStreamRelease(v);
    AVIStreamRelease(raw);
    EXPECT_EQ(AVIFileRelease(f), AVIERR_OK);
  };
  std::string a = dir_ / "a.avi", b = dir_ / "b.avi", c = dir_ / "c.avi";
  write(a, 1000, 0xFFFFFFFFu);
  write(b, 9500, 0xFFFFFFFFu);
  write(c, 1000, 9500);  // the options win
  EXPECT_LT(VideoBytes(a) * 5 / 4, VideoBytes(b));
  EXPECT_EQ(VideoBytes(b), VideoBytes(c));
  EXPECT_EQ(KeyFlags(a), "K..K..");
}

TEST_F(CompressedStream, WrongUseIsRefused) {
  std::string name = dir_ / "w.avi";
  PAVIFILE f = nullptr;
  PAVISTREAM raw = nullptr, v = nullptr;
  ASSERT_EQ(test::CreateWithVideo(name, 25, &f, &raw), AVIERR_OK);
  AVICOMPRESSOPTIONS o{};
  o.fccType = streamtypeVIDEO;
  o.fccHandler = FourCC("H264");
  EXPECT_EQ(AVIMakeCompressedStream(&v, raw, &o, nullptr), AVIERR_NOCOMPRESSOR);
  o.fccHandler = FourCC("MSVC");
  EXPECT_EQ(AVIMakeCompressedStream(&v, raw, &o, &CLSID_AVIFile), AVIERR_UNSUPPORTED);
  ASSERT_EQ(AVIMakeCompressedStream(&v, raw, &o, &CLSID_AVICmpStream), AVIERR_OK);
  std::vector<uint8_t> f24 = test::DibFormatBlock(64, 48, 24);
  EXPECT_EQ(AVIStreamSetFormat(v, 0, f24.data(), int32_t(f24.size())), AVIERR_BADFORMAT)
      << "MS Video 1 takes 16 bits";
  std::vector<uint8_t> f16 = test::DibFormatBlock(64, 48, 16);
  auto rows = test::TestFrame(64, 48, 16, 0);
  EXPECT_EQ(AVIStreamWrite(v, 0, 1, rows.data(), int32_t(rows.size()), 0, nullptr, nullptr), AVIERR_BADFORMAT);
  ASSERT_EQ(AVIStreamSetFormat(v, 0, f16.data(), int32_t(f16.size())), AVIERR_OK);
  EXPECT_EQ(AVIStreamWrite(v, 0, 1, rows.data(), 100, 0, nullptr, nullptr), AVIERR_BADSIZE);
  int32_t samples = 0, bytes = 0;
  ASSERT_EQ(AVIStreamWrite(v, 0, 1, rows.data(), int32_t(rows.size()), 0, &samples, &bytes), AVIERR_OK);
  EXPECT_EQ(samples, 1);
  EXPECT_GT(bytes, 0);
  // The stream reads its input format back; the file stream holds the output one.
  int32_t size = 0;
  AVIStreamReadFormat(v, 0, nullptr, &size);
  EXPECT_EQ(size, 40);
  AVIStreamReadFormat(raw, 0, nullptr, &size);
  std::vector<uint8_t> out(static_cast<size_t>(size));
  AVIStreamReadFormat(raw, 0, out.data(), &size);
  EXPECT_EQ(GetInfoHeader(out.data()).biCompression, FourCC("MSVC"));
  AVISTREAMINFO si{};
  AVIStreamInfo(v, &si, sizeof si);
  EXPECT_EQ(si.fccHandler, FourCC("MSVC"));
  EXPECT_EQ(si.dwLength, 1u);
  EXPECT_EQ(AVIStreamRelease(v), AVIERR_OK);
  EXPECT_EQ(AVIStreamRelease(raw), AVIERR_OK);
  EXPECT_EQ(AVIFileRelease(f), AVIERR_OK);
}

}  // namespace
}  // namespace zelo
