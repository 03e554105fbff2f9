// The JEX container: file layout, two-level index, key frames, palettes,
// sound blocks, limits and hostile files.
//
// Written files are checked with a reader written here independently of the
// container (plain offsets into the file's bytes): it walks header, top
// index, index blocks, frame records, chunks, strips and the audio chain,
// checks how they fit together and rebuilds every frame from the strips.
// For incompressible frames a writer written here builds the expected file
// byte for byte.
#include "formats/ff_jex.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "formats/jex_codec.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"
#include "sound/sndbasic.h"
#include "support/image_helpers.h"
#include "support/temp_dir.h"

namespace zelo {
namespace {

using Bytes = std::vector<uint8_t>;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

struct Err {
  int32_t cat, code;
  bool operator==(const Err&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Err& e) { return os << "(" << e.cat << ", " << e.code << ")"; }
constexpr Err kOk{0, 0};

Err Try(const std::function<void()>& work) {
  ErrClear();
  ProtectedKeep(work);
  Err e{ErrCategory(), ErrCode()};
  ErrClear();
  return e;
}

// --- independent reader -----------------------------------------------------------

uint32_t U32(const std::string& b, size_t at) {
  if (at + 4 > b.size()) {
    ADD_FAILURE() << "read beyond the file at " << at;
    return 0;
  }
  auto c = [&](size_t i) { return uint32_t(uint8_t(b[at + i])); };
  return c(0) | c(1) << 8 | c(2) << 16 | c(3) << 24;
}

struct RStrip {
  uint32_t type, recSize, size, rows, compressed;
  size_t data;  // file offset of its bytes
};

struct RFrame {
  uint32_t offset, firstRead, flags;
  uint32_t head[4];  // 1, first-chunk offset, chunks, record size
  bool hasPal = false;
  uint32_t palHead[4] = {};
  Bytes palRGB;
  uint32_t imgHead[4] = {};
  std::vector<RStrip> strips;
};

struct RAudio {
  uint32_t offset, head[4];  // 3, 16, next, sample frames
};

struct RFile {
  uint32_t magic, headerSize, version;
  int32_t width, height, bytesPP;
  uint32_t codecFlags;
  int32_t frameCount, keyInterval;
  double frameRate;
  uint32_t audioFlags, sampleRate, firstAudio, smallFrames;
  int32_t sampleCount;
  std::array<uint32_t, 256> top{};
  std::vector<RFrame> frames;
  std::vector<RAudio> audio;
};

// Parses a file and checks the rules its parts follow with each other.
RFile Parse(const std::string& b) {
  RFile f{};
  f.magic = U32(b, 0);
  f.headerSize = U32(b, 4);
  f.version = U32(b, 8);
  f.width = int32_t(U32(b, 12));
  f.height = int32_t(U32(b, 16));
  f.bytesPP = int32_t(U32(b, 20));
  f.codecFlags = U32(b, 24);
  f.frameCount = int32_t(U32(b, 28));
  f.keyInterval = int32_t(U32(b, 32));
  uint64_t rate = uint64_t(U32(b, 36)) | uint64_t(U32(b, 40)) << 32;
  std::memcpy(&f.frameRate, &rate, 8);
  f.audioFlags = U32(b, 44);
  f.sampleRate = U32(b, 48);
  f.firstAudio = U32(b, 52);
  f.smallFrames = U32(b, 56);
  f.sampleCount = int32_t(U32(b, 60));
  EXPECT_EQ(f.magic, 0x1A58454Au);
  EXPECT_EQ(f.headerSize, 64u);
  EXPECT_EQ(f.version, 97u);

  if (f.frameCount > 0) {
    const int64_t frameBytes = int64_t(f.width) * f.height * f.bytesPP;
    EXPECT_EQ(f.smallFrames, frameBytes <= 65520 ? 1u : 0u);
    for (int i = 0; i < 256; ++i) f.top[size_t(i)] = U32(b, size_t(64 + 4 * i));
    EXPECT_EQ(f.top[0], 1088u);
    const int blocks = (f.frameCount + 255) / 256;
    for (int i = 0; i < 256; ++i) EXPECT_EQ(f.top[size_t(i)] != 0, i < blocks) << "top index entry " << i;
    for (int32_t i = 0; i < f.frameCount; ++i) {
      const size_t entry = f.top[size_t(i / 256)] + size_t(12 * (i % 256));
      RFrame fr{};
      fr.offset = U32(b, entry);
      fr.firstRead = U32(b, entry + 4);
      fr.flags = U32(b, entry + 8);
      for (int k = 0; k < 4; ++k) fr.head[k] = U32(b, fr.offset + size_t(4 * k));
      EXPECT_EQ(fr.head[0], 1u);
      EXPECT_EQ(fr.head[1], 16u);
      size_t o = fr.offset + 16;
      fr.hasPal = fr.head[2] == 2;
      EXPECT_EQ(fr.hasPal, (fr.flags & 1) != 0) << "frame " << i;
      if (fr.hasPal) {
        for (int k = 0; k < 4; ++k) fr.palHead[k] = U32(b, o + size_t(4 * k));
        EXPECT_EQ(fr.palHead[0], 2u);
        EXPECT_EQ(fr.palHead[1], 16u);
        EXPECT_EQ(fr.palHead[2], 256u);
        EXPECT_EQ(fr.palHead[3], 0u);
        fr.palRGB.assign(b.begin() + std::ptrdiff_t(o + 16), b.begin() + std::ptrdiff_t(o + 16 + 768));
        o += 16 + 768;
      } else {
        EXPECT_EQ(fr.head[2], 1u);
      }
      for (int k = 0; k < 4; ++k) fr.imgHead[k] = U32(b, o + size_t(4 * k));
      EXPECT_EQ(fr.imgHead[0], 4u);
      EXPECT_EQ(fr.imgHead[1], 16u);
      const uint32_t n = fr.imgHead[2], m = fr.imgHead[3];
      size_t data = o + 16 + 20 * size_t(n);
      size_t firstRead = data - fr.offset;
      int64_t rows = 0;
      for (uint32_t j = 0; j < n; ++j) {
        const size_t r = o + 16 + 20 * size_t(j);
        RStrip s{U32(b, r), U32(b, r + 4), U32(b, r + 8), U32(b, r + 12), U32(b, r + 16), data};
        EXPECT_EQ(s.type, 5u);
        EXPECT_EQ(s.recSize, 20u);
        EXPECT_LE(s.compressed, 1u);
        if (s.compressed == 0) { EXPECT_EQ(int64_t(s.size), int64_t(s.rows) * f.width * f.bytesPP); }
        if (j < m) firstRead += s.size;
        data += s.size;
        rows += s.rows;
        fr.strips.push_back(s);
      }
      EXPECT_EQ(rows, f.height) << "frame " << i;
      EXPECT_EQ(fr.head[3], data - fr.offset) << "frame " << i << " record size";
      EXPECT_EQ(fr.firstRead, firstRead) << "frame " << i << " first-read size";
      EXPECT_LE(data, b.size());
      f.frames.push_back(fr);
    }
  }
  int64_t samples = 0;
  for (uint32_t at = f.firstAudio; at != 0;) {
    RAudio a{at, {U32(b, at), U32(b, at + 4), U32(b, at + 8), U32(b, at + 12)}};
    EXPECT_EQ(a.head[0], 3u);
    EXPECT_EQ(a.head[1], 16u);
    if (a.head[2] != 0) { EXPECT_GT(a.head[2], at) << "audio blocks follow each other"; }
    samples += a.head[3];
    f.audio.push_back(a);
    if (a.head[2] <= at || f.audio.size() > b.size() / 16) break;
    at = a.head[2];
  }
  EXPECT_EQ(samples, f.sampleCount);
  return f;
}

// The pixels of every frame, rebuilt from the strips (delta frames on top of
// the previous frame; prediction undone by a running sum per strip).
struct RPicture {
  Bytes pixels;
  Bytes palBGR;  // the palette in force (empty before the first one)
};

std::vector<RPicture> Rebuild(const RFile& f, const std::string& b) {
  std::vector<RPicture> out;
  const size_t L = size_t(f.width) * size_t(f.bytesPP);
  Bytes image(L * size_t(f.height)), diffs(image.size());
  Bytes pal;
  const bool predict = (f.codecFlags & 2) != 0;
  for (const RFrame& fr : f.frames) {
    if (fr.hasPal) {
      pal.resize(768);
      for (size_t i = 0; i < 256; ++i)
        for (size_t c = 0; c < 3; ++c) pal[3 * i + c] = fr.palRGB[3 * i + 2 - c];
    }
    size_t rowOffset = 0;
    for (const RStrip& s : fr.strips) {
      uint8_t* dest = (predict ? diffs.data() : image.data()) + rowOffset;
      const auto* data = reinterpret_cast<const uint8_t*>(b.data()) + s.data;
      if (s.compressed) {
        const bool ok = (f.codecFlags & 1) ? JXDCFastDecode(data, int32_t(s.size), dest, f.width, f.bytesPP, int32_t(s.rows))
                                           : JXDCBestDecode(data, int32_t(s.size), dest, f.width, f.bytesPP, int32_t(s.rows));
        EXPECT_TRUE(ok);
      } else {
        std::memcpy(dest, data, s.size);
      }
      if (predict) {
        uint8_t sum[3] = {0, 0, 0};
        for (size_t i = 0; i < s.rows * L; ++i) {
          sum[i % 3] = uint8_t(sum[i % 3] + diffs[rowOffset + i]);
          image[rowOffset + i] = sum[i % 3];
        }
      }
      rowOffset += s.rows * L;
    }
    out.push_back(RPicture{image, pal});
  }
  return out;
}

// --- test movies -------------------------------------------------------------------

enum class Content { Random, Moving, Flat, Ramp };

// Frame t of a movie: Moving shifts a blocky pattern by a pixel per frame
// and changes a few bytes (so delta frames have skips and changes).
Bytes MakePixels(int32_t w, int32_t h, int32_t B, Content c, int32_t t, uint32_t seed = 1) {
  Bytes p(size_t(w) * size_t(h) * size_t(B));
  std::mt19937 rng(seed * 7919u + uint32_t(t));
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int32_t k = 0; k < B; ++k) {
        uint8_t& v = p[(size_t(y) * size_t(w) + size_t(x)) * size_t(B) + size_t(k)];
        switch (c) {
          case Content::Random: v = uint8_t(rng()); break;
          case Content::Moving: v = uint8_t(((x + t) / 5 * 37 + y / 3 * 11 + k * 50) & 0xFF); break;
          case Content::Flat: v = uint8_t(90 + k); break;
          case Content::Ramp: v = uint8_t(x * 3 + y + k); break;
        }
      }
  if (c == Content::Moving)
    for (int i = 0; i < 3; ++i) p[rng() % p.size()] = uint8_t(rng());
  return p;
}

Bytes MakePalette(uint32_t seed) {
  Bytes pal(768);
  std::mt19937 rng(seed);
  for (auto& v : pal) v = uint8_t(rng());
  return pal;
}

Bytes MakeSamples(size_t bytes, uint32_t seed) {
  Bytes s(bytes);
  for (size_t i = 0; i < bytes; ++i) s[i] = uint8_t(i * 7 + seed * 13 + (i >> 8));
  return s;
}

QWaveFormat Pcm(int32_t rate, int32_t channels, int32_t bits) {
  QWaveFormat f{};
  WaveFormatPCM(f, rate, channels, bits);
  return f;
}

// Drives the writer and remembers what it was given.
class Writer {
 public:
  Writer(const std::string& path, double rate = 25.0) : hf_(std::make_unique<QJexFile>()) {
    EXPECT_EQ(Try([&] { JEXCreate(hf_.get(), path, rate); }), kOk);
  }
  ~Writer() {
    if (hf_->fileOpen) Close();
    if (MemIsTracked(&img_.pixPtr)) ImgFree(&img_);
  }

