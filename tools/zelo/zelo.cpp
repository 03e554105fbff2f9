// zelo: converts pictures, movies and sound from the command line, and
// describes files, formats and codecs. Built on the library's public
// exports only.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zelo/zelo.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// --- formats the program knows by name ------------------------------------------

struct Format {
  int32_t id;
  const char* name;
  const char* readExts;   // what the library reads
  const char* writeExt;   // the extension that selects its writer, or ""
  bool sound;             // the output can take sound
  const char* what;
};

const Format kFormats[] = {
    {1, "tga", ".tga", ".tga", false, "Truevision Targa"},
    {2, "pcx", ".pcx", ".pcx", false, "Zsoft Paintbrush"},
    {3, "bmp", ".bmp .dib .rle", ".bmp", false, "Windows bitmap"},
    {4, "gif", ".gif .giff", "", false, "Graphics Interchange Format (pictures and animations)"},
    {5, "flic", ".flc .fli", ".flc", false, "Autodesk FLIC animation"},
    {6, "avi", ".avi", ".avi", true, "Audio Video Interleaved movie"},
    {7, "jex", ".jex", ".jex", true, "Joint Encoding Exchange movie (lossless)"},
    {8, "jpeg", ".jpg .jpeg .jif .jfif .jpe", ".jpg", false, "JPEG picture"},
    {9, "png", ".png", ".png", false, "Portable Network Graphics"},
    {10, "tiff", ".tif .tiff", ".tif", false, "Tagged Image File Format"},
    {11, "mpeg", ".mpg .mpeg .m1v .m2v .mpe .mp3 .mpa .mp2", ".mpg", true, "MPEG video and audio"},
    {12, "wav", ".wav", ".wav", true, "Wave sound"},
    {13, "sgi", ".rgb .rgba .bw .sgi", ".sgi", false, "Silicon Graphics image"},
    {14, "ras", ".ras .sun .im1", ".ras", false, "Sun raster image"},
    {15, "pnm", ".pnm .ppm .pgm", ".ppm", false, "Portable anymap"},
    {16, "bay", ".bay", "", false, "Bayer raw camera image"},
    {17, "xpm", ".xpm", ".xpm", false, "X PixMap"},
    {18, "mp2", "", ".mp2", true, "MPEG audio layer II"},
    {19, "ogg", ".ogg", ".ogg", true, "Ogg Vorbis sound"},
};

const Format* FormatById(int32_t id) {
  for (const Format& f : kFormats)
    if (f.id == id) return &f;
  return nullptr;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A format by name, extension (with or without the dot) or number.
const Format* FormatByWord(const std::string& word) {
  const std::string w = Lower(word);
  char* end = nullptr;
  const long n = std::strtol(w.c_str(), &end, 10);
  if (!w.empty() && *end == '\0') return FormatById(static_cast<int32_t>(n));
  const std::string ext = w[0] == '.' ? w : "." + w;
  for (const Format& f : kFormats)
    if (w == f.name || ext == f.writeExt) return &f;
  for (const Format& f : kFormats) {
    const std::string exts = std::string(" ") + f.readExts + " ";
    if (exts.find(" " + ext + " ") != std::string::npos) return &f;
  }
  return nullptr;
}

// --- messages ---------------------------------------------------------------------

const char* g_program = "zelo";

void Fail(const char* fmt, const std::string& a = "", const std::string& b = "") {
  std::fprintf(stderr, "%s: ", g_program);
  std::fprintf(stderr, fmt, a.c_str(), b.c_str());
  std::fputc('\n', stderr);
}

// The library's message for the outcome of its last call.
std::string LastMessage(ErrorInfo* out = nullptr) {
  ErrorInfo info;
  ZeloGetLastError(&info);
  if (out != nullptr) *out = info;
  char text[1200];
  ZeloMakeErrorStr(&info, text);
  return text;
}

std::string TimeText(double seconds) {
  char text[32];
  ZeloMakeTimeStr(seconds < 0 ? 0 : seconds, text);
  return text;
}

// --- argument helpers -----------------------------------------------------------------

bool ParseInt(const char* text, int32_t& value) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 0);
  if (*end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int32_t>(v);
  return true;
}

bool ParseReal(const char* text, double& value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  value = std::strtod(text, &end);
  return *end == '\0' && std::isfinite(value);
}

