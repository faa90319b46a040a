// The end-to-end fixture: an installation folder and an update folder in a
// scratch directory, an archive built with the archive writer, and the real
// updater program run on them, plainly or under strace.
#pragma once

#include <fcntl.h>
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

// Polls |done| for up to 20 s.
inline bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
    if (done()) return true;
  return false;
}

class UpdaterE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    umask(022);
    install = dir / "install";
    update = dir / "update";
    mkdir(install.c_str(), 0755);
    mkdir(update.c_str(), 0755);
  }
  void TearDown() override {
    for (pid_t pid : started) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  }
  // Fresh installation and update folders, for each row of a table.
  void Reset() {
    ASSERT_EQ(system(("rm -rf '" + install + "' '" + update + "'").c_str()), 0);
    UpdaterE2E::SetUp();
  }

  // Writes update/update.zar holding |manifest| and |items| (name -> content,
  // mode 0644 unless given in |modes|).
  void MakeUpdate(const std::string& manifest, const std::map<std::string, std::string>& items = {},
                  const std::map<std::string, unsigned>& modes = {}) {
    zar::Writer w;
    w.AddData("update.manifest", 0644, manifest);
    for (const auto& [name, content] : items) {
      auto m = modes.find(name);
      w.AddData(name, m == modes.end() ? 0644 : m->second, content);
    }
    w.WriteFile(update + "/update.zar");
  }

  // Writes an update of |count| files data/fileN.bin of 2 MB each, which takes
  // the updater some tenths of a second apiece to decompress: long enough for
  // a window, and for another process to act while the update runs.
  void MakeSlowUpdate(int count) {
    static const std::vector<char> stored = zar::Compress(testing_support::RandomBytes(2 << 20, 11));
    zar::Writer writer;
    std::string manifest;
    for (int i = 0; i < count; ++i) {
      std::string name = "data/file" + std::to_string(i) + ".bin";
      manifest += "add \"" + name + "\"\n";
      writer.AddStored(zar::Item{name, 0644, stored});
    }
    writer.AddData("update.manifest", 0644, manifest);
    writer.WriteFile(update + "/update.zar");
  }

  // Runs the updater with the update folder, parent-pid 0 and |extra|
  // arguments, in the installation folder, with no display.
  testing_support::RunResult RunUpdater(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {Program("updater"), update, "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return testing_support::RunProgram(argv, {install, {"DISPLAY=", "WAYLAND_DISPLAY="}, 60});
  }
  // The same under strace, the calls that name |path| (relative to the
  // installation, or absolute) meeting |inject|; -P counts only those, so the
  // point stays put whatever else the updater does. No path: a plain run.
  testing_support::RunResult RunInjected(const std::string& path, const std::string& inject) {
    if (path.empty()) return RunUpdater();
    return testing_support::RunProgram({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-P", path, "-e",
                                        "inject=" + inject, Program("updater"), update, "0"},
                                       {install, {"DISPLAY=", "WAYLAND_DISPLAY="}, 60});
  }

  // Starts |args| in the installation without waiting, stdin and stdout on
  // /dev/null, stderr into |err|; killed at the end of the test if still running.
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
    started.push_back(pid);
    return pid;
  }
  // The wait status of a started process (-1 if it did not end in 20 s).
  int Reap(pid_t pid) {
    int status = -1;
    if (!Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; })) ADD_FAILURE() << pid << " did not end";
    std::erase(started, pid);
    return status;
  }

  static std::string Program(const std::string& name) { return testing_support::BinDir() + "/" + name; }

  std::string Status() { return testing_support::ReadFile(update + "/update.status"); }
  std::string Log() { return testing_support::ReadFile(update + "/update.log"); }
  std::string Installed(const std::string& rel) { return testing_support::ReadFile(install + "/" + rel); }
  void Install(const std::string& rel, const std::string& content, mode_t mode = 0644) {
    testing_support::WriteFile(install + "/" + rel, content, mode);
  }
  mode_t ModeOf(const std::string& rel) { return testing_support::ModeOf(install + "/" + rel); }
  bool Has(const std::string& rel) { return testing_support::Exists(install + "/" + rel); }
  // Every path of the installation, sorted.
  std::vector<std::string> Tree() { return testing_support::ListTree(install); }
  // Every entry of the installation: a file as "bytes|mode" (octal), a
  // directory as "/", a link as "->target"; nothing is opened but files.
  Files Snapshot() {
    Files out;
    for (const std::string& rel : Tree()) {
      const std::string path = install + "/" + rel;
      struct stat st;
      char target[256] = {};
      if (lstat(path.c_str(), &st) != 0) continue;
      if (S_ISREG(st.st_mode)) {
        char mode[8];
        snprintf(mode, sizeof mode, "|%o", unsigned(st.st_mode & 07777));
        out[rel] = testing_support::ReadFile(path) + mode;
      } else {
        out[rel] = S_ISDIR(st.st_mode) ? "/" : readlink(path.c_str(), target, 255) >= 0 ? "->" + std::string(target) : "?";
      }
    }
    return out;
  }
  // What a finished run leaves in the update folder.
  std::vector<std::string> UpdateDir() { return testing_support::ListTree(update); }
  const std::vector<std::string> kCleanUpdateDir = {"update.log", "update.manifest", "update.status", "update.zar"};

  testing_support::ScratchDir dir;
  std::string install, update;
  std::vector<pid_t> started;
};
