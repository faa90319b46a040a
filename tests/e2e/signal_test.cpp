// Termination requests: held while the update runs, acted upon after it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "updater_e2e.h"

extern char** environ;

using namespace testing_support;

namespace {

// Starts the updater without waiting for it.
pid_t Spawn(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(127);
    setenv("DISPLAY", "", 1);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for |pid| and returns its wait status (or -1 after 30 s).
int Reap(pid_t pid) {
  for (int i = 0; i < 3000; ++i) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

class SignalE2E : public UpdaterE2E, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    UpdaterE2E::SetUp();
    marker = dir / "callback-ran";
    callback = dir / "callback.sh";
    WriteFile(callback, "#!/bin/sh\ntouch " + marker + "\n", 0755);
  }
  std::string marker, callback;
};

// The worker spends about a second in the middle of the update decompressing
// "pipe" (8 MB of random bytes), so the signal surely arrives while the
// update runs.
TEST_P(SignalE2E, HeldDuringTheUpdateThenActedUpon) {
  const int sig = GetParam();
  Install("before", "old");
  static const std::string slow = RandomBytes(8 << 20, 5);
  static const std::vector<char> stored = zar::Compress(slow);
  zar::Writer w;
  w.AddData("update.manifest", 0644, "add \"before\"\nadd \"pipe\"\nadd \"after\"\n");
  w.AddData("before", 0644, "new");
  w.AddStored(zar::Item{"pipe", 0644, stored});
  w.AddData("after", 0644, "a");
  w.WriteFile(update + "/update.zar");
  pid_t pid = Spawn({Program("updater"), update, "0", dir.path(), callback}, install);

  // Wait until the worker is stuck on the pipe: the first add is done by then.
  for (int i = 0; i < 1000 && Installed("before") != "new"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(kill(pid, sig), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  {
    int status;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the signal stopped the update half-way";
  }
  int status = Reap(pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << status;
  EXPECT_EQ(WTERMSIG(status), sig);
  EXPECT_EQ(Status(), "succeeded\n");
  const std::string tail = "FINISH ADD after\nsucceeded\ncalling QuitProgressUI\n";
  ASSERT_GE(Log().size(), tail.size());
  EXPECT_EQ(Log().substr(Log().size() - tail.size()), tail) << "the log was written whole";
  EXPECT_EQ(Installed("pipe"), slow);
  EXPECT_EQ(Installed("after"), "a");
  EXPECT_EQ(Tree(), (std::vector<std::string>{"after", "before", "pipe"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(Exists(marker)) << "no callback after a termination request";
}

TEST_P(SignalE2E, ActAsUsualWhileWaitingForTheApplication) {
  const int sig = GetParam();
  pid_t app;
  const char* sleep_argv[] = {"/bin/sleep", "30", nullptr};
  ASSERT_EQ(posix_spawn(&app, "/bin/sleep", nullptr, nullptr, const_cast<char**>(sleep_argv), environ), 0);
  MakeUpdate("add \"x\"\n", {{"x", "x"}});
  pid_t pid = Spawn({Program("updater"), update, std::to_string(app), dir.path(), callback}, install);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(kill(pid, sig), 0);
  int status = Reap(pid);
  kill(app, SIGKILL);
  waitpid(app, nullptr, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), sig);
  EXPECT_EQ(ListTree(update), (std::vector<std::string>{"update.zar"})) << "nothing was begun";
  EXPECT_TRUE(Tree().empty());
  EXPECT_FALSE(Exists(marker));
}

INSTANTIATE_TEST_SUITE_P(StopSignals, SignalE2E, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) { return std::string(sigabbrev_np(info.param)); });

TEST_F(UpdaterE2E, CallbackRunsWithStopSignalsUnblocked) {
  // grep reads its own mask (a shell would block signals around its forks);
  // it writes to the updater's standard output, which the run collects until
  // every writer has gone.
  MakeUpdate("\n");
  RunResult r = RunUpdater({dir.path(), "/bin/grep", "SigBlk", "/proc/self/status"});
  ASSERT_EQ(r.out.rfind("SigBlk:\t", 0), 0u) << r.out;
  const unsigned long long blocked = std::stoull(r.out.substr(8), nullptr, 16);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) EXPECT_EQ(blocked & (1ull << (sig - 1)), 0u) << sigabbrev_np(sig);
}

}  // namespace
