// Movie file interface: one handle for every file that holds more than one
// picture, or sound, dispatched by format id to the format modules.
//
// Each module is one row of kModules: its record, the tags of that record,
// and the routines it provides (nullptr where it has none). Reaching a new
// module means adding its row; the routines below never name a format.
#include <cstring>

#include "conversion/uni.h"
#include "formats/ff_avi.h"
#include "formats/ffbasic.h"
#include "formats/ff_jex.h"
#include "formats/ff_wav.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"

namespace zelo {
namespace {

constexpr int32_t kLoc = 52000;  // raise sites of this file: kLoc + n

struct MviModule {
  int32_t id;
  int32_t recordSize;
  void** (*slot)(Qmvi* mvi);  // the mf field that holds the record
  const char* openTag;
  const char* createTag;
  void (*open)(void* rec, const std::string& name);
  void (*imgLoad)(void* rec, Qimg* img, int32_t frame, int32_t flags);
  void (*sndLoad)(void* rec, Qsnd* snd, int32_t position, int32_t flags, int32_t count);
  void (*create)(void* rec, const std::string& name, double frameRate, int32_t interleave,
                 int32_t expectedFrames);
  void (*customInfo)(void* rec, const std::string& key, const std::string& text);
  void (*imgSave)(void* rec, Qimg* img);
  bool imgSaveRefused;  // a picture save is an error rather than nothing
  void (*sndSave)(void* rec, Qsnd* snd);
  void (*close)(void* rec);
  void (*views)(Qmvi* mvi, void* rec);
};

template <class T>
T* As(void* rec) {
  return static_cast<T*>(rec);
}

constexpr MviModule kModules[] = {
    {FF_AVI, int32_t(sizeof(QAviFile)),
     [](Qmvi* m) { return reinterpret_cast<void**>(&m->mf.AVI); },
     "ConForm.MviOpen.mf.AVI", "ConForm.MviCreate.mf.AVI",
     [](void* r, const std::string& name) { AviOpen(As<QAviFile>(r), name); },
     [](void* r, Qimg* img, int32_t frame, int32_t flags) { AviImgLoad(As<QAviFile>(r), img, frame, flags); },
     [](void* r, Qsnd* snd, int32_t pos, int32_t flags, int32_t count) {
       AviSndLoad(As<QAviFile>(r), snd, pos, flags, count);
     },
     [](void* r, const std::string& name, double rate, int32_t interleave, int32_t) {
       AviCreate(As<QAviFile>(r), name, interleave, rate);
     },
     [](void* r, const std::string& key, const std::string& text) { AviSetCustomInfo(As<QAviFile>(r), key, text); },
     [](void* r, Qimg* img) { AviImgSave(As<QAviFile>(r), img); }, false,
     [](void* r, Qsnd* snd) { AviSndSave(As<QAviFile>(r), snd); },
     [](void* r) { AviClose(As<QAviFile>(r)); },
     [](Qmvi* m, void* r) {
       const QAviFile* af = As<QAviFile>(r);
       m->frameCount = &af->frameCount;
       m->curFrame = &af->curFrame;
       m->sndPos = &af->sl.position;
       m->writing = &af->writing;
       m->palChanged = &af->palChanged;
     }},
    {FF_JEX, int32_t(sizeof(QJexFile)),
     [](Qmvi* m) { return reinterpret_cast<void**>(&m->mf.JEX); },
     "ConForm.MviOpen.mf.JEX", "ConForm.MviCreate.mf.JEX",
     [](void* r, const std::string& name) { JEXOpen(As<QJexFile>(r), name); },
     [](void* r, Qimg* img, int32_t frame, int32_t flags) { JEXImgLoad(As<QJexFile>(r), img, frame, flags); },
     [](void* r, Qsnd* snd, int32_t pos, int32_t flags, int32_t count) {
       JEXSndLoad(As<QJexFile>(r), snd, pos, flags, count);
     },
     [](void* r, const std::string& name, double rate, int32_t, int32_t) { JEXCreate(As<QJexFile>(r), name, rate); },
     nullptr,
     [](void* r, Qimg* img) { JEXImgSave(As<QJexFile>(r), img); }, false,
     [](void* r, Qsnd* snd) { JEXSndSave(As<QJexFile>(r), snd); },
     [](void* r) { JEXClose(As<QJexFile>(r)); },
     [](Qmvi* m, void* r) {
       const QJexFile* hf = As<QJexFile>(r);
       m->frameCount = &hf->hdr.frameCount;
       m->curFrame = &hf->curFrame;
       m->sndPos = &hf->sndPos;
       m->writing = &hf->writing;
       m->palChanged = &hf->palChanged;
     }},
    {FF_WAV, int32_t(sizeof(QWavFile)),
     [](Qmvi* m) { return reinterpret_cast<void**>(&m->mf.WAV); },
     "ConForm.MviOpen.mf.WAV", "ConForm.MviCreate.mf.WAV",
     [](void* r, const std::string& name) { WAVOpen(As<QWavFile>(r), name); },
     nullptr,
     [](void* r, Qsnd* snd, int32_t pos, int32_t flags, int32_t count) {
       WAVLoad(As<QWavFile>(r), snd, pos, flags, count);
     },
     [](void* r, const std::string& name, double, int32_t, int32_t) { WAVCreate(As<QWavFile>(r), name); },
     nullptr, nullptr, false,
     [](void* r, Qsnd* snd) { WAVSave(As<QWavFile>(r), snd); },
     [](void* r) { WAVClose(As<QWavFile>(r)); },
     [](Qmvi* m, void* r) {
       const QWavFile* hf = As<QWavFile>(r);
       m->frameCount = &hf->frameCount;
       m->curFrame = &hf->curFrame;
       m->sndPos = &hf->loader.position;
       m->writing = &hf->writing;
       m->palChanged = &hf->palChanged;
     }},
};

const MviModule* FindModule(int32_t id) {
  for (const MviModule& m : kModules)
    if (m.id == id) return &m;
  return nullptr;
}

// The open record of the handle, or nullptr for a closed handle.
void* Record(const MviModule* m, Qmvi* mvi) { return m == nullptr ? nullptr : *m->slot(mvi); }

// Allocates the zero-filled record of the module in its mf field.
void* NewRecord(const MviModule& m, Qmvi* mvi, const char* tag, int32_t location) {
  void** slot = m.slot(mvi);
  _memalloc_(slot, m.recordSize, location, MEM_BLOCK, tag);
  std::memset(*slot, 0, size_t(m.recordSize));
  return *slot;
}

}  // namespace

void MviOpen(Qmvi* mvi, const std::string& name, int32_t id) {
  Routine("ConForm.MviOpen", [&] {
    CheckPtr(mvi);
    *mvi = Qmvi{};
    if (id == UNDEF) id = FFGetID(name, FF_TABLE_READ);
    const MviModule* m = FindModule(id);
    if (m == nullptr || m->open == nullptr) return ErrRaise(ERR_MVI, 1, kLoc + 1);
    mvi->id = id;
    void* rec = NewRecord(*m, mvi, m->openTag, kLoc + 2);
    // On failure the frame releases the record and clears the mf field.
    MonSetCleanup([mvi] { *mvi = Qmvi{}; });
    m->open(rec, name);
    MonSetCleanup(nullptr);
    m->views(mvi, rec);
    ErrRaise(ERR_MVI, 0, kLoc + 3);
  });
}

void MviImgLoad(Qmvi* mvi, Qimg* img, int32_t frame, int32_t flags) {
  Routine("ConForm.MviImgLoad", [&] {
    CheckPtr(mvi);
    if (MviWriting(*mvi)) return;
    const MviModule* m = FindModule(mvi->id);
    void* rec = Record(m, mvi);
    // A sound file has no pictures to run out of: its loads do nothing.
    if (rec == nullptr || m->imgLoad == nullptr) return;
    if (MviFrameCount(*mvi) < frame) return ErrRaise(ERR_MVI, 7, kLoc + 10);
    m->imgLoad(rec, img, frame, flags);
    ErrRaise(ERR_MVI, 0, kLoc + 11);
  });
}

void MviSndLoad(Qmvi* mvi, Qsnd* snd, int32_t position, int32_t flags, int32_t count) {
  PathScope path("ConForm.MviSndLoad");
  CheckPtr(mvi);
  CheckPtr(snd);
  const MviModule* m = FindModule(mvi->id);
  void* rec = Record(m, mvi);
  if (rec != nullptr && m->sndLoad != nullptr && !MviWriting(*mvi))
    m->sndLoad(rec, snd, position, flags, count);
  else
    snd->samples = 0;
}

void MviCreate(Qmvi* mvi, const std::string& name, double frameRate, int32_t interleave,
               int32_t expectedFrames) {
  Routine("ConForm.MviCreate", [&] {
    CheckPtr(mvi);
    *mvi = Qmvi{};
    const int32_t id = FFGetID(name, FF_TABLE_WRITE);
    const MviModule* m = FindModule(id);
    if (m == nullptr || m->create == nullptr) return ErrRaise(ERR_MVI, 1, kLoc + 20);
    mvi->id = id;
    void* rec = NewRecord(*m, mvi, m->createTag, kLoc + 21);
    MonSetCleanup([mvi] { *mvi = Qmvi{}; });
    m->create(rec, name, frameRate, interleave, expectedFrames);
    MonSetCleanup(nullptr);
    m->views(mvi, rec);
    ErrRaise(ERR_MVI, 0, kLoc + 22);
  });
}

void MviSetAviCustomInfo(Qmvi* mvi, const std::string& key, const std::string& text) {
  Routine("ConForm.MviSetAviCustomInfo", [&] {
    CheckPtr(mvi);
    const MviModule* m = FindModule(mvi->id);
    void* rec = Record(m, mvi);
    if (rec != nullptr && m->customInfo != nullptr && MviWriting(*mvi)) m->customInfo(rec, key, text);
    ErrRaise(ERR_MVI, 0, kLoc + 30);
  });
}

void MviImgSave(Qmvi* mvi, Qimg* img) {
  PathScope path("ConForm.MviImgSave");
  CheckPtr(mvi);
  if (!MviWriting(*mvi)) return ErrRaise(ERR_MVI, 2, kLoc + 40);
  const MviModule* m = FindModule(mvi->id);
  void* rec = Record(m, mvi);
  if (m == nullptr || m->imgSaveRefused) return ErrRaise(ERR_MVI, 1, kLoc + 41);
  if (rec != nullptr && m->imgSave != nullptr) m->imgSave(rec, img);
}

void MviSndSave(Qmvi* mvi, Qsnd* snd) {
  PathScope path("ConForm.MviSndSave");
  CheckPtr(mvi);
  const MviModule* m = FindModule(mvi->id);
  void* rec = Record(m, mvi);
  if (rec != nullptr && m->sndSave != nullptr) m->sndSave(rec, snd);
}

void MviClose(Qmvi* mvi) {
  PathScope path("ConForm.MviClose");
  CheckPtr(mvi);
  const MviModule* m = FindModule(mvi->id);
  void* rec = Record(m, mvi);
  // The record is freed and the handle zeroed even when the module's close
  // fails: its error goes on to the caller, nothing stays behind.
  struct Release {
    Qmvi* mvi;
    const MviModule* m;
    ~Release() {
      if (m != nullptr) MemFree(m->slot(mvi));
      *mvi = Qmvi{};
    }
  } release{mvi, m};
  if (rec != nullptr && m->close != nullptr) m->close(rec);
}

}  // namespace zelo
