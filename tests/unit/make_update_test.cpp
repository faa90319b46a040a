// The update builder in-process: planning rules (what is removed, added,
// patched or left alone, and in which order), the refusals, the proof of
// patches, and the determinism of the archive whatever the parallelism.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "common/zar_writer.h"
#include "make_update/update_build.h"
#include "make_update/update_plan.h"
#include "test_support.h"
#include "zbdiff/zbdiff.h"

namespace {

using make_update::ActionKind;
using testing_support::RandomBytes;
using testing_support::ScratchDir;
using testing_support::WriteFile;

class MakeUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    umask(022);
    for (const std::string& tree : {oldDir, newDir}) mkdir(tree.c_str(), 0755);
  }
  void Old(const std::string& rel, const std::string& data, mode_t mode = 0644) { WriteFile(oldDir + "/" + rel, data, mode); }
  void New(const std::string& rel, const std::string& data, mode_t mode = 0644) { WriteFile(newDir + "/" + rel, data, mode); }

  make_update::Update Build(unsigned jobs = 1, uint64_t budget = uint64_t(1) << 30) {
    make_update::BuildOptions options;
    options.jobs = jobs;
    options.memoryBudget = budget;
    return make_update::BuildUpdate(make_update::PlanUpdate(oldDir, newDir), options);
  }

  // The refusal message of planning these trees, or "" when they are accepted.
  std::string Refusal() {
    try {
      make_update::PlanUpdate(oldDir, newDir);
    } catch (const make_update::Error& e) {
      return e.what();
    }
    return "";
  }

  ScratchDir dir;
  const std::string oldDir = dir / "old", newDir = dir / "new";
};

// The manifest make-update writes: its header line, then |lines|.
std::string Manifest(std::initializer_list<std::string> lines) {
  std::string m = "# update built by make-update\n";
  for (const std::string& line : lines) m += line + "\n";
  return m;
}

// A big file and a version of it with a few local edits: a patch wins.
struct Versions {
  std::string before = RandomBytes(200000, 7);
  std::string after = before.substr(0, 50000) + "edited" + before.substr(50100, 100000) + RandomBytes(40, 8) +
                      before.substr(150100);
};

TEST_F(MakeUpdateTest, EachFileGetsTheActionItsChangeNeeds) {
  const Versions v;
  Old("same", "identical\n");
  New("same", "identical\n");
  Old("bits", "same bytes, new bits\n", 0644);
  New("bits", "same bytes, new bits\n", 0755);
  Old("big", v.before, 0755);
  New("big", v.after, 0755);
  Old("big-and-bits", v.before, 0644);
  New("big-and-bits", v.after, 0600);
  Old("small", "abc");
  New("small", "abd");
  Old("gone", "bye");
  New("fresh", "hello", 0700);
  Old("emptied", "content");
  New("emptied", "");
  // Rewritten as text: its compressed patch is smaller than the file, yet
  // larger than the compressed file, which is what it must be weighed against.
  std::string text;
  for (int i = 0; text.size() < 30000; ++i) text += "entry " + std::to_string(i * 7919 % 1000) + ";\n";
  Old("rewritten", RandomBytes(30000, 9));
  New("rewritten", text);
  const size_t patchSize = zar::Compress(zbdiff::MakePatch(RandomBytes(30000, 9), text)).size();
  EXPECT_LT(patchSize, text.size());
  EXPECT_GT(patchSize, zar::Compress(text).size());

  const make_update::Update u = Build();
  std::vector<std::string> lines;
  for (const make_update::Action& a : u.actions) lines.push_back(std::to_string(int(a.kind)) + " " + a.path);
  const std::string R = std::to_string(int(ActionKind::kRemove)), A = std::to_string(int(ActionKind::kAdd)),
                    P = std::to_string(int(ActionKind::kPatch));
  EXPECT_EQ(lines, (std::vector<std::string>{R + " gone", P + " big", A + " big-and-bits", A + " bits", A + " emptied",
                                             A + " fresh", A + " rewritten", A + " small"}));
  EXPECT_EQ((std::vector<size_t>{u.removes, u.patches, u.adds, u.unchanged}), (std::vector<size_t>{1, 1, 6, 1}));
  EXPECT_EQ(u.manifest, Manifest({R"(remove "gone")", R"(patch "./big.patch" "big")", R"(add "big-and-bits")",
                                  R"(add "bits")", R"(add "emptied")", R"(add "fresh")", R"(add "rewritten")",
                                  R"(add "small")"}));

  // Items: the manifest first, then one per add or patch in manifest order,
  // adds carrying the new file's bits.
  const std::vector<zar::Item>& items = u.archive.items();
  std::vector<std::string> names;
  for (const zar::Item& item : items) names.push_back(item.name);
  ASSERT_EQ(names, (std::vector<std::string>{"update.manifest", "./big.patch", "big-and-bits", "bits", "emptied",
                                             "fresh", "rewritten", "small"}));
  auto content = [](const zar::Item& item) {
    std::vector<char> d = zar::Decompress(std::string_view(item.stored.data(), item.stored.size()));
    return std::string(d.begin(), d.end());
  };
  EXPECT_EQ(content(items[0]), u.manifest);
  EXPECT_EQ(items[2].flags, 0600u);
  EXPECT_EQ(content(items[2]), v.after);
  EXPECT_EQ(items[3].flags, 0755u);
  EXPECT_EQ(content(items[7]), "abd");
  EXPECT_NO_THROW(make_update::ProvePatch("big", v.before, items[1].stored, v.after));
  EXPECT_LT(items[1].stored.size(), zar::Compress(v.after).size());
}

