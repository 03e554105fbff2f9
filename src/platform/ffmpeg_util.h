// Shared set-up of the FFmpeg libraries for every platform service built on
// them (video compressors, AVI frame decoding, audio conversion). FFmpeg
// never writes to the host's terminal: its log goes to a callback that keeps
// the last message of each thread, so a failure can be reported with it.
#pragma once

#include <string>

namespace zelo::ff {

// Installs the log callback once per process; cheap to call every time.
void FFmpegInit();

// The last message FFmpeg logged (at error level or worse) on this thread,
// empty when none; FFmpegClearMessage forgets it.
std::string FFmpegLastMessage();
void FFmpegClearMessage();

// Text of an FFmpeg error code (AVERROR...).
std::string FFmpegErrorText(int error);

}  // namespace zelo::ff
