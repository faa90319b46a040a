// The progress window end to end: the built updater with its window module, each test on an X server of its own
// (Xvfb picks a free display number and reports it). The window is looked at from outside: by its title
// (xdotool) and its pixels (ImageMagick's import); a close request is sent as a window manager would
// (WM_DELETE_WINDOW, through python3-xlib). Tests skip, saying why, where the module or a tool is missing.
#include <poll.h>

#include <atomic>
#include <cstring>

#include "updater_e2e.h"

using namespace testing_support;

namespace {

void SleepMillis(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class WindowTest : public UpdaterE2E {
 protected:
  void TearDown() override {
    if (mRunner.joinable()) mRunner.join();
    if (mServer > 0) kill(mServer, SIGCONT), kill(mServer, SIGKILL), waitpid(mServer, nullptr, 0);
  }

  // The module and a private X server; "" or why not.
  std::string NeedWindow() {
    if (!Exists(Program("updater_ui_gtk.so"))) return "no window module built (GTK 3 was not found when configuring)";
    for (const char* tool : {"/usr/bin/Xvfb", "/usr/bin/xdotool", "/usr/bin/import"})
      if (access(tool, X_OK) != 0) return std::string(tool) + " is not installed";
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return strerror(errno);
    const int report_fd = fcntl(fds[1], F_DUPFD, 10);  // the one descriptor the server inherits
    if ((mServer = fork()) == 0) {
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 0), dup2(null_fd, 1), dup2(null_fd, 2);
      execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", std::to_string(report_fd).c_str(), "-screen", "0", "800x600x24",
            "-nolisten", "tcp", "-noreset", nullptr);
      _exit(127);
    }
    close(report_fd), close(fds[1]);
    struct pollfd ready = {fds[0], POLLIN, 0};
    char c;
    while (poll(&ready, 1, 20000) > 0 && read(fds[0], &c, 1) == 1 && isdigit(c)) mDisplay += c;
    close(fds[0]);
    if (mDisplay.empty()) return "Xvfb did not report a display";
    mDisplay = ":" + mDisplay;
    return "";
  }

  // A program folder of the test's own: a copy of the updater (a link would lead back to the build), its
  // interface file and module linked in, and a strings file with |title|.
  void MakeProgramFolder(const std::string& title, const std::string& info, bool module = true, bool strings = true) {
    mProgram = dir / "program";
    WriteFile(mProgram + "/updater", ReadFile(Program("updater")), 0755);
    for (std::string name : {"MainMenu.ui", "updater_ui_gtk.so"})
      if (module || name == "MainMenu.ui") symlink(Program(name).c_str(), (mProgram + "/" + name).c_str());
    if (strings) WriteFile(mProgram + "/updater.ini", "; strings\n\ntitle=" + title + "\ninfo=" + info + "\n");
  }

