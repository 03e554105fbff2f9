// Unit ConForm, movie and universal handles: every file that holds more than
// one picture, or sound, is reached through a Qmvi; every source and output
// of a conversion through a QUni (one still image, a numbered sequence of
// still images, or a movie or sound file).
#pragma once

#include <cstdint>
#include <string>

#include "conversion/ffsave.h"
#include "formats/ffinfo.h"
#include "foundation/types.h"
#include "zelo/zelo.h"

namespace zelo {

// The format modules' own records (each module defines its own).
struct QGifFile;
struct QFlcFile;
struct QAviFile;
struct QJexFile;
struct QMpgFile;
struct QWavFile;
struct QOggFile;

// --- movie file handle ------------------------------------------------------------
// Zero-filled on open, create and close. Only the record of the handle's
// format id is allocated (a tracked block). The views point into that record
// so the handle always shows the module's live values; a null view reads 0.
struct Qmvi {
  int32_t id;
  struct {
    QGifFile* GIF;
    QFlcFile* FLC;
    QAviFile* AVI;
    QJexFile* JEX;
    QMpgFile* MPG;
    QWavFile* WAV;
    QOggFile* OGG;
  } mf;
  const int32_t* frameCount;  // frames in the file (reading)
  const int32_t* curFrame;    // last frame loaded, or frames written
  const int32_t* sndPos;      // sample frames delivered or written
  const BOOL* writing;        // created for writing
  const BOOL* palChanged;     // the last picture loaded brought a new palette
};

inline int32_t MviFrameCount(const Qmvi& m) { return m.frameCount ? *m.frameCount : 0; }
inline int32_t MviCurFrame(const Qmvi& m) { return m.curFrame ? *m.curFrame : 0; }
inline int32_t MviSndPos(const Qmvi& m) { return m.sndPos ? *m.sndPos : 0; }
inline BOOL MviWriting(const Qmvi& m) { return m.writing ? *m.writing : kFalse; }
inline BOOL MviPalChanged(const Qmvi& m) { return m.palChanged ? *m.palChanged : kFalse; }

// Load flag bit 0: the caller reads in sequence (no seek or reload for the
// position the module already stands at).
constexpr int32_t MVI_SEQUENTIAL = 1;

void MviOpen(Qmvi* mvi, const std::string& name, int32_t id);
void MviImgLoad(Qmvi* mvi, Qimg* img, int32_t frame, int32_t flags);
void MviSndLoad(Qmvi* mvi, Qsnd* snd, int32_t position, int32_t flags, int32_t count);
void MviCreate(Qmvi* mvi, const std::string& name, double frameRate, int32_t interleave,
               int32_t expectedFrames);
void MviSetAviCustomInfo(Qmvi* mvi, const std::string& key, const std::string& text);
void MviImgSave(Qmvi* mvi, Qimg* img);
void MviSndSave(Qmvi* mvi, Qsnd* snd);
void MviClose(Qmvi* mvi);

// --- source description and handle -------------------------------------------------
enum UniKind : int32_t { UNI_NONE = 0, UNI_STILL = 1, UNI_SEQUENCE = 2, UNI_MOVIE = 3 };

// How the file names of a numbered sequence are built.
struct QSeq {
  std::string prefix;  // directory and the name part before the number (up to 255)
  std::string suffix;  // the name part after the number, extension included (up to 255)
  int32_t first = 0;   // number of the first file
  int32_t files = 0;   // files found (source) or written (sink)
  int32_t digits = 0;  // digits of the number, leading zeros kept
};

struct QUniInfo {
  int32_t id = 0;
  int32_t kind = UNI_NONE;
  std::string fileName;
  int64_t totalSize = 0;  // bytes, summed over a whole sequence
  std::string description;
  QffMedia media;
  int32_t dataRate = 0;   // bytes per second
  QSeq seq;
};

constexpr int32_t kUniMaxCustomInfo = 16;

struct QUniCustomInfo {
  std::string key;   // up to 4 characters
  std::string text;  // up to 255 characters
};

struct QUni {
  int32_t id = 0;
  int32_t kind = UNI_NONE;
  std::string fileName;  // sequence sink: the first file's name once written
  BOOL setUp = kFalse;         // sink: the output file was created
  BOOL geometryFixed = kFalse; // sink
  BOOL soundFixed = kFalse;    // sink
  double frameRate = 0;        // sink
  int32_t interleave = 0;      // sink: pictures per sound block
  Qsnd sndBuf{};               // sink; freed on close
  int32_t curFrame = 0;        // last picture loaded, or pictures written
  int32_t sndPos = 0;          // sample frames delivered or written
  double picTime = 0;          // (curFrame - 1) / frame rate
  double sndTime = 0;          // sndPos / sample rate
  BOOL palChanged = kFalse;
  QffMedia media;
  QffSave settings{};          // sink
  Qmvi mvi{};                  // kind 3
  QSeq seq;                    // kind 2
  int32_t customCount = 0;     // sink, 0..16
  QUniCustomInfo custom[kUniMaxCustomInfo];
};

// Source side.
bool SeqSplit(const std::string& name, bool allowMinus, std::string& prefix, int32_t& digits,
              int32_t& number, std::string& suffix);
std::string SeqName(const QSeq& seq, int32_t index);
bool UniInfo(const std::string& name, QUniInfo* info, int32_t maxFiles, bool allowMinus);
void UniOpen(QUni* uni, const QUniInfo* info);
void UniImgLoad(QUni* uni, Qimg* img, int32_t frame, int32_t flags);
void UniSndLoad(QUni* uni, Qsnd* snd, int32_t position, int32_t flags, int32_t count);

// Sink side.
void UniCreate(QUni* uni, const std::string& name);
void SetExpectedFrames(QUni* uni, int32_t frames);
void SetFrameRate(QUni* uni, double rate);
void SetInterleave(QUni* uni, int32_t frames);
void AddCustomInfo(QUni* uni, const std::string& key, const std::string& text);
void SetSaveSettings(QUni* uni, const QffSave& settings);
void UniCreateCheck_(QUni* uni);
void UniImgSave(QUni* uni, Qimg* img);
void UniSndSave(QUni* uni, Qsnd* snd);

// Both: closes the movie of a kind 3 handle, frees the sound buffer, zeroes.
void UniClose(QUni* uni);

// Rounds both up to a multiple of 16.
void MakeCompatibleRes(int32_t& width, int32_t& height);

}  // namespace zelo
