// JEX FAST, BEST and BEST with prediction against the lossless video coders
// of libavcodec (ffv1, ffvhuff, huffyuv, utvideo, png), on one core, on the
// same frame sequences: synthetic (testsrc2), screen-like and a pan and zoom
// over a photograph, at 640x480 and 1280x720.
//
//   jex_codec_bench [--frames N] [--repeat N] [--data DIR] [--only NAME] [--photo FILE]
//                   [--peers 0]
//
// Frames are cut into strips and coded the way JEX movies are written: key
// frame every 25 frames, skips against the previous frame's coder input,
// prediction per strip, a strip that does not compress stored raw. Every JEX
// frame is checked to decode exactly. Times are the best of --repeat runs;
// the pixel format conversion of the peers is not timed. Times are the
// processor time of the benchmark's one thread.
#include <cairo.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "api/library.h"
#include "formats/jex_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Options {
  int frames = 60;
  int repeat = 2;
  std::string data = "bench-data";
  std::string only;
  bool peers = true;
  std::string photo = std::string(ZELO_PHOTOS) + "/astronaut.png";
};

struct Sequence {
  std::string name;
  int W = 0, H = 0;
  std::vector<Bytes> frames;  // bgr24, rows top first
  size_t FrameBytes() const { return size_t(W) * H * 3; }
  double RawMB() const { return double(FrameBytes()) * frames.size() / 1e6; }
};

struct Result {
  std::string coder;
  double sizeShare = 0;  // compressed / raw
  double encMBs = 0, decMBs = 0;
  bool ok = true;
};

// Processor time of this thread: the machine may be shared, and every coder
// here runs on the calling thread.
double ThreadSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Best time of `repeat` runs of work.
double BestOf(int repeat, const std::function<void()>& work) {
  double best = 1e30;
  for (int i = 0; i < repeat; ++i) {
    const double t0 = ThreadSeconds();
    work();
    best = std::min(best, ThreadSeconds() - t0);
  }
  return best;
}

// --- content ------------------------------------------------------------------

bool ReadRaw(const std::string& path, Sequence& seq, int frames) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  for (int f = 0; f < frames; ++f) {
    Bytes b(seq.FrameBytes());
    if (!in.read(reinterpret_cast<char*>(b.data()), std::streamsize(b.size()))) return false;
    seq.frames.push_back(std::move(b));
  }
  return true;
}

bool Ffmpeg(const std::string& args, const std::string& out) {
  std::string cmd = "ffmpeg -hide_banner -loglevel error -y " + args +
                    " -pix_fmt bgr24 -f rawvideo '" + out + "'";
  return std::system(cmd.c_str()) == 0;
}

Sequence Synthetic(const Options& o, int W, int H) {
  Sequence s{"synthetic", W, H, {}};
  std::string path = o.data + "/testsrc2_" + std::to_string(W) + "x" + std::to_string(H) + ".bgr";
  if (!std::filesystem::exists(path))
    Ffmpeg("-f lavfi -i testsrc2=size=" + std::to_string(W) + "x" + std::to_string(H) +
               ":rate=30 -frames:v " + std::to_string(o.frames),
           path);
  if (!ReadRaw(path, s, o.frames)) s.frames.clear();
  return s;
}

Sequence Photographic(const Options& o, int W, int H) {
  Sequence s{"photo", W, H, {}};
  std::string path = o.data + "/photo_" + std::to_string(W) + "x" + std::to_string(H) + ".bgr";
  if (!std::filesystem::exists(path)) {
    // Cut the photograph to the frame's aspect, enlarge it, then zoom in
    // slowly while panning from left to right.
    const std::string w = std::to_string(W), h = std::to_string(H), n = std::to_string(o.frames);
    Ffmpeg("-loop 1 -i '" + o.photo + "' -vf \"crop=iw:iw*" + h + "/" + w + ",scale=" + w +
               "*2:" + h + "*2:flags=lanczos,zoompan=z='1.3+0.004*on':x='(iw-iw/zoom)*on/" + n +
               "':y='(ih-ih/zoom)/3':d=1:s=" + w + "x" + h + ":fps=30\" -frames:v " + n,
           path);
  }
  if (!ReadRaw(path, s, o.frames)) s.frames.clear();
  return s;
}

