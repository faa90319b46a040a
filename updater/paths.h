// Names the update forms: every one is formatted into a 1024-byte buffer with
// bounded formatting, and a name that does not fit is never used cut (a cut
// name could denote another file, which would then be written or deleted).
#pragma once

#include <cstdio>

constexpr int kPathBufferSize = 1024;

// The update directory: the command line's own first argument, set once by
// main before the worker starts.
extern const char* gSourcePath;

// Formats into |buf| (kPathBufferSize bytes). False, with |buf| holding an
// empty string, when the result would not fit whole.
template <typename... Args>
bool FormatPath(char (&buf)[kPathBufferSize], const char* format, Args... args) {
  int n = snprintf(buf, sizeof(buf), format, args...);
  if (n < 0 || n >= int(sizeof(buf))) {
    buf[0] = '\0';
    return false;
  }
  return true;
}

// The folder that holds the running program's executable, from the kernel's
// record of it (never from argv[0]): the place of the files installed beside
// the program. False, with |buf| empty, when it cannot be found or does not
// fit.
bool ProgramFolder(char (&buf)[kPathBufferSize]);
