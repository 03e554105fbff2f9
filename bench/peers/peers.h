// Peer libraries doing the comparable jobs in process, on one 24-bit picture
// handed over as packed rows of three bytes per pixel. Every function returns
// the best time of `runs` runs in milliseconds, or -1 when the peer was not
// built in.
#pragma once

#include <cstdint>
#include <functional>

namespace peers {

double BestMs(int runs, const std::function<void()>& fn);

// ImageMagick (MagickCore, its default OpenMP threads).
bool MagickLoad(const uint8_t* pixels, int width, int height);
double MagickSample(int width, int height, int runs);  // nearest pixel
double MagickScale(int width, int height, int runs);   // box average / replicate
double MagickConvolve(const double* kernel3x3, int runs);
double MagickQuantize(int dither, int runs);  // 0 none, 1 Riemersma, 2 Floyd-Steinberg
void MagickUnload();

// libvips (its default threads, operation cache off).
bool VipsLoad(const uint8_t* pixels, int width, int height);
double VipsResize(double hscale, double vscale, bool nearest, int runs);  // nearest or linear
double VipsShrink(double hshrink, double vshrink, int runs);              // box average
double VipsConvolve(const double* kernel3x3, double scale, int runs);     // integer precision
void VipsUnload();

}  // namespace peers