// A desktop: flat background, a task bar, three windows with anti-aliased
// text that move, one scrolling, one with a growing progress bar, and a
// mouse pointer.
Sequence Screen(const Options& o, int W, int H) {
  Sequence s{"screen", W, H, {}};
  static const char* kWords[] = {"frame",    "codec", "strip", "window", "buffer", "render", "the",
                                 "movie",    "image", "pixel", "sound",  "file",   "open",   "and",
                                 "lossless", "table", "index", "header", "row",    "copy",   "of"};
  std::mt19937 rng(1);
  std::vector<std::string> lines;
  for (int i = 0; i < 200; ++i) {
    std::string l;
    int words = 3 + int(rng() % 8);
    for (int k = 0; k < words; ++k) l += std::string(kWords[rng() % 21]) + " ";
    lines.push_back(l);
  }
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, W, H);
  cairo_t* cr = cairo_create(surface);
  const double ww = W * 0.45, wh = H * 0.5;
  for (int f = 0; f < o.frames; ++f) {
    cairo_set_source_rgb(cr, 0.16, 0.33, 0.52);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
    cairo_rectangle(cr, 0, H - 30, W, 30);
    cairo_fill(cr);
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 13);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_move_to(cr, 10, H - 10);
    cairo_show_text(cr, "Start   Editor   Terminal   Movie converter      12:04");
    const double pos[3][4] = {
        {20, 20, 1.0, 0.5}, {W * 0.4, H * 0.15, -0.5, 1.0}, {W * 0.2, H * 0.4, 2.0, -0.7}};
    for (int k = 0; k < 3; ++k) {
      double x = std::round(pos[k][0] + pos[k][2] * f), y = std::round(pos[k][1] + pos[k][3] * f);
      cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
      cairo_rectangle(cr, x - 1, y - 1, ww + 2, wh + 2);
      cairo_fill(cr);
      cairo_set_source_rgb(cr, k == 2 ? 0.1 : 0.2, k == 2 ? 0.3 : 0.4, 0.7);
      cairo_rectangle(cr, x, y, ww, 22);
      cairo_fill(cr);
      cairo_set_source_rgb(cr, k == 1 ? 0.12 : 1, k == 1 ? 0.12 : 1, k == 1 ? 0.14 : 1);
      cairo_rectangle(cr, x, y + 22, ww, wh - 22);
      cairo_fill(cr);
      cairo_set_source_rgb(cr, 1, 1, 1);
      cairo_move_to(cr, x + 8, y + 16);
      cairo_show_text(cr, k == 0   ? "notes.txt - Editor"
                          : k == 1 ? "Terminal"
                                   : "Converting movie.jex");
      cairo_save(cr);
      cairo_rectangle(cr, x, y + 22, ww, wh - 22);
      cairo_clip(cr);
      if (k == 1) {
        cairo_select_font_face(cr, "DejaVu Sans Mono", CAIRO_FONT_SLANT_NORMAL,
                               CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_source_rgb(cr, 0.7, 0.9, 0.7);
      } else {
        cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                               CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
      }
      const int first = k == 1 ? f / 2 : 0;  // the terminal scrolls
      for (int i = 0; i * 16 < wh - 30; ++i) {
        cairo_move_to(cr, x + 8, y + 40 + i * 16);
        cairo_show_text(cr, lines[size_t(first + i + k * 50) % lines.size()].c_str());
      }
      if (k == 2) {
        cairo_set_source_rgb(cr, 0.8, 0.8, 0.8);
        cairo_rectangle(cr, x + 10, y + wh - 30, ww - 20, 14);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.2, 0.7, 0.3);
        cairo_rectangle(cr, x + 10, y + wh - 30, (ww - 20) * (f + 1) / o.frames, 14);
        cairo_fill(cr);
      }
      cairo_restore(cr);
      cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    }
    // Pointer.
    double px = W * 0.6 + 5 * f, py = H * 0.3 + 3 * f;
    cairo_move_to(cr, px, py);
    cairo_line_to(cr, px, py + 18);
    cairo_line_to(cr, px + 5, py + 14);
    cairo_line_to(cr, px + 12, py + 13);
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    cairo_surface_flush(surface);
    const uint8_t* px0 = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    Bytes b(s.FrameBytes());
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        std::memcpy(&b[(size_t(y) * W + x) * 3], px0 + size_t(y) * stride + size_t(x) * 4, 3);
    s.frames.push_back(std::move(b));
  }
  cairo_destroy(cr);
  cairo_surface_destroy(surface);
  return s;
}

// --- JEX, coded the way the container writes and reads movies ------------------

enum class Jex { Fast, Best, BestPredicted };

struct JexStrip {
  int32_t offset, rows, size;  // size 0: stored raw
};