  Err TryImage(int32_t w, int32_t h, int32_t bpp, const Bytes& pixels, const Bytes& palBGR = {}) {
    if (!MemIsTracked(&img_.pixPtr) || img_.resX != w || img_.resY != h || img_.bpp != bpp) {
      if (MemIsTracked(&img_.pixPtr)) ImgFree(&img_);
      img_ = test::MakeImg(w, h, bpp);
    }
    std::memcpy(img_.pixPtr, pixels.data(), std::min(pixels.size(), size_t(img_.pixSize)));
    if (!palBGR.empty()) std::memcpy(img_.pal, palBGR.data(), 768);
    return Try([&] { JEXImgSave(hf_.get(), &img_); });
  }
  void Image(int32_t w, int32_t h, int32_t bpp, const Bytes& pixels, const Bytes& palBGR = {}) {
    EXPECT_EQ(TryImage(w, h, bpp, pixels, palBGR), kOk);
    frames.push_back(pixels);
  }
  Err TrySound(const QWaveFormat& format, const Bytes& data) {
    Qsnd snd{};
    _sndalloc_(snd, int32_t(data.size()), 1, "test.snd");
    std::memcpy(snd.SndData, data.data(), data.size());
    snd.format = format;
    snd.samples = int32_t(data.size() / format.blockAlign);
    Err e = Try([&] { JEXSndSave(hf_.get(), &snd); });
    SndFree(snd);
    return e;
  }
  void Sound(const QWaveFormat& format, const Bytes& data) {
    EXPECT_EQ(TrySound(format, data), kOk);
    sound.insert(sound.end(), data.begin(), data.end());
  }
  void Close() { EXPECT_EQ(Try([&] { JEXClose(hf_.get()); }), kOk); }
  QJexFile* hf() { return hf_.get(); }

  std::vector<Bytes> frames;
  Bytes sound;

 private:
  std::unique_ptr<QJexFile> hf_;
  Qimg img_{};
};

// An open file for reading, with the picture it loads into.
class Reader {
 public:
  explicit Reader(const std::string& path) : hf_(std::make_unique<QJexFile>()) {
    open = Try([&] { JEXOpen(hf_.get(), path); });
  }
  ~Reader() {
    CloseFile();
    test::Release(img);
  }
  Err Load(int32_t frame, int32_t flags = 2) {
    return Try([&] { JEXImgLoad(hf_.get(), &img, frame, flags); });
  }
  Err LoadNext() { return Try([&] { JEXImgLoadNext(hf_.get(), &img); }); }
  // count sample frames from start; the bytes delivered.
  Bytes Sound(int32_t start, int32_t count, int32_t flags, Err* err = nullptr) {
    Qsnd snd{};
    Err e = Try([&] { JEXSndLoad(hf_.get(), &snd, start, flags, count); });
    if (err != nullptr) *err = e;
    EXPECT_TRUE(err != nullptr || e == kOk) << e;
    Bytes out;
    if (MemIsTracked(&snd.SndData)) {
      out.assign(snd.SndData, snd.SndData + snd.samples * snd.format.blockAlign);
      SndFree(snd);
    }
    return out;
  }
  Bytes Pixels() const { return test::Bytes(img); }
  Bytes Palette() const { return Bytes(&img.pal[0][0], &img.pal[0][0] + 768); }
  QJexFile* hf() { return hf_.get(); }
  void CloseFile() {
    if (hf_->fileOpen) { EXPECT_EQ(Try([&] { JEXClose(hf_.get()); }), kOk); }
  }

  Err open;
  Qimg img{};

 private:
  std::unique_ptr<QJexFile> hf_;
};

// Every test leaves no tracked block, no open file and the unit settings as
// it found them.
class JexMovieTest : public testing::Test {
 protected:
  void SetUp() override {
    blocks_ = MemCount();
    files_ = FCount();
    fast_ = JEXFast(UNDEF);
    interval_ = JEXKeyFrameRate(UNDEF);
  }
  void TearDown() override {
    JEXFast(fast_);
    JEXKeyFrameRate(interval_);
    EXPECT_EQ(MemCount(), blocks_) << "tracked blocks left over";
    EXPECT_EQ(FCount(), files_) << "files left open";
    ErrClear();
  }
  std::string Path(const std::string& name = "movie.jex") const { return dir_ / name; }

