/*
 * ZELO 2.3.4 - media conversion library, public C interface.
 *
 * Every export has C linkage. Integers are 32-bit, reals are doubles,
 * booleans are 32-bit with true returned as -1 (any non-zero value is true
 * on input). Texts are zero-terminated 8-bit strings; output texts are
 * copied into buffers the host provides.
 */
#ifndef ZELO_ZELO_H
#define ZELO_ZELO_H

#include <stdint.h>
#include <stddef.h>

#if defined(_WIN32) && !defined(_WIN64)
#define ZELO_CALL __stdcall
#else
#define ZELO_CALL
#endif

#if defined(_WIN32)
#if defined(ZELO_BUILDING)
#define ZELO_API __declspec(dllexport)
#else
#define ZELO_API __declspec(dllimport)
#endif
#else
#define ZELO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* 32-bit boolean: true = -1. */
typedef int32_t ZeloBool;
#define ZELO_TRUE (-1)
#define ZELO_FALSE 0

/* "Not found / not set / no handle" everywhere in the library. */
#define UNDEF ((int32_t)-1357902468) /* 0xAF100D7C */
#define UNDEF_REAL (-1357902468.0)

/* Result codes of ErrorInfo.Result. */
#define RES_OK 0
#define RES_BAD_OUTPUT 1
#define RES_ABORTED 2
#define RES_EXCEPTION 999
#define RES_ERROR 1000

/* Error categories. */
#define ERR_TEXT 1
#define ERR_TEXT2 2
#define ERR_EXCEPT 3
#define ERR_GEN 4
#define ERR_MEM 5
#define ERR_FILE 6
#define ERR_IMG 7
#define ERR_SND 8
#define ERR_AVI 9
#define ERR_AVIFILE 10
#define ERR_VFW 11
#define ERR_MVI 12
#define ERR_WAV 13
#define ERR_FF 14
#define ERR_JEX 15
#define ERR_UNI 16
#define ERR_FLIC 17
#define ERR_ACM 19
#define ERR_MM 20

/* Code carried by every text error. */
#define MAX_CODE 2147483647

/* Outcome of the last framed export. */
typedef struct ErrorInfo {
    int32_t Result;
    int32_t Category;
    int32_t Code;
} ErrorInfo;

/* --- Frame and error report --------------------------------------------- */

/* Copies the outcome of the last export. */
ZELO_API void ZELO_CALL ZeloGetLastError(ErrorInfo *info);
/* Writes the text of an outcome into buf (the host sizes it; 1100 bytes is
 * always enough). */
ZELO_API void ZELO_CALL ZeloMakeErrorStr(const ErrorInfo *info, char *buf);
/* Shows the message of a pending error of the last export in a message box. */
ZELO_API void ZELO_CALL ZeloCheckError(void);

/* --- Trace log ------------------------------------------------------------ */

/* Starts a trace log; a name without a directory goes into the directory of
 * the host program. exportTrace writes one line per export call. */
ZELO_API void ZELO_CALL ZeloLogStart(const char *fileName, ZeloBool exportTrace);
ZELO_API void ZELO_CALL ZeloLogStop(void);

/* --- Image record --------------------------------------------------------- */

/* The in-memory picture. Rows are packed and stored top row first; pixel
 * (x, y) starts at byte (y * resX + x) * bytesPP. 8 bits: palette index;
 * 15 bits: 0RRRRRGGGGGBBBBB; 16 bits: RRRRRGGGGGGBBBBB; 24 bits: blue, green,
 * red; 32 bits: blue, green, red, 0. The palette holds blue, green, red
 * triples and is meaningful at 8 bits only. */
typedef struct Qimg {
    void *pixPtr;          /* pixel buffer */
    int32_t pixSize;       /* resX * resY * bytesPP */
    int32_t resX;          /* width in pixels */
    int32_t resY;          /* height in rows */
    int32_t bytesPP;       /* (bpp + 7) / 8 */
    int32_t bpp;           /* 8, 15, 16, 24 or 32 */
    uint8_t pal[256][3];   /* blue, green, red */
    int32_t hostPix;       /* non-zero: pixPtr belongs to the host */
} Qimg;

/* --- Sound record --------------------------------------------------------- */

/* The 18-byte WAVE format of a sound: little-endian, no padding. A stored
 * (compressed) format may be followed by extraSize bytes of codec data. */
