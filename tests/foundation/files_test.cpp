#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "support/temp_dir.h"

namespace zelo {
namespace {

class FilesTest : public testing::Test {
 protected:
  void SetUp() override { base_ = FCount(); }
  void TearDown() override {
    EXPECT_EQ(FCount(), base_) << "a test left files open";
    ErrClear();
  }
  test::TempDir dir_;
  int32_t base_ = 0;
};

TEST_F(FilesTest, OpeningAMissingFileNamesIt) {
  int32_t h = 0;
  std::string name = dir_ / "a.bmp";
  EXPECT_EQ(FOpen(h, name, FM_READ), 1);
  EXPECT_EQ(h, UNDEF);
  EXPECT_EQ(ErrCategory(), ERR_FILE);
  EXPECT_EQ(ErrCode(), 1);
  EXPECT_EQ(ErrText(ERR_FILE, 1), "Cannot open file: " + name);
}

TEST_F(FilesTest, OpenFailuresByMode) {
  std::string missingDir = dir_ / "no/such/dir/x.bin";
  struct Case {
    int32_t flags;
    int32_t code;
    const char* text;
  } cases[] = {{FM_CREATE, 2, "Cannot create file: "},
               {FM_APPEND, 7, "Cannot append to file: "},
               {0, 1, "Cannot open file: "},
               {FM_READ, 1, "Cannot open file: "}};
  for (const auto& c : cases) {
    int32_t h = 0;
    EXPECT_EQ(FOpen(h, missingDir, c.flags), c.code) << c.flags;
    EXPECT_EQ(h, UNDEF);
    EXPECT_EQ(ErrText(ERR_FILE, c.code), c.text + missingDir);
  }
  int32_t h = 0;
  EXPECT_EQ(FOpen(h, dir_.path(), FM_READ), 1) << "a folder is not a file";
  EXPECT_EQ(TXTOpen(h, missingDir, FM_CREATE), 2);
  EXPECT_EQ(TXTOpen(h, missingDir, FM_APPEND), 7);
  EXPECT_EQ(TXTOpen(h, missingDir, 0), 1);
}

TEST_F(FilesTest, ReadWriteSeekSizeAndPosition) {
  std::string name = dir_ / "rw.bin";
  int32_t h = 0;
  ASSERT_EQ(FOpen(h, name, FM_CREATE), 0);
  EXPECT_EQ(FWrite(h, "0123456789", 10), 0);
  EXPECT_EQ(FSize(h), 10);
  EXPECT_EQ(FPos(h), 10);
  EXPECT_EQ(FSeek(h, 2), 0);
  char buf[4] = {};
  EXPECT_EQ(FRead(h, buf, 3), 0);
  EXPECT_EQ(std::string(buf, 3), "234");
  EXPECT_EQ(FWrite(h, "x", 1), 0) << "write after read on one handle";
  EXPECT_EQ(FSeek(h, 0), 0);
  char all[10];
  EXPECT_EQ(FRead(h, all, 10), 0);
  EXPECT_EQ(std::string(all, 10), "01234x6789");
  FClose(h);
  EXPECT_EQ(FSize(h), UNDEF);
  EXPECT_EQ(FPos(h), UNDEF);
}

TEST_F(FilesTest, ShortReadGivesCodeThree) {
  std::string name = dir_ / "short.bin";
  test::WriteFile(name, "0123456789");
  int32_t h = 0;
  ASSERT_EQ(FOpen(h, name, FM_READ), 0);
  FSeek(h, 5);
  char buf[10];
  EXPECT_EQ(FRead(h, buf, 10), 3);
  EXPECT_EQ(ErrText(ERR_FILE, 3), "Cannot read from file.");
  int64_t done = -1;
  FSeek(h, 5);
  FReadSome(h, buf, 10, done);
  EXPECT_EQ(done, 5);
  EXPECT_EQ(FRead(h, buf, 0), 0) << "a count of 0 reads nothing";
  EXPECT_EQ(FRead(UNDEF, buf, 10), 0) << "a closed handle reads nothing";
  FClose(h);
}

TEST_F(FilesTest, ReadAndWriteFlagsOpenReadOnly) {
  std::string name = dir_ / "ro.bin";
  test::WriteFile(name, "abc");
  int32_t h = 0;
  ASSERT_EQ(FOpen(h, name, FM_READ | FM_WRITE), 0);
  EXPECT_EQ(FWrite(h, "z", 1), 4);
  EXPECT_EQ(ErrText(ERR_FILE, 4), "Cannot write to file.");
  FClose(h);
  EXPECT_EQ(test::ReadFile(name), "abc");
}

TEST_F(FilesTest, AppendPlacesThePositionAtTheEnd) {
  std::string name = dir_ / "app.bin";
  test::WriteFile(name, "abc");
  int32_t h = 0;
  ASSERT_EQ(FOpen(h, name, FM_APPEND), 0);
  EXPECT_EQ(FPos(h), 3);
  FWrite(h, "de", 2);
  FClose(h);
  EXPECT_EQ(test::ReadFile(name), "abcde");
}

TEST_F(FilesTest, TwoOpensGiveTwoHandles) {
  std::string name = dir_ / "two.bin";
  test::WriteFile(name, "abcdef");
  int32_t a = 0, b = 0;
  ASSERT_EQ(FOpen(a, name, FM_READ), 0);
  ASSERT_EQ(FOpen(b, name, FM_READ), 0);
  EXPECT_NE(a, b);
  FClose(a);
  char buf[6];
  EXPECT_EQ(FRead(b, buf, 6), 0);
  FClose(b);
}

TEST_F(FilesTest, The65thOpenFails) {
  std::string name = dir_ / "many.bin";
  test::WriteFile(name, "x");
  std::vector<int32_t> handles;
  while (FCount() < kFileTableSize) {
    int32_t h = 0;
    ASSERT_EQ(FOpen(h, name, FM_READ), 0);
    handles.push_back(h);
  }
  int32_t h = 0;
  EXPECT_EQ(FOpen(h, name, FM_READ), 11);
  EXPECT_EQ(h, UNDEF);
  EXPECT_EQ(TXTOpen(h, name, 0), 11);
  EXPECT_EQ(ErrText(ERR_FILE, 11), "Fatal file manager fault.");
  EXPECT_EQ(FCount(), kFileTableSize);
  for (int32_t x : handles) FClose(x);
}

TEST_F(FilesTest, DeleteClearsReadOnlyAndMissingIsSuccess) {
  std::string name = dir_ / "readonly.bin";
  test::WriteFile(name, "x");
  ::chmod(name.c_str(), 0444);
  EXPECT_EQ(FDelete(name), 0);
  EXPECT_FALSE(FileExists(name));
  EXPECT_EQ(FDelete(name), 0);
  EXPECT_EQ(FDelete(dir_.path()), 6);
  EXPECT_EQ(ErrText(ERR_FILE, 6), "Cannot delete file: " + dir_.path());
}

TEST_F(FilesTest, RenameRefusesAnExistingTarget) {
  std::string a = dir_ / "a.txt", b = dir_ / "b.txt", c = dir_ / "c.txt";
  test::WriteFile(a, "A");
  test::WriteFile(b, "B");
  FRename(a, b);
  EXPECT_EQ(ErrCode(), 10);
  EXPECT_EQ(ErrText(ERR_FILE, 10), "File name change failed.");
  EXPECT_EQ(test::ReadFile(a), "A");
  EXPECT_EQ(test::ReadFile(b), "B");
  FRename(dir_ / "missing", c);
  EXPECT_EQ(ErrCode(), 10);
  EXPECT_EQ(FRename(a, c), 0);
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(test::ReadFile(c), "A");
  EXPECT_FALSE(FileExists(a));
}

TEST_F(FilesTest, TextFilesWriteLines) {
  std::string name = dir_ / "t.txt";
  int32_t h = 0;
  ASSERT_EQ(TXTOpen(h, name, FM_CREATE), 0);
  TXTWrite(h, "one");
  TXTClose(h);
  ASSERT_EQ(TXTOpen(h, name, FM_APPEND), 0);
  TXTWrite(h, "two");
  TXTClose(h);
  EXPECT_EQ(test::ReadLines(name), (std::vector<std::string>{"one", "two"}));
}

TEST_F(FilesTest, CloseFromClosesTheNewerEntries) {
  std::string name = dir_ / "cf.bin";
  test::WriteFile(name, "x");
  int32_t a = 0, b = 0, c = 0;
  FOpen(a, name, FM_READ);
  int32_t mark = FCount();
  FOpen(b, name, FM_READ);
  TXTOpen(c, name, 0);
  FCloseFrom(mark);
  EXPECT_EQ(FCount(), mark);
  EXPECT_TRUE(FIsOpen(a));
  EXPECT_FALSE(FIsOpen(b));
  FClose(a);
}

}  // namespace
}  // namespace zelo
