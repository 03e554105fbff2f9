#include "foundation/trace.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/miscprocs.h"
#include "foundation/monitor.h"
#include "platform/sysinfo.h"

namespace zelo {
namespace {

struct TraceState {
  bool active = false;
  std::string file;
};

TraceState& State() {
  static TraceState* s = new TraceState;
  return *s;
}

// Keeps the raise lock set for a scope, so that failures while tracing are
// dropped instead of being traced or unwinding anything.
class RaiseLock {
 public:
  RaiseLock() : was_(ErrLocked()) { ErrSetLocked(true); }
  ~RaiseLock() { ErrSetLocked(was_); }

 private:
  bool was_;
};

std::string KiBLine(uint64_t total, uint64_t free) {
  return "\t  total: " + FmtInt(100, static_cast<int64_t>(total)) +
         "\tk, free: " + FmtInt(100, static_cast<int64_t>(free)) + "k";
}

}  // namespace

bool TraceActive() { return State().active; }
void TraceSetFile(const std::string& name) { State().file = name; }
const std::string& TraceFile() { return State().file; }

void TraceStart(const std::string& firstLine) {
  RaiseLock lock;
  TraceState& s = State();
  TraceStop();
  ::unlink(s.file.c_str());
  std::FILE* f = std::fopen(s.file.c_str(), "w");
  if (f == nullptr) return;
  std::fclose(f);
  s.active = true;
  PathClear();
  TraceLine(firstLine);
  std::time_t now = std::time(nullptr);
  std::tm tm {};
  localtime_r(&now, &tm);
  char date[64];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d, %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min);
  TraceLine(std::string("Trace started at ") + date);
  sys::OsInfo os;
  sys::CpuInfo cpu;
  if (sys::GetOsInfo(os)) {
    TraceLine("OS: " + os.name + " v" + std::to_string(os.major) + "." + std::to_string(os.minor) +
              " - build " + std::to_string(os.build & 0xFFFF));
    if (sys::GetCpuInfo(cpu))
      TraceLine("CPU: " + cpu.name + ", processors: " + std::to_string(cpu.count));
  }
  TraceLine(std::string(40, '-'));
}

void TraceStop() {
  State().active = false;
  PathClear();
}

void TraceLine(const std::string& text) {
  TraceState& s = State();
  if (!s.active) return;
  RaiseLock lock;
  s.active = false;
  // Opened and closed for every line, so that what was written survives a
  // crash of the host.
  if (std::FILE* f = std::fopen(s.file.c_str(), "a")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fputc('\n', f);
    std::fclose(f);
  }
  s.active = true;
}

void TraceText(const std::string& text) {
  if (!TraceActive()) return;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    std::string piece = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!piece.empty() && piece.back() == '\r') piece.pop_back();
    if (end == std::string::npos) {
      if (!piece.empty()) TraceLine("#" + piece);
      break;
    }
    TraceLine("#" + piece);
    start = end + 1;
  }
}

void TraceError(char marker, int32_t category, int32_t code, int32_t location,
                const std::string& message) {
  if (!TraceActive()) return;
  // Built by appending: GCC 12 warns falsely on chains of operator+ here.
  std::string line(1, marker);
  line.append(FmtInt(0, category)).append(":").append(FmtInt(0, code)).append(";\"");
  line.append(message).append("\"");
  TraceLine(line);
  std::string where(1, '@');
  where.append(PathText()).append(";").append(FmtInt(0, location));
  TraceLine(where);
  TraceMemory();
  TraceDisk(GetAppDir());
}

void TraceMemory() {
  if (!TraceActive()) return;
  sys::MemoryInfo m;
  if (!sys::GetMemoryInfo(m)) return;
  TraceText("Physical memory:\r\n" + KiBLine(m.totalKiB, m.availKiB) + "\r\nSwap memory:\r\n" +
            KiBLine(m.swapTotalKiB, m.swapFreeKiB));
}

void TraceDisk(const std::string& drive) {
  if (!TraceActive()) return;
  sys::DiskInfo d;
  if (!sys::GetDiskInfo(drive, d)) return;
  TraceText("Drive " + drive + "\r\n" + KiBLine(d.totalKiB, d.freeKiB));
}

std::string StrInt(int64_t value) { return FmtInt(0, value); }

std::string StrHex(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08" PRIX32, value);
  return buf;
}

std::string StrReal(double value) { return FmtReal(0, 2, value); }

std::string StrBool(int32_t value) { return value != 0 ? "TRUE" : "FALSE"; }

std::string StrPtr(const void* p) {
  if (p == nullptr) return "NULL";
  char buf[32];
  // Addresses are 64-bit here; they are written with at least eight digits.
  std::snprintf(buf, sizeof buf, "0x%08" PRIXPTR, reinterpret_cast<uintptr_t>(p));
  return buf;
}

std::string StrText(const char* text) { return text == nullptr ? "NULL" : text; }

}  // namespace zelo
