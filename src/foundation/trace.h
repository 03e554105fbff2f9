// The trace log: an optional text file with a header, one line per export
// call (when asked for) and the error lines with the call path.
#pragma once

#include <cstdint>
#include <string>

namespace zelo {

bool TraceActive();
void TraceSetFile(const std::string& name);
const std::string& TraceFile();
void TraceStart(const std::string& firstLine);
void TraceStop();
void TraceLine(const std::string& text);
void TraceText(const std::string& text);  // each CR LF separated piece as a "#" line
void TraceError(char marker, int32_t category, int32_t code, int32_t location,
                const std::string& message);
void TraceMemory();
void TraceDisk(const std::string& drive);

// Renderers for export trace lines.
std::string StrInt(int64_t value);
std::string StrHex(uint32_t value);
std::string StrReal(double value);
std::string StrBool(int32_t value);
std::string StrPtr(const void* p);
std::string StrText(const char* text);  // a host text, "NULL" for a null address

}  // namespace zelo
