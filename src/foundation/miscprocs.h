// Units miscprocs and WinUtils: texts, times, numbers, file names, and the
// modal error box.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/basic.h"

namespace zelo {

std::string AddBS(const std::string& text);  // appends "/" unless empty or present
std::string GetAppDir();                      // directory of the host program, with "/"
double RoundEx(int32_t decimals, double value);
int32_t DivisibleInt(int32_t a, int32_t b);
std::string SecToStr(int32_t flags, double seconds);
std::string RepChar(char c, int32_t count);
bool FindNextMarker(const std::string& text, const std::string& marker, int32_t& position);
bool GetNextBlock(const std::string& text, const std::string& separator, std::string& piece,
                  int32_t& position);

// WinUtils
void* GetWindowHandle();
void ShowErrorBox(const std::string& message);
std::string GetTempFolder();

}  // namespace zelo
