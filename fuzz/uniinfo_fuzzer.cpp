// Fuzzes the source description with hostile names. The input is a file
// name (very long, without digits, of digits only, with minus signs,
// slashes and dots anywhere); it is split as a sequence name, rebuilt, and
// described with a sequence search in a directory holding a short numbered
// sequence. Whatever the name, UniInfo ends with true or its warning, and
// nothing stays allocated or open.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "api/library.h"
#include "conversion/uni.h"
#include "foundation/basic.h"
#include "foundation/errors.h"

namespace {

using namespace zelo;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "uniinfo_fuzzer: %s\n", what);
    std::abort();
  }
}

// A directory with img1.pgm to img3.pgm (tiny pictures) that names may hit.
const std::string& Dir() {
  static const std::string dir = [] {
    std::string d = "/tmp/zelo-uni-fuzz-" + std::to_string(::getpid());
    std::filesystem::create_directories(d);
    for (int i = 1; i <= 3; ++i) {
      std::FILE* f = std::fopen((d + "/img" + std::to_string(i) + ".pgm").c_str(), "wb");
      if (f != nullptr) {
        std::fputs("P5 2 2 255\n\x10\x20\x30\x40", f);
        std::fclose(f);
      }
    }
    return d + "/";
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LibraryInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string tail(reinterpret_cast<const char*>(data), size);
  // A name is a C string: it ends at the first NUL.
  tail = tail.substr(0, tail.find('\0'));
  const int32_t blocks = MemCount(), files = FCount();

  for (bool minus : {false, true}) {
    for (const std::string& name : {tail, Dir() + tail}) {
      QSeq seq;
      if (SeqSplit(name, minus, seq.prefix, seq.digits, seq.first, seq.suffix)) {
        Check(seq.digits > 0, "a number without digits");
        Check(SeqName(seq, 1).size() >= seq.prefix.size() + seq.suffix.size(), "a short rebuilt name");
      } else {
        Check(seq.prefix + seq.suffix == name, "a name without number not kept whole");
      }
      QUniInfo info;
      const bool ok = UniInfo(name, &info, 50, minus);
      Check(ok == ErrWarnNone(), "the result and the warning disagree");
      Check(ErrNone(), "an error left pending");
      ErrWarnClear();
    }
  }
  Check(MemCount() == blocks, "tracked blocks left over");
  Check(FCount() == files, "files left open");
  return 0;
}
