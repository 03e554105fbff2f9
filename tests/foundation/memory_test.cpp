#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "support/trace_capture.h"

namespace zelo {
namespace {

class MemoryTest : public testing::Test {
 protected:
  void SetUp() override { base_ = MemCount(); }
  void TearDown() override {
    MemFailAfter(-1);
    EXPECT_EQ(MemCount(), base_) << "a test left tracked blocks behind";
    ErrClear();
  }
  int32_t base_ = 0;
};

TEST_F(MemoryTest, RoundsRequestsUpByFivePercentToFourBytes) {
  const std::pair<int32_t, int32_t> cases[] = {{1, 4}, {100, 108}, {1000, 1052}, {4, 4}, {40, 44}};
  for (auto [requested, allocated] : cases) {
    void* p = nullptr;
    ASSERT_EQ(_memalloc_(&p, requested, 1, MEM_BLOCK, "t.round"), 0);
    EXPECT_EQ(MemEntry(MemFind(&p, 3)).size, allocated) << requested;
    MemFree(&p);
  }
}

TEST_F(MemoryTest, InvalidSizesGiveCodeFiveAndChangeNothing) {
  for (int32_t size : {0, -1, -1000}) {
    void* p = nullptr;
    EXPECT_EQ(_memalloc_(&p, size, 1, MEM_BLOCK, "t.bad"), 5);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(ErrCategory(), ERR_MEM);
    EXPECT_EQ(ErrCode(), 5);
  }
  EXPECT_EQ(ErrText(ERR_MEM, 5), "Invalid memory request.");
}

TEST_F(MemoryTest, TagsNameKindCallerAndLocation) {
  void* a = nullptr;
  void* b = nullptr;
  void* c = nullptr;
  _memalloc_(&a, 10, 2024, MEM_BLOCK, "Unit.Routine.var");
  _memalloc_(&b, 10, 7, MEM_STRING, "Unit.Routine.text");
  _memalloc_(&c, 10, 1234567, MEM_NEW, "");
  EXPECT_EQ(MemEntry(MemFind(&a, 3)).tag, "C:Unit.Routine.var:2,024");
  EXPECT_EQ(MemEntry(MemFind(&b, 3)).tag, "S:Unit.Routine.text:7");
  int32_t pc = MemFind(&c, 3);
  EXPECT_EQ(MemEntry(pc).tag, "N:Handle #" + std::to_string(pc) + ":1,234,567");
  MemFree(&a);
  MemFree(&b);
  MemFree(&c);
  EXPECT_EQ(a, nullptr);
}

TEST_F(MemoryTest, SecondRequestResizesOrAddsByKind) {
  void* p = nullptr;
  _memalloc_(&p, 16, 1, MEM_BLOCK, "t.resize");
  static_cast<uint8_t*>(p)[0] = 0x5A;
  int32_t count = MemCount();
  _memalloc_(&p, 4000, 2, MEM_BLOCK, "t.resize");
  EXPECT_EQ(MemCount(), count) << "a resize keeps one entry";
  EXPECT_EQ(static_cast<uint8_t*>(p)[0], 0x5A) << "contents survive a resize";
  EXPECT_EQ(MemEntry(MemFind(&p, 3)).size, 4200);

  void* first = p;
  _memalloc_(&p, 16, 3, MEM_NEW, "t.new");
  EXPECT_EQ(MemCount(), count + 1) << "MEM_NEW always adds an entry";
  EXPECT_NE(p, first);
  EXPECT_EQ(MemEntry(MemFind(&p, 1)).variable, &p);
  MemFree(&p);
  MemFree(&first);
}

TEST_F(MemoryTest, FreeOfUntrackedOrNullDoesNothing) {
  void* p = nullptr;
  MemFree(&p);
  EXPECT_EQ(p, nullptr);
  int local = 0;
  void* q = &local;
  MemFree(&q);
  EXPECT_EQ(q, &local);
  EXPECT_TRUE(ErrNone());
}

TEST_F(MemoryTest, FreeMovesTheLastEntryIntoTheGap) {
  void* a = nullptr;
  void* b = nullptr;
  void* c = nullptr;
  _memalloc_(&a, 8, 1, MEM_BLOCK, "t.a");
  _memalloc_(&b, 8, 1, MEM_BLOCK, "t.b");
  _memalloc_(&c, 8, 1, MEM_BLOCK, "t.c");
  int32_t pa = MemFind(&a, 3);
  void* cBlock = c;
  MemFree(&a);
  EXPECT_EQ(MemEntry(pa).block, cBlock);
  EXPECT_EQ(MemFind(&c, 3), pa);
  MemFree(&b);
  MemFree(&c);
}

TEST_F(MemoryTest, TableHoldsExactly10240Blocks) {
  std::vector<void*> blocks(kMemTableSize - static_cast<size_t>(MemCount()) + 1, nullptr);
  size_t i = 0;
  for (; i + 1 < blocks.size(); ++i) ASSERT_EQ(_memalloc_(&blocks[i], 4, 1, MEM_BLOCK, "t.fill"), 0);
  EXPECT_EQ(MemCount(), kMemTableSize);
  EXPECT_EQ(_memalloc_(&blocks[i], 4, 1, MEM_BLOCK, "t.fill"), 6);
  EXPECT_EQ(blocks[i], nullptr);
  EXPECT_EQ(ErrText(ERR_MEM, 6), "Fatal memory manager error.");
  MemFreeFrom(base_);
  EXPECT_GE(MemMax(), kMemTableSize);
}

TEST_F(MemoryTest, HeapFailuresGiveCodesOneAndThree) {
  void* p = nullptr;
  MemFailAfter(0);
  EXPECT_EQ(_memalloc_(&p, 64, 1, MEM_BLOCK, "t.fail"), 1);
  MemFailAfter(-1);
  ASSERT_EQ(_memalloc_(&p, 64, 1, MEM_BLOCK, "t.fail"), 0);
  void* before = p;
  MemFailAfter(0);
  EXPECT_EQ(_memalloc_(&p, 6400, 1, MEM_BLOCK, "t.fail"), 3);
  EXPECT_EQ(p, before) << "a failed resize keeps the old block";
  MemFailAfter(-1);
  MemFree(&p);
}

TEST_F(MemoryTest, SuccessfulAllocationClearsPendingError) {
  ErrRaise(ERR_IMG, 3, 1);
  void* p = nullptr;
  _memalloc_(&p, 8, 1, MEM_BLOCK, "t.clear");
  EXPECT_TRUE(ErrNone());
  MemFree(&p);
}

TEST_F(MemoryTest, XchgSwapsBlocksAndSizesButNotOwners) {
  void* a = nullptr;
  void* b = nullptr;
  _memalloc_(&a, 100, 1, MEM_BLOCK, "t.xa");
  _memalloc_(&b, 1000, 1, MEM_BLOCK, "t.xb");
  void* ba = a;
  void* bb = b;
  MemXchg(&a, &b);
  std::swap(a, b);
  int32_t ea = MemFind(&a, 1);
  EXPECT_EQ(MemEntry(ea).block, bb);
  EXPECT_EQ(MemEntry(ea).size, 1052);
  EXPECT_EQ(MemEntry(ea).tag.substr(0, 6), "C:t.xa") << "tags stay with their entries";
  EXPECT_EQ(MemEntry(MemFind(&b, 1)).block, ba);
  MemFree(&a);
  MemFree(&b);
}

TEST_F(MemoryTest, XchgOfUntrackedBlockRaisesManagerFault) {
  void* a = nullptr;
  _memalloc_(&a, 8, 1, MEM_BLOCK, "t.xa");
  int local = 0;
  void* b = &local;
  ProtectedKeep([&] { MemXchg(&a, &b); });
  EXPECT_EQ(ErrCategory(), ERR_MEM);
  EXPECT_EQ(ErrCode(), 2);
  EXPECT_EQ(ErrText(ERR_MEM, 2), "Memory manager fault.");
  EXPECT_EQ(b, &local);
  MemFree(&a);
}

TEST_F(MemoryTest, IsTrackedLooksAtTheHeldValue) {
  struct Rec {
    void* pix;
    int32_t size;
  } rec{nullptr, 0};
  EXPECT_FALSE(MemIsTracked(&rec));
  _memalloc_(&rec.pix, 8, 1, MEM_BLOCK, "t.rec");
  EXPECT_TRUE(MemIsTracked(&rec));
  MemFree(&rec.pix);
  EXPECT_FALSE(MemIsTracked(&rec));
}

TEST_F(MemoryTest, LeakReportListsBlocksLastFirstAndOpenFiles) {
  test::TraceCapture trace;
  test::TempDir dir;
  void* a = nullptr;
  void* b = nullptr;
  _memalloc_(&a, 1000, 2024, MEM_BLOCK, "t.leakA");
  _memalloc_(&b, 1, 5, MEM_STRING, "t.leakB");
  int32_t h = UNDEF;
  ASSERT_EQ(FOpen(h, dir / "open.bin", FM_CREATE), 0);
  // The report releases every live block, so only run it on our own entries.
  ASSERT_EQ(base_, 0) << "this test needs an empty table";
  MemReport();
  EXPECT_EQ(MemCount(), 0);
  EXPECT_EQ(FCount(), 0);
  auto lines = trace.Lines();
  auto at = std::find(lines.begin(), lines.end(), "#Memory handles not freed:");
  ASSERT_NE(at, lines.end());
  EXPECT_EQ(*(at - 1), "#Max. allocated memory handles: " + FmtInt(100, MemMax()));
  EXPECT_EQ(*(at + 1), "#  S:t.leakB:5:4 bytes");
  EXPECT_EQ(*(at + 2), "#  C:t.leakA:2,024:1,052 bytes");
  EXPECT_EQ(*(at + 3), "#Files not closed: 1");
  EXPECT_EQ(*(at + 4), "#  " + (dir / "open.bin"));
}

}  // namespace
}  // namespace zelo
