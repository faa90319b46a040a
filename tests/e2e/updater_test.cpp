// The updater program end to end: command line, run sequence, status file,
// log, the remove / add / add-if actions, rollback and the callback launch.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "updater_e2e.h"

extern char** environ;

using namespace testing_support;

namespace {

const char kUsage[] = "Usage: updater <dir-path> <parent-pid> [working-dir callback args...]\n";

TEST_F(UpdaterE2E, TooFewArgumentsPrintUsageAndWriteNothing) {
  for (std::vector<std::string> argv : {std::vector<std::string>{Program("updater")},
                                        {Program("updater"), update},
                                        {Program("updater"), "--help"}}) {
    RunResult r = RunProgram(argv, RunOptions{install, {}, 30});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_TRUE(ListTree(update).empty());
}

TEST_F(UpdaterE2E, MissingArchiveFailsWithReadError) {
  RunResult r = RunUpdater();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(Log(), "failed: 6\ncalling QuitProgressUI\n");
  EXPECT_EQ(ModeOf("../update/update.status"), 0644u);
}

TEST_F(UpdaterE2E, MalformedArchiveFailsWithReadError) {
  WriteFile(update + "/update.zar", "ZAR1\0\0\0\x08garbage");
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 6\n");
}

TEST_F(UpdaterE2E, AppliesAddsAndRemoves) {
  Install("old.txt", "old");
  Install("keep.txt", "keep");
  Install("bin/tool", "old tool", 0755);
  MakeUpdate("remove \"old.txt\"\nadd \"bin/tool\"\nadd \"new/deep/file.txt\"\n",
             {{"bin/tool", "new tool"}, {"new/deep/file.txt", "fresh"}}, {{"bin/tool", 0750}});
  RunResult r = RunUpdater();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Log(),
            "PREPARE REMOVE old.txt\n"
            "PREPARE ADD bin/tool\n"
            "PREPARE ADD new/deep/file.txt\n"
            "EXECUTE REMOVE old.txt\n"
            "EXECUTE ADD bin/tool\n"
            "EXECUTE ADD new/deep/file.txt\n"
            "FINISH REMOVE old.txt\n"
            "FINISH ADD bin/tool\n"
            "FINISH ADD new/deep/file.txt\n"
            "succeeded\n"
            "calling QuitProgressUI\n");
  EXPECT_EQ(Tree(), (std::vector<std::string>{"bin", "bin/tool", "keep.txt", "new", "new/deep", "new/deep/file.txt"}));
  EXPECT_EQ(Installed("bin/tool"), "new tool");
  EXPECT_EQ(ModeOf("bin/tool"), 0750u) << "a replaced file gets the item's mode";
  EXPECT_EQ(Installed("new/deep/file.txt"), "fresh");
  EXPECT_EQ(Installed("keep.txt"), "keep");
  EXPECT_EQ(ReadFile(update + "/update.manifest"), "remove \"old.txt\"\nadd \"bin/tool\"\nadd \"new/deep/file.txt\"\n")
      << "the extracted manifest stays in the update folder";
}

TEST_F(UpdaterE2E, FailedExecuteRollsBackWithOldModes) {
  Install("app", "old app", 0755);
  Install("gone", "removed then restored", 0600);
  MakeUpdate("add \"app\"\nremove \"gone\"\nadd \"added\"\nadd \"missing-item\"\n",
             {{"app", "new app"}, {"added", "new file"}}, {{"app", 0644}});
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(Log(),
            "PREPARE ADD app\nPREPARE REMOVE gone\nPREPARE ADD added\nPREPARE ADD missing-item\n"
            "EXECUTE ADD app\nEXECUTE REMOVE gone\nEXECUTE ADD added\nEXECUTE ADD missing-item\n"
            "### execution failed\n"
            "FINISH ADD app\nFINISH REMOVE gone\nFINISH ADD added\nFINISH ADD missing-item\n"
            "failed: 6\ncalling QuitProgressUI\n");
  EXPECT_EQ(Installed("app"), "old app");
  EXPECT_EQ(ModeOf("app"), 0755u) << "the application must still start after a rollback";
  EXPECT_EQ(Installed("gone"), "removed then restored");
  EXPECT_EQ(ModeOf("gone"), 0600u);
  EXPECT_EQ(Installed("added"), "new file") << "newly added files stay";
  EXPECT_EQ(Tree(), (std::vector<std::string>{"added", "app", "gone"})) << "a missing item creates no file";
}

TEST_F(UpdaterE2E, AddOverExistingWithMissingItemRestoresIt) {
  Install("f", "precious", 0640);
  MakeUpdate("add \"f\"\n");
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(Installed("f"), "precious");
  EXPECT_EQ(ModeOf("f"), 0640u);
  EXPECT_FALSE(Has("f.zel-backup"));
}

TEST_F(UpdaterE2E, ParseErrorsChangeNothing) {
  Install("f", "old");
  const char* bad[] = {
      "add \"f\"\n   \t\n",                  // a line of blanks
      "add \"f\"\n #comment\n",              // '#' after a blank is no comment
      "ADD \"f\"\n",                          // case matters
      "add\"f\"\n",                           // keyword glued to the quote
      "add\n",                                // keyword alone
      "add \"\"\n",                           // empty argument
      "add-if \"f\"\"f\"\n",                  // no separator
      "add-if \"f\"\n",                       // one argument of two
      "patch-if \"a\" \"b\"\n",               // two of three
      "add \"f\"\nfrobnicate \"f\"\n",        // unknown keyword
      "remove \"/etc/passwd\"\n",             // absolute
      "add \"../outside\"\n",                 // leaves the installation
      "add-if \"f\" \"a/../../x\"\n",
      "patch \"item\" \"sub/..\"\n",
  };
  for (const char* manifest : bad) {
    MakeUpdate(manifest, {{"f", "new"}});
    RunUpdater();
    EXPECT_EQ(Status(), "failed: 5\n") << manifest;
    EXPECT_EQ(Log(), "failed: 5\ncalling QuitProgressUI\n") << manifest;
    EXPECT_EQ(Installed("f"), "old") << manifest;
  }
  EXPECT_FALSE(Exists(dir / "outside"));
}

TEST_F(UpdaterE2E, ManifestLineFormats) {
  Install("cond", "");
  // CRLF, CR alone, blank lines, a comment, a tab separator, trailing text,
  // quotes left out on a one-argument line, no line end at the end.
  MakeUpdate("# comment\r\nadd \"a b\"\r\n\r\n\radd\t\"t\"\rremove \"nothing\" trailing words\n\nadd bare\nadd-if \"cond\" \"c\"",
             {{"a b", "1"}, {"t", "2"}, {"bare", "3"}, {"c", "4"}});
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Installed("a b"), "1");
  EXPECT_EQ(Installed("t"), "2");
  EXPECT_EQ(Installed("bare"), "3");
  EXPECT_EQ(Installed("c"), "4");
}

