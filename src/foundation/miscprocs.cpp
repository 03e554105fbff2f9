#include "foundation/miscprocs.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "platform/ui.h"

namespace zelo {

std::string AddBS(const std::string& text) {
  PathScope path("miscprocs.AddBS");
  if (text.empty() || text.back() == '/') return text;
  return text + '/';
}

std::string GetAppDir() {
  PathScope path("miscprocs.GetAppDir");
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return "./";
  std::string exe(buf, static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return "./";
  return AddBS(exe.substr(0, slash + 1));
}

double RoundEx(int32_t decimals, double value) {
  PathScope path("miscprocs.RoundEx");
  decimals = ClampInt(decimals, 0, 10);
  double scale = std::pow(10.0, decimals);
  return std::trunc(value * scale) / scale;
}

int32_t DivisibleInt(int32_t a, int32_t b) {
  PathScope path("miscprocs.DivisibleInt");
  return CheckedDiv(a, b) * b;
}

std::string SecToStr(int32_t flags, double seconds) {
  PathScope path("miscprocs.SecToStr");
  double hours = std::trunc(seconds / 3600.0);
  double r = seconds - hours * 3600.0;
  double minutes = std::trunc(r / 60.0);
  r -= minutes * 60.0;
  double whole = std::trunc(r);
  int64_t ms = static_cast<int64_t>(std::trunc((r - whole) * 1000.0));
  bool showMin = HasFlag(flags, 2), showSec = HasFlag(flags, 4);
  std::string s;
  if (hours >= 1 || HasFlag(flags, 1)) {
    s += FmtInt(202, static_cast<int64_t>(hours));
    showMin = showSec = true;
  }
  if (minutes > 0 || showMin) {
    if (!s.empty()) s += ':';
    s += FmtInt(202, static_cast<int64_t>(minutes));
    showSec = true;
  }
  if (whole > 0 || showSec) {
    if (!s.empty()) s += ':';
    s += FmtInt(202, static_cast<int64_t>(whole));
  }
  if ((ms > 0 || HasFlag(flags, 8)) && !HasFlag(flags, 16)) {
    if (s.empty()) s.push_back('0');
    s += '.';
    s += FmtInt(203, ms);
  }
  return s;
}

std::string RepChar(char c, int32_t count) {
  PathScope path("miscprocs.RepChar");
  return count > 0 ? std::string(static_cast<size_t>(count), c) : std::string();
}

bool FindNextMarker(const std::string& text, const std::string& marker, int32_t& position) {
  PathScope path("miscprocs.FindNextMarker");
  const int32_t len = static_cast<int32_t>(text.size());
  const int32_t mlen = static_cast<int32_t>(marker.size());
  if (mlen == 0 || position < 1 || position > len - mlen + 1) return false;
  for (int32_t p = position; p <= len - mlen + 1; ++p) {
    if (text[p - 1] == marker[0] && CompareBytes(mlen, text.data() + p - 1, marker.data()) == 0) {
      position = p;
      return true;
    }
  }
  return false;
}

bool GetNextBlock(const std::string& text, const std::string& separator, std::string& piece,
                  int32_t& position) {
  PathScope path("miscprocs.GetNextBlock");
  const int32_t len = static_cast<int32_t>(text.size());
  const int32_t slen = static_cast<int32_t>(separator.size());
  // Stops only when nothing is left, so that a last piece shorter than a
  // long separator is not lost (for one-character separators this is the
  // same bound as len - slen + 1).
  if (position < 1 || position > len || slen == 0) return false;
  int32_t found = position;
  if (FindNextMarker(text, separator, found)) {
    piece = text.substr(static_cast<size_t>(position - 1), static_cast<size_t>(found - position));
    position = found + slen;
  } else {
    piece = text.substr(static_cast<size_t>(position - 1));
    position = len + 1;
  }
  return true;
}

void CalcBoxResize(int32_t w, int32_t h, int32_t bw, int32_t bh, bool force, int32_t& ox,
                   int32_t& oy, int32_t& nw, int32_t& nh) {
  PathScope path("miscprocs.CalcBoxResize");
  nw = w;
  nh = h;
  ox = oy = 0;
  // The error stays pending for the caller, which goes on with the box.
  ProtectedKeep([&] {
    if (w <= 0 || h <= 0 || bw <= 0 || bh <= 0) {
      ox = oy = 0;
      nw = bw;
      nh = bh;
      ErrRaise(ERR_GEN, 1, 1501);
      return;
    }
    if (!force && w <= bw && h <= bh) {
      ox = (bw - w) / 2;
      oy = (bh - h) / 2;
      return;
    }
    const double rx = static_cast<double>(bw) / w;
    const double ry = static_cast<double>(bh) / h;
    if (rx < ry) {
      nw = bw;
      nh = static_cast<int32_t>(std::trunc(h * rx));
    } else {
      nh = bh;
      nw = static_cast<int32_t>(std::trunc(w * ry));
    }
    nw = std::max(nw, 1);
    nh = std::max(nh, 1);
    ox = std::abs(bw - nw) / 2;
    oy = std::abs(bh - nh) / 2;
  });
}

void FillColor(Qimg* img, int32_t first, int32_t count, uint32_t colour) {
  PathScope path("miscprocs.FillColor");
  CheckPtr(img);
  const int64_t pixels = int64_t(img->resX) * img->resY;
  // Clamped to the pixels from first to the end, so that a run never leaves
  // the buffer.
  if (pixels <= 0 || first < 0 || first >= pixels || count <= 0) return;
  const int64_t n = std::min<int64_t>(count, pixels - first);
  uint8_t* p = static_cast<uint8_t*>(CheckPtr(img->pixPtr)) + int64_t(first) * img->bytesPP;
  switch (img->bytesPP) {
    case 1:
      FillBytes(uint8_t(colour), n, p);
      break;
    case 2:
      FillWords(uint16_t(colour), n, p);
      break;
    case 3:
      FillTriples(colour, n, p);
      break;
    case 4:
      FillDWords(colour, n, p);
      break;
    default:
      break;
  }
}

void* GetWindowHandle() { return ui::ForegroundWindow(); }

void ShowErrorBox(const std::string& message) { ui::MessageBox(message, "Error", ui::Icon::Error); }

std::string GetTempFolder() {
  const char* dir = std::getenv("TMPDIR");
  std::string s = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
  return AddBS(s);
}

}  // namespace zelo
