// Backups, their journal and what stands around them: the targets an update
// refuses before anything changes, and the installation that a rollback or
// the run after a crash leaves. Crashes and faults are injected with strace,
// counting only the calls on one path (-P), so the point stays put whatever
// else the updater does.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>

#include "updater_e2e.h"
#include "zbdiff/zbdiff.h"

using namespace testing_support;

namespace {

const char kStrace[] = "/usr/bin/strace";
const std::string kLong(250, 'n');  // a name whose backup name is too long for the file system

// Calls named |path| (relative to the installation, or absolute) meet
// |inject|, an strace inject expression; no path: a plain run.
struct Injection {
  std::string path, inject;
};

class BackupSafetyE2E : public UpdaterE2E {
 protected:
  // Fresh installation and update folders for each row of a table.
  void Reset() {
    ASSERT_EQ(system(("rm -rf '" + install + "' '" + update + "'").c_str()), 0);
    UpdaterE2E::SetUp();
    Install("a", "a 1", 0666);  // a mode the umask would cut: restored exactly
    Install("b", "b 1", 0666);
  }

  RunResult Run(const Injection& i) {
    if (i.path.empty()) return RunUpdater();
    std::vector<std::string> argv = {kStrace, "-f", "-qq", "-o", "/dev/null", "-P", i.path, "-e", "inject=" + i.inject,
                                     Program("updater"), update, "0"};
    return RunProgram(argv, RunOptions{install, {"DISPLAY=", "WAYLAND_DISPLAY="}, 30});
  }

  void MakeItems(const std::string& manifest, const std::map<std::string, unsigned>& modes = {}) {
    MakeUpdate(manifest,
               {{"a", "a 2"}, {"b", "b 2"}, {"z", "z 2"}, {"a/x/y", "y 2"}, {"p", zbdiff::MakePatch("b 1", "b 3")}},
               modes);
  }

