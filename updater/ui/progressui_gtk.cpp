// The window platform on GTK 3 under X11, built as a module that the program
// loads at run time (see progressui_module.cpp); the program links no toolkit.
//
// A window must never endanger the update it shows, and a toolkit left to
// itself would: GDK ends the process when the display connection is lost or
// an unexpected X error arrives, XOpenDisplay blocks for good on a display that
// does not answer, gtk_init takes options such as --display out of a command
// line, sets the process locale while the worker runs, and a write to a dead
// display raises SIGPIPE. Each of these is headed off below; when no window
// can be had the platform says so and the update goes on unseen.
//
// All of this runs on the main thread, but for the display probe below.
#include <errno.h>
#include <fcntl.h>  // O_CLOEXEC
#include <math.h>   // lround
#include <poll.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>   // snprintf
#include <stdlib.h>  // getenv, setenv, unsetenv
#include <unistd.h>

#include <new>

#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include "ui/progressui_platform.h"

class ProgressTimer {
 public:
  UpdaterUI* mTarget = nullptr;
  guint mSource = 0;
};

namespace {

// How long a display may take to greet a new client before it counts as one
// that does not answer. Generous, for a loaded machine: the worker goes on
// meanwhile, and only a process whose update is already over waits for it.
constexpr int kDisplayProbeMillis = 5000;

// ---- Surviving the display --------------------------------------------------
//
// Every call into the toolkit runs inside Guarded(). If the X connection breaks
// there, Xlib calls its I/O error handler, which must not return (Xlib would
// exit then). Ours jumps back to the guard instead, which reports the loss; the
// platform then touches the toolkit no more, its event loop is over, and main
// goes on to join the worker, close the log and launch the callback. The frames
// jumped over are the toolkit's and the controller's, which own nothing that a
// destructor would have to release.

sigjmp_buf sGuardJump;
bool sGuardArmed = false;
bool sDisplayLost = false;

int OnDisplayLost(Display*) {
  sDisplayLost = true;
  if (sGuardArmed) {
    sGuardArmed = false;
    siglongjmp(sGuardJump, 1);
  }
  // Unreachable while the toolkit is used only under a guard; should it ever
  // happen, the exit handler below keeps the process alive all the same.
  return 0;
}

// Called by Xlib after the I/O error handler; the default one ends the process.
// Returning leaves the connection marked dead and its later calls failing.
void KeepProcessOnDisplayLoss(Display*, void*) {}

// Runs |body| under the display guard. False when the display was lost during
// it. SIGPIPE from a write to a dead display is held back on this thread (a
// write-raised SIGPIPE goes to the thread that wrote) and discarded afterwards,
// so that neither the process nor the callback, which inherits the signal mask,
// is touched by it.
template <typename Body>
bool Guarded(Body body) {
  if (sDisplayLost) return false;
  sigset_t pipe_set, old_mask;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_mask);

  if (sigsetjmp(sGuardJump, 0) == 0) {
    sGuardArmed = true;
    body();
  }
  sGuardArmed = false;

  if (!sigismember(&old_mask, SIGPIPE)) {
    const struct timespec no_wait = {0, 0};
    while (sigtimedwait(&pipe_set, nullptr, &no_wait) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  return !sDisplayLost;
}

// ---- A display that does not answer ----------------------------------------
//
// XOpenDisplay waits for the server's greeting with no time limit, and a
// stopped or wedged server never sends it: gtk_init would hold the main thread
// for good and main would never join the worker. So the display is asked first
// on a thread of its own. If it does not answer in time that thread is left
// behind, blocked, with the pipe it would report on, and no window is shown;
// the toolkit is then never touched from this thread, so the two never share
// Xlib.

int sProbePipe[2] = {-1, -1};

// The probe's connection may die between its opening and its closing; Xlib's
// default handlers would end the process then.
int IgnoreProbeDisplayLoss(Display*) { return 0; }

void* ProbeDisplay(void*) {
  Display* display = XOpenDisplay(nullptr);
  const char answered = display ? 1 : 0;
  if (display) {
    XSetIOErrorExitHandler(display, KeepProcessOnDisplayLoss, nullptr);
    XCloseDisplay(display);
  }
  ssize_t written = write(sProbePipe[1], &answered, 1);
  (void)written;  // the reader treats no byte as no answer
  return nullptr;
}

bool DisplayAnswers() {
  if (pipe2(sProbePipe, O_CLOEXEC) != 0) return false;
  // GDK puts its own in place when gtk_init opens the display, and ours
  // follow at once (OnDisplayOpened).
  XSetIOErrorHandler(IgnoreProbeDisplayLoss);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, ProbeDisplay, nullptr) != 0) {
    close(sProbePipe[0]);
    close(sProbePipe[1]);
    return false;
  }
  pthread_detach(thread);

