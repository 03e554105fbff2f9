#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "foundation/common.h"
#include "foundation/miscprocs.h"
#include "foundation/trace.h"
#include "support/temp_dir.h"
#include "zelo/zelo.h"

namespace zelo {
namespace {

TEST(Trace, LogStartWritesTheHeader) {
  test::TempDir dir;
  std::string name = dir / "trace.txt";
  ZeloLogStart(name.c_str(), ZELO_TRUE);
  EXPECT_TRUE(TraceActive());
  EXPECT_TRUE(ExportTraceOn());
  ZeloLogStop();
  EXPECT_FALSE(TraceActive());
  EXPECT_FALSE(ExportTraceOn());
  auto lines = test::ReadLines(name);
  ASSERT_EQ(lines.size(), 13u) << "header, memory at start, memory at stop";
  EXPECT_EQ(lines[0], "ZELO 2.3.4");
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(Trace started at \d{4}-\d\d-\d\d, \d\d:\d\d)")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(OS: Linux v\d+\.\d+ - build \d+)"))) << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(CPU: .+, processors: \d+)"))) << lines[3];
  EXPECT_EQ(lines[4], std::string(40, '-'));
  EXPECT_EQ(lines[5], "#Physical memory:");
  EXPECT_TRUE(std::regex_match(lines[6], std::regex("#\t  total: [0-9,]+\tk, free: [0-9,]+k"))) << lines[6];
  EXPECT_EQ(lines[7], "#Swap memory:");
}

TEST(Trace, NameWithoutFolderGoesToTheHostProgramsFolder) {
  std::string name = "zelo-trace-test-" + std::to_string(::getpid()) + ".txt";
  ZeloLogStart(name.c_str(), ZELO_FALSE);
  ZeloLogStop();
  std::string placed = GetAppDir() + name;
  EXPECT_EQ(test::ReadLines(placed).at(0), "ZELO 2.3.4");
  ::unlink(placed.c_str());
}

TEST(Trace, InactiveTraceWritesNothing) {
  test::TempDir dir;
  TraceSetFile(dir / "never.txt");
  TraceLine("x");
  TraceText("y");
  EXPECT_FALSE(std::filesystem::exists(dir / "never.txt"));
  ZeloLogStart("", ZELO_TRUE);
  EXPECT_FALSE(TraceActive());
  EXPECT_FALSE(ExportTraceOn());
}

TEST(Trace, UncreatableFileLeavesTheTraceOffButSetsTheSwitch) {
  ZeloLogStart("/nonexistent-dir/zelo/trace.txt", ZELO_TRUE);
  EXPECT_FALSE(TraceActive());
  EXPECT_TRUE(ExportTraceOn());
  ZeloLogStop();
}

TEST(Trace, Renderers) {
  EXPECT_EQ(StrInt(-1), "4294967295");
  EXPECT_EQ(StrHex(0xAF100D7Cu), "0xAF100D7C");
  EXPECT_EQ(StrReal(25), "25.00");
  EXPECT_EQ(StrBool(-1), "TRUE");
  EXPECT_EQ(StrBool(0), "FALSE");
  EXPECT_EQ(StrPtr(nullptr), "NULL");
  EXPECT_EQ(StrPtr(reinterpret_cast<void*>(0x1234)), "0x00001234");
}

}  // namespace
}  // namespace zelo
