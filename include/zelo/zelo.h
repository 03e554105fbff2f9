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

/* --- Conversion record, output configuration, sources and callbacks -------- */

/* --- Conversion run -------------------------------------------------------- */

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
