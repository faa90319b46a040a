// Backups, their journal and the run after an interrupted one: what the fault sweep and the crash check cannot
// reach (journals no run writes, files and links planted between runs, a restore from a copy), and a few faults of
// their own. Crashes and faults are injected with strace.
#include "updater_e2e.h"
#include "zbdiff/zbdiff.h"

using namespace testing_support;

namespace {

struct Injection {
  std::string path, inject;  // no path: a plain run
};

class RecoveryE2E : public UpdaterE2E {
 protected:
  void SetUp() override {
    if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
    UpdaterE2E::SetUp();
  }
  // The updater under strace, the calls that name |path| (in the installation, or absolute) meeting |inject|; -P counts
  // only those, so the point stays put whatever else the updater does. No path: a plain run.
  RunResult RunInjected(const std::string& path, const std::string& inject) {
    if (path.empty()) return RunUpdater();
    return RunProgram({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-P", path, "-e", "inject=" + inject,
                       Program("updater"), update, "0"}, {install, {"DISPLAY=", "WAYLAND_DISPLAY="}, 60});
  }
  void Fresh(const std::string& manifest) {
    Reset();
    Install("a", "a 1", 0666);  // a mode the umask would cut: restored exactly
    Install("b", "b 1", 0666);
    MakeUpdate(manifest, {{"a", "a 2"}, {"b", "b 2"}, {"z", "z 2"}, {"a/x/y", "y 2"}, {"p", zbdiff::MakePatch("b 1", "b 3")}});
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
    const std::string archive = this_archive ? line : "archive 1 2.000000003\n";
    WriteFile(update + "/update.journal", "zel-journal 1\n" + archive + body);
  }
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
};

const Injection kKillAtZ = {"z", "openat:signal=KILL:when=1"};  // Execute, before the last add
const Injection kKillAtB = {"b", "openat:signal=KILL:when=2"};  // Execute, adding b
const Files kOld = {{"a", "a 1|666"}, {"b", "b 1|666"}};

TEST_F(RecoveryE2E, RefusalRollbackAndRecoveryGiveEveryFileBack) {
  auto copied_tree = [this] {  // new inodes for the same bytes, as a restore from a copy gives
    unlink((update + "/update.zar").c_str());
    ASSERT_EQ(system(("cp -a " + install + " " + install + ".copy && rm -rf " + install + " && mv " + install +
                      ".copy " + install).c_str()), 0);
  };
  const std::string long_name(250, 'n');  // its backup's name is too long for the file system
  const Shape shapes[] = {
      {"a FIFO to replace", "add \"z\"\nadd \"b\"\n",
       [this] { unlink((install + "/b").c_str()), mkfifo((install + "/b").c_str(), 0644); }, {}, nullptr, {},
       "failed: 6\n", "", {{"a", "a 1|666"}, {"b", "?"}}, false},
      {"a name too long to back up", "add \"z\"\nremove \"" + long_name + "\"\n", [&] { Install(long_name, "long"); },
       {}, nullptr, {}, "failed: 6\n",
       "PREPARE ADD z\nPREPARE REMOVE " + long_name + "\nfile name too long to back up: " + long_name + "\n",
       {{"a", "a 1|666"}, {"b", "b 1|666"}, {long_name, "long|644"}}, false},
      {"an I/O error finding a file to remove", "remove \"a\"\nadd \"z\"\n", nullptr,
       {"a", "access,faccessat,faccessat2:error=EIO"}, nullptr, {}, "failed: 6\n", "", kOld, false},
      {"a file that became a directory, rolled back", "remove \"a\"\nadd \"a/x/y\"\nadd \"missing\"\n", nullptr, {},
       nullptr, {}, "failed: 6\n", "", kOld, false},
      {"a link planted at a backup's name", "add \"a\"\nadd \"b\"\nadd \"missing\"\n",
       [this] { symlink("a.zel-backup", (install + "/b.zel-backup").c_str()); }, {}, nullptr, {}, "failed: 6\n", "",
       kOld, false},
      {"a hard link planted at a file before its restore", "add \"b\"\nadd \"z\"\n", nullptr, kKillAtZ,
       [this] {
         Install("victim", "victim"), unlink((install + "/b").c_str());
         link((install + "/victim").c_str(), (install + "/b").c_str());
       },
       {}, "succeeded\n", "RECOVER RESTORE b\n",
       {{"a", "a 1|666"}, {"b", "b 2|644"}, {"victim", "victim|644"}, {"z", "z 2|644"}}, false},
      {"a link to the backup planted at its name after a crash", "add \"b\"\nadd \"z\"\n", nullptr, kKillAtZ,
       [this] {
         rename((install + "/b.zel-backup").c_str(), (install + "/elsewhere").c_str());
         symlink("elsewhere", (install + "/b.zel-backup").c_str());
       },
       {}, "succeeded\n", "PREPARE ADD b\n",
       {{"a", "a 1|666"}, {"b", "b 2|644"}, {"elsewhere", "b 1|666"}, {"z", "z 2|644"}}, false},
      {"backups copied to new inodes", "add \"b\"\nadd \"z\"\n", nullptr, kKillAtZ, copied_tree, {}, "failed: 6\n",
       "RECOVER RESTORE b\n", kOld, false},
      {"a journal that cannot be read", "add \"b\"\nadd \"z\"\n", nullptr, kKillAtZ, [] {},
       {update + "/update.journal", "read:error=EIO"}, "failed: 6\n", "",
       {{"a", "a 1|666"}, {"b", "b 2|644"}, {"b.zel-backup", "b 1|666"}}, true},
      {"recovery restores every backup it can after one fails", "add \"a\"\nadd \"b\"\n", nullptr, kKillAtB,
       [this] { unlink((install + "/a").c_str()), mkdir((install + "/a").c_str(), 0755); }, {}, "failed: 7\n", "",
       {{"a", "/"}, {"a.zel-backup", "a 1|666"}, {"b", "b 1|666"}}, true},
      {"an interrupted run is rolled back, then the update applied", "add \"a\"\nadd \"b\"\n",
       [this] {
         const std::string a = BackUp("a", "a 2 (half");
         Install("b.zel-part", "b");
         WriteJournal(a + "B b\nR 1 2 b");  // the last line cut short
       },
       {}, nullptr, {}, "succeeded\n", "RECOVER RESTORE a\n", {{"a", "a 2|644"}, {"b", "b 2|644"}}, false},
      {"a committed run is finished, not applied again", "patch \"p\" \"b\"\n",
       [this] { WriteJournal(BackUp("b", "b 3") + "COMMIT\n"); }, {}, nullptr, {}, "succeeded\n",
       "RECOVER DISCARD b\nRECOVER UPDATE ALREADY APPLIED\nsucceeded\ncalling QuitProgressUI\n",
       {{"a", "a 1|666"}, {"b", "b 3|644"}}, false},
      {"a committed run of another archive is finished, this one applied", "add \"b\"\n",
       [this] { WriteJournal(BackUp("b", "b 3") + "COMMIT\n", false); }, {}, nullptr, {}, "succeeded\n",
       "RECOVER DISCARD b\nPREPARE", {{"a", "a 1|666"}, {"b", "b 2|644"}}, false},
  };
  for (const Shape& s : shapes) {
    SCOPED_TRACE(s.name);
    Fresh(s.manifest);
    if (s.plant) s.plant();
    RunResult first = RunInjected(s.first.path, s.first.inject);
    if (s.first.inject.find("KILL") != std::string::npos) {
      ASSERT_EQ(first.signal, SIGKILL);
    }
    if (s.between) {
      s.between();
      RunInjected(s.second.path, s.second.inject);
    }
    EXPECT_EQ(Status(), s.status);
    EXPECT_EQ(Log().substr(0, s.log.size()), s.log);
    EXPECT_EQ(Snapshot(), s.tree);
    EXPECT_EQ(Exists(update + "/update.journal"), s.journal_kept);
    for (const std::string& name : ListTree(update))
      EXPECT_TRUE(std::count(kCleanUpdateDir.begin(), kCleanUpdateDir.end(), name) || s.journal_kept) << name;
  }
}

// A link planted at a target between its backup's rename and the new or patched bytes
// (the rename held up by strace meanwhile) is replaced, never written through.
TEST_F(RecoveryE2E, LinkPlantedAfterTheBackupIsNotFollowed) {
  for (const char* manifest : {"add \"b\"\n", "patch \"p\" \"b\"\n"}) {
    SCOPED_TRACE(manifest);
    Fresh(manifest);
    RunProgram({"/bin/sh", "-c",
                "/usr/bin/strace -f -qq -o /dev/null -P b -e inject=rename:delay_exit=1000000:when=1 \"$0\" \"$1\" 0 &"
                " sleep 0.5; ln -s ../outside b; wait", Program("updater"), update}, {install, {"DISPLAY="}, 60});
    EXPECT_EQ(Status(), "failed: 7\n") << Log();
    EXPECT_FALSE(Exists(dir / "outside"));
    EXPECT_EQ(Snapshot(), kOld);
  }
}

}  // namespace
