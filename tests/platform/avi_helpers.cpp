#include "platform/avi_helpers.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "foundation/basic.h"

namespace zelo::test {

using namespace vfw;

std::string Run(const std::string& command, int* rc) {
  std::string out;
  FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
  if (p == nullptr) {
    if (rc) *rc = -1;
    return out;
  }
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  if (rc) *rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

bool HaveFfmpeg() {
  static int have = -1;
  if (have < 0) {
    int a = 0, b = 0;
    Run("ffmpeg -version", &a);
    Run("ffprobe -version", &b);
    have = a == 0 && b == 0;
  }
  return have == 1;
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

const uint8_t* TestPalette() {
  static uint8_t pal[1024];
  static bool made = false;
  if (!made) {
    for (int i = 0; i < 256; ++i) {
      pal[4 * i] = uint8_t(i);                // blue
      pal[4 * i + 1] = uint8_t((i * 7) & 0xFF);  // green
      pal[4 * i + 2] = uint8_t(255 - i);       // red
      pal[4 * i + 3] = 0;
    }
    made = true;
  }
  return pal;
}

std::vector<uint8_t> DibFormatBlock(int32_t w, int32_t h, int bits) {
  std::vector<uint8_t> f(40 + (bits == 8 ? 1024 : 0), 0);
  BITMAPINFOHEADER bh{};
  bh.biSize = 40;
  bh.biWidth = w;
  bh.biHeight = h;
  bh.biPlanes = 1;
  bh.biBitCount = uint16_t(bits);
  bh.biCompression = BI_RGB;
  bh.biSizeImage = uint32_t(DibRowBytes(w, bits) * h);
  bh.biClrUsed = bits == 8 ? 256 : 0;
  PutInfoHeader(f.data(), bh);
  if (bits == 8) std::memcpy(f.data() + 40, TestPalette(), 1024);
  return f;
}

std::vector<uint8_t> TestFrame(int32_t w, int32_t h, int bits, int n, bool noisy) {
  int64_t row = DibRowBytes(w, bits);
  std::vector<uint8_t> rows(size_t(row * h), 0);
  uint32_t seed = 12345u + uint32_t(n) * 7919u;
  auto noise = [&]() {
    seed = seed * 1103515245u + 12345u;
    return noisy ? int((seed >> 16) & 7) - 3 : 0;
  };
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* p = rows.data() + row * (h - 1 - y);  // picture row y, stored bottom-up
    for (int32_t x = 0; x < w; ++x) {
      // Smooth gradients with a square moving one step per frame.
      int r = (x * 255) / std::max(1, w - 1);
      int g = (y * 255) / std::max(1, h - 1);
      int b = int(128 + 90 * std::sin((x + 2 * n) / 9.0) * std::cos(y / 7.0));
      int sx = (n * 2) % std::max(1, w), sy = (n * 3) % std::max(1, h);
      if (x >= sx && x < sx + w / 4 && y >= sy && y < sy + h / 4) r = 200, g = 120, b = 60;
      r = std::clamp(r + noise(), 0, 255);
      g = std::clamp(g + noise(), 0, 255);
      b = std::clamp(b + noise(), 0, 255);
      switch (bits) {
        case 8:
          p[x] = uint8_t((x + y * 3 + n) & 0xFF);
          break;
        case 16:
          PutLE16(p + 2 * x, uint32_t(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3)));
          break;
        case 24:
          p[3 * x] = uint8_t(b), p[3 * x + 1] = uint8_t(g), p[3 * x + 2] = uint8_t(r);
          break;
        case 32:
          p[4 * x] = uint8_t(b), p[4 * x + 1] = uint8_t(g), p[4 * x + 2] = uint8_t(r);
          p[4 * x + 3] = 0;
          break;
      }
    }
  }
  return rows;
}

std::vector<uint8_t> RowsToBgr(const uint8_t* rows, int32_t w, int32_t h, int bits,
                               const uint8_t* palette) {
  int64_t row = DibRowBytes(w, bits);
  std::vector<uint8_t> out(size_t(w) * h * 3);
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* p = rows + row * (h - 1 - y);
    uint8_t* o = out.data() + size_t(w) * 3 * y;
    for (int32_t x = 0; x < w; ++x, o += 3) {
      switch (bits) {
        case 8:
          std::memcpy(o, palette + 4 * p[x], 3);
          break;
        case 16: {
          uint32_t v = GetLE16(p + 2 * x);
          uint32_t r = (v >> 10) & 31, g = (v >> 5) & 31, b = v & 31;
          o[0] = uint8_t((b << 3) | (b >> 2));
          o[1] = uint8_t((g << 3) | (g >> 2));
          o[2] = uint8_t((r << 3) | (r >> 2));
          break;
        }
        case 24:
          std::memcpy(o, p + 3 * x, 3);
          break;
        case 32:
          std::memcpy(o, p + 4 * x, 3);
          break;
      }
    }
  }
  return out;
}

