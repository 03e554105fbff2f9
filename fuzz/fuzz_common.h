// What the file-reader fuzz targets share: the input becomes a file of this
// process, each step runs in a keeping frame, and a broken invariant aborts
// (the fuzzer reports it with the input).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "formats/ffinfo.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"

namespace zelo::fuzz {

inline void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
  }
}

// A file name of this process (fuzzers may run side by side).
inline std::string TempName(const char* ext) {
  return "/tmp/zelo-fuzz-" + std::to_string(::getpid()) + ext;
}

inline void WriteInput(const std::string& name, const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(name.c_str(), "wb");
  Check(f != nullptr, "temporary file");
  if (size > 0) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

// Runs work in a keeping frame; true when it left no error.
template <class Work>
bool Succeeds(Work&& work) {
  ProtectedKeep(work);
  const bool ok = ErrNone();
  ErrClear();
  return ok;
}

// The body of a movie or sound reader's target: the input is opened into a
// fresh record, read by `read`, closed (which must succeed after a good
// open), and its information taken; nothing may stay allocated or open.
template <class Record, class Open, class Read, class Close, class Info>
int RunFileReader(const uint8_t* data, size_t size, const std::string& name, Open open, Read read,
                  Close close, Info info) {
  WriteInput(name, data, size);
  const int32_t blocks = MemCount(), files = FCount();
  auto record = std::make_unique<Record>();
  if (Succeeds([&] { open(record.get(), name); })) {
    read(record.get());
    Check(Succeeds([&] { close(record.get()); }), "closing a file opened for reading failed");
  }
  QffInfo fi;
  Succeeds([&] { info(name, &fi); });
  Check(MemCount() == blocks, "tracked blocks left over");
  Check(FCount() == files, "files left open");
  std::remove(name.c_str());
  return 0;
}

}  // namespace zelo::fuzz
