// The progress window's decisions, against a platform that records every
// operation: when a window is shown at all, how the controller sets it up,
// what each tick does, and how close requests are answered. The real module is
// exercised only where it needs no display.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

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

std::string Describe(const char* op, double value) {
  char buf[64];
  snprintf(buf, sizeof buf, "%s %.17g", op, value);
  return buf;
}

// Records each operation as one line ("SetBarValue 42.5", "HideApplication").
// Its event loop delivers ticks of the one live timer until StopEventLoop; a
// test scripts the worker by what happens before each tick (OnTick).
class RecordingPlatform : public ProgressPlatform {
 public:
  int CreateApplication() override {
    Log("CreateApplication");
    return mCreateResult;
  }
  int LoadInterface(const char* folder, const char* name, UpdaterUI* owner) override {
    Log(std::string("LoadInterface ") + name);
    mFolder = folder;
    if (mLoadResult != 0) return mLoadResult;
    mOwner = owner;
    owner->awakeFromNib();
    return 0;
  }
  void RunEventLoop() override {
    Log("RunEventLoop");
    for (int tick = 1; !mStopRequested; ++tick) {
      if (tick > kMaxTicks) {
        ADD_FAILURE() << "the event loop was never stopped";
        return;
      }
      if (OnTick) OnTick(tick);
      if (mStopRequested) break;  // a close request granted in OnTick
      if (!mTimerLive) {
        ADD_FAILURE() << "the event loop runs with no timer to stop it";
        return;
      }
      mTicks++;
      mOwner->updateProgressUI(&mTimer);
    }
    Log("RunEventLoop returned");
  }
  void StopEventLoop() override {
    Log("StopEventLoop");
    mStopRequested = true;
  }
  void ActivateApplication() override { Log("ActivateApplication"); }
  void HideApplication() override { Log("HideApplication"); }
  void CenterWindow() override { Log("CenterWindow"); }
  void SetWindowTitle(const char* utf8) override { Log(std::string("SetWindowTitle ") + utf8); }
  void SetInfoText(const char* utf8) override { Log(std::string("SetInfoText ") + utf8); }
  void SetBarDeterminate() override { Log("SetBarDeterminate"); }
  void SetBarValue(double value) override { Log(Describe("SetBarValue", value)); }
  ProgressTimer* StartTimer(double seconds, UpdaterUI* target) override {
    Log(Describe("StartTimer", seconds));
    if (mTimerFails) return nullptr;
    EXPECT_EQ(target, mOwner);
    mTimerLive = true;
    return &mTimer;
  }
  void StopTimer(ProgressTimer* timer) override {
    Log("StopTimer");
    EXPECT_EQ(timer, &mTimer);
    EXPECT_TRUE(mTimerLive) << "a timer stopped twice";
    mTimerLive = false;
  }

  void Log(std::string call) { mCalls.push_back(std::move(call)); }
  // The calls recorded from the first one named |from| on.
  std::vector<std::string> CallsFrom(const std::string& from) const {
    for (size_t i = 0; i < mCalls.size(); ++i)
      if (mCalls[i] == from) return std::vector<std::string>(mCalls.begin() + long(i), mCalls.end());
    return {};
  }

  static constexpr int kMaxTicks = 1000;
  std::vector<std::string> mCalls;
  std::function<void(int tick)> OnTick;
  int mCreateResult = 0, mLoadResult = 0;
  bool mTimerFails = false;
  std::string mFolder;
  UpdaterUI* mOwner = nullptr;
  ProgressTimer mTimer;
  bool mTimerLive = false, mStopRequested = false;
  int mTicks = 0;
};

RecordingPlatform* sPlatform = nullptr;  // what the opener hands out; null: no platform
int sOpenCount = 0;

ProgressPlatform* OpenRecordingPlatform(const char*) {
  ++sOpenCount;
  return sPlatform;
}

// Resets the progress channel and puts a strings file beside a program path in
// a scratch directory.
class ProgressUITest : public ::testing::Test {
 protected:
  void SetUp() override {
    sQuit.store(false);
    sProgressVal.store(0.0f);
    sOpenCount = 0;
    sPlatform = &mPlatform;
    mProgramPath = mDir / "updater";
    sProgramPath = mProgramPath.c_str();
    WriteFile(mProgramPath + ".ini", "[window]\n\ntitle=Updating Example\ninfo=Please wait a moment.\n");
  }
  void TearDown() override {
    sPlatform = nullptr;
    sProgramPath = nullptr;
  }

  ScratchDir mDir;
  std::string mProgramPath;
  RecordingPlatform mPlatform;
};

// ---- Whether a window is shown ----------------------------------------------

using ShowProgressUITest = ProgressUITest;

