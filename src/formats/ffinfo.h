// The file-information record every format's information routine fills.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/types.h"
#include "zelo/zelo.h"

namespace zelo {

// What a file holds: pictures and sound. Shared by the file information,
// the source descriptions and the open sources and sinks.
struct QffMedia {
  int32_t width = 0;
  int32_t height = 0;
  int32_t bytesPP = 0;
  int32_t bpp = 0;              // 8, 15, 16, 24 or 32
  int32_t frames = 0;           // 1 for a still image
  double duration = 0;          // seconds (computed: frames / frame rate)
  double pictureSize = 0;       // bytes of the decoded pictures (computed)
  double frameRate = 0;         // frames per second
  std::string videoName;        // video compression name (up to 255 characters)
  BOOL hasPictures = kFalse;
  BOOL picturesReadable = kFalse;
  QWaveFormat storedFormat{};   // the sound as stored in the file
  QWaveFormat pcmFormat{};      // the PCM format the sound is delivered in
  int32_t sampleFrames = 0;
  double soundDuration = 0;     // seconds (computed)
  double pcmSize = 0;           // bytes of the PCM sound (computed)
  double pcmRate = 0;           // (computed)
  int32_t pcmChannels = 0;      // (computed)
  int32_t pcmBits = 0;          // (computed)
  int32_t pcmBlockAlign = 0;    // (computed)
  std::string audioName;        // audio compression name (up to 255 characters)
  BOOL hasSound = kFalse;
  BOOL soundReadable = kFalse;
};

struct QffInfo {
  int32_t id = 0;         // format id actually used
  int64_t fileSize = 0;   // bytes (64-bit: movies pass 4 GiB)
  int32_t dataRate = 0;   // bytes per second, 0 where the format gives none
  QffMedia media;
  std::string description;  // the read table's description of the id
};

// What a still-image format's information routine knows: one frame, which
// has pictures when it is wider than 0.
inline void SetStillInfo(QffInfo* info, int64_t fileSize, int32_t width, int32_t height,
                         int32_t bytesPP, int32_t bpp, const std::string& videoName,
                         BOOL readable) {
  info->fileSize = fileSize;
  QffMedia& m = info->media;
  m.width = width;
  m.height = height;
  m.bytesPP = bytesPP;
  m.bpp = bpp;
  m.frames = 1;
  m.videoName = videoName;
  m.hasPictures = width > 0 ? kTrue : kFalse;
  m.picturesReadable = readable;
}

// The short strings of the records hold at most 255 characters.
inline std::string ShortString(const std::string& s) { return s.size() > 255 ? s.substr(0, 255) : s; }

}  // namespace zelo
