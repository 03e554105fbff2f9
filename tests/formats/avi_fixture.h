// What the AVI module's tests share: the process-wide current codec kept as
// it was, and nothing tracked, no open file and no AVI handle left over.
#pragma once

#include <gtest/gtest.h>

#include "formats/avicodecs.h"
#include "formats/ff_avi.h"
#include "foundation/basic.h"
#include "foundation/errors.h"

namespace zelo::test {

class AviStateTest : public testing::Test {
 protected:
  void SetUp() override {
    AviGetVC(&saved_);
    // The list and the options' parameter block exist before and after.
    AviCodecList(nullptr, 0, 0, 0);
    AviMakeCmpsOptions_();
    ErrClear();
    ErrWarnClear();
    mem_ = MemCount();
    files_ = FCount();
    open_ = AviOpenCount();
  }
  void TearDown() override {
    AviUseVC(&saved_);
    AviMakeCmpsOptions_();
    EXPECT_EQ(MemCount(), mem_) << "tracked blocks left over";
    EXPECT_EQ(FCount(), files_) << "files left open";
    EXPECT_EQ(AviOpenCount(), open_) << "AVI handles left open";
    ErrClear();
  }
  QAviCodec saved_{};
  int32_t mem_ = 0, files_ = 0, open_ = 0;
};

}  // namespace zelo::test
