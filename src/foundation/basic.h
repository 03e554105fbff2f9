// Unit Basic: tracked memory blocks, the file access layer and the byte and
// number helpers used everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/types.h"

namespace zelo {

// --- tracked memory -----------------------------------------------------------
enum : int32_t { MEM_BLOCK = 0, MEM_STRING = 1, MEM_NEW = 2 };
constexpr int32_t kMemTableSize = 10240;

// Allocates, resizes or re-allocates the block held by *var (see memory.cpp);
// returns 0, 1, 3, 5 or 6 and raises that code in the memory category.
int32_t _memalloc_(void** var, int32_t size, int32_t location, int32_t kind, const char* tag);

template <class T>
int32_t _memalloc_(T** var, int32_t size, int32_t location, int32_t kind, const char* tag) {
  return _memalloc_(reinterpret_cast<void**>(var), size, location, kind, tag);
}

void MemFree(void** var);
template <class T>
void MemFree(T** var) {
  MemFree(reinterpret_cast<void**>(var));
}

void MemXchg(void** a, void** b);
template <class T>
void MemXchg(T** a, T** b) {
  MemXchg(reinterpret_cast<void**>(a), reinterpret_cast<void**>(b));
}

int32_t MemFind(void* const* var, int32_t mode);
bool MemIsTracked(const void* var);  // var: address of a pointer variable
int32_t MemCount();
int32_t MemMax();
// Releases every entry at position n or beyond; a protected frame that
// unwinds also clears the owner variables that still hold those blocks.
void MemFreeFrom(int32_t n, bool clearOwners = false);
void MemReport();

// Inspection of one entry (tests and reports).
struct MemEntryView {
  void* block;
  void* const* variable;
  int32_t size;
  std::string tag;
};
MemEntryView MemEntry(int32_t position);

// Bytes actually allocated for a request (5 % margin, multiple of 4).
int32_t MemRoundSize(int32_t requested);

// Test hook: makes the next n heap requests fail (0 turns it off).
void MemFailAfter(int32_t allocationsThatSucceed);

// --- file access layer --------------------------------------------------------
enum : int32_t { FM_READ = 1, FM_WRITE = 2, FM_CREATE = 4, FM_APPEND = 8 };
constexpr int32_t kFileTableSize = 64;

int32_t FOpen(int32_t& handle, const std::string& name, int32_t flags);
int32_t FRead(int32_t handle, void* buffer, int64_t count);
void FReadSome(int32_t handle, void* buffer, int64_t count, int64_t& done);
int32_t FWrite(int32_t handle, const void* buffer, int64_t count);
int32_t FSeek(int32_t handle, int64_t position);
int64_t FSize(int32_t handle);  // UNDEF for a handle that is not open
int64_t FPos(int32_t handle);   // UNDEF for a handle that is not open
void FClose(int32_t handle);
int32_t TXTOpen(int32_t& handle, const std::string& name, int32_t flags);
int32_t TXTWrite(int32_t handle, const std::string& text);
void TXTClose(int32_t handle);
int32_t FDelete(const std::string& name);
int32_t FRename(const std::string& oldName, const std::string& newName);
int32_t FCount();
void FCloseFrom(int32_t n);
bool FIsOpen(int32_t handle);
std::string FName(int32_t position);  // name of the entry at a table position

bool FileExists(const std::string& name);

// --- byte and number helpers --------------------------------------------------
void FillBytes(uint8_t value, int64_t count, void* buffer);
void FillWords(uint16_t value, int64_t count, void* buffer);
void FillTriples(uint32_t value, int64_t count, void* buffer);
void FillDWords(uint32_t value, int64_t count, void* buffer);
void MoveBytes(int64_t count, void* dest, const void* src);
void SwapBytes(int64_t count, void* a, void* b);
int32_t CompareBytes(int64_t count, const void* a, const void* b);
int32_t FindBytes(int32_t step, int32_t length, int32_t patternLength, const void* buffer,
                  const void* pattern);
inline bool HasFlag(int32_t value, int32_t mask) { return (value & mask) != 0; }
inline uint16_t Swap16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }
inline uint32_t Swap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
inline uint32_t SwapRGB(uint32_t c) {
  return (c & 0xFF00FF00u) | ((c >> 16) & 0xFFu) | ((c & 0xFFu) << 16);
}
inline int32_t ClampInt(int32_t value, int32_t low, int32_t high) {
  int32_t v = value < high ? value : high;
  return v > low ? v : low;
}
inline double ClampReal(double value, double low, double high) {
  double v = value < high ? value : high;
  return v > low ? v : low;
}
bool SameReal(double a, double b);
inline int32_t IfInt(bool flag, int32_t a, int32_t b) { return flag ? a : b; }
inline const std::string& IfText(bool flag, const std::string& a, const std::string& b) {
  return flag ? a : b;
}
std::string FmtInt(int32_t width, int64_t value);
std::string FmtReal(int32_t width, int32_t decimals, double value);
int32_t DecToInt(const char* digits);

// Little- and big-endian integers in byte buffers (file formats).
inline uint16_t GetLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint16_t GetBE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t GetBE32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline void PutLE16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void PutLE32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline void PutBE16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void PutBE32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

}  // namespace zelo
