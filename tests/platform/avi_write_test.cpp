// Writing AVIs through the services: what is written reads back the same,
// through our reader and through ffmpeg.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "foundation/basic.h"
#include "platform/avi_helpers.h"
#include "platform/riff.h"
#include "support/temp_dir.h"

namespace zelo {
namespace {

using namespace vfw;
using test::WriteSpec;

class AviWriteTest : public testing::Test {
 protected:
  void TearDown() override { AVISetRiffLimit(int64_t(1) << 30); }
  test::TempDir dir_;
  std::string Name(const std::string& n) { return dir_ / n; }
};

// The strh chunk of stream n of a file, read with the RIFF reader.
std::vector<uint8_t> StreamHeader(const std::string& name, int n) {
  auto io = riff::StdFile::OpenRead(name);
  riff::Reader r(*io);
  riff::Chunk avi, hdrl, c, strh;
  std::vector<uint8_t> out;
  if (!r.ReadHeader(0, io->Size(), avi) || !r.Find(avi, riff::kLIST, hdrl, riff::FourCC("hdrl")))
    return out;
  int k = 0;
  for (bool ok = r.First(hdrl, c); ok; ok = r.Next(hdrl, c))
    if (c.type == riff::FourCC("strl") && k++ == n && r.Find(c, riff::FourCC("strh"), strh))
      r.ReadData(strh, 1024, out);
  return out;
}

class UncompressedRoundTrip : public AviWriteTest, public testing::WithParamInterface<int> {};

TEST_P(UncompressedRoundTrip, ReadsBackIdenticalHereAndInFfmpeg) {
  WriteSpec spec;
  spec.bits = GetParam();
  spec.width = 35;  // odd width: rows need padding
  spec.height = 21;
  spec.frames = 7;
  std::string name = Name("raw.avi");
  ASSERT_EQ(test::WriteMovie(name, spec), AVIERR_OK);

  test::ReadResult r = test::ReadMovie(name);
  ASSERT_EQ(r.open, AVIERR_OK);
  ASSERT_EQ(r.frames, spec.frames);
  EXPECT_EQ(r.failed, 0);
  // Pictures keep their depth; 32-bit ones come back as 24 (the fourth byte is unused).
  EXPECT_EQ(r.bits, spec.bits == 32 ? 24 : spec.bits);
  std::vector<std::vector<uint8_t>> expected;
  for (int n = 0; n < spec.frames; ++n) {
    std::vector<uint8_t> rows = test::TestFrame(spec.width, spec.height, spec.bits, n);
    expected.push_back(test::RowsToBgr(rows.data(), spec.width, spec.height, spec.bits,
                                       test::TestPalette()));
    EXPECT_EQ(r.pictures[size_t(n)], expected.back()) << "frame " << n;
  }
  // Asked for 24 or 32 bits, every depth converts to them.
  PAVIFILE f = nullptr;
  PAVISTREAM vs = nullptr;
  ASSERT_EQ(AVIFileOpen(&f, name.c_str(), OF_READ, nullptr), AVIERR_OK);
  ASSERT_EQ(AVIFileGetStream(f, &vs, streamtypeVIDEO, 0), AVIERR_OK);
  for (uint16_t bits : {24, 32, 16}) {
    BITMAPINFOHEADER want{};
    want.biSize = 40;
    want.biBitCount = bits;
    PGETFRAME g = AVIStreamGetFrameOpen(vs, &want);
    if (bits == 16) {
      EXPECT_EQ(g, nullptr) << "only 24 and 32 bits are made on request";
      continue;
    }
    ASSERT_NE(g, nullptr);
    void* dib = AVIStreamGetFrame(g, 3);
    ASSERT_NE(dib, nullptr);
    EXPECT_EQ(GetInfoHeader(static_cast<uint8_t*>(dib)).biBitCount, bits);
    EXPECT_EQ(test::DibToBgr(dib), expected[3]);
    AVIStreamGetFrameClose(g);
  }
  AVIStreamRelease(vs);
  AVIFileRelease(f);

  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  auto v = test::Probe(name, "v:0");
  EXPECT_EQ(v["codec_name"], "rawvideo");
  EXPECT_EQ(v["width"], "35");
  EXPECT_EQ(v["height"], "21");
  EXPECT_EQ(v["nb_frames"], "7");
  auto ff = test::FfmpegFrames(name, spec.width, spec.height);
  ASSERT_EQ(ff.size(), size_t(spec.frames));
  for (int n = 0; n < spec.frames; ++n) EXPECT_EQ(ff[size_t(n)], expected[size_t(n)]) << n;
}

INSTANTIATE_TEST_SUITE_P(Depths, UncompressedRoundTrip, testing::Values(8, 16, 24, 32));

TEST_F(AviWriteTest, RateAndScaleAreStoredAsGiven) {
  WriteSpec spec;
  spec.rate = 299700;  // 29.97 frames per second
  spec.scale = 10000;
  spec.frames = 30;
  std::string name = Name("ntsc.avi");
  ASSERT_EQ(test::WriteMovie(name, spec), AVIERR_OK);
  std::vector<uint8_t> strh = StreamHeader(name, 0);
  ASSERT_EQ(strh.size(), 56u);
  EXPECT_EQ(GetLE32(strh.data()), streamtypeVIDEO);
  EXPECT_EQ(GetLE32(strh.data() + 20), 10000u);
  EXPECT_EQ(GetLE32(strh.data() + 24), 299700u);
  EXPECT_EQ(GetLE32(strh.data() + 32), 30u) << "length";

  PAVIFILE f = nullptr;
  PAVISTREAM v = nullptr;
  ASSERT_EQ(AVIFileOpen(&f, name.c_str(), OF_READ, nullptr), AVIERR_OK);
  ASSERT_EQ(AVIFileGetStream(f, &v, streamtypeVIDEO, 0), AVIERR_OK);
  AVISTREAMINFO si{};
  ASSERT_EQ(AVIStreamInfo(v, &si, sizeof si), AVIERR_OK);
  EXPECT_EQ(si.dwRate, 299700u);
  EXPECT_EQ(si.dwScale, 10000u);
  EXPECT_EQ(si.dwLength, 30u);
  EXPECT_EQ(si.rcFrame.right, spec.width);
  EXPECT_EQ(si.rcFrame.bottom, spec.height);
  AVIFILEINFO fi{};
  ASSERT_EQ(AVIFileInfo(f, &fi, sizeof fi), AVIERR_OK);
  EXPECT_EQ(fi.dwStreams, 1u);
  EXPECT_EQ(fi.dwWidth, uint32_t(spec.width));
  EXPECT_EQ(fi.dwLength, 30u);
  AVIStreamRelease(v);
  AVIFileRelease(f);

  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  auto p = test::Probe(name, "v:0");
  EXPECT_EQ(p["r_frame_rate"], "2997/100");
  EXPECT_NEAR(std::stod(p["duration"]), 30 / 29.97, 0.001);
}

TEST_F(AviWriteTest, InfoListIsWrittenAndReadBack) {
  WriteSpec spec;
  spec.info = {{"INAM", "A title"}, {"ICMT", std::string(300, 'c')}};
  std::string name = Name("info.avi");
  ASSERT_EQ(test::WriteMovie(name, spec), AVIERR_OK);

  PAVIFILE f = nullptr;
  ASSERT_EQ(AVIFileOpen(&f, name.c_str(), OF_READ, nullptr), AVIERR_OK);
  int32_t size = 0;
  ASSERT_EQ(AVIFileReadData(f, riff::kLIST, nullptr, &size), AVIERR_OK);
  EXPECT_EQ(size, 4 + 2 * 264);
  std::vector<uint8_t> data(size_t(size), 0);
  PutLE32(data.data(), riff::FourCC("INFO"));
  ASSERT_EQ(AVIFileReadData(f, riff::kLIST, data.data(), &size), AVIERR_OK);
  // Entries in key order: ICMT, then INAM.
  EXPECT_EQ(GetLE32(data.data() + 4), riff::FourCC("ICMT"));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data.data()) + 12), std::string(255, 'c'));
  EXPECT_EQ(GetLE32(data.data() + 4 + 264), riff::FourCC("INAM"));
  EXPECT_STREQ(reinterpret_cast<char*>(data.data()) + 4 + 264 + 8, "A title");
  int32_t none = 0;
  EXPECT_EQ(AVIFileReadData(f, riff::FourCC("ISFT"), nullptr, &none), AVIERR_NODATA);
  AVIFileRelease(f);

  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  auto tags = test::ProbeTags(name);
  EXPECT_EQ(tags["title"], "A title");
  EXPECT_EQ(tags["comment"], std::string(255, 'c'));
}

