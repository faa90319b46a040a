// Starting the callback application after the update.
#pragma once

// Starts argv[0] (no search along PATH) with argv[1..argc-1] as its arguments,
// unchanged, inheriting the environment, the current directory and the
// standard streams; returns at once without waiting. |argv| must be
// null-terminated. Nothing is examined or reported: the log is closed by now.
void LaunchChild(int argc, char** argv);
