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

// Fits a w x h picture into a bw x bh box keeping its aspect ratio; a picture
// that fits is only centred unless force is set. Zero or negative sizes raise
// (4, 1) and give the box itself (the error stays pending, the caller goes on).
void CalcBoxResize(int32_t w, int32_t h, int32_t bw, int32_t bh, bool force, int32_t& ox,
                   int32_t& oy, int32_t& nw, int32_t& nh);
// Fills count pixels from pixel index first with one colour (8 bits: its low
// byte; 15/16: its low word; 24: the bytes colour shr 16, shr 8, colour; 32:
// the value itself). Pixels outside the image are never written.
void FillColor(Qimg* img, int32_t first, int32_t count, uint32_t colour);

// WinUtils
void* GetWindowHandle();
void ShowErrorBox(const std::string& message);
std::string GetTempFolder();

}  // namespace zelo
