// The make-update program end to end: updates built from two release trees
// with the real program and applied with the real updater.
#include <sys/stat.h>

#include <map>

#include "test_support.h"

using namespace testing_support;

namespace {

using Tree = std::map<std::string, std::pair<std::string, mode_t>>;  // path -> bytes, bits

// Every regular file below |root| as its size, hash of its bytes and its bits;
// directories are left out (the updater removes none, so emptied ones may stay).
std::map<std::string, std::string> ReadTree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const std::string& rel : ListTree(root))
    if (struct stat st; lstat((root + "/" + rel).c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
      tree[rel] = std::to_string(st.st_size) + " " + std::to_string(std::hash<std::string>()(ReadFile(root + "/" + rel))) +
                  " " + std::to_string(st.st_mode & 07777);
  return tree;
}

// v1 and v2 differ in every way an update must carry; a complete update (with
// --verify) installs v2 into an empty folder, a partial one turns v1 into v2.
TEST(MakeUpdateE2E, UpdatesRoundTripThroughTheUpdater) {
  umask(022);
  const std::string large = RandomBytes(3 << 20, 1);
  const Tree v1 = {{"lib/core large.bin", {large, 0755}}, {"same", {"same", 0644}},
                   {"gone", {"gone", 0600}}, {"becomes-dir", {"a file", 0644}}, {"rewritten", {RandomBytes(300, 2), 0444}},
                   {"empty", {"", 0644}}, {"share/doc with space/r\xc3\xa9sum\xc3\xa9", {RandomBytes(30000, 3), 0644}}};
  Tree v2 = v1;
  v2["lib/core large.bin"].first.replace(large.size() / 2, 1000, RandomBytes(900, 4)).insert(1000, "inserted");
  v2.erase("gone");
  v2.erase("becomes-dir");
  v2["becomes-dir/inner"] = {"now below a directory", 0600};
  v2["rewritten"].first = RandomBytes(200, 5);
  v2["empty"] = {"filled", 0600};
  v2["share/doc with space/r\xc3\xa9sum\xc3\xa9"].first += "appended";
  v2["new dir/sub/\xe6\x96\xb0 empty"] = {"", 0644};
  for (const bool complete : {true, false}) {
    SCOPED_TRACE(complete ? "complete" : "partial");
    ScratchDir dir;
    mkdir((dir / "install").c_str(), 0755);
    for (const auto& [tree, files] : {std::pair{"v1/", v1}, {"v2/", v2}, {"install/", complete ? Tree{} : v1}})
      for (const auto& [rel, f] : files) WriteFile(dir / (tree + rel), f.first, f.second);
    const RunResult made = RunProgram({BinDir() + "/make-update", "--to", "v2", "--output", "update", "-j", "2",
                                       complete ? "--verify" : "--from", complete ? "-q" : "v1"},
                                      RunOptions{dir.path(), {}, 240});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    const std::string summary = complete
        ? "update/update.zar: 7 adds, 0 patches, 0 removes; 0 files unchanged; verified with the updater\n"
        : "update/update.zar: 4 adds, 2 patches, 2 removes; 1 file unchanged\n";
    EXPECT_NE(made.out.find(summary), std::string::npos) << made.out;
    RunProgram({BinDir() + "/updater", dir / "update", "0"}, {dir / "install", {"DISPLAY=", "WAYLAND_DISPLAY="}});
    ASSERT_EQ(ReadFile(dir / "update/update.status"), "succeeded\n") << ReadFile(dir / "update/update.log");
    EXPECT_EQ(ReadTree(dir / "install"), ReadTree(dir / "v2"));
    EXPECT_EQ(ListTree(dir / "update"),
              (std::vector<std::string>{"update.log", "update.manifest", "update.status", "update.zar"}))
        << "no staged patch is left";
  }
}

}  // namespace
