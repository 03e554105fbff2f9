// Output writer settings routines (declared here until the writer lands).
#pragma once
#include "conversion/ffsave.h"
namespace zelo {
void SetFormat(QffSave* settings, int32_t id);
void FFSaveSetCodec(QffSave* settings, int32_t value);
void FFSaveSetQuality(QffSave* settings, int32_t value);
void FFSaveSetKeyFrameRate(QffSave* settings, int32_t value);
void FFSaveSetDataRate(QffSave* settings, int32_t value);
int32_t FFSavePrepare(QffSave* settings, int32_t width, int32_t height, int32_t depth);
}  // namespace zelo
