// The progress window's decisions, against a platform that records every
// operation: when a window is shown at all, what the strings file puts in it,
// whether the bar follows the worker, and how close requests and the quit are
// answered. The real module is exercised only where it needs no display.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "ui/progressui.h"
#include "ui/progressui_platform.h"

class ProgressTimer {};

namespace {

using testing_support::ScratchDir;
using testing_support::WriteFile;

// Records each operation as one line ("bar 42.5", "HideApplication"). Its
// event loop delivers ticks of the one live timer until StopEventLoop; a test
// scripts the worker by what happens before each tick (OnTick).
class RecordingPlatform : public ProgressPlatform {
 public:
  int CreateApplication() override { return Log("CreateApplication"), mCreateResult; }
  int LoadInterface(const char* folder, const char* name, UpdaterUI* owner) override {
    Log(std::string("LoadInterface ") + name + " from " + folder);
    if (mLoadResult == 0) (mOwner = owner)->awakeFromNib();
    return mLoadResult;
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
  void ActivateApplication() override {}
  void HideApplication() override { Log("HideApplication"); }
  void CenterWindow() override {}
  void SetWindowTitle(const char* utf8) override { Log(std::string("title ") + utf8); }
  void SetInfoText(const char* utf8) override { Log(std::string("info ") + utf8); }
  void SetBarDeterminate() override {}
  void SetBarValue(double value) override { Log("bar " + testing::PrintToString(value)); }
  ProgressTimer* StartTimer(double, UpdaterUI*) override { return (mTimerLive = !mTimerFails) ? &mTimer : nullptr; }
  void StopTimer(ProgressTimer*) override { Log("StopTimer"), mTimerLive = false; }
  void Log(std::string call) { mCalls.push_back(std::move(call)); }
  int Count(const std::string& call) const { return int(std::count(mCalls.begin(), mCalls.end(), call)); }

  std::vector<std::string> mCalls;
  std::function<void(int tick)> OnTick;
  int mCreateResult = 0, mLoadResult = 0;
  bool mTimerFails = false, mTimerLive = false, mStopRequested = false;
  UpdaterUI* mOwner = nullptr;
  ProgressTimer mTimer;
};

RecordingPlatform* sPlatform = nullptr;  // what the opener hands out; null: no platform
int sOpenCount = 0;
ProgressPlatform* OpenRecordingPlatform(const char*) { return ++sOpenCount, sPlatform; }

// Resets the progress channel and puts a strings file beside a program path in a scratch directory.
class ProgressUITest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { sProgramPath = nullptr; }
  void Reset() {
    sQuit.store(false);
    sProgressVal.store(0.0f);
    sOpenCount = 0;
    mPlatform = RecordingPlatform();
    sPlatform = &mPlatform;
    sProgramPath = mProgramPath.c_str();
    WriteFile(mProgramPath + ".ini", "[window]\n\ntitle=Updating Example\ninfo=Please wait a moment.\n");
  }

