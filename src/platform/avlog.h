// FFmpeg's log output: kept away from the host's terminal. The last error
// message FFmpeg reported is kept for the library's own error texts.
#pragma once

#include <string>

namespace zelo::av {

// Installs the quiet log callback (once per process; cheap to call again).
void QuietLog();

// The last message FFmpeg logged at error level or worse, without the line end.
std::string LastMessage();
void ClearLastMessage();

// Text of an AVERROR code.
std::string ErrorText(int averror);

}  // namespace zelo::av