#pragma pack(push, 1)
typedef struct QWaveFormat {
    uint16_t formatTag;      /* 1 = PCM */
    uint16_t channels;
    uint32_t samplesPerSec;  /* sample frames per second */
    uint32_t avgBytesPerSec;
    uint16_t blockAlign;     /* bytes per sample frame (PCM) or per coded block */
    uint16_t bitsPerSample;
    uint16_t extraSize;      /* bytes of codec data after these 18; 0 for PCM */
} QWaveFormat;
#pragma pack(pop)

/* A sound: interleaved little-endian samples. 8-bit PCM is unsigned (silence
 * 128), 16-bit PCM signed (silence 0). Bytes in use = samples x blockAlign. */
typedef struct Qsnd {
    uint8_t *SndData;   /* the library's tracked block, or NULL */
    int32_t allocated;  /* bytes allocated for SndData */
    int32_t samples;    /* sample frames held */
    QWaveFormat format;
} Qsnd;

#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L)
#ifdef __cplusplus
#define ZELO_SND_ASSERT(c, m) static_assert(c, m)
#else
#define ZELO_SND_ASSERT(c, m) _Static_assert(c, m)
#endif
ZELO_SND_ASSERT(sizeof(QWaveFormat) == 18, "QWaveFormat size");
ZELO_SND_ASSERT(offsetof(QWaveFormat, channels) == 2, "QWaveFormat.channels");
ZELO_SND_ASSERT(offsetof(QWaveFormat, samplesPerSec) == 4, "QWaveFormat.samplesPerSec");
ZELO_SND_ASSERT(offsetof(QWaveFormat, avgBytesPerSec) == 8, "QWaveFormat.avgBytesPerSec");
ZELO_SND_ASSERT(offsetof(QWaveFormat, blockAlign) == 12, "QWaveFormat.blockAlign");
ZELO_SND_ASSERT(offsetof(QWaveFormat, bitsPerSample) == 14, "QWaveFormat.bitsPerSample");
ZELO_SND_ASSERT(offsetof(QWaveFormat, extraSize) == 16, "QWaveFormat.extraSize");
#if UINTPTR_MAX == 0xFFFFFFFF
ZELO_SND_ASSERT(sizeof(Qsnd) == 32, "Qsnd size");
ZELO_SND_ASSERT(offsetof(Qsnd, allocated) == 4, "Qsnd.allocated");
ZELO_SND_ASSERT(offsetof(Qsnd, samples) == 8, "Qsnd.samples");
ZELO_SND_ASSERT(offsetof(Qsnd, format) == 12, "Qsnd.format");
#else
ZELO_SND_ASSERT(sizeof(Qsnd) == 40, "Qsnd size");
ZELO_SND_ASSERT(offsetof(Qsnd, allocated) == 8, "Qsnd.allocated");
ZELO_SND_ASSERT(offsetof(Qsnd, samples) == 12, "Qsnd.samples");
ZELO_SND_ASSERT(offsetof(Qsnd, format) == 16, "Qsnd.format");
#endif
#undef ZELO_SND_ASSERT
#endif

/* --- Formats and file information ------------------------------------------ */

/* What a file holds, filled by ZeloGetFileInfo (756 bytes; reals on 4-byte
 * offsets). Texts are zero-terminated and cut to fit their field. */
#pragma pack(push, 4)
typedef struct ZeloFileInfo {
    char fileName[264];
    char description[128];      /* format description */
    double totalSize;           /* bytes, summed over a numbered sequence */
    ZeloBool hasPictures;
    ZeloBool picturesReadable;
    char videoCompression[128];
    int32_t frames;
    double videoDuration;       /* seconds */
    double pictureSize;         /* bytes of the decoded pictures */
    double frameRate;
    int32_t width;
    int32_t height;
    int32_t bytesPP;
    int32_t bpp;
    ZeloBool hasSound;
    ZeloBool soundReadable;
    char audioCompression[128];
    int32_t sampleFrames;
    double soundDuration;       /* seconds */
    double pcmSize;             /* bytes */
    double pcmRate;             /* sample frames per second */
    int32_t pcmChannels;
    int32_t pcmBits;
    int32_t pcmBlockAlign;
} ZeloFileInfo;
#pragma pack(pop)