  ScratchDir mDir;
  std::string mProgramPath = mDir / "updater";
  RecordingPlatform mPlatform;
};

// When no window is opened at all, and when one that is wanted cannot be had:
// that is no failure of the update, which runs on unseen.
TEST_F(ProgressUITest, WhetherAWindowIsShown) {
  // A program path of 1020 bytes: "%s.ini" needs 1025 with its NUL, and cut
  // to the 1024-byte buffer it would read "<path>.in", made valid here.
  std::string longPath = mDir.path();
  while (longPath.size() < 1020 - 201) longPath += "/" + std::string(200, 'd');
  longPath += "/" + std::string(1020 - longPath.size() - 1, 'p');
  WriteFile(longPath + ".in", "1\n2\ntitle=cut\ninfo=cut\n");
  std::thread worker;
  const auto halfWay = [] { UpdateProgressUI(50.0f); };  // exactly half-way still shows a window
  // |last|: the platform's last call, "-" when no platform is even opened.
  struct Case { const char* label; std::function<void()> prepare; int rv; std::string last; };
  const Case cases[] = {
      {"quit before the call", [] { UpdateProgressUI(100.0f), QuitProgressUI(); }, 0, "-"},
      {"just past half-way", [] { UpdateProgressUI(50.5f); }, 0, "-"},
      // Below half-way, only the half-second wait keeps the window away.
      {"quit within the first half second",
       [&] { worker = std::thread([] { UpdateProgressUI(10.0f), usleep(100000), QuitProgressUI(); }); }, 0, "-"},
      {"missing strings file", [this] { unlink((mProgramPath + ".ini").c_str()); }, -1, "-"},
      {"malformed strings file", [this] { WriteFile(mProgramPath + ".ini", "1\n2\ntitle\ninfo=x\n"); }, -1, "-"},
      {"strings file name that does not fit is never read cut", [&] { sProgramPath = longPath.c_str(); }, -1, "-"},
      {"no platform", [&] { halfWay(), sPlatform = nullptr; }, 0, ""},
      {"application that cannot start", [&] { halfWay(), mPlatform.mCreateResult = -1; }, 0, "CreateApplication"},
      {"interface that cannot load: no event loop", [&] { halfWay(), mPlatform.mLoadResult = -1; }, 0,
       "LoadInterface MainMenu from " + mDir.path()},
      // Without a timer nothing would ever stop the loop: the window goes at once.
      {"timer that cannot start", [&] { halfWay(), mPlatform.mTimerFails = true; }, 0, "RunEventLoop returned"},
  };
  for (const Case& c : cases) {
    Reset();
    c.prepare();
    EXPECT_EQ(c.rv, ShowProgressUIWith(&OpenRecordingPlatform)) << c.label;
    if (worker.joinable()) worker.join();
    EXPECT_EQ(c.last == "-" ? 0 : 1, sOpenCount) << c.label;
    if (c.last != "-") EXPECT_EQ(c.last, mPlatform.mCalls.empty() ? "" : mPlatform.mCalls.back()) << c.label;
  }
}

// A whole run: the strings file's texts are shown, the bar follows the worker,
// close and termination requests are refused until the quit, and the quit
// stops the timer and the loop.
TEST_F(ProgressUITest, WindowFollowsTheWorkerAndGoesOnlyAtTheQuit) {
  UpdateProgressUI(12.5f);  // posted before the window exists
  mPlatform.OnTick = [this](int tick) {
    if (tick == 2) {
      UpdateProgressUI(60.0f);
      EXPECT_FALSE(mPlatform.mOwner->HandleCloseRequest());
      EXPECT_FALSE(mPlatform.mOwner->applicationShouldTerminate(&mPlatform));
    }
    if (tick == 3) UpdateProgressUI(100.0f), QuitProgressUI();
  };
  EXPECT_EQ(0, ShowProgressUIWith(&OpenRecordingPlatform));
  ASSERT_NE(nullptr, mPlatform.mOwner) << "no window";
  std::vector<std::string> bar;
  for (const std::string& call : mPlatform.mCalls)
    if (call.rfind("bar ", 0) == 0) bar.push_back(call);
  EXPECT_EQ((std::vector<std::string>{"bar 0", "bar 12.5", "bar 60", "bar 100"}), bar);
  for (const char* once : {"title Updating Example", "info Please wait a moment.", "StopTimer", "StopEventLoop"})
    EXPECT_EQ(1, mPlatform.Count(once)) << once;
  EXPECT_EQ("RunEventLoop returned", mPlatform.mCalls.back());
  EXPECT_TRUE(mPlatform.mOwner->applicationShouldTerminate(&mPlatform));
  EXPECT_TRUE(mPlatform.mOwner->HandleCloseRequest());
}

TEST(PlatformModuleTest, FolderWithoutUsableModuleGivesNoPlatform) {
  ScratchDir empty, bogus;
  WriteFile(bogus / UPDATER_UI_MODULE_FILE, "not a shared object\n", 0755);
  const std::pair<const char*, std::string> cases[] = {
      {"folder without the module", empty.path()},
      {"file that is no module", bogus.path()},
      {"folder that does not fit", std::string(1024 - strlen("/" UPDATER_UI_MODULE_FILE), '/')},
  };
  for (const auto& [label, folder] : cases) EXPECT_EQ(nullptr, OpenPlatformModule(folder.c_str())) << label;
}

}  // namespace
