// Message boxes and window handles: the few user-interface services the
// library itself needs. Shown with FLTK when a display is available,
// written to standard error otherwise; a host or a test may take them over.
#pragma once

#include <functional>
#include <string>

namespace zelo::ui {

enum class Icon { None, Error, Warning, Information };

using MessageBoxHandler =
    std::function<void(const std::string& text, const std::string& caption, Icon icon)>;

void MessageBox(const std::string& text, const std::string& caption, Icon icon);

// Replaces how message boxes are shown; an empty handler restores the default.
void SetMessageBoxHandler(MessageBoxHandler handler);

// True when a graphical display can be opened.
bool DisplayAvailable();

// The window that owns modal boxes; none on this platform.
void* ForegroundWindow();

// Title of the host program (its executable's name).
std::string HostTitle();

}  // namespace zelo::ui
