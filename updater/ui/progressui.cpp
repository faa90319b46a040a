// The progress window's decisions, free of any toolkit: whether a window is
// shown at all, what the controller does when the interface is loaded, at each
// tick and on a close request. The toolkit work is behind ProgressPlatform.
#include <stdio.h>   // snprintf
#include <string.h>  // strrchr
#include <unistd.h>  // usleep

#include <new>

#include "ui/progressui.h"
#include "ui/progressui_platform.h"

StringTable sLabels;

namespace {

constexpr int kWaitMicros = 500000;   // short updates end within this and show no window
constexpr int kWaitSliceMicros = 10000;
constexpr double kTickSeconds = 0.2;  // the bar follows the worker at most this far behind
constexpr char kInterfaceName[] = "MainMenu";

// The platform and the controller of the window, kept for as long as the
// toolkit may call them: the window is hidden at the end, never destroyed.
// Nothing reads sPlatform back, so it is volatile: an optimizer would drop the
// store, and the platform would then look lost to a leak checker.
ProgressPlatform* volatile sPlatform = nullptr;
UpdaterUI* sController = nullptr;

// Half a second for the worker to finish or pass half-way. The wait ends early
// once the worker has quit: the outcome (no window) is the same then, and a
// short update need not pay the rest of the half second.
void WaitForShortUpdate() {
  for (int waited = 0; waited < kWaitMicros; waited += kWaitSliceMicros) {
    if (sQuit.load(std::memory_order_relaxed)) return;
    usleep(kWaitSliceMicros);
  }
}

// The folder of the absolute program path into |folder| (of |size| bytes):
// everything before the last "/", "/" for a program in the root. -1 when it
// does not fit: a cut folder would name some other place.
int FormProgramFolder(char* folder, size_t size) {
  const char* slash = strrchr(sProgramPath, '/');
  int n;
  if (slash == sProgramPath)
    n = snprintf(folder, size, "/");
  else
    n = snprintf(folder, size, "%.*s", int(slash - sProgramPath), sProgramPath);
  return (n < 0 || size_t(n) >= size) ? -1 : 0;
}

}  // namespace

int ShowProgressUIWith(OpenPlatformFn open) {
  WaitForShortUpdate();

  // Each shared value is read once; whatever arrives later is the ticks' work.
  if (sQuit.load(std::memory_order_relaxed)) return 0;
  if (sProgressVal.load(std::memory_order_relaxed) > 50.0f) return 0;

  // A relative path would be taken from the current directory, which is the
  // installation: nothing is read or loaded from there.
  if (!sProgramPath || sProgramPath[0] != '/') return -1;
  char path[1024];
  int n = snprintf(path, sizeof path, "%s.ini", sProgramPath);
  // A cut name would read some other file, or none: no window either way.
  if (n < 0 || size_t(n) >= sizeof path) return -1;
  if (ReadStrings(path, &sLabels) != 0) return -1;

  // From here on a window that cannot be had is no failure of the update:
  // it runs on, unseen, and main joins it as usual.
  char folder[1024];
  if (FormProgramFolder(folder, sizeof folder) != 0) return 0;
  ProgressPlatform* app = open(folder);
  if (!app) return 0;
  sPlatform = app;
  if (app->CreateApplication() != 0) return 0;

  UpdaterUI* controller = new (std::nothrow) UpdaterUI(app);
  if (!controller) return 0;
  // Only tests show a second window in one process; the first one's platform
  // is gone by then and will never call its controller again.
  delete sController;
  sController = controller;

  if (app->LoadInterface(folder, kInterfaceName, controller) != 0) return 0;
  app->RunEventLoop();
  return 0;
}

int ShowProgressUI() { return ShowProgressUIWith(&OpenPlatformModule); }

void UpdaterUI::awakeFromNib() {
  mApp->CenterWindow();
  mApp->SetWindowTitle(sLabels.title);
  mApp->SetInfoText(sLabels.info);
  mApp->SetBarDeterminate();
  mApp->SetBarValue(0.0);
  // The timer is the only way the window ever goes: without one the event
  // loop would never stop and main would never get to join the worker.
  if (!mApp->StartTimer(kTickSeconds, this)) {
    mApp->HideApplication();
    mApp->StopEventLoop();
    return;
  }
  mApp->ActivateApplication();
}

void UpdaterUI::updateProgressUI(ProgressTimer* timer) {
  if (sQuit.load(std::memory_order_relaxed)) {
    mApp->StopTimer(timer);
    mApp->ActivateApplication();
    mApp->HideApplication();
    mApp->StopEventLoop();
  }
  mApp->SetBarValue(double(sProgressVal.load(std::memory_order_relaxed)));
}

bool UpdaterUI::applicationShouldTerminate(ProgressPlatform* sender) {
  (void)sender;
  return sQuit.load(std::memory_order_relaxed);
}

bool UpdaterUI::HandleCloseRequest() {
  if (!applicationShouldTerminate(mApp)) return false;
  mApp->HideApplication();
  mApp->StopEventLoop();
  return true;
}
