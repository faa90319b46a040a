// The three-phase action list: order of phases, exact progress values, finish
// of actions that never executed, ownership.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "action.h"
#include "errors.h"
#include "test_support.h"
#include "ui/progressui.h"

namespace {

struct Journal {
  std::vector<std::string> events;
  std::vector<float> progress_before_execute;
  int destroyed = 0;
};

// Records each call; fails the phase it is told to.
class RecordingAction : public Action {
 public:
  RecordingAction(Journal* j, int id, int prepare_rc = 0, int execute_rc = 0)
      : mJournal(j), mId(id), mPrepareRc(prepare_rc), mExecuteRc(execute_rc) {}
  ~RecordingAction() override { ++mJournal->destroyed; }
  int Parse(char*) override { return 0; }
  int Prepare() override {
    Log("prepare");
    return mPrepareRc;
  }
  int Execute() override {
    mJournal->progress_before_execute.push_back(sProgressVal.load());
    Log("execute");
    return mExecuteRc;
  }
  void Finish(int status) override { Log("finish" + std::to_string(status)); }

 private:
  void Log(const std::string& what) { mJournal->events.push_back(what + " " + std::to_string(mId)); }
  Journal* mJournal;
  int mId, mPrepareRc, mExecuteRc;
};

// Runs a list the way the update does and returns the result.
int RunList(ActionList& list) {
  int rc = list.Prepare();
  if (rc) return rc;
  rc = list.Execute();
  list.Finish(rc);
  return rc;
}

class ActionListTest : public ::testing::Test {
 protected:
  void SetUp() override { sProgressVal = -1.0f; }
  std::string LogText() { return log_.Text(); }
  std::vector<float> ProgressFor(int count) {
    Journal j;
    {
      ActionList list;
      for (int i = 0; i < count; ++i) list.Append(new RecordingAction(&j, i));
      EXPECT_EQ(RunList(list), 0);
    }
    return j.progress_before_execute;
  }
  testing_support::LogCapture log_;
};

TEST_F(ActionListTest, EmptyList) {
  ActionList list;
  EXPECT_EQ(list.Prepare(), 0);
  EXPECT_EQ(sProgressVal.load(), 1.0f);
  sProgressVal = -1.0f;
  EXPECT_EQ(list.Execute(), 0);
  EXPECT_EQ(sProgressVal.load(), -1.0f) << "an empty execute phase posts nothing";
  list.Finish(0);
  EXPECT_EQ(sProgressVal.load(), 100.0f);
}

TEST_F(ActionListTest, ProgressValuesAreExactSinglePrecision) {
  EXPECT_EQ(ProgressFor(1), (std::vector<float>{1.0f}));
  EXPECT_EQ(ProgressFor(2), (std::vector<float>{1.0f, 50.0f}));
  EXPECT_EQ(ProgressFor(3), (std::vector<float>{1.0f, 33.666668f, 66.333336f}));
  EXPECT_EQ(ProgressFor(4), (std::vector<float>{1.0f, 25.5f, 50.0f, 74.5f}));
  std::vector<float> seven = ProgressFor(7);
  ASSERT_EQ(seven.size(), 7u);
  EXPECT_EQ(seven[1], std::nextafter(15.0f, 0.0f)) << "just below 15, not 15";
  EXPECT_EQ(seven[2], std::nextafter(29.0f, 0.0f));
  EXPECT_EQ(seven[3], 43.0f);
  EXPECT_EQ(sProgressVal.load(), 100.0f);
}

TEST_F(ActionListTest, FailedExecuteFinishesEveryActionInOrder) {
  Journal j;
  {
    ActionList list;
    for (int i = 0; i < 5; ++i) list.Append(new RecordingAction(&j, i, 0, i == 2 ? ERR_WRITE : 0));
    EXPECT_EQ(RunList(list), ERR_WRITE);
    EXPECT_EQ(sProgressVal.load(), 100.0f);
  }
  EXPECT_EQ(j.events, (std::vector<std::string>{
                          "prepare 0", "prepare 1", "prepare 2", "prepare 3", "prepare 4",
                          "execute 0", "execute 1", "execute 2",
                          "finish7 0", "finish7 1", "finish7 2", "finish7 3", "finish7 4"}));
  EXPECT_EQ(j.progress_before_execute.size(), 3u);
  EXPECT_EQ(LogText(), "### execution failed\n");
  EXPECT_EQ(j.destroyed, 5);
}

TEST_F(ActionListTest, FailedPrepareStopsBeforeAnyChange) {
  Journal j;
  {
    ActionList list;
    for (int i = 0; i < 4; ++i) list.Append(new RecordingAction(&j, i, i == 1 ? ERR_CRC : 0));
    EXPECT_EQ(RunList(list), ERR_CRC);
  }
  EXPECT_EQ(j.events, (std::vector<std::string>{"prepare 0", "prepare 1"}));
  EXPECT_EQ(sProgressVal.load(), -1.0f) << "a failed prepare phase posts no value";
  EXPECT_EQ(LogText(), "");
  EXPECT_EQ(j.destroyed, 4);
}

TEST(InstallPathTest, RefusesPathsThatLeaveTheInstallation) {
  for (const char* ok : {"a", "a/b", "./a", "a/./b", "..a", "a..", "a/..b/c", "...", "a/.../b"})
    EXPECT_TRUE(IsInstallPath(ok)) << ok;
  for (const char* bad : {"/a", "/", "..", "../a", "a/..", "a/../b", "a//../b"})
    EXPECT_FALSE(IsInstallPath(bad)) << bad;
}

}  // namespace