TEST_F(UpdaterE2E, TwoSpacesMakeTheFirstArgumentABlank) {
  MakeUpdate("add  \"x\"\n", {{" ", "blank"}, {"x", "x"}});
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Installed(" "), "blank");
  EXPECT_FALSE(Has("x"));
}

TEST_F(UpdaterE2E, EmptyManifestSucceeds) {
  MakeUpdate("# nothing to do\n\n");
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Log(), "succeeded\ncalling QuitProgressUI\n");
}

TEST_F(UpdaterE2E, RemoveOfMissingFileIsSkipped) {
  MakeUpdate("remove \"absent\"\n");
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Log(),
            "PREPARE REMOVE absent\n"
            "file cannot be removed because it does not exist; skipping\n"
            "EXECUTE REMOVE absent\n"
            "FINISH REMOVE absent\n"
            "succeeded\ncalling QuitProgressUI\n");
}

TEST_F(UpdaterE2E, SameFileRemovedTwiceThenRollback) {
  Install("f", "original", 0700);
  MakeUpdate("remove \"f\"\nremove \"./f\"\nadd \"missing\"\n");
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_NE(Log().find("EXECUTE REMOVE ./f\nfile cannot be removed because it does not exist; skipping\n"),
            std::string::npos);
  EXPECT_EQ(Installed("f"), "original");
  EXPECT_EQ(ModeOf("f"), 0700u);
  EXPECT_FALSE(Has("f.zel-backup"));
}

