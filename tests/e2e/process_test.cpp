// The updater among other processes: nothing taken from the current
// directory (the installation) or from PATH.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "updater_e2e.h"

using namespace testing_support;

namespace {

constexpr int kFiles = 4;  // of the slow update: three quarters of it take over half a second

using ProcessE2E = UpdaterE2E;

// Started by a bare name along PATH, in the installation, which holds a module
// that leaves a marker when loaded and a strings file that is a FIFO (reading
// it would block for good). The update is long enough for a window to be
// wanted, so both would be used if they were looked for there. The callback
// is a bare name found only along PATH: it is not looked for there.
TEST_F(ProcessE2E, NothingComesFromTheCurrentDirectoryOrPath) {
  ASSERT_EQ(0, mkfifo((install + "/updater.ini").c_str(), 0644));
  WriteFile(install + "/updater_ui_gtk.so", ReadFile(Program("planted_ui_module.so")), 0755);
  const std::string on_path = dir / "on-path";
  WriteFile(on_path + "/callback", "#!/bin/sh\n: > " + dir / "callback-ran" + "\n", 0755);
  mkdir((dir / "work").c_str(), 0755);
  MakeSlowUpdate(kFiles);
  RunOptions options;
  options.cwd = install;
  options.env = {"DISPLAY=", "WAYLAND_DISPLAY="};
  options.timeout_seconds = 30;
  RunResult r = RunProgram(
      {"/usr/bin/env", "PATH=" + BinDir() + ":" + on_path, "updater", update, "0", dir / "work", "callback"}, options);
  EXPECT_EQ(0, r.exit_code) << r.err;
  EXPECT_EQ("succeeded\n", Status());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // for a callback to leave its mark
  EXPECT_FALSE(Exists(install + "/planted-module-was-loaded"));
  EXPECT_FALSE(Exists(dir / "callback-ran"));
}

}  // namespace
