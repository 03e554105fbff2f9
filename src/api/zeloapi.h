// What the conversion exports share: the process-wide state of a run, the
// bridges between the engine and the host's callbacks.
#pragma once

#include <cstdint>
#include <string>

#include "api/zelorec.h"
#include "zelo/zelo.h"

namespace zelo::api {

// The write-table format of an output name, UNDEF when no writable format
// claims its extension.
int32_t OutputFormatID(const std::string& fileName);

// Process-wide state of the conversion layer: the record being converted,
// its progress routine, the source file name buffers and the source image
// and sound of the ZeloSrc... setters.
struct ConvShared {
  ZeloRec* rec;
  ZeloProgressCB progress;
  char* videoName;  // tracked strings, replaced by every ZeloSrcSetFile
  char* audioName;
  Qimg srcImg;
  Qsnd srcSnd;
};
ConvShared& Shared();

// Installs the engine callbacks for the record: the source and function
// bridges of a kind only when the host registered that kind's source.
void InstallBridges(ZeloRec* rec);
// Calls the host's progress routine with the record's state and counters.
void CallUserProgress(ZeloRec* rec);
// Frees the name buffers, the source image and the source sound.
void ReleaseSourceBuffers();

}  // namespace zelo::api
