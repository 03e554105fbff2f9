// Image operations against ImageMagick and libvips doing the comparable jobs
// on the same 1920x1080 photograph, measured in one run and in one process:
// the picture is handed to every library as pixels in memory, so no file is
// decoded or written while timing. Best of several runs each; the peers use
// their default threads (both use the two cores here), ZELO one thread. On a
// shared machine the wall times of a one-thread job suffer most from other
// work, so ZELO's thread CPU time is shown beside them.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "api/library.h"
#include "image/geometry.h"
#include "image/imgbasic.h"
#include "image/impress.h"
#include "image/palopt.h"
#include "peers/peers.h"
#include "platform/ui.h"

extern char** environ;

namespace peers {

double BestMs(int runs, const std::function<void()>& fn) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

#ifndef ZELO_BENCH_MAGICK
bool MagickLoad(const uint8_t*, int, int) { return false; }
double MagickSample(int, int, int) { return -1; }
double MagickScale(int, int, int) { return -1; }
double MagickConvolve(const double*, int) { return -1; }
double MagickQuantize(int, int) { return -1; }
void MagickUnload() {}
#endif
#ifndef ZELO_BENCH_VIPS
bool VipsLoad(const uint8_t*, int, int) { return false; }
double VipsResize(double, double, bool, int) { return -1; }
double VipsShrink(double, double, int) { return -1; }
double VipsConvolve(const double*, double, int) { return -1; }
void VipsUnload() {}
#endif

}  // namespace peers

