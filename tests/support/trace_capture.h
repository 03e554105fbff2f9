// Runs a trace log into a temporary file for the length of a test.
#pragma once

#include "foundation/common.h"
#include "foundation/trace.h"
#include "support/temp_dir.h"

namespace zelo::test {

class TraceCapture {
 public:
  TraceCapture() {
    TraceSetFile(dir_ / "trace.txt");
    TraceStart("ZELO 2.3.4");
  }
  ~TraceCapture() {
    TraceStop();
    SetExportTrace(false);
  }
  std::vector<std::string> Lines() const { return ReadLines(dir_ / "trace.txt"); }

 private:
  TempDir dir_;
};

}  // namespace zelo::test
