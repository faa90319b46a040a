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
// for the application, or for another run on the same update directory,
// nothing has changed yet and they act as usual. A signal that was ignored when
// the updater started (as under nohup) stays ignored.
#include <pthread.h>
#include <signal.h>

#include <cstdio>

#include "log.h"
#include "paths.h"
#include "run.h"
#include "ui/progressui.h"

namespace {
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
}  // namespace

int main(int argc, char** argv) {
  InitProgressUI(&argc, &argv);
  if (argc <= 2) {
    fputs("Usage: updater <dir-path> <parent-pid> [working-dir callback args...]\n", stderr);
    return 1;
  }
  WaitForProcess(ParsePid(argv[2]));
  gSourcePath = argv[1];
  // Before the log is opened: a run still at work keeps its log.
  LockUpdateDirectory();
  LogInit();

  // Blocked before the worker exists, so that it inherits the mask too. A
  // signal ignored from the start is left out: blocked, it would be kept
  // pending and then end the updater by its default action after all.
  sigset_t stop_signals, old_mask;
  sigemptyset(&stop_signals);
  for (int sig : kStopSignals) {
    struct sigaction action;
    if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
    sigaddset(&stop_signals, sig);
  }
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
  for (int sig : kStopSignals) {
    if (sigismember(&stop_signals, sig) && sigismember(&pending, sig)) {
      // Ended by the held signal's default action once it is let through.
      signal(sig, SIG_DFL);
      pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
      raise(sig);
      return 128 + sig;  // only if our caller keeps the signal blocked
    }
  }
  // The callback must not inherit a mask that blocks them.
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  if (argc > 4) LaunchCallbackApp(argv[3], argc - 4, argv + 4);
  return 0;
}
