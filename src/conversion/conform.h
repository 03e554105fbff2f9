// Unit ConForm, split by concern: file information, image file dispatch and
// the output format's save settings.
#pragma once

#include <cstdint>
#include <string>

#include "conversion/ffsave.h"
#include "formats/ffinfo.h"
#include "zelo/zelo.h"

namespace zelo {

// --- file information ---------------------------------------------------------
// Fills info for the file; id UNDEF takes the format from the extension.
// A format without an information routine raises (14, 2).
void FFInfo(const std::string& name, int32_t id, QffInfo* info);

// The compression name an output format's settings will use.
void FFSaveCodecName(const QffSave& settings, const std::string& fileName, std::string& text);

// --- image file dispatch --------------------------------------------------------
// Loads the first picture of a still-image file (id UNDEF: by the read
// table); ids without a reader raise (7, 2).
void ImgLoad(const std::string& name, Qimg* img, int32_t id);
// Saves the image, replacing the file (id UNDEF: by the write table); an
// image without pixels raises (7, 9), ids without a writer (7, 2).
void ImgSave(const std::string& name, Qimg* img, int32_t id);

}  // namespace zelo
