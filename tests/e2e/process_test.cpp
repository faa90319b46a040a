// The updater among other processes: one run at a time on an update folder, nothing taken from the current
// directory (the installation) or from PATH, a hangup that the caller ignores, and the line a caller gets when the
// update folder is missing. scripts/test runs these again as an unprivileged user, for whom permissions mean something.
#include <regex>

#include "updater_e2e.h"

using namespace testing_support;

namespace {

constexpr int kFiles = 4;  // of the slow update: three quarters of it take over half a second

// Two updaters on one update folder: the second waits for the lock while the first is stopped half-way, its journal
// live. When the first then completes, the second applies nothing again; when it is killed, the second recovers and
// applies the update (an earlier update's "succeeded" status is no excuse). The first is started as under nohup and
// gets a hangup mid-way: ignored from the start, it stays ignored, and the callback is launched.
class OneRunAtATime : public UpdaterE2E, public ::testing::WithParamInterface<bool> {};

TEST_P(OneRunAtATime, SecondRunWaitsForTheFirst) {
  const bool first_completes = GetParam();
  for (int i = 0; i < kFiles; ++i) Install("data/file" + std::to_string(i) + ".bin", "old");
  WriteFile(update + "/update.status", "succeeded\n");
  MakeSlowUpdate(kFiles);
  const std::string marker = dir / "callback-ran";
  WriteFile(dir / "callback.sh", "#!/bin/sh\ntouch " + marker + "\n", 0755);

  pid_t first = Start({"/usr/bin/nohup", Program("updater"), update, "0", dir.path(), dir / "callback.sh"},
                      dir / "first.err");
  ASSERT_TRUE(Eventually([&] { return Exists(update + "/update.journal"); })) << "the first run never got going";
  if (first_completes) {
    ASSERT_EQ(0, kill(first, SIGHUP));
  }
  ASSERT_EQ(0, kill(first, SIGSTOP));
  pid_t second = Start({Program("updater"), update, "0"}, dir / "second.err");
  // Waiting for a lock that another process holds: "1: -> FLOCK  ADVISORY  WRITE <pid> ...".
  const std::regex waits("-> FLOCK +ADVISORY +\\w+ +" + std::to_string(second) + " ");
  ASSERT_TRUE(Eventually([&] { return std::regex_search(ReadFile("/proc/locks"), waits); }))
      << "the second run did not wait for the first";
  ASSERT_EQ(0, kill(first, first_completes ? SIGCONT : SIGKILL));

  const int first_status = Reap(first);
  EXPECT_EQ(0, Reap(second)) << "exit code 0";
  EXPECT_EQ("", ReadFile(dir / "second.err"));
  EXPECT_EQ("succeeded\n", Status());
  Files tree = {{"data", "/"}};
  for (int i = 0; i < kFiles; ++i) tree["data/file" + std::to_string(i) + ".bin"] = RandomBytes(2 << 20, 11) + "|644";
  EXPECT_EQ(tree, Snapshot());
  EXPECT_EQ(kCleanUpdateDir, ListTree(update));
  if (first_completes) {
    EXPECT_EQ(0, first_status) << "the hangup ended the first run";
    EXPECT_EQ("", ReadFile(dir / "first.err"));
    EXPECT_EQ("RECOVER UPDATE ALREADY APPLIED\nsucceeded\ncalling QuitProgressUI\n", Log());
    EXPECT_TRUE(Eventually([&] { return Exists(marker); })) << "no callback";
  } else {
    EXPECT_NE(std::string::npos, Log().find("EXECUTE ADD data/file0.bin\n")) << Log();
  }
}

INSTANTIATE_TEST_SUITE_P(FirstRun, OneRunAtATime, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Completes" : "IsKilled"; });

// Started by a bare name along PATH, in the installation, which holds a module that leaves a marker when loaded and a
// strings file. The update is long enough for a window to be wanted, so both would be used if they were looked for
// there. The callback is a bare name found only along PATH: it is not looked for there.
TEST_F(UpdaterE2E, NothingComesFromTheCurrentDirectoryOrPath) {
  WriteFile(install + "/updater.ini", ";\n;\ntitle=Planted\ninfo=planted\n");
  WriteFile(install + "/updater_ui_gtk.so", ReadFile(Program("planted_ui_module.so")), 0755);
  const std::string on_path = dir / "on-path";
  WriteFile(on_path + "/callback", "#!/bin/sh\n: > " + dir / "callback-ran" + "\n", 0755);
  mkdir((dir / "work").c_str(), 0755);
  MakeSlowUpdate(12);  // over half done only after the window's half second
  RunResult r = RunProgram(
      {"/usr/bin/env", "PATH=" + BinDir() + ":" + on_path, "updater", update, "0", dir / "work", "callback"},
      {install, {"DISPLAY=", "WAYLAND_DISPLAY="}, 30});
  EXPECT_EQ(0, r.exit_code) << r.err;
  EXPECT_EQ("succeeded\n", Status());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // for a callback to leave its mark
  EXPECT_FALSE(Exists(install + "/planted-module-was-loaded"));
  EXPECT_FALSE(Exists(dir / "callback-ran"));
}

// The application is the updater's parent in real use; a sibling stands in. It is waited for; a pid that names
// no single process (-1 would be every one) is not.
TEST_F(UpdaterE2E, WaitsForTheApplicationToEndAndOnlyForIt) {
  MakeUpdate("\n");
  const pid_t app = Start({"/bin/sleep", "1"});
  for (const std::string& pid : {std::to_string(app), std::string("-1")}) {
    RunResult r = RunProgram({Program("updater"), update, pid}, {install, {"DISPLAY="}, 20});
    EXPECT_EQ(0, r.exit_code) << pid;
    EXPECT_EQ("succeeded\n", Status()) << pid;
  }
  const bool ended = waitpid(app, nullptr, WNOHANG) == app;
  if (ended) std::erase(started, app);
  EXPECT_TRUE(ended) << "the updater returned while the application still ran";
}

// The folder, not the file, decides whether a file may be removed: as a user
// who may write the file but not its folder, the run fails before anything changes.
TEST_F(UpdaterE2E, RemoveFromAReadOnlyFolderFailsInPrepare) {
  if (geteuid() == 0) GTEST_SKIP() << "root may remove from any folder (scripts/test runs this as a user)";
  Install("a", "old");
  Install("ro/f", "kept");
  ASSERT_EQ(0, chmod((install + "/ro").c_str(), 0555));
  MakeUpdate("add \"a\"\nremove \"ro/f\"\n", {{"a", "new"}});
  RunUpdater();
  EXPECT_EQ("failed: 7\n", Status());
  EXPECT_EQ("PREPARE ADD a\nPREPARE REMOVE ro/f\naccess failed: 13\nfailed: 7\ncalling QuitProgressUI\n", Log());
  EXPECT_EQ("old", ReadFile(install + "/a"));
  EXPECT_EQ("kept", ReadFile(install + "/ro/f"));
}

}  // namespace