bool ParseSize(const char* text, int32_t& w, int32_t& h) {
  if (text == nullptr) return false;
  const char* x = std::strpbrk(text, "xX");
  if (x == nullptr) return false;
  return ParseInt(std::string(text, x).c_str(), w) && ParseInt(x + 1, h) && w > 0 && h > 0;
}

// "22050,1,16" or "22050:1:16".
bool ParseAudioFormat(const char* text, int32_t& rate, int32_t& channels, int32_t& bits) {
  std::string s = text == nullptr ? "" : text;
  for (char& c : s)
    if (c == ':') c = ',';
  const size_t a = s.find(','), b = s.find(',', a == std::string::npos ? a : a + 1);
  if (a == std::string::npos || b == std::string::npos) return false;
  return ParseInt(s.substr(0, a).c_str(), rate) && ParseInt(s.substr(a + 1, b - a - 1).c_str(), channels) &&
         ParseInt(s.substr(b + 1).c_str(), bits) && rate > 0 && channels > 0 && channels <= 8 &&
         (bits == 8 || bits == 16);
}

// A codec by number, four-character code (AVI) or name.
bool ParseCodec(int32_t format, const std::string& text, int32_t& codec) {
  if (ParseInt(text.c_str(), codec)) return true;
  if (format == 6 && text.size() == 4) {
    codec = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned char>(text[0])) |
                                 static_cast<uint32_t>(static_cast<unsigned char>(text[1])) << 8 |
                                 static_cast<uint32_t>(static_cast<unsigned char>(text[2])) << 16 |
                                 static_cast<uint32_t>(static_cast<unsigned char>(text[3])) << 24);
    return true;
  }
  static const struct {
    int32_t format;
    const char* name;
    int32_t codec;
  } kNames[] = {{7, "best", 0},     {7, "fast", 1},       {1, "none", 0},      {1, "rle", 1},
                {13, "none", 0},    {13, "rle", 1},       {14, "none", 0},     {14, "rle", 1},
                {15, "binary", 0},  {15, "ascii", 1},     {10, "none", 1},     {10, "lzw", 5},
                {10, "jpeg", 7},    {10, "packbits", 32773}, {10, "deflate", 32946},
                {11, "mpeg1", 1},   {11, "mpeg2", 2}};
  const std::string t = Lower(text);
  for (const auto& n : kNames)
    if (n.format == format && t == n.name) {
      codec = n.codec;
      return true;
    }
  return false;
}

