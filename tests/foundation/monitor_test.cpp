#include <gtest/gtest.h>

#include <algorithm>

#include "api/frame.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "support/trace_capture.h"

namespace zelo {
namespace {

class MonitorTest : public testing::Test {
 protected:
  void SetUp() override {
    blocks_ = MemCount();
    files_ = FCount();
  }
  void TearDown() override {
    EXPECT_EQ(MonDepth(), 0);
    EXPECT_EQ(MemCount(), blocks_);
    EXPECT_EQ(FCount(), files_);
    ErrClear();
  }
  int32_t blocks_ = 0, files_ = 0;
};

TEST_F(MonitorTest, PathIsOnlyKeptWhileTracing) {
  {
    PathScope a("Unit.A");
    EXPECT_EQ(PathDepth(), 0);
  }
  test::TraceCapture trace;
  std::vector<std::unique_ptr<PathScope>> scopes;
  for (int i = 0; i < kPathMax + 1; ++i) scopes.push_back(std::make_unique<PathScope>("Unit.Deep"));
  EXPECT_EQ(PathDepth(), kPathMax);
  scopes.clear();
  EXPECT_EQ(PathDepth(), 0);
  {
    PathScope a("Unit.A");
    PathScope b("Unit.B");
    EXPECT_EQ(PathText(), "Unit.A:Unit.B");
  }
}

// Three nested routines, each with a frame and a block of its own; the
// innermost fails.
void Level(int depth, std::vector<void*>& blocks) {
  Routine("Test.Level", [&] {
    _memalloc_(&blocks[depth], 32, depth, MEM_BLOCK, "Test.Level.block");
    if (depth == 2) {
      int32_t h = 0;
      FOpen(h, "/nonexistent/zelo/x.bin", FM_READ);
    } else {
      Level(depth + 1, blocks);
    }
    ADD_FAILURE() << "the error should have unwound level " << depth;
  });
}

TEST_F(MonitorTest, ErrorThreeFramesDeepUnwindsAllAndReachesTheExport) {
  std::vector<void*> blocks(3, nullptr);
  int32_t result = api::FramedStatus("zelomain.TestDeep", [&] { Level(0, blocks); });
  EXPECT_EQ(result, RES_ERROR);
  EXPECT_EQ(Api().info.Category, ERR_FILE);
  EXPECT_EQ(Api().info.Code, 1);
  EXPECT_EQ(MemCount(), blocks_) << "every frame released its block";
}

TEST_F(MonitorTest, KeepingFrameStopsTheErrorAndTheRoutineGoesOn) {
  void* outer = nullptr;
  bool continued = false;
  Routine("Test.Outer", [&] {
    _memalloc_(&outer, 16, 1, MEM_BLOCK, "Test.Outer.block");
    MonKeepNext();
    Routine("Test.Inner", [&] {
      void* inner = nullptr;
      _memalloc_(&inner, 16, 2, MEM_BLOCK, "Test.Inner.block");
      ErrRaise(ERR_IMG, 9, 3);
    });
    continued = true;
    EXPECT_EQ(ErrCategory(), ERR_IMG);
    EXPECT_EQ(ErrCode(), 9);
    EXPECT_EQ(MemCount(), blocks_ + 1) << "only the inner frame's block went";
    MemFree(&outer);
    ErrRaise(ERR_IMG, 0, 4);
  });
  EXPECT_TRUE(continued);
  EXPECT_TRUE(ErrNone());
}

TEST_F(MonitorTest, UnwindingClearsOwnerFieldsThatHeldReleasedBlocks) {
  struct Record {
    void* pixels;
  };
  auto* rec = new Record{nullptr};
  void* kept = nullptr;
  _memalloc_(&kept, 8, 1, MEM_BLOCK, "Test.Kept");
  ProtectedKeep([&] {
    _memalloc_(&rec->pixels, 64, 2, MEM_BLOCK, "Test.Record.pixels");
    ErrRaise(ERR_IMG, 9, 3);
  });
  EXPECT_EQ(rec->pixels, nullptr) << "no dangling address left in the record";
  EXPECT_NE(kept, nullptr) << "blocks from before the frame stay";
  MemFree(&kept);
  delete rec;
}

TEST_F(MonitorTest, FaultInsideAFrameBecomesCategoryThree) {
  ProtectedKeep([] {
    Routine("Test.Divide", [] {
      volatile int32_t zero = 0;
      CheckedDiv(1, zero);
    });
  });
  EXPECT_EQ(ErrCategory(), ERR_EXCEPT);
  EXPECT_EQ(ErrCode(), MAX_CODE);
  EXPECT_EQ(ErrText(ERR_EXCEPT, MAX_CODE), "Division by zero");
}

TEST_F(MonitorTest, FaultOutsideAnyFrameGivesResult999) {
  int32_t result = api::FramedStatus("zelomain.TestNull", [] {
    int* p = nullptr;
    *CheckPtr(p) = 1;
  });
  EXPECT_EQ(result, RES_EXCEPTION);
  ErrorInfo info = Api().info;
  EXPECT_EQ(info.Category, 0);
  EXPECT_EQ(ResultText(info), "Unknown error.");
}

TEST_F(MonitorTest, FaultWithAPendingErrorGivesResult1000) {
  int32_t result = api::FramedStatus("zelomain.TestPending", [] {
    ErrRaise(ERR_SND, 4, 1);  // no frame: stays pending
    ThrowFault("Access violation");
  });
  EXPECT_EQ(result, RES_ERROR);
  EXPECT_EQ(Api().info.Category, ERR_SND);
}

TEST_F(MonitorTest, CleanupRunsOnceWhenTheFrameUnwinds) {
  int runs = 0;
  ProtectedKeep([&] {
    MonSetCleanup([&] { ++runs; });
    ErrRaise(ERR_GEN, 2, 1);
  });
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(ErrCode(), 2);
}

TEST_F(MonitorTest, MonFailLeavesWithoutAnErrorAndLaterErrorsStillUnwind) {
  bool after = false;
  bool unwound = true;
  ProtectedKeep([&] {
    Routine("Test.Quiet", [] { MonFail(); });
    after = true;
    EXPECT_TRUE(ErrNone());
    void* p = nullptr;
    _memalloc_(&p, 8, 1, MEM_BLOCK, "Test.Later");
    ErrRaise(ERR_IMG, 4, 2);
    unwound = false;
  });
  EXPECT_TRUE(after);
  EXPECT_TRUE(unwound) << "an error after a quiet exit must still unwind";
  EXPECT_EQ(ErrCode(), 4);
}

// Opens frames until the monitor refuses one.
void Nest(int& depth) {
  Routine("Test.Nest", [&] {
    ++depth;
    Nest(depth);
  });
}

TEST_F(MonitorTest, TooManyFramesRaiseAnErrorInsteadOfEndingTheProcess) {
  int depth = 0;
  int32_t result = api::FramedStatus("zelomain.TestNest", [&] { Nest(depth); });
  EXPECT_EQ(depth, kFrameMax);
  EXPECT_EQ(result, RES_ERROR);
  EXPECT_EQ(Api().info.Category, ERR_GEN);
  EXPECT_EQ(Api().info.Code, 1);
}

TEST_F(MonitorTest, FileErrorInAFrameTracesAndReleases) {
  test::TraceCapture trace;
  test::TempDir dir;
  std::string name = dir / "missing.bmp";
  std::string keep = dir / "keep.bin";
  int32_t result = api::FramedStatus("zelomain.ZeloTest", [&] {
    Routine("ConForm.ImgLoad", [&] {
      void* buf = nullptr;
      _memalloc_(&buf, 100, 1, MEM_BLOCK, "ConForm.ImgLoad.buf");
      int32_t h = 0;
      FOpen(h, keep, FM_CREATE);
      FOpen(h, name, FM_READ);
    });
  });
  EXPECT_EQ(result, RES_ERROR);
  EXPECT_EQ(Api().info.Category, ERR_FILE);
  EXPECT_EQ(Api().info.Code, 1);
  EXPECT_EQ(ResultText(Api().info), "Cannot open file: " + name);
  auto lines = trace.Lines();
  auto at = std::find(lines.begin(), lines.end(), "!6:1;\"Cannot open file: " + name + "\"");
  ASSERT_NE(at, lines.end());
  ASSERT_NE(at + 1, lines.end());
  EXPECT_EQ((at + 1)->rfind("@zelomain.ZeloTest:ConForm.ImgLoad:Basic.FOpen;", 0), 0u) << *(at + 1);
  EXPECT_EQ(*(at + 2), "#Physical memory:");
}

}  // namespace
}  // namespace zelo
