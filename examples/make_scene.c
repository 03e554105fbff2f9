/* Makes the demonstration's input: a numbered sequence of pictures of a
 * moving, colourful scene, written as bitmaps by a conversion whose video
 * source hands over pixels from memory, and a WAV file of a short tune.
 *
 * usage: make_scene FOLDER [FRAMES [SECONDS]]
 * writes FOLDER/scene0001.bmp ... and FOLDER/tune.wav */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zelo/zelo.h"

#define WIDTH 320
#define HEIGHT 240
#define PI 3.14159265358979

static int frames = 100;
static unsigned char *pixels;

/* One picture: a sky that changes colour, rolling hills, and three balls
 * that bounce across it. Pixels are blue, green, red; top row first. */
static void draw(int n) {
  const double t = (double)n / frames;
  for (int y = 0; y < HEIGHT; y++) {
    for (int x = 0; x < WIDTH; x++) {
      unsigned char *p = pixels + ((size_t)y * WIDTH + x) * 3;
      const double hill = HEIGHT * 0.7 + 18 * sin(x * 0.03 + t * 2 * PI);
      if (y > hill) {
        p[0] = 40;
        p[1] = (unsigned char)(120 + 60 * sin(x * 0.05 + y * 0.1));
        p[2] = 30;
      } else {
        p[0] = (unsigned char)(255 - y / 2);
        p[1] = (unsigned char)(120 + 80 * t + y / 4);
        p[2] = (unsigned char)(60 + 150 * t);
      }
    }
  }
  static const unsigned char colours[3][3] = {{40, 40, 230}, {230, 200, 20}, {30, 220, 250}};
  for (int b = 0; b < 3; b++) {
    const double cx = fmod(t * WIDTH * (1 + b) + b * 90, WIDTH + 60) - 30;
    const double cy = HEIGHT * 0.6 - fabs(sin(t * PI * (3 + b))) * (HEIGHT * 0.45);
    const int r = 14 + 6 * b;
    for (int y = (int)cy - r; y <= (int)cy + r; y++) {
      for (int x = (int)cx - r; x <= (int)cx + r; x++) {
        if (x < 0 || y < 0 || x >= WIDTH || y >= HEIGHT) continue;
        const double d = hypot(x - cx, y - cy);
        if (d > r) continue;
        const double shade = 1.0 - 0.5 * d / r;
        unsigned char *p = pixels + ((size_t)y * WIDTH + x) * 3;
        for (int c = 0; c < 3; c++) p[c] = (unsigned char)(colours[b][c] * shade);
      }
    }
  }
}

static void ZELO_CALL source(ZeloRec *rec, int32_t block) {
  if (block >= frames) {
    ZeloSrcFinished(rec);
    return;
  }
  draw(block);
  ZeloSrcSetPixels(rec, pixels, NULL, WIDTH, HEIGHT, 24);
}

static void put16(unsigned char *p, unsigned v) { p[0] = v & 255; p[1] = (v >> 8) & 255; }
static void put32(unsigned char *p, unsigned v) { put16(p, v & 0xFFFF); put16(p + 2, v >> 16); }

/* A tune of one note per half second, stereo, 44100 Hz, 16 bits. */
static int write_tune(const char *name, int seconds) {
  static const double notes[] = {261.63, 329.63, 392.00, 523.25, 392.00, 329.63, 293.66, 261.63};
  const int rate = 44100, samples = rate * seconds, bytes = samples * 4;
  unsigned char *b = calloc(1, 44 + (size_t)bytes);
  if (b == NULL) return 0;
  memcpy(b, "RIFF", 4);
  put32(b + 4, 36 + bytes);
  memcpy(b + 8, "WAVEfmt ", 8);
  put32(b + 16, 16);
  put16(b + 20, 1);
  put16(b + 22, 2);
  put32(b + 24, rate);
  put32(b + 28, rate * 4);
  put16(b + 32, 4);
  put16(b + 34, 16);
  memcpy(b + 36, "data", 4);
  put32(b + 40, bytes);
  for (int i = 0; i < samples; i++) {
    const int note = (i / (rate / 2)) % 8;
    const double inNote = (double)(i % (rate / 2)) / (rate / 2);
    const double v = sin(2 * PI * notes[note] * i / rate) * 9000 * (1 - inNote * 0.8);
    put16(b + 44 + i * 4, (unsigned)((int)v & 0xFFFF));
    put16(b + 46 + i * 4, (unsigned)((int)(v * 0.6) & 0xFFFF));
  }
  FILE *f = fopen(name, "wb");
  const int ok = f != NULL && fwrite(b, 1, 44 + (size_t)bytes, f) == 44 + (size_t)bytes;
  if (f != NULL) fclose(f);
  free(b);
  return ok;
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: make_scene FOLDER [FRAMES [SECONDS]]\n");
    return 2;
  }
  if (argc > 2) frames = atoi(argv[2]);
  const int seconds = argc > 3 ? atoi(argv[3]) : 4;
  if (frames < 1 || frames > 100000 || seconds < 1 || seconds > 3600) {
    fprintf(stderr, "make_scene: bad number of frames or seconds\n");
    return 2;
  }
  pixels = malloc((size_t)WIDTH * HEIGHT * 3);
  if (pixels == NULL) return 1;

  char name[4096];
  snprintf(name, sizeof name, "%s/scene0001.bmp", argv[1]);
  ZeloRec *rec = ZeloAlloc();
  ZeloSetOutputFile(rec, name, NULL);
  ZeloAssignVideoSource(rec, source);
  const int32_t result = ZeloConvert(rec);
  ErrorInfo info;
  ZeloGetLastError(&info);
  ZeloFree(rec);
  free(pixels);
  if (result != RES_OK) {
    char text[1200];
    ZeloMakeErrorStr(&info, text);
    fprintf(stderr, "make_scene: %s: %s\n", name, text);
    return 1;
  }
  snprintf(name, sizeof name, "%s/tune.wav", argv[1]);
  if (!write_tune(name, seconds)) {
    fprintf(stderr, "make_scene: cannot write %s\n", name);
    return 1;
  }
  printf("wrote %d pictures %s/scene0001.bmp ... and %s\n", frames, argv[1], name);
  return 0;
}