/* One codec of an output format, filled by ZeloCodecsGetInfo (196 bytes). */
typedef struct ZeloCodecInfo {
    int32_t format;
    ZeloBool hasCodecs;         /* -1 for formats 1, 6, 7, 9, 13, 14 and 15 */
    int32_t codec;              /* codec id (AVI: four-character code) */
    int32_t levelMin;
    int32_t levelMax;
    char description[128];
    ZeloBool qualityAdjustable;
    int32_t qualityDefault;
    int32_t qualityMin;
    int32_t qualityMax;
    ZeloBool dataRateAdjustable;
    int32_t dataRateDefault;
    int32_t dataRateMin;
    int32_t dataRateMax;
    ZeloBool keyFrameRateAdjustable;
    int32_t keyFrameRateDefault;
    int32_t keyFrameRateMin;
    int32_t keyFrameRateMax;
} ZeloCodecInfo;

/* Describes a file; with sequence true a numbered sequence starting at
 * fileName is summed up (every picture file that follows it). */
ZELO_API void ZELO_CALL ZeloGetFileInfo(const char *fileName, ZeloFileInfo *info, ZeloBool sequence);
/* The format id an output name selects, or UNDEF when no writable format
 * claims its extension. */
ZELO_API int32_t ZELO_CALL ZeloGetFileFmtID(const char *fileName);
/* Number of codecs a format offers for width x height x depth frames. */
ZELO_API int32_t ZELO_CALL ZeloCodecsInit(int32_t format, int32_t width, int32_t height, int32_t depth);
/* Describes codec number index (from 1) of the format; AVI reads the list of
 * the last ZeloCodecsInit for AVI. */
ZELO_API int32_t ZELO_CALL ZeloCodecsGetInfo(int32_t format, ZeloCodecInfo *info, int32_t index);

/* --- Conversion record, output configuration, sources and callbacks -------- */

/* The conversion record: opaque to the host, which holds only its address. */
typedef struct ZeloRec ZeloRec;

/* Run states (ZeloGetStatus, the progress callback). */
#define ZELO_STATE_IDLE 0
#define ZELO_STATE_PREPARING 1
#define ZELO_STATE_PALETTE 2
#define ZELO_STATE_SAVING 3

/* Host callbacks; they run on the thread that called ZeloConvert.
 * A source callback describes its next block with the ZeloSrc... setters, or
 * calls ZeloSrcFinished, or sets nothing (which also ends that source). */
typedef void (ZELO_CALL *ZeloSourceCB)(ZeloRec *rec, int32_t blockNum);
/* May change the image in place; an image left without pixels drops the frame. */
typedef void (ZELO_CALL *ZeloVideoFuncCB)(ZeloRec *rec, Qimg *img, int32_t frame);
/* May change the sound in place; a sound left without data drops the buffer. */
typedef void (ZELO_CALL *ZeloAudioFuncCB)(ZeloRec *rec, Qsnd *snd, int32_t firstSample);
/* May call ZeloAbort. */
typedef void (ZELO_CALL *ZeloProgressCB)(ZeloRec *rec, int32_t state, int32_t doneFrames,
                                         int32_t doneSamples);
/* A source failed to load; *answer (preset to 1) decides: 0 go on with what
 * was loaded, 1 stop and delete the output, 2 stop and keep it, 3 try the load
 * again, 4 skip the rest of this block. */
typedef void (ZELO_CALL *ZeloErrorCB)(ZeloRec *rec, const char *fileName, int32_t *answer);

/* Error callback answers. */
#define ZELO_ANSWER_CONTINUE 0
#define ZELO_ANSWER_STOP 1
#define ZELO_ANSWER_ABORT 2
#define ZELO_ANSWER_RETRY 3
#define ZELO_ANSWER_SKIP 4

/* A new record with its defaults (320 x 240, 24 bits, 30 frames per second,
 * PCM 44100 Hz stereo 16 bits), or NULL. */
ZELO_API ZeloRec *ZELO_CALL ZeloAlloc(void);
/* Releases a record; a record that is converting is left alone. */
ZELO_API void ZELO_CALL ZeloFree(ZeloRec *rec);
ZELO_API int32_t ZELO_CALL ZeloGetStatus(ZeloRec *rec);
/* Seconds since the run started (during a run) or that the last run took. */
ZELO_API double ZELO_CALL ZeloGetElapsedTime(ZeloRec *rec);
/* Writes seconds as hh:mm:ss into buf (at least 16 bytes). */
ZELO_API void ZELO_CALL ZeloMakeTimeStr(double seconds, char *buf);