TEST_F(MakeUpdateTest, RemovesComeFirstSoAFileCanBecomeADirectory) {
  Old("a/b", "file that becomes a directory");
  Old("z", "removed, sorts last");
  New("a/b/c", "below the new directory");
  New("a/a", "sorts before the remove's path");
  const make_update::Update u = Build();
  EXPECT_EQ(u.manifest, Manifest({R"(remove "a/b")", R"(remove "z")", R"(add "a/a")", R"(add "a/b/c")"}));
}

TEST_F(MakeUpdateTest, PathsSortAsBytesWithSpacesAndNonAsciiKept) {
  New("b", "1");
  New("a b/x", "2");
  New("a-b", "3");
  New("a/\xc3\xa9t\xc3\xa9", "4");
  New("\xff", "5");
  const make_update::Update u = Build();
  EXPECT_EQ(u.manifest,
            Manifest({R"(add "a b/x")", R"(add "a-b")", "add \"a/\xc3\xa9t\xc3\xa9\"", R"(add "b")", "add \"\xff\""}));
}

TEST_F(MakeUpdateTest, CompleteUpdateAddsEveryFileAndIsItsOwnComparison) {
  New("one", RandomBytes(3000, 1), 0755);
  New("dir/two", "");
  New("dir/three", "three");
  make_update::BuildOptions options;
  const make_update::Update u = make_update::BuildUpdate(make_update::PlanUpdate("", newDir), options);
  EXPECT_EQ(u.manifest, Manifest({R"(add "dir/three")", R"(add "dir/two")", R"(add "one")"}));
  EXPECT_EQ(u.adds, 3u);
  EXPECT_EQ(u.carriedBytes, 3005u);
  // "The size of a complete update" is computed without building one.
  EXPECT_EQ(u.completeSize, u.archive.Serialize().size());
}

TEST_F(MakeUpdateTest, EmptyDirectoriesGetAWarningUnlessOldHasThem) {
  New("kept/file", "x");
  for (const std::string& d : {newDir + "/empty", newDir + "/nested", newDir + "/nested/deeper", newDir + "/there",
                               oldDir + "/there"})
    mkdir(d.c_str(), 0755);
  New("nested-file", "a name that sorts between nested and nested/");
  const make_update::Plan plan = make_update::PlanUpdate(oldDir, newDir);
  ASSERT_EQ(plan.warnings.size(), 2u);
  EXPECT_NE(plan.warnings[0].find("/new/empty: empty directory, not carried"), std::string::npos) << plan.warnings[0];
  EXPECT_NE(plan.warnings[1].find("/new/nested/deeper: empty directory"), std::string::npos) << plan.warnings[1];
}

TEST_F(MakeUpdateTest, RefusesFilesOf2GiBAndOverlongPaths) {
  // A sparse file: planning looks at sizes only, so nothing is read.
  const std::string huge = newDir + "/huge";
  const int fd = open(huge.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t(1) << 31), 0);
  close(fd);
  // Directories of 1003 bytes, a file path of 1016, then of exactly 1012.
  std::string deep;
  for (int i = 0; i < 4; ++i) deep.append(i ? "/" : "").append(250, char('a' + i));
  New(deep + "/twelve-bytes", "too deep for the updater's names");
  const std::string message = Refusal();
  EXPECT_NE(message.find("/new/huge: file of 2 GiB or more (2147483648 bytes)"), std::string::npos) << message;
  EXPECT_NE(message.find("/twelve-bytes: its path is 1016 bytes; the updater handles at most 1012"), std::string::npos)
      << message;
  EXPECT_EQ(message.find(deep + ":"), std::string::npos) << "the directory itself fits";
  ASSERT_EQ(truncate(huge.c_str(), (off_t(1) << 31) - 1), 0);
  ASSERT_EQ(rename((newDir + "/" + deep + "/twelve-bytes").c_str(), (newDir + "/" + deep + "/8-bytes").c_str()), 0);
  EXPECT_EQ(Refusal(), "") << "one byte below each limit is accepted";
}

