// Helpers of the AVI service tests: test pictures and sound, writing and
// reading through the services, and ffmpeg/ffprobe as the independent oracle.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/avifile.h"
#include "platform/vcm.h"

namespace zelo::test {

// Output of a shell command (stdout); *rc receives its exit status.
std::string Run(const std::string& command, int* rc = nullptr);
bool HaveFfmpeg();
std::string Quote(const std::string& s);

// A DIB format block: header plus a 256-colour table for 8 bits.
std::vector<uint8_t> DibFormatBlock(int32_t w, int32_t h, int bits);
// A grey-ramp-and-colours palette used by the 8-bit pictures.
const uint8_t* TestPalette();
// Frame n of a moving test picture as DIB rows (bottom-up, padded), with a
// little noise when noisy.
std::vector<uint8_t> TestFrame(int32_t w, int32_t h, int bits, int n, bool noisy = true);

// Any DIB (packed, in memory) as top-down BGR24 rows without padding; 16-bit
// pixels expand 5 bits to 8 by repeating the top bits.
std::vector<uint8_t> DibToBgr(const void* packedDib, int32_t* w = nullptr, int32_t* h = nullptr);
// DIB rows of a given format as top-down BGR24.
std::vector<uint8_t> RowsToBgr(const uint8_t* rows, int32_t w, int32_t h, int bits,
                               const uint8_t* palette);
double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

struct WriteSpec {
  int32_t width = 64, height = 48, bits = 24, frames = 10;
  vfw::FOURCC codec = 0;  // 0: uncompressed
  uint32_t rate = 250000, scale = 10000;
  uint32_t quality = 0xFFFFFFFFu;
  uint32_t keyEvery = 0;
  uint32_t bytesPerSecond = 0;
  bool noisy = true;
  std::map<std::string, std::string> info;  // LIST INFO entries (key: 4 characters)
  // Sound interleaved after every video frame (0 channels: none).
  int channels = 0, sampleBits = 16;
  uint32_t sampleRate = 22050;
};
// Creates a file with one video stream of the given rate (frames per second).
vfw::HRESULT CreateWithVideo(const std::string& name, uint32_t rate, vfw::PAVIFILE* file,
                             vfw::PAVISTREAM* video);
// Writes a movie through the services; the frames are TestFrame(..., n).
// Returns the first failing result.
vfw::HRESULT WriteMovie(const std::string& name, const WriteSpec& spec);
// Sound block n of the movie written with spec (interleaved PCM).
std::vector<uint8_t> TestSound(const WriteSpec& spec, int n);

// Every video frame through AVIStreamGetFrame as top-down BGR24.
struct ReadResult {
  vfw::HRESULT open = -1;
  int32_t width = 0, height = 0, bits = 0, frames = 0;
  std::vector<std::vector<uint8_t>> pictures;  // top-down BGR24
  int32_t failed = 0;                          // frames that did not decode
};
ReadResult ReadMovie(const std::string& name, int limit = 1 << 30);

// ffmpeg's decode of the first video stream as top-down BGR24 frames.
std::vector<std::vector<uint8_t>> FfmpegFrames(const std::string& name, int32_t w, int32_t h);
// ffprobe's stream entries ("codec_name", "nb_frames", "r_frame_rate" ...) of a
// stream selector ("v:0", "a:0"), and the format tags.
std::map<std::string, std::string> Probe(const std::string& name, const std::string& stream);
std::map<std::string, std::string> ProbeTags(const std::string& name);
// ffprobe's count of decodable frames (decoding them all).
int64_t ProbeFrameCount(const std::string& name);

}  // namespace zelo::test
