// The update builder in-process: what each change of a file needs and in which
// order, the proof of patches, and the determinism of the archive whatever the
// parallelism. Its refusals are checked through the program.
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
  Old("a/b", "a file that becomes a directory");
  New("a/b/c", "below the new directory");
  Old("z", "removed, sorts last");
  New("a b", "sorts as bytes: ' ' < '/'");
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
add "a/b/c"
patch "./big.patch" "big"
add "big-and-bits"
add "bits"
add "rewritten"
)" "add \"\xff\"\n");
  // A complete update of NEW knows its size without building one.
  EXPECT_EQ(u.completeSize, Build(1, uint64_t(1) << 30, "-").archive.Serialize().size());
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
