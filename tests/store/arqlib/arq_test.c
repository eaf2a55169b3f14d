/* A stand-in attendance library: appends each call to the file named by
   PX_ARQ_TEST_OUT. Built without ARQClose as the "broken" variant. */
#include <stdio.h>
#include <stdlib.h>

static void Note(const char* text) {
  const char* path = getenv("PX_ARQ_TEST_OUT");
  FILE* f = path ? fopen(path, "a") : NULL;
  if (!f) return;
  fputs(text, f);
  fputc('\n', f);
  fclose(f);
}

void ARQInit(void) { Note("init"); }

void ARQProcess(const char* from, const char* to, const char* staff) {
  char line[256];
  snprintf(line, sizeof line, "process %s %s %s", from, to, staff);
  Note(line);
}

#ifndef ARQ_TEST_BROKEN
void ARQClose(void) { Note("close"); }
#endif
