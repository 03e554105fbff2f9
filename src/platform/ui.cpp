#include "platform/ui.h"

#include <X11/Xlib.h>
#include <unistd.h>

#include <FL/Fl.H>
#include <FL/fl_ask.H>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace zelo::ui {
namespace {

MessageBoxHandler& Handler() {
  static MessageBoxHandler* h = new MessageBoxHandler;
  return *h;
}

void DefaultBox(const std::string& text, const std::string& caption, Icon icon) {
  if (DisplayAvailable()) {
    fl_message_title(caption.c_str());
    if (icon == Icon::Error || icon == Icon::Warning)
      fl_alert("%s", text.c_str());
    else
      fl_message("%s", text.c_str());
    return;
  }
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

}  // namespace

void MessageBox(const std::string& text, const std::string& caption, Icon icon) {
  if (Handler())
    Handler()(text, caption, icon);
  else
    DefaultBox(text, caption, icon);
}

void SetMessageBoxHandler(MessageBoxHandler handler) { Handler() = std::move(handler); }

bool DisplayAvailable() {
  static int state = -1;  // asked once: opening a display is slow
  if (state < 0) {
    const char* name = std::getenv("DISPLAY");
    state = 0;
    if (name != nullptr && *name != '\0') {
      if (Display* d = XOpenDisplay(name)) {
        XCloseDisplay(d);
        state = 1;
      }
    }
  }
  return state == 1;
}

void* ForegroundWindow() { return nullptr; }

std::string HostTitle() {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return "ZELO";
  std::string exe(buf, static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  return slash == std::string::npos ? exe : exe.substr(slash + 1);
}

}  // namespace zelo::ui
