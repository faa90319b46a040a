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
//
// A polite request to stop (SIGINT, SIGTERM, SIGHUP) never stops an update
// half-way: from the start of the worker until the status file and the log
// are written, those signals are held; then the updater ends by the held
// signal, as the sender expects, and launches no callback. While it only waits
// for the application, nothing has changed yet and they act as usual.
#include <pthread.h>
#include <signal.h>

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

  // Blocked before the worker exists, so that it inherits the mask too.
  sigset_t stop_signals, old_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, &old_mask);

  pthread_t worker;
  const bool started = pthread_create(&worker, nullptr, UpdateThreadFunc, nullptr) == 0;
  if (started) {
    ShowProgressUI();
    pthread_join(worker, nullptr);
  }
  LogFinish();

  sigset_t pending;
  sigpending(&pending);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigismember(&pending, sig)) {
      // Ended by the held signal's default action once it is let through.
      signal(sig, SIG_DFL);
      pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
      raise(sig);
      return 128 + sig;  // only if the signal was ignored when we started
    }
  }
  // The callback must not inherit a mask that blocks them.
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  if (argc > 4) LaunchCallbackApp(argv[3], argc - 4, argv + 4);
  return 0;
}
