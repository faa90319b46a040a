// Backups, their journal and the run after an interrupted one: the targets an
// update refuses before anything changes, and the installation that a
// rollback, a fault or a crash (injected with strace) and the run after it
// leave. Each row pins down a fault that the fault sweep found or could find.
#include <cinttypes>

#include "updater_e2e.h"
#include "zbdiff/zbdiff.h"

using namespace testing_support;

namespace {

const std::string kLong(250, 'n');  // a name whose backup name is too long for the file system
const std::string kEnd = "calling QuitProgressUI\n";

struct Injection {
  std::string path, inject;  // no path: a plain run
};

class RecoveryE2E : public UpdaterE2E {
 protected:
  void SetUp() override {
    if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
    UpdaterE2E::SetUp();
  }
  // The updater under strace, the calls that name |path| (in the installation,
  // or absolute) meeting |inject|; -P counts only those, so the point stays
  // put whatever else the updater does. No path: a plain run.
  RunResult RunInjected(const std::string& path, const std::string& inject) {
    if (path.empty()) return RunUpdater();
    return RunProgram({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-P", path, "-e", "inject=" + inject,
                       Program("updater"), update, "0"}, {install, {"DISPLAY=", "WAYLAND_DISPLAY="}, 60});
  }
  void Fresh() {
    Reset();
    Install("a", "a 1", 0666);  // a mode the umask would cut: restored exactly
    Install("b", "b 1", 0666);
  }
  void MakeItems(const std::string& manifest, const std::map<std::string, unsigned>& modes = {}) {
    MakeUpdate(manifest, {{"a", "a 2"}, {"b", "b 2"}, {"z", "z 2"}, {"a/x/y", "y 2"}, {"p", zbdiff::MakePatch("b 1", "b 3")}},
               modes);
  }
  // What an interrupted run did to |rel| and wrote to its journal: backed it
  // up (listed by device and inode) and left |now| in its place.
  std::string BackUp(const std::string& rel, const std::string& now) {
    EXPECT_EQ(rename((install + "/" + rel).c_str(), (install + "/" + rel + ".zel-backup").c_str()), 0);
    Install(rel, now);
    struct stat st;
    EXPECT_EQ(stat((install + "/" + rel + ".zel-backup").c_str(), &st), 0);
    return "B " + rel + "\nR " + std::to_string(uintmax_t(st.st_dev)) + " " + std::to_string(uintmax_t(st.st_ino)) +
           " " + rel + "\n";
  }
  void WriteJournal(const std::string& body, bool this_archive = true) {
    struct stat st;
    EXPECT_EQ(stat((update + "/update.zar").c_str(), &st), 0);
    char line[128];
    snprintf(line, sizeof line, "archive %jd %jd.%09ld\n", intmax_t(st.st_size), intmax_t(st.st_mtim.tv_sec),
             st.st_mtim.tv_nsec);
    WriteFile(update + "/update.journal", "zel-journal 1\n" + std::string(this_archive ? line : "archive 1 2.000000003\n") + body);
  }
  bool JournalKept() { return Exists(update + "/update.journal"); }
};

// A run (|first|, mostly a crash), then, unless |between| is null, what
// happened before the next run and that run (|second|).
struct Shape {
  const char* name;
  std::string manifest;
  std::function<void()> plant;
  Injection first;
  std::function<void()> between;
  Injection second;
  std::string status, log;  // the log's start
  Files tree;
  bool journal_kept;
  std::string first_status = "-";  // "-": not looked at
};

const Injection kKillAtZ = {"z", "openat:signal=KILL:when=1"};                  // Execute, before the last add
const Injection kKillAtB = {"b", "openat:signal=KILL:when=2"};                  // Execute, adding b
const Injection kKillInFinish = {"b.zel-backup", "unlink:signal=KILL:when=1"};  // after COMMIT
const Files kOld = {{"a", "a 1|666"}, {"b", "b 1|666"}};
const Files kPatched = {{"a", "a 2|644"}, {"b", "b 3|644"}};

TEST_F(RecoveryE2E, RefusalRollbackAndRecoveryGiveEveryFileBack) {
  auto no_archive = [this] { unlink((update + "/update.zar").c_str()); };
  auto copied_tree = [this, no_archive] {  // new inodes for the same bytes, as a restore from a copy gives
    no_archive();
    ASSERT_EQ(system(("cp -a " + install + " " + install + ".copy && rm -rf " + install + " && mv " + install +
                      ".copy " + install).c_str()), 0);
  };
  const std::string applied = "RECOVER UPDATE ALREADY APPLIED\nsucceeded\n" + kEnd;
  const std::string patch_a = "add \"a\"\npatch \"p\" \"b\"\n";
  auto fifo = [this] { mkfifo((install + "/fifo").c_str(), 0644); };
  const Files with_fifo = {{"a", "a 1|666"}, {"b", "b 1|666"}, {"fifo", "?"}};
  const Shape shapes[] = {
      // Refused before anything changes.
      {"a FIFO to replace", "add \"z\"\nadd \"fifo\"\n", fifo, {}, nullptr, {}, "failed: 6\n", "", with_fifo, false},
      {"a link to remove", "add \"z\"\nremove \"link\"\n", [this] { symlink("a", (install + "/link").c_str()); }, {},
       nullptr, {}, "failed: 6\n", "", {{"a", "a 1|666"}, {"b", "b 1|666"}, {"link", "->a"}}, false},
      {"a name too long to back up", "add \"z\"\nremove \"" + kLong + "\"\n", [this] { Install(kLong, "long"); }, {},
       nullptr, {}, "failed: 6\n",
       "PREPARE ADD z\nPREPARE REMOVE " + kLong + "\nfile name too long to back up: " + kLong + "\n",
       {{"a", "a 1|666"}, {"b", "b 1|666"}, {kLong, "long|644"}}, false},
      {"an I/O error judging a file to remove", "remove \"a\"\nadd \"z\"\n", nullptr, {"a", "newfstatat,statx:error=EIO"},
       nullptr, {}, "failed: 6\n", "", kOld, false},
      // Taken for "absent", the file would be skipped and the update go on.
      {"an I/O error finding a file to remove", "remove \"a\"\nadd \"z\"\n", nullptr,
       {"a", "access,faccessat,faccessat2:error=EIO"}, nullptr, {}, "failed: 6\n", "", kOld, false},
      // Rollback and recovery.
      {"a file that became a directory, rolled back", "remove \"a\"\nadd \"a/x/y\"\nadd \"missing\"\n", nullptr, {},
       nullptr, {}, "failed: 6\n", "", kOld, false},
      {"a file that became a directory, recovered", "remove \"a\"\nadd \"a/x/y\"\nadd \"z\"\n", nullptr, kKillAtZ,
       [] {}, {}, "succeeded\n", "RECOVER RESTORE a\n",
       {{"a", "/"}, {"a/x", "/"}, {"a/x/y", "y 2|644"}, {"b", "b 1|666"}, {"z", "z 2|644"}}, false},
      {"a file put in that directory since stays", "remove \"a\"\nadd \"a/x/y\"\nadd \"z\"\n", nullptr, kKillAtZ,
       [this] { Install("a/mine", "mine"); }, {}, "failed: 7\n", "RECOVER RESTORE a\n",
       {{"a", "/"}, {"a.zel-backup", "a 1|666"}, {"a/mine", "mine|644"}, {"b", "b 1|666"}}, true},
      {"a link planted at a backup's name", "add \"a\"\nadd \"b\"\nadd \"missing\"\n",
       [this] { symlink("a.zel-backup", (install + "/b.zel-backup").c_str()); }, {}, nullptr, {}, "failed: 6\n", "",
       kOld, false},
      {"a hard link planted at a part file's name", "add \"b\"\n",
       [this] { Install("victim", "victim"), link((install + "/victim").c_str(), (install + "/b.zel-part").c_str()); },
       {}, nullptr, {}, "succeeded\n", "",
       {{"a", "a 1|666"}, {"b", "b 2|644"}, {"b.zel-part", "victim|644"}, {"victim", "victim|644"}}, false},
      {"a hard link planted at a file before its restore", "add \"b\"\nadd \"z\"\n", nullptr, kKillAtZ,
       [this] {
         Install("victim", "victim"), unlink((install + "/b").c_str());
         link((install + "/victim").c_str(), (install + "/b").c_str());
       },
       {}, "succeeded\n", "RECOVER RESTORE b\n",
       {{"a", "a 1|666"}, {"b", "b 2|644"}, {"victim", "victim|644"}, {"z", "z 2|644"}}, false},
      {"backups copied to new inodes", "add \"b\"\nadd \"z\"\n", nullptr, kKillAtZ, copied_tree, {}, "failed: 6\n",
       "RECOVER RESTORE b\n", kOld, false},
      {"an interrupted run is rolled back without its archive", "add \"a\"\nadd \"b\"\n", nullptr, kKillAtB, no_archive,
       {}, "failed: 6\n", "RECOVER RESTORE a\n", kOld, false},
      {"a listed backup replaced by other bytes of its size", "add \"b\"\nadd \"z\"\n", nullptr, kKillAtZ,
       [this, no_archive] { Install("b.zel-backup", "b 9"), no_archive(); }, {}, "failed: 6\n", "",
       {{"a", "a 1|666"}, {"b", "b 2|644"}, {"b.zel-backup", "b 9|644"}}, false},
      {"a journal line this code did not write", "add \"b\"\n",
       [this] { WriteFile(update + "/update.journal", "zel-journal 2\nR 3 b\n"); }, {}, nullptr, {}, "failed: 8\n", "",
       kOld, true},
      {"a crash before the backup's rename", "add \"b\"\n", nullptr, {"b", "rename:signal=KILL:when=1"}, no_archive, {},
       "failed: 6\n", "", kOld, false},
      {"a journal that cannot be read", "add \"b\"\nadd \"z\"\n", nullptr, kKillAtZ, [] {},
       {update + "/update.journal", "read:error=EIO"}, "failed: 6\n", "",
       {{"a", "a 1|666"}, {"b", "b 2|644"}, {"b.zel-backup", "b 1|666"}}, true},
      {"an archive that cannot be read after COMMIT", "patch \"p\" \"b\"\nadd \"z\"\n", nullptr, kKillInFinish, [] {},
       {update + "/update.zar", "openat,newfstatat:error=EIO:when=1"}, "failed: 6\n", "",
       {{"a", "a 1|666"}, {"b", "b 3|644"}, {"b.zel-backup", "b 1|666"}, {"z", "z 2|644"}}, true},
      {"another archive of the same size and time after COMMIT", "add \"b\"\nadd \"z\"\n", nullptr, kKillInFinish,
       [this] {
         struct stat st;
         stat((update + "/update.zar").c_str(), &st);
         MakeItems("add \"b\"\nadd \"z\"\n", {{"z", 0600}});
         const struct timespec times[2] = {st.st_atim, st.st_mtim};
         utimensat(AT_FDCWD, (update + "/update.zar").c_str(), times, 0);
       },
       {}, "succeeded\n", "RECOVER DISCARD b\n", {{"a", "a 1|666"}, {"b", "b 2|644"}, {"z", "z 2|600"}}, false},
      // The journal once went before the outcome was written: the retry applied the patch again, and failed.
      {"a crash before the status is written", patch_a, nullptr, {update + "/update.status", "openat:signal=KILL:when=1"},
       [] {}, {}, "succeeded\n", applied, kPatched, false, ""},
      {"a crash in Finish, staged patches left", patch_a, nullptr, kKillInFinish, [] {}, {}, "succeeded\n",
       "RECOVER DISCARD b\n" + applied, kPatched, false},
      {"a backup that cannot be deleted is finished by the next run", patch_a, nullptr,
       {"b.zel-backup", "unlink:error=EIO:when=1"}, [] {}, {}, "succeeded\n", "RECOVER DISCARD b\n" + applied, kPatched,
       false, "succeeded\n"},
      {"a committed run's leftover that cannot be looked at is no failure", patch_a, nullptr, kKillInFinish, [] {},
       {"b.zel-backup", "newfstatat:error=EIO:when=1"}, "succeeded\n", "",
       {{"a", "a 2|644"}, {"b", "b 3|644"}, {"b.zel-backup", "b 1|666"}}, true},
      // The restore once read the mode with a stat of its own, and gave the old bytes the new mode.
      {"a backup that cannot be statted keeps its mode", "add \"a\"\nadd \"missing\"\n", nullptr,
       {"a.zel-backup", "newfstatat:error=EIO:when=3+"}, nullptr, {}, "failed: 6\n", "", kOld, false},
      {"recovery restores every backup it can after one fails", "add \"a\"\nadd \"b\"\n", nullptr, kKillAtB,
       [this] { unlink((install + "/a").c_str()), mkdir((install + "/a").c_str(), 0755); }, {}, "failed: 7\n", "",
       {{"a", "/"}, {"a.zel-backup", "a 1|666"}, {"b", "b 1|666"}}, true},
      // Journals an interrupted run wrote; the archive line and the R line say whose backups are whose.
      {"an interrupted run is rolled back, then the update applied", "add \"a\"\nadd \"b\"\n",
       [this] {
         const std::string a = BackUp("a", "a 2 (half");
         Install("b.zel-part", "b");
         WriteJournal(a + "B b\nR 1 2 b");  // the last line cut short
       },
       {}, nullptr, {}, "succeeded\n", "RECOVER RESTORE a\n", {{"a", "a 2|644"}, {"b", "b 2|644"}}, false},
      {"a rollback restores modes before a failing retry", "add \"a\"\nadd \"missing\"\n",
       [this] { WriteJournal(BackUp("a", "a 2")); }, {}, nullptr, {}, "failed: 6\n", "RECOVER RESTORE a\n", kOld, false},
      {"a committed run is finished, not applied again", "patch \"p\" \"b\"\n",
       [this] { WriteJournal(BackUp("b", "b 3") + "COMMIT\n"); }, {}, nullptr, {}, "succeeded\n",
       "RECOVER DISCARD b\n" + applied, {{"a", "a 1|666"}, {"b", "b 3|644"}}, false},
      {"a committed run of another archive is finished, this one applied", "add \"b\"\n",
       [this] { WriteJournal(BackUp("b", "b 3") + "COMMIT\n", false); }, {}, nullptr, {}, "succeeded\n",
       "RECOVER DISCARD b\nPREPARE", {{"a", "a 1|666"}, {"b", "b 2|644"}}, false},
      {"backups no journal lists are never restored", "add \"z\"\n",
       [this] {
         Install("a.zel-backup", "left by a run that completed"), Install("b.zel-backup", "replaced since");
         WriteJournal("R 1 1 b\n");
       },
       {}, nullptr, {}, "succeeded\n", "PREPARE ADD z\n",
       {{"a", "a 1|666"}, {"a.zel-backup", "left by a run that completed|644"}, {"b", "b 1|666"},
        {"b.zel-backup", "replaced since|644"}, {"z", "z 2|644"}}, false},
      {"a journal without its header saw no change", "add \"a\"\n",
       [this] { Install("a.zel-backup", "older"), WriteFile(update + "/update.journal", "zel-jour"); }, {}, nullptr, {},
       "succeeded\n", "PREPARE ADD a\n", {{"a", "a 2|644"}, {"b", "b 1|666"}}, false},
      {"a completed run leaves no journal", "add \"a\"\n", nullptr, {},
       [this] { MakeItems("add \"a\"\nadd \"missing\"\n"); }, {}, "failed: 6\n", "PREPARE ADD a\n",
       {{"a", "a 2|644"}, {"b", "b 1|666"}}, false},
  };
  for (const Shape& s : shapes) {
    SCOPED_TRACE(s.name);
    Fresh();
    MakeItems(s.manifest);
    if (s.plant) s.plant();
    RunResult first = RunInjected(s.first.path, s.first.inject);
    if (s.first.inject.find("KILL") != std::string::npos) {
      ASSERT_EQ(first.signal, SIGKILL);
    }
    if (s.first_status != "-") {
      EXPECT_EQ(Exists(update + "/update.status") ? Status() : "", s.first_status);
    }
    if (s.between) {
      s.between();
      RunInjected(s.second.path, s.second.inject);
    }
    EXPECT_EQ(Status(), s.status);
    EXPECT_EQ(Log().substr(0, s.log.size()), s.log);
    EXPECT_EQ(Snapshot(), s.tree);
    EXPECT_EQ(JournalKept(), s.journal_kept);
    for (const std::string& name : UpdateDir()) {
      EXPECT_TRUE(std::count(kCleanUpdateDir.begin(), kCleanUpdateDir.end(), name) || s.journal_kept) << name;
    }
  }
}

// A link planted at a target between its backup's rename and the new bytes
// (the rename held up by strace meanwhile) is replaced, never written through.
TEST_F(RecoveryE2E, LinkPlantedAfterTheBackupIsNotFollowed) {
  Fresh();
  MakeItems("add \"b\"\n");
  RunProgram({"/bin/sh", "-c",
              "/usr/bin/strace -f -qq -o /dev/null -P b -e inject=rename:delay_exit=1000000:when=1 \"$0\" \"$1\" 0 &"
              " sleep 0.5; ln -s ../outside b; wait", Program("updater"), update}, {install, {"DISPLAY="}, 60});
  EXPECT_EQ(Status(), "failed: 7\n") << Log();
  EXPECT_FALSE(Exists(dir / "outside"));
  EXPECT_EQ(Snapshot(), kOld);
}

}  // namespace
