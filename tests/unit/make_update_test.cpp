// The update builder in-process: what each change of a file needs and in which order, the proof of patches, and the
// determinism of the archive whatever the parallelism. Its refusals are checked through the program.
#include <sys/stat.h>

#include "common/zar_writer.h"
#include "make_update/update_build.h"
#include "make_update/update_plan.h"
#include "test_support.h"
#include "zbdiff/zbdiff.h"

using namespace testing_support;

namespace {

// A big, well compressed file and a version of it with a few local edits: a
// patch wins, though the uncompressed patch is larger than the compressed file.
struct Versions {
  std::string before, after;
  Versions() {
    for (int i = 0; before.size() < 200000; ++i) before += "line " + std::to_string(i * 7919 % 100003) + "\n";
    after = before.substr(0, 50000) + "edited" + before.substr(50100, 100000) + RandomBytes(40, 8) + before.substr(150100);
  }
};

TEST(MakeUpdateTest, EachFileGetsTheActionItsChangeNeedsWhateverTheJobs) {
  umask(022);
  ScratchDir dir;
  const Versions v;
  // "rewritten" becomes text: its compressed patch is smaller than the file, yet
  // larger than the compressed file, which is what it must be weighed against.
  const std::string text = v.before.substr(0, 30000), noise = RandomBytes(30000, 9);
  const struct { std::string rel, before; mode_t oldMode; std::string after; mode_t newMode; } files[] = {  // mode 0: absent
      {"same", "identical\n", 0644, "identical\n", 0644}, {"bits", "same bytes\n", 0644, "same bytes\n", 0755},
      {"big", v.before, 0755, v.after, 0755},           {"big-and-bits", v.before, 0644, v.after, 0600},
      {"a/b", "a file that becomes a directory", 0644, "", 0}, {"a/b/c", "", 0, "below the new directory", 0644},
      {"z", "removed, sorts last", 0644, "", 0},        {"a b", "", 0, "sorts as bytes: ' ' < '/'", 0644},
      {"\xff", "", 0, "", 0644},                        {"rewritten", noise, 0644, text, 0644}};
  for (const auto& f : files) {
    if (f.oldMode) WriteFile(dir / ("old/" + f.rel), f.before, f.oldMode);
    if (f.newMode) WriteFile(dir / ("new/" + f.rel), f.after, f.newMode);
  }
  const size_t patchSize = zar::Compress(zbdiff::MakePatch(noise, text)).size();
  ASSERT_LT(patchSize, text.size());
  ASSERT_GT(patchSize, zar::Compress(text).size());
  ASSERT_GT(zbdiff::MakePatch(v.before, v.after).size(), zar::Compress(v.after).size());
  auto build = [&](const std::string& old, unsigned jobs, uint64_t budget = uint64_t(1) << 30) {
    make_update::BuildOptions options;
    options.jobs = jobs;
    options.memoryBudget = budget;
    return make_update::BuildUpdate(make_update::PlanUpdate(old, dir / "new"), options);
  };

  const make_update::Update u = build(dir / "old", 1);
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
  EXPECT_EQ(u.completeSize, build("", 1).archive.Serialize().size());
  // The same bytes whatever the jobs; a budget smaller than any file lets one file through at a time.
  EXPECT_EQ(build(dir / "old", 4).archive.Serialize(), u.archive.Serialize());
  const make_update::Update bounded = build(dir / "old", 4, 1);
  EXPECT_EQ(bounded.archive.Serialize(), u.archive.Serialize());
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
