#include <gtest/gtest.h>

#include "foundation/basic.h"
#include "foundation/miscprocs.h"

namespace zelo {
namespace {

TEST(Utils, FmtIntForms) {
  const struct {
    int32_t width;
    int64_t value;
    const char* text;
  } cases[] = {
      {0, -1, "4294967295"}, {103, 7, "  7"},      {100, 1000, "1,000"},   {0, 0, "0"},
      {202, 5, "05"},        {5, 42, "   42"},     {100, 999, "999"},      {100, 1234567, "1,234,567"},
      {2, 12345, "12345"},   {108, 1234, "   1,234"}, {204, 123456, "123456"},
  };
  for (const auto& c : cases) EXPECT_EQ(FmtInt(c.width, c.value), c.text) << c.width << " " << c.value;
}

TEST(Utils, FmtRealAndRounding) {
  EXPECT_EQ(FmtReal(0, 2, 25), "25.00");
  EXPECT_EQ(FmtReal(8, 1, -2.25), "    -2.2");
  EXPECT_DOUBLE_EQ(RoundEx(2, 2.999), 2.99);
  EXPECT_DOUBLE_EQ(RoundEx(1, -2.25), -2.2);
  EXPECT_DOUBLE_EQ(RoundEx(20, 1.5), 1.5);
  EXPECT_EQ(DivisibleInt(17, 5), 15);
  EXPECT_EQ(DivisibleInt(-17, 5), -15);
}

TEST(Utils, SecToStrForms) {
  const struct {
    int32_t flags;
    double seconds;
    const char* text;
  } cases[] = {
      {0, 3725.5, "01:02:05.500"}, {0, 75, "01:15"},         {0, 0.25, "0.250"},
      {23, 59, "00:00:59"},        {23, 3725.5, "01:02:05"}, {0, 0, ""},
      {8, 0, "0.000"},             {4, 3, "03"},             {2, 3, "00:03"},
      {0, 36000, "10:00:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(SecToStr(c.flags, c.seconds), c.text) << c.flags << " " << c.seconds;
}

TEST(Utils, GetNextBlockSplitsAtSeparators) {
  const struct {
    const char* text;
    const char* sep;
    std::vector<std::string> pieces;
  } cases[] = {
      {"a;;b", ";", {"a", "", "b"}},
      {"a;b;", ";", {"a", "b"}},
      {"one", ";", {"one"}},
      {"", ";", {}},
      {"x<>y<>z", "<>", {"x", "y", "z"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    std::string piece;
    int32_t pos = 1;
    while (GetNextBlock(c.text, c.sep, piece, pos)) got.push_back(piece);
    EXPECT_EQ(got, c.pieces) << c.text;
  }
  int32_t pos = 1;
  EXPECT_TRUE(FindNextMarker("abcabc", "ca", pos));
  EXPECT_EQ(pos, 3);
  pos = 4;
  EXPECT_FALSE(FindNextMarker("abcabc", "ca", pos));
  EXPECT_EQ(pos, 4);
}

TEST(Utils, ByteHelpers) {
  const uint8_t a[] = {1, 2, 3}, b[] = {1, 2, 4};
  EXPECT_EQ(CompareBytes(3, a, b), 1);
  EXPECT_EQ(CompareBytes(3, b, a), 2);
  EXPECT_EQ(CompareBytes(2, a, b), 0);
  EXPECT_EQ(CompareBytes(0, a, b), 0);
  const char hay[] = "xxABxxABxx";
  EXPECT_EQ(FindBytes(2, 10, 2, hay, "AB"), 2);
  EXPECT_EQ(FindBytes(3, 10, 2, hay, "AB"), 3);
  EXPECT_EQ(FindBytes(4, 10, 2, hay, "AB"), 0);
  EXPECT_EQ(FindBytes(1, 0, 2, hay, "AB"), 0);
  uint8_t buf[9] = {};
  FillTriples(0x112233, 3, buf);
  EXPECT_EQ(buf[0], 0x11);
  EXPECT_EQ(buf[8], 0x33);
  uint8_t move[6] = {1, 2, 3, 4, 5, 6};
  MoveBytes(4, move + 2, move);
  EXPECT_EQ(move[5], 4);
  EXPECT_EQ(ClampInt(5, 10, 1), 10);
  EXPECT_EQ(ClampInt(5, 1, 10), 5);
  EXPECT_EQ(Swap16(0x1234), 0x3412);
  EXPECT_EQ(Swap32(0x12345678u), 0x78563412u);
  EXPECT_EQ(SwapRGB(0xAABBCCDDu), 0xAADDCCBBu);
  EXPECT_TRUE(SameReal(1.0, 1.00005));
  EXPECT_FALSE(SameReal(1.0, 1.001));
  EXPECT_EQ(DecToInt("1234"), 1234);
  EXPECT_EQ(DecToInt(""), 0);
}

TEST(Utils, FileNameHelpers) {
  EXPECT_EQ(AddBS(""), "");
  EXPECT_EQ(AddBS("/tmp"), "/tmp/");
  EXPECT_EQ(AddBS("/tmp/"), "/tmp/");
  std::string app = GetAppDir();
  EXPECT_EQ(app.back(), '/');
  EXPECT_EQ(app.front(), '/');
  EXPECT_EQ(GetTempFolder().back(), '/');
  EXPECT_EQ(RepChar('-', 3), "---");
}

}  // namespace
}  // namespace zelo