TEST_F(UpdaterE2E, FileChangedTwiceReturnsToItsFirstContent) {
  Install("f", "before the update");
  MakeUpdate("add \"f\"\nadd \"./f\"\nadd \"missing\"\n", {{"f", "first"}, {"./f", "second"}});
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(Installed("f"), "before the update");
  EXPECT_FALSE(Has("f.zel-backup"));
  // Without a failure the last action wins and no backup is left.
  MakeUpdate("add \"f\"\nadd \"./f\"\n", {{"f", "first"}, {"./f", "second"}});
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Installed("f"), "second");
  EXPECT_EQ(Tree(), (std::vector<std::string>{"f"}));
}

TEST_F(UpdaterE2E, LeftoverBackupOfAnEarlierRunIsNeitherRestoredNorDeleted) {
  Install("a", "current");
  Install("a.zel-backup", "stale");
  MakeUpdate("add \"b\"\nadd \"missing\"\n", {{"b", "b"}});
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(Installed("a"), "current");
  EXPECT_EQ(Installed("a.zel-backup"), "stale");
  EXPECT_EQ(Log().find("copy_file"), std::string::npos) << "no restore is tried without a backup";
}

TEST_F(UpdaterE2E, AddIfBothWays) {
  Install("present", "");
  MakeUpdate("add-if \"present\" \"yes\"\nadd-if \"absent\" \"no\"\n", {{"yes", "y"}, {"no", "n"}});
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Log(), "PREPARE ADD yes\nEXECUTE ADD yes\nFINISH ADD yes\nsucceeded\ncalling QuitProgressUI\n");
  EXPECT_TRUE(Has("yes"));
  EXPECT_FALSE(Has("no"));
}

TEST_F(UpdaterE2E, AddIfConditionIsDecidedBeforeAnythingExecutes) {
  MakeUpdate("add \"cond\"\nadd-if \"cond\" \"later\"\n", {{"cond", ""}, {"later", "l"}});
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_TRUE(Has("cond"));
  EXPECT_FALSE(Has("later"));
}

TEST_F(UpdaterE2E, DanglingLinkAtAddTargetIsNotFollowed) {
  ASSERT_EQ(symlink((dir / "outside").c_str(), (install + "/link").c_str()), 0);
  MakeUpdate("add \"link\"\n", {{"link", "x"}});
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_FALSE(Exists(dir / "outside"));
}

TEST_F(UpdaterE2E, DirectoryInTheWayOfAnAddFails) {
  Install("blocker", "file, not a directory");
  MakeUpdate("add \"ok\"\nadd \"blocker/inner\"\n", {{"ok", "ok"}, {"blocker/inner", "x"}});
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 7\n");
  EXPECT_EQ(Installed("blocker"), "file, not a directory");
}

TEST_F(UpdaterE2E, StatusFileIsTruncated) {
  WriteFile(update + "/update.status", "failed: 123456789 and a lot more text\n");
  MakeUpdate("\n");
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
}

TEST_F(UpdaterE2E, NamesTooLongForTheirBuffersAreNeverUsedCut) {
  // An update folder whose path is longer than a name buffer holds.
  std::string deep = update;
  while (deep.size() < 1100) deep += "/" + std::string(100, 'd');
  ASSERT_EQ(system(("mkdir -p " + deep).c_str()), 0);
  std::vector<std::string> before = ListTree(dir.path());
  RunResult r = RunProgram({Program("updater"), deep, "0"}, RunOptions{install, {"DISPLAY="}, 30});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(ListTree(dir.path()), before) << "no status file, log or other file was written";
}