  TempDir dir_;
  int32_t blocks_ = 0, files_ = 0, fast_ = 1, interval_ = 25;
};

// --- layout ------------------------------------------------------------------------

// Puts little-endian values at the end of a byte string.
void Put32(std::string& s, std::initializer_list<uint32_t> values) {
  for (uint32_t v : values)
    for (int i = 0; i < 4; ++i) s.push_back(char(uint8_t(v >> (8 * i))));
}
void Patch32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + size_t(i)] = char(uint8_t(v >> (8 * i)));
}

// A small 8-bit FAST movie of incompressible frames with sound between them,
// built here byte for byte: what the writer must produce.
TEST_F(JexMovieTest, SmallFileMatchesTheLayoutByteForByte) {
  JEXFast(1);
  JEXKeyFrameRate(25);
  const int32_t w = 16, h = 8;
  const Bytes palA = MakePalette(1), palB = MakePalette(2);
  const std::vector<Bytes> px = {MakePixels(w, h, 1, Content::Random, 0), MakePixels(w, h, 1, Content::Random, 1),
                                 MakePixels(w, h, 1, Content::Random, 2)};
  const Bytes snd1 = MakeSamples(100, 1), snd2 = MakeSamples(50, 2);
  {
    Writer wr(Path(), 12.5);
    wr.Image(w, h, 8, px[0], palA);
    wr.Sound(Pcm(11025, 1, 8), snd1);
    wr.Image(w, h, 8, px[1], palA);
    wr.Image(w, h, 8, px[2], palB);
    wr.Sound(Pcm(11025, 1, 8), snd2);
  }

  // Expected: header, top index, index block 0, then in saving order.
  std::string frames;
  std::vector<std::array<uint32_t, 3>> entries;
  uint32_t at = 4160, audio1 = 0, audio2 = 0;
  auto frame = [&](const Bytes& pixels, const Bytes* pal) {
    std::string r;
    const uint32_t size = 16 + (pal ? 784 : 0) + 16 + 20 + uint32_t(pixels.size());
    Put32(r, {1, 16, pal ? 2u : 1u, size});
    if (pal) {
      Put32(r, {2, 16, 256, 0});
      for (size_t i = 0; i < 256; ++i)
        for (size_t c = 0; c < 3; ++c) r.push_back(char((*pal)[3 * i + 2 - c]));
    }
    Put32(r, {4, 16, 1, 1, 5, 20, uint32_t(pixels.size()), uint32_t(h), 0});
    r.append(pixels.begin(), pixels.end());
    entries.push_back({at, size, pal ? 1u : 0u});
    frames += r;
    at += size;
  };
  auto audio = [&](const Bytes& s, uint32_t& where) {
    where = at;
    Put32(frames, {3, 16, 0, uint32_t(s.size())});
    frames.append(s.begin(), s.end());
    at += 16 + uint32_t(s.size());
  };
  frame(px[0], &palA);
  audio(snd1, audio1);
  frame(px[1], nullptr);
  frame(px[2], &palB);
  audio(snd2, audio2);
  Patch32(frames, audio1 - 4160 + 8, audio2);

  std::string expected = "JEX\x1A";
  Put32(expected, {64, 97, uint32_t(w), uint32_t(h), 1, 1, 3, 25});
  const double rate = 12.5;
  uint64_t rateBits;
  std::memcpy(&rateBits, &rate, 8);
  Put32(expected, {uint32_t(rateBits), uint32_t(rateBits >> 32), 1, 11025, audio1, 1, 150});
  Put32(expected, {1088});
  expected.append(1020, '\0');
  for (auto& e : entries) Put32(expected, {e[0], e[1], e[2]});
  expected.append(12 * (256 - entries.size()), '\0');
  expected += frames;

  const std::string actual = ReadFile(Path());
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i)
    ASSERT_EQ(uint8_t(actual[i]), uint8_t(expected[i])) << "first difference at byte " << i;
}

TEST_F(JexMovieTest, FrameRecordsIndexBlocksAndTopIndex) {
  JEXFast(1);
  JEXKeyFrameRate(10);
  const int32_t w = 8, h = 4;
  {
    Writer wr(Path());
    for (int32_t t = 0; t < 258; ++t) wr.Image(w, h, 16, MakePixels(w, h, 2, Content::Moving, t));
  }
  const std::string b = ReadFile(Path());
  const RFile f = Parse(b);
  ASSERT_EQ(f.frameCount, 258);
  EXPECT_EQ(f.frames[0].offset, 4160u);
  // Frame 256 (from 0) made index block 1, appended right after frame 255.
  const RFrame& last = f.frames[255];
  EXPECT_EQ(f.top[1], last.offset + last.head[3]);
  EXPECT_EQ(f.frames[256].offset, f.top[1] + 3072);
  EXPECT_EQ(f.frames[257].offset, f.frames[256].offset + f.frames[256].head[3]);
  EXPECT_EQ(f.top[2], 0u);

  // The reader finds every frame, also across the block boundary by jumps.
  Reader rd(Path());
  ASSERT_EQ(rd.open, kOk);
  EXPECT_EQ(rd.hf()->hdr.frameCount, 258);
  for (int32_t n : {257, 3, 258, 256, 1}) {
    ASSERT_EQ(rd.Load(n), kOk) << n;
    EXPECT_EQ(rd.Pixels(), MakePixels(w, h, 2, Content::Moving, n - 1)) << "frame " << n;
  }
}

// --- round trips ------------------------------------------------------------------------

struct RoundTripCase {
  int32_t bpp, fast, interval;
  Content content;
  int32_t w, h, frames;
};
void PrintTo(const RoundTripCase& c, std::ostream* os) {
  *os << c.w << "x" << c.h << "x" << c.bpp << (c.fast ? " FAST" : " BEST") << " interval " << c.interval
      << " content " << int(c.content) << ", " << c.frames << " frames";
}

class JexMovieRoundTrip : public JexMovieTest, public testing::WithParamInterface<RoundTripCase> {};

TEST_P(JexMovieRoundTrip, FramesComeBackUnchanged) {
  const RoundTripCase c = GetParam();
  const int32_t B = (c.bpp + 7) / 8;
  JEXFast(c.fast);
  JEXKeyFrameRate(c.interval);
  {
    Writer wr(Path());
    for (int32_t t = 0; t < c.frames; ++t)
      wr.Image(c.w, c.h, c.bpp, MakePixels(c.w, c.h, B, c.content, t), MakePalette(uint32_t(t / 3)));
  }
  const std::string b = ReadFile(Path());
  const RFile f = Parse(b);
  ASSERT_EQ(f.frameCount, c.frames);
  EXPECT_EQ(f.keyInterval, c.interval);
  const std::vector<RPicture> rebuilt = Rebuild(f, b);
  Reader rd(Path());
  ASSERT_EQ(rd.open, kOk);
  for (int32_t t = 0; t < c.frames; ++t) {
    const Bytes want = MakePixels(c.w, c.h, B, c.content, t);
    EXPECT_EQ(rebuilt[size_t(t)].pixels, want) << "independent reader, frame " << t;
    ASSERT_EQ(rd.Load(0), kOk);
    EXPECT_EQ(rd.Pixels(), want) << "frame " << t;
    EXPECT_EQ(rd.img.bpp, B * 8);
    if (B == 1) {
      EXPECT_EQ(rd.Palette(), MakePalette(uint32_t(t / 3))) << "frame " << t;
      EXPECT_EQ(rd.hf()->palChanged != 0, t % 3 == 0) << "frame " << t;
      EXPECT_EQ(rebuilt[size_t(t)].palBGR, MakePalette(uint32_t(t / 3)));
    }
  }
  EXPECT_EQ(rd.LoadNext(), (Err{ERR_JEX, 1}));
}

