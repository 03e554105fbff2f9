// Start and stop of the library's modules.
#pragma once

namespace zelo {

// Initialises every module once (called when the library is loaded).
void LibraryInit();
// Finalises in reverse order and writes the unload report.
void LibraryDone();

}  // namespace zelo