  struct pollfd ready = {sProbePipe[0], POLLIN, 0};
  int n;
  do {
    n = poll(&ready, 1, kDisplayProbeMillis);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;  // the pipe stays open for the thread left behind

  char answered = 0;
  if (read(sProbePipe[0], &answered, 1) != 1) answered = 0;
  close(sProbePipe[0]);
  close(sProbePipe[1]);
  return answered == 1;
}

// ---- The platform -----------------------------------------------------------

gboolean OnTick(gpointer data) {
  ProgressTimer* timer = static_cast<ProgressTimer*>(data);
  // The tick may stop this very timer; GLib frees it (DropTimer) only after
  // this callback has returned, and it is not touched here after the call.
  timer->mTarget->updateProgressUI(timer);
  return G_SOURCE_CONTINUE;
}

void DropTimer(gpointer data) { delete static_cast<ProgressTimer*>(data); }

// Text the window shows must be UTF-8 for GTK; anything else is shown with its
// bad bytes replaced rather than refused.
template <typename Setter>
void WithValidUtf8(const char* text, Setter set) {
  if (g_utf8_validate(text, -1, nullptr)) {
    set(text);
    return;
  }
  gchar* valid = g_utf8_make_valid(text, -1);
  set(valid);
  g_free(valid);
}

class GtkPlatform final : public ProgressPlatform {
 public:
  int CreateApplication() override;
  int LoadInterface(const char* folder, const char* name, UpdaterUI* owner) override;
  void RunEventLoop() override;
  void StopEventLoop() override;
  void ActivateApplication() override;
  void HideApplication() override;
  void CenterWindow() override;
  void SetWindowTitle(const char* utf8) override;
  void SetInfoText(const char* utf8) override;
  void SetBarDeterminate() override;
  void SetBarValue(double value) override;
  ProgressTimer* StartTimer(double seconds, UpdaterUI* target) override;
  void StopTimer(ProgressTimer* timer) override;

 private:
  static gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer self);
  bool HasWindow() const { return mWindow && !sDisplayLost; }

  GtkBuilder* mBuilder = nullptr;  // owns the window's widgets; never released
  GtkWindow* mWindow = nullptr;
  GtkProgressBar* mBar = nullptr;
  GtkLabel* mLabel = nullptr;
  UpdaterUI* mOwner = nullptr;
  bool mLoopRunning = false;
  bool mStopRequested = false;
};

// Runs inside gtk_init, as soon as GDK has opened the display and installed
// its own handlers, which end the process; ours replace them there, so that
// the rest of the toolkit's start-up is already covered.
void OnDisplayOpened(GdkDisplayManager*, GdkDisplay* display, gpointer) {
  if (!GDK_IS_X11_DISPLAY(display)) return;
  XSetIOErrorHandler(OnDisplayLost);
  XSetIOErrorExitHandler(GDK_DISPLAY_XDISPLAY(display), KeepProcessOnDisplayLoss, nullptr);
  // GDK also ends the process on an X error that nobody trapped (a window
  // that a window manager destroyed at the wrong moment, say). A trap that is
  // never popped catches whatever the toolkit's own, inner traps do not.
  gdk_x11_display_error_trap_push(display);
}

int GtkPlatform::CreateApplication() {
  if (!DisplayAnswers()) return -1;

  // Only X11: there a lost connection can be survived (see Guarded).
  gdk_set_allowed_backends("x11");
  // The locale is process-wide, and the worker is running.
  gtk_disable_setlocale();
  // Without a command line GTK has no program name for the window's class.
  g_set_prgname("updater");
  g_signal_connect(gdk_display_manager_get(), "display-opened", G_CALLBACK(OnDisplayOpened), nullptr);
  // A progress bar has no use for GL, and probing it at start-up is most of
  // gtk_init's talk with the server; a server that goes away meanwhile has
  // been seen to crash the GL library. GDK reads this once, in gtk_init; it is
  // removed again because the callback inherits the environment.
  const bool gl_disabled_here = !getenv("GDK_GL") && setenv("GDK_GL", "disable", 0) == 0;

  bool started = false;
  bool kept = Guarded([&] {
    // No command line: GTK would take its own options (--display, --name...)
    // out of it, and those arguments belong to the callback.
    if (!gtk_init_check(nullptr, nullptr)) return;
    GdkDisplay* display = gdk_display_get_default();
    started = display && GDK_IS_X11_DISPLAY(display);
  });
  if (gl_disabled_here) unsetenv("GDK_GL");
  return kept && started ? 0 : -1;
}

