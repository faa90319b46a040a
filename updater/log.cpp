#include "log.h"

#include <cstdarg>

#include "paths.h"

FILE* gLogFP = nullptr;

void LogInit() {
  if (gLogFP) return;
  char path[kPathBufferSize];
  if (!FormatPath(path, "%s/update.log", gSourcePath)) return;
  gLogFP = fopen(path, "we");
}

void LogPrintf(const char* format, ...) {
  if (!gLogFP) return;
  va_list ap;
  va_start(ap, format);
  vfprintf(gLogFP, format, ap);
  va_end(ap);
}

void LogFinish() {
  if (!gLogFP) return;
  fclose(gLogFP);
  gLogFP = nullptr;
}
