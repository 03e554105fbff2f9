// The save settings of an output format: kept in the conversion record,
// copied into the output sink, handed to the format modules before a save.
#pragma once

#include <cstdint>

#include "foundation/types.h"
#include "formats/avicodec.h"

namespace zelo {

struct QffSave {
  BOOL useSettings;        // the sink hands these settings to the format module
  BOOL hasSettings;        // the current format has options
  int32_t id;              // format id
  int32_t codec;           // in effect (filled when an output is prepared)
  int32_t quality;         // in effect
  int32_t dataRate;        // in effect
  int32_t keyFrameRate;    // in effect
  int32_t tgaCompression;  // 1 run-length, 0 off
  int32_t tifCompression;  // TIFF code: 1 none, 5 LZW, 7 JPEG, 32773 PackBits, 32946 Deflate
  int32_t sgiCompression;  // 1 run-length, 0 off
  int32_t rasCompression;  // 1 run-length, 0 off
  int32_t pnmEncoding;     // 0 binary, other ASCII
  int32_t jexCodec;        // 0 best, 1 fast
  int32_t pngLevel;        // 0..9
  int32_t mpgFormat;       // 1 MPEG-1, 2 MPEG-2
  QAviCodec avi;           // the AVI compressor settings
  int32_t jpgQuality;      // 0..100
  int32_t jexKeyFrameRate; // every n-th frame a key frame
  int32_t mpgDataRate;     // kilobits per second
};

// The settings a new conversion record starts with (format id UNDEF).
void ResetQffSave(QffSave* settings);

// Chooses the output format: stores the id and whether it has options.
void SetFormat(QffSave* settings, int32_t id);
// Setters of the chosen format's options; formats without the option ignore
// the call.
void FFSaveSetCodec(QffSave* settings, int32_t value);
void FFSaveSetQuality(QffSave* settings, int32_t value);
void FFSaveSetKeyFrameRate(QffSave* settings, int32_t value);
// AVI: kilobytes per second of the compressor; MPEG: value x 8 kilobits.
void FFSaveSetDataRate(QffSave* settings, int32_t value);
// Fills the in-effect fields for a run; returns the depth the output will
// store for pictures of that depth (UNDEF when no AVI compressor takes them).
int32_t FFSavePrepare(QffSave* settings, int32_t width, int32_t height, int32_t depth);

}  // namespace zelo
