// Faults and crashes at chosen points of a run, and the run after them: each
// test pins down one fault that the fault sweep (scripts/fault-sweep) found.
// The point is chosen with strace: -P counts only the calls on one path, so
// "the first unlink of app.zel-backup" stays the same point whatever else the
// updater does.
#include <signal.h>
#include <unistd.h>

#include "updater_e2e.h"
#include "zbdiff/zbdiff.h"

using namespace testing_support;

namespace {

const char kStrace[] = "/usr/bin/strace";

class FaultRecoveryE2E : public UpdaterE2E {
 protected:
  void SetUp() override {
    if (access(kStrace, X_OK) != 0) GTEST_SKIP() << "strace is not installed";
    UpdaterE2E::SetUp();
  }

  // Runs the updater as RunUpdater does, under strace, with |inject| (an
  // inject expression) on the calls that name |path| (relative to the
  // installation, or absolute).
  RunResult RunInjected(const std::string& path, const std::string& inject) {
    std::vector<std::string> argv = {kStrace, "-f", "-qq", "-o", "/dev/null", "-P", path,
                                     "-e", "inject=" + inject, Program("updater"), update, "0"};
    RunOptions options;
    options.cwd = install;
    options.env = {"DISPLAY=", "WAYLAND_DISPLAY="};
    return RunProgram(argv, options);
  }

  // An update that patches "app" and adds "lib": applying it a second time
  // fails, since "app" no longer matches its patch.
  void MakePatchUpdate() {
    Install("app", kOldApp, 0755);
    Install("lib", "lib 1", 0644);
    MakeUpdate("patch \"p/app\" \"app\"\nadd \"lib\"\n",
               {{"p/app", zbdiff::MakePatch(kOldApp, kNewApp)}, {"lib", "lib 2"}}, {{"lib", 0600}});
  }
  void ExpectNew() {
    EXPECT_EQ(Installed("app"), kNewApp);
    EXPECT_EQ(ModeOf("app"), 0755u);
    EXPECT_EQ(Installed("lib"), "lib 2");
    EXPECT_EQ(ModeOf("lib"), 0600u);
  }
  std::vector<std::string> UpdateDir() { return ListTree(update); }
  // The next run of the patch update finds it applied, deletes the backup of
  // "lib" that was left, and leaves nothing else behind.
  void ExpectRetryDiscardsLibsBackupOnly() {
    RunUpdater();
    EXPECT_EQ(Status(), "succeeded\n");
    EXPECT_EQ(Log(), "RECOVER DISCARD lib\nRECOVER UPDATE ALREADY APPLIED\nsucceeded\ncalling QuitProgressUI\n");
    ExpectNew();
    EXPECT_EQ(Tree(), (std::vector<std::string>{"app", "lib"}));
    EXPECT_EQ(UpdateDir(), (std::vector<std::string>{"update.log", "update.manifest", "update.status", "update.zar"}));
  }

  static constexpr const char* kOldApp = "application, version one, with some text to patch";
  static constexpr const char* kNewApp = "application, version two, with some more text to patch";
};

// The journal was deleted before the outcome was written: a crash between the
// two left an applied update with no record, and the retry, applying it to
// the new files, failed on the patch.
TEST_F(FaultRecoveryE2E, CrashBeforeTheStatusIsWrittenLeavesTheUpdateRecordedAsApplied) {
  MakePatchUpdate();
  RunResult killed = RunInjected(update + "/update.status", "openat:signal=SIGKILL:when=1");
  ASSERT_EQ(killed.signal, SIGKILL);
  ASSERT_FALSE(Exists(update + "/update.status"));
  ExpectNew();
  ASSERT_TRUE(Exists(update + "/update.journal")) << "the committed journal outlives the status file";

  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Log(), "RECOVER UPDATE ALREADY APPLIED\nsucceeded\ncalling QuitProgressUI\n");
  ExpectNew();
  EXPECT_EQ(UpdateDir(), (std::vector<std::string>{"update.log", "update.manifest", "update.status", "update.zar"}));
}

// A crash while the committed run deleted its backups: the retry deletes the
// rest, and the staged patch files that the interrupted run never got to.
TEST_F(FaultRecoveryE2E, CrashInFinishLeavesNoStagedPatchBehind) {
  MakePatchUpdate();
  RunResult killed = RunInjected("lib.zel-backup", "unlink:signal=SIGKILL:when=1");
  ASSERT_EQ(killed.signal, SIGKILL);
  ASSERT_TRUE(Exists(update + "/0.patch"));
  ASSERT_TRUE(Exists(install + "/lib.zel-backup"));

  ExpectRetryDiscardsLibsBackupOnly();
}

// A backup that a succeeded run could not delete stayed for good, listed
// nowhere; now the journal keeps it listed and the next run deletes it.
TEST_F(FaultRecoveryE2E, BackupThatCouldNotBeDiscardedIsFinishedByTheNextRun) {
  MakePatchUpdate();
  RunInjected("lib.zel-backup", "unlink:error=EIO:when=1");
  EXPECT_EQ(Status(), "succeeded\n");
  ExpectNew();
  EXPECT_EQ(Installed("lib.zel-backup"), "lib 1");
  EXPECT_TRUE(Exists(update + "/update.journal"));

  ExpectRetryDiscardsLibsBackupOnly();
}

