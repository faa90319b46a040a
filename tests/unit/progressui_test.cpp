// The progress window's decisions against a platform that records every operation (when a window is shown, what
// it shows, how close requests and the quit are answered), and the strings file's reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "errors.h"
#include "test_support.h"
#include "ui/progressui.h"
#include "ui/progressui_platform.h"
#include "ui/strings_file.h"

class ProgressTimer {};

namespace {

using namespace testing_support;

// Records each operation ("bar 42.5; HideApplication; "). Its event loop delivers ticks of the one live timer
// until StopEventLoop; a test scripts the worker by what happens before each tick (OnTick).
class RecordingPlatform : public ProgressPlatform {
 public:
  int CreateApplication() override { return Log("CreateApplication"), mCreateResult; }
  int LoadInterface(const char* folder, const char* name, UpdaterUI* owner) override {
    Log(std::string("LoadInterface ") + name + " from " + folder);
    (mOwner = owner)->awakeFromNib();
    return 0;
  }
  void RunEventLoop() override {
    for (int tick = 1; !mStopRequested; ++tick) {
      if (OnTick) OnTick(tick);
      if (mStopRequested) break;  // a close request granted in OnTick
      if (tick > 1000 || !mTimerLive)
        return (void)(ADD_FAILURE() << (mTimerLive ? "the loop was never stopped" : "the loop runs with no timer"));
      mOwner->updateProgressUI(&mTimer);
    }
    Log("RunEventLoop returned");
  }
  void StopEventLoop() override { Log("StopEventLoop"), mStopRequested = true; }
  void ActivateApplication() override { Log("ActivateApplication"); }
  void HideApplication() override { Log("HideApplication"); }
  void CenterWindow() override { Log("CenterWindow"); }
  void SetWindowTitle(const char* utf8) override { Log(std::string("title ") + utf8); }
  void SetInfoText(const char* utf8) override { Log(std::string("info ") + utf8); }
  void SetBarDeterminate() override { Log("SetBarDeterminate"); }
  void SetBarValue(double value) override { Log("bar " + testing::PrintToString(value)); }
  ProgressTimer* StartTimer(double, UpdaterUI*) override {
    Log("StartTimer");
    return (mTimerLive = !mTimerFails) ? &mTimer : nullptr;
  }
  void StopTimer(ProgressTimer*) override { Log("StopTimer"), mTimerLive = false; }
  void Log(const std::string& call) { mCalls += call + "; ", mLast = call; }

  std::string mCalls, mLast;
  std::function<void(int tick)> OnTick;
  int mCreateResult = 0;
  bool mTimerFails = false, mTimerLive = false, mStopRequested = false;
  UpdaterUI* mOwner = nullptr;
  ProgressTimer mTimer;
};

RecordingPlatform* sPlatform = nullptr;  // what the opener hands out; null: no platform
ProgressPlatform* OpenRecordingPlatform(const char*) { return sPlatform; }

// Resets the progress channel and puts a strings file beside a program path in a scratch directory.
class ProgressUITest : public ::testing::Test {
 protected:
  void TearDown() override { sProgramPath = nullptr; }
  void SetUp() override {
    sQuit.store(false);
    sProgressVal.store(0.0f);
    mPlatform = RecordingPlatform();
    sPlatform = &mPlatform;
    sProgramPath = mProgramPath.c_str();
    WriteFile(mProgramPath + ".ini", "[window]\n\ntitle=Updating Example\ninfo=Please wait.\n");
  }

