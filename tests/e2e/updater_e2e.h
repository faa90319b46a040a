// The end-to-end fixture: an installation folder and an update folder in a
// scratch directory, an archive built with the archive writer, and the real
// updater program run on them.
#pragma once

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "common/zar_writer.h"
#include "test_support.h"

class UpdaterE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    umask(022);
    install = dir / "install";
    update = dir / "update";
    mkdir(install.c_str(), 0755);
    mkdir(update.c_str(), 0755);
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
  // a window, and for another process to act while the update runs. One
  // compressed stream, made once, serves every item.
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
  // arguments, in the installation folder.
  testing_support::RunResult RunUpdater(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {Program("updater"), update, "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    testing_support::RunOptions options;
    options.cwd = install;
    // No window in these tests, whatever the machine has.
    options.env = {"DISPLAY=", "WAYLAND_DISPLAY="};
    return testing_support::RunProgram(argv, options);
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

  testing_support::ScratchDir dir;
  std::string install, update;
};