std::vector<uint8_t> DibToBgr(const void* packedDib, int32_t* w, int32_t* h) {
  const auto* p = static_cast<const uint8_t*>(packedDib);
  BITMAPINFOHEADER bh = GetInfoHeader(p);
  if (w) *w = bh.biWidth;
  if (h) *h = bh.biHeight;
  const uint8_t* table = p + bh.biSize;
  const uint8_t* rows = table + (bh.biBitCount == 8 ? 4 * (bh.biClrUsed ? bh.biClrUsed : 256) : 0);
  return RowsToBgr(rows, bh.biWidth, bh.biHeight, bh.biBitCount, table);
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    double d = double(a[i]) - double(b[i]);
    se += d * d;
  }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * double(a.size()) / se);
}

std::vector<uint8_t> TestSound(const WriteSpec& spec, int n) {
  int perFrame = int(int64_t(spec.sampleRate) * spec.scale / spec.rate);
  int bytes = spec.sampleBits / 8;
  std::vector<uint8_t> s(size_t(perFrame) * spec.channels * bytes);
  for (int i = 0; i < perFrame; ++i) {
    for (int c = 0; c < spec.channels; ++c) {
      double t = double(n * perFrame + i) / spec.sampleRate;
      double v = std::sin(2 * M_PI * (440.0 + 110 * c) * t) * 0.6;
      uint8_t* p = s.data() + (size_t(i) * spec.channels + c) * bytes;
      if (bytes == 1)
        *p = uint8_t(std::lround(128 + v * 127));
      else
        PutLE16(p, uint32_t(uint16_t(int16_t(std::lround(v * 32767)))));
    }
  }
  return s;
}

HRESULT CreateWithVideo(const std::string& name, uint32_t rate, PAVIFILE* file, PAVISTREAM* video) {
  HRESULT r = AVIFileOpen(file, name.c_str(), OF_CREATE | OF_WRITE, nullptr);
  if (r != AVIERR_OK) return r;
  AVISTREAMINFO vi{};
  vi.fccType = streamtypeVIDEO;
  vi.dwScale = 1;
  vi.dwRate = rate;
  return AVIFileCreateStream(*file, video, &vi);
}

HRESULT WriteMovie(const std::string& name, const WriteSpec& spec) {
  PAVIFILE f = nullptr;
  HRESULT r = AVIFileOpen(&f, name.c_str(), OF_CREATE | OF_WRITE, nullptr);
  if (r != AVIERR_OK) return r;
  if (!spec.info.empty()) {
    std::vector<uint8_t> list(4, 0);
    PutLE32(list.data(), FourCC("INFO"));
    for (const auto& [key, text] : spec.info) {
      std::vector<uint8_t> e(264, 0);
      std::memcpy(e.data(), key.data(), 4);
      PutLE32(e.data() + 4, 256);
      std::memcpy(e.data() + 8, text.data(), std::min<size_t>(text.size(), 255));
      list.insert(list.end(), e.begin(), e.end());
    }
    r = AVIFileWriteData(f, riff::kLIST, list.data(), int32_t(list.size()));
  }
  AVISTREAMINFO vi{};
  vi.fccType = streamtypeVIDEO;
  vi.fccHandler = spec.codec;
  vi.dwScale = spec.scale;
  vi.dwRate = spec.rate;
  vi.dwSuggestedBufferSize = uint32_t(DibRowBytes(spec.width, spec.bits) * spec.height);
  vi.dwQuality = spec.quality;
  vi.rcFrame = {0, 0, spec.width, spec.height};
  PAVISTREAM raw = nullptr, video = nullptr, audio = nullptr;
  if (r == AVIERR_OK) r = AVIFileCreateStream(f, &raw, &vi);
  AVICOMPRESSOPTIONS o{};
  o.fccType = streamtypeVIDEO;
  o.fccHandler = spec.codec ? spec.codec : FourCC("DIB ");
  o.dwQuality = spec.quality;
  o.dwKeyFrameEvery = spec.keyEvery;
  o.dwBytesPerSecond = spec.bytesPerSecond;
  o.dwFlags = AVICOMPRESSF_KEYFRAMES | AVICOMPRESSF_VALID |
              (spec.bytesPerSecond ? AVICOMPRESSF_DATARATE : 0);
  if (r == AVIERR_OK) r = AVIMakeCompressedStream(&video, raw, &o, nullptr);
  std::vector<uint8_t> fmt = DibFormatBlock(spec.width, spec.height, spec.bits);
  if (r == AVIERR_OK) r = AVIStreamSetFormat(video, 0, fmt.data(), int32_t(fmt.size()));
  int64_t written = 0;
  for (int n = 0; n < spec.frames && r == AVIERR_OK; ++n) {
    std::vector<uint8_t> rows = TestFrame(spec.width, spec.height, spec.bits, n, spec.noisy);
    r = AVIStreamWrite(video, n, 1, rows.data(), int32_t(rows.size()), 0, nullptr, nullptr);
    if (r != AVIERR_OK || spec.channels == 0) continue;
    int align = spec.channels * spec.sampleBits / 8;
    if (audio == nullptr) {
      AVISTREAMINFO ai{};
      ai.fccType = streamtypeAUDIO;
      ai.dwScale = uint32_t(align);
      ai.dwRate = spec.sampleRate * uint32_t(align);
      ai.dwSampleSize = uint32_t(align);
      r = AVIFileCreateStream(f, &audio, &ai);
      uint8_t wf[18] = {};
      PutLE16(wf, 1);
      PutLE16(wf + 2, uint32_t(spec.channels));
      PutLE32(wf + 4, spec.sampleRate);
      PutLE32(wf + 8, spec.sampleRate * uint32_t(align));
      PutLE16(wf + 12, uint32_t(align));
      PutLE16(wf + 14, uint32_t(spec.sampleBits));
      if (r == AVIERR_OK) r = AVIStreamSetFormat(audio, 0, wf, 18);
    }
    std::vector<uint8_t> s = TestSound(spec, n);
    int32_t samples = int32_t(s.size()) / align;
    int32_t done = 0;
    if (r == AVIERR_OK)
      r = AVIStreamWrite(audio, int32_t(written), samples, s.data(), int32_t(s.size()),
                         AVIIF_KEYFRAME, &done, nullptr);
    written += done;
  }
  HRESULT rel = AVIERR_OK;
  for (PAVISTREAM s : {raw, video, audio})
    if (s) {
      HRESULT x = AVIStreamRelease(s);
      if (rel == AVIERR_OK) rel = x;
    }
  HRESULT x = AVIFileRelease(f);
  if (rel == AVIERR_OK) rel = x;
  return r != AVIERR_OK ? r : rel;
}

