// Error pairs (category, code), the pending and secondary error state and
// the message texts.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/types.h"

namespace zelo {

// Raises the outcome of a routine: a non-zero pair becomes the pending error
// (and unwinds the current protected frame), a zero code clears it.
void ErrRaise(int32_t category, int32_t code, int32_t location);
void ErrRaiseText(int32_t category, int32_t code, const std::string& text, int32_t location);
void ErrRaiseMsg(int32_t category, const std::string& text, int32_t location);

// Secondary error: recorded and traced, never unwinds anything.
void ErrWarn(int32_t category, int32_t code, int32_t location);
void ErrWarnText(int32_t category, int32_t code, const std::string& text, int32_t location);
void ErrWarnMsg(int32_t category, const std::string& text, int32_t location);

void ErrClear();
void ErrWarnClear();
bool ErrNone();
bool ErrWarnNone();
int32_t ErrCategory();
int32_t ErrCode();
int32_t ErrWarnCategory();
int32_t ErrWarnCode();
const std::string& ErrWarnTextStored();

// Message text of a pair; category 0 or code 0 gives "No errors.".
std::string ErrText(int32_t category, int32_t code);

// Name of the last file opened, created, deleted or renamed.
std::string& LastFileName();

// The raise lock: while set, raises are dropped (used while the trace log
// writes, and while a frame releases its resources).
bool ErrLocked();
void ErrSetLocked(bool locked);

// Sets the pending pair directly, without tracing or unwinding (the
// monitor's bookkeeping when frames close).
void ErrSetPrimary(int32_t category, int32_t code);
void ErrSetPrimaryText(const std::string& text);

// Resets the whole error state (library load).
void ErrInit();

}  // namespace zelo