  // Every entry of the installation: a file as "bytes|mode", a directory as
  // "/", a link as "->target", anything else as "?"; never opened otherwise.
  std::map<std::string, std::string> Snapshot() {
    std::map<std::string, std::string> out;
    for (const std::string& rel : Tree()) {
      const std::string path = install + "/" + rel;
      struct stat st;
      char target[256] = {};
      if (lstat(path.c_str(), &st) != 0) continue;
      if (S_ISREG(st.st_mode)) {
        char mode[8];
        snprintf(mode, sizeof mode, "%o", unsigned(st.st_mode & 07777));
        out[rel] = ReadFile(path) + "|" + mode;
      } else if (S_ISDIR(st.st_mode)) {
        out[rel] = "/";
      } else {
        out[rel] = readlink(path.c_str(), target, sizeof target - 1) >= 0 ? std::string("->") + target : "?";
      }
    }
    return out;
  }
  bool JournalKept() { return Exists(update + "/update.journal"); }
};

// ---- refused before anything changes ----------------------------------------

struct Refusal {
  const char* name;
  std::function<void()> plant;
  std::string manifest, status, log_line;
  Injection injection;
};

TEST_F(BackupSafetyE2E, RefusalsChangeNothing) {
  const std::string fifo = install + "/fifo";
  const Refusal kRefusals[] = {
      {"a target with a backup's name", nullptr, "add \"z\"\nadd \"sub/b.zel-backup\"\n", "failed: 5\n", "", {}},
      {"a target with a part file's name", nullptr, "add \"z\"\nremove \"b.zel-part\"\n", "failed: 5\n", "", {}},
      {"a FIFO to replace", [&] { mkfifo(fifo.c_str(), 0644); }, "add \"z\"\nadd \"fifo\"\n", "failed: 6\n", "", {}},
      {"a FIFO to patch", [&] { mkfifo(fifo.c_str(), 0644); }, "add \"z\"\npatch \"p\" \"fifo\"\n",
       "failed: 6\n", "", {}},
      {"a link to remove", [this] { symlink("a", (install + "/link").c_str()); },
       "add \"z\"\nremove \"link\"\n", "failed: 6\n", "", {}},
      {"a name too long to back up", [this] { Install(kLong, "long"); },
       "add \"z\"\nremove \"" + kLong + "\"\n", "failed: 6\n", "file name too long to back up: " + kLong + "\n", {}},
      {"an I/O error judging a file to remove", nullptr, "remove \"a\"\nadd \"z\"\n", "failed: 6\n", "",
       {"a", "newfstatat,statx:error=EIO"}},
      {"an I/O error finding a file to remove", nullptr, "remove \"a\"\nadd \"z\"\n", "failed: 6\n", "",
       {"a", "access,faccessat,faccessat2:error=EIO"}},
  };
  for (const Refusal& r : kRefusals) {
    SCOPED_TRACE(r.name);
    if (!r.injection.path.empty() && access(kStrace, X_OK) != 0) continue;
    Reset();
    if (r.plant) r.plant();
    MakeItems(r.manifest);
    const auto before = Snapshot();
    Run(r.injection);
    EXPECT_EQ(Status(), r.status);
    EXPECT_EQ(Snapshot(), before);
    if (!r.log_line.empty()) {
      EXPECT_NE(Log().find(r.log_line), std::string::npos) << Log();
    }
    EXPECT_FALSE(JournalKept());
  }
}

// ---- rollback and recovery --------------------------------------------------

struct Shape {
  const char* name;
  std::string manifest;
  std::function<void()> plant;
  Injection first;                                // a crash, mostly
  std::function<void()> between;  // null: no second run
  Injection second;
  std::string status, log_prefix;
  std::map<std::string, std::string> tree;
  bool journal_kept;
};

const Injection kKillAtZ = {"z", "openat:signal=KILL:when=1"};             // Execute, before the last add
const Injection kKillInFinish = {"b.zel-backup", "unlink:signal=KILL:when=1"};  // after COMMIT
const std::map<std::string, std::string> kOld = {{"a", "a 1|666"}, {"b", "b 1|666"}};

TEST_F(BackupSafetyE2E, RollbackAndRecoveryGiveEveryFileBack) {
  if (access(kStrace, X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  auto no_archive = [this] { unlink((update + "/update.zar").c_str()); };
  auto copied_tree = [this, no_archive] {
    // New inodes for the same bytes, as a restore from a copy gives.
    no_archive();
    ASSERT_EQ(system(("cp -a " + install + " " + install + ".copy && rm -rf " + install + " && mv " +
                      install + ".copy " + install).c_str()), 0);
  };
  const Shape kShapes[] = {
      {"a file that became a directory, rolled back", "remove \"a\"\nadd \"a/x/y\"\nadd \"missing\"\n", nullptr, {},
       nullptr, {}, "failed: 6\n", "", kOld, false},
      {"a file that became a directory, recovered", "remove \"a\"\nadd \"a/x/y\"\nadd \"z\"\n", nullptr, kKillAtZ,
       [] {}, {}, "succeeded\n", "RECOVER RESTORE a\n",
       {{"a", "/"}, {"a/x", "/"}, {"a/x/y", "y 2|644"}, {"b", "b 1|666"}, {"z", "z 2|644"}}, false},
      {"a file put in that directory since stays", "remove \"a\"\nadd \"a/x/y\"\nadd \"z\"\n", nullptr, kKillAtZ,
       [this] { Install("a/mine", "mine"); }, {}, "failed: 7\n", "RECOVER RESTORE a\n",
       {{"a", "/"}, {"a.zel-backup", "a 1|666"}, {"a/mine", "mine|644"}, {"b", "b 1|666"}}, true},
      {"a link planted at a backup's name", "add \"a\"\nadd \"b\"\nadd \"missing\"\n",
       [this] { symlink("a.zel-backup", (install + "/b.zel-backup").c_str()); }, {}, nullptr, {},
       "failed: 6\n", "", kOld, false},
      {"a hard link planted at a part file's name", "add \"b\"\n",
       [this] {
         Install("victim", "victim");
         link((install + "/victim").c_str(), (install + "/b.zel-part").c_str());
       },
       {}, nullptr, {}, "succeeded\n", "",
       {{"a", "a 1|666"}, {"b", "b 2|644"}, {"b.zel-part", "victim|644"}, {"victim", "victim|644"}}, false},
      {"a hard link planted at a file before its restore", "add \"b\"\nadd \"z\"\n", nullptr, kKillAtZ,
       [this] {
         Install("victim", "victim");
         unlink((install + "/b").c_str());
         link((install + "/victim").c_str(), (install + "/b").c_str());
       },
       {}, "succeeded\n", "RECOVER RESTORE b\n",
       {{"a", "a 1|666"}, {"b", "b 2|644"}, {"victim", "victim|644"}, {"z", "z 2|644"}}, false},
      {"backups copied to new inodes", "add \"b\"\nadd \"z\"\n", nullptr, kKillAtZ, copied_tree, {}, "failed: 6\n",
       "RECOVER RESTORE b\n", kOld, false},
      {"a listed backup replaced by other bytes of its size", "add \"b\"\nadd \"z\"\n", nullptr, kKillAtZ,
       [this, no_archive] { Install("b.zel-backup", "b 9"); no_archive(); }, {}, "failed: 6\n", "",
       {{"a", "a 1|666"}, {"b", "b 2|644"}, {"b.zel-backup", "b 9|644"}}, false},
      {"a journal line this code did not write", "add \"b\"\n",
       [this] { WriteFile(update + "/update.journal", "zel-journal 2\nR 3 b\n"); }, {}, nullptr, {}, "failed: 8\n",
       "", kOld, true},
      {"a crash before the backup's rename", "add \"b\"\n", nullptr, {"b", "rename:signal=KILL:when=1"},
       no_archive, {}, "failed: 6\n", "", kOld, false},
      {"a journal that cannot be read", "add \"b\"\nadd \"z\"\n", nullptr, kKillAtZ, [] {},
       {update + "/update.journal", "read:error=EIO"}, "failed: 6\n", "",
       {{"a", "a 1|666"}, {"b", "b 2|644"}, {"b.zel-backup", "b 1|666"}}, true},
      {"an archive that cannot be read after COMMIT", "patch \"p\" \"b\"\nadd \"z\"\n", nullptr, kKillInFinish,
       [] {}, {update + "/update.zar", "openat,newfstatat:error=EIO:when=1"}, "failed: 6\n", "",
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
  };
  for (const Shape& s : kShapes) {
    SCOPED_TRACE(s.name);
    Reset();
    if (s.plant) s.plant();
    MakeItems(s.manifest);
    RunResult first = Run(s.first);
    if (s.first.inject.find("KILL") != std::string::npos) {
      ASSERT_EQ(first.signal, SIGKILL);
    }
    if (s.between) {
      s.between();
      Run(s.second);
    }
    EXPECT_EQ(Status(), s.status);
    EXPECT_EQ(Log().substr(0, s.log_prefix.size()), s.log_prefix);
    EXPECT_EQ(Snapshot(), s.tree);
    EXPECT_EQ(JournalKept(), s.journal_kept);
    if (!s.journal_kept) {
      EXPECT_EQ(ListTree(update).size(), 3u + Exists(update + "/update.zar")) << "leftovers";
    }
  }
}

}  // namespace