ReadResult ReadMovie(const std::string& name, int limit) {
  ReadResult out;
  PAVIFILE f = nullptr;
  out.open = AVIFileOpen(&f, name.c_str(), OF_READ, nullptr);
  if (out.open != AVIERR_OK) return out;
  PAVISTREAM v = nullptr;
  if (AVIFileGetStream(f, &v, streamtypeVIDEO, 0) == AVIERR_OK) {
    out.frames = AVIStreamLength(v);
    PGETFRAME g = AVIStreamGetFrameOpen(v, nullptr);
    for (int32_t i = 0; g && i < out.frames && i < limit; ++i) {
      void* dib = AVIStreamGetFrame(g, i);
      if (dib == nullptr) {
        ++out.failed;
        out.pictures.emplace_back();
        continue;
      }
      BITMAPINFOHEADER bh = GetInfoHeader(static_cast<uint8_t*>(dib));
      out.width = bh.biWidth;
      out.height = bh.biHeight;
      out.bits = bh.biBitCount;
      out.pictures.push_back(DibToBgr(dib));
    }
    if (g) AVIStreamGetFrameClose(g);
    else out.failed = out.frames;
    AVIStreamRelease(v);
  }
  AVIFileRelease(f);
  return out;
}

std::vector<std::vector<uint8_t>> FfmpegFrames(const std::string& name, int32_t w, int32_t h) {
  std::string raw = Run("ffmpeg -v error -i " + Quote(name) +
                        " -map 0:v:0 -vsync passthrough -f rawvideo -pix_fmt bgr24 -");
  std::vector<std::vector<uint8_t>> frames;
  size_t size = size_t(w) * h * 3;
  for (size_t p = 0; size > 0 && p + size <= raw.size(); p += size)
    frames.emplace_back(raw.begin() + long(p), raw.begin() + long(p + size));
  return frames;
}

namespace {
std::map<std::string, std::string> KeyValues(const std::string& text) {
  std::map<std::string, std::string> m;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return m;
}
}  // namespace

std::map<std::string, std::string> Probe(const std::string& name, const std::string& stream) {
  return KeyValues(Run("ffprobe -v error -select_streams " + stream +
                       " -show_entries stream=codec_name,codec_tag_string,width,height,nb_frames,"
                       "r_frame_rate,duration,sample_rate,channels,bits_per_sample,pix_fmt"
                       " -of default=nw=1 " + Quote(name)));
}

std::map<std::string, std::string> ProbeTags(const std::string& name) {
  auto m = KeyValues(Run("ffprobe -v error -show_entries format_tags -of default=nw=1 " +
                         Quote(name)));
  std::map<std::string, std::string> tags;
  for (auto& [k, v] : m) tags[k.rfind("TAG:", 0) == 0 ? k.substr(4) : k] = v;
  tags["nb_streams"] = KeyValues(Run("ffprobe -v error -show_entries format=nb_streams -of "
                                     "default=nw=1 " + Quote(name)))["nb_streams"];
  return tags;
}

int64_t ProbeFrameCount(const std::string& name) {
  auto m = KeyValues(Run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                         "stream=nb_read_frames -of default=nw=1 " + Quote(name)));
  return m.count("nb_read_frames") ? std::stoll(m["nb_read_frames"]) : -1;
}

}  // namespace zelo::test
