// A read routine for the streamed loader that hands out stored bytes held
// in memory, as a sound reader hands them out of its file.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "foundation/basic.h"

namespace zelo::test {

// The stored bytes of a data chunk, handed out `chunk` bytes at a time (the
// last read takes a short block at the end along), with the blocks they
// complete.
struct MemReader {
  const std::string* data = nullptr;
  size_t pos = 0;
  size_t chunk = 0;
  size_t align = 1;
};

inline bool ReadMem(void* r, uint8_t** block, int32_t wanted, int32_t& bytes, int32_t& blocks) {
  auto* m = static_cast<MemReader*>(r);
  size_t rest = m->data->size() - m->pos;
  size_t n = rest - std::min(m->chunk, rest) < m->align ? rest : m->chunk;
  bytes = blocks = 0;
  if (n == 0) return false;
  _memalloc_(block, int32_t(n), 1, MEM_BLOCK, "Test.ReadMem.block");
  std::memcpy(*block, m->data->data() + m->pos, n);
  blocks = int32_t((m->pos + n) / m->align - m->pos / m->align);
  m->pos += n;
  bytes = int32_t(n);
  return bytes == wanted;
}

}  // namespace zelo::test