TEST_F(MakeUpdateTest, SameTreesGiveTheSameBytesWhateverTheJobsAndBudget) {
  const Versions v;
  for (int i = 0; i < 12; ++i) {
    char name[16];
    snprintf(name, sizeof(name), "d%d/f%d", i % 3, i);
    const std::string base = RandomBytes(1000 + 5000 * i, 100 + i);
    Old(name, base);
    New(name, i % 4 == 0 ? base : base.substr(0, base.size() / 2) + "change" + base.substr(base.size() / 2 + 3));
  }
  Old("big", v.before);
  New("big", v.after);
  const make_update::Update serial = Build(1);
  const std::vector<char> one = serial.archive.Serialize();
  EXPECT_EQ(serial.peakFilesInFlight, 1u);
  EXPECT_EQ(Build(2).archive.Serialize(), one);
  const make_update::Update four = Build(4);
  EXPECT_EQ(four.archive.Serialize(), one);
  EXPECT_LE(four.peakFilesInFlight, 4u);
  // A budget smaller than any file: one file at a time, same result.
  const make_update::Update bounded = Build(4, 1);
  EXPECT_EQ(bounded.archive.Serialize(), one);
  EXPECT_EQ(bounded.peakFilesInFlight, 1u) << "the memory budget must hold back the other jobs";
}

TEST_F(MakeUpdateTest, ProgressCountsEveryFileOnce) {
  for (char name[] = "f0"; name[1] < '6'; ++name[1]) New(name, RandomBytes(100 * (name[1] - '0'), name[1]));
  make_update::BuildOptions options;
  options.jobs = 3;
  std::vector<size_t> seen;
  uint64_t lastBytes = 0, total = 0;
  options.progress = [&](const make_update::BuildProgress& p) {
    seen.push_back(p.filesDone);
    lastBytes = p.bytesDone;
    total = p.bytesTotal;
  };
  make_update::BuildUpdate(make_update::PlanUpdate("", newDir), options);
  EXPECT_EQ(seen, (std::vector<size_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(total, 1500u);
  EXPECT_EQ(lastBytes, total);
}

TEST(MakeUpdateProofTest, AcceptsAGoodPatchAndCatchesEveryKindOfBadOne) {
  const Versions v;
  const std::string patch = zbdiff::MakePatch(v.before, v.after);
  EXPECT_NO_THROW(make_update::ProvePatch("f", v.before, zar::Compress(patch), v.after));

  std::string flipped = patch, otherOld = v.before;
  flipped[flipped.size() - 1] ^= 0x40;
  otherOld[10] ^= 1;
  const struct {
    const char* label;
    std::string old;
    std::vector<char> stored;
    std::string neu, message;
  } cases[] = {
      {"a wrong byte in the body", v.before, zar::Compress(flipped), v.after, "bin/f: the generated patch is wrong"},
      {"made for another old file", otherOld, zar::Compress(patch), v.after, "another CRC-32"},
      {"made for an old file of another size", v.before + "x", zar::Compress(patch), v.after,
       "expects an old file of 200000 bytes"},
      {"blocks that do not add up", v.before, zar::Compress(patch.substr(0, patch.size() - 1)), v.after,
       "header is not valid"},
      {"a result one byte short", v.before, zar::Compress(patch), v.after + "!", "does not give the new file"},
      {"stored bytes that are not a bzip2 stream", v.before, {'n', 'o'}, v.after, "bin/f: the generated patch is wrong"},
  };
  for (const auto& c : cases) {
    try {
      make_update::ProvePatch("bin/f", c.old, c.stored, c.neu);
      ADD_FAILURE() << "accepted: " << c.label;
    } catch (const make_update::Error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.label << ": " << e.what();
    }
  }
}

TEST(MakeUpdatePatchItemTest, NamesCannotBeThoseOfWalkedPaths) {
  for (auto [path, item] : {std::pair{"lib/tsc.js", "./lib/tsc.js.patch"}, std::pair{"a b", "./a b.patch"}})
    EXPECT_EQ(make_update::PatchItemName(path), item);
}

}  // namespace
