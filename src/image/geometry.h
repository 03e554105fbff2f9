// Geometry of unit ImgBasic: nearest-pixel resize, filtered resample, and
// placing one picture into another (opaque or with a key colour).
#pragma once

#include <cstdint>

#include "image/imgbasic.h"

namespace zelo {

// Fixed point of every size step: one source pixel.
constexpr int64_t kGeoOne = 100000;

// Nearest-pixel scaling; 8-bit images stay 8-bit, others come out at 24 bits.
void ImgResize(Qimg* src, Qimg* dst, int32_t width, int32_t height);
// Box-filter shrinking and midpoint-interpolating enlarging; the result is 24-bit.
void ImgResample(Qimg* src, Qimg* dst, int32_t width, int32_t height);
// Copies src into dst with its top-left corner at (x, y); the part outside
// dst is clipped.
void ImgInsert(Qimg* src, Qimg* dst, int32_t x, int32_t y);
// The same, leaving dst where the source pixel equals key (a pixel value in
// the source's own encoding).
void ImgSprite(Qimg* src, Qimg* dst, int32_t x, uint32_t key, int32_t y);
// Common body of the two: op is OP_INSERT or OP_SPRITE.
void AutoPut_(int32_t op, Qimg* src, Qimg* dst, uint32_t key, int32_t y, int32_t x);

// The source pixel (or row) each output pixel (or row) of ImgResize takes.
void ResizeMapX_(int32_t w0, int32_t w1, int32_t* map);
void ResizeMapY_(int32_t h0, int32_t h1, int32_t* map);

}  // namespace zelo