bool Exists(const std::string& name) {
  struct stat st;
  return stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The files of a numbered sequence, starting with the one given: the last
// run of digits in the file name counts up while the files exist.
std::vector<std::string> SequenceFiles(const std::string& first) {
  std::vector<std::string> files{first};
  const size_t slash = first.rfind('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  size_t end = first.size();
  while (end > base && !std::isdigit(static_cast<unsigned char>(first[end - 1]))) --end;
  size_t start = end;
  while (start > base && std::isdigit(static_cast<unsigned char>(first[start - 1]))) --start;
  if (start == end || end - start > 9) return files;
  const std::string prefix = first.substr(0, start), suffix = first.substr(end);
  const int width = static_cast<int>(end - start);
  long n = std::strtol(first.substr(start, end - start).c_str(), nullptr, 10);
  for (;;) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%0*ld", width, ++n);
    const std::string name = prefix + digits + suffix;
    if (!Exists(name)) break;
    files.push_back(name);
  }
  return files;
}

// --- convert ------------------------------------------------------------------------------

volatile sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

struct Run {
  std::vector<std::string> video;  // one file per block
  std::vector<std::string> audio;
  int32_t answer = ZELO_ANSWER_STOP;
  bool progress = false;
  int64_t totalFrames = 0;
  int64_t totalSamples = 0;
  double audioRate = 0;
  int failedSources = 0;
  bool stopped = false;
  int lastWidth = 0;
};

Run g_run;

void ZELO_CALL VideoSource(ZeloRec* rec, int32_t block) {
  if (g_interrupted) ZeloAbort(rec);
  if (block >= 0 && static_cast<size_t>(block) < g_run.video.size())
    ZeloSrcSetFile(rec, g_run.video[static_cast<size_t>(block)].c_str());
  else
    ZeloSrcFinished(rec);
}

void ZELO_CALL AudioSource(ZeloRec* rec, int32_t block) {
  if (g_interrupted) ZeloAbort(rec);
  if (block >= 0 && static_cast<size_t>(block) < g_run.audio.size())
    ZeloSrcSetFile(rec, g_run.audio[static_cast<size_t>(block)].c_str());
  else
    ZeloSrcFinished(rec);
}

void ClearProgressLine() {
  if (g_run.lastWidth > 0) std::fprintf(stderr, "\r%*s\r", g_run.lastWidth, "");
  g_run.lastWidth = 0;
}

void ZELO_CALL Progress(ZeloRec* rec, int32_t state, int32_t frames, int32_t samples) {
  if (g_interrupted) {
    ZeloAbort(rec);
    return;
  }
  if (!g_run.progress || (state != ZELO_STATE_PALETTE && state != ZELO_STATE_SAVING)) return;
  const double elapsed = ZeloGetElapsedTime(rec);
  double fraction = 0;
  if (g_run.totalFrames > 0)
    fraction = static_cast<double>(frames) / static_cast<double>(g_run.totalFrames);
  else if (g_run.totalSamples > 0)
    fraction = static_cast<double>(samples) / static_cast<double>(g_run.totalSamples);
  if (fraction > 1) fraction = 1;
  const int bar = 24, filled = static_cast<int>(fraction * bar);
  std::string line = state == ZELO_STATE_PALETTE ? "palette " : "";
  line += "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(bar - filled), '-') + "] ";
  char part[160];
  std::snprintf(part, sizeof part, "%d/%lld frames", frames, static_cast<long long>(g_run.totalFrames));
  line += part;
  if (g_run.totalSamples > 0) {
    std::snprintf(part, sizeof part, ", %d/%lld samples", samples,
                  static_cast<long long>(g_run.totalSamples));
    line += part;
  }
  line += ", " + TimeText(elapsed) + " elapsed";
  if (fraction > 0.001) line += ", " + TimeText(elapsed * (1 - fraction) / fraction) + " left";
  std::fprintf(stderr, "\r%s", line.c_str());
  if (static_cast<int>(line.size()) < g_run.lastWidth)
    std::fprintf(stderr, "%*s", g_run.lastWidth - static_cast<int>(line.size()), "");
  g_run.lastWidth = static_cast<int>(line.size());
  std::fflush(stderr);
}

void ZELO_CALL SourceError(ZeloRec*, const char* fileName, int32_t* answer) {
  ClearProgressLine();
  const std::string message = LastMessage();
  static const char* kWhat[] = {"going on", "stopping", "stopping", "retrying", "skipped"};
  std::fprintf(stderr, "%s: cannot read %s: %s (%s)\n", g_program, fileName, message.c_str(),
               kWhat[g_run.answer]);
  g_run.failedSources++;
  if (g_run.answer == ZELO_ANSWER_STOP || g_run.answer == ZELO_ANSWER_ABORT) g_run.stopped = true;
  *answer = g_run.answer;
}

// Describes a source before the run; false (with the message printed) when
// it cannot be read or holds no pictures (video) or no sound (audio).
bool DescribeSource(const std::string& file, ZeloFileInfo& fi, bool video) {
  ZeloGetFileInfo(file.c_str(), &fi, ZELO_FALSE);
  ErrorInfo e;
  const std::string message = LastMessage(&e);
  if (e.Result != RES_OK) {
    Fail("%s: %s", file, message);
    return false;
  }
  if (video ? !fi.hasPictures : !fi.hasSound) {
    Fail("%s: holds no %s", file, video ? "pictures" : "sound");
    return false;
  }
  return true;
}

