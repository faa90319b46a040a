// File utilities and the backup rules of a run.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "errors.h"
#include "file_util.h"
#include "test_support.h"

using namespace testing_support;

namespace {

char* Writable(const char* s) {
  static char buf[256];
  snprintf(buf, sizeof buf, "%s", s);
  return buf;
}

class FileUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_umask_ = umask(022);
    backup_reset_run();
    ASSERT_EQ(getcwd(old_cwd_, sizeof old_cwd_), old_cwd_);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(old_cwd_), 0);
    umask(old_umask_);
  }
  // The file layer cuts paths in place for a moment: it is given writable
  // strings, as the manifest text and name buffers are.
  int EnsureParent(std::string path) { return ensure_parent_dir(path.data()); }
  int Copy(std::string source, std::string dest) { return copy_file(source.data(), dest.data()); }
  int Backup(std::string path, bool* made) { return backup_create(path.data(), made); }
  int Restore(std::string path) { return backup_restore(path.data()); }

  ScratchDir dir;
  LogCapture log;
  char old_cwd_[4096];
  mode_t old_umask_;
};

TEST_F(FileUtilTest, EnsureParentDirCreatesOutermostFirstAndRestoresThePath) {
  EXPECT_EQ(EnsureParent("plain"), 0);
  EXPECT_TRUE(ListTree(".").empty());
  char path[] = "a/b/c/f";
  EXPECT_EQ(ensure_parent_dir(path), 0);
  EXPECT_STREQ(path, "a/b/c/f");
  EXPECT_EQ(ListTree("."), (std::vector<std::string>{"a", "a/b", "a/b/c"}));
  EXPECT_EQ(ModeOf("a/b"), 0755u);
  EXPECT_EQ(ensure_parent_dir(path), 0) << "existing directories are fine";
}

TEST_F(FileUtilTest, EnsureParentDirAcceptsAFileInTheWayAndRefusesAbsoluteRoots) {
  WriteFile("file", "x");
  EXPECT_EQ(EnsureParent("file/sub"), 0) << "EEXIST counts as success";
  EXPECT_EQ(EnsureParent("file/sub/deeper"), ERR_WRITE);
  EXPECT_EQ(EnsureParent("/x"), ERR_WRITE) << "the empty name before the first '/'";
}

TEST_F(FileUtilTest, CopyFileCopiesBytesAndMode) {
  const std::string content = RandomBytes(2500, 1);
  WriteFile("src", content, 0750);
  EXPECT_EQ(Copy("src", "new/dst"), 0);
  EXPECT_EQ(ReadFile("new/dst"), content);
  EXPECT_EQ(ModeOf("new/dst"), 0750u);
  WriteFile("empty", "", 0600);
  EXPECT_EQ(Copy("empty", "empty2"), 0);
  EXPECT_EQ(ReadFile("empty2"), "");
}

TEST_F(FileUtilTest, CopyOntoExistingFileTruncatesAndKeepsItsMode) {
  WriteFile("src", "short", 0755);
  WriteFile("dst", "a much longer old content", 0600);
  EXPECT_EQ(Copy("src", "dst"), 0);
  EXPECT_EQ(ReadFile("dst"), "short");
  EXPECT_EQ(ModeOf("dst"), 0600u);
}

TEST_F(FileUtilTest, CopyFailuresAreLogged) {
  EXPECT_EQ(Copy("missing", "out/dst"), ERR_READ);
  EXPECT_EQ(log.Text(), "copy_file: failed to open or stat: -1,missing,2\n");
  EXPECT_TRUE(Exists("out")) << "the parents are made before the source is opened";
  WriteFile("src", "x");
  ASSERT_EQ(mkdir("isdir", 0755), 0);
  EXPECT_EQ(Copy("src", "isdir"), ERR_WRITE);
  EXPECT_NE(log.Text().find("copy_file: failed to open: isdir,21\n"), std::string::npos);
  EXPECT_EQ(Copy("isdir", "x2"), ERR_READ);
  EXPECT_NE(log.Text().find("copy_file: failed to read: 21\n"), std::string::npos);
}

TEST_F(FileUtilTest, CopyToFullDeviceIsWriteError) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  WriteFile("src", "x");
  // Relative, as every update path is; ".." at the root stays at the root.
  std::string full;
  for (int i = 0; i < 40; ++i) full += "../";
  EXPECT_EQ(Copy("src", full + "dev/full"), ERR_WRITE);
  EXPECT_NE(log.Text().find("copy_file: failed to write: 28\n"), std::string::npos);
}