namespace {

using namespace zelo;
using peers::BestMs;

double ThreadCpuMs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Best wall time and best thread CPU time of n runs.
struct Timing {
  double wall, cpu;
};
Timing BestOf(int runs, const std::function<void()>& fn) {
  Timing best{1e30, 1e30};
  for (int i = 0; i < runs; ++i) {
    const double c0 = ThreadCpuMs();
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    best.wall = std::min(best.wall, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    best.cpu = std::min(best.cpu, ThreadCpuMs() - c0);
  }
  return best;
}

constexpr int kW = 1920, kH = 1080;

// Scales the photograph to kW x kH packed BGR bytes with ffmpeg.
bool PreparePicture(const std::string& photo, const std::string& raw) {
  const std::vector<std::string> args = {"ffmpeg", "-y", "-v", "error", "-i", photo, "-vf",
                                         "scale=" + std::to_string(kW) + ":" + std::to_string(kH) + ":flags=bicubic",
                                         "-pix_fmt", "bgr24", "-f", "rawvideo", raw};
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Row {
  std::string op;
  Timing ours;
  std::string imName;
  double im;
  std::string vipsName;
  double vips;
};

std::string Cell(double ms) {
  char b[32];
  if (ms < 0) return "-";
  std::snprintf(b, sizeof b, "%.2f", ms);
  return b;
}

std::string Ratio(double peer, double ours) {
  char b[32];
  if (peer < 0) return "-";
  std::snprintf(b, sizeof b, "%.1fx", peer / ours);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  LibraryInit();
  ui::SetMessageBoxHandler([](const std::string&, const std::string&, ui::Icon) {});
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;

  // The photographs sit beside the repository; ZELO_PHOTOS names another folder.
  const char* photos = std::getenv("ZELO_PHOTOS");
  const std::string photo = std::string(photos != nullptr ? photos : ZELO_PHOTOS) + "/coffee.png";
  const std::string raw = (std::filesystem::temp_directory_path() / "zelo-bench-1080p.bgr").string();
  if (!PreparePicture(photo, raw)) {
    std::fprintf(stderr, "cannot scale %s with ffmpeg (set ZELO_PHOTOS)\n", photo.c_str());
    return 1;
  }
  Qimg src{};
  _imgalloc_(&src, kW, kH, 24, 1, "bench.src");
  {
    std::ifstream in(raw, std::ios::binary);
    in.read(static_cast<char*>(src.pixPtr), src.pixSize);
  }
  std::filesystem::remove(raw);
  const auto* pixels = static_cast<const uint8_t*>(src.pixPtr);
  const bool im = peers::MagickLoad(pixels, kW, kH);
  const bool vips = peers::VipsLoad(pixels, kW, kH);
  auto ifIm = [&](double t) { return im ? t : -1; };
  auto ifVips = [&](double t) { return vips ? t : -1; };

  Qimg dst{};
  std::vector<Row> rows;
  struct SizeCase {
    const char* name;
    int w, h;
    bool shrink;
  };
  const SizeCase sizes[] = {{"shrink 2", 960, 540, true}, {"shrink 3.7", 519, 292, true}, {"enlarge 2", 3840, 2160, false}};
  for (const auto& s : sizes) {
    const double hs = double(s.w) / kW, vs = double(s.h) / kH;
    rows.push_back({std::string("resize ") + s.name, BestOf(runs, [&] { ImgResize(&src, &dst, s.w, s.h); }),
                    "SampleImage", ifIm(peers::MagickSample(s.w, s.h, runs)), "resize nearest",
                    ifVips(peers::VipsResize(hs, vs, true, runs))});
  }
  for (const auto& s : sizes) {
    const double hs = double(s.w) / kW, vs = double(s.h) / kH;
    rows.push_back({std::string("resample ") + s.name, BestOf(runs, [&] { ImgResample(&src, &dst, s.w, s.h); }),
                    "ScaleImage", ifIm(peers::MagickScale(s.w, s.h, runs)),
                    s.shrink ? "shrink (box)" : "resize linear",
                    ifVips(s.shrink ? peers::VipsShrink(1 / hs, 1 / vs, runs) : peers::VipsResize(hs, vs, false, runs))});
  }
  struct Filter {
    const char* name;
    void (*op)(Qimg*, Qimg*);
    double kernel[9];
    double scale;
  };
  const Filter filters[] = {{"soften 3x3", ImgSoften, {1, 1, 1, 1, 8, 1, 1, 1, 1}, 16},
                            {"sharpen 3x3", ImgSharpen, {0, -1, 0, -1, 8, -1, 0, -1, 0}, 4},
                            {"edge 3x3", ImgEdgeEnhance, {-1, -2, -1, -2, 16, -2, -1, -2, -1}, 4}};
  for (const auto& f : filters)
    rows.push_back({f.name, BestOf(runs, [&] { f.op(&src, &dst); }), "ConvolveImage",
                    ifIm(peers::MagickConvolve(f.kernel, runs)), "conv integer",
                    ifVips(peers::VipsConvolve(f.kernel, f.scale, runs))});
  const char* names[] = {"palette 256 plain", "palette 256 lite dither", "palette 256 heavy dither"};
  const char* imNames[] = {"QuantizeImage no dither", "QuantizeImage Riemersma", "QuantizeImage Floyd-Steinberg"};
  const int imDither[] = {0, 1, 2};
  for (int mode = 0; mode < 3; ++mode)
    rows.push_back({names[mode], BestOf(runs, [&] { ConvTo8bit(&src, &dst, mode); }), imNames[mode],
                    ifIm(peers::MagickQuantize(imDither[mode], runs)), "", -1});

  // The parts of one reduction: histogram (with the work block cleared),
  // split and palette, and each mapper.
  PalInit();
  const double tCount = BestOf(runs, [&] {
    PalClearVars();
    PalCountColors(&src);
  }).cpu;
  const double tReduce = BestOf(runs, [&] {
    PalClearVars();
    PalCountColors(&src);
    PalReduce(256);
  }).cpu - tCount;
  double tMap[3];
  for (int mode = 0; mode < 3; ++mode) tMap[mode] = BestOf(runs, [&] { PalRemap(&src, &dst, mode); }).cpu;
  PalDone();
  double load[3] = {};
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1;
    std::fclose(f);
  }

  std::printf("ZELO image operations on a %dx%d photograph (coffee.png scaled), best of %d runs\n", kW, kH,
              runs);
  std::printf("all in one process, pictures in memory; load average %.2f; ratio = peer wall time / ZELO "
              "wall time\n\n",
              load[0]);
  std::printf("%-25s %8s %8s | %-30s %8s %7s | %-14s %8s %7s\n", "operation", "ZELO ms", "(cpu)",
              "ImageMagick 6", "ms", "ratio", "libvips", "ms", "ratio");
  for (const auto& r : rows)
    std::printf("%-25s %8.2f %8.2f | %-30s %8s %7s | %-14s %8s %7s\n", r.op.c_str(), r.ours.wall, r.ours.cpu,
                r.imName.c_str(), Cell(r.im).c_str(), Ratio(r.im, r.ours.wall).c_str(), r.vipsName.c_str(),
                Cell(r.vips).c_str(), Ratio(r.vips, r.ours.wall).c_str());
  std::printf("\npalette parts (cpu): histogram %.2f ms, split + palette %.2f ms, map plain %.2f / lite %.2f "
              "/ heavy %.2f ms\n",
              tCount, tReduce, tMap[0], tMap[1], tMap[2]);
  peers::MagickUnload();
  peers::VipsUnload();
  ImgFree(&src);
  ImgFree(&dst);
  return 0;
}
