// A full disk, for real: the installation on a small tmpfs mounted in a private mount namespace (root only). The
// space check before the first change refuses an update one block too big and lets one that fits exactly run; a
// disk that fills at any write of a run ends it wholly new or wholly old, and the run after the space is freed
// applies the update.
#include <sched.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include "updater_e2e.h"
#include "zbdiff/zbdiff.h"

using namespace testing_support;

namespace {

const std::string kOldCore = RandomBytes(9000, 1);

class DiskE2E : public UpdaterE2E {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      GTEST_SKIP() << "no private mount namespace: " << strerror(errno);
    UpdaterE2E::SetUp();
    volume = dir / "volume";
    install = volume + "/install";
  }
  void TearDown() override {
    if (!volume.empty()) umount2(volume.c_str(), MNT_DETACH);
  }

  // A fresh tmpfs of |kib| KiB holding the installation folder with |files|.
  void MountVolume(int kib, const std::map<std::string, std::string>& files) {
    umount2(volume.c_str(), MNT_DETACH);
    mkdir(volume.c_str(), 0755);
    ASSERT_EQ(mount("tmpfs", volume.c_str(), "tmpfs", 0, ("size=" + std::to_string(kib) + "k").c_str()), 0);
    mkdir(install.c_str(), 0755);
    for (const auto& [rel, content] : files) Install(rel, content);
  }
  // Runs the updater under strace, each thread stopped at its |n|-th write: at the first stop the volume is
  // filled (a file beside the installation), then every stopped thread goes on. False when none wrote n times.
  bool RunFillingAtWrite(int n) {
    const std::string trace = dir / "trace", mark = " --- stopped by SIGSTOP";  // "TID --- stopped by SIGSTOP ---"
    unlink(trace.c_str());
    const pid_t pid = Start({"/usr/bin/strace", "-f", "-qq", "-o", trace, "-e", "trace=write", "-e",
                             "inject=write:signal=SIGSTOP:when=" + std::to_string(n), Program("updater"), update, "0"});
    std::erase(started, pid);  // reaped here
    size_t handled = 0;
    for (int polls = 0; waitpid(pid, nullptr, WNOHANG) == 0; usleep(2000)) {
      const std::string text = ReadFile(trace);
      size_t seen = 0;
      for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1), ++seen) {
        if (seen < handled) continue;
        if (handled++ == 0) {
          const int fd = open((volume + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
          for (const std::string chunk(65536, 'f'); write(fd, chunk.data(), chunk.size()) > 0;) continue;
          close(fd);
        }
        const size_t line = text.rfind('\n', at) + 1;
        kill(pid_t(std::stoi(text.substr(line, at - line))), SIGCONT);
      }
      if (++polls == 30000) ADD_FAILURE() << "the run does not end", kill(pid, SIGKILL);
    }
    return handled > 0;
  }
  std::string volume;
};

TEST_F(DiskE2E, SpaceCheckRefusesOneBlockTooMuchAndLetsAnExactFitRun) {
  const std::string new_core = kOldCore + "and a tail that makes the patched file longer";
  for (const int extra : {1, 0}) {  // one byte, so one block, too much; an exact fit
    SCOPED_TRACE(extra ? "one block too much" : "an exact fit");
    MountVolume(256, {{"core", kOldCore}, {"gone", std::string(5000, 'g')}});
    // The patched file and the new one take every free block; the removed
    // file's blocks stay taken by its backup until the end.
    struct statvfs vfs;
    ASSERT_EQ(statvfs(volume.c_str(), &vfs), 0);
    const uint64_t block = vfs.f_frsize, free_blocks = vfs.f_bavail;
    const std::string big = RandomBytes((free_blocks - (new_core.size() + block - 1) / block) * block + extra, 2);
    MakeUpdate("patch \"p\" \"core\"\nremove \"gone\"\nadd \"big\"\n",
               {{"p", zbdiff::MakePatch(kOldCore, new_core)}, {"big", big}});
    const auto before = Snapshot();
    RunUpdater();
    if (extra) {
      EXPECT_EQ(Status(), "failed: 7\n");
      EXPECT_EQ(Snapshot(), before);
      const std::string line = "not enough disk space in .: " + std::to_string((free_blocks + 1) * block) +
                               " bytes needed, " + std::to_string(free_blocks * block) + " free\n";
      EXPECT_NE(Log().find(line), std::string::npos) << Log();
      EXPECT_EQ(Log().find("EXECUTE"), std::string::npos) << "nothing may change";
    } else {
      EXPECT_EQ(Status(), "succeeded\n") << Log();
      EXPECT_EQ(Snapshot(), (Files{{"big", big + "|644"}, {"core", new_core + "|644"}}));
    }
  }
}

TEST_F(DiskE2E, DiskFullAtAnyWriteRollsBackWholeAndTheRetrySucceeds) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  const std::string app = RandomBytes(21000, 4), fresh = RandomBytes(13000, 5);
  const Files items = {{"app", app}, {"doc", "doc 2"}, {"fresh/sub/new", fresh},
                       {"p", zbdiff::MakePatch(kOldCore, kOldCore + "patched")}};
  const Files old_tree = {{"app", RandomBytes(20000, 3)}, {"core", kOldCore}, {"doc", "doc 1"}, {"gone", "gone"}};
  const Files new_tree = {{"app", app + "|644"}, {"core", kOldCore + "patched|644"}, {"doc", "doc 2|644"},
                          {"fresh", "/"}, {"fresh/sub", "/"}, {"fresh/sub/new", fresh + "|644"}};
  int failed = 0;
  for (int n = 1;; ++n) {
    SCOPED_TRACE("the disk filled after write " + std::to_string(n));
    MountVolume(1024, old_tree);
    MakeUpdate("add \"app\"\npatch \"p\" \"core\"\nremove \"gone\"\nadd \"fresh/sub/new\"\nadd \"doc\"\n", items);
    if (!RunFillingAtWrite(n)) break;
    const Files after = Snapshot();
    EXPECT_FALSE(Exists(update + "/update.journal"));
    if (Status() == "succeeded\n") {
      EXPECT_EQ(after, new_tree);
      continue;
    }
    ++failed;
    EXPECT_EQ(Status(), "failed: 7\n") << Log();
    // Wholly old; what the update added where nothing stood may stay.
    for (const auto& [rel, content] : old_tree) EXPECT_EQ(after.count(rel) ? after.at(rel) : "", content + "|644") << rel;
    for (const auto& [rel, value] : after) EXPECT_TRUE(old_tree.count(rel) || new_tree.count(rel)) << rel;
    ASSERT_EQ(unlink((volume + "/filler").c_str()), 0);
    RunUpdater();
    EXPECT_EQ(Status(), "succeeded\n") << Log();
    EXPECT_EQ(Snapshot(), new_tree);
    EXPECT_EQ(ListTree(update), kCleanUpdateDir) << "nothing left behind";
  }
  EXPECT_GT(failed, 10) << "the disk filled at too few points of the run";
}

}  // namespace
