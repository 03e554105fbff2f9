/* A host written in C that converts a numbered series of bitmaps and a WAV
 * file through the public exports only: into AVI with sound, JEX, a numbered
 * Targa sequence and 8-bit output, with video and audio functions, an abort
 * from the progress callback and every answer of the error callback. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zelo/zelo.h"

#define FRAMES 100
#define WIDTH 64
#define HEIGHT 48
#define RATE 25.0
#define SND_RATE 22050
#define SND_SECONDS 4
#define SND_AMPLITUDE 8000

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      failures++;                                                              \
    }                                                                          \
  } while (0)

#define CHECK_INT(a, b)                                                              \
  do {                                                                               \
    long long a_ = (long long)(a), b_ = (long long)(b);                              \
    if (a_ != b_) {                                                                  \
      fprintf(stderr, "%s:%d: %s is %lld, want %lld\n", __FILE__, __LINE__, #a, a_, b_); \
      failures++;                                                                    \
    }                                                                                \
  } while (0)

static char dir[256];
static char frames[FRAMES][300];
static char wav[300];

/* --- input files ---------------------------------------------------------- */

static void put16(unsigned char *p, unsigned v) { p[0] = v & 255; p[1] = (v >> 8) & 255; }
static void put32(unsigned char *p, unsigned v) { put16(p, v & 0xFFFF); put16(p + 2, v >> 16); }

/* A 24-bit bitmap of a square moving over a colour ramp. */
static void write_bmp(const char *name, int n) {
  const int row = (WIDTH * 3 + 3) & ~3;
  const int size = 54 + row * HEIGHT;
  unsigned char *b = calloc(1, size);
  b[0] = 'B';
  b[1] = 'M';
  put32(b + 2, size);
  put32(b + 10, 54);
  put32(b + 14, 40);
  put32(b + 18, WIDTH);
  put32(b + 22, HEIGHT);
  put16(b + 26, 1);
  put16(b + 28, 24);
  put32(b + 34, row * HEIGHT);
  for (int y = 0; y < HEIGHT; y++) {
    for (int x = 0; x < WIDTH; x++) {
      unsigned char *p = b + 54 + (HEIGHT - 1 - y) * row + x * 3;
      int inSquare = x >= (n % (WIDTH - 16)) && x < (n % (WIDTH - 16)) + 16 && y >= 16 && y < 32;
      p[0] = (unsigned char)(inSquare ? 20 : x * 4);
      p[1] = (unsigned char)(inSquare ? 200 : y * 5);
      p[2] = (unsigned char)(inSquare ? 240 : (n * 2) & 255);
    }
  }
  FILE *f = fopen(name, "wb");
  fwrite(b, 1, size, f);
  fclose(f);
  free(b);
}

static void write_wav(const char *name) {
  const int samples = SND_RATE * SND_SECONDS;
  const int bytes = samples * 2;
  unsigned char *b = calloc(1, 44 + bytes);
  memcpy(b, "RIFF", 4);
  put32(b + 4, 36 + bytes);
  memcpy(b + 8, "WAVEfmt ", 8);
  put32(b + 16, 16);
  put16(b + 20, 1);
  put16(b + 22, 1);
  put32(b + 24, SND_RATE);
  put32(b + 28, SND_RATE * 2);
  put16(b + 32, 2);
  put16(b + 34, 16);
  memcpy(b + 36, "data", 4);
  put32(b + 40, bytes);
  for (int i = 0; i < samples; i++) {
    int v = (int)lrint(SND_AMPLITUDE * sin(i * 2 * 3.14159265358979 * 440.0 / SND_RATE));
    put16(b + 44 + i * 2, (unsigned)(v & 0xFFFF));
  }
  FILE *f = fopen(name, "wb");
  fwrite(b, 1, 44 + bytes, f);
  fclose(f);
  free(b);
}

