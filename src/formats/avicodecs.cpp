// Unit FF_AVI, video compressors: the list of installed codecs with their
// capabilities and settings, the current codec record that the next AVI
// output uses, the compression options built from it, and the names of
// video and audio compressions.
#include "formats/avicodecs.h"

#include <algorithm>
#include <cstring>

#include "formats/ff_avi.h"
#include "formats/ffbasic.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"
#include "foundation/trace.h"
#include "platform/acm.h"
#include "platform/vcm.h"

namespace zelo {
namespace {

using namespace vfw;

constexpr int32_t kLoc = 6100;  // raise sites of this file: kLoc + n
constexpr int32_t kListSlots = 256;
constexpr int32_t kMaxInstalled = 254;

QAviCodec* g_list[kListSlots] = {};
int32_t g_num = 0;
bool g_built = false;

bool g_loaded = false;
QAviCodec g_current = {};
BOOL g_uncompressed = kFalse;
AVICOMPRESSOPTIONS g_opts = {};

// Headers are asked of codecs at 16 bits for a 15-bit picture; a codec's
// 16 is recorded as 15.
int32_t AskBits_(int32_t bits) { return bits == 15 ? 16 : bits; }
int32_t RecordBits_(int32_t bits) { return bits == 16 ? 15 : bits; }

// A list whose records were released by an unwinding frame (the blocks are
// tracked) is no longer built.
bool ListLive_() {
  if (!g_built) return false;
  for (int32_t i = 0; i <= g_num && i < kListSlots; ++i)
    if (g_list[i] == nullptr || !MemIsTracked(&g_list[i])) return false;
  return true;
}

void EnsureLoaded_() {
  if (!g_loaded) AviCodecsUnitInit();
}

// Sends a message to an open codec whose answer is a value written to a
// pointer; false when the codec does not support it.
bool ICValue_(HIC hic, uint32_t msg, int32_t& value) {
  uint32_t v = 0;
  if (ICSendMessage(hic, msg, reinterpret_cast<uintptr_t>(&v), 0) != ICERR_OK) return false;
  value = int32_t(v);
  return true;
}

intptr_t ICOpenAndSendMessage_(uint32_t fourcc, uint32_t msg, uintptr_t p1, uintptr_t p2) {
  PathScope path("ff_avi.ICOpenAndSendMessage_");
  HIC hic = ICOpen(ICTYPE_VIDEO, fourcc, ICMODE_QUERY);
  if (hic == nullptr) return ICERR_BADHANDLE;
  const intptr_t r = ICSendMessage(hic, msg, p1, p2);
  ICClose(hic);
  return r;
}

intptr_t ICGetState_(uint32_t fourcc, void* block, int32_t size) {
  PathScope path("ff_avi.ICGetState_");
  return ICOpenAndSendMessage_(fourcc, ICM_GETSTATE, reinterpret_cast<uintptr_t>(block),
                               uintptr_t(std::max(size, 0)));
}

intptr_t ICCompressGetFormat_(HIC hic, const uint8_t* in, uint8_t* out) {
  PathScope path("ff_avi.ICCompressGetFormat_");
  return ICSendMessage(hic, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<uintptr_t>(in),
                       reinterpret_cast<uintptr_t>(out));
}

// The uncompressed entry: numbered after the installed codecs.
void AddUncompressed_() {
  QAviCodec*& r = g_list[g_num];
  _memalloc_(&r, int32_t(sizeof(QAviCodec)), kLoc + 1, MEM_BLOCK,
             "ff_avi.AviCodecsInit.aviCodecsRec[aviCodecsNum]");
  std::memset(r, 0, sizeof *r);
  r->position = g_num + 1;
  r->fourcc = MakeFourCC('D', 'I', 'B', ' ');
  AviCodecSetText(r->name, "Uncompressed");
  AviCodecSetText(r->description, "Full Frames, Uncompressed");
  r->keyFrameRate = 1;
  r->isEncoder = kTrue;
  g_num += 1;
}

// One installed codec into a new list record; false when it cannot be opened.
bool AddInstalled_(const ICINFO& found) {
  HIC hic = ICOpen(found.fccType, found.fccHandler, ICMODE_QUERY);
  if (hic == nullptr) return false;
  ICINFO info = found;
  if (ICGetInfo(hic, &info, int32_t(sizeof info)) <= 0) {
    ICClose(hic);
    return false;
  }
  QAviCodec*& r = g_list[g_num];
  _memalloc_(&r, int32_t(sizeof(QAviCodec)), kLoc + 2, MEM_BLOCK,
             "ff_avi.AviCodecsInit.aviCodecsRec[aviCodecsNum]");
  std::memset(r, 0, sizeof *r);
  r->position = g_num + 1;
  r->fourcc = info.fccHandler;
  r->handle = 0;
  AviCodecSetText(r->name, std::string(info.szName, strnlen(info.szName, sizeof info.szName)));
  AviCodecSetText(r->description,
                  std::string(info.szDescription, strnlen(info.szDescription, sizeof info.szDescription)));
  r->hasAbout = ToBool(ICSendMessage(hic, ICM_ABOUT, uintptr_t(-1), 1) == ICERR_OK);
  r->hasConfig = ToBool(ICSendMessage(hic, ICM_CONFIGURE, uintptr_t(-1), 1) == ICERR_OK);
  r->supportsQuality = ToBool((info.dwFlags & VIDCF_QUALITY) != 0);
  r->supportsKeyFrames = ToBool((info.dwFlags & VIDCF_TEMPORAL) != 0);
  r->supportsDataRate = ToBool((info.dwFlags & VIDCF_CRUNCH) != 0 || r->supportsQuality);
  BOOL encoder = kFalse;
  AviCodecIsEncoder_(r->fourcc, encoder);
  r->isEncoder = encoder;
  int32_t v = 0;
  if (ICValue_(hic, ICM_GETDEFAULTKEYFRAMERATE, v)) r->keyFrameRate = v;
  if (ICValue_(hic, ICM_GETDEFAULTQUALITY, v)) r->quality = v / 100;
  const intptr_t size = ICSendMessage(hic, ICM_GETSTATE, 0, 0);
  if (size > 0 && size <= 65536) {
    _memalloc_(&r->state, int32_t(size), kLoc + 3, MEM_BLOCK, "ff_avi.AviCodecsInit.cLpParms");
    if (ICSendMessage(hic, ICM_GETSTATE, reinterpret_cast<uintptr_t>(r->state), uintptr_t(size)) == ICERR_OK) {
      r->stateSize = int32_t(size);
    } else {
      MemFree(&r->state);
    }
  }
  ICClose(hic);
  g_num += 1;
  return true;
}

}  // namespace

// --- the list -----------------------------------------------------------------

void AviCodecsInit() {
  PathScope path("ff_avi.AviCodecsInit");
  AviCodecsDone();
  ICINFO info{};
  for (uint32_t i = 0; g_num < kMaxInstalled; ++i) {
    std::memset(&info, 0, sizeof info);
    info.dwSize = sizeof info;
    if (!ICInfo(ICTYPE_VIDEO, i, &info)) break;
    AddInstalled_(info);
  }
  AddUncompressed_();
  // A zero-filled record ends the list.
  _memalloc_(&g_list[g_num], int32_t(sizeof(QAviCodec)), kLoc + 4, MEM_BLOCK,
             "ff_avi.AviCodecsInit.aviCodecsRec[aviCodecsNum]");
  std::memset(g_list[g_num], 0, sizeof(QAviCodec));
  g_built = true;
}

void AviCodecsDone() {
  PathScope path("ff_avi.AviCodecsDone");
  for (int32_t i = 0; i < kListSlots; ++i) {
    QAviCodec*& r = g_list[i];
    if (r == nullptr || !MemIsTracked(&g_list[i])) break;
    // The current record shares its entry's state block: it must not keep it.
    if (r->state != nullptr && r->state == g_current.state) {
      g_current.state = nullptr;
      g_current.stateSize = 0;
    }
    if (r->stateSize > 0 || r->state != nullptr) MemFree(&r->state);
    MemFree(&r);
  }
  std::memset(g_list, 0, sizeof g_list);
  g_built = false;
  g_num = 0;
}

int32_t AviCodecList(QAviCodec*** list, int32_t width, int32_t height, int32_t bits) {
  PathScope path("ff_avi.AviCodecList");
  if (!ListLive_()) AviCodecsInit();
  if (width > 0 && height > 0 && bits > 0) {
    for (int32_t i = 0; i < g_num; ++i) {
      QAviCodec* r = g_list[i];
      const BOOL ok = AviCodecCheck_(r->fourcc, width, height, r->outBits, r->outHeight,
                                     r->outWidth, bits);
      r->compatible = ToBool(ok != kFalse && r->isEncoder != kFalse);
    }
  }
  if (list != nullptr) *list = g_list;
  return g_num;
}

int32_t AviCodecFind(uint32_t fourcc) {
  PathScope path("ff_avi.AviCodecFind");
  if (!ListLive_()) return -1;
  for (int32_t i = 0; i < g_num; ++i)
    if (FourCCLower(g_list[i]->fourcc) == FourCCLower(fourcc)) return i;
  return -1;
}

void AviCodecRecord(QAviCodec* record, uint32_t fourcc) {
  PathScope path("ff_avi.AviCodecRecord");
  CheckPtr(record);
  std::memset(record, 0, sizeof *record);
  const int32_t at = AviCodecFind(fourcc);
  if (at >= 0) {
    *record = *g_list[at];
  } else {
    record->fourcc = fourcc;
    HIC hic = ICOpen(ICTYPE_VIDEO, fourcc, ICMODE_QUERY);
    if (hic != nullptr) {
      ICClose(hic);
      AviCodecKeyFrameRate(fourcc, record->keyFrameRate);
      AviCodecQuality(fourcc, record->quality);
    }
  }
  for (int32_t depth : {24, 16, 8}) {
    if (AviCodecCanEncodeEx_(fourcc, 320, 240, depth)) {
      record->outBits = depth;
      break;
    }
  }
}

// --- the current record ---------------------------------------------------------

void AviCodecsUnitInit() {
  g_loaded = true;
  AVIFileInit();
  AviCodecRecord(&g_current, MakeFourCC('c', 'v', 'i', 'd'));
  g_uncompressed = ToBool(IsUncompressedFourCC(g_current.fourcc));
}

void AviCodecsUnitDone() {
  if (!g_loaded) return;
  MemFree(&g_opts.lpParms);
  std::memset(&g_opts, 0, sizeof g_opts);
  AviCodecsDone();
  AVIFileExit();
  g_loaded = false;
}

void AviUseVC(const QAviCodec* record) {
  PathScope path("ff_avi.AviUseVC");
  CheckPtr(record);
  EnsureLoaded_();
  const int32_t at = AviCodecFind(record->fourcc);
  g_current = at >= 0 ? *g_list[at] : *record;
  g_uncompressed = ToBool(IsUncompressedFourCC(g_current.fourcc));
}

void AviGetVC(QAviCodec* record) {
  PathScope path("ff_avi.AviGetVC");
  EnsureLoaded_();
  *CheckPtr(record) = g_current;
}

namespace {
// The list entry of a record's codec, or none.
QAviCodec* Entry_(const QAviCodec* record) {
  const int32_t at = AviCodecFind(record->fourcc);
  return at >= 0 ? g_list[at] : nullptr;
}
}  // namespace

void AviSetKeyFrameRate(QAviCodec* record, int32_t value) {
  PathScope path("ff_avi.AviSetKeyFrameRate");
  CheckPtr(record)->keyFrameRate = value;
  if (QAviCodec* e = Entry_(record)) e->keyFrameRate = value;
}

void AviSetQuality(QAviCodec* record, int32_t value) {
  PathScope path("ff_avi.AviSetQuality");
  CheckPtr(record)->quality = value;
  if (QAviCodec* e = Entry_(record)) e->quality = value;
}

void AviSetDataRate(QAviCodec* record, int32_t value) {
  PathScope path("ff_avi.AviSetDataRate");
  CheckPtr(record)->dataRate = value;
  if (QAviCodec* e = Entry_(record)) e->dataRate = value;
}

int32_t AviVCBpp() {
  EnsureLoaded_();
  return g_current.outBits;
}

const AVICOMPRESSOPTIONS* AviCompressOptions() {
  // A parameter block released by an unwinding frame is no longer there.
  if (g_opts.lpParms == nullptr) g_opts.cbParms = 0;
  return &g_opts;
}

void AviSetVC_(int32_t width, int32_t height, int32_t bits) {
  Routine("ff_avi.AviSetVC_", [&] {
    EnsureLoaded_();
    if (g_uncompressed) {
      g_current.outBits = bits;
    } else {
      if (!AviCodecCanEncodeEx_(g_current.fourcc, width, height, AskBits_(bits)))
        return ErrRaise(ERR_AVI, 7, kLoc + 10);
      // A record whose depth was never worked out (a list entry not yet
      // sized for a picture) takes what the codec proposes for this one.
      if (g_current.outBits <= 0) {
        int32_t b = 0, h = 0, w = 0;
        AviCodecCheck_(g_current.fourcc, width, height, b, h, w, bits);
        g_current.outBits = b > 0 ? b : 24;
      }
    }
    g_current.outBits = RecordBits_(g_current.outBits);
    AviMakeCmpsOptions_();
    ErrRaise(ERR_AVI, 0, kLoc + 11);
  });
}

void AviSetVC(int32_t width, int32_t height, int32_t bits, BOOL dialogAllowed) {
  PathScope path("ff_avi.AviSetVC");
  EnsureLoaded_();
  MonKeepNext();
  AviSetVC_(width, height, bits);
  if (ErrNone()) return;
  if (dialogAllowed) {
    MonKeepNext();
    if (AviSelectVC(width, height, bits)) {
      ErrRaise(ERR_AVI, 0, kLoc + 20);
      return;
    }
  }
  AviCodecRecord(&g_current, MakeFourCC('c', 'v', 'i', 'd'));
  MonKeepNext();
  AviSetVC_(width, height, 24);
  if (!ErrNone()) {
    AviCodecRecord(&g_current, MakeFourCC('D', 'I', 'B', ' '));
    // The fallback is uncompressed whatever the flag said before.
    g_uncompressed = kTrue;
    MonKeepNext();
    AviSetVC_(width, height, bits);
  }
  ErrRaise(ErrCategory(), ErrCode(), kLoc + 21);
}

BOOL AviSelectVC(int32_t width, int32_t height, int32_t bits) {
  BOOL result = kFalse;
  Routine("ff_avi.AviSelectVC", [&] {
    // The compression dialog is not part of this build: no choice is made.
    TraceText("AVI compression dialog not available: " + StrInt(width) + "x" + StrInt(height) + "x" +
              StrInt(bits));
    ErrRaise(ERR_AVI, 0, kLoc + 30);
  });
  return result;
}

void AviMakeCmpsOptions_() {
  PathScope path("ff_avi.AviMakeCmpsOptions_");
  MemFree(&g_opts.lpParms);
  std::memset(&g_opts, 0, sizeof g_opts);
  g_opts.fccType = streamtypeVIDEO;
  g_opts.fccHandler = g_current.fourcc;
  g_opts.dwKeyFrameEvery = uint32_t(g_current.keyFrameRate);
  g_opts.dwQuality = uint32_t(g_current.quality * 100);
  g_opts.dwBytesPerSecond = uint32_t(g_current.dataRate * 1024);
  g_opts.dwFlags = AVICOMPRESSF_KEYFRAMES | AVICOMPRESSF_VALID;
  if (!g_uncompressed) {
    int32_t size = 0;
    if (g_current.state != nullptr && g_current.stateSize > 0) {
      size = g_current.stateSize;
      _memalloc_(&g_opts.lpParms, size, kLoc + 40, MEM_BLOCK, "ff_avi.AviMakeCmpsOptions_.lpParms");
      MoveBytes(size, g_opts.lpParms, g_current.state);
    } else {
      const intptr_t n = ICGetState_(g_current.fourcc, nullptr, 0);
      if (n > 0 && n <= 65536) {
        size = int32_t(n);
        _memalloc_(&g_opts.lpParms, size, kLoc + 41, MEM_BLOCK, "ff_avi.AviMakeCmpsOptions_.lpParms");
        if (ICGetState_(g_current.fourcc, g_opts.lpParms, size) != ICERR_OK) {
          MemFree(&g_opts.lpParms);
          size = 0;
        }
      }
    }
    g_opts.cbParms = uint32_t(size);
  }
  if (g_opts.dwBytesPerSecond > 0 && FourCCLower(g_current.fourcc) != FourCCLower(MakeFourCC("MRLE")))
    g_opts.dwFlags |= AVICOMPRESSF_DATARATE;
}

// --- codec queries ----------------------------------------------------------------

BOOL AviCodecCheck_(uint32_t fourcc, int32_t width, int32_t height, int32_t& outBits,
                    int32_t& outHeight, int32_t& outWidth, int32_t bits) {
  BOOL result = kFalse;
  Routine("ff_avi.AviCodecCheck_", [&] {
    if (IsUncompressedFourCC(fourcc)) {
      outBits = bits;
      outHeight = height;
      outWidth = width;
      result = kTrue;
      return ErrRaise(ERR_AVI, 0, kLoc + 50);
    }
    uint8_t in[kBitmapInfoSize];
    FillBitmapInfo_(in, width, height, nullptr, AskBits_(bits));
    HIC hic = ICOpen(ICTYPE_VIDEO, fourcc, ICMODE_QUERY);
    if (hic == nullptr) MonFail();
    uint8_t* biOut = nullptr;
    MonSetCleanup([&hic] { ICClose(hic); });
    const intptr_t size = ICCompressGetFormat_(hic, in, nullptr);
    if (size >= kInfoHeaderSize && size <= (1 << 20)) {
      _memalloc_(&biOut, int32_t(size), kLoc + 51, MEM_BLOCK, "ff_avi.AviCodecCheck_.biOut");
      if (ICCompressGetFormat_(hic, in, biOut) == ICERR_OK) {
        const BITMAPINFOHEADER h = GetInfoHeader(biOut);
        const int32_t b = RecordBits_(h.biBitCount);
        result = ToBool(h.biWidth > 0 && h.biHeight != 0 && b > 0);
        if (result) {
          outBits = b;
          outHeight = h.biHeight < 0 ? -h.biHeight : h.biHeight;
          outWidth = h.biWidth;
        }
      }
      MemFree(&biOut);
    }
    MonSetCleanup(nullptr);
    ICClose(hic);
    ErrRaise(ERR_AVI, 0, kLoc + 52);
  });
  return result;
}

BOOL AviCodecCanEncode_(uint32_t fourcc, const uint8_t* header) {
  PathScope path("ff_avi.AviCodecCanEncode_");
  if (IsUncompressedFourCC(fourcc)) return kTrue;
  return ToBool(ICOpenAndSendMessage_(fourcc, ICM_COMPRESS_QUERY, reinterpret_cast<uintptr_t>(header), 0) ==
                ICERR_OK);
}

BOOL AviCodecCanEncodeEx_(uint32_t fourcc, int32_t width, int32_t height, int32_t bits) {
  PathScope path("ff_avi.AviCodecCanEncodeEx_");
  uint8_t header[kBitmapInfoSize];
  FillBitmapInfo_(header, width, height, nullptr, bits);
  return AviCodecCanEncode_(fourcc, header);
}

BOOL AviCodecIsEncoder_(uint32_t fourcc, BOOL& isEncoder) {
  PathScope path("ff_avi.AviCodecIsEncoder_");
  isEncoder = kFalse;
  for (int32_t depth : {24, 16, 8}) {
    if (AviCodecCanEncodeEx_(fourcc, 320, 240, depth)) {
      isEncoder = kTrue;
      break;
    }
  }
  return isEncoder;
}

namespace {
// A codec default answered through a pointer (0 when unsupported), divided.
BOOL ICDefault_(uint32_t fourcc, uint32_t msg, uint32_t divisor, int32_t& value) {
  uint32_t v = 0;
  if (ICOpenAndSendMessage_(fourcc, msg, reinterpret_cast<uintptr_t>(&v), 0) != ICERR_OK) return kFalse;
  value = int32_t(v / divisor);
  return kTrue;
}
}  // namespace

BOOL AviCodecKeyFrameRate(uint32_t fourcc, int32_t& value) {
  PathScope path("ff_avi.AviCodecKeyFrameRate");
  return ICDefault_(fourcc, ICM_GETDEFAULTKEYFRAMERATE, 1, value);
}

BOOL AviCodecQuality(uint32_t fourcc, int32_t& value) {
  PathScope path("ff_avi.AviCodecQuality");
  return ICDefault_(fourcc, ICM_GETDEFAULTQUALITY, 100, value);
}

void AviCodecAbout(uint32_t fourcc) {
  PathScope path("ff_avi.AviCodecAbout");
  // No window of our own: the codec gets none.
  if (ICOpenAndSendMessage_(fourcc, ICM_ABOUT, 0, 0) != ICERR_OK)
    TraceText("AVI codec about box not available: " + FourCCToStr(fourcc));
}

void AviCodecConfigure(QAviCodec* record) {
  PathScope path("ff_avi.AviCodecConfigure");
  CheckPtr(record);
  HIC hic = ICOpen(ICTYPE_VIDEO, record->fourcc, ICMODE_QUERY);
  if (hic == nullptr) return;
  const bool haveState = record->state != nullptr && record->stateSize > 0;
  if (haveState)
    ICSendMessage(hic, ICM_SETSTATE, reinterpret_cast<uintptr_t>(record->state), uintptr_t(record->stateSize));
  if (ICSendMessage(hic, ICM_CONFIGURE, 0, 0) != ICERR_OK)
    TraceText("AVI codec configuration box not available: " + FourCCToStr(record->fourcc));
  if (haveState)
    ICSendMessage(hic, ICM_GETSTATE, reinterpret_cast<uintptr_t>(record->state), uintptr_t(record->stateSize));
  ICClose(hic);
}

// --- names ------------------------------------------------------------------------

void AVIGetVideoName(uint32_t fourcc, std::string& text) {
  PathScope path("ff_avi.AVIGetVideoName");
  // Built in a local and swapped in: GCC 12 warns falsely about assigning
  // short literals to the caller's string here.
  std::string name;
  if (fourcc != 0) {
    name.push_back('(');
    name += FourCCToStr(fourcc);
    name += ") ";
  }
  bool appended = false;
  if (IsUncompressedFourCC(fourcc)) {
    name += "Full frames, uncompressed";
    appended = true;
  } else {
    uint32_t code = fourcc;
    const uint32_t lower = FourCCLower(fourcc);
    if (lower == FourCCLower(MakeFourCC("MSVC")) || lower == FourCCLower(MakeFourCC("CRAM")) ||
        lower == FourCCLower(MakeFourCC("WHAM")))
      code = MakeFourCC("msvc");
    if (HIC hic = ICOpen(ICTYPE_VIDEO, code, ICMODE_QUERY)) {
      ICINFO info{};
      if (ICGetInfo(hic, &info, int32_t(sizeof info)) > 0) {
        const std::string d(info.szDescription, strnlen(info.szDescription, sizeof info.szDescription));
        if (!d.empty()) {
          name += d;
          appended = true;
        }
      }
      ICClose(hic);
    }
  }
  if (!appended || name.empty()) name += "Unknown codec";
  text.swap(name);
}

void AVIGetAudioName(int32_t formatTag, std::string& text) {
  PathScope path("ff_avi.AVIGetAudioName");
  text = "(#" + std::to_string(formatTag) + ") ";
  if (formatTag == 1) {
    text += "PCM, uncompressed";
    return;
  }
  AcmFormatTagDetails d{};
  d.size = sizeof d;
  d.formatTag = uint32_t(formatTag);
  if (acmFormatTagDetailsA(nullptr, &d, ACM_FORMATTAGDETAILSF_FORMATTAG) != MMSYSERR_NOERROR) {
    text += "Unknown codec";
    return;
  }
  text += std::string(d.formatTagName, strnlen(d.formatTagName, 48));
}

}  // namespace zelo