struct SoundCase {
  int channels, bits;
  const char* ffCodec;
};

class SoundRoundTrip : public AviWriteTest, public testing::WithParamInterface<SoundCase> {};

TEST_P(SoundRoundTrip, PcmReadsBackSampleExact) {
  WriteSpec spec;
  spec.channels = GetParam().channels;
  spec.sampleBits = GetParam().bits;
  spec.sampleRate = 22050;
  spec.frames = 25;
  std::string name = Name("sound.avi");
  ASSERT_EQ(test::WriteMovie(name, spec), AVIERR_OK);
  std::vector<uint8_t> expected;
  for (int n = 0; n < spec.frames; ++n) {
    std::vector<uint8_t> s = test::TestSound(spec, n);
    expected.insert(expected.end(), s.begin(), s.end());
  }
  int align = spec.channels * spec.sampleBits / 8;

  PAVIFILE f = nullptr;
  PAVISTREAM a = nullptr;
  ASSERT_EQ(AVIFileOpen(&f, name.c_str(), OF_READ, nullptr), AVIERR_OK);
  ASSERT_EQ(AVIFileGetStream(f, &a, streamtypeAUDIO, 0), AVIERR_OK);
  EXPECT_EQ(AVIStreamLength(a), int32_t(expected.size()) / align);
  // As the AVI module reads: buffers of a fixed size, the service choosing
  // how much fits, from where the last read ended.
  std::vector<uint8_t> got, buf(size_t(3000 * align + 1));
  int32_t start = 0;
  for (;;) {
    int32_t bytes = -1, samples = -1;
    ASSERT_EQ(AVIStreamRead(a, start, AVISTREAMREAD_CONVENIENT, buf.data(), int32_t(buf.size()),
                            &bytes, &samples),
              AVIERR_OK);
    if (samples == 0) break;
    EXPECT_EQ(bytes, samples * align);
    got.insert(got.end(), buf.begin(), buf.begin() + bytes);
    start += samples;
  }
  EXPECT_EQ(got, expected);
  // A read from the middle across chunk borders.
  int32_t bytes = 0, samples = 0;
  ASSERT_EQ(AVIStreamRead(a, 1000, 2000, buf.data(), int32_t(buf.size()), &bytes, &samples),
            AVIERR_OK);
  EXPECT_EQ(samples, 2000);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + bytes, expected.begin() + 1000 * align));
  // Too small for one sample.
  if (align > 1) {
    EXPECT_EQ(AVIStreamRead(a, 0, 1, buf.data(), align - 1, &bytes, &samples),
              AVIERR_BUFFERTOOSMALL);
    EXPECT_EQ(bytes, align);
  }
  AVIStreamRelease(a);
  AVIFileRelease(f);

  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  auto p = test::Probe(name, "a:0");
  EXPECT_EQ(p["codec_name"], GetParam().ffCodec);
  EXPECT_EQ(p["sample_rate"], "22050");
  EXPECT_EQ(p["channels"], std::to_string(spec.channels));
  std::string raw = test::Run("ffmpeg -v error -i " + test::Quote(name) +
                              " -map 0:a -c copy -f data -");
  EXPECT_EQ(std::vector<uint8_t>(raw.begin(), raw.end()), expected);
  EXPECT_EQ(test::ProbeTags(name)["nb_streams"], "2");
}

