// File utilities and the backup rules of a run.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "errors.h"
#include "file_util.h"
#include "test_support.h"

using namespace testing_support;

namespace {

class FileUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_umask_ = umask(022);
    ASSERT_EQ(getcwd(old_cwd_, sizeof old_cwd_), old_cwd_);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(old_cwd_), 0);
    umask(old_umask_);
  }
  // Every entry of the scratch directory, "name=content|mode" or "name/|mode", sorted.
  static std::string Tree() {
    std::string out;
    for (const std::string& name : ListTree(".")) {
      char mode[16];
      snprintf(mode, sizeof mode, "|%o", unsigned(ModeOf(name)));
      out += " " + name + (std::filesystem::is_directory(name) ? "/" : "=" + ReadFile(name)) + mode;
    }
    return out.empty() ? out : out.substr(1);
  }

  ScratchDir dir;
  char old_cwd_[4096];
  mode_t old_umask_;
};

TEST_F(FileUtilTest, EnsureParentDirAndFileExists) {
  char path[] = "a/b/c/f";
  EXPECT_EQ(ensure_parent_dir(path), 0);
  EXPECT_STREQ(path, "a/b/c/f") << "the path is cut in place and must come back whole";
  EXPECT_EQ(Tree(), "a/|755 a/b/|755 a/b/c/|755");
  WriteFile("file", "x");
  char deeper[] = "file/sub/deeper", absolute[] = "/x";
  EXPECT_EQ(ensure_parent_dir(deeper), ERR_WRITE);
  EXPECT_EQ(ensure_parent_dir(absolute), ERR_WRITE) << "the empty name before the first '/'";
  // Only "absent" reads as absent: on a loop an add-if or a remove must not be skipped.
  ASSERT_EQ(symlink("loop", "loop"), 0);
  bool exists = true;
  EXPECT_EQ(file_exists("file/x", &exists), 0);
  EXPECT_FALSE(exists);
  EXPECT_EQ(file_exists("loop", &exists), ERR_READ);
}

// Backups against what may stand at the backup name: each row starts from "f" (old, 0751) and a fresh run.
TEST_F(FileUtilTest, BackupCreateAndFinish) {
  // The file layer cuts paths in place for a moment: it is given writable strings, as the manifest text is.
  const auto backup = [](std::string path) {
    bool made = false;
    const int rc = backup_create(path.data(), &made);
    return std::to_string(rc) + (made ? " made" : "");
  };
  const auto finish = [](int status) { return std::to_string(backup_finish(std::string("f").data(), status)); };
  const auto replace = [&] {
    EXPECT_EQ(backup("f"), "0 made");
    WriteFile("f", "new", 0600);
  };
  struct Case { const char* label; std::function<std::string()> op; std::string result, tree, log; };
  const Case cases[] = {
      {"the file becomes the backup; a link at the backup name is replaced, never followed",
       [&] { return symlink("target", "f.zel-backup"), backup("f"); }, "0 made", "f.zel-backup=old|751", ""},
      {"a second backup of one file (as ./f) keeps the first", [&] { return replace(), backup("./f"); }, "0",
       "f=new|600 f.zel-backup=old|751", ""},
      {"a rename that fails changes nothing", [&] { return mkdir("f.zel-backup", 0755), backup("f"); }, "7",
       "f=old|751 f.zel-backup/|755", "copy_file: failed to open: f.zel-backup,21\n"},
      {"a backup name that does not fit", [&] { return backup(std::string(1013, 'a')); }, "7", "f=old|751", ""},
      {"success deletes the backup", [&] { return replace(), finish(0); }, "0", "f=new|600", ""},
      {"any failure restores bytes and mode", [&] { return replace(), finish(-3); }, "0", "f=old|751", ""},
      {"no backup to delete", [&] { return finish(0); }, "7", "f=old|751", ""},
      {"no backup to restore", [&] { return finish(ERR_READ); }, "6", "f=old|751",
       "copy_file: failed to open or stat: -1,f.zel-backup,2\n"},
      {"an earlier run's leftover is not restored",
       [&] { return WriteFile("f.zel-backup", "stale"), finish(ERR_READ); }, "6", "f=old|751 f.zel-backup=stale|644",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_EQ(system("rm -rf ./*"), 0);
    backup_reset_run();
    WriteFile("f", "old", 0751);
    LogCapture log;
    EXPECT_EQ(c.op(), c.result);
    EXPECT_EQ(Tree(), c.tree);
    EXPECT_EQ(log.Text(), c.log);
  }
}

}  // namespace