TEST_F(FileUtilTest, BackupLifecycle) {
  WriteFile("f", "old", 0751);
  bool made = false;
  ASSERT_EQ(Backup("f", &made), 0);
  EXPECT_TRUE(made);
  EXPECT_EQ(ReadFile("f.zel-backup"), "old");
  EXPECT_EQ(ModeOf("f.zel-backup"), 0751u);
  EXPECT_EQ(backup_finish(Writable("f"), 0), 0);
  EXPECT_FALSE(Exists("f.zel-backup"));
  EXPECT_EQ(backup_discard("f"), ERR_WRITE) << "none left to delete";
  EXPECT_EQ(log.Text(), "");
}

TEST_F(FileUtilTest, RestorePutsContentAndModeBack) {
  WriteFile("f", "old", 0755);
  bool made;
  ASSERT_EQ(Backup("f", &made), 0);
  ASSERT_FALSE(Exists("f")) << "the file itself became the backup";
  WriteFile("f", "new content", 0600);
  EXPECT_EQ(backup_finish(Writable("f"), -3), 0) << "any non-zero status restores";
  EXPECT_EQ(ReadFile("f"), "old");
  EXPECT_EQ(ModeOf("f"), 0755u);
  EXPECT_FALSE(Exists("f.zel-backup"));
}

TEST_F(FileUtilTest, RestoreRecreatesAFileAndItsDirectories) {
  WriteFile("d/e/f", "old", 0640);
  bool made;
  ASSERT_EQ(Backup("d/e/f", &made), 0);
  ASSERT_EQ(rename("d/e/f.zel-backup", "keep"), 0);
  ASSERT_EQ(system(("rm -rf " + dir.path() + "/d").c_str()), 0);
  ASSERT_EQ(mkdir("d", 0755), 0);
  ASSERT_EQ(mkdir("d/e", 0755), 0);
  ASSERT_EQ(rename("keep", "d/e/f.zel-backup"), 0);
  EXPECT_EQ(Restore("d/e/f"), 0);
  EXPECT_EQ(ReadFile("d/e/f"), "old");
  EXPECT_EQ(ModeOf("d/e/f"), 0640u);
}

TEST_F(FileUtilTest, RestoreWithoutBackupLeavesTheFile) {
  WriteFile("f", "current");
  EXPECT_EQ(Restore("f"), ERR_READ);
  EXPECT_EQ(log.Text(), "copy_file: failed to open or stat: -1,f.zel-backup,2\n");
  EXPECT_EQ(ReadFile("f"), "current");
}

TEST_F(FileUtilTest, SecondBackupOfOneFileKeepsTheFirst) {
  WriteFile("f", "original");
  bool first = false, second = true, third = true;
  ASSERT_EQ(Backup("f", &first), 0);
  WriteFile("f", "intermediate");
  ASSERT_EQ(Backup("./f", &second), 0) << "./f names the same file";
  ASSERT_EQ(Backup("f", &third), 0);
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  EXPECT_FALSE(third);
  EXPECT_EQ(ReadFile("f.zel-backup"), "original");
}

TEST_F(FileUtilTest, LeftoverBackupOfAnEarlierRunIsOverwritten) {
  WriteFile("f", "current");
  WriteFile("f.zel-backup", "stale");
  bool made;
  ASSERT_EQ(Backup("f", &made), 0);
  EXPECT_TRUE(made);
  EXPECT_EQ(ReadFile("f.zel-backup"), "current");
}

TEST_F(FileUtilTest, BackupNameThatDoesNotFitIsRefused) {
  std::string path(1013, 'a');  // 1013 + 11 = 1024 bytes: one too many
  bool made = true;
  EXPECT_EQ(Backup(path, &made), ERR_WRITE);
  EXPECT_FALSE(made);
  EXPECT_TRUE(ListTree(".").empty());
}

TEST_F(FileUtilTest, BackupReplacesALinkAtItsNameInsteadOfFollowingIt) {
  WriteFile("f", "data");
  ASSERT_EQ(symlink("target", "f.zel-backup"), 0);
  bool made;
  EXPECT_EQ(Backup("f", &made), 0);
  EXPECT_FALSE(Exists("target"));
  struct stat st;
  ASSERT_EQ(lstat("f.zel-backup", &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ReadFile("f.zel-backup"), "data");
}

TEST_F(FileUtilTest, BackupIsWrittenAsideAndRenamedWhole) {
  WriteFile("f", "data");
  ASSERT_EQ(mkdir("f.zel-backup", 0755), 0);  // the rename into place fails
  bool made = true;
  EXPECT_EQ(Backup("f", &made), ERR_WRITE);
  EXPECT_FALSE(made);
  EXPECT_EQ(log.Text(), "copy_file: failed to open: f.zel-backup,21\n");
  EXPECT_FALSE(Exists("f.zel-part"));
  EXPECT_EQ(ReadFile("f"), "data");
}

}  // namespace
