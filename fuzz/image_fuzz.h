// The body shared by the still-image fuzz targets: the input becomes a file
// of this process, its information and its picture are read in keeping
// frames, and what a reader leaves must hold together.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "api/library.h"
#include "formats/ffinfo.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"
#include "platform/ui.h"

namespace zelo::fuzz {

using InfoProc = void (*)(const std::string& name, QffInfo* info);
using LoadProc = void (*)(const std::string& name, Qimg* img);
using SaveProc = void (*)(const std::string& name, Qimg* img);

struct ImageFormat {
  const char* ext;
  InfoProc info;
  LoadProc load;
  SaveProc save;
  int32_t storedFor16;  // the depth the writer stores a 16-bit picture at
};

// Pictures above this size are not decoded (a small header may name a
// picture of up to 2 GiB, which is allowed but slow to fill).
constexpr int64_t kMaxFuzzBytes = 64 << 20;
// Pictures up to this size are also written and read back.
constexpr int64_t kMaxRoundTripBytes = 1 << 20;

inline void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s (error %d, %d)\n", what, ErrCategory(), ErrCode());
    std::abort();
  }
}

inline std::string FuzzPath(const char* tag, const char* ext) {
  return (std::filesystem::temp_directory_path() /
          ("zelo-fuzz-" + std::to_string(::getpid()) + "-" + tag + ext))
      .string();
}

// The input file of this process, removed when it ends.
inline std::string g_inputFile;

inline void FuzzInit() {
  LibraryInit();
  ui::SetMessageBoxHandler([](const std::string&, const std::string&, ui::Icon) {});
  std::atexit([] {
    if (!g_inputFile.empty()) std::remove(g_inputFile.c_str());
  });
}

// A failing reader leaves an image error or a short read, and no pixels.
inline void CheckRefusal(const Qimg& img) {
  const bool clean = ErrCategory() == ERR_IMG || (ErrCategory() == ERR_FILE && ErrCode() == 3);
  Check(clean, "a reader failed with another error than an image error or a short read");
  Check(img.pixPtr == nullptr, "a failed load left pixels");
}

inline void CheckPicture(const Qimg& img, const QffInfo& info) {
  Check(ImgHasPixels(&img), "loaded picture without pixels");
  Check(ImgKnownDepth(img.bpp) && img.bytesPP == BytesPP(img.bpp), "loaded picture of an unknown depth");
  Check(img.resX == info.media.width && img.resY == info.media.height, "picture size differs from the information");
  Check(int64_t(img.pixSize) == int64_t(img.resX) * img.resY * img.bytesPP, "pixel block size");
  Check(info.media.picturesReadable != 0, "loaded a picture the information calls unreadable");
  // Every byte is read once, so the sanitizers see the whole block.
  uint32_t sum = 0;
  for (int32_t i = 0; i < img.pixSize; ++i) sum += ImgPixels(&img)[i];
  if (sum == 0xFFFFFFFFu) std::fputc(0, stderr);
}

// Writes the picture with the format's writer and reads it back unchanged.
inline void CheckRoundTrip(const ImageFormat& f, Qimg& img) {
  const std::string out = FuzzPath("out", f.ext);
  ProtectedKeep([&] { f.save(out, &img); });
  // A writer may refuse sizes its header fields cannot hold (PCX: 65535 columns).
  if (ErrCategory() == ERR_IMG && ErrCode() == 1) {
    FDelete(out);
    ErrClear();
    return;
  }
  Check(ErrNone(), "the writer refused a picture its reader loaded");
  Qimg back{};
  ProtectedKeep([&] { f.load(out, &back); });
  Check(ErrNone(), "a written picture does not load");
  const int32_t stored = img.bpp == 16 ? f.storedFor16 : img.bpp;
  Check(back.bpp == stored && back.resX == img.resX && back.resY == img.resY, "written picture geometry");
  if (stored == img.bpp) {
    Check(std::memcmp(back.pixPtr, img.pixPtr, size_t(img.pixSize)) == 0, "written pixels differ");
    Check(img.bpp != 8 || std::memcmp(back.pal, img.pal, sizeof img.pal) == 0, "written palette differs");
  }
  ImgFree(&back);
  FDelete(out);
  ErrClear();
}

inline int RunImageInput(const ImageFormat& f, const uint8_t* data, size_t size) {
  const std::string path = FuzzPath("in", f.ext);
  g_inputFile = path;
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  }
  const int32_t blocks = MemCount(), files = FCount();
  QffInfo info;
  ProtectedKeep([&] { f.info(path, &info); });
  const bool infoOk = ErrNone();
  ErrClear();
  Check(MemCount() == blocks && FCount() == files, "information left blocks or files");
  if (infoOk && int64_t(info.media.width) * info.media.height * info.media.bytesPP > kMaxFuzzBytes) return 0;

  Qimg img{};
  ProtectedKeep([&] { f.load(path, &img); });
  if (ErrNone()) {
    Check(infoOk, "loaded a file whose information failed");
    CheckPicture(img, info);
    if (img.pixSize <= kMaxRoundTripBytes) CheckRoundTrip(f, img);
    ImgFree(&img);
  } else {
    CheckRefusal(img);
  }
  ErrClear();
  Check(MemCount() == blocks && FCount() == files, "loading left blocks or files");
  return 0;
}

}  // namespace zelo::fuzz