TEST_F(UpdaterE2E, LongInstalledPathCannotBeBackedUp) {
  // 1013 bytes fit a name buffer, but not with ".zel-backup" after them.
  std::string rel;
  while (rel.size() < 800) rel += std::string(199, 'd') + "/";
  rel += std::string(1013 - rel.size(), 'n');
  Install(rel, "old");
  MakeUpdate("add \"" + rel + "\"\n", {{rel, "new"}});
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 7\n");
  EXPECT_EQ(Installed(rel), "old");
}

// ---- parent wait and callback --------------------------------------------

TEST_F(UpdaterE2E, WaitsForTheApplicationToEnd) {
  // The application is the updater's parent in real use, never its child; a
  // sibling process stands in for it here.
  pid_t app;
  const char* argv[] = {"/bin/sleep", "1", nullptr};
  ASSERT_EQ(posix_spawn(&app, "/bin/sleep", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  MakeUpdate("\n");
  std::vector<std::string> cmd = {Program("updater"), update, std::to_string(app)};
  RunResult r = RunProgram(cmd, RunOptions{install, {"DISPLAY="}, 30});
  EXPECT_EQ(r.exit_code, 0);
  int status;
  EXPECT_EQ(waitpid(app, &status, WNOHANG), app) << "the updater returned while the application still ran";
  EXPECT_EQ(Status(), "succeeded\n");
}

TEST_F(UpdaterE2E, NoWaitForZeroNegativeTextOrMissingPids) {
  MakeUpdate("\n");
  for (const char* pid : {"0", "-1", "abc", "999999999", "99999999999999"}) {
    RunResult r = RunProgram({Program("updater"), update, pid}, RunOptions{install, {"DISPLAY="}, 20});
    EXPECT_EQ(r.exit_code, 0) << pid;
    EXPECT_EQ(Status(), "succeeded\n") << pid;
  }
}

class CallbackTest : public UpdaterE2E {
 protected:
  void SetUp() override {
    UpdaterE2E::SetUp();
    work = dir / "work";
    mkdir(work.c_str(), 0755);
    script = dir / "callback.sh";
    out = dir / "callback.out";
    WriteFile(script,
              "#!/bin/sh\n"
              "{ pwd; echo \"NO_EM_RESTART=${NO_EM_RESTART-unset}\"; for a in \"$@\"; do echo \"[$a]\"; done; } > " + out + ".tmp\n"
              "mv " + out + ".tmp " + out + "\n",
              0755);
    MakeUpdate("\n");
  }
  // The callback is not waited for: poll for what it wrote.
  std::string Await() {
    for (int i = 0; i < 500 && !Exists(out); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ReadFile(out);
  }
  std::string work, script, out;
};

TEST_F(CallbackTest, LaunchesWithArgumentsUnchangedInTheWorkingDirectory) {
  RunResult r = RunUpdater({work, script, "a b", "it's \"quoted\"", "$HOME;*", "--display", "x", ""});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Await(), work + "\nNO_EM_RESTART=\n[a b]\n[it's \"quoted\"]\n[$HOME;*]\n[--display]\n[x]\n[]\n");
}

TEST_F(CallbackTest, LaunchesEvenAfterAFailedUpdate) {
  MakeUpdate("add \"missing\"\n");
  RunUpdater({work, script});
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(Await(), work + "\nNO_EM_RESTART=\n");
}

TEST_F(CallbackTest, UnenterableWorkingDirectoryLaunchesFromTheCurrentOne) {
  RunUpdater({dir / "no-such-dir", script, "x"});
  EXPECT_EQ(Await(), install + "\nNO_EM_RESTART=\n[x]\n");
}

TEST_F(CallbackTest, WorkingDirectoryWithoutCallbackLaunchesNothing) {
  RunResult r = RunUpdater({work});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Status(), "succeeded\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(Exists(out));
}

}  // namespace