const char kConvertHelp[] =
    "usage: zelo convert [options] -o OUTPUT INPUT...\n"
    "\n"
    "Converts pictures, movies and sound. Each INPUT is one video source: a still\n"
    "picture, a movie, or with --sequence the first file of a numbered sequence\n"
    "(frame0001.bmp, frame0002.bmp, ...). The OUTPUT's extension chooses its format\n"
    "(see zelo formats); a still-picture OUTPUT whose name holds a number\n"
    "(out0001.tga) becomes a numbered sequence of files.\n"
    "\n"
    "options:\n"
    "  -o, --output FILE       the output file (required)\n"
    "      --audio FILE        a sound source (repeatable; played one after another)\n"
    "      --audio-out FILE    write the sound to its own file instead of OUTPUT\n"
    "      --sequence          each INPUT starts a numbered sequence\n"
    "  -r, --rate FPS          output frames per second (default 30)\n"
    "      --no-keep-duration  write every source picture once, whatever its rate\n"
    "  -s, --size WxH          output size (default: each picture keeps its own)\n"
    "  -d, --depth BITS        8, 15, 16, 24 or 32 bits per pixel (default 24;\n"
    "                          8 builds an optimised palette in a first pass)\n"
    "      --dither            dither when reducing to 8 bits\n"
    "      --compat            sizes to multiples of 16 and a depth the codec takes\n"
    "  -c, --codec CODEC       the output's codec: a number, an AVI four-character\n"
    "                          code (MJPG, cvid, FFV1 ...) or a name (JEX best|fast,\n"
    "                          TGA/SGI/RAS rle|none, PNM binary|ascii, TIFF\n"
    "                          none|lzw|jpeg|packbits|deflate, MPEG mpeg1|mpeg2);\n"
    "                          see zelo codecs FORMAT\n"
    "  -q, --quality N         codec quality 0..100 (AVI, JPEG)\n"
    "  -k, --key-frames N      every N-th frame a key frame (AVI, JEX)\n"
    "      --data-rate N       AVI: kilobytes per second; MPEG: kilobits per second / 8\n"
    "      --audio-format R,C,B  output sound: rate, channels, 8 or 16 bits\n"
    "                          (default 44100,2,16)\n"
    "      --tag ID=TEXT       an AVI information chunk (ICMT=..., INAM=...; up to 16)\n"
    "      --on-error MODE     a source that fails to read: stop (delete the output,\n"
    "                          the default), keep (stop, keep what was written),\n"
    "                          skip (go on with the next source), continue\n"
    "      --progress          show progress even when stderr is not a terminal\n"
    "      --quiet             no progress and no summary\n"
    "      --trace FILE        write the library's trace log\n"
    "  -h, --help              this help\n"
    "\n"
    "Ctrl-C stops the conversion and keeps what was written.\n"
    "Exit status: 0 done, 1 failed, 2 bad usage, 130 interrupted.\n";

