// The run-length coders of the Targa, PCX and bitmap modules, on byte strings.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "formats/imgfile.h"

namespace zelo {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Repeat(const Bytes& pixel, int n) {
  Bytes out;
  for (int i = 0; i < n; ++i) out.insert(out.end(), pixel.begin(), pixel.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes TgaEncode(const Bytes& row, int32_t p) {
  Bytes out(row.size() * 2);
  const int64_t n = TGAEncodeRow_(row.data(), int32_t(row.size() / p), p, out.data(), int64_t(out.size()));
  EXPECT_GE(n, 0);
  out.resize(size_t(std::max<int64_t>(n, 0)));
  return out;
}

Bytes PcxEncode(const Bytes& src) {
  Bytes out(src.size() * 2);
  const int64_t n = PCXEncode_(src.data(), int64_t(src.size()), out.data(), int64_t(out.size()));
  EXPECT_GE(n, 0);
  out.resize(size_t(std::max<int64_t>(n, 0)));
  return out;
}

TEST(TargaCoder, PacketsOfTheEncoder) {
  const Bytes a = {1, 2, 3}, b = {4, 5, 6};
  const struct {
    const char* what;
    Bytes row;
    int32_t p;
    Bytes coded;
  } cases[] = {
      {"130 equal pixels", Repeat(a, 130), 3, Cat({{0xFF}, a, {0x81}, a})},
      {"A B A B", Cat({a, b, a, b}), 3, Cat({{3}, a, b, a, b})},
      {"one pixel", a, 3, Cat({{0}, a})},
      {"two equal pixels", Cat({a, a}), 3, Cat({{0x81}, a})},
      {"literal then run", {7, 8, 9, 9, 9}, 1, {1, 7, 8, 0x82, 9}},
      {"run then literal", {9, 9, 7, 8}, 1, {0x81, 9, 1, 7, 8}},
      {"128 equal then one", Repeat({5}, 129), 1, {0xFF, 5, 0, 5}},
      {"16-bit words", {1, 0x80, 1, 0x80, 2, 0}, 2, {0x81, 1, 0x80, 0, 2, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(TgaEncode(c.row, c.p), c.coded) << c.what;

  // 129 different pixels: a full literal packet of 128 and one of 1.
  Bytes distinct;
  for (int i = 0; i < 129; ++i) distinct.push_back(uint8_t(i));
  const Bytes coded = TgaEncode(distinct, 1);
  ASSERT_EQ(coded.size(), 131u);
  EXPECT_EQ(coded[0], 127);
  EXPECT_EQ(coded[129], 0);
  EXPECT_EQ(coded[130], 128);
}

TEST(TargaCoder, EncodedRowsDecodeToThemselves) {
  std::mt19937 rng(7);
  for (int32_t p = 1; p <= 4; ++p) {
    for (int32_t pixels : {1, 2, 3, 127, 128, 129, 255, 256, 257, 1000}) {
      Bytes row;
      for (int32_t i = 0; i < pixels; ++i) {
        // Mostly runs of random length, with stretches of noise.
        const uint8_t v = uint8_t(rng() % 4 == 0 ? rng() : (i / (1 + rng() % 200)) & 3);
        for (int32_t k = 0; k < p; ++k) row.push_back(uint8_t(v + k));
      }
      const Bytes coded = TgaEncode(row, p);
      Bytes back(row.size(), 0xEE);
      EXPECT_EQ(TGADecode_(coded.data(), int64_t(coded.size()), back.data(), int64_t(back.size()), p),
                int64_t(row.size()));
      EXPECT_EQ(back, row) << p << " bytes, " << pixels << " pixels";
    }
  }
}

TEST(TargaCoder, DecoderStaysInsideItsBuffers) {
  const struct {
    const char* what;
    Bytes coded;
    size_t room;
    Bytes decoded;  // the destination afterwards (filled with 0xEE before)
    int64_t produced;
  } cases[] = {
      {"run cut at the end of the picture", {0xFF, 7}, 3, {7, 7, 7}, 3},
      {"literal cut at the end of the picture", {3, 1, 2, 3, 4}, 2, {1, 2}, 2},
      {"literal cut by the end of the data", {3, 1, 2}, 4, {1, 2, 0xEE, 0xEE}, 2},
      {"run header without its pixel", {0x85}, 2, {0xEE, 0xEE}, 0},
      {"no data", {}, 1, {0xEE}, 0},
  };
  for (const auto& c : cases) {
    Bytes dest(c.room, 0xEE);
    EXPECT_EQ(TGADecode_(c.coded.data(), int64_t(c.coded.size()), dest.data(), int64_t(dest.size()), 1),
              c.produced)
        << c.what;
    EXPECT_EQ(dest, c.decoded) << c.what;
  }
  // A 3-byte pixel whose value is cut by the end of the data writes nothing.
  Bytes dest(6, 0xEE);
  const Bytes coded = {0x81, 1, 2};
  EXPECT_EQ(TGADecode_(coded.data(), 3, dest.data(), 6, 3), 0);
}

TEST(PcxCoder, RunsAndSingleBytes) {
  const struct {
    const char* what;
    Bytes data;
    Bytes coded;
  } cases[] = {
      {"64 equal bytes below 192", Repeat({5}, 64), {0xFF, 5, 5}},
      {"single byte 200", {200}, {193, 200}},
      {"single byte 191", {191}, {191}},
      {"two equal bytes", {7, 7}, {0xC2, 7}},
      {"63 bytes of 192", Repeat({192}, 63), {0xFF, 192}},
      {"mixed", {1, 2, 2, 250, 3}, {1, 0xC2, 2, 0xC1, 250, 3}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PcxEncode(c.data), c.coded) << c.what;
    Bytes back(c.data.size());
    QPcxDecoder d{c.coded.data(), int64_t(c.coded.size()), 0, 0, 0};
    EXPECT_EQ(PCXDecode_(&d, back.data(), int64_t(back.size())), int64_t(c.data.size())) << c.what;
    EXPECT_EQ(back, c.data) << c.what;
  }
}

TEST(PcxCoder, RunsGoOnIntoTheNextLineAndStopWithTheData) {
  const Bytes coded = {0xC5, 9, 1, 0xC3};  // five 9s, a 1, then a run header without its value
  QPcxDecoder d{coded.data(), int64_t(coded.size()), 0, 0, 0};
  Bytes line(3, 0);
  EXPECT_EQ(PCXDecode_(&d, line.data(), 3), 3);
  EXPECT_EQ(line, (Bytes{9, 9, 9}));
  EXPECT_EQ(PCXDecode_(&d, line.data(), 3), 3);
  EXPECT_EQ(line, (Bytes{9, 9, 1}));
  EXPECT_EQ(PCXDecode_(&d, line.data(), 3), 0);
}

// Decodes into a picture of width x rows bytes filled with 0xEE.
Bytes DecodeRle8(const Bytes& coded, int32_t width, int32_t rows) {
  Bytes dest(size_t(width) * rows, 0xEE);
  DIBDecodeRLE8_(coded.data(), int64_t(coded.size()), dest.data(), int64_t(dest.size()), width);
  return dest;
}

TEST(BitmapRle8, Codes) {
  const uint8_t E = 0xEE;
  const struct {
    const char* what;
    Bytes coded;
    int32_t width, rows;
    Bytes decoded;
  } cases[] = {
      {"runs and complete lines", {2, 1, 1, 2, 0, 0, 3, 3, 0, 1}, 3, 2, {1, 1, 2, 3, 3, 3}},
      {"a short line ends at the next row", {1, 5, 0, 0, 2, 6}, 3, 2, {5, E, E, 6, 6, E}},
      {"end of bitmap", {3, 4, 0, 1, 3, 5}, 3, 2, {4, 4, 4, E, E, E}},
      {"stream ending early", {2, 9}, 3, 2, {9, 9, E, E, E, E}},
      {"delta", {1, 1, 0, 2, 1, 1, 1, 2}, 3, 2, {1, E, E, E, E, 2}},
      {"absolute run with odd count", {0, 3, 7, 8, 9, 0, 0, 0, 1, 6}, 3, 2, {7, 8, 9, 6, E, E}},
      {"absolute run with even count", {0, 4, 1, 2, 3, 4, 1, 6}, 5, 1, {1, 2, 3, 4, 6}},
      {"run cut at the end of the row", {9, 4, 0, 0, 1, 5}, 2, 2, {4, 4, 5, E}},
      {"coded row padding is dropped", {3, 1, 1, 0, 0, 0, 3, 2, 1, 0}, 3, 2, {1, 1, 1, 2, 2, 2}},
      {"absolute run beyond the row", {0, 4, 1, 2, 3, 4, 0, 0, 1, 5}, 3, 2, {1, 2, 3, 5, E, E}},
      {"absolute run cut by the data", {0, 5, 1, 2}, 3, 2, {1, 2, E, E, E, E}},
      {"delta beyond the picture", {0, 2, 200, 200, 1, 1}, 3, 2, {E, E, E, E, E, E}},
      {"rows beyond the picture", {0, 0, 0, 0, 1, 4}, 2, 2, {E, E, E, E}},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeRle8(c.coded, c.width, c.rows), c.decoded) << c.what;
}

}  // namespace
}  // namespace zelo