INSTANTIATE_TEST_SUITE_P(Formats, SoundRoundTrip,
                         testing::Values(SoundCase{1, 8, "pcm_u8"}, SoundCase{2, 8, "pcm_u8"},
                                         SoundCase{1, 16, "pcm_s16le"},
                                         SoundCase{2, 16, "pcm_s16le"}),
                         [](const testing::TestParamInfo<SoundCase>& i) {
                           return std::to_string(i.param.channels) + "ch" +
                                  std::to_string(i.param.bits);
                         });

TEST_F(AviWriteTest, OpenDmlPartsReadHereAndInFfmpeg) {
  // A low RIFF limit makes a small file go OpenDML as a big one would.
  AVISetRiffLimit(256 * 1024);
  WriteSpec spec;
  spec.width = 160;
  spec.height = 120;
  spec.frames = 40;  // 57600 bytes a frame: about nine RIFF parts
  spec.channels = 2;
  std::string name = Name("odml.avi");
  ASSERT_EQ(test::WriteMovie(name, spec), AVIERR_OK);

  auto io = riff::StdFile::OpenRead(name);
  riff::Reader rr(*io);
  int parts = 0;
  riff::Chunk c;
  for (bool ok = rr.First(rr.Root(), c); ok; ok = rr.Next(rr.Root(), c)) {
    EXPECT_EQ(c.id, riff::kRIFF);
    EXPECT_EQ(c.type, parts == 0 ? riff::FourCC("AVI ") : riff::FourCC("AVIX"));
    EXPECT_LE(c.size, 256u * 1024u);
    ++parts;
  }
  EXPECT_GE(parts, 5);
  io.reset();

  test::ReadResult r = test::ReadMovie(name);
  ASSERT_EQ(r.frames, spec.frames);
  EXPECT_EQ(r.failed, 0);
  for (int n = 0; n < spec.frames; n += 13) {
    std::vector<uint8_t> rows = test::TestFrame(spec.width, spec.height, 24, n);
    EXPECT_EQ(r.pictures[size_t(n)], test::RowsToBgr(rows.data(), spec.width, spec.height, 24, nullptr));
  }
  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  EXPECT_EQ(test::Probe(name, "v:0")["nb_frames"], "40");
  EXPECT_EQ(test::ProbeFrameCount(name), 40);
  auto ff = test::FfmpegFrames(name, spec.width, spec.height);
  ASSERT_EQ(ff.size(), 40u);
  EXPECT_EQ(ff[39], r.pictures[39]);
  std::vector<uint8_t> expected;
  for (int n = 0; n < spec.frames; ++n) {
    std::vector<uint8_t> s = test::TestSound(spec, n);
    expected.insert(expected.end(), s.begin(), s.end());
  }
  std::string raw = test::Run("ffmpeg -v error -i " + test::Quote(name) +
                              " -map 0:a -c copy -f data -");
  EXPECT_EQ(std::vector<uint8_t>(raw.begin(), raw.end()), expected);
}