int Convert(int argc, char** argv) {
  std::string output, audioOut, trace;
  std::vector<std::string> inputs;
  std::vector<std::pair<std::string, std::string>> tags;
  bool sequence = false, keepDuration = true, dither = false, compat = false, quiet = false;
  bool forceProgress = false;
  double rate = 0;
  int32_t width = 0, height = 0, depth = 0, quality = -1, keyFrames = -1, dataRate = -1;
  int32_t aRate = 0, aChannels = 0, aBits = 0;
  std::string codecText;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        Fail("option %s needs a value", a);
        return nullptr;
      }
      return argv[++i];
    };
    const char* v = nullptr;
    if (a == "-h" || a == "--help") {
      std::fputs(kConvertHelp, stdout);
      return kExitOk;
    } else if (a == "-o" || a == "--output") {
      if (!(v = value())) return kExitUsage;
      output = v;
    } else if (a == "--audio") {
      if (!(v = value())) return kExitUsage;
      g_run.audio.push_back(v);
    } else if (a == "--audio-out") {
      if (!(v = value())) return kExitUsage;
      audioOut = v;
    } else if (a == "--sequence") {
      sequence = true;
    } else if (a == "-r" || a == "--rate") {
      if (!(v = value())) return kExitUsage;
      if (!ParseReal(v, rate) || rate <= 0 || rate > 1000) {
        Fail("bad frame rate: %s", v);
        return kExitUsage;
      }
    } else if (a == "--no-keep-duration") {
      keepDuration = false;
    } else if (a == "-s" || a == "--size") {
      if (!(v = value())) return kExitUsage;
      if (!ParseSize(v, width, height) || width < 4 || height < 4 || width > 4096 || height > 4096) {
        Fail("bad size: %s (WIDTHxHEIGHT, 4 to 4096 each)", v);
        return kExitUsage;
      }
    } else if (a == "-d" || a == "--depth") {
      if (!(v = value())) return kExitUsage;
      if (!ParseInt(v, depth) || (depth != 8 && depth != 15 && depth != 16 && depth != 24 && depth != 32)) {
        Fail("bad depth: %s (8, 15, 16, 24 or 32)", v);
        return kExitUsage;
      }
    } else if (a == "--dither") {
      dither = true;
    } else if (a == "--compat") {
      compat = true;
    } else if (a == "-c" || a == "--codec") {
      if (!(v = value())) return kExitUsage;
      codecText = v;
    } else if (a == "-q" || a == "--quality" || a == "-k" || a == "--key-frames" || a == "--data-rate") {
      if (!(v = value())) return kExitUsage;
      int32_t n;
      if (!ParseInt(v, n) || n < 0) {
        Fail("bad value for %s: %s", a, v);
        return kExitUsage;
      }
      (a == "-q" || a == "--quality" ? quality : a == "--data-rate" ? dataRate : keyFrames) = n;
    } else if (a == "--audio-format") {
      if (!(v = value())) return kExitUsage;
      if (!ParseAudioFormat(v, aRate, aChannels, aBits)) {
        Fail("bad audio format: %s (RATE,CHANNELS,BITS such as 44100,2,16)", v);
        return kExitUsage;
      }
    } else if (a == "--tag") {
      if (!(v = value())) return kExitUsage;
      const char* eq = std::strchr(v, '=');
      if (eq == nullptr || eq - v != 4 || eq[1] == '\0') {
        Fail("bad tag: %s (a four-character id, = and a text, such as ICMT=hello)", v);
        return kExitUsage;
      }
      tags.emplace_back(std::string(v, 4), eq + 1);
    } else if (a == "--on-error") {
      if (!(v = value())) return kExitUsage;
      const std::string m = v;
      if (m == "stop") g_run.answer = ZELO_ANSWER_STOP;
      else if (m == "keep") g_run.answer = ZELO_ANSWER_ABORT;
      else if (m == "skip") g_run.answer = ZELO_ANSWER_SKIP;
      else if (m == "continue") g_run.answer = ZELO_ANSWER_CONTINUE;
      else {
        Fail("bad --on-error mode: %s (stop, keep, skip or continue)", v);
        return kExitUsage;
      }
    } else if (a == "--progress") {
      forceProgress = true;
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a == "--trace") {
      if (!(v = value())) return kExitUsage;
      trace = v;
    } else if (a.size() > 1 && a[0] == '-') {
      Fail("unknown option: %s (see zelo convert --help)", a);
      return kExitUsage;
    } else {
      inputs.push_back(a);
    }
  }
  if (output.empty()) {
    Fail("no output file (-o OUTPUT); see zelo convert --help");
    return kExitUsage;
  }
  if (inputs.empty() && g_run.audio.empty()) {
    Fail("no input files; see zelo convert --help");
    return kExitUsage;
  }
  const int32_t format = ZeloGetFileFmtID(output.c_str());
  if (format == UNDEF) {
    Fail("%s: no writable format has this extension (see zelo formats)", output);
    return kExitFailed;
  }
  const Format* outFormat = FormatById(format);
  std::string audioName;
  if (!g_run.audio.empty()) {
    if (!audioOut.empty()) {
      audioName = audioOut;
    } else if (outFormat != nullptr && outFormat->sound) {
      audioName = output;  // the sound goes into the output file
    } else {
      Fail("%s takes no sound: name a sound file with --audio-out", output);
      return kExitUsage;
    }
  }
  if (!audioOut.empty() && g_run.audio.empty()) {
    Fail("--audio-out without --audio");
    return kExitUsage;
  }
  int32_t codec = 0;
  if (!codecText.empty() && !ParseCodec(format, codecText, codec)) {
    Fail("unknown codec %s for this output (see zelo codecs %s)", codecText,
         outFormat != nullptr ? outFormat->name : "");
    return kExitUsage;
  }

  // Every source must be readable before anything is written; their sizes
  // give the progress its totals.
  for (const std::string& in : inputs) {
    const std::vector<std::string> files = sequence ? SequenceFiles(in) : std::vector<std::string>{in};
    for (const std::string& f : files) {
      ZeloFileInfo fi;
      if (!DescribeSource(f, fi, true)) return kExitFailed;
      g_run.totalFrames += fi.frames;
      g_run.video.push_back(f);
    }
  }
  for (const std::string& f : g_run.audio) {
    ZeloFileInfo fi;
    if (!DescribeSource(f, fi, false)) return kExitFailed;
    g_run.totalSamples += fi.sampleFrames;
  }

  if (!trace.empty()) ZeloLogStart(trace.c_str(), ZELO_TRUE);
  ZeloRec* rec = ZeloAlloc();
  if (rec == nullptr) {
    Fail("%s", LastMessage());
    return kExitFailed;
  }
  // Every setter reports its outcome; the first failure ends the run.
  auto check = [&](int32_t result, const char* what) {
    if (result == RES_OK) return true;
    Fail("%s: %s", what, LastMessage());
    return false;
  };
  bool ok = check(ZeloSetOutputFile(rec, output.c_str(), audioName.c_str()), "output file");
  if (ok && rate > 0) ok = check(ZeloSetFrameRate(rec, rate, keepDuration ? ZELO_TRUE : ZELO_FALSE), "frame rate");
  if (ok && rate <= 0 && !keepDuration) ok = check(ZeloSetFrameRate(rec, 30.0, ZELO_FALSE), "frame rate");
  if (ok && width > 0) ok = check(ZeloSetResolution(rec, width, height), "size");
  if (ok && depth > 0) ok = check(ZeloSetBpp(rec, depth), "depth");
  if (ok && dither) ok = check(ZeloEnableDithering(rec, ZELO_TRUE), "dithering");
  if (ok && compat) ok = check(ZeloForceCompatibility(rec, ZELO_TRUE), "compatibility");
  if (ok && aRate > 0) ok = check(ZeloSetAudioFormat(rec, aRate, aChannels, aBits), "audio format");
  if (ok && !codecText.empty()) {
    if (format == 11 && codec == 2) ZeloEnableMPEG2();
    ok = check(ZeloSetCodec(rec, format, codec), "codec");
  }
  if (ok && quality >= 0) ok = check(ZeloSetQuality(rec, format, quality), "quality");
  if (ok && keyFrames >= 0) ok = check(ZeloSetKeyFrameRate(rec, format, keyFrames), "key frames");
  if (ok && dataRate >= 0) ok = check(ZeloSetDataRate(rec, format, dataRate), "data rate");
  for (const auto& t : tags)
    if (ok) ok = check(ZeloAviAddCustomInfo(rec, t.first.c_str(), t.second.c_str()), "tag");
  if (ok && !g_run.video.empty()) ok = check(ZeloAssignVideoSource(rec, VideoSource), "video source");
  if (ok && !g_run.audio.empty()) ok = check(ZeloAssignAudioSource(rec, AudioSource), "audio source");
  if (ok) ok = check(ZeloAssignProgress(rec, Progress), "progress");
  if (ok) ok = check(ZeloAssignError(rec, SourceError), "error routine");
  if (!ok) {
    ZeloFree(rec);
    return kExitFailed;
  }

  g_run.progress = !quiet && (forceProgress || isatty(STDERR_FILENO));
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  const int32_t result = ZeloConvert(rec);
  ErrorInfo outcome;
  const std::string message = LastMessage(&outcome);
  const double seconds = ZeloGetElapsedTime(rec);
  ZeloFree(rec);
  if (!trace.empty()) ZeloLogStop();
  ClearProgressLine();

  if (result == RES_ABORTED || g_interrupted) {
    Fail("interrupted; %s keeps what was written", output);
    return kExitInterrupted;
  }
  if (result != RES_OK) {
    Fail("%s: %s", output, message);
    return kExitFailed;
  }
  if (g_run.stopped) {
    Fail("stopped at a source that could not be read%s",
         g_run.answer == ZELO_ANSWER_STOP ? "; nothing written" : "");
    return kExitFailed;
  }
  if (!quiet) {
    std::fprintf(stderr, "%s: wrote %s in %s", g_program, output.c_str(), TimeText(seconds).c_str());
    if (!audioOut.empty()) std::fprintf(stderr, " and %s", audioOut.c_str());
    if (g_run.failedSources > 0) std::fprintf(stderr, " (%d sources could not be read)", g_run.failedSources);
    std::fputc('\n', stderr);
  }
  return kExitOk;
}

