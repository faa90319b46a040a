// Termination requests: held while the update runs, acted upon after it.
// (While the updater waits for the application, nothing is begun and they act
// as usual.)
#include "updater_e2e.h"

using namespace testing_support;

namespace {

class SignalE2E : public UpdaterE2E, public ::testing::WithParamInterface<int> {};

// The worker spends about a second in the middle of the update decompressing
// "pipe" (8 MB of random bytes), so the signal surely arrives while it runs.
TEST_P(SignalE2E, HeldDuringTheUpdateThenActedUpon) {
  const int sig = GetParam();
  const std::string marker = dir / "callback-ran";
  WriteFile(dir / "callback.sh", "#!/bin/sh\ntouch " + marker + "\n", 0755);
  Install("before", "old");
  static const std::string slow = RandomBytes(8 << 20, 5);
  static const std::vector<char> stored = zar::Compress(slow);
  zar::Writer w;
  w.AddData("update.manifest", 0644, "add \"before\"\nadd \"pipe\"\nadd \"after\"\n");
  w.AddData("before", 0644, "new");
  w.AddStored(zar::Item{"pipe", 0644, stored});
  w.AddData("after", 0644, "a");
  w.WriteFile(update + "/update.zar");
  pid_t pid = Start({Program("updater"), update, "0", dir.path(), dir / "callback.sh"});
  // The worker is stuck on the pipe once the first add is done.
  ASSERT_TRUE(Eventually([&] { return ReadFile(install + "/before") == "new"; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(kill(pid, sig), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int status;
  EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the signal stopped the update half-way";
  status = Reap(pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << status;
  EXPECT_EQ(WTERMSIG(status), sig);
  EXPECT_EQ(Status(), "succeeded\n");
  const std::string tail = "FINISH ADD after\nsucceeded\ncalling QuitProgressUI\n", log = Log();
  EXPECT_EQ(log.substr(log.size() - std::min(log.size(), tail.size())), tail) << "the log was written whole";
  EXPECT_EQ(Snapshot(), (Files{{"after", "a|644"}, {"before", "new|644"}, {"pipe", slow + "|644"}}));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(Exists(marker)) << "no callback after a termination request";
}

INSTANTIATE_TEST_SUITE_P(StopSignals, SignalE2E, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) { return std::string(sigabbrev_np(info.param)); });

}  // namespace
