// The progress window's controller, written once against a small window
// platform, and the platform interface it drives.
//
// ShowProgressUI and UpdaterUI hold every decision (when to show a window, what
// it shows, when it goes, whether a close request is granted); a platform only
// carries out the operations below on a real toolkit. The real platform is a
// module loaded at run time from the program's folder, so that the updater runs
// where no toolkit is installed; tests pass a recording one instead.
//
// Everything here runs on the main thread. The worker is seen only through the
// progress channel (sProgressVal, sQuit).
#pragma once

#include "ui/strings_file.h"

class ProgressPlatform;
class ProgressTimer;  // a platform's repeating timer; opaque to the controller

// The window's title and info text, read by ShowProgressUI before the window
// exists and read afterwards by awakeFromNib.
extern StringTable sLabels;

// The controller: one instance per window, made by ShowProgressUI and handed
// to the platform when the interface file is loaded. Besides the platform that
// stands for the application and the window's outlets it holds no state; in
// particular no timer: the timer reaches it as the argument of every tick.
// The operations are virtual because the platform module calls them through
// the object it was given and must not need any symbol of the program.
class UpdaterUI {
 public:
  explicit UpdaterUI(ProgressPlatform* app) : mApp(app) {}
  virtual ~UpdaterUI() = default;
  UpdaterUI(const UpdaterUI&) = delete;
  UpdaterUI& operator=(const UpdaterUI&) = delete;

  // Once, when the interface file has been loaded: centres and titles the
  // window, shows the info text, sets the bar determinate at 0, starts the
  // 0.2 s timer and brings the application to the front.
  virtual void awakeFromNib();
  // Every tick of that timer. Once sQuit is seen: stops |timer|, activates and
  // hides the application and stops the event loop. Every tick, the quitting
  // one included, then sets the bar to sProgressVal.
  virtual void updateProgressUI(ProgressTimer* timer);
  // Whether the application may go now: only once the worker has quit.
  virtual bool applicationShouldTerminate(ProgressPlatform* sender);
  // The window system asks to close the window (a window manager's close
  // button). Refused while the update runs; once granted the window is hidden
  // and the event loop stopped, as at the quitting tick, but the process never
  // ends here: main still joins the worker and launches the callback. Returns
  // whether it was granted.
  virtual bool HandleCloseRequest();

 private:
  ProgressPlatform* mApp;
};

// What a window toolkit must achieve for the controller. A platform serves one
// window for the life of the process; none of its operations ends the process.
class ProgressPlatform {
 public:
  virtual ~ProgressPlatform() = default;

  // Makes the process's application object and connects to the window system.
  // Non-zero when no window can be shown here (no display, a display that does
  // not answer, a toolkit that cannot start); nothing else is called then.
  virtual int CreateApplication() = 0;
  // Loads the interface file |name| from |folder|: makes the window with its
  // bar and label, connects them to |owner|, then calls owner->awakeFromNib().
  // Window-system close requests go to owner->HandleCloseRequest() from then
  // on. Non-zero when the file cannot be loaded (then no window is shown and
  // awakeFromNib is not called).
  virtual int LoadInterface(const char* folder, const char* name, UpdaterUI* owner) = 0;
  // Runs the event loop, delivering window events and timer ticks, until
  // StopEventLoop; also returns when the window system goes away.
  virtual void RunEventLoop() = 0;
  // Makes RunEventLoop return once the callback that called this has returned.
  virtual void StopEventLoop() = 0;
  // Makes the application the active one and brings its window to the front.
  virtual void ActivateApplication() = 0;
  // Hides the application's window at once (it is not destroyed).
  virtual void HideApplication() = 0;

  virtual void CenterWindow() = 0;
  virtual void SetWindowTitle(const char* utf8) = 0;
  virtual void SetInfoText(const char* utf8) = 0;
  // A bar filled to the share of its 0..100 scale that its value gives.
  virtual void SetBarDeterminate() = 0;
  virtual void SetBarValue(double value) = 0;

  // A timer that first fires |seconds| after it is made and then every
  // |seconds|, calling target->updateProgressUI(timer) each time.
  virtual ProgressTimer* StartTimer(double seconds, UpdaterUI* target) = 0;
  // Stops |timer| for good and drops it; also allowed from within its own tick.
  virtual void StopTimer(ProgressTimer* timer) = 0;
};

// Opens the window platform that serves a program kept in |folder|. Null when
// there is none (no module there, or no toolkit to load it with).
typedef ProgressPlatform* (*OpenPlatformFn)(const char* folder);

// The module that ShowProgressUI uses: "updater_ui_gtk.so" in |folder|,
// loaded with dlopen.
ProgressPlatform* OpenPlatformModule(const char* folder);

// ShowProgressUI with the platform opener given, so that tests can pass a
// recording platform. |open| is called at most once, and only when a window is
// wanted and the strings file has been read.
int ShowProgressUIWith(OpenPlatformFn open);

// The module's interface, kept in one place for the loader and the module.
// The version changes whenever ProgressPlatform or UpdaterUI changes shape, so
// that a stale module beside a newer program is refused instead of called.
constexpr int kProgressPlatformVersion = 1;
#define UPDATER_UI_MODULE_FILE "updater_ui_gtk.so"
#define UPDATER_UI_MODULE_ENTRY "UpdaterUiCreatePlatform"
extern "C" {
typedef ProgressPlatform* (*CreatePlatformFn)(int version);
}