INSTANTIATE_TEST_SUITE_P(
    Movies, JexMovieRoundTrip,
    testing::Values(RoundTripCase{8, 1, 25, Content::Moving, 37, 11, 7}, RoundTripCase{8, 0, 0, Content::Moving, 37, 11, 7},
                    RoundTripCase{8, 0, 1, Content::Random, 13, 5, 4}, RoundTripCase{16, 1, 3, Content::Moving, 20, 9, 8},
                    RoundTripCase{16, 0, 1, Content::Moving, 20, 9, 5}, RoundTripCase{15, 0, 2, Content::Moving, 6, 6, 4},
                    RoundTripCase{24, 0, 25, Content::Moving, 33, 17, 6}, RoundTripCase{24, 0, 0, Content::Ramp, 40, 10, 5},
                    RoundTripCase{24, 1, 0, Content::Moving, 33, 17, 6}, RoundTripCase{24, 1, 1, Content::Random, 9, 7, 3},
                    RoundTripCase{24, 0, 2, Content::Random, 9, 7, 3}, RoundTripCase{24, 0, 3, Content::Flat, 1, 1, 4}));

// --- codec flags, strips and information ---------------------------------------------------

struct FlagsCase {
  int32_t bpp, fast;
  Content content;
  uint32_t flags;
  const char* name;
};
void PrintTo(const FlagsCase& c, std::ostream* os) {
  *os << c.bpp << " bits" << (c.fast ? " FAST" : " BEST") << " content " << int(c.content) << ": " << c.name;
}

class JexMovieCodecFlags : public JexMovieTest, public testing::WithParamInterface<FlagsCase> {};

TEST_P(JexMovieCodecFlags, HeaderAndInformationNameTheCodec) {
  const FlagsCase c = GetParam();
  const int32_t B = (c.bpp + 7) / 8, w = 48, h = 20;
  JEXFast(c.fast);
  {
    Writer wr(Path());
    for (int32_t t = 0; t < 3; ++t) wr.Image(w, h, c.bpp, MakePixels(w, h, B, c.content, t));
    wr.Sound(Pcm(8000, 2, 16), MakeSamples(400, 3));
    EXPECT_EQ(wr.hf()->hdr.codecFlags, c.flags);
    EXPECT_EQ(wr.hf()->PredictImg != nullptr, c.flags == JEX_PREDICT);
  }
  const std::string b = ReadFile(Path());
  const RFile f = Parse(b);
  EXPECT_EQ(f.codecFlags, c.flags);
  const std::vector<RPicture> rebuilt = Rebuild(f, b);
  for (int32_t t = 0; t < 3; ++t) EXPECT_EQ(rebuilt[size_t(t)].pixels, MakePixels(w, h, B, c.content, t));

  QffInfo info;
  ASSERT_EQ(Try([&] { JEXInfo(Path(), &info); }), kOk);
  EXPECT_EQ(info.media.videoName, c.name);
  EXPECT_EQ(info.media.bpp, B * 8);
  EXPECT_EQ(info.media.bytesPP, B);
  EXPECT_EQ(info.media.width, w);
  EXPECT_EQ(info.media.height, h);
  EXPECT_EQ(info.media.frames, 3);
  EXPECT_DOUBLE_EQ(info.media.frameRate, 25.0);
  EXPECT_EQ(info.media.hasPictures, kTrue);
  EXPECT_EQ(info.media.picturesReadable, kTrue);
  EXPECT_EQ(info.media.audioName, "PCM, uncompressed");
  EXPECT_EQ(info.media.sampleFrames, 100);
  const QWaveFormat pcm = info.media.pcmFormat;  // a copy: the record's fields are packed
  EXPECT_EQ(int(pcm.samplesPerSec), 8000);
  EXPECT_EQ(int(pcm.channels), 2);
  EXPECT_EQ(int(pcm.bitsPerSample), 16);
  EXPECT_EQ(int(pcm.blockAlign), 4);
  EXPECT_FALSE(WaveFormatDiffers(info.media.storedFormat, pcm));
  EXPECT_EQ(int(info.media.storedFormat.avgBytesPerSec), 32000);
  EXPECT_EQ(info.media.hasSound, kTrue);
  EXPECT_EQ(info.media.soundReadable, kTrue);
  EXPECT_EQ(info.fileSize, int64_t(b.size()));
}

INSTANTIATE_TEST_SUITE_P(Codecs, JexMovieCodecFlags,
                         testing::Values(FlagsCase{24, 0, Content::Ramp, JEX_PREDICT, "BEST-P"},
                                         FlagsCase{24, 0, Content::Random, 0, "BEST"},
                                         FlagsCase{24, 0, Content::Flat, 0, "BEST"},
                                         FlagsCase{24, 1, Content::Ramp, JEX_FAST, "FAST"},
                                         FlagsCase{16, 0, Content::Ramp, 0, "BEST"},
                                         FlagsCase{8, 1, Content::Moving, JEX_FAST, "FAST"}));

struct StripCase {
  int32_t w, h, bpp;
  Content content;
  uint32_t small, inFirstRead;
};
void PrintTo(const StripCase& c, std::ostream* os) {
  *os << c.w << "x" << c.h << "x" << c.bpp << " content " << int(c.content);
}

class JexMovieStrips : public JexMovieTest, public testing::WithParamInterface<StripCase> {};