/* Peak and sample frames of a 16-bit PCM WAV file. */
static int wav_peak(const char *name, long *sampleFrames) {
  FILE *f = fopen(name, "rb");
  *sampleFrames = -1;
  if (f == NULL) return -1;
  unsigned char h[12], c[8];
  int channels = 1, peak = 0;
  if (fread(h, 1, 12, f) != 12) { fclose(f); return -1; }
  while (fread(c, 1, 8, f) == 8) {
    long size = c[4] | (c[5] << 8) | (c[6] << 16) | ((long)c[7] << 24);
    if (memcmp(c, "fmt ", 4) == 0) {
      unsigned char fmt[16];
      if (fread(fmt, 1, 16, f) != 16) break;
      channels = fmt[2];
      fseek(f, size - 16 + (size & 1), SEEK_CUR);
    } else if (memcmp(c, "data", 4) == 0) {
      *sampleFrames = size / (2 * channels);
      for (long i = 0; i < size / 2; i++) {
        unsigned char s[2];
        if (fread(s, 1, 2, f) != 2) break;
        int v = (short)(s[0] | (s[1] << 8));
        if (abs(v) > peak) peak = abs(v);
      }
      break;
    } else {
      fseek(f, size + (size & 1), SEEK_CUR);
    }
  }
  fclose(f);
  return peak;
}

static int exists(const char *name) {
  struct stat st;
  return stat(name, &st) == 0;
}

static void path(char *out, const char *name) { snprintf(out, 300, "%s/%s", dir, name); }

/* Standard output of a command, trimmed. */
static void run(const char *command, char *out, size_t size) {
  out[0] = '\0';
  FILE *p = popen(command, "r");
  if (p == NULL) return;
  size_t n = fread(out, 1, size - 1, p);
  out[n] = '\0';
  pclose(p);
  while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r' || out[n - 1] == ' ')) out[--n] = '\0';
}

/* --- callbacks --------------------------------------------------------------- */

static struct {
  const char *files[FRAMES + 4];
  int fileCount;
  int withAudio;
  int abortAt;       /* abort once this many frames are done (0: never) */
  int draw;          /* the video function marks every frame */
  int halveVolume;   /* the audio function halves every sample */
  int answer;        /* the error callback's answer */
  char repairWith[300]; /* answer 3 first copies this file over the failing one */
  int progressCalls, firstState, lastState;
  int funcCalls[4];  /* video function calls by state */
  int audioCalls;
  int errorCalls;
  char errorName[300];
  ErrorInfo errorSeen;
} host;

static void reset_host(void) { memset(&host, 0, sizeof host); host.firstState = -1; }

static void ZELO_CALL video_source(ZeloRec *rec, int32_t block) {
  if (block < host.fileCount)
    ZeloSrcSetFile(rec, host.files[block]);
  else
    ZeloSrcFinished(rec);
}

static void ZELO_CALL audio_source(ZeloRec *rec, int32_t block) {
  if (block == 0 && host.withAudio) ZeloSrcSetFile(rec, wav);
  /* setting nothing ends the audio source */
}

static void ZELO_CALL progress(ZeloRec *rec, int32_t state, int32_t done, int32_t samples) {
  (void)samples;
  if (host.firstState < 0) host.firstState = state;
  host.lastState = state;
  host.progressCalls++;
  if (host.abortAt > 0 && done >= host.abortAt) ZeloAbort(rec);
}

static void ZELO_CALL video_func(ZeloRec *rec, Qimg *img, int32_t frame) {
  (void)frame;
  int32_t state = ZeloGetStatus(rec);
  if (state >= 0 && state < 4) host.funcCalls[state]++;
  if (!host.draw || img->bpp != 24) return;
  /* a white 8 x 8 block in the top left corner */
  for (int y = 0; y < 8 && y < img->resY; y++)
    memset((unsigned char *)img->pixPtr + (size_t)y * img->resX * 3, 255, 8 * 3);
}

static void ZELO_CALL audio_func(ZeloRec *rec, Qsnd *snd, int32_t first) {
  (void)rec;
  (void)first;
  host.audioCalls++;
  if (!host.halveVolume || snd->format.bitsPerSample != 16) return;
  short *s = (short *)snd->SndData;
  for (int32_t i = 0; i < snd->samples * snd->format.channels; i++) s[i] = (short)(s[i] / 2);
}

static void copy_file(const char *from, const char *to) {
  FILE *a = fopen(from, "rb"), *b = fopen(to, "wb");
  char buf[4096];
  size_t n;
  while (a != NULL && b != NULL && (n = fread(buf, 1, sizeof buf, a)) > 0) fwrite(buf, 1, n, b);
  if (a) fclose(a);
  if (b) fclose(b);
}