// Strips of a frame: one strip for frames above 65520 bytes, else strips of
// as many whole rows as fit in 65520 bytes.
std::vector<JexStrip> CutStrips(int W, int H) {
  const int32_t L = W * 3, frame = L * H;
  const int32_t stripBytes = frame <= 65520 ? (65520 / L) * L : frame;
  std::vector<JexStrip> strips;
  for (int32_t s = 0; s < frame; s += stripBytes)
    strips.push_back({s, std::min(stripBytes, frame - s) / L, 0});
  return strips;
}

// Per frame the strips and the output buffer they are written to (frame
// bytes + 8192 as in the container), allocated once before timing.
struct JexMovie {
  std::vector<std::vector<JexStrip>> strips;
  std::vector<Bytes> data;
  std::vector<size_t> used;  // bytes of data holding the strips
  uint64_t checksum = 1469598103934665603ull;
  size_t bytes = 0;

  explicit JexMovie(const Sequence& seq)
      : strips(seq.frames.size()),
        data(seq.frames.size(), Bytes(seq.FrameBytes() + zelo::kJXDCOutSlack)),
        used(seq.frames.size()) {}
};

constexpr int kKeyInterval = 25;

void Mix(uint64_t& h, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
}

void JexEncode(const Sequence& seq, Jex kind, JexMovie& m) {
  m.bytes = 0;
  const int32_t frame = int32_t(seq.FrameBytes());
  Bytes prev(static_cast<size_t>(frame)), predicted(static_cast<size_t>(frame));
  for (size_t f = 0; f < seq.frames.size(); ++f) {
    const bool usePrev = f > 0 && f % kKeyInterval != 0;
    const uint8_t* source = seq.frames[f].data();
    std::vector<JexStrip> strips = CutStrips(seq.W, seq.H);
    // A strip that does not compress is copied raw.
    Bytes& data = m.data[f];
    size_t used = 0;
    for (JexStrip& s : strips) {
      if (kind == Jex::BestPredicted) {
        zelo::PredictDiff(s.rows * seq.W, predicted.data() + s.offset, source + s.offset);
      }
      const uint8_t* src = (kind == Jex::BestPredicted ? predicted.data() : source) + s.offset;
      uint8_t* out = data.data() + used;
      const int32_t n =
          kind == Jex::Fast
              ? zelo::JXDCFast(src, out, prev.data() + s.offset, usePrev, 3, s.rows, seq.W)
              : zelo::JXDCBest(src, out, prev.data() + s.offset, usePrev, 3, s.rows, seq.W);
      s.size = n;
      const size_t raw = size_t(s.rows) * seq.W * 3;
      if (n == 0) std::memcpy(out, src, raw);
      used += n > 0 ? size_t(n) : raw;
    }
    std::memcpy(prev.data(), kind == Jex::BestPredicted ? predicted.data() : source, size_t(frame));
    m.used[f] = used;
    m.bytes += used;
    m.strips[f] = std::move(strips);
  }
}

// Decodes every frame into one image (delta frames build on it); when
// `check` is set each frame is compared with the source.
bool JexDecode(const Sequence& seq, const JexMovie& m, Jex kind, bool check) {
  const size_t frame = seq.FrameBytes();
  Bytes image(frame), predicted(frame);
  for (size_t f = 0; f < m.data.size(); ++f) {
    const uint8_t* in = m.data[f].data();
    for (const JexStrip& s : m.strips[f]) {
      uint8_t* dest = (kind == Jex::BestPredicted ? predicted.data() : image.data()) + s.offset;
      const int32_t raw = s.rows * seq.W * 3;
      if (s.size == 0) {
        std::memcpy(dest, in, size_t(raw));
        in += raw;
      } else {
        const bool ok = kind == Jex::Fast
                            ? zelo::JXDCFastDecode(in, s.size, dest, seq.W, 3, s.rows)
                            : zelo::JXDCBestDecode(in, s.size, dest, seq.W, 3, s.rows);
        if (!ok) return false;
        in += s.size;
      }
      if (kind == Jex::BestPredicted)
        zelo::PredictSum(s.rows * seq.W, image.data() + s.offset, predicted.data() + s.offset);
    }
    if (check && std::memcmp(image.data(), seq.frames[f].data(), frame) != 0) return false;
  }
  return true;
}