  ScratchDir mDir;
  std::string mProgramPath = mDir / "updater";
  RecordingPlatform mPlatform;
};

// When no window is opened, and when one that is wanted cannot be had: no failure, the update runs on unseen.
TEST_F(ProgressUITest, WhetherAWindowIsShown) {
  // A program path of 1020 bytes ("<dir>////...//p"): "%s.ini" needs 1025 with its NUL, and cut to the 1024-byte
  // buffer it would read "<dir>/p.in", made valid here.
  const std::string longPath = mDir.path() + std::string(1020 - mDir.path().size() - 1, '/') + "p";
  WriteFile(mDir / "p.in", "1\n2\ntitle=cut\ninfo=cut\n");
  std::thread worker;
  // |last|: the platform's last call, "" when none. Exactly half-way (50) still shows a window.
  struct Case { const char* label; std::function<void()> prepare; int rv; std::string last; };
  const Case cases[] = {
      {"quit before the call", [] { UpdateProgressUI(100.0f), QuitProgressUI(); }, 0, ""},
      {"just past half-way", [] { UpdateProgressUI(50.5f); }, 0, ""},
      // Below half-way, only the half-second wait keeps the window away.
      {"quit within the first half second",
       [&] { worker = std::thread([] { UpdateProgressUI(10.0f), usleep(100000), QuitProgressUI(); }); }, 0, ""},
      {"malformed strings file", [this] { WriteFile(mProgramPath + ".ini", "1\n2\ntitle\ninfo=x\n"); }, -1, ""},
      {"strings file name that does not fit is never read cut", [&] { sProgramPath = longPath.c_str(); }, -1, ""},
      {"no platform", [&] { UpdateProgressUI(50.0f), sPlatform = nullptr; }, 0, ""},
      {"no application", [&] { UpdateProgressUI(50.0f), mPlatform.mCreateResult = -1; }, 0, "CreateApplication"},
      // Without a timer nothing would ever stop the loop: the window goes at once.
      {"no timer", [&] { UpdateProgressUI(50.0f), mPlatform.mTimerFails = true; }, 0, "RunEventLoop returned"},
  };
  for (const Case& c : cases) {
    SetUp();
    c.prepare();
    EXPECT_EQ(c.rv, ShowProgressUIWith(&OpenRecordingPlatform)) << c.label;
    if (worker.joinable()) worker.join();
    EXPECT_EQ(c.last, mPlatform.mLast) << c.label;
  }
}

// A whole run: the strings file's texts are shown, the bar follows the worker, close and termination requests are
// refused until the quit, and the quit stops the timer and the loop.
TEST_F(ProgressUITest, WindowFollowsTheWorkerAndGoesOnlyAtTheQuit) {
  // A close request is granted only as the toolkit's termination request would be.
  const auto ask = [this] { mPlatform.Log(mPlatform.mOwner->HandleCloseRequest() ? "close yes" : "close no"); };
  UpdateProgressUI(12.5f);  // posted before the window exists
  mPlatform.OnTick = [&](int tick) {
    if (tick == 2) UpdateProgressUI(60.0f), ask();
    if (tick == 3) UpdateProgressUI(100.0f), QuitProgressUI();
  };
  EXPECT_EQ(0, ShowProgressUIWith(&OpenRecordingPlatform));
  ASSERT_NE(nullptr, mPlatform.mOwner) << "no window";
  ask();
  EXPECT_EQ("CreateApplication; LoadInterface MainMenu from " + mDir.path() +
                "; CenterWindow; title Updating Example; info Please wait.; SetBarDeterminate; bar 0; StartTimer; "
                "ActivateApplication; bar 12.5; close no; bar 60; StopTimer; ActivateApplication; HideApplication; "
                "StopEventLoop; bar 100; RunEventLoop returned; HideApplication; StopEventLoop; close yes; ",
            mPlatform.mCalls);
}

// ReadStrings reads lines, not keys: the third read is the title, the fourth the info text, each after its first
// "=" with its last byte dropped. A read takes at most 199 bytes.
TEST(StringsFileTest, TextsComeFromTheThirdAndFourthReadsOrAreRefused) {
  const std::string fullRead = "1\n2\ntitle=" + std::string(193, 'T');  // a third line that fills one whole read
  struct Case { const char* label; std::string content; int rc; std::string title = "", info = ""; };
  const Case cases[] = {
      {"plain", "[strings]\n# comment\ntitle=Updating Things\ninfo=Wait.\n", 0, "Updating Things", "Wait."},
      {"equals signs after the first are kept", "\n\ntitle=a=b==c\ninfo==x=\n", 0, "a=b==c", "=x="},
      {"last line without newline loses its last byte", "1\n2\ntitle=T\ninfo=abc", 0, "T", "ab"},
      {"long title line's rest becomes info", fullRead + "k=tail\ninfo=never read\n", 0, std::string(192, 'T'), "tail"},
      {"file ending inside the third read", "1\n2\ntitle=T", ERR_READ},
      {"title line without equals", "1\n2\ntitle T\ninfo=I\n", ERR_PARSE},
      {"equals only as the dropped last byte", "1\n2\ntitle=T\ninfo=", ERR_PARSE},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    WriteFile(dir / "updater.ini", c.content);
    StringTable table{};
    EXPECT_EQ(c.rc, ReadStrings((dir / "updater.ini").c_str(), &table)) << c.label;
    if (c.rc != 0) continue;
    EXPECT_EQ(c.title + "|" + c.info, std::string(table.title) + "|" + table.info) << c.label;
  }
}

}  // namespace
