// System figures for the trace log: operating system, processor, memory and
// disk space.
#pragma once

#include <cstdint>
#include <string>

namespace zelo::sys {

struct OsInfo {
  std::string name;  // kernel name, e.g. "Linux"
  int major = 0, minor = 0, build = 0;
};
struct CpuInfo {
  std::string name;  // processor model
  int count = 0;
};
struct MemoryInfo {
  uint64_t totalKiB = 0, availKiB = 0, swapTotalKiB = 0, swapFreeKiB = 0;
};
struct DiskInfo {
  uint64_t totalKiB = 0, freeKiB = 0;
};

bool GetOsInfo(OsInfo& out);
bool GetCpuInfo(CpuInfo& out);
bool GetMemoryInfo(MemoryInfo& out);
bool GetDiskInfo(const std::string& path, DiskInfo& out);

}  // namespace zelo::sys