  // Starts the program folder's updater on |files| slow files (none: a small one), with |display| and |extra|.
  void StartUpdater(const std::string& display, int files, const std::vector<std::string>& extra = {}) {
    files ? MakeSlowUpdate(files) : MakeUpdate("add \"small.txt\"\n", {{"small.txt", "small\n"}});
    std::vector<std::string> argv = {mProgram + "/updater", update, "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    unlink((update + "/update.log").c_str());
    mDone = false;
    mRunner = std::thread([this, argv, display] {
      mResult = RunProgram(argv, {install, {"DISPLAY=" + display, "WAYLAND_DISPLAY="}, 180});
      mDone = true;
    });
    // A tool started while the updater is forked could leak its output pipe into it: wait for the log.
    while (!mDone && !Exists(update + "/update.log")) SleepMillis(5);
  }

  // The update went as if no window had been there (or ended by |signal|).
  void FinishAndExpectSuccess(int signal = 0) {
    mRunner.join();
    EXPECT_EQ(signal, mResult.signal) << mResult.err;
    EXPECT_EQ(0, mResult.exit_code * !signal) << mResult.err;
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
  int FilledPixels(const std::string& window) {  // of the bar: the theme's strongly blue highlight
    const std::string path = dir / "capture.ppm";
    EXPECT_EQ(0, Tool({"/usr/bin/import", "-window", window, "-depth", "8", "ppm:" + path}).exit_code);
    const std::string ppm = ReadFile(path);
    int width = 0, height = 0, maxval = 0, used = 0, count = 0;
    if (sscanf(ppm.c_str(), "P6 %d %d %d%n", &width, &height, &maxval, &used) != 3 || maxval != 255) return -1;
    for (size_t i = used + 1; i + 2 < ppm.size(); i += 3)
      count += (unsigned char)ppm[i + 2] > 150 && (unsigned char)ppm[i + 2] - (unsigned char)ppm[i] > 60;
    return count;
  }

  pid_t mServer = -1;
  std::string mDisplay, mProgram;
  std::thread mRunner;
  std::atomic<bool> mDone{true};
  RunResult mResult;
};

#define NEED_WINDOW()                                                   \
  if (std::string why = NeedWindow(); !why.empty()) GTEST_SKIP() << why

// One run watched all along: the strings file's title, a bar that advances, a close request refused; then the
// display is lost, which ends the window, not the update, and the callback gets its GTK-looking options unchanged.
TEST_F(WindowTest, ShowsTheStringsRefusesToCloseAndOutlivesItsDisplay) {
  NEED_WINDOW();
  if (RunProgram({"/usr/bin/python3", "-c", "import Xlib"}).exit_code != 0) GTEST_SKIP() << "no python3-xlib";
  const std::string title = "Window Test Title", work = dir / "work";
  MakeProgramFolder(title, "Copying the new files into place now");
  WriteFile(dir / "callback.sh", "#!/bin/sh\nprintf '%s\\n' \"$@\" > args.tmp && mv args.tmp args.txt\n", 0755);
  mkdir(work.c_str(), 0755);
  StartUpdater(mDisplay, 40, {work, dir / "callback.sh", "--display", "x", "--name", "y", "--sync"});
  const std::string window = WaitForWindow(title);
  ASSERT_NE("", window) << "no window titled '" << title << "' while the update ran";
  const int filled = FilledPixels(window);
  RunResult sent = Tool({"/usr/bin/python3", "-c",
                         "import sys\nfrom Xlib import X, display, protocol\nd = display.Display()\n"
                         "w = d.create_resource_object('window', int(sys.argv[1]))\n"
                         "w.send_event(protocol.event.ClientMessage(window=w, client_type=d.intern_atom('WM_PROTOCOLS'),"
                         " data=(32, [d.intern_atom('WM_DELETE_WINDOW'), X.CurrentTime, 0, 0, 0])),"
                         " event_mask=X.NoEventMask)\nd.sync()\n", window});
  ASSERT_EQ(0, sent.exit_code) << sent.err;
  SleepMillis(1500);  // several ticks: left to GTK, the close request would have destroyed the window
  ASSERT_FALSE(mDone) << "the update ended too soon to tell";
  EXPECT_EQ(window, VisibleWindow(title));
  EXPECT_GT(FilledPixels(window), filled) << "the bar did not advance in 1.5 s";
  EXPECT_LT(filled, 800 * 8) << "the bar is far wider than what one tick adds";
  kill(mServer, SIGKILL), waitpid(mServer, nullptr, 0), mServer = -1;
  ASSERT_FALSE(mDone) << "the update ended too soon to tell";
  FinishAndExpectSuccess();
  EXPECT_TRUE(Eventually([&] { return Exists(work + "/args.txt"); }));
  EXPECT_EQ("--display\nx\n--name\ny\n--sync\n", ReadFile(work + "/args.txt"));
}

// With the window up, a termination request is held like any other, and then ends the run without a callback.
TEST_F(WindowTest, TerminationRequestIsHeld) {
  NEED_WINDOW();
  MakeProgramFolder("Held", "held");
  WriteFile(dir / "callback.sh", "#!/bin/sh\ntouch " + dir / "callback-ran" + "\n", 0755);
  StartUpdater(mDisplay, 20, {dir.path(), dir / "callback.sh"});
  const std::string id = WaitForWindow("Held");
  ASSERT_NE("", id) << "no window showed";
  RunResult pid = Tool({"/usr/bin/xdotool", "getwindowpid", id});
  ASSERT_EQ(0, kill(pid_t(std::stol(pid.out)), SIGTERM)) << pid.err;
  ASSERT_FALSE(mDone) << "the update ended too soon to tell";
  FinishAndExpectSuccess(SIGTERM);
  SleepMillis(200);
  EXPECT_FALSE(Exists(dir / "callback-ran")) << "no callback after a termination request";
}

// Every way to have no window: the update still completes, and no window shows.
TEST_F(WindowTest, NoWindowButTheUpdateCompletes) {
  NEED_WINDOW();
  const struct { const char* name; bool module, strings; int files; std::string display; bool stop; } cases[] = {
      {"no module", false, true, 12, "server", false},
      {"no strings file", true, false, 12, "server", false},
      {"an update over before the window's half second", true, true, 0, "server", false},
      {"a display that does not answer", true, true, 12, "server", true},
      {"no display", true, true, 12, "", false},
      {"a display that is not there", true, true, 12, ":9999", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    std::filesystem::remove_all(dir / "program");
    MakeProgramFolder("No Window Test", "never seen", c.module, c.strings);
    if (c.stop) kill(mServer, SIGSTOP);  // a stopped server accepts the connection and never greets the client
    StartUpdater(c.display == "server" ? mDisplay : c.display, c.files);
    if (!c.stop) {
      EXPECT_EQ("", WaitForWindow("No Window Test")) << "a window showed";
    }
    FinishAndExpectSuccess();
    if (c.stop) kill(mServer, SIGCONT);
  }
}

}  // namespace
