// Runs after an interrupted run: the journal of backups in flight tells an
// interrupted run's leftovers from those of a run that completed.
#include <sys/stat.h>

#include <cinttypes>

#include "updater_e2e.h"

using namespace testing_support;

namespace {

class RecoveryE2E : public UpdaterE2E {
 protected:
  // The journal line of a backup, as the interrupted run wrote it.
  std::string BackupLine(const std::string& rel) {
    struct stat st;
    EXPECT_EQ(stat((install + "/" + rel + ".zel-backup").c_str(), &st), 0);
    return "R " + std::to_string(uintmax_t(st.st_dev)) + " " + std::to_string(uintmax_t(st.st_ino)) + " " + rel + "\n";
  }
  std::string ArchiveLine() {
    struct stat st;
    EXPECT_EQ(stat((update + "/update.zar").c_str(), &st), 0);
    char buf[128];
    snprintf(buf, sizeof buf, "archive %jd %jd.%09ld\n", intmax_t(st.st_size), intmax_t(st.st_mtim.tv_sec),
             st.st_mtim.tv_nsec);
    return buf;
  }
  void WriteJournal(const std::string& body) { WriteFile(update + "/update.journal", "zel-journal 1\n" + body); }
};

TEST_F(RecoveryE2E, InterruptedRunIsRolledBackThenTheUpdateApplied) {
  // The interrupted run had backed "app" up, removed it and written half of
  // the new one, and was about to back "lib" up.
  MakeUpdate("add \"app\"\nadd \"lib\"\n", {{"app", "app 2"}, {"lib", "lib 2"}});
  Install("app.zel-backup", "app 1", 0755);
  Install("app", "app 2 (half", 0644);
  Install("lib", "lib 1");
  Install("lib.zel-part", "li");
  WriteJournal(ArchiveLine() + "B app\n" + BackupLine("app") + "B lib\nR 1 2 li");  // last line cut short
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Log().substr(0, 20), "RECOVER RESTORE app\n");
  EXPECT_EQ(Installed("app"), "app 2");
  EXPECT_EQ(Installed("lib"), "lib 2");
  EXPECT_EQ(Tree(), (std::vector<std::string>{"app", "lib"}));
  EXPECT_FALSE(Exists(update + "/update.journal"));
}

TEST_F(RecoveryE2E, RollbackRestoresModesBeforeAFailingRetry) {
  MakeUpdate("add \"app\"\nadd \"missing\"\n", {{"app", "app 2"}});
  Install("app.zel-backup", "app 1", 0755);
  Install("app", "app 2", 0644);
  WriteJournal(ArchiveLine() + "B app\n" + BackupLine("app"));
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(Installed("app"), "app 1");
  EXPECT_EQ(ModeOf("app"), 0755u);
  EXPECT_EQ(Tree(), (std::vector<std::string>{"app"}));
}

TEST_F(RecoveryE2E, CommittedRunIsFinishedNotAppliedAgain) {
  // The interrupted run had applied everything and was deleting its backups.
  MakeUpdate("patch \"p\" \"app\"\n", {{"p", "not needed: nothing is applied again"}});
  Install("app", "app 2");
  Install("app.zel-backup", "app 1");
  WriteJournal(ArchiveLine() + "B app\n" + BackupLine("app") + "COMMIT\n");
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Log(), "RECOVER DISCARD app\nRECOVER UPDATE ALREADY APPLIED\nsucceeded\ncalling QuitProgressUI\n");
  EXPECT_EQ(Installed("app"), "app 2");
  EXPECT_EQ(Tree(), (std::vector<std::string>{"app"}));
}

TEST_F(RecoveryE2E, CommittedRunOfAnotherArchiveIsFinishedAndThisOneApplied) {
  MakeUpdate("add \"app\"\n", {{"app", "app 3"}});
  Install("app", "app 2");
  Install("app.zel-backup", "app 1");
  WriteJournal("archive 1 2.000000003\nB app\n" + BackupLine("app") + "COMMIT\n");
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Installed("app"), "app 3");
  EXPECT_EQ(Tree(), (std::vector<std::string>{"app"}));
}

TEST_F(RecoveryE2E, BackupsNoJournalListsAreNeverRestored) {
  MakeUpdate("add \"other\"\n", {{"other", "o"}});
  Install("app", "app 3");
  Install("app.zel-backup", "app 2, left by a run that completed");
  Install("lib", "lib 3");
  Install("lib.zel-backup", "lib 1, replaced since the journal was written");
  WriteJournal(ArchiveLine() + "R 1 1 lib\n");  // names another file than lib's backup now
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Installed("app"), "app 3");
  EXPECT_EQ(Installed("lib"), "lib 3");
  EXPECT_EQ(Log().find("RECOVER"), std::string::npos);
}

TEST_F(RecoveryE2E, JournalWithoutItsHeaderSawNoChange) {
  MakeUpdate("add \"app\"\n", {{"app", "new"}});
  Install("app", "old");
  Install("app.zel-backup", "older");
  WriteFile(update + "/update.journal", "zel-jour");
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Installed("app"), "new");
  EXPECT_FALSE(Exists(update + "/update.journal"));
}

TEST_F(RecoveryE2E, NoJournalIsLeftByACompletedRun) {
  Install("app", "old");
  MakeUpdate("add \"app\"\n", {{"app", "new"}});
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  MakeUpdate("add \"app\"\nadd \"missing\"\n", {{"app", "newer"}});
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(Installed("app"), "new");
  EXPECT_EQ(ListTree(update), (std::vector<std::string>{"update.log", "update.manifest", "update.status", "update.zar"}));
}

}  // namespace
