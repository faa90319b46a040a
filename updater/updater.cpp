// The updater's entry point and run sequence.
//
//   updater <dir-path> <parent-pid> [working-dir callback args...]
//
// The main thread waits for the application that started it to end, opens the
// log, starts the worker, and shows the progress window while the worker
// applies update.zar from dir-path to the files below the current directory.
// Then it joins the worker, closes the log and launches the callback. The
// exit code is 0 whatever the outcome: the outcome is in update.status and
// update.log.
#include <pthread.h>

#include <cstdio>

#include "log.h"
#include "paths.h"
#include "run.h"
#include "ui/progressui.h"

int main(int argc, char** argv) {
  InitProgressUI(&argc, &argv);
  if (argc <= 2) {
    fputs("Usage: updater <dir-path> <parent-pid> [working-dir callback args...]\n", stderr);
    return 1;
  }
  WaitForProcess(ParsePid(argv[2]));
  gSourcePath = argv[1];
  LogInit();

  pthread_t worker;
  const bool started = pthread_create(&worker, nullptr, UpdateThreadFunc, nullptr) == 0;
  if (started) {
    ShowProgressUI();
    pthread_join(worker, nullptr);
  }
  LogFinish();
  if (argc > 4) LaunchCallbackApp(argv[3], argc - 4, argv + 4);
  return 0;
}