TEST_F(AviWriteTest, CallsOutOfPlaceAreRefused) {
  std::string name = Name("e.avi");
  PAVIFILE f = nullptr;
  PAVISTREAM v = nullptr;
  ASSERT_EQ(test::CreateWithVideo(name, 25, &f, &v), AVIERR_OK);
  std::vector<uint8_t> rows = test::TestFrame(8, 8, 24, 0);
  EXPECT_EQ(AVIStreamWrite(v, 0, 1, rows.data(), int32_t(rows.size()), 0, nullptr, nullptr),
            AVIERR_BADFORMAT)
      << "no format yet";
  std::vector<uint8_t> fmt = test::DibFormatBlock(8, 8, 24);
  ASSERT_EQ(AVIStreamSetFormat(v, 0, fmt.data(), int32_t(fmt.size())), AVIERR_OK);
  ASSERT_EQ(AVIStreamWrite(v, 0, 1, rows.data(), int32_t(rows.size()), AVIIF_KEYFRAME, nullptr,
                           nullptr),
            AVIERR_OK);
  EXPECT_EQ(AVIStreamWrite(v, 0, 1, rows.data(), int32_t(rows.size()), 0, nullptr, nullptr),
            AVIERR_BADPARAM)
      << "samples are not rewritten";
  // A gap becomes empty frames that repeat the picture before them.
  ASSERT_EQ(AVIStreamWrite(v, 3, 1, rows.data(), int32_t(rows.size()), 0, nullptr, nullptr),
            AVIERR_OK);
  EXPECT_EQ(AVIStreamLength(v), 4);
  std::vector<uint8_t> other = test::DibFormatBlock(16, 8, 24);
  EXPECT_EQ(AVIStreamSetFormat(v, 0, other.data(), int32_t(other.size())), AVIERR_UNSUPPORTED);
  EXPECT_EQ(AVIStreamSetFormat(v, 0, fmt.data(), int32_t(fmt.size())), AVIERR_OK);
  int32_t n = 0;
  EXPECT_EQ(AVIStreamRead(v, 0, 1, rows.data(), 10, &n, nullptr), AVIERR_UNSUPPORTED);
  EXPECT_EQ(AVIStreamRelease(v), AVIERR_OK);
  EXPECT_EQ(AVIFileRelease(f), AVIERR_OK);

  test::ReadResult r = test::ReadMovie(name);
  ASSERT_EQ(r.frames, 4);
  EXPECT_EQ(r.failed, 0);
  EXPECT_EQ(r.pictures[1], r.pictures[0]);
  EXPECT_EQ(r.pictures[2], r.pictures[0]);

  PAVIFILE g = nullptr;
  EXPECT_EQ(AVIFileOpen(&g, (dir_ / "none/x.avi").c_str(), OF_CREATE | OF_WRITE, nullptr),
            AVIERR_FILEOPEN);
  EXPECT_EQ(AVIFileOpen(&g, name.c_str(), OF_READ, &CLSID_ACMCmpStream), AVIERR_UNSUPPORTED);
  EXPECT_EQ(AVIFileOpen(&g, name.c_str(), OF_READ, &CLSID_AVIFile), AVIERR_OK);
  AVIFileRelease(g);
}

