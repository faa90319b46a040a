// Termination requests: held while the update runs, acted upon after it. (While the updater waits for the application,
// nothing is begun and they act as usual.)
#include "updater_e2e.h"

using namespace testing_support;

namespace {

class SignalE2E : public UpdaterE2E, public ::testing::WithParamInterface<int> {};

// The worker spends over a tenth of a second on each of six slow files, so a signal sent once the second file is
// begun surely arrives while it runs, and the run still goes on 200 ms later.
TEST_P(SignalE2E, HeldDuringTheUpdateThenActedUpon) {
  const int sig = GetParam();
  const std::string marker = dir / "callback-ran";
  WriteFile(dir / "callback.sh", "#!/bin/sh\ntouch " + marker + "\n", 0755);
  MakeSlowUpdate(6);
  pid_t pid = Start({Program("updater"), update, "0", dir.path(), dir / "callback.sh"});
  ASSERT_TRUE(Eventually([&] { return Exists(install + "/data/file1.bin"); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(kill(pid, sig), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the signal stopped the update half-way";
  const int status = Reap(pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << status;
  EXPECT_EQ(WTERMSIG(status), sig);
  EXPECT_EQ(Status(), "succeeded\n");
  const std::string tail = "FINISH ADD data/file5.bin\nsucceeded\ncalling QuitProgressUI\n", log = Log();
  EXPECT_EQ(log.substr(log.size() - std::min(log.size(), tail.size())), tail) << "the log was written whole";
  Files tree = {{"data", "/"}};
  for (int i = 0; i < 6; ++i) tree["data/file" + std::to_string(i) + ".bin"] = RandomBytes(2 << 20, 11) + "|644";
  EXPECT_EQ(Snapshot(), tree);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(Exists(marker)) << "no callback after a termination request";
}

INSTANTIATE_TEST_SUITE_P(StopSignals, SignalE2E, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) { return std::string(sigabbrev_np(info.param)); });

}  // namespace
