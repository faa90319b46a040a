// The update builder in-process: what each change of a file needs and in which
// order, every refusal (cheaper here than through the program, which the
// end-to-end tests run once), the proof of patches, and the determinism of the
// archive whatever the parallelism.
#include <sys/stat.h>
#include <unistd.h>


#include "common/zar_writer.h"
#include "make_update/update_build.h"
#include "make_update/update_plan.h"
#include "test_support.h"
#include "zbdiff/zbdiff.h"

using namespace testing_support;

namespace {

class MakeUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override { umask(022); }
  void Old(const std::string& rel, const std::string& data, mode_t mode = 0644) { WriteFile(oldDir + "/" + rel, data, mode); }
  void New(const std::string& rel, const std::string& data, mode_t mode = 0644) { WriteFile(newDir + "/" + rel, data, mode); }
  make_update::Update Build(unsigned jobs = 1, uint64_t budget = uint64_t(1) << 30, const std::string& from = "") {
    make_update::BuildOptions options;
    options.jobs = jobs;
    options.memoryBudget = budget;
    return make_update::BuildUpdate(make_update::PlanUpdate(from == "-" ? "" : oldDir, newDir), options);
  }
  ScratchDir dir;
  const std::string oldDir = dir / "old", newDir = dir / "new";
};

// A big, well compressed file and a version of it with a few local edits: a
// patch wins, though the uncompressed patch is larger than the compressed file.
struct Versions {
  std::string before, after;
  Versions() {
    for (int i = 0; before.size() < 200000; ++i) before += "line " + std::to_string(i * 7919 % 100003) + "\n";
    after = before.substr(0, 50000) + "edited" + before.substr(50100, 100000) + RandomBytes(40, 8) + before.substr(150100);
  }
};

TEST_F(MakeUpdateTest, EachFileGetsTheActionItsChangeNeedsInManifestOrder) {
  const Versions v;
  auto both = [&](const char* rel, const std::string& before, mode_t oldMode, const std::string& after, mode_t newMode) {
    Old(rel, before, oldMode);
    New(rel, after, newMode);
  };
  both("same", "identical\n", 0644, "identical\n", 0644);
  both("bits", "same bytes, new bits\n", 0644, "same bytes, new bits\n", 0755);
  both("big", v.before, 0755, v.after, 0755);
  both("big-and-bits", v.before, 0644, v.after, 0600);
  both("small", "abc", 0644, "abd", 0644);
  both("emptied", "content", 0644, "", 0644);
  Old("a/b", "a file that becomes a directory");
  New("a/b/c", "below the new directory");
  Old("z", "removed, sorts last");
  New("a b", "sorts as bytes: ' ' < '-' < '/'");
  New("a-b", "");
  New("\xff", "");
  // Rewritten as text: its compressed patch is smaller than the file, yet
  // larger than the compressed file, which is what it must be weighed against.
  const std::string text = v.before.substr(0, 30000);
  Old("rewritten", RandomBytes(30000, 9));
  New("rewritten", text);
  const size_t patchSize = zar::Compress(zbdiff::MakePatch(RandomBytes(30000, 9), text)).size();
  ASSERT_LT(patchSize, text.size());
  ASSERT_GT(patchSize, zar::Compress(text).size());
  ASSERT_GT(zbdiff::MakePatch(v.before, v.after).size(), zar::Compress(v.after).size());

  const make_update::Update u = Build();
  EXPECT_EQ(u.manifest, "# update built by make-update\n" R"(remove "a/b"
remove "z"
add "a b"
add "a-b"
add "a/b/c"
patch "./big.patch" "big"
add "big-and-bits"
add "bits"
add "emptied"
add "rewritten"
add "small"
)" "add \"\xff\"\n");
  // A complete update of NEW knows its size without building one.
  EXPECT_EQ(u.completeSize, Build(1, uint64_t(1) << 30, "-").archive.Serialize().size());
}