// --- info ---------------------------------------------------------------------------------

std::string JsonText(const char* s) {
  std::string out = "\"";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
    if (*p == '"' || *p == '\\') {
      out += '\\';
      out += static_cast<char>(*p);
    } else if (*p < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", *p);
      out += buf;
    } else {
      out += static_cast<char>(*p);
    }
  }
  return out + "\"";
}

std::string Real(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

const char kInfoHelp[] =
    "usage: zelo info [--json] [--sequence] FILE...\n"
    "\n"
    "Describes each FILE: format, frames, size, depth, frame rate, compression,\n"
    "sound and duration, as `key: value` lines (a blank line between files), or\n"
    "with --json as one JSON object per file (an array for more than one file).\n"
    "--sequence sums up the numbered sequence that starts with each FILE.\n"
    "Exit status: 0 all described, 1 some file could not be described, 2 bad usage.\n";

int Info(int argc, char** argv) {
  bool json = false, sequence = false;
  std::vector<std::string> files;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kInfoHelp, stdout);
      return kExitOk;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--sequence") {
      sequence = true;
    } else if (a.size() > 1 && a[0] == '-') {
      Fail("unknown option: %s (see zelo info --help)", a);
      return kExitUsage;
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) {
    Fail("no files; see zelo info --help");
    return kExitUsage;
  }
  int status = kExitOk;
  std::vector<std::string> objects;
  bool first = true;
  for (const std::string& f : files) {
    ZeloFileInfo fi;
    ZeloGetFileInfo(f.c_str(), &fi, sequence ? ZELO_TRUE : ZELO_FALSE);
    ErrorInfo e;
    const std::string message = LastMessage(&e);
    if (e.Result != RES_OK) {
      Fail("%s: %s", f, message);
      status = kExitFailed;
      continue;
    }
    // Copies: the record is packed, its doubles may be misaligned for a reference.
    const double videoDuration = fi.videoDuration, soundDuration = fi.soundDuration;
    const double duration = std::max(videoDuration, soundDuration);
    const struct {
      const char* key;
      std::string text;
      bool number;
    } rows[] = {
        {"file", f, false},
        {"format", fi.description, false},
        {"frames", std::to_string(fi.frames), true},
        {"width", std::to_string(fi.width), true},
        {"height", std::to_string(fi.height), true},
        {"bits per pixel", std::to_string(fi.bpp), true},
        {"frame rate", Real(fi.frameRate, 3), true},
        {"video compression", fi.hasPictures ? fi.videoCompression : "", false},
        {"sample frames", std::to_string(fi.sampleFrames), true},
        {"sample rate", Real(fi.pcmRate, 0), true},
        {"channels", std::to_string(fi.pcmChannels), true},
        {"bits per sample", std::to_string(fi.pcmBits), true},
        {"audio compression", fi.hasSound ? fi.audioCompression : "", false},
        {"duration", Real(duration, 3), true},
        {"size", Real(fi.totalSize, 0), true},
    };
    if (json) {
      std::string o = "{";
      for (const auto& r : rows) {
        if (o.size() > 1) o += ", ";
        std::string key = r.key;
        for (char& c : key)
          if (c == ' ') c = '_';
        o += "\"" + key + "\": " + (r.number ? r.text : JsonText(r.text.c_str()));
      }
      objects.push_back(o + "}");
    } else {
      if (!first) std::fputc('\n', stdout);
      for (const auto& r : rows) std::printf("%s: %s\n", r.key, r.text.c_str());
    }
    first = false;
  }
  if (json && !objects.empty()) {
    if (files.size() == 1) {
      std::printf("%s\n", objects[0].c_str());
    } else {
      std::printf("[\n");
      for (size_t i = 0; i < objects.size(); ++i)
        std::printf("  %s%s\n", objects[i].c_str(), i + 1 < objects.size() ? "," : "");
      std::printf("]\n");
    }
  }
  return status;
}

