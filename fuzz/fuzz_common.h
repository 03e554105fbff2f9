// What the file-reader fuzz targets share: the input becomes a file of this
// process, each step runs in a keeping frame, and a broken invariant aborts
// (the fuzzer reports it with the input).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

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

}  // namespace zelo::fuzz