int GtkPlatform::LoadInterface(const char* folder, const char* name, UpdaterUI* owner) {
  char path[1024];
  int n = snprintf(path, sizeof path, "%s/%s.ui", folder, name);
  if (n < 0 || size_t(n) >= sizeof path) return -1;

  bool loaded = false;
  bool kept = Guarded([&] {
    GtkBuilder* builder = gtk_builder_new();
    GError* error = nullptr;
    if (!gtk_builder_add_from_file(builder, path, &error)) {
      g_clear_error(&error);
      g_object_unref(builder);
      return;
    }
    GObject* window = gtk_builder_get_object(builder, "window");
    GObject* bar = gtk_builder_get_object(builder, "progressBar");
    GObject* label = gtk_builder_get_object(builder, "progressTextField");
    if (!GTK_IS_WINDOW(window) || !GTK_IS_PROGRESS_BAR(bar) || !GTK_IS_LABEL(label)) {
      // Toplevels are held by GTK itself, not by the builder.
      if (GTK_IS_WIDGET(window)) gtk_widget_destroy(GTK_WIDGET(window));
      g_object_unref(builder);
      return;
    }
    mBuilder = builder;
    mWindow = GTK_WINDOW(window);
    mBar = GTK_PROGRESS_BAR(bar);
    mLabel = GTK_LABEL(label);
    mOwner = owner;
    g_signal_connect(window, "delete-event", G_CALLBACK(OnDeleteEvent), this);
    loaded = true;
    owner->awakeFromNib();
  });
  return kept && loaded ? 0 : -1;
}

void GtkPlatform::RunEventLoop() {
  if (!HasWindow() || mStopRequested) return;
  Guarded([&] {
    mLoopRunning = true;
    gtk_main();
    mLoopRunning = false;
  });
}

void GtkPlatform::StopEventLoop() {
  mStopRequested = true;
  if (mLoopRunning && !sDisplayLost) gtk_main_quit();
}

void GtkPlatform::ActivateApplication() {
  if (HasWindow()) gtk_window_present(mWindow);
}

void GtkPlatform::HideApplication() {
  if (!HasWindow()) return;
  gtk_widget_hide(GTK_WIDGET(mWindow));
  // The event loop is about to stop, and nothing would send the unmap to the
  // server before the process has moved on to the callback.
  gdk_display_flush(gtk_widget_get_display(GTK_WIDGET(mWindow)));
}

void GtkPlatform::CenterWindow() {
  if (HasWindow()) gtk_window_set_position(mWindow, GTK_WIN_POS_CENTER);
}

void GtkPlatform::SetWindowTitle(const char* utf8) {
  if (HasWindow()) WithValidUtf8(utf8, [this](const char* text) { gtk_window_set_title(mWindow, text); });
}

void GtkPlatform::SetInfoText(const char* utf8) {
  if (HasWindow()) WithValidUtf8(utf8, [this](const char* text) { gtk_label_set_text(mLabel, text); });
}

void GtkPlatform::SetBarDeterminate() {
  // A GTK bar is indeterminate only while pulsed; setting a fraction ends that.
  if (HasWindow()) gtk_progress_bar_set_fraction(mBar, gtk_progress_bar_get_fraction(mBar));
}

void GtkPlatform::SetBarValue(double value) {
  if (!HasWindow()) return;
  double fraction = value / 100.0;
  if (!(fraction >= 0.0)) fraction = 0.0;  // also NaN
  if (fraction > 1.0) fraction = 1.0;
  gtk_progress_bar_set_fraction(mBar, fraction);
}

ProgressTimer* GtkPlatform::StartTimer(double seconds, UpdaterUI* target) {
  if (sDisplayLost) return nullptr;
  ProgressTimer* timer = new (std::nothrow) ProgressTimer;
  if (!timer) return nullptr;
  timer->mTarget = target;
  timer->mSource = g_timeout_add_full(G_PRIORITY_DEFAULT, guint(lround(seconds * 1000.0)), OnTick, timer, DropTimer);
  return timer;
}

void GtkPlatform::StopTimer(ProgressTimer* timer) {
  if (timer && !sDisplayLost) g_source_remove(timer->mSource);
}

gboolean GtkPlatform::OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer self) {
  static_cast<GtkPlatform*>(self)->mOwner->HandleCloseRequest();
  // Always handled here: GTK must not destroy the window; a granted request
  // has hidden it instead.
  return TRUE;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) ProgressPlatform* UpdaterUiCreatePlatform(int version) {
  if (version != kProgressPlatformVersion) return nullptr;
  return new (std::nothrow) GtkPlatform;
}
