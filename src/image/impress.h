// Unit impress: picture corrections (per-channel tables), 3 x 3 convolutions
// and frame averaging.
#pragma once

#include <cstdint>

#include "zelo/zelo.h"

namespace zelo {

// Per-channel table builder: value, 256-byte table.
using TuneCalc = void (*)(double value, uint8_t* table);

void ImgBrightness(Qimg* src, Qimg* dst, int32_t red, int32_t green, int32_t blue);
void ImgContrast(Qimg* src, Qimg* dst, int32_t red, int32_t green, int32_t blue);
void ImgGamma(Qimg* src, Qimg* dst, double red, double green, double blue);
void ImgWhiteBalance(Qimg* src, Qimg* dst, int32_t red, int32_t green, int32_t blue);
void ImgSoften(Qimg* src, Qimg* dst);
void ImgSharpen(Qimg* src, Qimg* dst);
void ImgEdgeEnhance(Qimg* src, Qimg* dst);

// Frame averaging: one running sum for the whole library.
void ImgAverage(const Qimg* img);
void ImgAverageGet(Qimg* img);
void ImgAverageClear();
int32_t ImgAverageCount();

void AutoTune_(int32_t op, Qimg* src, Qimg* dst, double vr, double vg, double vb,
               TuneCalc builder);
void BrightnessCalc_(double x, uint8_t* table);
void ContrastCalc_(double x, uint8_t* table);
void GammaCalc_(double g, uint8_t* table);
// Tables in the remap layout: 256 red, 256 green, 256 blue.
void WhiteBalanceCalc_(int32_t blue, int32_t green, int32_t red, uint8_t* table);

// Eleven values: nine coefficients row by row, a right shift and an offset.
struct ConvKernel {
  int16_t coef[9];
  int16_t shift;
  int16_t offset;
};
void AutoFilter_(int32_t op, Qimg* src, Qimg* dst, const ConvKernel& kernel);

}  // namespace zelo
