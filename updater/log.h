// The update log: update.log in the update directory, a plain trace of what
// the update did. No levels, time stamps or prefixes: every message is a fixed
// printf format that carries its own "\n".
//
// Opened by the main thread before the worker starts, written only by the
// worker, closed by the main thread after the worker has been joined; so no
// lock is needed.
#pragma once

#include <cstdio>

extern FILE* gLogFP;  // null while no log is open

// Opens "%s/update.log" of gSourcePath, truncating it, unless a log is open.
// A name that does not fit its buffer, or a failed open, leaves no log.
void LogInit();
// Writes to the log if one is open; otherwise does nothing.
void LogPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Closes the log, writing out what is buffered, if one is open.
void LogFinish();