// Everything the updater cannot carry, in one pair of trees beside files at
// each limit that must be accepted: every refusal is listed, naming the path.
TEST_F(MakeUpdateTest, RefusesWhatTheUpdaterCannotCarryNamingEachPath) {
  std::string deep;  // directories of 1003 bytes: a file below at 1012 fits, at 1016 not
  for (int i = 0; i < 4; ++i) deep.append(i ? "/" : "").append(250, char('a' + i));
  for (const std::string& tree : {oldDir + "/", newDir + "/"}) {
    WriteFile(tree + std::string(244, '~'), "same");
    WriteFile(tree + "sub/update.manifest", "only the root's would collide");
    WriteFile(tree + deep + "/8-bytes", "");
    WriteFile(tree + "big", "");
    ASSERT_EQ(truncate((tree + "big").c_str(), (off_t(1) << 31) - 1), 0);  // sparse: planning reads no file
  }
  for (const char* name : {"d/a\nb", "x.zel-part", "dir/inner"}) Old(name, "");
  for (const std::string& name : {std::string("a\"b"), std::string("a\rb"), deep + "/twelve-bytes", std::string("d/x.zel-backup"),
                                  std::string(245, 'n'), std::string("update.manifest"), std::string("dir"), std::string("huge")})
    New(name, "");
  ASSERT_EQ(truncate((newDir + "/huge").c_str(), off_t(1) << 31), 0);
  ASSERT_EQ(symlink("t", (newDir + "/ln").c_str()), 0);
  ASSERT_EQ(mkfifo((newDir + "/fifo").c_str(), 0644), 0);
  const std::string special = "; only regular files and directories can be carried", backup = ", which the updater reserves"
                              " for its backups", lineBreak = ": its name holds a line break, which would end a manifest line";
  const std::string lines[] = {
      oldDir + "/d/a\\nb" + lineBreak,
      oldDir + "/x.zel-part: its name ends in \".zel-part\"" + backup,
      newDir + "/a\\rb" + lineBreak,
      newDir + "/a\"b: its name holds a double quote, which the manifest cannot quote",
      newDir + "/" + deep + "/twelve-bytes: its path is 1016 bytes; the updater handles at most 1012",
      newDir + "/d/x.zel-backup: its name ends in \".zel-backup\"" + backup,
      newDir + "/fifo: is a named pipe" + special,
      newDir + "/ln: is a symbolic link" + special,
      newDir + "/" + std::string(245, 'n') + ": its name is 245 bytes; with \".zel-backup\" added for its backup it would "
      "pass the file system's limit of 255: at most 244",
      newDir + "/dir: a directory in OLD becomes a file in NEW; the updater removes no directories, so this cannot be carried",
      newDir + "/huge: file of 2 GiB or more (2147483648 bytes); the archive's sizes are 32-bit",
      newDir + "/update.manifest: a file of this name at the root would collide with the archive's own manifest item"};
  std::string expected = "cannot build this update:";
  for (const std::string& line : lines) expected += "\n  " + line;
  try {
    make_update::PlanUpdate(oldDir, newDir);
    ADD_FAILURE() << "accepted";
  } catch (const make_update::Error& e) {
    EXPECT_EQ(std::string(e.what()), expected);
  }
}

TEST_F(MakeUpdateTest, SameTreesGiveTheSameBytesWhateverTheJobsAndBudget) {
  for (int i = 0; i < 12; ++i) {
    const std::string name = "d" + std::to_string(i % 3) + "/f" + std::to_string(i), base = RandomBytes(1000 + 5000 * i, 100 + i);
    Old(name, base);
    New(name, i % 4 == 0 ? base : base.substr(0, base.size() / 2) + "change" + base.substr(base.size() / 2 + 3));
  }
  const std::vector<char> one = Build(1).archive.Serialize();
  EXPECT_EQ(Build(4).archive.Serialize(), one);
  // A budget smaller than any file: one file at a time, same result.
  const make_update::Update bounded = Build(4, 1);
  EXPECT_EQ(bounded.archive.Serialize(), one);
  EXPECT_EQ(bounded.peakFilesInFlight, 1u) << "the memory budget must hold back the other jobs";
}

// One patch per check of the proof, each of them the only one it fails.
TEST(MakeUpdateProofTest, AcceptsAGoodPatchAndCatchesEveryKindOfBadOne) {
  const Versions v;
  const std::string patch = zbdiff::MakePatch(v.before, v.after);
  auto stored = [](const std::string& p) { return zar::Compress(p); };
  EXPECT_NO_THROW(make_update::ProvePatch("f", v.before, stored(patch), v.after));
  std::string otherOld = v.before;
  otherOld[10] ^= 1;
  const struct { std::string old; std::vector<char> stored; std::string neu, message; } cases[] = {
      {v.before, {'n', 'o'}, v.after, "bin/f: the generated patch is wrong ("},
      {v.before, stored(patch.substr(0, patch.size() - 1)), v.after, "header is not valid"},
      {v.before + "x", stored(patch), v.after, "expects an old file of " + std::to_string(v.before.size()) + " bytes"},
      {otherOld, stored(patch), v.after, "another CRC-32"},
      {v.before, stored(patch), v.after + "!", "does not give the new file"},
  };
  for (const auto& c : cases) {
    try {
      make_update::ProvePatch("bin/f", c.old, c.stored, c.neu);
      ADD_FAILURE() << "accepted: " << c.message;
    } catch (const make_update::Error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

}  // namespace
