// Unit ConForm, conversion engine: one conversion pass pulls video and audio
// source blocks through callbacks, reads them through the universal source,
// converts the frame rate, interleaves sound and writes through the sinks.
// One conversion at a time per process.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "conversion/ffsave.h"
#include "foundation/types.h"
#include "zelo/zelo.h"

namespace zelo {

// One source block, filled by a source callback (reset by the callback for
// each block). Fields in this order.
struct SourceRequest {
  void* data;          // zero-terminated file name (kind 1), QUniInfo* (kind 2), Qimg* (kind 3)
  int32_t kind;        // 1 file, 2 described source, 3 image; UNDEF or 0 nothing
  int32_t block;       // block number
  int32_t start;       // first frame (from 1) or sample frame (from 0); UNDEF: from startTime
  int32_t length;      // frames or sample frames; UNDEF: from lengthTime
  double startTime;    // seconds; UNDEF_REAL: not given
  double lengthTime;   // seconds; UNDEF_REAL: not given
  int32_t repeat;      // each source picture is written this many times (at least 1)
  double frameRate;    // of the source; UNDEF_REAL: the file's own
  int32_t direction;   // -1 backwards, anything else forwards
  int32_t maxFiles;    // of a numbered sequence
  BOOL allowMinus;     // a minus before sequence numbers counts
  BOOL finished;       // no more blocks
};

constexpr int32_t SRC_FILE = 1;
constexpr int32_t SRC_INFO = 2;
constexpr int32_t SRC_IMAGE = 3;

// What the processing callbacks get; a null result drops the picture or sound.
struct FilterRequest {
  int32_t frame;       // pictures passed so far
  Qimg* img;
  Qimg* scratchImg;
  Qsnd* snd;
  Qsnd* scratchSnd;
  Qimg* resultImg;
  Qsnd* resultSnd;
};

struct ConProgress {
  int32_t framesDone;
  double pictureSeconds;
  int32_t samplesDone;
  double soundSeconds;
};

struct QConReport {
  int32_t framesWritten = 0;
  int32_t samplesWritten = 0;
  std::string videoName;
  std::string audioName;
};

using ConSourceProc = std::function<void(SourceRequest* request)>;
using ConFuncProc = std::function<void(FilterRequest* request)>;
using ConProgressProc = std::function<void(const ConProgress& progress)>;
using ConErrorProc = std::function<void(const std::string& fileName, int32_t& answer)>;

// Engine status: 0 running, 1 stopped (outputs are deleted at the end),
// 2 aborted (outputs stay). Set from callbacks, or from another thread.
enum ConStatus : int32_t { CONV_RUNNING = 0, CONV_STOPPED = 1, CONV_ABORTED = 2 };
extern std::atomic<int32_t> ConvState;
void ConSetStatus(int32_t value);

// The video source and function come as a pair, the audio ones likewise;
// an empty function is an absent callback.
void ConSetCallbacks(ConSourceProc videoSource, ConFuncProc videoFunc, ConSourceProc audioSource,
                     ConFuncProc audioFunc, ConProgressProc progress, ConErrorProc error);
void ConSetOptions(int32_t expectedFrames, double frameRate, BOOL keepDuration);
// Up to 16 entries; more are dropped.
void ConAddAviInfo(const std::string& key, const std::string& text);

// One pass. An empty name means no output of that kind.
void ConStart(const std::string& videoName, const std::string& audioName,
              const QffSave& settings, QConReport* report);
// The sound step; false when the conversion must stop.
bool ConSnd_();
// Zero-fills the engine state and sets ConvState to 0.
void ConDone();
void ConCloseAll();

}  // namespace zelo
