// Reading AVIs that other programs wrote, and damaged ones.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>

#include "foundation/basic.h"
#include "platform/avi_helpers.h"
#include "platform/riff.h"
#include "support/temp_dir.h"

namespace zelo {
namespace {

using namespace vfw;
using riff::FourCC;

// Every sample byte of the first sound stream, read as the AVI module reads.
std::vector<uint8_t> ReadSound(const std::string& name, int32_t* length = nullptr) {
  std::vector<uint8_t> got;
  PAVIFILE f = nullptr;
  PAVISTREAM a = nullptr;
  if (AVIFileOpen(&f, name.c_str(), OF_READ, nullptr) != AVIERR_OK) return got;
  if (AVIFileGetStream(f, &a, streamtypeAUDIO, 0) == AVIERR_OK) {
    if (length) *length = AVIStreamLength(a);
    std::vector<uint8_t> buf(65536);
    for (int32_t start = 0;;) {
      int32_t bytes = 0, samples = 0;
      if (AVIStreamRead(a, start, AVISTREAMREAD_CONVENIENT, buf.data(), int32_t(buf.size()), &bytes,
                        &samples) != AVIERR_OK ||
          samples == 0)
        break;
      got.insert(got.end(), buf.begin(), buf.begin() + bytes);
      start += samples;
    }
    AVIStreamRelease(a);
  }
  AVIFileRelease(f);
  return got;
}

std::vector<uint8_t> FfmpegSound(const std::string& name) {
  std::string raw = test::Run("ffmpeg -v error -i " + test::Quote(name) + " -map 0:a:0 -c copy -f data -");
  return {raw.begin(), raw.end()};
}

struct ForeignCase {
  const char* label;
  const char* args;  // ffmpeg output options
  bool pipe;         // written to a pipe: no index, sizes never filled in
  double minPsnr;    // against ffmpeg's own decode; 99: identical
};

class ForeignFile : public testing::TestWithParam<ForeignCase> {
 protected:
  test::TempDir dir_;
};

TEST_P(ForeignFile, ReadsLikeFfmpeg) {
  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  const ForeignCase& c = GetParam();
  std::string name = dir_ / "f.avi";
  std::string cmd = std::string("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=25 ") +
                    "-f lavfi -i sine=frequency=500:sample_rate=22050 -t 2 " + c.args;
  int rc = 0;
  test::Run(cmd + (c.pipe ? " -f avi pipe:1 > " : " ") + test::Quote(name), &rc);
  if (rc != 0) GTEST_SKIP() << "ffmpeg cannot make " << c.label;

  test::ReadResult r = test::ReadMovie(name);
  ASSERT_EQ(r.open, AVIERR_OK);
  EXPECT_EQ(r.failed, 0);
  PAVIFILE f = nullptr;
  PAVISTREAM v = nullptr;
  ASSERT_EQ(AVIFileOpen(&f, name.c_str(), OF_READ, nullptr), AVIERR_OK);
  ASSERT_EQ(AVIFileGetStream(f, &v, streamtypeVIDEO, 0), AVIERR_OK);
  // An empty sample (ffmpeg writes one for the delay of B-frames) repeats
  // the picture before it; ffmpeg's decode leaves it out.
  std::vector<std::vector<uint8_t>> coded;
  for (int32_t i = 0; i < r.frames; ++i) {
    int32_t bytes = -1;
    ASSERT_EQ(AVIStreamRead(v, i, 1, nullptr, 0, &bytes, nullptr), AVIERR_OK);
    if (bytes > 0) {
      coded.push_back(r.pictures[size_t(i)]);
    } else if (i > 0) {
      EXPECT_EQ(r.pictures[size_t(i)], r.pictures[size_t(i - 1)]);
    }
  }
  EXPECT_EQ(int64_t(coded.size()), test::ProbeFrameCount(name));
  auto ff = test::FfmpegFrames(name, 64, 48);
  ASSERT_EQ(ff.size(), coded.size());
  double worst = 99;
  for (size_t n = 0; n < ff.size(); ++n) worst = std::min(worst, test::Psnr(ff[n], coded[n]));
  EXPECT_GE(worst, c.minPsnr) << c.label;

  // Any order gives the same pictures (seeking from the key frames).
  PGETFRAME g = AVIStreamGetFrameOpen(v, nullptr);
  ASSERT_NE(g, nullptr);
  std::vector<int32_t> order(size_t(r.frames));
  for (int32_t i = 0; i < r.frames; ++i) order[size_t(i)] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  order.resize(std::min<size_t>(order.size(), 20));
  order.push_back(r.frames - 1);
  order.push_back(0);
  for (int32_t i : order) {
    void* dib = AVIStreamGetFrame(g, i);
    ASSERT_NE(dib, nullptr) << i;
    EXPECT_EQ(test::DibToBgr(dib), r.pictures[size_t(i)]) << "frame " << i;
  }
  EXPECT_EQ(AVIStreamGetFrame(g, r.frames), nullptr);
  EXPECT_EQ(AVIStreamGetFrame(g, -1), nullptr);
  // ffmpeg names itself in an INFO list.
  int32_t n = 0;
  ASSERT_EQ(AVIFileReadData(f, riff::kLIST, nullptr, &n), AVIERR_OK);
  std::vector<uint8_t> info(static_cast<size_t>(n));
  ASSERT_EQ(AVIFileReadData(f, riff::kLIST, info.data(), &n), AVIERR_OK);
  EXPECT_EQ(GetLE32(info.data()), FourCC("INFO"));
  EXPECT_EQ(GetLE32(info.data() + 4), FourCC("ISFT"));
  AVIStreamGetFrameClose(g);
  AVIStreamRelease(v);
  AVIFileRelease(f);

  int32_t length = 0;
  std::vector<uint8_t> sound = ReadSound(name, &length);
  EXPECT_EQ(sound, FfmpegSound(name));
  EXPECT_GT(length, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ffmpeg, ForeignFile,
    testing::Values(
        ForeignCase{"rawvideo_pcm", "-c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le", false, 99},
        ForeignCase{"rawvideo_pal8", "-c:v rawvideo -pix_fmt pal8 -c:a pcm_u8", false, 99},
        ForeignCase{"rawvideo_rgb555", "-c:v rawvideo -pix_fmt rgb555le -c:a pcm_s16le", false, 99},
        ForeignCase{"mjpeg_adpcm", "-c:v mjpeg -q:v 3 -c:a adpcm_ms", false, 45},
        ForeignCase{"mpeg4_bframes_mp3", "-c:v mpeg4 -bf 2 -g 12 -c:a libmp3lame", false, 45},
        ForeignCase{"huffyuv_pcm", "-c:v huffyuv -c:a pcm_s16le", false, 45},
        ForeignCase{"h264_bframes_alaw", "-c:v libx264 -bf 3 -g 15 -c:a pcm_alaw", false, 45},
        ForeignCase{"cinepak", "-c:v cinepak -c:a pcm_s16le", false, 99},
        ForeignCase{"msvideo1", "-c:v msvideo1 -c:a pcm_s16le", false, 99},
        ForeignCase{"mpeg4_pipe_no_index", "-c:v mpeg4 -bf 2 -c:a pcm_s16le", true, 45},
        ForeignCase{"mjpeg_pipe_no_index", "-c:v mjpeg -c:a adpcm_ms", true, 45}),
    [](const testing::TestParamInfo<ForeignCase>& i) { return std::string(i.param.label); });

// --- damage ---------------------------------------------------------------

class DamagedFile : public testing::Test {
 protected:
  void SetUp() override {
    spec_.width = 32;
    spec_.height = 24;
    spec_.frames = 30;
    spec_.channels = 1;
    spec_.sampleBits = 8;
    name_ = dir_ / "d.avi";
    ASSERT_EQ(test::WriteMovie(name_, spec_), AVIERR_OK);
    bytes_ = test::ReadFile(name_);
    original_ = test::ReadMovie(name_);
    sound_ = ReadSound(name_);
    ASSERT_EQ(original_.frames, 30);
  }
  // Position of the first chunk with this id (any depth), or npos.
  size_t Find(const char* id) const { return bytes_.rfind(std::string(id, 4)); }
  void Save(const std::string& b) { test::WriteFile(name_, b); }

  test::TempDir dir_;
  test::WriteSpec spec_;
  std::string name_, bytes_;
  test::ReadResult original_;
  std::vector<uint8_t> sound_;
};

TEST_F(DamagedFile, ABrokenIdx1IsRebuiltFromTheMovieList) {
  size_t idx1 = Find("idx1");
  ASSERT_NE(idx1, std::string::npos);
  uint32_t size = GetLE32(reinterpret_cast<const uint8_t*>(bytes_.data()) + idx1 + 4);
  struct Damage {
    const char* what;
    std::function<void(std::string&)> apply;
  };
  std::mt19937 rnd(3);
  std::vector<Damage> damages = {
      {"cut to a third", [&](std::string& b) { PutLE32(reinterpret_cast<uint8_t*>(&b[idx1 + 4]), size / 3); }},
      {"garbage", [&](std::string& b) { for (size_t i = 8; i < 8 + size; ++i) b[idx1 + i] = char(rnd()); }},
      {"shifted offsets",
       [&](std::string& b) {
         for (size_t e = idx1 + 8; e + 16 <= idx1 + 8 + size; e += 16) {
           auto* p = reinterpret_cast<uint8_t*>(&b[e + 8]);
           PutLE32(p, GetLE32(p) + 2);
         }
       }},
      {"absolute offsets",
       [&](std::string& b) {
         uint32_t movi = uint32_t(b.find("movi"));
         for (size_t e = idx1 + 8; e + 16 <= idx1 + 8 + size; e += 16) {
           auto* p = reinterpret_cast<uint8_t*>(&b[e + 8]);
           PutLE32(p, GetLE32(p) + movi);
         }
       }},
      {"missing", [&](std::string& b) { std::memcpy(&b[idx1], "JUNK", 4); }},
      {"file cut inside it", [&](std::string& b) { b.resize(idx1 + 8 + size / 2); }},
  };
  for (const Damage& d : damages) {
    std::string b = bytes_;
    d.apply(b);
    Save(b);
    test::ReadResult r = test::ReadMovie(name_);
    ASSERT_EQ(r.open, AVIERR_OK) << d.what;
    EXPECT_EQ(r.frames, 30) << d.what;
    EXPECT_EQ(r.failed, 0) << d.what;
    EXPECT_EQ(r.pictures, original_.pictures) << d.what;
    EXPECT_EQ(ReadSound(name_), sound_) << d.what;
  }
}

TEST_F(DamagedFile, ATruncatedFileReadsWhatIsThere) {
  size_t movi = bytes_.find("movi");
  for (double part : {0.25, 0.5, 0.9}) {
    size_t cut = movi + size_t(double(bytes_.size() - movi) * part);
    Save(bytes_.substr(0, cut));
    test::ReadResult r = test::ReadMovie(name_);
    ASSERT_EQ(r.open, AVIERR_OK) << part;
    EXPECT_GT(r.frames, 0) << part;
    EXPECT_LT(r.frames, 30) << part;
    EXPECT_EQ(r.failed, 0) << part;
    for (int32_t n = 0; n < r.frames; ++n) EXPECT_EQ(r.pictures[size_t(n)], original_.pictures[size_t(n)]);
    std::vector<uint8_t> s = ReadSound(name_);
    EXPECT_LT(s.size(), sound_.size());
    EXPECT_TRUE(std::equal(s.begin(), s.end(), sound_.begin())) << "sound is a prefix";
  }
  // Cut inside the headers: nothing usable is refused cleanly.
  for (size_t cut : {size_t(0), size_t(11), size_t(40), size_t(200)}) {
    Save(bytes_.substr(0, cut));
    PAVIFILE f = nullptr;
    EXPECT_EQ(AVIFileOpen(&f, name_.c_str(), OF_READ, nullptr), AVIERR_BADFORMAT) << cut;
    EXPECT_EQ(f, nullptr);
  }
}

TEST_F(DamagedFile, WhatIsNoAviIsRefused) {
  for (std::string b : {std::string("RIFF\x10\0\0\0WAVEfmt ", 16), std::string(1000, 'x'),
                        std::string("RIFF\0\0\0\0AVI LIST\4\0\0\0hdrl", 24)}) {
    Save(b);
    PAVIFILE f = nullptr;
    EXPECT_EQ(AVIFileOpen(&f, name_.c_str(), OF_READ, nullptr), AVIERR_BADFORMAT);
  }
  PAVIFILE f = nullptr;
  EXPECT_EQ(AVIFileOpen(&f, (dir_ / "missing.avi").c_str(), OF_READ, nullptr), AVIERR_FILEOPEN);
}

TEST_F(DamagedFile, ABrokenOpenDmlIndexFallsBackToTheOthers) {
  AVISetRiffLimit(64 * 1024);
  ASSERT_EQ(test::WriteMovie(name_, spec_), AVIERR_OK);
  AVISetRiffLimit(int64_t(1) << 30);
  std::string b = test::ReadFile(name_);
  ASSERT_NE(b.find("AVIX"), std::string::npos);
  ASSERT_EQ(test::ReadMovie(name_).pictures, original_.pictures);
  // Point the video stream's super index at nonsense.
  size_t indx = b.find("indx");
  ASSERT_NE(indx, std::string::npos);
  PutLE32(reinterpret_cast<uint8_t*>(&b[indx + 8 + 24]), 12345);
  Save(b);
  test::ReadResult r = test::ReadMovie(name_);
  EXPECT_EQ(r.frames, 30);
  EXPECT_EQ(r.pictures, original_.pictures);
  EXPECT_EQ(ReadSound(name_), sound_);
}

// --- files made chunk by chunk ------------------------------------------------

// A file other writers might make: no idx1, "rec " lists, JUNK inside the
// movie list, odd-sized sound chunks with their pad bytes, a palette change.
TEST(HandmadeFile, RecListsJunkAndOddChunksAreWalked) {
  test::TempDir dir;
  riff::MemoryStream m;
  riff::Writer w(m);
  const int32_t W = 8, H = 4, N = 5;
  w.Begin(riff::kRIFF, FourCC("AVI "));
  w.Begin(riff::kLIST, FourCC("hdrl"));
  uint8_t avih[56] = {};
  PutLE32(avih, 40000);
  PutLE32(avih + 24, 2);
  w.Put(FourCC("avih"), avih, 56);
  w.Begin(riff::kLIST, FourCC("strl"));
  uint8_t strh[56] = {};
  PutLE32(strh, FourCC("vids"));
  PutLE32(strh + 20, 1);
  PutLE32(strh + 24, 25);
  PutLE32(strh + 32, 999);  // a length no reader should believe
  w.Put(FourCC("strh"), strh, 56);
  std::vector<uint8_t> fmt = test::DibFormatBlock(W, H, 24);
  w.Put(FourCC("strf"), fmt.data(), 40);
  w.End();
  w.Begin(riff::kLIST, FourCC("strl"));
  PutLE32(strh, FourCC("auds"));
  PutLE32(strh + 20, 1);
  PutLE32(strh + 24, 8000);
  PutLE32(strh + 44, 0);  // no sample size: PCM is counted by its block align anyway
  w.Put(FourCC("strh"), strh, 56);
  uint8_t wf[16] = {};
  PutLE16(wf, 1);
  PutLE16(wf + 2, 1);
  PutLE32(wf + 4, 8000);
  PutLE32(wf + 8, 8000);
  PutLE16(wf + 12, 1);
  PutLE16(wf + 14, 8);
  w.Put(FourCC("strf"), wf, 16);
  w.End();
  w.End();
  w.Begin(riff::kLIST, FourCC("movi"));
  std::vector<uint8_t> sound;
  for (int n = 0; n < N; ++n) {
    w.Begin(riff::kLIST, FourCC("rec "));
    std::vector<uint8_t> rows = test::TestFrame(W, H, 24, n);
    w.Put(FourCC("00db"), rows.data(), int64_t(rows.size()));
    std::vector<uint8_t> s(size_t(3 + n), uint8_t(n * 10));  // odd sizes
    w.Put(FourCC("01wb"), s.data(), int64_t(s.size()));
    sound.insert(sound.end(), s.begin(), s.end());
    w.End();
    uint8_t junk[5] = {};
    w.Put(FourCC("JUNK"), junk, 5);
    w.Put(FourCC("00pc"), junk, 4);
  }
  w.End();
  w.End();
  ASSERT_TRUE(w.Ok());
  std::string name = dir / "hand.avi";
  test::WriteFile(name, std::string(m.Bytes().begin(), m.Bytes().end()));

  test::ReadResult r = test::ReadMovie(name);
  ASSERT_EQ(r.open, AVIERR_OK);
  ASSERT_EQ(r.frames, N);
  EXPECT_EQ(r.failed, 0);
  for (int n = 0; n < N; ++n) {
    std::vector<uint8_t> rows = test::TestFrame(W, H, 24, n);
    EXPECT_EQ(r.pictures[size_t(n)], test::RowsToBgr(rows.data(), W, H, 24, nullptr));
  }
  int32_t length = 0;
  EXPECT_EQ(ReadSound(name, &length), sound);
  EXPECT_EQ(length, int32_t(sound.size()));

  // The same bytes from memory.
  PAVIFILE f = nullptr;
  ASSERT_EQ(AVIFileOpenMemory(&f, m.Bytes().data(), int64_t(m.Bytes().size())), AVIERR_OK);
  AVIFILEINFO fi{};
  AVIFileInfo(f, &fi, sizeof fi);
  EXPECT_EQ(fi.dwStreams, 2u);
  AVIFileRelease(f);
}

// An RLE8 stream (BI_RLE8, decoded by FFmpeg with the colour table from the
// stream format) comes out as 8-bit pictures with that table.
TEST(HandmadeFile, PalettedCompressedStreamsKeepTheirColourTable) {
  test::TempDir dir;
  std::string name = dir / "rle.avi";
  PAVIFILE f = nullptr;
  PAVISTREAM v = nullptr;
  ASSERT_EQ(test::CreateWithVideo(name, 10, &f, &v), AVIERR_OK);
  std::vector<uint8_t> fmt = test::DibFormatBlock(8, 2, 8);
  PutLE32(fmt.data() + 16, BI_RLE8);
  ASSERT_EQ(AVIStreamSetFormat(v, 0, fmt.data(), int32_t(fmt.size())), AVIERR_OK);
  // Bottom row: 8 x colour 5; top row: 4 x colour 200, 4 x colour 7; end of bitmap.
  const uint8_t frame[] = {8, 5, 0, 0, 4, 200, 4, 7, 0, 1};
  for (int n = 0; n < 3; ++n)
    ASSERT_EQ(AVIStreamWrite(v, n, 1, frame, sizeof frame, AVIIF_KEYFRAME, nullptr, nullptr),
              AVIERR_OK);
  AVIStreamRelease(v);
  ASSERT_EQ(AVIFileRelease(f), AVIERR_OK);

  test::ReadResult r = test::ReadMovie(name);
  ASSERT_EQ(r.frames, 3);
  EXPECT_EQ(r.failed, 0);
  EXPECT_EQ(r.bits, 8);
  const uint8_t* pal = test::TestPalette();
  ASSERT_EQ(r.pictures[2].size(), 8u * 2 * 3);
  EXPECT_EQ(0, std::memcmp(&r.pictures[2][0], pal + 4 * 200, 3)) << "top row first";
  EXPECT_EQ(0, std::memcmp(&r.pictures[2][3 * 7], pal + 4 * 7, 3));
  EXPECT_EQ(0, std::memcmp(&r.pictures[2][3 * 8], pal + 4 * 5, 3));
  if (!test::HaveFfmpeg()) return;
  auto ff = test::FfmpegFrames(name, 8, 2);
  ASSERT_EQ(ff.size(), 3u);
  EXPECT_EQ(ff[0], r.pictures[0]);
}

// --- big files ---------------------------------------------------------------

// ffmpeg goes OpenDML past 1 GiB; such a file takes a few seconds to make.
TEST(LargeFile, FfmpegOpenDmlFileReads) {
  if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  test::TempDir dir;
  struct statvfs fs {};
  if (statvfs(dir.path().c_str(), &fs) != 0 || uint64_t(fs.f_bavail) * fs.f_frsize < (4ull << 30))
    GTEST_SKIP() << "less than 4 GiB free";
  std::string name = dir / "big.avi";
  int rc = 0;
  test::Run("ffmpeg -v error -y -f lavfi -i testsrc=size=1920x1080:rate=25 -f lavfi -i "
            "sine=sample_rate=8000 -t 7.5 -c:v rawvideo -pix_fmt bgr24 -c:a pcm_u8 " +
                test::Quote(name),
            &rc);
  ASSERT_EQ(rc, 0);
  ASSERT_GT(std::filesystem::file_size(name), uint64_t(1) << 30);
  PAVIFILE f = nullptr;
  PAVISTREAM v = nullptr;
  ASSERT_EQ(AVIFileOpen(&f, name.c_str(), OF_READ, nullptr), AVIERR_OK);
  ASSERT_EQ(AVIFileGetStream(f, &v, streamtypeVIDEO, 0), AVIERR_OK);
  EXPECT_EQ(AVIStreamLength(v), test::ProbeFrameCount(name));
  PGETFRAME g = AVIStreamGetFrameOpen(v, nullptr);
  ASSERT_NE(g, nullptr);
  int32_t last = AVIStreamLength(v) - 1;
  void* dib = AVIStreamGetFrame(g, last);
  ASSERT_NE(dib, nullptr);
  std::string raw = test::Run("ffmpeg -v error -i " + test::Quote(name) + " -vf " +
                              test::Quote("select=eq(n\\," + std::to_string(last) + ")") +
                              " -vsync passthrough -f rawvideo -pix_fmt bgr24 -");
  EXPECT_TRUE(raw.size() == 1920u * 1080 * 3 &&
              std::vector<uint8_t>(raw.begin(), raw.end()) == test::DibToBgr(dib));
  AVIStreamGetFrameClose(g);
  AVIStreamRelease(v);
  AVIFileRelease(f);
  int32_t length = 0;
  std::vector<uint8_t> sound = ReadSound(name, &length);
  EXPECT_EQ(length, 60000);
  EXPECT_EQ(sound, FfmpegSound(name));
}

}  // namespace
}  // namespace zelo
