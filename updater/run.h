// The run sequence's pieces that main strings together (see updater.cpp).
#pragma once

#include <sys/types.h>

// Waits until the process |pid| has ended. Nothing is waited for when |pid| is
// 0, negative, our own pid, or names no process. The application that starts
// the updater is its parent, not its child, so waitpid alone cannot wait for
// it: a pidfd is polled instead, or the process table every 50 ms.
void WaitForProcess(pid_t pid);

// atoi's reading of the parent-pid argument, without its undefined behaviour
// on numbers out of range (those give 0: no wait).
pid_t ParsePid(const char* text);

// Keeps one run at a time on an update directory: a second run would take the
// first one's live journal for a crash and restore files under it. Called by
// main once gSourcePath is set and before the log is opened; waits, as long as
// it takes, for a run that holds the directory, then holds it until the
// worker has written the status file and the log. When the run waited for
// recorded "succeeded" during the wait and the archive is unchanged, the
// worker applies nothing and logs that the update was already applied.
// First prints one line on stderr, naming the directory and the reason, when
// the directory cannot be written (nothing of the run can be recorded then).
void LockUpdateDirectory();

// The worker thread: recovers from an interrupted run, opens "%s/update.zar",
// runs DoUpdate, logs and writes the outcome, lets a waiting run in, then calls
// QuitProgressUI. Its argument is ignored.
void* UpdateThreadFunc(void* unused);

// Writes "succeeded\n" or "failed: %d\n" to "%s/update.status" (mode 0644)
// with one write, synced when the run began or found a journal. True when the
// line is on disk whole; a line that could not be written (or synced) whole
// is removed rather than left cut.
bool WriteStatusFile(int status);

// Sets NO_EM_RESTART to the empty string, changes to |workingDir| (ignoring a
// failure) and launches argv[0..argc-1], without waiting.
void LaunchCallbackApp(const char* workingDir, int argc, char** argv);
