// The RIFF chunk reader and writer.
#include <gtest/gtest.h>

#include <cstring>

#include "foundation/basic.h"
#include "platform/riff.h"
#include "support/temp_dir.h"

namespace zelo {
namespace {

using riff::Chunk;
using riff::FourCC;

// RIFF WAVE { fmt (3 bytes, odd), LIST INFO { INAM "ab" }, data (4 bytes) }
std::vector<uint8_t> SmallFile() {
  riff::MemoryStream m;
  riff::Writer w(m);
  w.Begin(riff::kRIFF, FourCC("WAVE"));
  w.Put(FourCC("fmt "), "xyz", 3);
  w.Begin(riff::kLIST, FourCC("INFO"));
  w.Put(FourCC("INAM"), "ab", 2);
  w.End();
  w.Put(FourCC("data"), "1234", 4);
  w.End();
  EXPECT_TRUE(w.Ok());
  EXPECT_EQ(w.Depth(), 0);
  return m.Bytes();
}

TEST(Riff, WriterNestsPadsAndSizes) {
  std::vector<uint8_t> b = SmallFile();
  // 12 + (8 + 3 + pad) + (12 + 8 + 2) + (8 + 4)
  ASSERT_EQ(b.size(), 12u + 12 + 22 + 12);
  EXPECT_EQ(GetLE32(b.data()), riff::kRIFF);
  EXPECT_EQ(GetLE32(b.data() + 4), b.size() - 8);
  EXPECT_EQ(GetLE32(b.data() + 16), 3u) << "the odd size is stored as is";
  EXPECT_EQ(b[23], 0) << "pad byte";
  EXPECT_EQ(GetLE32(b.data() + 24), riff::kLIST);
  EXPECT_EQ(GetLE32(b.data() + 28), 14u);
}

TEST(Riff, ReaderWalksTheTree) {
  std::vector<uint8_t> b = SmallFile();
  riff::MemoryStream m(b.data(), int64_t(b.size()));
  riff::Reader r(m);
  Chunk top, c;
  ASSERT_TRUE(r.First(r.Root(), top));
  EXPECT_EQ(top.id, riff::kRIFF);
  EXPECT_EQ(top.type, FourCC("WAVE"));
  EXPECT_FALSE(r.Next(r.Root(), top)) << "nothing after the RIFF";
  std::vector<std::string> ids;
  for (bool ok = r.First(top, c); ok; ok = r.Next(top, c)) ids.push_back(riff::FourCCText(c.id));
  EXPECT_EQ(ids, (std::vector<std::string>{"fmt ", "LIST", "data"}));
  Chunk info, name, data;
  ASSERT_TRUE(r.Find(top, riff::kLIST, info, FourCC("INFO")));
  EXPECT_FALSE(r.Find(top, riff::kLIST, c, FourCC("adtl")));
  ASSERT_TRUE(r.Find(info, FourCC("INAM"), name));
  std::vector<uint8_t> text;
  ASSERT_TRUE(r.ReadData(name, 100, text));
  EXPECT_EQ(std::string(text.begin(), text.end()), "ab");
  ASSERT_TRUE(r.Find(top, FourCC("data"), data));
  char four[4];
  EXPECT_TRUE(r.Read(data, 0, four, 4));
  EXPECT_FALSE(r.Read(data, 1, four, 4)) << "past the chunk";
  EXPECT_FALSE(r.ReadData(data, 3, text)) << "larger than allowed";
}

TEST(Riff, DeclaredSizesAreNeverTrusted) {
  std::vector<uint8_t> b = SmallFile();
  // The data chunk claims 1 GB; the fmt chunk claims more than its parent.
  PutLE32(b.data() + b.size() - 8, 1u << 30);
  riff::MemoryStream m(b.data(), int64_t(b.size()));
  riff::Reader r(m);
  Chunk top, data;
  ASSERT_TRUE(r.First(r.Root(), top));
  ASSERT_TRUE(r.Find(top, FourCC("data"), data));
  EXPECT_TRUE(data.Truncated());
  EXPECT_EQ(data.avail, 4);
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(r.ReadData(data, 100, bytes));
  EXPECT_EQ(bytes.size(), 4u);
  // A cut file: the RIFF ends where the bytes end, children too.
  std::vector<uint8_t> cut(b.begin(), b.begin() + 34);
  riff::MemoryStream mc(cut.data(), int64_t(cut.size()));
  riff::Reader rc(mc);
  ASSERT_TRUE(rc.First(rc.Root(), top));
  EXPECT_EQ(top.BodyEnd(), 34);
  Chunk c;
  int n = 0;
  for (bool ok = rc.First(top, c); ok; ok = rc.Next(top, c)) {
    EXPECT_LE(c.BodyEnd(), 34);
    ++n;
  }
  EXPECT_EQ(n, 2) << "fmt and the header of the LIST";
  EXPECT_EQ(c.type, 0u) << "its type is cut off";
  EXPECT_FALSE(rc.ReadHeader(28, 34, c)) << "fewer than 8 bytes left";
  EXPECT_FALSE(rc.ReadHeader(-4, 34, c));
}

TEST(Riff, WriteFailuresStick) {
  uint8_t fixed[4] = {};
  riff::MemoryStream readOnly(fixed, 4);
  riff::Writer w(readOnly);
  EXPECT_FALSE(w.Put(FourCC("abcd"), "x", 1));
  EXPECT_FALSE(w.Ok());
  riff::MemoryStream m;
  riff::Writer w2(m);
  EXPECT_FALSE(w2.End()) << "nothing open";
  EXPECT_FALSE(w2.Begin(riff::kLIST, FourCC("INFO"))) << "sticky";
  riff::Writer w3(m);
  EXPECT_FALSE(w3.Junk(7));
  riff::Writer w4(m);
  EXPECT_TRUE(w4.Junk(20));
  EXPECT_EQ(GetLE32(m.Bytes().data() + 4), 12u);
}

TEST(Riff, FileAccessStaysInsideTheFile) {
  test::TempDir dir;
  std::string name = dir / "f.bin";
  {
    auto f = riff::StdFile::Create(name);
    ASSERT_TRUE(f);
    riff::Writer w(*f);
    ASSERT_TRUE(w.Zeros(16));
    EXPECT_FALSE(f->WriteAt(int64_t(5) << 30, "x", 1)) << "no writing past the end";
    ASSERT_TRUE(f->Close());
  }
  auto f = riff::StdFile::OpenRead(name);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->Size(), 16);
  uint8_t b[8];
  EXPECT_FALSE(f->ReadAt(12, b, 8));
  EXPECT_TRUE(f->ReadAt(8, b, 8));
  EXPECT_FALSE(f->WriteAt(0, b, 1)) << "opened for reading";
  EXPECT_FALSE(riff::StdFile::OpenRead(dir / "missing"));
}

}  // namespace
}  // namespace zelo
