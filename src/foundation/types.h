// Basic types and constants shared by every unit of the library.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "zelo/zelo.h"

namespace zelo {

using BOOL = int32_t;  // 32-bit boolean of the records and exports
constexpr BOOL kTrue = -1;
constexpr BOOL kFalse = 0;
inline BOOL ToBool(bool b) { return b ? kTrue : kFalse; }

// UNDEF, UNDEF_REAL, the error categories (ERR_...), MAX_CODE and the result
// codes (RES_...) come from the public header.
// A fault that the hardware would trap on the original platform (null or
// foreign address, division by zero, index out of range). Code checks such
// conditions explicitly and throws this, so that protected frames and the
// export trap see the same outcome as for a trapped fault.
class EFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void ThrowFault(const char* message);

// Checks a host-supplied address before it is used.
template <class T>
inline T* CheckPtr(T* p) {
  if (p == nullptr) ThrowFault("Access violation at address 00000000. Read of address 00000000");
  return p;
}

// Integer division that traps like the hardware would.
inline int32_t CheckedDiv(int32_t a, int32_t b) {
  if (b == 0) ThrowFault("Division by zero");
  if (a == INT32_MIN && b == -1) ThrowFault("Integer overflow");
  return a / b;
}

}  // namespace zelo