// The restore read the backup's mode with a stat of its own; when that stat
// failed, the file got its old bytes but kept the new version's mode, and
// the backup, the last copy of the old mode, was deleted.
TEST_F(FaultRecoveryE2E, RestoreKeepsTheOldModeWhenTheBackupCannotBeStatted) {
  Install("app", "app 1", 0755);
  MakeUpdate("add \"app\"\nadd \"missing\"\n", {{"app", "app 2"}}, {{"app", 0600}});
  // Every stat of the backup after its creation fails.
  RunInjected("app.zel-backup", "newfstatat:error=EIO:when=3+");
  EXPECT_EQ(Status().substr(0, 8), "failed: ");
  if (Exists(install + "/app.zel-backup")) {
    // The restore could not be made: its backup, whole, waits for the next run.
    EXPECT_EQ(Installed("app.zel-backup"), "app 1");
    EXPECT_EQ(ModeOf("app.zel-backup"), 0755u);
    EXPECT_TRUE(Exists(update + "/update.journal"));
  } else {
    EXPECT_EQ(Installed("app"), "app 1");
    EXPECT_EQ(ModeOf("app"), 0755u);
  }
}

// The committed journal's leftover backup could not be looked at: the run
// failed with the update applied whole. It is no failure: the backup stays
// listed for a later run, and this one records the update as applied.
TEST_F(FaultRecoveryE2E, UnreadableLeftoverOfACommittedRunIsNoFailure) {
  MakePatchUpdate();
  ASSERT_EQ(RunInjected("lib.zel-backup", "unlink:signal=SIGKILL:when=1").signal, SIGKILL);
  RunInjected("lib.zel-backup", "newfstatat:error=EIO:when=1");
  EXPECT_EQ(Status(), "succeeded\n");
  ExpectNew();
  EXPECT_EQ(Installed("lib.zel-backup"), "lib 1");
  EXPECT_TRUE(Exists(update + "/update.journal"));

  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  ExpectNew();
  EXPECT_EQ(Tree(), (std::vector<std::string>{"app", "lib"}));
  EXPECT_EQ(UpdateDir(), (std::vector<std::string>{"update.log", "update.manifest", "update.status", "update.zar"}));
}

// Recovery stopped at the first backup it could not restore: the backups
// after it stayed unrestored, over files of the new version.
TEST_F(FaultRecoveryE2E, RecoveryRestoresEveryBackupItCanAfterOneFails) {
  MakeUpdate("add \"a\"\nadd \"b\"\n", {{"a", "a 2"}, {"b", "b 2"}});
  Install("a", "a 1");
  Install("b", "b 1", 0640);
  // Interrupted while it added "b": both backed up, "a" replaced, "b" removed.
  ASSERT_EQ(RunInjected("b", "openat:signal=SIGKILL:when=2").signal, SIGKILL);
  ASSERT_EQ(Installed("a"), "a 2");
  ASSERT_FALSE(Exists(install + "/b"));
  // "a" cannot be written back: a directory stands at its name now.
  ASSERT_EQ(unlink((install + "/a").c_str()), 0);
  ASSERT_EQ(mkdir((install + "/a").c_str(), 0755), 0);

  RunUpdater();
  EXPECT_EQ(Status(), "failed: 7\n");
  EXPECT_EQ(Installed("b"), "b 1") << "b is restored although a could not be";
  EXPECT_EQ(ModeOf("b"), 0640u);
  EXPECT_EQ(Installed("a.zel-backup"), "a 1");
  EXPECT_FALSE(Exists(install + "/b.zel-backup"));
  EXPECT_TRUE(Exists(update + "/update.journal")) << "a's backup stays listed";
}

// The status file could not be written after the update was applied: the
// outcome is unknown to the caller, who will run the update again, so the
// committed journal stays to tell that run.
TEST_F(FaultRecoveryE2E, UnwrittenStatusKeepsTheUpdateRecordedAsApplied) {
  MakePatchUpdate();
  RunInjected(update + "/update.status", "write:error=ENOSPC:when=1");
  ASSERT_FALSE(Exists(update + "/update.status"));
  ExpectNew();
  EXPECT_TRUE(Exists(update + "/update.journal"));
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Log(), "RECOVER UPDATE ALREADY APPLIED\nsucceeded\ncalling QuitProgressUI\n");
  ExpectNew();
  EXPECT_EQ(UpdateDir(), (std::vector<std::string>{"update.log", "update.manifest", "update.status", "update.zar"}));
}

// An interrupted run is rolled back even when this run cannot open its
// archive: a failed run never leaves the installation half updated.
TEST_F(FaultRecoveryE2E, InterruptedRunIsRolledBackEvenWithoutTheArchive) {
  MakeUpdate("add \"a\"\nadd \"b\"\n", {{"a", "a 2"}, {"b", "b 2"}});
  Install("a", "a 1");
  Install("b", "b 1");
  ASSERT_EQ(RunInjected("b", "openat:signal=SIGKILL:when=2").signal, SIGKILL);
  ASSERT_EQ(Installed("a"), "a 2");
  ASSERT_EQ(unlink((update + "/update.zar").c_str()), 0);
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(Installed("a"), "a 1");
  EXPECT_EQ(Installed("b"), "b 1");
  EXPECT_EQ(Tree(), (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(Exists(update + "/update.journal"));
}

}  // namespace
