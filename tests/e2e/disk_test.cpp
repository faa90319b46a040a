// The space check before the first change, for real: the installation on a small tmpfs mounted in a private
// mount namespace (root only). A disk that fills during the run is the fault sweep's (ENOSPC and EIO at each write).
#include <sched.h>
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

}  // namespace
