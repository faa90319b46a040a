// The progress window end to end: the built updater with its window module, each test on an X server of its own
// (Xvfb picks a free display number and reports it). The window is looked at from outside, by its title (xdotool).
// The test skips, saying why, where the module or a tool is missing.
#include <atomic>

#include "updater_e2e.h"

using namespace testing_support;

namespace {

void SleepMillis(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class WindowTest : public UpdaterE2E {
 protected:
  void TearDown() override {
    if (mRunner.joinable()) mRunner.join();
    UpdaterE2E::TearDown();  // the X server goes with the other started processes
  }

  // The module and a private X server; "" or why not.
  std::string NeedWindow() {
    if (!Exists(Program("updater_ui_gtk.so"))) return "no window module built (GTK 3 was not found when configuring)";
    for (const char* tool : {"/usr/bin/Xvfb", "/usr/bin/xdotool"})
      if (access(tool, X_OK) != 0) return std::string(tool) + " is not installed";
    const std::string report = dir / "display";  // the display number and a line end, once the server listens
    mServer = Start({"/bin/sh", "-c", "exec Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>\"$0\"",
                     report});
    if (!Eventually([&] { return ReadFile(report).find('\n') != std::string::npos; }))
      return "Xvfb did not report a display";
    mDisplay = ReadFile(report).insert(0, 1, ':');
    mDisplay.resize(mDisplay.find('\n'));
    return "";
  }

  // Starts the program folder's updater on |files| slow files (none: a small one), with |extra| arguments.
  void StartUpdater(int files, const std::vector<std::string>& extra = {}) {
    files ? MakeSlowUpdate(files) : MakeUpdate("add \"small.txt\"\n", {{"small.txt", "small\n"}});
    std::vector<std::string> argv = {mProgram + "/updater", update, "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    unlink((update + "/update.log").c_str());
    mDone = false;
    mRunner = std::thread([this, argv] {
      mResult = RunProgram(argv, {install, {"DISPLAY=" + mDisplay, "WAYLAND_DISPLAY="}, 180});
      mDone = true;
    });
    // A tool started while the updater is forked could leak its output pipe into it: wait for the log.
    while (!mDone && !Exists(update + "/update.log")) SleepMillis(5);
  }

  // The update went as if no window had been there.
  void FinishAndExpectSuccess() {
    mRunner.join();
    EXPECT_EQ(0, mResult.signal) << mResult.err;
    EXPECT_EQ(0, mResult.exit_code) << mResult.err;
    EXPECT_EQ("succeeded\n", Status());
    const std::string log = Log(), last = "calling QuitProgressUI\n";
    EXPECT_EQ(last, log.substr(log.size() - std::min(log.size(), last.size())));
  }

  RunResult Tool(const std::vector<std::string>& argv) { return RunProgram(argv, {"", {"DISPLAY=" + mDisplay}, 60}); }
  std::string VisibleWindow(const std::string& title) {  // its id, or ""
    RunResult r = Tool({"/usr/bin/xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"});
    return r.exit_code == 0 ? r.out.substr(0, r.out.find('\n')) : "";
  }
  std::string WaitForWindow(const std::string& title) {  // polled while the updater runs
    std::string id;
    while (!mDone && (id = VisibleWindow(title)).empty()) SleepMillis(50);
    return id;
  }

  pid_t mServer = -1;
  std::string mDisplay, mProgram = dir / "program";
  std::thread mRunner;
  std::atomic<bool> mDone{true};
  RunResult mResult;
};

// A short update shows no window (it would only flash). A long one shows the strings file's title and refuses a
// close request; then the display is lost, which ends the window, not the update, and the callback gets its
// GTK-looking options unchanged.
TEST_F(WindowTest, ShowsTheStringsRefusesToCloseAndOutlivesItsDisplay) {
  if (std::string why = NeedWindow(); !why.empty()) GTEST_SKIP() << why;
  const std::string title = "Window Test Title", work = dir / "work";
  // A program folder of the test's own: a copy of the updater (a link would lead back to the build), its
  // interface file and module linked in, and a strings file with the title.
  WriteFile(mProgram + "/updater", ReadFile(Program("updater")), 0755);
  for (std::string name : {"MainMenu.ui", "updater_ui_gtk.so"})
    symlink(Program(name).c_str(), (mProgram + "/" + name).c_str());
  WriteFile(mProgram + "/updater.ini", "; strings\n\ntitle=" + title + "\ninfo=Copying the new files\n");
  StartUpdater(0);
  EXPECT_EQ("", WaitForWindow(title)) << "a window showed for a short update";
  FinishAndExpectSuccess();
  WriteFile(dir / "callback.sh", "#!/bin/sh\nprintf '%s\\n' \"$@\" > args.tmp && mv args.tmp args.txt\n", 0755);
  mkdir(work.c_str(), 0755);
  StartUpdater(40, {work, dir / "callback.sh", "--display", "x", "--name", "y", "--sync"});
  const std::string window = WaitForWindow(title);
  ASSERT_NE("", window) << "no window titled '" << title << "' while the update ran";
  // A close request as a window manager sends it (WM_DELETE_WINDOW), through libX11 itself.
  RunResult sent = Tool({"/usr/bin/python3", "-c", R"(import ctypes as C, sys
x = C.CDLL("libX11.so.6")
x.XOpenDisplay.restype = x.XInternAtom.restype = C.c_void_p
x.XInternAtom.argtypes = [C.c_void_p, C.c_char_p, C.c_int]
x.XSendEvent.argtypes = [C.c_void_p, C.c_ulong, C.c_int, C.c_long, C.c_void_p]
class ClientMessage(C.Structure):
    _fields_ = [("type", C.c_int), ("serial", C.c_ulong), ("send_event", C.c_int), ("display", C.c_void_p),
                ("window", C.c_ulong), ("message_type", C.c_ulong), ("format", C.c_int), ("l", C.c_long * 24)]
d, w = x.XOpenDisplay(None), int(sys.argv[1])
e = ClientMessage(33, 0, 1, d, w, x.XInternAtom(d, b"WM_PROTOCOLS", 0), 32)
e.l[0] = x.XInternAtom(d, b"WM_DELETE_WINDOW", 0)
sys.exit(not (x.XSendEvent(d, w, 0, 0, C.byref(e)) and x.XSync(d, 0))))", window});
  ASSERT_EQ(0, sent.exit_code) << sent.err;
  SleepMillis(1500);  // several ticks: left to GTK, the close request would have destroyed the window
  ASSERT_FALSE(mDone) << "the update ended too soon to tell";
  EXPECT_EQ(window, VisibleWindow(title)) << "the close request closed the window";
  ASSERT_EQ(kill(mServer, SIGKILL), 0);
  ASSERT_FALSE(mDone) << "the update ended too soon to tell";
  FinishAndExpectSuccess();
  EXPECT_TRUE(Eventually([&] { return Exists(work + "/args.txt"); }));
  EXPECT_EQ("--display\nx\n--name\ny\n--sync\n", ReadFile(work + "/args.txt"));
}

}  // namespace
