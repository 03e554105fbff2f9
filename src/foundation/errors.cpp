#include "foundation/errors.h"

#include "foundation/miscprocs.h"
#include "foundation/monitor.h"
#include "foundation/trace.h"

namespace zelo {
namespace {

struct ErrState {
  int32_t category = 0;
  int32_t code = 0;
  std::string text;
};

// Process-wide state; never destroyed, so that the unload report can still
// use it whatever order the run-time tears things down in.
struct ErrGlobals {
  ErrState primary;
  ErrState secondary;
  bool lock = false;
  std::string lastFileName;
};
ErrGlobals& G() {
  static ErrGlobals* g = new ErrGlobals;
  return *g;
}

struct Table {
  const char* const* texts;  // texts[0] is the line for unlisted codes
  int32_t count;             // listed codes 1 .. count
};

constexpr const char* kGen[] = {"General \"GEN\" error.", "Out of range.", "Not supported.",
                                "Invalid variable type."};
constexpr const char* kMem[] = {"General memory fault.",         "Memory allocation fault.",
                                "Memory manager fault.",         "Memory reallocation fault.",
                                "Memory could not be deallocated.", "Invalid memory request.",
                                "Fatal memory manager error."};
constexpr const char* kFile[] = {"General file handling fault.", "Cannot open file: ",
                                 "Cannot create file: ",         "Cannot read from file.",
                                 "Cannot write to file.",        "Cannot seek in file.",
                                 "Cannot delete file: ",         "Cannot append to file: ",
                                 "Cannot close file.",           "File not exist.",
                                 "File name change failed.",     "Fatal file manager fault."};
constexpr const char* kImg[] = {"General image handling fault.",
                                "Image format not supported.",
                                "Invalid image format.",
                                "Cannot decompress image data.",
                                "Image header invalid.",
                                "Cannot compress image data.",
                                "Cannot initialize image function.",
                                "Cannot initialize image compression data.",
                                "Cannot open image file.",
                                "Image data corrupted.",
                                "Cannot realize palette.",
                                "Cannot create image file."};
constexpr const char* kSnd[] = {"General audio handling fault.", "Audio conversion error.",
                                "Audio conversion error (ACM).", "Audio conversion error (WAVE).",
                                "Invalid audio format."};
constexpr const char* kAvi[] = {"General AVI handling fault.",
                                "Cannot read from AVI file.",
                                "Cannot write to AVI file.",
                                "Cannot read audio data from AVI file.",
                                "Cannot write audio data to AVI file.",
                                "Cannot open AVI file.",
                                "Cannot create AVI file.",
                                "Cannot initialize AVI codec.",
                                "AVI audio stream not valid (decompressor not found?), ignoring audio"};
constexpr const char* kMvi[] = {"General \"MVI\" handling fault.",
                                "Invalid movie format.",
                                "Cannot write to movie file.",
                                "Cannot decompress movie image data.",
                                "Cannot compress movie image data.",
                                "Movie format not supported.",
                                "Cannot open movie file.",
                                "End of movie reached.",
                                "Cannot create movie file."};
constexpr const char* kWav[] = {"general \"WAV\" handling fault.", "Cannot open WAV file.",
                                "Cannot create WAV file.",         "Cannot read from WAV file.",
                                "Cannot write to WAV file.",       "Cannot seek in WAV file."};
constexpr const char* kJex[] = {"General \"JEX\" handling fault.", "End of JEX movie reached."};
constexpr const char* kFlic[] = {"General \"FLIC\" handling fault.", "End of FLIC movie reached."};
constexpr const char* kUni[] = {"General \"UNI\" handling fault.", "UNI protocol fault."};

template <size_t N>
constexpr Table MakeTable(const char* const (&t)[N]) {
  return Table{t, static_cast<int32_t>(N - 1)};
}

std::string FromTable(const Table& t, int32_t code) {
  if (code >= 1 && code <= t.count) return t.texts[code];
  return t.texts[0];
}

void StoreAndTrace(ErrState& s, int32_t category, int32_t code, const std::string& text,
                   bool hasText, char marker, int32_t location) {
  s.category = category;
  s.code = code;
  if (hasText) s.text = text;
  std::string message;
  if (marker == '!')
    message = ErrText(category, code);
  else if (category >= ERR_TEXT && category <= ERR_EXCEPT)
    message = s.text;
  else
    message = ErrText(category, code);
  TraceError(marker, category, code, location, message);
}

void RaiseImpl(int32_t category, int32_t code, const std::string* text, int32_t location) {
  if (G().lock) return;
  G().lock = true;
  if (category != 0 && code != 0) {
    StoreAndTrace(G().primary, category, code, text ? *text : std::string(), text != nullptr, '!',
                  location);
    PathClear();
  } else {
    G().primary.category = 0;
    G().primary.code = 0;
  }
  G().lock = false;
  MonRaised(category, code);
}

void WarnImpl(int32_t category, int32_t code, const std::string* text, int32_t location) {
  if (category != 0 && code != 0)
    StoreAndTrace(G().secondary, category, code, text ? *text : std::string(), text != nullptr, '?',
                  location);
  else
    ErrWarnClear();
}

}  // namespace

void ErrRaise(int32_t category, int32_t code, int32_t location) {
  RaiseImpl(category, code, nullptr, location);
}

void ErrRaiseText(int32_t category, int32_t code, const std::string& text, int32_t location) {
  RaiseImpl(category, code, text.empty() ? nullptr : &text, location);
}

void ErrRaiseMsg(int32_t category, const std::string& text, int32_t location) {
  ErrRaiseText(category, MAX_CODE, text, location);
}

void ErrWarn(int32_t category, int32_t code, int32_t location) {
  WarnImpl(category, code, nullptr, location);
}

void ErrWarnText(int32_t category, int32_t code, const std::string& text, int32_t location) {
  WarnImpl(category, code, text.empty() ? nullptr : &text, location);
}

void ErrWarnMsg(int32_t category, const std::string& text, int32_t location) {
  ErrWarnText(category, MAX_CODE, text, location);
}

void ErrClear() {
  if (G().lock) return;
  G().primary.category = 0;
  G().primary.code = 0;
}

void ErrWarnClear() {
  G().secondary.category = 0;
  G().secondary.code = 0;
}

bool ErrNone() { return G().primary.category == 0 && G().primary.code == 0; }
bool ErrWarnNone() { return G().secondary.category == 0 && G().secondary.code == 0; }
int32_t ErrCategory() { return G().primary.category; }
int32_t ErrCode() { return G().primary.code; }
int32_t ErrWarnCategory() { return G().secondary.category; }
int32_t ErrWarnCode() { return G().secondary.code; }
const std::string& ErrWarnTextStored() { return G().secondary.text; }

std::string ErrText(int32_t category, int32_t code) {
  if (category == 0 || code == 0) return "No errors.";
  switch (category) {
    case ERR_TEXT:
    case ERR_TEXT2:
    case ERR_EXCEPT:
      return G().primary.text;
    case ERR_GEN:
      return FromTable(MakeTable(kGen), code);
    case ERR_MEM:
      return FromTable(MakeTable(kMem), code);
    case ERR_FILE: {
      std::string s = FromTable(MakeTable(kFile), code);
      if (code == 1 || code == 2 || code == 6 || code == 7) s += G().lastFileName;
      return s;
    }
    case ERR_IMG:
      return FromTable(MakeTable(kImg), code);
    case ERR_SND:
      return FromTable(MakeTable(kSnd), code);
    case ERR_AVI:
      return FromTable(MakeTable(kAvi), code);
    case ERR_AVIFILE:
      return "AVI subsystem malfunction: " + FmtInt(0, code);
    case ERR_VFW:
      return "Video For Windows malfunction: " + FmtInt(0, code);
    case ERR_MVI:
    case ERR_FF:
      return FromTable(MakeTable(kMvi), code);
    case ERR_WAV:
      return FromTable(MakeTable(kWav), code);
    case ERR_JEX:
      return FromTable(MakeTable(kJex), code);
    case ERR_UNI:
      return FromTable(MakeTable(kUni), code);
    case ERR_FLIC:
      return FromTable(MakeTable(kFlic), code);
    case ERR_ACM:
      return "Fatal error in Audio Compression Manager: " + FmtInt(0, code);
    case ERR_MM:
      return "Fatal error in Win-MM: " + FmtInt(0, code);
    default:
      return "Undefined error: " + FmtInt(0, category) + ":" + FmtInt(0, code);
  }
}

std::string& LastFileName() { return G().lastFileName; }

bool ErrLocked() { return G().lock; }
void ErrSetLocked(bool locked) { G().lock = locked; }

void ErrSetPrimary(int32_t category, int32_t code) {
  G().primary.category = category;
  G().primary.code = code;
}

void ErrSetPrimaryText(const std::string& text) { G().primary.text = text; }

void ErrInit() {
  G().primary = ErrState{};
  G().secondary = ErrState{};
  G().lock = false;
  G().lastFileName.clear();
}

}  // namespace zelo
