/* Starts a trace log, turns a few outcome records into their texts and
 * shows the log. Built against the public header and libzelo.so only. */
#include <stdio.h>

#include "zelo/zelo.h"

int main(int argc, char **argv) {
  const char *log = argc > 1 ? argv[1] : "zelo-demo-trace.txt";
  ZeloLogStart(log, ZELO_TRUE);

  ErrorInfo info;
  ZeloGetLastError(&info);
  char text[1200];
  ZeloMakeErrorStr(&info, text);
  printf("last call: result %d, category %d, code %d: %s\n", info.Result, info.Category, info.Code, text);

  const ErrorInfo samples[] = {{RES_ERROR, ERR_FILE, 1}, {RES_ERROR, ERR_IMG, 4}, {RES_ABORTED, 0, 0}};
  for (unsigned i = 0; i < sizeof samples / sizeof samples[0]; ++i) {
    ZeloMakeErrorStr(&samples[i], text);
    printf("(%d, %d, %d): %s\n", samples[i].Result, samples[i].Category, samples[i].Code, text);
  }
  ZeloLogStop();
  printf("trace log written to %s\n", log);
  return 0;
}
