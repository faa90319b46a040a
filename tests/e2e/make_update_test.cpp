// The make-update program end to end: updates built from random release trees
// with the real program and applied with the real updater.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>

#include "test_support.h"

using namespace testing_support;

namespace {

using Tree = std::map<std::string, std::pair<std::string, mode_t>>;  // path -> bytes, bits

void WriteTree(const std::string& root, const Tree& tree) {
  mkdir(root.c_str(), 0755);
  for (const auto& [rel, f] : tree) WriteFile(root + "/" + rel, f.first, f.second);
}

// Every regular file below |root|; directories are left out (the updater
// removes none, so emptied ones may stay).
Tree ReadTree(const std::string& root) {
  Tree tree;
  for (const std::string& rel : ListTree(root))
    if (struct stat st; lstat((root + "/" + rel).c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
      tree[rel] = {ReadFile(root + "/" + rel), st.st_mode & 07777};
  return tree;
}

// Release trees v1 and v2 that differ in every way an update must carry, with
// one large file that is sure to be patched.
std::pair<Tree, Tree> MakeReleases(uint32_t seed, size_t largeSize) {
  std::mt19937 rng(seed);
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  const char* const dirs[] = {"", "bin/", "lib/deep/er/", "share/doc with space/", "caf\xc3\xa9/", "\xce\xb1\xce\xb2/"};
  const char* const names[] = {"a", "b.txt", "c file", "r\xc3\xa9sum\xc3\xa9", "\xe2\x9c\x93", "x-y"};
  const mode_t modes[] = {0644, 0755, 0600, 0444};
  Tree v1, v2;
  for (int i = 0; i < 30; ++i) {
    const size_t size = pick(6) == 0 ? 0 : size_t(pick(3) == 0 ? 20000 + pick(60000) : pick(400));
    v1[std::string(dirs[pick(6)]) + names[pick(6)] + std::to_string(i % 10)] = {RandomBytes(size, seed * 1000 + i), modes[pick(4)]};
  }
  v1["lib/core large.bin"] = {RandomBytes(largeSize, seed + 7), 0755};
  v1["becomes-dir"] = {"a file in v1", 0644};
  for (auto [rel, f] : v1) {
    switch (pick(5)) {
      case 0: continue;  // removed
      case 1: f.second = f.second == 0755 ? 0644 : 0755; break;
      case 2: f.first = RandomBytes(size_t(pick(300)), seed + rng()); break;
      case 3: f.first.replace(f.first.size() / 3, 10, "edited here"); break;
    }
    v2[rel] = f;
  }
  v2["lib/core large.bin"] = {std::string(v1["lib/core large.bin"].first).replace(largeSize / 2, 1000, RandomBytes(900, seed + 8)), 0755};
  v2.erase("becomes-dir");
  v2["becomes-dir/inner"] = {"now below a directory", 0600};
  v2["new dir/sub/new empty"] = {"", 0644};
  v2["new dir/\xe6\x96\xb0"] = {RandomBytes(5000, seed + 9), 0755};
  return {v1, v2};
}

// Complete (seed 0, with --verify) and partial updates, one of them with a
// file of a few MB.
TEST(MakeUpdateE2E, RandomTreesRoundTripThroughTheUpdater) {
  umask(022);
  for (uint32_t seed : {0u, 1u, 2u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    ScratchDir dir;
    const auto [v1, v2] = MakeReleases(seed, seed == 1 ? 3u << 20 : 60000);
    WriteTree(dir / "install", seed ? v1 : Tree{});
    WriteTree(dir / "v1", v1);
    WriteTree(dir / "v2", v2);
    std::vector<std::string> args = {BinDir() + "/make-update", "--to", "v2", "--output", "update", "-j", "2"};
    if (seed) args.insert(args.end(), {"--from", "v1"});
    else args.push_back("--verify");
    const RunResult made = RunProgram(args, RunOptions{dir.path(), {}, 240});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    const RunResult run = RunProgram({BinDir() + "/updater", dir / "update", "0"},
                                     RunOptions{dir / "install", {"DISPLAY=", "WAYLAND_DISPLAY="}});
    ASSERT_EQ(ReadFile(dir / "update/update.status"), "succeeded\n") << ReadFile(dir / "update/update.log");
    EXPECT_TRUE(ReadTree(dir / "install") == v2) << "the installation differs from v2";
    EXPECT_EQ(ListTree(dir / "update"), (std::vector<std::string>{"update.log", "update.manifest", "update.status", "update.zar"}))
        << "no staged patch is left";
    const std::string manifest = ReadFile(dir / "update/update.manifest");
    int counts[3] = {};
    const char* const kinds[] = {"\nadd \"", "\npatch \"", "\nremove \""};
    for (int k = 0; k < 3; ++k)
      for (size_t at = 0; (at = manifest.find(kinds[k], at)) != std::string::npos; ++at) ++counts[k];
    EXPECT_EQ(counts[1] > 0, seed > 0);
    EXPECT_NE(manifest.find(seed ? "patch \"./lib/core large.bin.patch\" \"lib/core large.bin\"" : "add \"lib/core large.bin\""),
              std::string::npos) << manifest;
    char summary[128];
    snprintf(summary, sizeof(summary), "%d add%s, %d patch%s, %d remove%s", counts[0], counts[0] == 1 ? "" : "s",
             counts[1], counts[1] == 1 ? "" : "es", counts[2], counts[2] == 1 ? "" : "s");
    EXPECT_NE(made.out.find(std::string(summary) + (seed ? "; " : "; 0 files unchanged; verified with the updater")),
              std::string::npos) << made.out;
  }
}

}  // namespace
