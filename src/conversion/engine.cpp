// The conversion engine: pulls video and audio source blocks through the
// callbacks, maps source frames onto the output frame rate, interleaves the
// sound at a fixed picture period and writes both through the output sinks.
#include "conversion/engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "conversion/uni.h"
#include "formats/ffbasic.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "image/imgbasic.h"
#include "sound/sndbasic.h"

namespace zelo {

std::atomic<int32_t> ConvState{CONV_RUNNING};

void ConSetStatus(int32_t value) { ConvState = value; }

namespace {

constexpr int32_t kLoc = 55000;  // raise sites of this file: kLoc + n

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

bool Given(double value) { return value != UNDEF_REAL; }

// Truncation towards zero into the int32 range.
int32_t TruncInt(double v) {
  if (std::isnan(v)) return 0;
  return static_cast<int32_t>(std::clamp(std::trunc(v), double(INT32_MIN), double(INT32_MAX)));
}

// One block of a source: what to read and how often to write it.
struct QConBlock {
  int32_t kind = 0;       // of the request
  int32_t srcKind = 0;    // of the opened source (still, sequence, movie)
  int32_t srcId = 0;
  int32_t start = 0;      // next frame (video) or sample frame (audio)
  int32_t length = 0;     // frames or sample frames left
  int32_t step = 1;
  int32_t repeat = 1;
  double increment = 1;   // output pictures per source picture
  double sampleRate = 0;  // audio
  bool unusable = false;
};

struct QConState {
  double frameRate = 0;
  int32_t expectedFrames = 0;
  BOOL keepDuration = kFalse;
  int32_t soundPeriod = 0;
  ConSourceProc videoSource, audioSource;
  ConFuncProc videoFunc, audioFunc;
  ConProgressProc progress;
  ConErrorProc error;
  bool audioFinished = false, needAudioBlock = false, silence = false;
  bool videoSourceOpen = false, audioSourceOpen = false;
  bool audioOutput = false, videoOutput = false;
  bool hasVideoSource = false, hasAudioSource = false;
  bool videoFinished = false, soundNow = false;
  SourceRequest audioRequest{}, videoRequest{};
  QUni videoSrc, audioSrc;  // the open sources
  QUni videoSinkRec, audioSinkRec;
  QUni* videoSink = nullptr;
  QUni* audioSink = nullptr;
  Qimg loaded{}, scratch{}, kept{};
  Qsnd snd{}, scratchSnd{};
  int32_t samplesDone = 0, samplesScheduled = 0;
  double soundSeconds = 0, pictureSeconds = 0;
  int32_t aviInfoCount = 0;
  QUniCustomInfo aviInfo[kUniMaxCustomInfo];

