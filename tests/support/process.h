// Running the independent tools the tests compare with (ImageMagick,
// ffmpeg, sox).
#pragma once

#include <cstdio>
#include <string>

namespace zelo::test {

// Standard output of a shell command, as bytes.
inline std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* f = popen(command.c_str(), "r");
  if (f == nullptr) return out;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  pclose(f);
  return out;
}

inline bool HaveTool(const std::string& name) {
  return !RunCommand("command -v " + name + " 2>/dev/null").empty();
}

}  // namespace zelo::test
