/* A host written in C against the public header only. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "zelo/zelo.h"

static int failures = 0;

#define CHECK(cond)                                              \
  do {                                                           \
    if (!(cond)) {                                               \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      failures++;                                                \
    }                                                            \
  } while (0)

static void check_text(int32_t result, int32_t category, int32_t code, const char *expected) {
  ErrorInfo info = {result, category, code};
  char buf[1200];
  ZeloMakeErrorStr(&info, buf);
  if (strcmp(buf, expected) != 0) {
    fprintf(stderr, "(%d, %d, %d): got \"%s\", want \"%s\"\n", result, category, code, buf, expected);
    failures++;
  }
}

int main(void) {
  ErrorInfo info = {-5, -5, -5};
  ZeloGetLastError(&info);
  CHECK(info.Result == 0 && info.Category == 0 && info.Code == 0);

  char name[256];
  snprintf(name, sizeof name, "/tmp/zelo-c-host-%d.txt", (int)getpid());
  ZeloLogStart(name, ZELO_TRUE);

  check_text(RES_OK, 0, 0, "Finished successfully.");
  check_text(RES_BAD_OUTPUT, 0, 0, "Invalid output file.");
  check_text(RES_ABORTED, 0, 0, "Operation aborted by the user.");
  check_text(RES_EXCEPTION, 0, 0, "Unknown error.");
  check_text(12345, 0, 0, "Unknown error.");
  check_text(RES_ERROR, ERR_FILE, 3, "Cannot read from file.");
  check_text(RES_ERROR, ERR_IMG, 4, "Image header invalid.");
  check_text(RES_ERROR, ERR_IMG, 9, "Image data corrupted.");
  check_text(RES_ERROR, ERR_AVI, 8, "AVI audio stream not valid (decompressor not found?), ignoring audio");
  check_text(RES_ERROR, ERR_WAV, 99, "general \"WAV\" handling fault.");
  check_text(RES_ERROR, ERR_GEN, 7, "General \"GEN\" error.");
  check_text(RES_ERROR, 18, 5, "Undefined error: 18:5");
  check_text(RES_ERROR, ERR_ACM, 512, "Fatal error in Audio Compression Manager: 512");
  check_text(RES_ERROR, ERR_FILE, 0, "No errors.");

  ZeloLogStop();

  /* The reporting exports leave the last-error record alone. */
  ZeloGetLastError(&info);
  CHECK(info.Result == 0 && info.Category == 0 && info.Code == 0);

  FILE *f = fopen(name, "r");
  CHECK(f != NULL);
  if (f != NULL) {
    char line[512];
    CHECK(fgets(line, sizeof line, f) != NULL && strcmp(line, "ZELO 2.3.4\n") == 0);
    CHECK(fgets(line, sizeof line, f) != NULL && strncmp(line, "Trace started at ", 17) == 0);
    CHECK(fgets(line, sizeof line, f) != NULL && strncmp(line, "OS: ", 4) == 0);
    CHECK(fgets(line, sizeof line, f) != NULL && strncmp(line, "CPU: ", 5) == 0);
    int traced = 0;
    while (fgets(line, sizeof line, f) != NULL)
      if (strcmp(line, "#ZeloMakeErrorStr: Image header invalid.\n") == 0) traced = 1;
    CHECK(traced);
    fclose(f);
  }
  unlink(name);
  if (failures == 0) printf("ok\n");
  return failures == 0 ? 0 : 1;
}
