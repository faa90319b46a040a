// The end-to-end fixture: an installation folder and an update folder in a scratch directory, an archive built
// with the archive writer, and the real updater program run on them.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/zar_writer.h"
#include "test_support.h"

using Files = std::map<std::string, std::string>;

inline bool Eventually(const std::function<bool()>& done) {  // polls for up to 20 s
  for (int i = 0; i < 2000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
    if (done()) return true;
  return false;
}

class UpdaterE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    umask(022);
    mkdir((install = dir / "install").c_str(), 0755);
    mkdir((update = dir / "update").c_str(), 0755);
  }
  void TearDown() override {
    for (pid_t pid : started) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  }
  void Reset() {  // fresh folders, for each row of a table
    std::filesystem::remove_all(install), std::filesystem::remove_all(update);
    UpdaterE2E::SetUp();
  }

  // Writes update/update.zar holding |manifest| and |items| (name -> content, mode 0644 unless given in |modes|).
  void MakeUpdate(const std::string& manifest, const Files& items = {}, const std::map<std::string, unsigned>& modes = {}) {
    zar::Writer w;
    w.AddData("update.manifest", 0644, manifest);
    for (const auto& [name, content] : items) w.AddData(name, modes.count(name) ? modes.at(name) : 0644, content);
    w.WriteFile(update + "/update.zar");
  }
  // |count| files data/fileN.bin of 2 MB, some tenths of a second apiece to decompress: time for a window, and
  // for another process to act while the update runs.
  void MakeSlowUpdate(int count) {
    static const std::vector<char> stored = zar::Compress(testing_support::RandomBytes(2 << 20, 11));
    zar::Writer writer;
    std::string manifest;
    for (int i = 0; i < count; ++i) {
      manifest += "add \"data/file" + std::to_string(i) + ".bin\"\n";
      writer.AddStored(zar::Item{"data/file" + std::to_string(i) + ".bin", 0644, stored});
    }
    writer.AddData("update.manifest", 0644, manifest);
    writer.WriteFile(update + "/update.zar");
  }

  // The updater on the update folder, parent-pid 0, |extra| arguments, in the installation, with no display.
  testing_support::RunResult RunUpdater(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {Program("updater"), update, "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return testing_support::RunProgram(argv, {install, {"DISPLAY=", "WAYLAND_DISPLAY="}, 60});
  }
  // Starts |args| in the installation, stderr into |err|; killed at the end of the test if still running.
  pid_t Start(const std::vector<std::string>& args, const std::string& err = "/dev/null") {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(install.c_str()) != 0 || !freopen("/dev/null", "r", stdin) || !freopen("/dev/null", "w", stdout) ||
          !freopen(err.c_str(), "w", stderr))
        _exit(127);
      setenv("DISPLAY", "", 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return started.push_back(pid), pid;
  }
  int Reap(pid_t pid) {  // the wait status, -1 if it did not end in 20 s
    int status = -1;
    if (!Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; })) ADD_FAILURE() << pid << " did not end";
    std::erase(started, pid);
    return status;
  }

  static std::string Program(const std::string& name) { return testing_support::BinDir() + "/" + name; }
  std::string Status() { return testing_support::ReadFile(update + "/update.status"); }
  std::string Log() { return testing_support::ReadFile(update + "/update.log"); }
  void Install(const std::string& rel, const std::string& content, mode_t mode = 0644) {
    testing_support::WriteFile(install + "/" + rel, content, mode);
  }
  // Every entry of the installation: a file as "bytes|mode", a directory as "/", a link as "->target".
  Files Snapshot() {
    Files out;
    for (const std::string& rel : testing_support::ListTree(install)) {
      const std::string path = install + "/" + rel;
      struct stat st;
      char target[256] = {}, mode[8];
      if (lstat(path.c_str(), &st) != 0) continue;
      snprintf(mode, sizeof mode, "|%o", unsigned(st.st_mode & 07777));
      out[rel] = S_ISREG(st.st_mode) ? testing_support::ReadFile(path) + mode
                 : S_ISDIR(st.st_mode) ? "/"
                 : readlink(path.c_str(), target, 255) >= 0 ? "->" + std::string(target) : "?";
    }
    return out;
  }
  // What a finished run leaves in the update folder.
  const std::vector<std::string> kCleanUpdateDir = {"update.log", "update.manifest", "update.status", "update.zar"};
  const std::string kEnd = "calling QuitProgressUI\n";  // the last line of every run's log

  testing_support::ScratchDir dir;
  std::string install, update;
  std::vector<pid_t> started;
};
