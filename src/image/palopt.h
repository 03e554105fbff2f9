// Unit PalOpt: reduction of true-colour pictures to an optimised palette of
// at most 256 colours, plain or dithered.
#pragma once

#include <cstdint>

#include "zelo/zelo.h"

namespace zelo {

// A cell of the colour cube is r6 + 64 * g6 + 4096 * b6 (6 bits per channel).
constexpr int32_t kPalCells = 262144;

// A box of the cube (inclusive 6-bit bounds) with its statistics.
struct PalBox {
  int32_t r0, r1, g0, g1, b0, b1;
  int32_t dr, dg, db;
  int32_t spread;  // (db^2 + dr^2 + dg^2) * 121
  double varR, varG, varB;
  int32_t midR, midG, midB;
};

// The process-wide work block (tag "PalOpt.PalInit.quantP").
struct PalWork {
  // Histogram (pixel count - 1, -1 = no pixel, stops at INT32_MAX) until
  // PalReduce, then the inverse map (palette index, -1 = not yet known).
  int32_t cells[kPalCells];
  int32_t distinct;
  uint8_t pal[256][3];  // blue, green, red
  int32_t corr[256];    // 8-bit value for 4 x a 6-bit mean
  int32_t boxCount;
  PalBox boxes[256];
  int32_t target;
};

void PalInit();
void PalClearVars();
void PalCountColors(const Qimg* img);
void PalReduce(int32_t colours);
// mode: 0 plain, 1 lite dither, 2 heavy dither; other modes do nothing.
void PalRemap(Qimg* img, Qimg* out, int32_t mode);
void PalDone();
void ConvTo8bit(Qimg* img, Qimg* out, int32_t mode);

// The work block while it lives, else null (tests and diagnostics).
PalWork* PalWorkBlock();
// Index of the entry nearest to a colour among the first count entries.
int32_t PalNearest(const PalWork* q, int32_t red, int32_t green, int32_t blue, int32_t count);
// The 128 x 128 threshold matrix of the lite dither, row by row.
const uint8_t* PalDitherMatrix();
// One error table of the heavy dither (513 entries, indexed by error + 256).
void _MakeErrTable(int32_t weight, int32_t* table);

}  // namespace zelo