/* Output configuration. Setters return the Result of the call. Format ids:
 * 1 TGA, 2 PCX, 3 BMP, 4 GIF, 5 FLIC, 6 AVI, 7 JEX, 8 JPEG, 9 PNG, 10 TIFF,
 * 11 MPEG, 12 WAV, 13 SGI, 14 RAS, 15 PNM, 16 BAY, 17 XPM, 18 MP2, 19 OGG. */
ZELO_API int32_t ZELO_CALL ZeloSetOutputFile(ZeloRec *rec, const char *videoFile, const char *audioFile);
ZELO_API int32_t ZELO_CALL ZeloSetFrameRate(ZeloRec *rec, double fps, ZeloBool keepDuration);
ZELO_API int32_t ZELO_CALL ZeloSetResolution(ZeloRec *rec, int32_t width, int32_t height);
ZELO_API int32_t ZELO_CALL ZeloSetBpp(ZeloRec *rec, int32_t bpp);
ZELO_API int32_t ZELO_CALL ZeloEnableDithering(ZeloRec *rec, ZeloBool on);
ZELO_API int32_t ZELO_CALL ZeloForceCompatibility(ZeloRec *rec, ZeloBool on);
ZELO_API int32_t ZELO_CALL ZeloSetAudioFormat(ZeloRec *rec, int32_t rate, int32_t channels, int32_t bits);
ZELO_API int32_t ZELO_CALL ZeloSetCodec(ZeloRec *rec, int32_t format, int32_t codec);
ZELO_API int32_t ZELO_CALL ZeloSetQuality(ZeloRec *rec, int32_t format, int32_t quality);
ZELO_API int32_t ZELO_CALL ZeloSetKeyFrameRate(ZeloRec *rec, int32_t format, int32_t rate);
ZELO_API int32_t ZELO_CALL ZeloSetDataRate(ZeloRec *rec, int32_t format, int32_t rate);
/* Up to 16 AVI information chunks: a four-character id and a text. */
ZELO_API int32_t ZELO_CALL ZeloAviAddCustomInfo(ZeloRec *rec, const char *id, const char *value);
ZELO_API int32_t ZELO_CALL ZeloAviClearCustomInfo(ZeloRec *rec);
/* Process-wide switches; once on they stay on. Both return true. */
ZELO_API ZeloBool ZELO_CALL ZeloEnableMPEG2(void);
ZELO_API ZeloBool ZELO_CALL ZeloEnableLZW(void);

/* Callback registration (NULL unregisters). */
ZELO_API int32_t ZELO_CALL ZeloAssignVideoSource(ZeloRec *rec, ZeloSourceCB cb);
ZELO_API int32_t ZELO_CALL ZeloAssignAudioSource(ZeloRec *rec, ZeloSourceCB cb);
ZELO_API int32_t ZELO_CALL ZeloAssignVideoFunc(ZeloRec *rec, ZeloVideoFuncCB cb);
ZELO_API int32_t ZELO_CALL ZeloAssignAudioFunc(ZeloRec *rec, ZeloAudioFuncCB cb);
ZELO_API int32_t ZELO_CALL ZeloAssignProgress(ZeloRec *rec, ZeloProgressCB cb);
ZELO_API int32_t ZELO_CALL ZeloAssignError(ZeloRec *rec, ZeloErrorCB cb);

/* Source setters: only inside a source callback, for the block it describes. */
ZELO_API int32_t ZELO_CALL ZeloSrcSetFile(ZeloRec *rec, const char *fileName);
ZELO_API int32_t ZELO_CALL ZeloSrcSetImg(ZeloRec *rec, const Qimg *img);
/* A platform bitmap (as handed out by the image exports). */
ZELO_API int32_t ZELO_CALL ZeloSrcSetDIB(ZeloRec *rec, void *bitmap);
/* pixels: width x height rows as they lie; palette: 256 RGB triples or NULL. */
ZELO_API int32_t ZELO_CALL ZeloSrcSetPixels(ZeloRec *rec, const void *pixels, const void *palette,
                                            int32_t width, int32_t height, int32_t bpp);
