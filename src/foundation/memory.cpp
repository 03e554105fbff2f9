// Tracked memory: every block the library allocates is entered in one table
// with the address of the variable that holds it and a tag naming its origin.
#include <pthread.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "foundation/trace.h"

namespace zelo {
namespace {

struct MemEntryRec {
  void* block = nullptr;
  void** variable = nullptr;
  int32_t size = 0;
  std::string tag;
};

struct MemTable {
  std::vector<MemEntryRec> entries;
  int32_t count = 0;
  int32_t max = 0;
  int32_t failAfter = -1;  // test hook: heap requests that still succeed
  MemTable() { entries.resize(kMemTableSize); }
};

MemTable& Table() {
  static MemTable* t = new MemTable;  // never destroyed: the unload report needs it
  return *t;
}

bool HeapRefuses() {
  MemTable& t = Table();
  if (t.failAfter < 0) return false;
  if (t.failAfter == 0) return true;
  --t.failAfter;
  return false;
}

std::string BuildTag(int32_t kind, const char* tag, int32_t position, int32_t location) {
  std::string s(1, kind == MEM_STRING ? 'S' : (kind == MEM_NEW ? 'N' : 'C'));
  s += ':';
  if (tag != nullptr && *tag != '\0')
    s += tag;
  else
    s += "Handle #" + FmtInt(0, position);
  s += ':';
  s += FmtInt(100, location);
  return s;
}

// True when an address lies in the part of this thread's stack that belongs
// to routines that have already returned: such an owner variable is gone.
bool InDeadStack(const void* p) {
  static thread_local const char* lo = nullptr;
  static thread_local const char* hi = nullptr;
  if (lo == nullptr) {
    pthread_attr_t attr;
    void* base = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      pthread_attr_getstack(&attr, &base, &size);
      pthread_attr_destroy(&attr);
    }
    lo = static_cast<const char*>(base);
    hi = lo + size;
  }
  auto* c = static_cast<const char*>(p);
  auto* sp = static_cast<const char*>(__builtin_frame_address(0));
  return c >= lo && c < hi && c < sp;
}

}  // namespace

int32_t MemRoundSize(int32_t requested) {
  double scaled = std::nearbyint(static_cast<double>(requested) * 1.05);  // ties to even
  int64_t n = static_cast<int64_t>(scaled);
  n = (n + 3) & ~int64_t(3);
  if (n > INT32_MAX) return -1;
  return static_cast<int32_t>(n);
}

int32_t MemFind(void* const* var, int32_t mode) {
  MemTable& t = Table();
  for (int32_t i = 0; i < t.count; ++i) {
    const MemEntryRec& e = t.entries[i];
    bool byBlock = e.block == *var;
    bool byOwner = e.variable == var;
    if ((mode == 1 && byBlock) || (mode == 2 && byOwner) || (mode == 3 && byBlock && byOwner))
      return i;
  }
  return UNDEF;
}

int32_t _memalloc_(void** var, int32_t size, int32_t location, int32_t kind, const char* tag) {
  PathScope path("Basic._memalloc_");
  MemTable& t = Table();
  int32_t result = 0;
  int32_t alloc = MemRoundSize(size);
  if (alloc <= 0) {
    result = 5;
  } else {
    int32_t found = MemFind(var, 3);
    if (found == UNDEF || kind == MEM_NEW) {
      void* block = HeapRefuses() ? nullptr : std::malloc(static_cast<size_t>(alloc));
      if (block == nullptr) {
        result = 1;
      } else if (t.count >= kMemTableSize) {
        std::free(block);
        result = 6;
      } else {
        *var = block;
        MemEntryRec& e = t.entries[t.count];
        e.block = block;
        e.variable = var;
        e.size = alloc;
        e.tag = BuildTag(kind, tag, t.count, location);
        ++t.count;
        if (t.count > t.max) t.max = t.count;
      }
    } else {
      MemEntryRec& e = t.entries[found];
      void* block = nullptr;
      if (!HeapRefuses()) {
        if (kind == MEM_STRING) {
          block = std::malloc(static_cast<size_t>(alloc));
          if (block != nullptr) std::free(e.block);
        } else {
          block = std::realloc(e.block, static_cast<size_t>(alloc));
        }
      }
      if (block == nullptr) {
        result = 3;
      } else {
        *var = block;
        e.block = block;
        e.variable = var;
        e.size = alloc;
        e.tag = BuildTag(kind, tag, found, location);
      }
    }
  }
  ErrRaise(ERR_MEM, result, location);
  return result;
}

void MemFree(void** var) {
  PathScope path("Basic.MemFree");
  ErrWarnClear();
  if (var == nullptr) return;
  MemTable& t = Table();
  int32_t i = MemFind(var, 1);
  if (i == UNDEF) return;
  // A string buffer and an ordinary block come from the same heap here, so
  // releasing cannot fail; the tag's kind letter is kept for the reports.
  std::free(t.entries[i].block);
  int32_t last = t.count - 1;
  if (i != last) t.entries[i] = std::move(t.entries[last]);
  t.entries[last] = MemEntryRec{};
  --t.count;
  *var = nullptr;
}

void MemXchg(void** a, void** b) {
  Routine("Basic.MemXchg", [&] {
    MemTable& t = Table();
    int32_t ia = MemFind(a, 1);
    int32_t ib = MemFind(b, 1);
    if (ia == UNDEF || ib == UNDEF) {
      ErrRaise(ERR_MEM, 2, 1101);
      return;
    }
    std::swap(t.entries[ia].block, t.entries[ib].block);
    std::swap(t.entries[ia].size, t.entries[ib].size);
  });
}

bool MemIsTracked(const void* var) {
  if (var == nullptr) return false;
  return MemFind(static_cast<void* const*>(var), 1) != UNDEF;
}

int32_t MemCount() { return Table().count; }
int32_t MemMax() { return Table().max; }

void MemFreeFrom(int32_t n, bool clearOwners) {
  MemTable& t = Table();
  if (n < 0) n = 0;
  for (int32_t i = t.count - 1; i >= n; --i) {
    void* const freed = t.entries[i].block;
    void** owner = t.entries[i].variable;
    void* block = freed;
    MemFree(&block);
    // The owner variable (a record field, usually) would otherwise keep the
    // address of a released block; clear it when it still holds that block
    // and is still alive.
    if (clearOwners && owner != nullptr && !InDeadStack(owner) && *owner == freed)
      *owner = nullptr;
  }
}

MemEntryView MemEntry(int32_t position) {
  const MemEntryRec& e = Table().entries.at(static_cast<size_t>(position));
  return MemEntryView{e.block, e.variable, e.size, e.tag};
}

void MemFailAfter(int32_t allocationsThatSucceed) { Table().failAfter = allocationsThatSucceed; }

void MemReport() {
  MemTable& t = Table();
  std::string text;
  if (t.count > 0) {
    text += "Max. allocated memory handles: " + FmtInt(100, t.max) + "\r\n";
    text += "Memory handles not freed:\r\n";
    for (int32_t i = t.count - 1; i >= 0; --i) {
      text += "  " + t.entries[i].tag + ":" + FmtInt(100, t.entries[i].size) + " bytes\r\n";
      void* block = t.entries[i].block;
      MemFree(&block);
    }
  }
  int32_t files = FCount();
  if (files > 0) {
    text += "Files not closed: " + FmtInt(100, files) + "\r\n";
    for (int32_t i = files - 1; i >= 0; --i) text += "  " + FName(i) + "\r\n";
    FCloseFrom(0);
  }
  if (!text.empty()) TraceText(text);
  LastFileName().clear();
}

}  // namespace zelo
