// The small tables by which ConForm reaches a format's routine: one row per
// format id that has one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelo {

template <class Proc>
struct FormatRoutine {
  int32_t id;
  Proc proc;
};

// The routine of the id, or nullptr when the format has none.
template <class Proc, size_t N>
Proc FindFormatRoutine(const FormatRoutine<Proc> (&table)[N], int32_t id) {
  for (const FormatRoutine<Proc>& row : table)
    if (row.id == id) return row.proc;
  return nullptr;
}

}  // namespace zelo