  // The run's own bookkeeping.
  QConBlock video, audio;
  Qimg* loadBuffer = nullptr;
  int32_t framesDone = 0, framesScheduled = 0;
  double accumulator = 0;
  int32_t funcFrame = 0;
  bool needVideoBlock = false, firstOutput = false;
  std::string videoName, audioName;  // as remembered for the report
  // Sound interleaving: pictures already covered by sound blocks, and the
  // fraction of a sample frame (and any shortfall) carried to the next block
  // so the sound written keeps the pictures' exact duration.
  int32_t soundPictures = 0;
  double soundCarry = 0;
  double carryRate = 0;
};

QConState S;

// The error callback's answer for a failed load, with the error pending.
enum LoadOutcome { LOAD_OK, LOAD_RETRY, LOAD_END_BLOCK };

LoadOutcome AskAfterFailure_(const std::string& fileName) {
  if (!S.error) {
    ErrClear();
    return LOAD_END_BLOCK;
  }
  int32_t answer = 1;
  S.error(fileName, answer);
  if (answer != 3) ErrClear();
  switch (answer) {
    case 1:
    case 2:
      ConvState = answer;
      return LOAD_END_BLOCK;
    case 4:
      return LOAD_END_BLOCK;
    case 3:
      return LOAD_RETRY;
    default:
      return ConvState != CONV_RUNNING ? LOAD_END_BLOCK : LOAD_OK;
  }
}

// Runs a load as a keeping call; on failure the error callback decides.
template <class Load>
bool LoadWithAnswers_(const std::string& fileName, Load load) {
  for (;;) {
    ProtectedKeep(load);
    if (ErrNone()) return ConvState == CONV_RUNNING;
    const LoadOutcome outcome = AskAfterFailure_(fileName);
    if (outcome == LOAD_RETRY) continue;
    return outcome == LOAD_OK;
  }
}

// Describes a file or described source of a request; false when it cannot
// be described (UniInfo left its warning).
bool DescribeSource_(const SourceRequest& r, QUniInfo* info) {
  if (r.data == nullptr) return false;
  if (r.kind == SRC_INFO) {
    *info = *static_cast<const QUniInfo*>(r.data);
    return true;
  }
  if (r.kind != SRC_FILE) return false;
  if (!UniInfo(static_cast<const char*>(r.data), info, r.maxFiles, r.allowMinus != 0)) return false;
  // A file no format could describe counts as not described, even when the
  // last format asked left no error.
  return info->kind == KIND_STILL || info->kind == KIND_SEQUENCE || info->kind == KIND_MOVIE;
}

// --- video ------------------------------------------------------------------------

void EndVideoBlock_() {
  if (S.videoSourceOpen) {
    S.videoSourceOpen = false;
    UniClose(&S.videoSrc);
  }
  S.needVideoBlock = true;
  S.video.length = 0;
}

// Fetches video blocks until one is usable; false when the block ended at
// once (a source that cannot be described, a stop, or an unusable image).
bool FetchVideoBlock_() {
  QConBlock& b = S.video;
  do {
    S.needVideoBlock = false;
    S.videoSource(&S.videoRequest);
    const SourceRequest& r = S.videoRequest;
    S.videoFinished = r.finished != 0 || ConvState == CONV_ABORTED;
    if (ConvState != CONV_RUNNING) return false;
    if (S.videoFinished) return false;

    b = QConBlock{};
    b.kind = r.kind;
    QUniInfo info;
    if (r.kind == SRC_IMAGE) {
      if (r.data == nullptr) return false;
      info.media.frames = 1;
      b.srcKind = KIND_STILL;
    } else {
      if (!DescribeSource_(r, &info)) return false;
      UniOpen(&S.videoSrc, &info);
      S.videoSourceOpen = true;
      b.srcKind = info.kind;
      b.srcId = info.id;
    }
    const double fileRate = info.media.frameRate;
    double srcRate = Given(r.frameRate) ? r.frameRate : fileRate;
    if (srcRate == 0) srcRate = S.frameRate;
    const int32_t frames = info.media.frames;

    int32_t start = r.start;
    if (start == UNDEF) start = Given(r.startTime) ? TruncInt(fileRate * r.startTime + 1) : 1;
    int32_t length = r.length;
    if (length == UNDEF) {
      if (r.kind == SRC_IMAGE)
        length = 1;
      else if (Given(r.lengthTime))
        length = TruncInt(fileRate * r.lengthTime);
      else
        length = frames;
    }

    b.unusable = frames < start || length == 0;
    if (!b.unusable) {
      start = std::max(1, std::min(start, frames));
      length = std::max(1, std::min(length, frames - start + 1));
      b.repeat = std::max(1, r.repeat);
      b.step = r.direction == -1 ? -1 : 1;
      if (b.step == -1) start = start + length - 1;
      const double sinkRate = S.videoSink ? S.videoSink->frameRate : S.frameRate;
      b.increment = srcRate != 0 ? sinkRate / srcRate : 1.0;
      S.framesScheduled += length;
      b.start = start;
      b.length = length;
    }

    // Formats that decode a frame as changes to the one before keep their
    // picture across frames while the video function may change the copy.
    const bool incremental = b.srcId == FF_JEX || b.srcId == FF_FLC ||
                             (b.srcId == FF_GIF && b.srcKind == KIND_MOVIE);
    if (S.videoFunc && incremental) {
      S.loadBuffer = &S.kept;
    } else {
      S.loadBuffer = &S.loaded;
      ImgFree(&S.kept);
    }

    if (b.unusable && S.videoSourceOpen) {
      S.videoSourceOpen = false;
      UniClose(&S.videoSrc);
    }
  } while (!S.videoFinished && b.unusable && ConvState == CONV_RUNNING && b.kind != SRC_IMAGE);
  return !S.videoFinished && !b.unusable && ConvState == CONV_RUNNING;
}

// Writes one picture to the video sink as often as the frame-rate mapping
// asks; false when the run must stop.
bool WritePicture_(Qimg* pic) {
  auto writeOnce = [&]() {
    UniImgSave(S.videoSink, pic);
    if (S.firstOutput) S.videoName = S.videoSink->fileName;
    return ConSnd_();
  };
  for (int32_t r = 0; r < S.video.repeat; ++r) {
    S.accumulator += S.video.increment;
    if (pic == nullptr) continue;
    if (S.keepDuration) {
      if (S.firstOutput && std::trunc(S.accumulator) < 1) S.accumulator = 1.0;
      const int32_t n = TruncInt(S.accumulator);
      for (int32_t i = 0; i < n; ++i)
        if (!writeOnce()) return false;
      S.accumulator -= std::trunc(S.accumulator);
    } else if (!writeOnce()) {
      return false;
    }
    S.firstOutput = false;
  }
  return true;
}

// Loads, processes and writes the block's next picture; false when the
// block ends.
bool ProcessPicture_() {
  QConBlock& b = S.video;
  Qimg* image = b.kind == SRC_IMAGE ? static_cast<Qimg*>(S.videoRequest.data) : S.loadBuffer;
  if (b.kind != SRC_IMAGE) {
    const bool ok = LoadWithAnswers_(S.videoSrc.fileName, [&] {
      UniImgLoad(&S.videoSrc, S.loadBuffer, b.start, 2);
    });
    if (!ok) return false;
  }

  Qimg* pic = image;
  if (S.videoFunc) {
    if (image != &S.loaded) ImgCopy(image, &S.loaded);
    FilterRequest f{S.funcFrame, &S.loaded, &S.scratch, nullptr, nullptr, &S.loaded, nullptr};
    S.videoFunc(&f);
    S.funcFrame++;
    if (ConvState != CONV_RUNNING) return false;
    pic = f.resultImg;
  }
  // A picture that never loaded (a failure passed over) is not written.
  if (pic != nullptr && !ImgHasPixels(pic)) pic = nullptr;
  if (S.videoOutput && !WritePicture_(pic)) return false;

  b.start += b.step;
  b.length--;
  S.framesDone++;
  return b.length > 0;
}

// --- sound ------------------------------------------------------------------------

void EndAudioBlock_() {
  if (S.audioSourceOpen) {
    S.audioSourceOpen = false;
    UniClose(&S.audioSrc);
  }
}

// Describes and opens the audio request's source; false when it cannot be
// described.
bool OpenAudioBlock_() {
  QConBlock& b = S.audio;
  const SourceRequest& r = S.audioRequest;
  b = QConBlock{};
  b.kind = r.kind;
  S.silence = (r.kind != SRC_FILE && r.kind != SRC_INFO && r.kind != SRC_IMAGE) || r.data == nullptr;
  if (S.silence) {
    // Silence has no description: the request's own numbers count.
    b.sampleRate = 8000;
    b.start = r.start == UNDEF ? 0 : r.start;
    b.length = r.length == UNDEF ? 0 : r.length;
    return true;
  }
  double rate = 0;
  int32_t samples = 0;
  if (r.kind == SRC_IMAGE) {
    // An in-memory sound.
    const Qsnd* snd = static_cast<const Qsnd*>(r.data);
    rate = snd->format.samplesPerSec;
    samples = snd->samples;
  } else {
    QUniInfo info;
    if (!DescribeSource_(r, &info)) return false;
    UniOpen(&S.audioSrc, &info);
    S.audioSourceOpen = true;
    rate = info.media.pcmRate > 0 ? info.media.pcmRate : info.media.pcmFormat.samplesPerSec;
    samples = info.media.sampleFrames;
  }
  b.sampleRate = rate;
  int32_t start = r.start;
  if (start == UNDEF) start = Given(r.startTime) ? TruncInt(rate * r.startTime) : 0;
  int32_t length = r.length;
  if (length == UNDEF) {
    if (r.kind == SRC_IMAGE)
      length = samples;
    else if (Given(r.lengthTime))
      length = TruncInt(rate * r.lengthTime);
    else
      length = samples;
  }
  b.unusable = samples <= start || length == 0;
  if (!b.unusable) {
    start = std::max(0, std::min(start, samples));
    length = std::max(0, std::min(length, samples - start));
    S.samplesDone = S.samplesScheduled;
    S.samplesScheduled += length;
  }
  b.start = start;
  b.length = length;
  if (b.unusable) EndAudioBlock_();
  return true;
}

// Sample frames of the next interleaved block: the period's exact share,
// with the fraction (and any shortfall of a short block) carried over.
int32_t InterleavedSamples_(double rate) {
  if (S.frameRate <= 0) return TruncInt(rate);
  if (rate != S.carryRate) {
    S.carryRate = rate;
    S.soundCarry = 0;
  }
  const double due = S.soundPeriod * rate / S.frameRate + S.soundCarry;
  const int32_t n = TruncInt(due);
  S.soundCarry = due - n;
  return n;
}

// Copies n sample frames from an in-memory sound into the sound block.
void CopySound_(const Qsnd* src, int32_t start, int32_t n) {
  const int32_t align = std::max<int32_t>(1, src->format.blockAlign);
  const int64_t bytes = int64_t(n) * align;
  if (src->SndData == nullptr || (int64_t(start) + n) * align > src->allocated ||
      int64_t(start) + n > src->samples || bytes > INT32_MAX)
    ThrowFault("ConForm.ConSnd_: sound block out of range");
  _sndalloc_(S.snd, int32_t(bytes), kLoc + 1, "ConForm.ConSnd_.snd");
  MoveBytes(bytes, S.snd.SndData, src->SndData + int64_t(start) * align);
  S.snd.samples = n;
  S.snd.format = src->format;
}

}  // namespace

bool ConSnd_() {
  PathScope path("ConForm.ConSnd_");
  if (S.audioFinished) return true;
  const Clock::time_point t0 = Clock::now();
  auto leave = [&](bool result) {
    S.soundSeconds += SecondsSince(t0);
    return result;
  };
  auto endBlock = [&]() {
    if (!S.silence) EndAudioBlock_();
    S.needAudioBlock = true;
    S.audio.length = 0;
    return leave(ConvState == CONV_RUNNING);
  };
  QConBlock& b = S.audio;

  if (S.needAudioBlock) {
    do {
      S.needAudioBlock = false;
      S.audioSource(&S.audioRequest);
      S.audioFinished = S.audioRequest.finished != 0 || ConvState == CONV_ABORTED;
      if (ConvState != CONV_RUNNING) return leave(false);
      if (S.audioFinished) break;
      if (!OpenAudioBlock_()) {
        S.needAudioBlock = true;
        b.length = 0;
        return leave(true);
      }
    } while (!S.audioFinished && b.unusable && !S.silence && ConvState == CONV_RUNNING &&
             b.kind != SRC_IMAGE);
  }

  // A block is due when the video sink has written a further period of
  // pictures since the last one (a picture written no time, as when frames
  // are dropped, brings none).
  S.soundNow = false;
  if (S.videoOutput && S.videoSink) S.soundNow = S.videoSink->curFrame - S.soundPictures >= S.soundPeriod;
  if (S.audioFinished || (!S.soundNow && !S.videoFinished)) return leave(true);

  int32_t wanted = TruncInt(b.sampleRate);
  if (!S.videoFinished) {
    wanted = InterleavedSamples_(b.sampleRate);
    S.soundPictures += S.soundPeriod;
  }
  // An unusable in-memory sound ends its block without being read.
  const int32_t n = b.unusable && !S.silence ? 0 : std::max(0, std::min(wanted, b.length));
  if (!S.videoFinished) S.soundCarry += wanted - n;
  if (n == 0) {
    // A share below one sample frame waits for the next period; a block with
    // nothing left (silence without a length), or a rate below one sample
    // frame a second after the video, ends instead of looping for ever.
    if (b.length > 0 && !S.videoFinished && !b.unusable) return leave(true);
    return endBlock();
  }
  S.samplesDone += n;

  const SourceRequest& r = S.audioRequest;
  const bool ok = LoadWithAnswers_(S.audioSrc.fileName, [&] {
    if (S.silence) {
      QWaveFormat format{};
      WaveFormatPCM(format, 8000, 1, 8);
      SndMakeSilence(S.snd, n, format);
    } else if (b.kind == SRC_IMAGE) {
      CopySound_(static_cast<const Qsnd*>(r.data), b.start, n);
    } else {
      UniSndLoad(&S.audioSrc, &S.snd, b.start, MVI_SEQUENTIAL, n);
    }
  });
  if (!ok) return endBlock();

  Qsnd* sound = &S.snd;
  if (S.audioFunc) {
    FilterRequest f{S.funcFrame, nullptr, nullptr, &S.snd, &S.scratchSnd, nullptr, &S.snd};
    S.audioFunc(&f);
    if (ConvState != CONV_RUNNING) return endBlock();
    sound = f.resultSnd;
  }
  if (S.audioOutput && S.audioSink && sound != nullptr && sound->samples > 0)
    UniSndSave(S.audioSink, sound);
  b.start += n;
  b.length -= n;
  if (b.length > 0) return leave(true);
  return endBlock();
}

void ConSetCallbacks(ConSourceProc videoSource, ConFuncProc videoFunc, ConSourceProc audioSource,
                     ConFuncProc audioFunc, ConProgressProc progress, ConErrorProc error) {
  S.videoSource = std::move(videoSource);
  S.videoFunc = std::move(videoFunc);
  S.audioSource = std::move(audioSource);
  S.audioFunc = std::move(audioFunc);
  S.progress = std::move(progress);
  S.error = std::move(error);
}

void ConSetOptions(int32_t expectedFrames, double frameRate, BOOL keepDuration) {
  S.expectedFrames = expectedFrames;
  S.frameRate = frameRate;
  S.keepDuration = keepDuration;
}

void ConAddAviInfo(const std::string& key, const std::string& text) {
  if (S.aviInfoCount >= kUniMaxCustomInfo) return;
  S.aviInfo[S.aviInfoCount++] = QUniCustomInfo{key.substr(0, 4), ShortString(text)};
}

void ConCloseAll() {
  PathScope path("ConForm.ConCloseAll");
  if (S.videoSourceOpen) {
    S.videoSourceOpen = false;
    UniClose(&S.videoSrc);
  }
  if (S.audioSourceOpen) {
    S.audioSourceOpen = false;
    UniClose(&S.audioSrc);
  }
  // A sink that was only named closes harmlessly; the shared sink once.
  QUni* video = S.videoSink;
  QUni* audio = S.audioSink;
  S.videoSink = nullptr;
  S.audioSink = nullptr;
  if (video) UniClose(video);
  if (audio && audio != video) UniClose(audio);
  ImgFree(&S.loaded);
  ImgFree(&S.scratch);
  ImgFree(&S.kept);
  SndFree(S.snd);
  SndFree(S.scratchSnd);
}

void ConDone() {
  PathScope path("ConForm.ConDone");
  S = QConState{};
  ConvState = CONV_RUNNING;
}

namespace {

// What an output wrote before it is closed: enough to report it and to
// delete it.
struct QConOutput {
  bool exists = false;
  bool empty = true;
  QSeq seq;            // the files of a sequence output
  bool sequence = false;
};

QConOutput OutputOf_(const QUni* sink) {
  QConOutput o;
  if (sink == nullptr) return o;
  o.exists = true;
  o.empty = sink->curFrame == 0 && sink->sndPos == 0;
  o.sequence = sink->kind == KIND_SEQUENCE && sink->setUp;
  o.seq = sink->seq;
  return o;
}

void DeleteOutput_(const std::string& name, const QConOutput& o) {
  FDelete(name);
  // A sequence output is every file it wrote, not the name it was given.
  if (o.sequence)
    for (int32_t i = 1; i <= o.seq.files; ++i) FDelete(SeqName(o.seq, i));
}

// Main loop (until both sources are finished or the run is stopped).
void RunLoop_() {
  const Clock::time_point started = Clock::now();
  for (;;) {
    bool runEnds = false;
    if (!S.videoFinished) {
      bool blockGoesOn = true;
      if (S.needVideoBlock) blockGoesOn = FetchVideoBlock_();
      if (!S.videoFinished) {
        if (blockGoesOn) blockGoesOn = ProcessPicture_();
        if (!blockGoesOn) {
          EndVideoBlock_();
          runEnds = ConvState != CONV_RUNNING;
        }
      } else if (ConvState != CONV_RUNNING) {
        runEnds = true;
      }
    }
    if (runEnds) break;

    if (!S.soundNow && !ConSnd_()) break;
    S.soundNow = false;
    const bool done = (S.videoFinished && S.audioFinished) || ConvState != CONV_RUNNING;
    if (done) break;
    if (S.progress) {
      const double elapsed = SecondsSince(started);
      S.pictureSeconds = elapsed - S.soundSeconds;
      S.progress(ConProgress{S.framesDone, S.pictureSeconds, S.samplesDone, S.soundSeconds});
      if (ConvState != CONV_RUNNING) break;
    }
  }
}

}  // namespace

void ConStart(const std::string& videoName, const std::string& audioName,
              const QffSave& settings, QConReport* report) {
  Routine("ConForm.ConStart", [&] {
    CheckPtr(report);
    MonSetCleanup([] {
      ConCloseAll();
      ConDone();
    });

    S.framesDone = S.framesScheduled = 0;
    S.samplesScheduled = S.samplesDone = 0;
    S.accumulator = 0;
    S.funcFrame = 0;
    S.soundPictures = 0;
    S.soundCarry = S.carryRate = 0;
    S.soundSeconds = S.pictureSeconds = 0;
    S.hasVideoSource = static_cast<bool>(S.videoSource);
    S.hasAudioSource = static_cast<bool>(S.audioSource);
    S.videoFinished = !S.hasVideoSource;
    S.audioFinished = !S.hasAudioSource;
    S.needVideoBlock = S.hasVideoSource;
    S.needAudioBlock = S.hasAudioSource;
    S.videoOutput = !videoName.empty();
    S.audioOutput = !audioName.empty();
    S.firstOutput = true;
    S.soundNow = false;
    S.videoSourceOpen = S.audioSourceOpen = false;
    S.videoRequest = SourceRequest{};
    S.audioRequest = SourceRequest{};
    S.videoName.clear();
    S.audioName.clear();

    S.frameRate = std::clamp(S.frameRate, 0.0, 2147483647.0);
    if (S.soundPeriod < 1) S.soundPeriod = std::max(1, TruncInt(S.frameRate));

    if (S.videoOutput) {
      S.videoSink = &S.videoSinkRec;
      UniCreate(S.videoSink, videoName);
      SetSaveSettings(S.videoSink, settings);
      SetExpectedFrames(S.videoSink, S.expectedFrames);
      SetFrameRate(S.videoSink, S.frameRate);
      for (int32_t i = 0; i < S.aviInfoCount; ++i)
        AddCustomInfo(S.videoSink, S.aviInfo[i].key, S.aviInfo[i].text);
      S.videoName = S.videoSink->fileName;
    }
    if (S.audioOutput) {
      if (audioName != videoName) {
        S.audioSink = &S.audioSinkRec;
        UniCreate(S.audioSink, audioName);
        S.audioName = S.audioSink->fileName;
        for (int32_t i = 0; i < S.aviInfoCount; ++i)
          AddCustomInfo(S.audioSink, S.aviInfo[i].key, S.aviInfo[i].text);
      } else {
        S.audioSink = S.videoSink;
        if (S.soundPeriod <= 0) S.soundPeriod = std::max(1, TruncInt(S.frameRate));
        SetInterleave(S.audioSink, S.soundPeriod);
      }
    }

    RunLoop_();

    *report = QConReport{};
    const QConOutput video = OutputOf_(S.videoSink);
    const QConOutput audio = S.audioSink != S.videoSink ? OutputOf_(S.audioSink) : QConOutput{};
    if (S.videoSink) {
      report->framesWritten = S.videoSink->curFrame;
      report->videoName = S.videoSink->curFrame > 0 ? S.videoName : S.videoSink->fileName;
    }
    if (S.audioSink) {
      report->samplesWritten = S.audioSink->sndPos;
      if (S.audioSink != S.videoSink) report->audioName = S.audioName;
    }
    if (video.exists && video.empty) report->videoName.clear();
    if (audio.exists && audio.empty) report->audioName.clear();

    ConCloseAll();
    const bool stopped = ConvState == CONV_STOPPED;
    if (video.exists && (video.empty || stopped)) DeleteOutput_(videoName, video);
    if (audio.exists && (audio.empty || stopped)) DeleteOutput_(audioName, audio);
    ErrRaise(0, 0, kLoc);
  });
}

}  // namespace zelo