// Every frame is one strip; whether its data go into the first read depends
// on the capacity: frame bytes + 8192, or 65520 for small frames.
TEST_P(JexMovieStrips, OneStripWithTheFirstReadOfItsCapacity) {
  const StripCase c = GetParam();
  const int32_t B = (c.bpp + 7) / 8;
  JEXFast(1);
  {
    Writer wr(Path());
    for (int32_t t = 0; t < 2; ++t) wr.Image(c.w, c.h, c.bpp, MakePixels(c.w, c.h, B, c.content, t), MakePalette(7));
  }
  const std::string b = ReadFile(Path());
  const RFile f = Parse(b);
  EXPECT_EQ(f.smallFrames, c.small);
  for (const RFrame& fr : f.frames) {
    ASSERT_EQ(fr.strips.size(), 1u);
    EXPECT_EQ(fr.strips[0].rows, uint32_t(c.h));
    EXPECT_EQ(fr.imgHead[3], c.inFirstRead);
  }
  Reader rd(Path());
  ASSERT_EQ(rd.open, kOk);
  for (int32_t t = 0; t < 2; ++t) {
    ASSERT_EQ(rd.Load(t + 1), kOk);
    EXPECT_EQ(rd.Pixels(), MakePixels(c.w, c.h, B, c.content, t));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, JexMovieStrips,
                         testing::Values(StripCase{640, 480, 24, Content::Random, 0, 1},
                                         StripCase{640, 480, 24, Content::Moving, 0, 1},
                                         StripCase{160, 120, 24, Content::Random, 1, 1},
                                         StripCase{160, 120, 24, Content::Moving, 1, 1},
                                         // 65520 raw bytes and the palette pass 65520: read apart
                                         StripCase{273, 240, 8, Content::Random, 1, 0},
                                         StripCase{273, 241, 8, Content::Random, 0, 1}));

// --- key frames and palettes -----------------------------------------------------------------

struct SeekCase {
  int32_t interval;
  std::vector<int32_t> before;  // frames loaded first (no keep)
  int32_t frame, flags;
  int32_t decodes;  // frames decoded for the last load
};
void PrintTo(const SeekCase& c, std::ostream* os) {
  *os << "interval " << c.interval << ", frame " << c.frame << " flags " << c.flags << " after";
  for (int32_t n : c.before) *os << " " << n;
}

class JexMovieSeek : public JexMovieTest, public testing::WithParamInterface<SeekCase> {};

TEST_P(JexMovieSeek, JumpsDecodeFromTheKeyFrame) {
  const SeekCase c = GetParam();
  JEXFast(0);
  JEXKeyFrameRate(c.interval);
  const int32_t w = 24, h = 6;
  {
    Writer wr(Path());
    for (int32_t t = 0; t < 40; ++t) wr.Image(w, h, 24, MakePixels(w, h, 3, Content::Moving, t));
    EXPECT_EQ(wr.hf()->PrevImg != nullptr, c.interval != 1);
  }
  Reader rd(Path());
  ASSERT_EQ(rd.open, kOk);
  EXPECT_EQ(JEXNeedsKeyFrames(rd.hf()), c.interval != 1);
  for (int32_t n : c.before) ASSERT_EQ(rd.Load(n), kOk);
  const int32_t before = rd.hf()->decoded;
  ASSERT_EQ(rd.Load(c.frame, c.flags), kOk);
  EXPECT_EQ(rd.hf()->decoded - before, c.decodes);
  EXPECT_EQ(rd.hf()->curFrame, c.frame);
  EXPECT_EQ(rd.Pixels(), MakePixels(w, h, 3, Content::Moving, c.frame - 1));
}

INSTANTIATE_TEST_SUITE_P(
    Intervals, JexMovieSeek,
    testing::Values(SeekCase{25, {10}, 30, 2, 5},        // 26 to 30
                    SeekCase{25, {27}, 30, 3, 3},        // keep: 28 to 30
                    SeekCase{25, {27}, 30, 2, 5},        // no keep: back to 26
                    SeekCase{25, {22}, 30, 3, 5},        // keep, but the key frame lies between
                    SeekCase{25, {27}, 27, 3, 0},        // keep: already there
                    SeekCase{25, {27}, 27, 2, 2},        // reload: 26, 27
                    SeekCase{25, {27}, 28, 2, 1},        // the next frame
                    SeekCase{25, {40}, 26, 2, 1},        // a key frame itself
                    SeekCase{0, {10}, 5, 2, 5},          // only frame 1 is a key frame
                    SeekCase{0, {10}, 12, 3, 2},         // keep: on from 10
                    SeekCase{1, {10}, 30, 2, 1},         // every frame is a key frame
                    SeekCase{1, {30}, 3, 2, 1}, SeekCase{7, {}, 40, 2, 5}));

// An 8-bit movie writes a palette chunk in the first frame and where the
// palette changes; a jump takes the palette of the last frame at or before.
TEST_F(JexMovieTest, PalettesAreWrittenWhenTheyChangeAndFoundByJumps) {
  JEXFast(1);
  JEXKeyFrameRate(3);  // key frames 1, 4, 7
  const int32_t w = 10, h = 4;
  const Bytes A = MakePalette(11), Bp = MakePalette(12);
  const std::vector<const Bytes*> pals = {&A, &Bp, &Bp, &Bp, &Bp, &A, &A};
  {
    Writer wr(Path());
    for (size_t t = 0; t < pals.size(); ++t) wr.Image(w, h, 8, MakePixels(w, h, 1, Content::Moving, int32_t(t)), *pals[t]);
  }
  const RFile f = Parse(ReadFile(Path()));
  const std::vector<uint32_t> flags = {1, 1, 0, 0, 0, 1, 0};
  for (size_t t = 0; t < flags.size(); ++t) EXPECT_EQ(f.frames[t].flags, flags[t]) << "frame " << t;

  struct Step {
    int32_t frame, flags;
    const Bytes* pal;
    bool changed;
  };
  // 5 by a jump decodes 4 and 5, which carry none: frame 2's palette.
  // 7 from 5 decodes 7 only (a key frame); 6 before it had one: palette A.
  const std::vector<Step> steps = {{5, 2, &Bp, true}, {7, 2, &A, true}, {6, 2, &A, true},
                                   {2, 2, &Bp, true}, {3, 2, &Bp, false}, {4, 3, &Bp, false}};
  Reader rd(Path());
  ASSERT_EQ(rd.open, kOk);
  for (const Step& s : steps) {
    ASSERT_EQ(rd.Load(s.frame, s.flags), kOk);
    EXPECT_EQ(rd.Palette(), *s.pal) << "frame " << s.frame;
    EXPECT_EQ(rd.hf()->palChanged != 0, s.changed) << "frame " << s.frame;
  }
  uint8_t pal[768];
  bool found = false;
  ASSERT_EQ(Try([&] { found = JEXGetPal(rd.hf(), pal, 3, 5); }), kOk);
  EXPECT_FALSE(found);
  ASSERT_EQ(Try([&] { found = JEXGetPal(rd.hf(), pal, 1, 99); }), kOk);
  EXPECT_TRUE(found);
  EXPECT_EQ(Bytes(pal, pal + 768), A);
}

TEST_F(JexMovieTest, LoadRangeAndEnd) {
  {
    Writer wr(Path());
    for (int32_t t = 0; t < 3; ++t) wr.Image(4, 4, 24, MakePixels(4, 4, 3, Content::Moving, t));
  }
  Reader rd(Path());
  ASSERT_EQ(rd.open, kOk);
  EXPECT_EQ(rd.Load(4), (Err{ERR_MVI, 1}));
  EXPECT_EQ(rd.Load(-1), (Err{ERR_MVI, 1}));
  for (int32_t t = 0; t < 3; ++t) ASSERT_EQ(rd.Load(0), kOk);
  EXPECT_EQ(rd.Load(0), (Err{ERR_JEX, 1}));
  EXPECT_EQ(rd.Load(3), kOk);
  int32_t key = 0;
  ASSERT_EQ(Try([&] { key = JEXNearestKeyFrame(rd.hf(), 4, -1); }), kOk);
  EXPECT_EQ(key, 1);
}

TEST_F(JexMovieTest, UnitSettings) {
  struct Case {
    int32_t (*routine)(int32_t);
    int32_t value, result;
  };
  JEXFast(1);
  JEXKeyFrameRate(25);
  const Case cases[] = {{JEXFast, 0, 0}, {JEXFast, 2, 0}, {JEXFast, UNDEF, 0}, {JEXFast, 1, 1},
                        {JEXFast, -1, 1}, {JEXKeyFrameRate, UNDEF, 25}, {JEXKeyFrameRate, -5, 0},
                        {JEXKeyFrameRate, 7, 7}, {JEXKeyFrameRate, INT32_MAX, INT32_MAX}};
  for (const Case& c : cases) EXPECT_EQ(c.routine(c.value), c.result) << c.value;
}

// --- sound -------------------------------------------------------------------------------

struct SoundCase {
  QWaveFormat format;
  std::vector<int32_t> blocks;  // sample frames per saved block
  int32_t piece;                // sample frames per load
  bool images;
};
void PrintTo(const SoundCase& c, std::ostream* os) {
  *os << c.format.samplesPerSec << "x" << c.format.channels << "x" << c.format.bitsPerSample << " pieces of "
      << c.piece << (c.images ? " with images" : " sound only");
}

class JexMovieSound : public JexMovieTest, public testing::WithParamInterface<SoundCase> {};

TEST_P(JexMovieSound, ConsecutivePiecesGiveBackWhatWasSaved) {
  const SoundCase c = GetParam();
  const int32_t align = c.format.blockAlign;
  JEXFast(0);
  Bytes saved;
  {
    Writer wr(Path());
    for (size_t i = 0; i < c.blocks.size(); ++i) {
      if (c.images) wr.Image(8, 2, 8, MakePixels(8, 2, 1, Content::Moving, int32_t(i)));
      wr.Sound(c.format, MakeSamples(size_t(c.blocks[i]) * size_t(align), uint32_t(i)));
      EXPECT_EQ(wr.hf()->sndPos * align, int32_t(wr.sound.size()));
    }
    saved = wr.sound;
  }
  const std::string b = ReadFile(Path());
  const RFile f = Parse(b);
  ASSERT_EQ(f.audio.size(), c.blocks.size());
  if (!c.images) { EXPECT_EQ(f.firstAudio, 64u); }
  EXPECT_EQ(f.frameCount, c.images ? int32_t(c.blocks.size()) : 0);
  EXPECT_EQ(f.audioFlags, (c.format.bitsPerSample == 16 ? 3u : 1u) + (c.format.channels == 2 ? 4u : 0u));
  EXPECT_EQ(f.sampleRate, uint32_t(c.format.samplesPerSec));
  if (!c.images) { EXPECT_EQ(b.size(), 64 + f.audio.size() * 16 + saved.size()); }

  Reader rd(Path());
  ASSERT_EQ(rd.open, kOk);
  EXPECT_TRUE(JEXHasSound(rd.hf()));
  EXPECT_EQ(WaveFormatDiffers(rd.hf()->sndFormat, c.format), false);
  const int32_t total = int32_t(saved.size()) / align;
  Bytes got;
  int32_t pos = 0;
  for (;;) {
    const Bytes piece = rd.Sound(pos, c.piece, 1);
    const int32_t frames = int32_t(piece.size()) / align;
    got.insert(got.end(), piece.begin(), piece.end());
    pos += frames;
    EXPECT_EQ(rd.hf()->sndPos, pos);
    if (frames < c.piece) break;
  }
  EXPECT_EQ(got, saved);
  EXPECT_TRUE(rd.Sound(pos, c.piece, 1).empty()) << "the load after the end";
  EXPECT_TRUE(rd.Sound(total + 5, c.piece, 0).empty()) << "beyond the end";

  // Seeks to any place give the same bytes.
  for (int32_t start : {0, total / 3, total - 1, total}) {
    const Bytes piece = rd.Sound(start, c.piece, 0);
    const size_t from = size_t(start) * size_t(align);
    const size_t to = std::min(saved.size(), from + size_t(c.piece) * size_t(align));
    EXPECT_EQ(piece, Bytes(saved.begin() + std::ptrdiff_t(from), saved.begin() + std::ptrdiff_t(to))) << start;
  }

  QffInfo info;
  ASSERT_EQ(Try([&] { JEXInfo(Path(), &info); }), kOk);
  EXPECT_EQ(info.media.hasSound, kTrue);
  EXPECT_EQ(info.media.sampleFrames, total);
  EXPECT_EQ(info.media.hasPictures, c.images ? kTrue : kFalse);
  EXPECT_EQ(info.media.videoName, c.images ? "BEST" : "");
}

INSTANTIATE_TEST_SUITE_P(Formats, JexMovieSound,
                         testing::Values(SoundCase{Pcm(22050, 2, 16), {1000, 700, 1300}, 600, true},
                                         SoundCase{Pcm(11025, 1, 8), {1000, 700, 1300}, 1000, true},
                                         SoundCase{Pcm(44100, 1, 16), {5, 1, 3000}, 7, false},
                                         SoundCase{Pcm(8000, 2, 8), {4096}, 4096, false},
                                         SoundCase{Pcm(8000, 2, 8), {100, 100}, 150, false}));

TEST_F(JexMovieTest, SoundIsStoredInTheFormatOfTheFirstBlock) {
  JEXFast(0);
  Bytes first = MakeSamples(400, 1);
  {
    Writer wr(Path());
    wr.Image(8, 2, 8, MakePixels(8, 2, 1, Content::Flat, 0));
    wr.Sound(Pcm(8000, 1, 16), first);
    // 8-bit samples are converted to the file's 16 bits.
    Bytes eight(100, 128 + 64);
    ASSERT_EQ(wr.TrySound(Pcm(8000, 1, 8), eight), kOk);
    EXPECT_EQ(wr.hf()->hdr.sampleCount, 300);
  }
  Reader rd(Path());
  ASSERT_EQ(rd.open, kOk);
  const Bytes all = rd.Sound(0, 1000, 0);
  ASSERT_EQ(all.size(), 600u);
  EXPECT_EQ(Bytes(all.begin(), all.begin() + 400), first);
  const int16_t s = int16_t(all[400] | all[401] << 8);
  EXPECT_NEAR(s, 64 * 256, 256);
}

TEST_F(JexMovieTest, WiderSoundsAreStoredAsSixteenBits) {
  QWaveFormat f24{};
  f24.formatTag = 1;
  f24.channels = 1;
  f24.samplesPerSec = 8000;
  f24.bitsPerSample = 24;
  WaveFormatComplete(f24);
  Bytes s24;
  for (int i = 0; i < 50; ++i) s24.insert(s24.end(), {0x00, uint8_t(i * 100), uint8_t(i)});
  {
    Writer wr(Path());
    ASSERT_EQ(wr.TrySound(f24, s24), kOk);
  }
  const RFile f = Parse(ReadFile(Path()));
  EXPECT_EQ(f.audioFlags, 3u);
  EXPECT_EQ(f.sampleCount, 50);
  Reader rd(Path());
  ASSERT_EQ(rd.open, kOk);
  const Bytes back = rd.Sound(0, 50, 0);
  ASSERT_EQ(back.size(), 100u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(back[size_t(2 * i + 1)], uint8_t(i)) << i;
}

// --- writer's limits ---------------------------------------------------------------------

TEST_F(JexMovieTest, ImagesAfterSoundOnlyAndOtherRefusals) {
  {
    Writer wr(Path());
    wr.Sound(Pcm(8000, 1, 8), MakeSamples(300, 1));
    EXPECT_EQ(wr.TryImage(8, 2, 8, MakePixels(8, 2, 1, Content::Flat, 0)), (Err{ERR_MVI, 2}));
    wr.Sound(Pcm(8000, 1, 8), MakeSamples(200, 2));
  }
  const RFile f = Parse(ReadFile(Path()));
  EXPECT_EQ(f.frameCount, 0);
  EXPECT_EQ(f.sampleCount, 500);
  {
    Writer wr(Path("b.jex"));
    wr.Image(8, 2, 24, MakePixels(8, 2, 3, Content::Flat, 0));
    EXPECT_EQ(wr.TryImage(8, 3, 24, MakePixels(8, 3, 3, Content::Flat, 0)), (Err{ERR_MVI, 2}));
    EXPECT_EQ(wr.TryImage(8, 2, 8, MakePixels(8, 2, 1, Content::Flat, 0)), (Err{ERR_MVI, 2}));
    EXPECT_EQ(wr.TryImage(8, 2, 32, MakePixels(8, 2, 4, Content::Flat, 0)), (Err{ERR_MVI, 2}));
    wr.Image(8, 2, 24, MakePixels(8, 2, 3, Content::Flat, 1));
  }
  EXPECT_EQ(Parse(ReadFile(Path("b.jex"))).frameCount, 2);
  Reader rd(Path("b.jex"));
  ASSERT_EQ(rd.open, kOk);
  Qimg img = test::MakeImg(8, 2, 24);
  EXPECT_EQ(Try([&] { JEXImgSave(rd.hf(), &img); }), (Err{ERR_MVI, 2}));
  ImgFree(&img);
}

// A movie holds 65536 frames: the next one is refused and the file stays whole.
TEST_F(JexMovieTest, TheFrameAfter65536IsRefused) {
  JEXFast(1);
  JEXKeyFrameRate(1);  // jumps decode one frame
  {
    Writer wr(Path());
    for (int32_t t = 0; t < kJexMaxFrames; ++t) {
      ASSERT_EQ(wr.TryImage(1, 1, 8, Bytes{uint8_t(t)}), kOk) << t;
    }
    EXPECT_EQ(wr.TryImage(1, 1, 8, Bytes{1}), (Err{ERR_MVI, 2}));
    EXPECT_EQ(wr.hf()->hdr.frameCount, kJexMaxFrames);
  }
  const std::string b = ReadFile(Path());
  const RFile f = Parse(b);
  ASSERT_EQ(f.frameCount, kJexMaxFrames);
  EXPECT_EQ(f.frames.back().offset + f.frames.back().head[3], b.size());
  Reader rd(Path());
  ASSERT_EQ(rd.open, kOk);
  ASSERT_EQ(rd.Load(kJexMaxFrames - 1), kOk);
  ASSERT_EQ(rd.Load(kJexMaxFrames, 3), kOk);
  EXPECT_EQ(rd.Pixels(), Bytes{uint8_t(kJexMaxFrames - 1)});
  EXPECT_EQ(rd.LoadNext(), (Err{ERR_JEX, 1}));
}

// --- reading other header sizes ------------------------------------------------------------

// Moves everything after the 64-byte header by `extra` bytes (the header
// grows), fixing every offset in the file.
std::string WithLongerHeader(const std::string& b, uint32_t extra) {
  const RFile f = Parse(b);
  std::string out = b.substr(0, 64) + std::string(extra, '\x55') + b.substr(64);
  auto fix = [&](size_t at) {
    const uint32_t v = U32(out, at);
    if (v != 0) Patch32(out, at, v + extra);
  };
  Patch32(out, 4, 64 + extra);
  fix(52);
  for (int i = 0; i < 256; ++i) fix(64 + extra + size_t(4 * i));
  for (size_t i = 0; i < f.frames.size(); ++i) fix(f.top[i / 256] + extra + 12 * (i % 256));
  for (const RAudio& a : f.audio) fix(a.offset + extra + 8);
  return out;
}

TEST_F(JexMovieTest, LongerHeadersAreSkipped) {
  {
    Writer wr(Path());
    for (int32_t t = 0; t < 3; ++t) {
      wr.Image(12, 5, 8, MakePixels(12, 5, 1, Content::Moving, t), MakePalette(3));
      wr.Sound(Pcm(8000, 1, 8), MakeSamples(77, uint32_t(t)));
    }
  }
  WriteFile(Path("long.jex"), WithLongerHeader(ReadFile(Path()), 40));
  Reader rd(Path("long.jex"));
  ASSERT_EQ(rd.open, kOk);
  EXPECT_EQ(rd.hf()->hdr.headerSize, 104u);
  for (int32_t t = 0; t < 3; ++t) {
    ASSERT_EQ(rd.Load(0), kOk);
    EXPECT_EQ(rd.Pixels(), MakePixels(12, 5, 1, Content::Moving, t));
  }
  EXPECT_EQ(rd.Sound(0, 1000, 0).size(), 231u);
}

// --- hostile files -------------------------------------------------------------------------

// What a damaged file does: open, load every frame, read all sound.
struct Damage {
  const char* name;
  std::function<void(std::string&, const RFile&)> apply;
  Err open, load, sound;
};
void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class JexMovieDamage : public JexMovieTest, public testing::WithParamInterface<Damage> {
 protected:
  // An 8-bit movie with palettes and compressed strips and a 24-bit BEST-P
  // movie, both with sound in three blocks.
  std::string Source(int32_t bpp) {
    JEXFast(bpp == 8 ? 1 : 0);
    JEXKeyFrameRate(2);
    const int32_t B = bpp / 8;
    const Content content = bpp == 8 ? Content::Moving : Content::Ramp;  // both compress
    {
      Writer wr(Path("source.jex"));
      for (int32_t t = 0; t < 4; ++t) {
        wr.Image(20, 6, bpp, MakePixels(20, 6, B, content, t), MakePalette(uint32_t(t / 2)));
        if (t < 3) wr.Sound(Pcm(8000, 1, 8), MakeSamples(50, uint32_t(t)));
      }
      EXPECT_EQ(wr.hf()->hdr.codecFlags, bpp == 8 ? JEX_FAST : JEX_PREDICT);
    }
    return ReadFile(Path("source.jex"));
  }
};

TEST_P(JexMovieDamage, FailsCleanly) {
  const Damage& d = GetParam();
  for (int32_t bpp : {8, 24}) {
    SCOPED_TRACE(bpp);
    std::string b = Source(bpp);
    const RFile f = Parse(b);
    d.apply(b, f);
    WriteFile(Path(), b);
    const int32_t blocks = MemCount(), files = FCount();
    {
      Reader rd(Path());
      EXPECT_EQ(rd.open, d.open);
      if (rd.open == kOk) {
        Err load = kOk;
        for (int32_t n = 1; n <= rd.hf()->hdr.frameCount && load == kOk; ++n) load = rd.Load(n);
        EXPECT_EQ(load, d.load);
        Err sound = kOk;
        for (int32_t pos = 0, i = 0; i < 100; ++i) {
          const Bytes piece = rd.Sound(pos, 40, 1, &sound);
          if (sound != kOk || piece.empty()) break;
          pos += int32_t(piece.size());
        }
        EXPECT_EQ(sound, d.sound);
      }
      QffInfo info;
      EXPECT_EQ(Try([&] { JEXInfo(Path(), &info); }), d.open);
    }
    EXPECT_EQ(MemCount(), blocks);
    EXPECT_EQ(FCount(), files);
  }
}

constexpr Err kBad{ERR_MVI, 1}, kCorrupt{ERR_MVI, 3}, kShort{ERR_FILE, 3};

// Offsets of the parts of the first frame.
size_t ImageChunk(const RFile& f) { return f.frames[0].offset + 16 + (f.frames[0].hasPal ? 784 : 0); }
size_t Entry(const RFile& f, size_t frame) { return f.top[0] + 12 * frame; }

INSTANTIATE_TEST_SUITE_P(
    Files, JexMovieDamage,
    testing::Values(
        Damage{"Intact", [](std::string&, const RFile&) {}, kOk, kOk, kOk},
        Damage{"Empty", [](std::string& b, const RFile&) { b.clear(); }, kShort, kOk, kOk},
        Damage{"SevenBytes", [](std::string& b, const RFile&) { b.resize(7); }, kShort, kOk, kOk},
        Damage{"HalfHeader", [](std::string& b, const RFile&) { b.resize(40); }, kShort, kOk, kOk},
        Damage{"NoTopIndex", [](std::string& b, const RFile&) { b.resize(600); }, kShort, kOk, kOk},
        Damage{"NoIndexBlock", [](std::string& b, const RFile&) { b.resize(2000); }, kBad, kOk, kOk},
        Damage{"TruncatedInFrame", [](std::string& b, const RFile& f) { b.resize(f.frames[1].offset + 30); },
               kOk, kBad, kBad},
        Damage{"LastByteMissing", [](std::string& b, const RFile&) { b.pop_back(); }, kOk, kBad, kOk},
        Damage{"BadMagic", [](std::string& b, const RFile&) { b[3] = 0x1B; }, kBad, kOk, kOk},
        Damage{"BadVersion", [](std::string& b, const RFile&) { Patch32(b, 8, 98); }, {ERR_MVI, 5}, kOk, kOk},
        Damage{"HeaderSizeFour", [](std::string& b, const RFile&) { Patch32(b, 4, 4); }, kBad, kOk, kOk},
        Damage{"HeaderSizeHuge", [](std::string& b, const RFile&) { Patch32(b, 4, 0xFFFFFFF0u); }, kShort, kOk, kOk},
        Damage{"NegativeFrames", [](std::string& b, const RFile&) { Patch32(b, 28, 0xFFFFFFFFu); }, kBad, kOk, kOk},
        Damage{"TooManyFrames", [](std::string& b, const RFile&) { Patch32(b, 28, 65537); }, kBad, kOk, kOk},
        Damage{"MoreFramesThanIndexed", [](std::string& b, const RFile&) { Patch32(b, 28, 300); }, kOk, kBad, kOk},
        Damage{"HugeWidth", [](std::string& b, const RFile&) { Patch32(b, 12, 0x7FFFFFFF); }, kBad, kOk, kOk},
        Damage{"LargeFrames", [](std::string& b, const RFile&) { Patch32(b, 12, 30000); Patch32(b, 16, 20000); },
               kBad, kOk, kOk},
        Damage{"ZeroHeight", [](std::string& b, const RFile&) { Patch32(b, 16, 0); }, kBad, kOk, kOk},
        Damage{"FourBytesPerPixel", [](std::string& b, const RFile&) { Patch32(b, 20, 4); }, kBad, kOk, kOk},
        Damage{"NegativeInterval", [](std::string& b, const RFile&) { Patch32(b, 32, 0xFFFFFFFEu); }, kBad, kOk, kOk},
        Damage{"PredictionOnEightBits", [](std::string& b, const RFile&) { Patch32(b, 20, 1); Patch32(b, 24, 2); },
               kBad, kOk, kOk},
        Damage{"TopIndexBeyondFile", [](std::string& b, const RFile&) { Patch32(b, 64, 0x7FFFFFF0u); }, kBad, kOk, kOk},
        Damage{"FrameOffsetBeyondFile", [](std::string& b, const RFile& f) { Patch32(b, Entry(f, 1), uint32_t(b.size())); },
               kOk, kBad, kOk},
        Damage{"FirstReadTooLarge", [](std::string& b, const RFile& f) { Patch32(b, Entry(f, 0) + 4, 20 * 6 * 3 + 8193 + 4000); },
               kOk, kBad, kOk},
        Damage{"FirstReadTooSmall", [](std::string& b, const RFile& f) { Patch32(b, Entry(f, 0) + 4, 8); }, kOk, kBad, kOk},
        Damage{"FirstReadShort", [](std::string& b, const RFile& f) { Patch32(b, Entry(f, 0) + 4, f.frames[0].firstRead - 5); },
               kOk, kCorrupt, kOk},
        Damage{"ChunkOffsetBeyond", [](std::string& b, const RFile& f) { Patch32(b, f.frames[0].offset + 4, 0xFFFFFFF0u); },
               kOk, kCorrupt, kOk},
        Damage{"NoChunks", [](std::string& b, const RFile& f) { Patch32(b, f.frames[0].offset + 8, 0); }, kOk, kCorrupt, kOk},
        Damage{"ManyChunks", [](std::string& b, const RFile& f) { Patch32(b, f.frames[1].offset + 8, 0xFFFFFFFFu); },
               kOk, kOk, kOk},
        Damage{"UnknownChunk", [](std::string& b, const RFile& f) { Patch32(b, ImageChunk(f), 9); }, kOk, kCorrupt, kOk},
        Damage{"TooManyStrips", [](std::string& b, const RFile& f) { Patch32(b, ImageChunk(f) + 8, 129); }, kOk, kCorrupt, kOk},
        Damage{"StripsBeyondRead", [](std::string& b, const RFile& f) { Patch32(b, ImageChunk(f) + 8, 100); }, kOk, kCorrupt, kOk},
        Damage{"NoStrips", [](std::string& b, const RFile& f) { Patch32(b, ImageChunk(f) + 8, 0); }, kOk, kCorrupt, kOk},
        Damage{"ChunkHeaderSizeZero", [](std::string& b, const RFile& f) { Patch32(b, ImageChunk(f) + 4, 0); }, kOk, kCorrupt, kOk},
        Damage{"StripRecordSizeZero", [](std::string& b, const RFile& f) { Patch32(b, ImageChunk(f) + 20, 0); }, kOk, kCorrupt, kOk},
        Damage{"StripRecordSizeHuge", [](std::string& b, const RFile& f) { Patch32(b, ImageChunk(f) + 20, 0x10000000); },
               kOk, kCorrupt, kOk},
        Damage{"StripTooFewRows", [](std::string& b, const RFile& f) { Patch32(b, ImageChunk(f) + 28, 5); }, kOk, kCorrupt, kOk},
        Damage{"StripTooManyRows", [](std::string& b, const RFile& f) { Patch32(b, ImageChunk(f) + 28, 0x80000000u); },
               kOk, kCorrupt, kOk},
        Damage{"StripDataTooLarge", [](std::string& b, const RFile& f) { Patch32(b, ImageChunk(f) + 24, 0xFFFFFF00u); },
               kOk, kCorrupt, kOk},
        Damage{"StripDataBeyondRead", [](std::string& b, const RFile& f) { Patch32(b, ImageChunk(f) + 24, f.frames[0].strips[0].size + 100); },
               kOk, kCorrupt, kOk},
        Damage{"StripReadApartBeyondFile", [](std::string& b, const RFile& f) {
                 // The strip is read after the first read, from a file that ends in it.
                 const RStrip& s = f.frames[0].strips[0];
                 Patch32(b, ImageChunk(f) + 12, 0);
                 Patch32(b, Entry(f, 0) + 4, f.frames[0].firstRead - s.size);
                 b.resize(s.data + s.size / 2);
               }, kOk, kShort, kBad},
        Damage{"RawStripOfWrongSize", [](std::string& b, const RFile& f) {
                 Patch32(b, ImageChunk(f) + 32, 0);
                 Patch32(b, ImageChunk(f) + 24, f.frames[0].strips[0].size - 1);
               }, kOk, kCorrupt, kOk},
        Damage{"StripStreamBroken", [](std::string& b, const RFile& f) {
                 EXPECT_EQ(f.frames[0].strips[0].compressed, 1u);
                 for (size_t i = 0; i < f.frames[0].strips[0].size; ++i) b[f.frames[0].strips[0].data + i] = '\0';
               }, kOk, kCorrupt, kOk},
        Damage{"StripsOfRandomBytes", [](std::string& b, const RFile& f) {
                 std::mt19937 rng(5);
                 for (const RFrame& fr : f.frames)
                   for (size_t i = 0; i < fr.strips[0].size; ++i) b[fr.strips[0].data + i] = char(rng());
               }, kOk, kCorrupt, kOk},
        Damage{"PaletteBeyond256", [](std::string& b, const RFile& f) {
                 Patch32(b, f.frames[0].offset + 16 + 12, 200);
                 if (!f.frames[0].hasPal) Patch32(b, ImageChunk(f) + 8, 200);
               }, kOk, kCorrupt, kOk},
        Damage{"PaletteCountHuge", [](std::string& b, const RFile& f) {
                 Patch32(b, f.frames[0].offset + 16 + 8, 0x7FFFFFFF);
                 if (!f.frames[0].hasPal) Patch32(b, ImageChunk(f) + 8, 200);
               }, kOk, kCorrupt, kOk},
        Damage{"AudioBeyondFile", [](std::string& b, const RFile&) { Patch32(b, 52, 0x7FFFFFF0u); }, kOk, kOk, kBad},
        Damage{"AudioFramesHuge", [](std::string& b, const RFile& f) { Patch32(b, f.audio[1].offset + 12, 0x7FFFFFFF); },
               kOk, kOk, kBad},
        Damage{"AudioCycle", [](std::string& b, const RFile& f) { Patch32(b, f.audio[2].offset + 8, f.audio[0].offset); },
               kOk, kOk, kOk},
        Damage{"AudioEmptyCycle", [](std::string& b, const RFile& f) {
                 Patch32(b, f.audio[0].offset + 12, 0);
                 Patch32(b, f.audio[0].offset + 8, f.audio[0].offset);
               }, kOk, kOk, kBad},
        Damage{"AudioNoRate", [](std::string& b, const RFile&) { Patch32(b, 48, 0); }, kBad, kOk, kOk},
        Damage{"AudioNegativeCount", [](std::string& b, const RFile&) { Patch32(b, 60, 0xFFFFFFFFu); }, kBad, kOk, kOk}),
    [](const testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

// Every allocation of a load may fail: the failure is reported and nothing
// stays behind.
TEST_F(JexMovieTest, RefusedAllocationsLeaveNothingBehind) {
  JEXFast(0);
  {
    Writer wr(Path());
    for (int32_t t = 0; t < 3; ++t) {
      wr.Image(16, 4, 24, MakePixels(16, 4, 3, Content::Ramp, t));
      wr.Sound(Pcm(8000, 1, 8), MakeSamples(64, uint32_t(t)));
    }
  }
  auto hf = std::make_unique<QJexFile>();
  Qimg img{};
  Qsnd snd{};
  test::EveryAllocationFails(
      [&] {
        JEXOpen(hf.get(), Path());
        JEXImgLoad(hf.get(), &img, 3, 2);
        JEXSndLoad(hf.get(), &snd, 10, 1, 100);
        JEXClose(hf.get());
        ImgFree(&img);
        SndFree(snd);
      },
      [&] {
        if (hf->fileOpen) JEXClose(hf.get());
        test::Release(img);
        if (MemIsTracked(&snd.SndData)) SndFree(snd);
        snd = Qsnd{};
      });
}

}  // namespace
}  // namespace zelo