static void ZELO_CALL error_cb(ZeloRec *rec, const char *name, int32_t *answer) {
  (void)rec;
  host.errorCalls++;
  snprintf(host.errorName, sizeof host.errorName, "%s", name);
  ZeloGetLastError(&host.errorSeen);
  CHECK_INT(*answer, 1);
  if (host.answer == 3 && host.repairWith[0] != '\0') {
    copy_file(host.repairWith, name);
    host.repairWith[0] = '\0';
  }
  *answer = host.answer;
}

/* --- conversions --------------------------------------------------------------- */

static ErrorInfo lastInfo;

typedef struct {
  const char *video;  /* output names (file names inside the temporary folder) */
  const char *audio;
  int bpp;            /* 0: default */
  int dither;
  int codec;          /* format 6 or 7 codec, 0: default */
  int withFunc;
  int withError;
} Job;

static int convert(const Job *job) {
  ZeloRec *rec = ZeloAlloc();
  CHECK(rec != NULL);
  char v[300] = "", a[300] = "";
  if (job->video) path(v, job->video);
  if (job->audio) path(a, job->audio);
  ZeloSetOutputFile(rec, v, a);
  ZeloSetFrameRate(rec, RATE, ZELO_TRUE);
  ZeloSetResolution(rec, WIDTH, HEIGHT);
  ZeloSetAudioFormat(rec, SND_RATE, 1, 16);
  if (job->bpp) ZeloSetBpp(rec, job->bpp);
  ZeloEnableDithering(rec, job->dither ? ZELO_TRUE : ZELO_FALSE);
  if (job->codec) ZeloSetCodec(rec, ZeloGetFileFmtID(v), job->codec);
  ZeloSetQuality(rec, 6, 90);
  ZeloAviAddCustomInfo(rec, "ICMT", "made by the C host");
  ZeloAssignVideoSource(rec, video_source);
  ZeloAssignAudioSource(rec, audio_source);
  ZeloAssignProgress(rec, progress);
  if (job->withFunc) {
    ZeloAssignVideoFunc(rec, video_func);
    ZeloAssignAudioFunc(rec, audio_func);
  }
  if (job->withError) ZeloAssignError(rec, error_cb);
  int32_t result = ZeloConvert(rec);
  ZeloGetLastError(&lastInfo);
  if (lastInfo.Result != result) fprintf(stderr, "returned %d, last error %d\n", result, lastInfo.Result);
  if (lastInfo.Result >= 999) {
    char text[1200];
    ZeloMakeErrorStr(&lastInfo, text);
    fprintf(stderr, "%s: %d (%d, %d) %s\n", job->video ? job->video : "", lastInfo.Result,
            lastInfo.Category, lastInfo.Code, text);
  }
  CHECK_INT(ZeloGetStatus(rec), 0);
  ZeloFree(rec);
  return result;
}

static void all_frames(void) {
  host.fileCount = FRAMES;
  for (int i = 0; i < FRAMES; i++) host.files[i] = frames[i];
}

/* The outcome ZeloConvert left, read before the record is released. */
static int32_t last_result(void) { return lastInfo.Result; }

static ZeloFileInfo info_of(const char *name) {
  ZeloFileInfo fi;
  char p[300];
  path(p, name);
  ZeloGetFileInfo(p, &fi, ZELO_FALSE);
  return fi;
}

static void test_avi_with_sound(void) {
  reset_host();
  all_frames();
  host.withAudio = 1;
  const int mjpg = 'M' | ('J' << 8) | ('P' << 16) | ('G' << 24);
  Job job = {"road.avi", "road.avi", 0, 0, mjpg, 0, 0};
  CHECK_INT(convert(&job), 0);
  CHECK_INT(last_result(), 0);
  CHECK_INT(host.firstState, 1);
  CHECK_INT(host.lastState, 0);
  char p[300], cmd[800], out[256];
  path(p, "road.avi");
  snprintf(cmd, sizeof cmd,
           "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
           "stream=nb_read_frames,r_frame_rate,width,height -of csv=p=0 '%s'", p);
  run(cmd, out, sizeof out);
  CHECK(strcmp(out, "64,48,25/1,100") == 0);
  if (strcmp(out, "64,48,25/1,100") != 0) fprintf(stderr, "ffprobe video: %s\n", out);
  snprintf(cmd, sizeof cmd, "ffmpeg -v error -i '%s' -map 0:a -f s16le -ac 1 - | wc -c", p);
  run(cmd, out, sizeof out);
  CHECK_INT(atol(out), SND_RATE * SND_SECONDS * 2);
  snprintf(cmd, sizeof cmd, "ffprobe -v error -show_entries format_tags=comment -of csv=p=0 '%s'", p);
  run(cmd, out, sizeof out);
  CHECK(strcmp(out, "made by the C host") == 0);
}

