// The progress window end to end: the built updater with its window module,
// each test on an X server of its own (Xvfb picks a free display number and
// reports it, so tests running in parallel never meet). The window is looked
// at from outside, as a person would: by its title (xdotool), by its pixels
// (ImageMagick's import) and, where tesseract is installed, by the text it
// shows. Close requests are sent as a window manager would (WM_DELETE_WINDOW,
// through python3-xlib).
//
// Every test skips, saying why, where the window module was not built or the
// X tools are missing; the updater's own outcome is checked in every run.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <iostream>
#include <thread>

#include "common/zar_writer.h"
#include "updater_e2e.h"

using namespace testing_support;

namespace {

constexpr char kModule[] = "updater_ui_gtk.so";

// The first executable |name| along PATH, or "".
std::string FindProgram(const std::string& name) {
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

void SleepMillis(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A private X server. Start() returns why it could not start, or "".
class XServer {
 public:
  ~XServer() { Kill(); }

  std::string Start() {
    std::string xvfb = FindProgram("Xvfb");
    if (xvfb.empty()) return "Xvfb is not installed";
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return std::string("pipe: ") + strerror(errno);
    // The one descriptor the server inherits, to write its display number to.
    int report_fd = fcntl(fds[1], F_DUPFD, 10);
    std::string report_arg = std::to_string(report_fd);
    mPid = fork();
    if (mPid == 0) {
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      execl(xvfb.c_str(), "Xvfb", "-displayfd", report_arg.c_str(), "-screen", "0", "800x600x24", "-nolisten",
            "tcp", "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(report_fd);
    close(fds[1]);
    std::string number;
    struct pollfd ready = {fds[0], POLLIN, 0};
    char c;
    while (poll(&ready, 1, 20000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty() || !std::all_of(number.begin(), number.end(), ::isdigit)) {
      Kill();
      return "Xvfb did not report a display";
    }
    mDisplay = ":" + number;
    return "";
  }

  const std::string& display() const { return mDisplay; }
  void Signal(int sig) {
    if (mPid > 0) kill(mPid, sig);
  }
  void Kill() {
    if (mPid <= 0) return;
    kill(mPid, SIGCONT);
    kill(mPid, SIGKILL);
    waitpid(mPid, nullptr, 0);
    mPid = -1;
  }

 private:
  pid_t mPid = -1;
  std::string mDisplay;
};

// An RGB picture as ImageMagick writes it in binary PPM.
struct Picture {
  int width = 0, height = 0;
  std::string rgb;
};

Picture ParsePpm(const std::string& data) {
  Picture p;
  int maxval = 0, used = 0;
  if (sscanf(data.c_str(), "P6 %d %d %d%n", &p.width, &p.height, &maxval, &used) != 3 || maxval != 255) return {};
  size_t offset = size_t(used) + 1;  // one whitespace byte ends the header
  size_t size = size_t(p.width) * size_t(p.height) * 3;
  if (data.size() < offset + size) return {};
  p.rgb = data.substr(offset, size);
  return p;
}

// Pixels of the bar's filled part: the theme's strongly blue highlight, which
// nothing else in the window (grey background, dark text) comes near.
int CountFilledPixels(const Picture& p) {
  int count = 0;
  for (size_t i = 0; i + 2 < p.rgb.size(); i += 3) {
    int r = static_cast<unsigned char>(p.rgb[i]), b = static_cast<unsigned char>(p.rgb[i + 2]);
    if (b > 150 && b - r > 60) ++count;
  }
  return count;
}

// Lower-case letters and digits only, for comparing recognised text.
std::string Letters(const std::string& s) {
  std::string out;
  for (char c : s)
    if (std::isalnum(static_cast<unsigned char>(c))) out += char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

class WindowTest : public UpdaterE2E {
 protected:
  void SetUp() override {
    UpdaterE2E::SetUp();
    mBin = BinDir();
    ASSERT_TRUE(Exists(mBin + "/updater")) << "no updater built in " << mBin;
  }

  void TearDown() override {
    if (mRunner.joinable()) mRunner.join();
  }

  // What each window test needs: the module and a server; false after skipping.
  bool NeedWindow() {
    if (!Exists(mBin + "/" + kModule)) {
      mSkip = "no window module in " + mBin + " (GTK 3 was not found when configuring)";
      return false;
    }
    mXdotool = FindProgram("xdotool");
    if (mXdotool.empty()) {
      mSkip = "xdotool is not installed";
      return false;
    }
    std::string why = mServer.Start();
    if (!why.empty()) {
      mSkip = why;
      return false;
    }
    return true;
  }

  // A program folder of the test's own: a copy of the built updater (the
  // updater finds its folder from its executable, so a link would lead back
  // to the build), its module (unless |with_module| is false) and interface
  // file linked in, and a strings file with |title| and |info|.
  void MakeProgramFolder(const std::string& title, const std::string& info, bool with_module = true) {
    mProgramDir = dir / "program";
    mkdir(mProgramDir.c_str(), 0755);
    WriteFile(mProgramDir + "/updater", ReadFile(mBin + "/updater"), 0755);
    std::vector<std::string> linked = {"MainMenu.ui"};
    if (with_module) linked.push_back(kModule);
    for (const std::string& name : linked)
      ASSERT_EQ(0, symlink((mBin + "/" + name).c_str(), (mProgramDir + "/" + name).c_str())) << name;
    WriteFile(mProgramDir + "/updater.ini", "; strings for the window test\n\ntitle=" + title + "\ninfo=" + info + "\n");
  }

  // An update that takes the updater some seconds, with a progress value
  // posted per file.
  void MakeLongUpdate(int count = 40) {
    MakeSlowUpdate(count);
    mFileCount = count;
  }

  // Starts the updater from the program folder (or the build folder) on the
  // update, with |display| ("" for none) and |extra| arguments after parent-pid.
  void StartUpdater(const std::string& display, const std::vector<std::string>& extra = {}) {
    std::string program = (mProgramDir.empty() ? mBin : mProgramDir) + "/updater";
    std::vector<std::string> argv = {program, update, "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    RunOptions options;
    options.cwd = install;
    options.env = {"DISPLAY=" + display, "WAYLAND_DISPLAY="};
    options.timeout_seconds = 180;
    unlink((update + "/update.log").c_str());
    mDone = false;
    mRunner = std::thread([this, argv, options] {
      mResult = RunProgram(argv, options);
      mDone = true;
    });
    // RunProgram's pipes are inheritable: a tool started while the updater is
    // being forked could leak its output pipe into the updater and then wait
    // for the updater's end. The log exists once the updater runs.
    while (!mDone && !Exists(update + "/update.log")) SleepMillis(5);
  }

  // Waits for the updater and checks that the update itself went as if no
  // window had been there: exit 0, the status, the closing log line, every
  // file installed.
  void FinishAndExpectSuccess() {
    mRunner.join();
    EXPECT_EQ(0, mResult.signal) << mResult.err;
    EXPECT_EQ(0, mResult.exit_code) << mResult.err;
    EXPECT_EQ("succeeded\n", Status());
    std::string log = Log();
    const std::string last = "calling QuitProgressUI\n";
    EXPECT_TRUE(log.size() >= last.size() && log.compare(log.size() - last.size(), last.size(), last) == 0) << log;
    for (int i = 0; i < mFileCount; ++i)
      EXPECT_EQ(size_t(2 << 20), ReadFile(install + "/data/file" + std::to_string(i) + ".bin").size()) << i;
  }

  RunResult Tool(const std::vector<std::string>& argv) {
    RunOptions options;
    options.env = {"DISPLAY=" + mServer.display()};
    return RunProgram(argv, options);
  }

  // The id of the visible window titled exactly |title|, or "".
  std::string VisibleWindow(const std::string& title) {
    RunResult r = Tool({mXdotool, "search", "--onlyvisible", "--name", "^" + title + "$"});
    return r.exit_code == 0 ? r.out.substr(0, r.out.find('\n')) : "";
  }

  // Polls for the window while the updater runs; "" if it never showed.
  std::string WaitForWindow(const std::string& title) {
    while (!mDone) {
      std::string id = VisibleWindow(title);
      if (!id.empty()) return id;
      SleepMillis(50);
    }
    return "";
  }

  // Runs the update on the test's server and watches, for as long as the
  // updater runs, that no window titled |title| ever shows.
  void RunExpectingNoWindow(const std::string& title) {
    StartUpdater(mServer.display());
    EXPECT_EQ("", WaitForWindow(title)) << "a window showed";
    FinishAndExpectSuccess();
  }

  Picture Capture(const std::string& window) {
    std::string path = dir / ("capture-" + std::to_string(mCaptures++) + ".ppm");
    RunResult r = Tool({FindProgram("import"), "-window", window, "-depth", "8", "ppm:" + path});
    EXPECT_EQ(0, r.exit_code) << r.err;
    return ParsePpm(ReadFile(path));
  }

  std::string mBin, mProgramDir, mXdotool, mSkip;
  XServer mServer;
  std::thread mRunner;
  std::atomic<bool> mDone{true};
  RunResult mResult;
  int mFileCount = 0;
  int mCaptures = 0;
};

#define NEED_WINDOW()                       \
  do {                                      \
    if (!NeedWindow()) GTEST_SKIP() << mSkip; \
  } while (0)

TEST_F(WindowTest, ShowsStringsFileTitleAndInfoThenGoesAway) {
  NEED_WINDOW();
  const std::string title = "Window Test Title";
  const std::string info = "Copying the new files into place now";
  MakeProgramFolder(title, info);
  MakeLongUpdate();
  StartUpdater(mServer.display());

  std::string window = WaitForWindow(title);
  ASSERT_FALSE(window.empty()) << "no window titled '" << title << "' while the update ran";
  RunResult name = Tool({mXdotool, "getwindowname", window});
  EXPECT_EQ(title + "\n", name.out);

  // A copy of the window as a person sees it, kept in the build folder.
  std::string import = FindProgram("import");
  if (!import.empty()) {
    EXPECT_EQ(0, Tool({import, "-window", window, mBin + "/../window.png"}).exit_code);
  }

  std::string tesseract = FindProgram("tesseract");
  if (!import.empty() && !tesseract.empty()) {
    // Enlarged and grey, the label reads reliably.
    std::string big = dir / "window-large.png";
    ASSERT_EQ(0, Tool({import, "-window", window, "-resize", "300%", "-colorspace", "Gray", big}).exit_code);
    RunResult text = Tool({tesseract, big, "-"});
    EXPECT_NE(std::string::npos, Letters(text.out).find(Letters(info))) << "the window reads: " << text.out;
  } else {
    std::cerr << "ImageMagick or tesseract is not installed: the info text is not read back\n";
  }

  FinishAndExpectSuccess();
  // Hidden at the quitting tick, then gone with the process.
  RunResult left = Tool({mXdotool, "search", "--name", "^" + title + "$"});
  EXPECT_EQ("", left.out);
}

TEST_F(WindowTest, BarAdvancesWhileTheUpdateRuns) {
  NEED_WINDOW();
  if (FindProgram("import").empty()) GTEST_SKIP() << "ImageMagick's import is not installed";
  const std::string title = "Bar Test";
  MakeProgramFolder(title, "Watching the bar");
  MakeLongUpdate();
  StartUpdater(mServer.display());

  std::string window = WaitForWindow(title);
  ASSERT_FALSE(window.empty());
  Picture first = Capture(window);
  SleepMillis(1500);
  Picture second = Capture(window);
  ASSERT_GT(first.width, 0);
  ASSERT_EQ(first.width, second.width);
  ASSERT_EQ(first.height, second.height);
  int filled_first = CountFilledPixels(first), filled_second = CountFilledPixels(second);
  EXPECT_GT(filled_second, filled_first) << "the bar did not advance in 1.5 s";
  // The whole bar is far wider than what one tick adds: it is not full yet.
  EXPECT_LT(filled_first, first.width * 8);

  FinishAndExpectSuccess();
}

TEST_F(WindowTest, CloseRequestIsRefusedWhileTheUpdateRuns) {
  NEED_WINDOW();
  const std::string python = "/usr/bin/python3";
  if (RunProgram({python, "-c", "import Xlib"}).exit_code != 0)
    GTEST_SKIP() << "python3-xlib is not installed for " << python;
  const std::string title = "Close Test";
  MakeProgramFolder(title, "Try to close me");
  MakeLongUpdate();
  StartUpdater(mServer.display());

  std::string window = WaitForWindow(title);
  ASSERT_FALSE(window.empty());
  // What a window manager sends when its close button is pressed.
  const char* send_delete =
      "import sys\n"
      "from Xlib import X, display, protocol\n"
      "d = display.Display()\n"
      "w = d.create_resource_object('window', int(sys.argv[1]))\n"
      "protocols = d.intern_atom('WM_PROTOCOLS')\n"
      "delete = d.intern_atom('WM_DELETE_WINDOW')\n"
      "w.send_event(protocol.event.ClientMessage(window=w, client_type=protocols,\n"
      "             data=(32, [delete, X.CurrentTime, 0, 0, 0])), event_mask=X.NoEventMask)\n"
      "d.sync()\n";
  RunResult sent = Tool({python, "-c", send_delete, window});
  ASSERT_EQ(0, sent.exit_code) << sent.err;
  // Several ticks later the very same window is still up. (Left to GTK, the
  // request would have destroyed it at once.)
  SleepMillis(700);
  ASSERT_FALSE(mDone) << "the update ended too soon to tell";
  EXPECT_EQ(window, VisibleWindow(title));

  FinishAndExpectSuccess();
}

TEST_F(WindowTest, LostDisplayStillEndsWithStatusAndLog) {
  NEED_WINDOW();
  const std::string title = "Lost Display Test";
  MakeProgramFolder(title, "The server goes away");
  MakeLongUpdate();
  StartUpdater(mServer.display());

  ASSERT_FALSE(WaitForWindow(title).empty());
  mServer.Kill();
  ASSERT_FALSE(mDone) << "the update ended before the server was killed";
  FinishAndExpectSuccess();
}

TEST_F(WindowTest, DisplayThatDoesNotAnswerMeansNoWindowButTheUpdateCompletes) {
  NEED_WINDOW();
  MakeProgramFolder("Stopped Server Test", "never seen");
  MakeLongUpdate(12);
  // A stopped server accepts the connection and never greets the client.
  mServer.Signal(SIGSTOP);
  StartUpdater(mServer.display());
  FinishAndExpectSuccess();
  mServer.Signal(SIGCONT);
}

TEST_F(WindowTest, NoDisplayMeansNoWindowButTheUpdateCompletes) {
  MakeProgramFolder("No Display Test", "never seen");
  MakeLongUpdate(12);
  StartUpdater("");
  FinishAndExpectSuccess();
  StartUpdater(":9999");  // names a display that is not there
  FinishAndExpectSuccess();
}

TEST_F(WindowTest, MissingModuleMeansNoWindow) {
  NEED_WINDOW();
  const std::string title = "Missing Module Test";
  MakeProgramFolder(title, "never seen", /*with_module=*/false);
  MakeLongUpdate(12);
  RunExpectingNoWindow(title);
}

TEST_F(WindowTest, MissingStringsFileMeansNoWindow) {
  NEED_WINDOW();
  const std::string title = "Missing Strings Test";
  MakeProgramFolder(title, "never seen");
  ASSERT_EQ(0, unlink((mProgramDir + "/updater.ini").c_str()));
  MakeLongUpdate(12);
  RunExpectingNoWindow(title);
}

TEST_F(WindowTest, ShortUpdateShowsNoWindow) {
  NEED_WINDOW();
  const std::string title = "Short Update Test";
  MakeProgramFolder(title, "never seen");
  // Over in far less than the half second that the window waits.
  MakeUpdate("add \"small.txt\"\n", {{"small.txt", "small\n"}});
  RunExpectingNoWindow(title);
  EXPECT_EQ("small\n", Installed("small.txt"));
}

TEST_F(WindowTest, CallbackReceivesDisplayOptionUnchanged) {
  NEED_WINDOW();
  const std::string title = "Callback Test";
  MakeProgramFolder(title, "Then the callback");
  MakeLongUpdate(20);
  std::string work = dir / "work";
  mkdir(work.c_str(), 0755);
  std::string callback = dir / "callback.sh";
  WriteFile(callback, "#!/bin/sh\nprintf '%s\\n' \"$@\" > args.tmp && mv args.tmp args.txt\n", 0755);
  StartUpdater(mServer.display(), {work, callback, "--display", "x", "--name", "y", "--sync"});
  // The window was really up, so GTK was started in this very process.
  ASSERT_FALSE(WaitForWindow(title).empty());
  FinishAndExpectSuccess();

  for (int i = 0; i < 100 && !Exists(work + "/args.txt"); ++i) SleepMillis(50);
  EXPECT_EQ("--display\nx\n--name\ny\n--sync\n", ReadFile(work + "/args.txt"));
}

}  // namespace

// A termination request while the window is up is held like any other: the
// update completes, then the updater ends by the signal, with no callback.
TEST_F(WindowTest, TerminationRequestWithTheWindowUpIsHeldUntilTheEnd) {
  NEED_WINDOW();
  const std::string title = "Signal Test Window";
  MakeProgramFolder(title, "held");
  MakeLongUpdate();
  const std::string marker = dir / "callback-ran";
  WriteFile(dir / "callback.sh", "#!/bin/sh\ntouch " + marker + "\n", 0755);
  StartUpdater(mServer.display(), {dir.path(), dir / "callback.sh"});
  std::string id = WaitForWindow(title);
  ASSERT_NE("", id) << "no window showed";
  RunResult pid = Tool({mXdotool, "getwindowpid", id});
  ASSERT_EQ(0, pid.exit_code) << pid.err;
  ASSERT_EQ(0, kill(pid_t(std::stol(pid.out)), SIGTERM));
  mRunner.join();
  EXPECT_EQ(SIGTERM, mResult.signal);
  EXPECT_EQ("succeeded\n", Status());
  for (int i = 0; i < mFileCount; ++i)
    EXPECT_EQ(size_t(2 << 20), ReadFile(install + "/data/file" + std::to_string(i) + ".bin").size()) << i;
  SleepMillis(200);
  EXPECT_FALSE(Exists(marker)) << "no callback after a termination request";
}
