#include "platform/sysinfo.h"

#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace zelo::sys {

bool GetOsInfo(OsInfo& out) {
  struct utsname u {};
  if (::uname(&u) != 0) return false;
  out.name = u.sysname;
  out.major = out.minor = out.build = 0;
  std::sscanf(u.release, "%d.%d.%d", &out.major, &out.minor, &out.build);
  return true;
}

bool GetCpuInfo(CpuInfo& out) {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  out.name.clear();
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      size_t colon = line.find(':');
      if (colon != std::string::npos) {
        out.name = line.substr(colon + 1);
        size_t start = out.name.find_first_not_of(" \t");
        out.name = start == std::string::npos ? std::string() : out.name.substr(start);
      }
      break;
    }
  }
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  out.count = n > 0 ? static_cast<int>(n) : 1;
  if (out.name.empty()) out.name = "N/A";
  return true;
}

bool GetMemoryInfo(MemoryInfo& out) {
  std::ifstream in("/proc/meminfo");
  if (!in) return false;
  std::string key;
  uint64_t value = 0;
  std::string unit;
  bool any = false;
  while (in >> key >> value) {
    std::getline(in, unit);
    if (key == "MemTotal:") out.totalKiB = value, any = true;
    else if (key == "MemAvailable:") out.availKiB = value;
    else if (key == "SwapTotal:") out.swapTotalKiB = value;
    else if (key == "SwapFree:") out.swapFreeKiB = value;
  }
  return any;
}

bool GetDiskInfo(const std::string& path, DiskInfo& out) {
  struct statvfs s {};
  if (::statvfs(path.c_str(), &s) != 0) return false;
  out.totalKiB = static_cast<uint64_t>(s.f_blocks) * s.f_frsize / 1024;
  out.freeKiB = static_cast<uint64_t>(s.f_bavail) * s.f_frsize / 1024;
  return true;
}

}  // namespace zelo::sys
