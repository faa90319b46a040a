// The progress channel between the update's worker thread and the progress
// window on the main thread, and the window's entry point.
//
// The worker posts values and, at its end, the quit request; it never waits
// for the window and never learns whether one is shown. The two shared values
// are single atomic stores and loads (relaxed): no order between them is
// relied on, and a reader that sees the quit flag may see an older value.
#pragma once

#include <atomic>

extern std::atomic<float> sProgressVal;  // latest value posted, 0.0 to 100.0
extern std::atomic<bool> sQuit;          // false until QuitProgressUI, then true for good
// The program's folder (from the kernel's record of the executable) joined
// with the last component of argv[0]; null when it cannot be formed. The
// strings file is this path with ".ini" appended, and the window's module and
// layout file are looked for beside it.
extern const char* sProgramPath;

// Main thread, first thing in main: records the program's path. Changes
// neither the count nor the vector. Always 0.
int InitProgressUI(int* argc, char*** argv);

// Worker thread: stores |progress| for the window. Never blocks, logs or fails.
void UpdateProgressUI(float progress);

// Worker thread, its last act: asks the window to go away. Only sets sQuit.
void QuitProgressUI();

// Main thread, after the worker has started: waits half a second (less when
// the worker quits sooner), then shows the progress window until QuitProgressUI,
// unless the update is over or past half-way by then. 0 when no window was
// needed or it has been taken down (also when no window can be shown here);
// -1 when the strings file cannot be read.
int ShowProgressUI();
