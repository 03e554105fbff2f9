#include "formats/ffbasic.h"

#include <algorithm>
#include <cctype>

#include "foundation/monitor.h"

namespace zelo {
namespace {

struct Row {
  int32_t id;
  int32_t caps;
  const char* exts;
  const char* shortName;
  const char* longName;
  const char* description;
};

constexpr Row kReadTable[] = {
    {7, 0x1A, ".jex", "JEX", "Joint Encoding Exchange", "JEX, Joint Encoding Exchange"},
    {4, 0x0B, ".gif.giff", "GIF", "Graphics Interchange Format", "GIF, Graphics Interchange Format"},
    {3, 0x09, ".bmp.dib.rle", "BMP", "Windows Device Independent Bitmap",
     "BMP/DIB, Windows Device Independent Bitmap"},
    {5, 0x0A, ".flc.fli", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"},
    {14, 0x09, ".ras.sun.im1", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"},
    {13, 0x09, ".rgb.rgba.bw.sgi", "SGI", "Silicon Graphics Image", "RGB, Silicon Graphics Image"},
    {15, 0x09, ".pnm.ppm.pgm", "PNM", "Portable Image", "PNM, Portable Image"},
    {2, 0x09, ".pcx", "PCX", "Zsoft Paintbrush", "PCX, Zsoft Paintbrush"},
    {9, 0x09, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"},
    {6, 0x1A, ".avi", "AVI", "Windows Audio Video Interleaved", "AVI, Windows Audio Video Interleaved"},
    {12, 0x14, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"},
    {8, 0x09, ".jpg.jpeg.jif.jfif.jpe.J", "JPEG", "Joint Photographic Experts Group",
     "JPEG, Joint Photographic Experts Group"},
    {10, 0x09, ".tif.tiff", "TIFF", "Tagged Image File Format", "TIFF, Tagged Image File Format"},
    {11, 0x1A, ".mpg.mpeg.m1v.m2v.mpe", "MPEG", "Moving Pictures Experts Group",
     "MPEG, Moving Pictures Experts Group"},
    {1, 0x09, ".tga", "TGA", "Truevision Targa", "TGA, Truevision Targa"},
    {16, 0x09, ".bay", "BAY", "Bayer Image", "BAY, Bayer Image"},
    {17, 0x09, ".xpm", "XPM", "X PixMap", "XPM, X PixMap"},
    {11, 0x14, ".mp3.mpa.mp2", "MPA", "MPEG Audio Layer I/II/III", "MP3/MPA, MPEG Audio Layer I/II/III"},
    {19, 0x14, ".ogg", "OGG", "Ogg Vorbis Audio", "OGG, Ogg Vorbis Audio"},
};

constexpr Row kWriteTable[] = {
    {6, 0x1A, ".avi", "AVI", "Windows Audio Video Interleaved", "AVI, Windows Audio Video Interleaved"},
    {3, 0x09, ".bmp.dib", "BMP", "Windows Device Independent Bitmap",
     "BMP/DIB, Windows Device Independent Bitmap"},
    {5, 0x0A, ".flc.fli", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"},
    {7, 0x1A, ".jex", "JEX", "Joint Encoding Exchange", "JEX, Joint Encoding Exchange"},
    {8, 0x09, ".jpg.jpeg", "JPEG", "Joint Photographic Experts Group",
     "JPEG, Joint Photographic Experts Group"},
    {2, 0x09, ".pcx", "PCX", "Zsoft Paintbrush", "PCX, Zsoft Paintbrush"},
    {9, 0x09, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"},
    {1, 0x09, ".tga", "TGA", "Truevision Targa", "TGA, Truevision Targa"},
    {11, 0x1A, ".mpg.mpeg.m1v.m2v", "MPEG", "Moving Pictures Experts Group",
     "MPEG, Moving Pictures Experts Group"},
    {12, 0x14, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"},
    {13, 0x09, ".rgb.sgi", "SGI", "Silicon Graphics Image", "RGB, Silicon Graphics Image"},
    {14, 0x09, ".ras.sun.im1", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"},
    {15, 0x09, ".ppm.pnm", "PPM", "Portable PixelMap", "PPM, Portable PixelMap"},
    {10, 0x09, ".tif.tiff", "TIFF", "Tagged Image File Format", "TIFF, Tagged Image File Format"},
    {17, 0x09, ".xpm", "XPM", "X PixMap", "XPM, X PixMap"},
    {18, 0x14, ".mp2", "MPA", "MPEG Audio Layer II", "MP2, MPEG Audio Layer II"},
    {19, 0x14, ".ogg", "OGG", "Ogg Vorbis Audio", "OGG, Ogg Vorbis Audio"},
};

// Depth each writer stores for sources of 8, 15, 16, 24, 32 and other bits.
struct DepthRow {
  int32_t id;
  int32_t depth[6];
};

constexpr DepthRow kDepthTable[] = {
    {6, {8, 15, 24, 24, 24, 24}},  {3, {8, 15, 24, 24, 24, 24}},  {5, {8, 8, 8, 8, 8, 8}},
    {7, {8, 16, 16, 24, 24, 24}},  {8, {24, 24, 24, 24, 24, 24}}, {2, {8, 24, 24, 24, 24, 24}},
    {9, {8, 24, 24, 24, 24, 24}},  {1, {8, 15, 24, 24, 24, 24}},  {11, {24, 24, 24, 24, 24, 24}},
    {12, {0, 0, 0, 0, 0, 0}},      {13, {24, 24, 24, 24, 24, 24}}, {14, {8, 24, 24, 24, 24, 24}},
    {15, {24, 24, 24, 24, 24, 24}}, {10, {8, 24, 24, 24, 24, 24}}, {17, {24, 24, 24, 24, 24, 24}},
    {18, {0, 0, 0, 0, 0, 0}},      {19, {0, 0, 0, 0, 0, 0}},
};

bool g_lzw = false;
bool g_mpeg2 = false;

template <size_t N>
const Row* Find(const Row (&table)[N], int32_t id) {
  for (const Row& r : table)
    if (r.id == id) return &r;
  return nullptr;
}

QffDesc ToDesc(const Row& r) {
  return QffDesc{r.id, r.caps, r.exts, r.shortName, r.longName, r.description};
}

// Lower-cased extension of the last path component with its dot, "" if none.
std::string Extension(const std::string& fileName) {
  size_t slash = fileName.find_last_of('/');
  std::string base = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
  size_t dot = base.find_last_of('.');
  if (dot == std::string::npos) return {};
  std::string ext = base.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

}  // namespace

int32_t FFTableSize(int32_t table) {
  return table == FF_TABLE_WRITE ? int32_t(std::size(kWriteTable)) : int32_t(std::size(kReadTable));
}

QffDesc FFTableRow(int32_t table, int32_t index) {
  if (index < 0 || index >= FFTableSize(table)) return QffDesc{UNDEF, 0, {}, {}, {}, {}};
  return ToDesc(table == FF_TABLE_WRITE ? kWriteTable[index] : kReadTable[index]);
}

QffDesc FFFindByExt(const std::string& fileName, int32_t table) {
  PathScope path("FFBasic.FFFindByExt");
  std::string key = Extension(fileName) + ".";
  if (key != ".") {
    int32_t n = FFTableSize(table);
    for (int32_t i = 0; i < n; ++i) {
      const Row& r = table == FF_TABLE_WRITE ? kWriteTable[i] : kReadTable[i];
      if ((std::string(r.exts) + ".").find(key) != std::string::npos) return ToDesc(r);
    }
  }
  return QffDesc{UNDEF, 0, {}, {}, {}, {}};
}

int32_t FFGetID(const std::string& fileName, int32_t table) {
  return FFFindByExt(fileName, table).id;
}

bool FFIsWritable(int32_t id) { return Find(kWriteTable, id) != nullptr; }

int32_t FFGetCaps(int32_t id, int32_t table) {
  const Row* r = table == FF_TABLE_WRITE ? Find(kWriteTable, id) : Find(kReadTable, id);
  return r ? r->caps : UNDEF;
}

int32_t FFKind(int32_t id, int32_t frames) {
  if (id == 0 || static_cast<uint32_t>(id) >= 20u) return KIND_NONE;
  switch (id) {
    case FF_FLC:
    case FF_AVI:
    case FF_JEX:
    case FF_MPG:
    case FF_WAV:
    case FF_MPA:
    case FF_OGG:
      return KIND_MOVIE;
    case FF_GIF:
      return frames < 2 ? KIND_STILL : KIND_MOVIE;
    default:
      return frames < 2 ? KIND_STILL : KIND_SEQUENCE;
  }
}

int32_t FFStoreDepth(int32_t id, int32_t depth) {
  for (const DepthRow& r : kDepthTable) {
    if (r.id != id) continue;
    switch (depth) {
      case 8:
        return r.depth[0];
      case 15:
        return r.depth[1];
      case 16:
        return r.depth[2];
      case 24:
        return r.depth[3];
      case 32:
        return r.depth[4];
      default:
        return r.depth[5];
    }
  }
  return UNDEF;
}

std::string FFDescription(int32_t id) {
  const Row* r = Find(kReadTable, id);
  return r ? r->description : "";
}

uint32_t MakeFourCC(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | (uint32_t(uint8_t(b)) << 8) | (uint32_t(uint8_t(c)) << 16) |
         (uint32_t(uint8_t(d)) << 24);
}

uint32_t MakeFourCC(const char* text) {
  char c[4] = {' ', ' ', ' ', ' '};
  for (int i = 0; i < 4 && text != nullptr && text[i] != '\0'; ++i) c[i] = text[i];
  return MakeFourCC(c[0], c[1], c[2], c[3]);
}

std::string FourCCToStr(uint32_t code) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((code >> (8 * i)) & 0xFF);
  return s;
}

bool FFLzwEnabled() { return g_lzw; }
void FFSetLzw(bool on) { g_lzw = on; }

bool FFMpeg2Enabled() { return g_mpeg2; }
void FFSetMpeg2(bool on) { g_mpeg2 = on; }

}  // namespace zelo
