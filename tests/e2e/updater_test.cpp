// The updater program end to end: the status file, the log and the tree that a run leaves, and the callback.
// Rollback and recovery after any failing call or kill are the fault sweep's (scripts/fault-sweep).
#include "updater_e2e.h"

using namespace testing_support;

namespace {

// What only a whole run shows: a remove of a missing file is skipped in Prepare already, and a refused line
// (keywords are lower case) changes nothing; an earlier run's longer status is replaced whole.
TEST_F(UpdaterE2E, ManifestLinesAndTheStatusFile) {
  const struct {
    const char* name;
    std::string manifest, status, log;
    Files after;
  } cases[] = {
      {"line ends, blanks, comments, tabs, trailing words, bare names",
       "# comment\r\nadd \"a b\"\r\n\r\n\radd\t\"t\"\rremove \"nothing\" trailing words\n\nadd bare\n", "succeeded\n",
       "PREPARE ADD a b\nPREPARE ADD t\nPREPARE REMOVE nothing\nfile cannot be removed because it does not exist; "
       "skipping\nPREPARE ADD bare\nEXECUTE ADD a b\nEXECUTE ADD t\nEXECUTE REMOVE nothing\nEXECUTE ADD bare\n"
       "FINISH ADD a b\nFINISH ADD t\nFINISH REMOVE nothing\nFINISH ADD bare\nsucceeded\n" + kEnd,
       {{"a b", "1|644"}, {"bare", "3|644"}, {"f", "old|644"}, {"t", "2|644"}}},
      {"a refused line", "add \"f\"\nADD \"f\"\n", "failed: 5\n", "failed: 5\n" + kEnd, {{"f", "old|644"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Install("f", "old");
    WriteFile(update + "/update.status", "failed: 123456789 and a lot more text\n");
    MakeUpdate(c.manifest, {{"a b", "1"}, {"t", "2"}, {"bare", "3"}, {"f", "new"}});
    EXPECT_EQ(RunUpdater().exit_code, 0);
    EXPECT_EQ(Status(), c.status);
    EXPECT_EQ(Log(), c.log);
    EXPECT_EQ(Snapshot(), c.after);
  }
}

// The command line: usage on stderr, exit code 1, nothing written; an update folder whose path is longer than a
// name buffer holds is never used cut; a missing one is named on stderr with the reason (exit code 0 as ever).
TEST_F(UpdaterE2E, BadCommandLinesAndUpdateFolders) {
  for (std::vector<std::string> argv : {std::vector<std::string>{Program("updater")}, {Program("updater"), update},
                                        {Program("updater"), "--help"}}) {
    RunResult r = RunProgram(argv, RunOptions{install, {}, 30});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Usage: updater <dir-path> <parent-pid> [working-dir callback args...]\n");
    EXPECT_EQ(r.out, "");
  }
  std::string deep = update;
  while (deep.size() < 1100) deep += "/" + std::string(100, 'd');
  std::filesystem::create_directories(deep);
  const std::vector<std::string> before = ListTree(dir.path());
  EXPECT_EQ(RunProgram({Program("updater"), deep, "0"}, RunOptions{install, {"DISPLAY="}, 30}).exit_code, 0);
  EXPECT_EQ(ListTree(dir.path()), before) << "no status file, log or other file was written";
  const RunResult r = RunProgram({Program("updater"), dir / "missing", "0"}, {install, {}, 60});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "updater: " + dir / "missing" + ": No such file or directory\n");
  EXPECT_FALSE(Exists(dir / "missing"));
}

// The callback is started in the working folder with the stop signals unblocked and NO_EM_RESTART set. grep reads
// its own mask and environment (a shell would block signals around its forks), and a file of the working folder.
TEST_F(UpdaterE2E, CallbackRunsWithStopSignalsUnblocked) {
  MakeUpdate("\n");
  WriteFile(dir / "here", "NO_EM_RESTART=in the working folder\n");
  RunResult r = RunUpdater({dir.path(), "/bin/grep", "-aho", "-e", "^SigBlk:.*", "-e", "NO_EM_RESTART=[[:print:]]*",
                            "/proc/self/status", "/proc/self/environ", "here"});
  ASSERT_EQ(r.out.rfind("SigBlk:\t", 0), 0u) << r.out;
  const unsigned long long blocked = std::stoull(r.out.substr(8), nullptr, 16);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) EXPECT_EQ(blocked & (1ull << (sig - 1)), 0u) << sigabbrev_np(sig);
  EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), "NO_EM_RESTART=\nNO_EM_RESTART=in the working folder\n");
}

}  // namespace