// --- formats and codecs -------------------------------------------------------------------

int Formats(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs("usage: zelo formats\n\nLists the file formats: id, name, whether the library "
                 "reads and writes them,\nthe extensions it reads and the one that selects the "
                 "writer.\n", stdout);
      return kExitOk;
    }
    Fail("unexpected argument: %s (see zelo formats --help)", argv[i]);
    return kExitUsage;
  }
  std::printf("%-3s %-5s %-4s %-5s %-7s %s\n", "id", "name", "read", "write", "writes", "reads");
  for (const Format& f : kFormats) {
    // The writer is the library's answer for the extension, not this table's.
    const bool writes = f.writeExt[0] != '\0' &&
                        ZeloGetFileFmtID((std::string("x") + f.writeExt).c_str()) == f.id;
    std::printf("%-3d %-5s %-4s %-5s %-7s %s  (%s)\n", f.id, f.name, f.readExts[0] ? "yes" : "no",
                writes ? "yes" : "no", writes ? f.writeExt : "-", f.readExts[0] ? f.readExts : "-",
                f.what);
  }
  return kExitOk;
}

void PrintCodecs(const Format& f, int32_t width, int32_t height, int32_t depth) {
  const int32_t count = ZeloCodecsInit(f.id, width, height, depth);
  std::printf("%s (%d):\n", f.name, f.id);
  if (count <= 0) {
    std::printf("  no codec choice\n");
    return;
  }
  for (int32_t i = 1; i <= count; ++i) {
    ZeloCodecInfo c;
    if (ZeloCodecsGetInfo(f.id, &c, i) != RES_OK) continue;
    std::string code;
    if (f.id == 6) {
      for (int b = 0; b < 4; ++b) code += static_cast<char>((static_cast<uint32_t>(c.codec) >> (8 * b)) & 255);
    } else {
      code = std::to_string(c.codec);
    }
    std::printf("  %-6s %s", code.c_str(), c.description);
    if (c.qualityAdjustable) std::printf("; quality %d..%d (default %d)", c.qualityMin, c.qualityMax, c.qualityDefault);
    if (c.keyFrameRateAdjustable) std::printf("; key frames every %d", c.keyFrameRateDefault);
    if (c.dataRateAdjustable) std::printf("; data rate %d..%d (default %d)", c.dataRateMin, c.dataRateMax, c.dataRateDefault);
    if (c.levelMax > 0) std::printf("; levels %d..%d", c.levelMin, c.levelMax);
    std::printf("\n");
  }
}

