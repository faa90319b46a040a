// The make-update program end to end: updates built from random release trees
// with the real program and applied with the real updater, tampered
// installations, determinism across -j, verification, refusals and the
// command line.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>

#include "updater_e2e.h"

using namespace testing_support;

namespace {

struct FileSpec {
  std::string data;
  mode_t mode = 0644;
};
using TreeSpec = std::map<std::string, FileSpec>;

void WriteTree(const std::string& root, const TreeSpec& tree) {
  mkdir(root.c_str(), 0755);
  for (const auto& [rel, f] : tree) WriteFile(root + "/" + rel, f.data, f.mode);
}

// Every regular file below |root| with its bytes and bits; directories are
// left out (the updater removes none, so emptied ones may stay).
TreeSpec ReadTree(const std::string& root) {
  TreeSpec tree;
  for (const std::string& rel : ListTree(root)) {
    struct stat st;
    if (lstat((root + "/" + rel).c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
      tree[rel] = FileSpec{ReadFile(root + "/" + rel), mode_t(st.st_mode & 07777)};
  }
  return tree;
}

// Compares by path, so that a failure names the file.
void ExpectSameTree(const TreeSpec& actual, const TreeSpec& expected) {
  for (const auto& [rel, f] : expected) {
    auto it = actual.find(rel);
    if (it == actual.end()) {
      ADD_FAILURE() << "missing: " << rel;
      continue;
    }
    EXPECT_TRUE(it->second.data == f.data) << "bytes differ: " << rel;
    EXPECT_EQ(it->second.mode, f.mode) << "mode differs: " << rel;
  }
  for (const auto& [rel, f] : actual) EXPECT_TRUE(expected.count(rel)) << "left over: " << rel;
}

// Release trees v1 and v2 that differ in every way an update must carry.
struct Releases {
  TreeSpec v1, v2;
  std::string patched;  // a file the update is sure to patch
};

Releases MakeReleases(uint32_t seed, size_t largeSize) {
  std::mt19937 rng(seed);
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  const char* const dirs[] = {"", "bin/", "lib/", "lib/deep/er/", "share/doc with space/", "caf\xc3\xa9/", "\xce\xb1\xce\xb2/"};
  const char* const names[] = {"a", "b.txt", "c file", "r\xc3\xa9sum\xc3\xa9", "\xe2\x9c\x93", "data.bin", "x-y"};
  const mode_t modes[] = {0644, 0755, 0600, 0444};
  Releases r;
  for (int i = 0; i < 30; ++i) {
    const std::string rel = std::string(dirs[pick(7)]) + names[pick(7)] + std::to_string(i % 10);
    const size_t size = pick(6) == 0 ? 0 : size_t(pick(3) == 0 ? 20000 + pick(60000) : pick(400));
    r.v1[rel] = FileSpec{RandomBytes(size, seed * 1000 + i), modes[pick(4)]};
  }
  // Fixed cases, so that each seed covers them all.
  r.patched = "lib/core large.bin";
  const std::string core = RandomBytes(largeSize, seed + 7);
  r.v1[r.patched] = FileSpec{core, 0755};
  r.v1["becomes-dir"] = FileSpec{"a file in v1", 0644};
  r.v1["empty-in-v1"] = FileSpec{"", 0644};
  r.v1["bits-only"] = FileSpec{"same bytes", 0644};

  for (const auto& [rel, f] : r.v1) {
    FileSpec g = f;
    switch (pick(7)) {
      case 0: continue;  // removed
      case 1: g.mode = g.mode == 0755 ? 0644 : 0755; break;
      case 2: g.data = RandomBytes(size_t(pick(300)), seed + rng()); break;  // rewritten
      case 3:  // edited in a few places
        if (g.data.size() > 100) {
          g.data.replace(g.data.size() / 3, 10, "edited here");
          g.data += RandomBytes(size_t(pick(50)), seed + rng());
        } else {
          g.data += "!";
        }
        break;
      default: break;  // unchanged
    }
    r.v2[rel] = g;
  }
  std::string edited = core;
  edited.replace(edited.size() / 2, 1000, RandomBytes(900, seed + 8));
  edited.insert(1000, "inserted near the start");
  r.v2[r.patched] = FileSpec{edited, 0755};
  r.v2.erase("becomes-dir");
  r.v2["becomes-dir/inner"] = FileSpec{"now below a directory", 0644};
  r.v2["empty-in-v1"] = FileSpec{"filled", 0600};
  r.v2["bits-only"] = FileSpec{"same bytes", 0700};
  r.v2["new dir/sub/new empty"] = FileSpec{"", 0644};
  r.v2["new dir/\xe6\x96\xb0"] = FileSpec{RandomBytes(5000, seed + 9), 0755};
  return r;
}

class MakeUpdateE2E : public UpdaterE2E {
 protected:
  // Runs make-update with |args| and --output |update|.
  RunResult MakeUpdate(std::vector<std::string> args, const std::string& output = "") {
    args.insert(args.begin(), Program("make-update"));
    args.push_back("--output");
    args.push_back(output.empty() ? update : output);
    return RunProgram(args, RunOptions{dir.path(), {}, 240});
  }

  // v1 installed and kept aside in "v1", v2 in "v2".
  void Prepare(const Releases& r) {
    WriteTree(install, r.v1);
    WriteTree(dir / "v1", r.v1);
    WriteTree(dir / "v2", r.v2);
  }

  int ManifestLines(const std::string& keyword) {
    int n = 0;
    std::string manifest = ReadFile(update + "/update.manifest");
    for (size_t at = 0; (at = manifest.find("\n" + keyword + " \"", at)) != std::string::npos; ++at) ++n;
    return n;
  }
};

TEST_F(MakeUpdateE2E, RandomTreesRoundTripThroughTheUpdater) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    testing_support::ScratchDir round;
    install = round / "install";
    update = round / "update";
    // One seed carries a large file of a few MB; the others stay quick.
    const Releases r = MakeReleases(seed, seed == 1 ? 3u << 20 : 60000);
    WriteTree(install, r.v1);
    WriteTree(round / "v2", r.v2);
    WriteTree(round / "v1", r.v1);

    RunResult made = MakeUpdate({"--from", round / "v1", "--to", round / "v2", "-j", "2"});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    RunUpdater();
    ASSERT_EQ(Status(), "succeeded\n") << Log();
    ExpectSameTree(ReadTree(install), r.v2);
    EXPECT_EQ(ListTree(update), (std::vector<std::string>{"update.log", "update.manifest", "update.status", "update.zar"}))
        << "no staged patch is left";
    EXPECT_NE(ReadFile(update + "/update.manifest").find("patch \"./" + r.patched + ".patch\" \"" + r.patched + "\""),
              std::string::npos);
    const int adds = ManifestLines("add"), patches = ManifestLines("patch"), removes = ManifestLines("remove");
    EXPECT_GT(adds, 0);
    EXPECT_GT(removes, 0);
    char summary[96];
    snprintf(summary, sizeof(summary), "%d add%s, %d patch%s, %d remove%s", adds, adds == 1 ? "" : "s", patches,
             patches == 1 ? "" : "es", removes, removes == 1 ? "" : "s");
    EXPECT_NE(made.out.find(summary), std::string::npos) << made.out;
  }
}

TEST_F(MakeUpdateE2E, CompleteUpdateInstallsIntoAnEmptyFolder) {
  const Releases r = MakeReleases(4, 50000);
  WriteTree(dir / "v2", r.v2);
  RunResult made = MakeUpdate({"--to", dir / "v2", "--verify"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  EXPECT_NE(made.out.find("0 patches, 0 removes; 0 files unchanged; verified with the updater"), std::string::npos)
      << made.out;
  RunUpdater();
  ASSERT_EQ(Status(), "succeeded\n") << Log();
  ExpectSameTree(ReadTree(install), r.v2);
}

TEST_F(MakeUpdateE2E, AHandChangedFileMakesTheUpdateFailAndLeavesV1Untouched) {
  const Releases r = MakeReleases(5, 80000);
  Prepare(r);
  RunResult made = MakeUpdate({"--from", dir / "v1", "--to", dir / "v2"});
  ASSERT_EQ(made.exit_code, 0) << made.err;

  struct Case {
    const char* what;
    std::string content;
    const char* status;
  };
  std::string sameSize = r.v1.at(r.patched).data;
  sameSize[sameSize.size() / 2] ^= 0x20;
  for (const Case& c : {Case{"same size, other bytes", sameSize, "failed: 4\n"},
                        Case{"another size", r.v1.at(r.patched).data + "x", "failed: 8\n"}}) {
    SCOPED_TRACE(c.what);
    Install(r.patched, c.content, 0755);
    const TreeSpec before = ReadTree(install);
    RunUpdater();
    EXPECT_EQ(Status(), c.status) << Log();
    ExpectSameTree(ReadTree(install), before);
  }
}

TEST_F(MakeUpdateE2E, OneAndTwoJobsGiveTheSameArchive) {
  const Releases r = MakeReleases(6, 400000);
  WriteTree(dir / "v1", r.v1);
  WriteTree(dir / "v2", r.v2);
  RunResult one = MakeUpdate({"--from", dir / "v1", "--to", dir / "v2", "-j", "1"}, dir / "one");
  RunResult two = MakeUpdate({"--from", dir / "v1", "--to", dir / "v2", "-j2"}, dir / "two");
  ASSERT_EQ(one.exit_code, 0) << one.err;
  ASSERT_EQ(two.exit_code, 0) << two.err;
  const std::string a = ReadFile(dir / "one/update.zar");
  EXPECT_GT(a.size(), 100u);
  EXPECT_TRUE(a == ReadFile(dir / "two/update.zar"));
  EXPECT_EQ(one.out.substr(one.out.find(": ")), two.out.substr(two.out.find(": ")));
}

TEST_F(MakeUpdateE2E, VerifyCatchesAnUpdaterThatDoesNotApply) {
  const Releases r = MakeReleases(7, 30000);
  WriteTree(dir / "v1", r.v1);
  WriteTree(dir / "v2", r.v2);
  RunResult good = MakeUpdate({"--from", dir / "v1", "--to", dir / "v2", "--verify"});
  ASSERT_EQ(good.exit_code, 0) << good.err;
  EXPECT_NE(good.out.find("verified with the updater"), std::string::npos) << good.out;

  // A copy of make-update whose neighbour claims success and changes nothing.
  const std::string fake = dir / "fake";
  mkdir(fake.c_str(), 0755);
  WriteFile(fake + "/make-update", ReadFile(Program("make-update")), 0755);
  WriteFile(fake + "/updater", "#!/bin/sh\necho succeeded > \"$1/update.status\"\n", 0755);
  RunResult bad = RunProgram({fake + "/make-update", "--from", dir / "v1", "--to", dir / "v2", "--output",
                              dir / "bad", "--verify"});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_NE(bad.err.find("verification with " + fake + "/updater failed; nothing was written"), std::string::npos)
      << bad.err;
  EXPECT_NE(bad.err.find("\"" + r.patched + "\" differs from NEW's"), std::string::npos) << bad.err;
  EXPECT_NE(bad.err.find("\"becomes-dir/inner\" is missing"), std::string::npos) << bad.err;
  EXPECT_NE(bad.err.find("\"becomes-dir\" is left over"), std::string::npos) << bad.err;
  EXPECT_FALSE(Exists(dir / "bad/update.zar"));

  // And one with no updater at all.
  unlink((fake + "/updater").c_str());
  bad = RunProgram({fake + "/make-update", "--to", dir / "v2", "--output", dir / "bad", "--verify"});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_NE(bad.err.find(fake + "/updater: cannot verify: no updater program beside make-update"), std::string::npos)
      << bad.err;
}

TEST_F(MakeUpdateE2E, RefusalsNameThePathAndTheReasonAndWriteNothing) {
  struct Case {
    const char* what;
    std::function<void(const std::string& oldDir, const std::string& newDir)> make;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"symbolic link", [](const std::string&, const std::string& n) { symlink("target", (n + "/ln").c_str()); },
       "/new/ln: is a symbolic link"},
      {"special file", [](const std::string&, const std::string& n) { mkfifo((n + "/fifo").c_str(), 0644); },
       "/new/fifo: is a named pipe"},
      {"double quote", [](const std::string&, const std::string& n) { WriteFile(n + "/a\"b", "x"); },
       "/new/a\"b: its name holds a double quote"},
      {"carriage return", [](const std::string&, const std::string& n) { WriteFile(n + "/a\rb", "x"); },
       "/new/a\\rb: its name holds a line break"},
      {"line feed", [](const std::string& o, const std::string&) { WriteFile(o + "/d/a\nb", "x"); },
       "/old/d/a\\nb: its name holds a line break"},
      {"manifest name", [](const std::string&, const std::string& n) { WriteFile(n + "/update.manifest", "x"); },
       "/new/update.manifest: a file of this name at the root would collide"},
      {"directory becomes a file",
       [](const std::string& o, const std::string& n) {
         WriteFile(o + "/d/inner", "x");
         WriteFile(n + "/d", "x");
       },
       "/new/d: a directory in OLD becomes a file in NEW; the updater removes no directories, so this cannot be "
       "carried"},
      {"backup name", [](const std::string&, const std::string& n) { WriteFile(n + "/d/x.zel-backup", "x"); },
       "/new/d/x.zel-backup: its name ends in \".zel-backup\", which the updater reserves for its backups"},
      {"partial backup name", [](const std::string& o, const std::string&) { WriteFile(o + "/x.zel-part", "x"); },
       "/old/x.zel-part: its name ends in \".zel-part\", which the updater reserves"},
      {"name too long for its backup",
       [](const std::string&, const std::string& n) { WriteFile(n + "/" + std::string(245, 'n'), "x"); },
       "/new/" + std::string(245, 'n') + ": its name is 245 bytes; with \".zel-backup\" added for its backup it would "
       "pass the file system's limit of 255: at most 244"},
  };
  // Beside each case, files that must not be refused: one at the longest name
  // allowed, and an update.manifest below the root.
  const std::string keep = std::string(244, '~');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::ScratchDir trees;
    WriteFile(trees / ("old/" + keep), "same");
    WriteFile(trees / ("new/" + keep), "same");
    WriteFile(trees / "new/sub/update.manifest", "only the root's would collide");
    c.make(trees / "old", trees / "new");
    RunResult r = MakeUpdate({"--from", trees / "old", "--to", trees / "new"}, trees / "out");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.rfind("make-update: cannot build this update:\n  " + trees.path() + c.message, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << "one refusal only: " << r.err;
    EXPECT_FALSE(Exists(trees / "out"));
  }
  RunResult missing = MakeUpdate({"--to", dir / "missing"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.err.find(dir / "missing: cannot stat: No such file or directory"), std::string::npos) << missing.err;
  WriteFile(dir / "plain", "not a directory");
  RunResult plain = MakeUpdate({"--from", dir / "plain", "--to", dir / "plain"});
  EXPECT_EQ(plain.exit_code, 1);
  EXPECT_NE(plain.err.find(dir / "plain: OLD is not a directory"), std::string::npos) << plain.err;
}

TEST_F(MakeUpdateE2E, EmptyDirectoriesAreWarnedAbout) {
  WriteFile(dir / "new/file", "x");
  mkdir((dir / "new/empty").c_str(), 0755);
  RunResult r = MakeUpdate({"--to", dir / "new"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "make-update: warning: " + dir / "new/empty" +
                       ": empty directory, not carried (the updater makes directories only as parents of files)\n");
}

}  // namespace