TEST_F(AviWriteTest, AStreamAddedAfterTheDataStartedFitsTheReservedHeader) {
  WriteSpec spec;
  spec.frames = 3;
  spec.channels = 1;  // the sound stream comes after the first picture
  spec.info = {{"INAM", "x"}};
  std::string name = Name("late.avi");
  ASSERT_EQ(test::WriteMovie(name, spec), AVIERR_OK);
  test::ReadResult r = test::ReadMovie(name);
  EXPECT_EQ(r.frames, 3);
  EXPECT_EQ(r.failed, 0);
  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  EXPECT_EQ(test::ProbeTags(name)["nb_streams"], "2");
  EXPECT_EQ(test::ProbeTags(name)["title"], "x");
}

TEST_F(AviWriteTest, AFullDiskIsReportedByTheWriteOrTheRelease) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP();
  PAVIFILE f = nullptr;
  PAVISTREAM v = nullptr;
  ASSERT_EQ(test::CreateWithVideo("/dev/full", 25, &f, &v), AVIERR_OK);
  std::vector<uint8_t> fmt = test::DibFormatBlock(8, 8, 24);
  ASSERT_EQ(AVIStreamSetFormat(v, 0, fmt.data(), int32_t(fmt.size())), AVIERR_OK);
  std::vector<uint8_t> rows = test::TestFrame(8, 8, 24, 0);
  HRESULT w = AVIERR_OK;
  for (int n = 0; n < 10 && w == AVIERR_OK; ++n)
    w = AVIStreamWrite(v, n, 1, rows.data(), int32_t(rows.size()), 0, nullptr, nullptr);
  AVIStreamRelease(v);
  HRESULT closed = AVIFileRelease(f);
  EXPECT_TRUE(w == AVIERR_FILEWRITE || closed == AVIERR_FILEWRITE) << w << " " << closed;
}

}  // namespace
}  // namespace zelo