int Codecs(int argc, char** argv) {
  int32_t width = 320, height = 240, depth = 24;
  std::vector<const Format*> formats;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs("usage: zelo codecs [--size WxH] [--depth BITS] [FORMAT...]\n\n"
                 "Lists the codecs each output FORMAT (name, extension or id; all writable\n"
                 "formats when none is named) offers, with their number or four-character\n"
                 "code for zelo convert --codec. AVI lists the installed compressors that\n"
                 "take pictures of the given size and depth (default 320x240, 24 bits).\n", stdout);
      return kExitOk;
    } else if (a == "-s" || a == "--size") {
      if (i + 1 >= argc || !ParseSize(argv[++i], width, height)) {
        Fail("bad size (WIDTHxHEIGHT)");
        return kExitUsage;
      }
    } else if (a == "-d" || a == "--depth") {
      if (i + 1 >= argc || !ParseInt(argv[++i], depth)) {
        Fail("bad depth");
        return kExitUsage;
      }
    } else {
      const Format* f = FormatByWord(a);
      if (f == nullptr) {
        Fail("unknown format: %s (see zelo formats)", a);
        return kExitUsage;
      }
      formats.push_back(f);
    }
  }
  if (formats.empty())
    for (const Format& f : kFormats)
      if (f.writeExt[0] != '\0') formats.push_back(&f);
  for (const Format* f : formats) PrintCodecs(*f, width, height, depth);
  return kExitOk;
}

const char kHelp[] =
    "usage: zelo COMMAND [options]\n"
    "\n"
    "commands:\n"
    "  convert   convert pictures, movies and sound (zelo convert -o OUT IN...)\n"
    "  info      describe files\n"
    "  formats   list the file formats\n"
    "  codecs    list the codecs of the output formats\n"
    "\n"
    "zelo COMMAND --help tells more.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kHelp, stderr);
    return kExitUsage;
  }
  const std::string command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  if (command == "convert") return Convert(argc - 2, argv + 2);
  if (command == "info") return Info(argc - 2, argv + 2);
  if (command == "formats") return Formats(argc - 2, argv + 2);
  if (command == "codecs") return Codecs(argc - 2, argv + 2);
  Fail("unknown command: %s", command);
  std::fputs(kHelp, stderr);
  return kExitUsage;
}