static void test_jex(void) {
  reset_host();
  all_frames();
  host.withAudio = 1;
  Job job = {"road.jex", "road.jex", 0, 0, 0, 0, 0};
  CHECK_INT(convert(&job), 0);
  CHECK_INT(last_result(), 0);
  ZeloFileInfo fi = info_of("road.jex");
  CHECK_INT(fi.frames, FRAMES);
  CHECK_INT(fi.width, WIDTH);
  CHECK_INT(fi.height, HEIGHT);
  CHECK(fabs(fi.frameRate - RATE) < 1e-6);
  CHECK_INT(fi.sampleFrames, SND_RATE * SND_SECONDS);
  CHECK_INT(fi.pcmChannels, 1);
}

static void test_tga_sequence(void) {
  reset_host();
  all_frames();
  Job job = {"seq0001.tga", NULL, 0, 0, 0, 0, 0};
  CHECK_INT(convert(&job), 0);
  CHECK_INT(last_result(), 0);
  char p[300], cmd[800], out[256];
  path(p, "seq0100.tga");
  CHECK(exists(p));
  path(p, "seq0101.tga");
  CHECK(!exists(p));
  path(p, "seq0050.tga");
  snprintf(cmd, sizeof cmd, "identify -format '%%w %%h' '%s'", p);
  run(cmd, out, sizeof out);
  CHECK(strcmp(out, "64 48") == 0);
}

static void test_palette_pass(void) {
  const char *names[2] = {"pal0.jex", "pal1.jex"};
  for (int dither = 0; dither < 2; dither++) {
    reset_host();
    all_frames();
    Job job = {names[dither], NULL, 8, dither, 0, 1, 0};
    CHECK_INT(convert(&job), 0);
    CHECK_INT(last_result(), 0);
    /* the video function sees every frame in both passes */
    CHECK_INT(host.funcCalls[2], FRAMES);
    CHECK_INT(host.funcCalls[3], FRAMES);
    ZeloFileInfo fi = info_of(names[dither]);
    CHECK_INT(fi.bpp, 8);
    CHECK_INT(fi.frames, FRAMES);
  }
  /* dithering changes the pictures */
  char a[300], b[300], cmd[800], out[64];
  path(a, names[0]);
  path(b, names[1]);
  snprintf(cmd, sizeof cmd, "cmp -s '%s' '%s'; echo $?", a, b);
  run(cmd, out, sizeof out);
  CHECK(strcmp(out, "1") == 0);
}

static void test_functions(void) {
  reset_host();
  all_frames();
  host.withAudio = 1;
  host.draw = 1;
  host.halveVolume = 1;
  Job job = {"draw0001.bmp", "volume.wav", 0, 0, 0, 1, 0};
  CHECK_INT(convert(&job), 0);
  CHECK_INT(last_result(), 0);
  CHECK_INT(host.funcCalls[3], FRAMES);
  CHECK(host.audioCalls > 0);
  char p[300], cmd[800], out[256];
  path(p, "draw0077.bmp");
  snprintf(cmd, sizeof cmd, "convert '%s' -format '%%[pixel:p{3,3}] %%[pixel:p{40,40}]' info:", p);
  run(cmd, out, sizeof out);
  /* the marked corner is white, the rest of the picture is the source's */
  CHECK(strcmp(out, "srgb(255,255,255) srgb(152,200,160)") == 0);
  long sampleFrames;
  path(p, "volume.wav");
  int peak = wav_peak(p, &sampleFrames);
  CHECK_INT(sampleFrames, SND_RATE * SND_SECONDS);
  CHECK(peak >= SND_AMPLITUDE / 2 - 2 && peak <= SND_AMPLITUDE / 2 + 2);
  long sourceFrames;
  CHECK(wav_peak(wav, &sourceFrames) >= SND_AMPLITUDE - 2);
}

