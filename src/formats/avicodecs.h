// AVI video compressors: the process-wide list of installed codecs, the
// current codec record, and the names shown in file information.
#pragma once

#include <cstdint>
#include <string>

#include "formats/avicodec.h"
#include "foundation/types.h"

namespace zelo {

namespace vfw {
struct AVICOMPRESSOPTIONS;
}

// Unit start and stop: the AVI file services are initialised and the current
// codec becomes Cinepak at the depth it accepts (run at library load, and on
// first use by the routines below); the stop frees the compression options
// and the list and closes the services.
void AviCodecsUnitInit();
void AviCodecsUnitDone();

// List of installed codecs (built on first use, freed by AviCodecsDone).
void AviCodecsInit();
void AviCodecsDone();
// Builds the list if needed; with width, height and bits all above 0 fills
// each entry's compatibility and output format. Returns the number of codecs.
int32_t AviCodecList(QAviCodec*** list, int32_t width, int32_t height, int32_t bits);
// List position of the code, or -1.
int32_t AviCodecFind(uint32_t fourcc);
void AviCodecRecord(QAviCodec* record, uint32_t fourcc);

// The current codec record (Cinepak at 24 bits after load).
void AviUseVC(const QAviCodec* record);
void AviGetVC(QAviCodec* record);
void AviSetKeyFrameRate(QAviCodec* record, int32_t value);
void AviSetQuality(QAviCodec* record, int32_t value);
void AviSetDataRate(QAviCodec* record, int32_t value);
int32_t AviVCBpp();
// Selects a codec able to take the picture format, with fallbacks.
void AviSetVC(int32_t width, int32_t height, int32_t bits, BOOL dialogAllowed);
void AviSetVC_(int32_t width, int32_t height, int32_t bits);
BOOL AviSelectVC(int32_t width, int32_t height, int32_t bits);
void AviMakeCmpsOptions_();
// The compression options built by the last successful AviSetVC_.
const vfw::AVICOMPRESSOPTIONS* AviCompressOptions();

BOOL AviCodecCheck_(uint32_t fourcc, int32_t width, int32_t height, int32_t& outBits,
                    int32_t& outHeight, int32_t& outWidth, int32_t bits);
// header: a packed header block (40 bytes, then the colour table of an
// 8-bit format), as FillBitmapInfo_ makes it.
BOOL AviCodecCanEncode_(uint32_t fourcc, const uint8_t* header);
BOOL AviCodecCanEncodeEx_(uint32_t fourcc, int32_t width, int32_t height, int32_t bits);
BOOL AviCodecIsEncoder_(uint32_t fourcc, BOOL& isEncoder);
BOOL AviCodecKeyFrameRate(uint32_t fourcc, int32_t& value);
BOOL AviCodecQuality(uint32_t fourcc, int32_t& value);
void AviCodecAbout(uint32_t fourcc);
void AviCodecConfigure(QAviCodec* record);

// Compression names for file information.
void AVIGetVideoName(uint32_t fourcc, std::string& text);
void AVIGetAudioName(int32_t formatTag, std::string& text);

}  // namespace zelo