TEST_F(ShowProgressUITest, NoApplicationIsOpenedWhenNotNeededOrWithoutStrings) {
  // A program path of 1020 bytes: "%s.ini" needs 1025 with its NUL, and cut
  // to the 1024-byte buffer it would read "<path>.in", made valid here.
  std::string longPath = mDir.path();
  while (longPath.size() < 1020 - 201) longPath += "/" + std::string(200, 'd');
  longPath += "/" + std::string(1020 - longPath.size() - 1, 'p');
  ASSERT_EQ(1020u, longPath.size());
  WriteFile(longPath + ".in", "1\n2\ntitle=cut\ninfo=cut\n");

  struct Case { const char* label; std::function<void()> prepare; int rv; };
  const Case cases[] = {
      {"quit before the call", [] { UpdateProgressUI(100.0f); QuitProgressUI(); }, 0},
      {"just past half-way", [] { UpdateProgressUI(50.5f); }, 0},
      {"missing strings file", [this] { ASSERT_EQ(0, unlink((mProgramPath + ".ini").c_str())); }, -1},
      {"malformed strings file", [this] { WriteFile(mProgramPath + ".ini", "1\n2\ntitle without equals\ninfo=x\n"); }, -1},
      {"strings file name that does not fit is never read cut", [&] { sProgramPath = longPath.c_str(); }, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    c.prepare();
    EXPECT_EQ(c.rv, ShowProgressUIWith(&OpenRecordingPlatform));
    EXPECT_EQ(0, sOpenCount);
    EXPECT_TRUE(mPlatform.mCalls.empty());
  }
}

TEST_F(ShowProgressUITest, QuitDuringTheFirstHalfSecondShowsNoWindow) {
  // 10 is below half-way: only the quit keeps the window away.
  std::thread worker([] {
    UpdateProgressUI(10.0f);
    usleep(100000);
    QuitProgressUI();
  });
  int rv = ShowProgressUIWith(&OpenRecordingPlatform);
  worker.join();
  EXPECT_EQ(0, rv);
  EXPECT_EQ(0, sOpenCount);
  EXPECT_TRUE(mPlatform.mCalls.empty());
}

TEST_F(ShowProgressUITest, ExactlyHalfWayStillShowsTheWindow) {
  UpdateProgressUI(50.0f);
  mPlatform.OnTick = [](int tick) {
    if (tick == 2) QuitProgressUI();
  };
  EXPECT_EQ(0, ShowProgressUIWith(&OpenRecordingPlatform));
  EXPECT_EQ(1, sOpenCount);
  EXPECT_EQ(mDir.path(), mPlatform.mFolder);
  ASSERT_FALSE(mPlatform.CallsFrom("LoadInterface MainMenu").empty());
  EXPECT_EQ("RunEventLoop returned", mPlatform.mCalls.back());
}

TEST_F(ShowProgressUITest, PlatformThatCannotShowAWindowIsNoFailure) {
  struct Case { const char* label; bool platform; int createResult, loadResult; std::vector<std::string> calls; };
  const Case cases[] = {
      {"no platform", false, 0, 0, {}},
      {"application that cannot start", true, -1, 0, {"CreateApplication"}},
      {"interface that cannot load: no event loop", true, 0, -1, {"CreateApplication", "LoadInterface MainMenu"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    mPlatform.mCalls.clear();
    if (!c.platform) sPlatform = nullptr;
    mPlatform.mCreateResult = c.createResult;
    mPlatform.mLoadResult = c.loadResult;
    EXPECT_EQ(0, ShowProgressUIWith(&OpenRecordingPlatform));
    EXPECT_EQ(1, sOpenCount);
    EXPECT_EQ(c.calls, mPlatform.mCalls);
  }
}

TEST_F(ShowProgressUITest, WholeRunFromSetUpToQuittingTick) {
  UpdateProgressUI(12.5f);  // posted before the window exists
  mPlatform.OnTick = [](int tick) {
    if (tick == 2) UpdateProgressUI(60.0f);
    if (tick == 3) {
      UpdateProgressUI(100.0f);
      QuitProgressUI();
    }
  };
  EXPECT_EQ(0, ShowProgressUIWith(&OpenRecordingPlatform));
  const std::vector<std::string> expected = {
      "CreateApplication", "LoadInterface MainMenu", "CenterWindow", "SetWindowTitle Updating Example",
      "SetInfoText Please wait a moment.", "SetBarDeterminate", "SetBarValue 0", "StartTimer 0.20000000000000001",
      "ActivateApplication", "RunEventLoop", "SetBarValue 12.5", "SetBarValue 60", "StopTimer",
      "ActivateApplication", "HideApplication", "StopEventLoop", "SetBarValue 100", "RunEventLoop returned",
  };
  EXPECT_EQ(expected, mPlatform.mCalls);
}

TEST_F(ShowProgressUITest, CloseRequestDuringTheRunIsRefusedAndTheLoopGoesOn) {
  mPlatform.OnTick = [this](int tick) {
    if (tick == 2) {
      EXPECT_FALSE(mPlatform.mOwner->HandleCloseRequest());
    }
    if (tick == 4) {
      QuitProgressUI();
      EXPECT_TRUE(mPlatform.mOwner->HandleCloseRequest());
    }
  };
  EXPECT_EQ(0, ShowProgressUIWith(&OpenRecordingPlatform));
  // Ticks 1 to 3 were delivered; the granted request stopped the loop before
  // tick 4, and ShowProgressUI returned.
  EXPECT_EQ(3, mPlatform.mTicks);
  const std::vector<std::string> tail = {"HideApplication", "StopEventLoop", "RunEventLoop returned"};
  ASSERT_GE(mPlatform.mCalls.size(), tail.size());
  EXPECT_EQ(tail, std::vector<std::string>(mPlatform.mCalls.end() - long(tail.size()), mPlatform.mCalls.end()));
}

// ---- The controller on its own ---------------------------------------------

class UpdaterUITest : public ProgressUITest {
 protected:
  void SetUp() override {
    ProgressUITest::SetUp();
    snprintf(sLabels.title, sizeof sLabels.title, "%s", "T\xc3\xadtulo");
    snprintf(sLabels.info, sizeof sLabels.info, "%s", "Info text");
    mPlatform.mOwner = &mController;
  }
  // Sets the window up, then forgets the calls that took.
  void Awake() {
    mController.awakeFromNib();
    mPlatform.mCalls.clear();
  }
  UpdaterUI mController{&mPlatform};
};

TEST_F(UpdaterUITest, AwakeSetsUpWindowBarAndTimerBeforeActivating) {
  sProgressVal.store(30.0f);  // not shown before the first tick
  mController.awakeFromNib();
  const std::vector<std::string> expected = {
      "CenterWindow",  "SetWindowTitle T\xc3\xadtulo",     "SetInfoText Info text", "SetBarDeterminate",
      "SetBarValue 0", "StartTimer 0.20000000000000001", "ActivateApplication",
  };
  EXPECT_EQ(expected, mPlatform.mCalls);
  EXPECT_TRUE(mPlatform.mTimerLive);
}

TEST_F(UpdaterUITest, TickSetsBarToLatestValueWidenedFromFloat) {
  Awake();
  UpdateProgressUI(10.0f);
  UpdateProgressUI(33.3f);
  mController.updateProgressUI(&mPlatform.mTimer);
  EXPECT_EQ(std::vector<std::string>{Describe("SetBarValue", double(33.3f))}, mPlatform.mCalls);
  EXPECT_NE(Describe("SetBarValue", 33.3), mPlatform.mCalls[0]);
  EXPECT_TRUE(mPlatform.mTimerLive);
}

TEST_F(UpdaterUITest, QuittingTickStopsTimerActivatesHidesStopsThenSetsBar) {
  Awake();
  UpdateProgressUI(97.25f);
  QuitProgressUI();
  mController.updateProgressUI(&mPlatform.mTimer);
  const std::vector<std::string> expected = {"StopTimer", "ActivateApplication", "HideApplication", "StopEventLoop",
                                             "SetBarValue 97.25"};
  EXPECT_EQ(expected, mPlatform.mCalls);
  EXPECT_FALSE(mPlatform.mTimerLive);
}

TEST_F(UpdaterUITest, TimerThatCannotStartTakesTheWindowDownAtOnce) {
  mPlatform.mTimerFails = true;
  mController.awakeFromNib();
  const std::vector<std::string> expected = {"StartTimer 0.20000000000000001", "HideApplication", "StopEventLoop"};
  EXPECT_EQ(expected, mPlatform.CallsFrom("StartTimer 0.20000000000000001"));
}

TEST_F(UpdaterUITest, TerminationRefusedWhileUpdateRunsGrantedAfterQuit) {
  EXPECT_FALSE(mController.applicationShouldTerminate(&mPlatform));
  QuitProgressUI();
  EXPECT_TRUE(mController.applicationShouldTerminate(&mPlatform));
}

TEST_F(UpdaterUITest, CloseRequestRefusedWhileUpdateRunsThenGranted) {
  Awake();
  EXPECT_FALSE(mController.HandleCloseRequest());
  EXPECT_TRUE(mPlatform.mCalls.empty()) << "a refused request must leave the window alone";
  QuitProgressUI();
  EXPECT_TRUE(mController.HandleCloseRequest());
  EXPECT_EQ((std::vector<std::string>{"HideApplication", "StopEventLoop"}), mPlatform.mCalls);
}

// ---- The real module, where it needs no display ----------------------------

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

TEST(PlatformModuleTest, NoDisplayMeansNoApplication) {
  std::string bin = testing_support::BinDir();
  if (!testing_support::Exists(bin + "/" UPDATER_UI_MODULE_FILE))
    GTEST_SKIP() << "no window module built in " << bin << " (GTK 3 not found at configure time)";
  ProgressPlatform* app = OpenPlatformModule(bin.c_str());
  ASSERT_NE(nullptr, app);
  const char* display = getenv("DISPLAY");
  std::string saved = display ? display : "";
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  EXPECT_NE(0, app->CreateApplication());
  if (display) setenv("DISPLAY", saved.c_str(), 1);
  delete app;  // no toolkit was started, so nothing can still point at the platform
}

}  // namespace