ZELO_API int32_t ZELO_CALL ZeloSrcSetFrameRate(ZeloRec *rec, double fps);
/* 1 forward, -1 backwards. */
ZELO_API int32_t ZELO_CALL ZeloSrcSetDirection(ZeloRec *rec, int32_t direction);
/* First frame or sample frame, counted from 0. */
ZELO_API int32_t ZELO_CALL ZeloSrcSetStart(ZeloRec *rec, int32_t start);
ZELO_API int32_t ZELO_CALL ZeloSrcSetLen(ZeloRec *rec, int32_t length);
ZELO_API int32_t ZELO_CALL ZeloSrcSetStartTime(ZeloRec *rec, double seconds);
ZELO_API int32_t ZELO_CALL ZeloSrcSetLenTime(ZeloRec *rec, double seconds);
ZELO_API int32_t ZELO_CALL ZeloSrcFinished(ZeloRec *rec);

/* --- Conversion run -------------------------------------------------------- */

/* Runs the conversion on the calling thread. Returns 0 finished, 1 invalid
 * output file, 2 aborted, 1000 error (see ZeloGetLastError), 999 fault. */
ZELO_API int32_t ZELO_CALL ZeloConvert(ZeloRec *rec);
/* Asks the running conversion to stop; the output written so far stays.
 * Safe from a callback and from another thread. */
ZELO_API int32_t ZELO_CALL ZeloAbort(ZeloRec *rec);

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus)
#define ZELO_STATIC_ASSERT(c, m) static_assert(c, m)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define ZELO_STATIC_ASSERT(c, m) _Static_assert(c, m)
#else
#define ZELO_STATIC_ASSERT(c, m)
#endif

ZELO_STATIC_ASSERT(sizeof(ErrorInfo) == 12, "ErrorInfo layout");
ZELO_STATIC_ASSERT(sizeof(ZeloFileInfo) == 756, "ZeloFileInfo layout");
ZELO_STATIC_ASSERT(offsetof(ZeloFileInfo, totalSize) == 392, "ZeloFileInfo layout");
ZELO_STATIC_ASSERT(offsetof(ZeloFileInfo, videoCompression) == 408, "ZeloFileInfo layout");
ZELO_STATIC_ASSERT(offsetof(ZeloFileInfo, videoDuration) == 540, "ZeloFileInfo layout");
ZELO_STATIC_ASSERT(offsetof(ZeloFileInfo, width) == 564, "ZeloFileInfo layout");
ZELO_STATIC_ASSERT(offsetof(ZeloFileInfo, audioCompression) == 588, "ZeloFileInfo layout");
ZELO_STATIC_ASSERT(offsetof(ZeloFileInfo, soundDuration) == 720, "ZeloFileInfo layout");
ZELO_STATIC_ASSERT(offsetof(ZeloFileInfo, pcmBlockAlign) == 752, "ZeloFileInfo layout");
ZELO_STATIC_ASSERT(sizeof(ZeloCodecInfo) == 196, "ZeloCodecInfo layout");
ZELO_STATIC_ASSERT(offsetof(ZeloCodecInfo, qualityAdjustable) == 148, "ZeloCodecInfo layout");
ZELO_STATIC_ASSERT(offsetof(ZeloCodecInfo, keyFrameRateMax) == 192, "ZeloCodecInfo layout");
ZELO_STATIC_ASSERT(offsetof(Qimg, pixPtr) == 0, "Qimg layout");
#if UINTPTR_MAX == 0xFFFFFFFFu
ZELO_STATIC_ASSERT(offsetof(Qimg, pixSize) == 4, "Qimg layout");
ZELO_STATIC_ASSERT(offsetof(Qimg, bpp) == 20, "Qimg layout");
ZELO_STATIC_ASSERT(offsetof(Qimg, pal) == 24, "Qimg layout");
ZELO_STATIC_ASSERT(offsetof(Qimg, hostPix) == 792, "Qimg layout");
ZELO_STATIC_ASSERT(sizeof(Qimg) == 796, "Qimg layout");
#else
/* 64-bit: the pointer takes 8 bytes, every later field moves by 4. */
ZELO_STATIC_ASSERT(offsetof(Qimg, pixSize) == 8, "Qimg layout");
ZELO_STATIC_ASSERT(offsetof(Qimg, bpp) == 24, "Qimg layout");
ZELO_STATIC_ASSERT(offsetof(Qimg, pal) == 28, "Qimg layout");
ZELO_STATIC_ASSERT(offsetof(Qimg, hostPix) == 796, "Qimg layout");
ZELO_STATIC_ASSERT(sizeof(Qimg) == 800, "Qimg layout");
#endif

#endif /* ZELO_ZELO_H */