static void test_abort_at_50(void) {
  reset_host();
  all_frames();
  host.abortAt = 50;
  Job job = {"abort.jex", NULL, 0, 0, 0, 0, 0};
  CHECK_INT(convert(&job), 2);
  ErrorInfo info;
  info = lastInfo;
  CHECK_INT(info.Result, 2);
  char text[1200];
  ZeloMakeErrorStr(&info, text);
  CHECK(strcmp(text, "Operation aborted by the user.") == 0);
  ZeloFileInfo fi = info_of("abort.jex");
  CHECK_INT(fi.frames, 50);
  CHECK_INT(host.lastState, 0);
}

/* Three blocks, the middle one a picture file that cannot be read. */
static void test_error_answers(void) {
  char bad[300], good[300];
  path(bad, "broken.bmp");
  path(good, "repair.bmp");
  write_bmp(good, 7);
  static const struct {
    int answer;
    int result;
    int frames;  /* -1: the output is deleted; answer 0 keeps the half-read picture */
  } cases[] = {{0, 0, 3}, {1, 0, -1}, {2, 0, 1}, {3, 0, 3}, {4, 0, 2}};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
    unlink(bad);
    reset_host();
    host.files[0] = frames[0];
    host.files[1] = bad;
    host.files[2] = frames[2];
    host.fileCount = 3;
    host.answer = cases[i].answer;
    if (cases[i].answer == 3) snprintf(host.repairWith, sizeof host.repairWith, "%s", good);
    char name[32];
    snprintf(name, sizeof name, "answer%d.jex", cases[i].answer);
    Job job = {name, NULL, 0, 0, 0, 0, 1};
    /* a file that exists with a valid header but only half its pixels */
    copy_file(good, bad);
    CHECK(truncate(bad, 54 + 64 * 3 * 10) == 0);
    int32_t result = convert(&job);
    fprintf(stderr, "answer %d: result %d, calls %d\n", cases[i].answer, result, host.errorCalls);
    CHECK_INT(result, cases[i].result);
    CHECK(host.errorCalls >= 1);
    CHECK(strcmp(host.errorName, bad) == 0);
    CHECK_INT(host.errorSeen.Result, 1000);
    char p[300];
    path(p, name);
    if (cases[i].frames < 0) {
      CHECK(!exists(p));
    } else {
      ZeloFileInfo fi = info_of(name);
      CHECK_INT(fi.frames, cases[i].frames);
    }
  }
}

/* A source file that does not exist ends its block; the run goes on. */
static void test_missing_file(void) {
  char missing[300];
  path(missing, "missing.bmp");
  reset_host();
  host.files[0] = frames[0];
  host.files[1] = missing;
  host.files[2] = frames[2];
  host.fileCount = 3;
  Job job = {"missing.jex", NULL, 0, 0, 0, 0, 1};
  CHECK_INT(convert(&job), 0);
  ZeloFileInfo fi = info_of("missing.jex");
  CHECK_INT(fi.frames, 2);
}

static void test_bad_output(void) {
  reset_host();
  all_frames();
  Job job = {"out.unknown", NULL, 0, 0, 0, 0, 0};
  CHECK_INT(convert(&job), 1);
  CHECK_INT(host.progressCalls, 2);
  CHECK_INT(host.firstState, 1);
  CHECK_INT(host.lastState, 0);
  ErrorInfo info;
  info = lastInfo;
  CHECK_INT(info.Result, 1);
}

int main(void) {
  snprintf(dir, sizeof dir, "/tmp/zelo-road-XXXXXX");
  if (mkdtemp(dir) == NULL) return 2;
  for (int i = 0; i < FRAMES; i++) {
    snprintf(frames[i], sizeof frames[i], "%s/frame%04d.bmp", dir, i + 1);
    write_bmp(frames[i], i);
  }
  path(wav, "tone.wav");
  write_wav(wav);

  if (getenv("ZELO_ROAD_TRACE") != NULL) ZeloLogStart(getenv("ZELO_ROAD_TRACE"), ZELO_TRUE);
  test_avi_with_sound();
  test_jex();
  test_tga_sequence();
  test_palette_pass();
  test_functions();
  test_abort_at_50();
  test_error_answers();
  test_missing_file();
  test_bad_output();

  if (failures == 0) {
    char cmd[300];
    snprintf(cmd, sizeof cmd, "rm -rf '%s'", dir);
    if (system(cmd) != 0) return 2;
    printf("ok\n");
  } else {
    fprintf(stderr, "%d failures; files kept in %s\n", failures, dir);
  }
  return failures == 0 ? 0 : 1;
}