Result RunJex(const Sequence& seq, Jex kind, int repeat, uint64_t& checksum) {
  static const char* kNames[] = {"JEX FAST", "JEX BEST", "JEX BEST-P"};
  Result r{kNames[int(kind)]};
  JexMovie movie(seq);
  const double enc = BestOf(repeat, [&] { JexEncode(seq, kind, movie); });
  // The fingerprint of the streams: strip sizes (0: raw) and bytes.
  for (size_t f = 0; f < movie.data.size(); ++f) {
    for (const JexStrip& s : movie.strips[f]) {
      const uint8_t len[4] = {uint8_t(s.size), uint8_t(s.size >> 8), uint8_t(s.size >> 16),
                              uint8_t(s.size >> 24)};
      Mix(movie.checksum, len, 4);
    }
    Mix(movie.checksum, movie.data[f].data(), movie.used[f]);
  }
  r.ok = JexDecode(seq, movie, kind, true);
  const double dec = BestOf(repeat + 1, [&] { JexDecode(seq, movie, kind, false); });
  r.sizeShare = double(movie.bytes) / (double(seq.FrameBytes()) * seq.frames.size());
  r.encMBs = seq.RawMB() / enc;
  r.decMBs = seq.RawMB() / dec;
  checksum = movie.checksum;
  return r;
}

// --- libavcodec peers -----------------------------------------------------------

struct Peer {
  const char* name;
  AVPixelFormat format;
};

const Peer kPeers[] = {{"ffv1", AV_PIX_FMT_BGR0},
                       {"ffvhuff", AV_PIX_FMT_RGB24},
                       {"huffyuv", AV_PIX_FMT_RGB24},
                       {"utvideo", AV_PIX_FMT_GBRP},
                       {"png", AV_PIX_FMT_RGB24}};

Result RunPeer(const Sequence& seq, const Peer& peer, int repeat) {
  Result r{peer.name};
  r.ok = false;
  const AVCodec* encoder = avcodec_find_encoder_by_name(peer.name);
  if (!encoder) return r;
  // Frames in the peer's pixel format, converted before timing.
  std::vector<AVFrame*> frames;
  SwsContext* sws = sws_getContext(seq.W, seq.H, AV_PIX_FMT_BGR24, seq.W, seq.H, peer.format,
                                   SWS_POINT, nullptr, nullptr, nullptr);
  for (const Bytes& b : seq.frames) {
    AVFrame* fr = av_frame_alloc();
    fr->format = peer.format;
    fr->width = seq.W;
    fr->height = seq.H;
    av_frame_get_buffer(fr, 0);
    const uint8_t* srcData[1] = {b.data()};
    const int srcStride[1] = {seq.W * 3};
    sws_scale(sws, srcData, srcStride, 0, seq.H, fr->data, fr->linesize);
    frames.push_back(fr);
  }
  sws_freeContext(sws);

  std::vector<AVPacket*> packets;
  Bytes extradata;
  unsigned tag = 0;  // utvideo's decoder learns the format from the FourCC
  int bitsPerSample = 0;
  auto encode = [&] {
    for (AVPacket* p : packets) av_packet_free(&p);
    packets.clear();
    AVCodecContext* c = avcodec_alloc_context3(encoder);
    c->width = seq.W;
    c->height = seq.H;
    c->pix_fmt = peer.format;
    c->time_base = AVRational{1, 30};
    c->thread_count = 1;
    if (avcodec_open2(c, encoder, nullptr) < 0) {
      avcodec_free_context(&c);
      return;
    }
    extradata.assign(c->extradata, c->extradata + c->extradata_size);
    tag = c->codec_tag;
    bitsPerSample = c->bits_per_coded_sample;
    for (size_t i = 0; i <= frames.size(); ++i) {
      if (i < frames.size()) frames[i]->pts = int64_t(i);
      avcodec_send_frame(c, i < frames.size() ? frames[i] : nullptr);
      for (;;) {
        AVPacket* p = av_packet_alloc();
        if (avcodec_receive_packet(c, p) < 0) {
          av_packet_free(&p);
          break;
        }
        packets.push_back(p);
      }
    }
    avcodec_free_context(&c);
  };
  const double enc = BestOf(repeat, encode);
  size_t bytes = 0;
  for (AVPacket* p : packets) bytes += size_t(p->size);

  const AVCodec* decoder = avcodec_find_decoder(encoder->id);
  size_t decoded = 0;
  auto decode = [&] {
    decoded = 0;
    AVCodecContext* c = avcodec_alloc_context3(decoder);
    c->width = seq.W;
    c->height = seq.H;
    c->thread_count = 1;
    c->codec_tag = tag;
    c->bits_per_coded_sample = bitsPerSample;
    if (!extradata.empty()) {
      c->extradata =
          static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
      std::memcpy(c->extradata, extradata.data(), extradata.size());
      c->extradata_size = int(extradata.size());
    }
    if (avcodec_open2(c, decoder, nullptr) < 0) {
      avcodec_free_context(&c);
      return;
    }
    AVFrame* fr = av_frame_alloc();
    for (size_t i = 0; i <= packets.size(); ++i) {
      avcodec_send_packet(c, i < packets.size() ? packets[i] : nullptr);
      while (avcodec_receive_frame(c, fr) >= 0) ++decoded;
    }
    av_frame_free(&fr);
    avcodec_free_context(&c);
  };
  const double dec = BestOf(repeat + 1, decode);
  r.ok = decoded == frames.size() && packets.size() == frames.size();
  r.sizeShare = double(bytes) / (double(seq.FrameBytes()) * seq.frames.size());
  r.encMBs = seq.RawMB() / enc;
  r.decMBs = seq.RawMB() / dec;
  for (AVPacket* p : packets) av_packet_free(&p);
  for (AVFrame* f : frames) av_frame_free(&f);
  return r;
}

// --- report ---------------------------------------------------------------------

void PrintTable(const Sequence& seq, const std::vector<Result>& results) {
  std::printf("\n%s %dx%d, %zu frames (%.1f MB raw)\n", seq.name.c_str(), seq.W, seq.H,
              seq.frames.size(), seq.RawMB());
  std::printf("  %-11s %8s %10s %10s\n", "coder", "size", "enc MB/s", "dec MB/s");
  for (const Result& r : results)
    std::printf("  %-11s %7.1f%% %10.1f %10.1f%s\n", r.coder.c_str(), 100 * r.sizeShare, r.encMBs,
                r.decMBs, r.ok ? "" : "  FAILED");
  std::printf("  JEX against each peer (speed: JEX / peer, size: JEX / peer)\n");
  std::printf("  %-11s", "peer");
  for (size_t j = 0; j < 3; ++j) std::printf(" | %-10s enc   dec  size", results[j].coder.c_str());
  std::printf("\n");
  for (size_t i = 3; i < results.size(); ++i) {
    std::printf("  %-11s", results[i].coder.c_str());
    for (size_t j = 0; j < 3; ++j)
      std::printf(" | %10s %5.2f %5.2f %5.2f", "", results[j].encMBs / results[i].encMBs,
                  results[j].decMBs / results[i].decMBs,
                  results[j].sizeShare / results[i].sizeShare);
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  zelo::LibraryInit();
  av_log_set_level(AV_LOG_QUIET);
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    const char* v = argv[i + 1];
    if (a == "--frames") {
      o.frames = std::atoi(v);
    } else if (a == "--repeat") {
      o.repeat = std::max(1, std::atoi(v));
    } else if (a == "--data") {
      o.data = v;
    } else if (a == "--only") {
      o.only = v;
    } else if (a == "--photo") {
      o.photo = v;
    } else if (a == "--peers") {
      o.peers = std::atoi(v) != 0;
    }
  }
  std::filesystem::create_directories(o.data);
  std::printf("JEX codec benchmark: one thread, best of %d runs (decode %d)\n", o.repeat,
              o.repeat + 1);
  uint64_t all = 1469598103934665603ull;
  const std::pair<const char*, Sequence (*)(const Options&, int, int)> kinds[] = {
      {"synthetic", Synthetic}, {"screen", Screen}, {"photo", Photographic}};
  for (auto [name, make] : kinds) {
    if (!o.only.empty() && o.only != name) continue;
    for (auto [W, H] : {std::pair{640, 480}, std::pair{1280, 720}}) {
      Sequence seq = make(o, W, H);
      if (seq.frames.empty()) {
        std::printf("\n%s %dx%d: no frames (ffmpeg missing?)\n", name, W, H);
        continue;
      }
      std::vector<Result> results;
      uint64_t sums[3];
      for (Jex kind : {Jex::Fast, Jex::Best, Jex::BestPredicted})
        results.push_back(RunJex(seq, kind, o.repeat, sums[int(kind)]));
      if (o.peers)
        for (const Peer& p : kPeers) results.push_back(RunPeer(seq, p, o.repeat));
      PrintTable(seq, results);
      std::printf("  JEX stream checksums: FAST %016llx BEST %016llx BEST-P %016llx\n",
                  (unsigned long long)sums[0], (unsigned long long)sums[1],
                  (unsigned long long)sums[2]);
      for (uint64_t s : sums) Mix(all, reinterpret_cast<const uint8_t*>(&s), 8);
    }
  }
  std::printf("\nAll JEX streams: %016llx\n", (unsigned long long)all);
  return 0;
}
