// The patch and patch-if actions end to end, with patches made by the
// generator and applied by the real updater.
#include "patch/binary_patch.h"
#include "updater_e2e.h"
#include "zbdiff/zbdiff.h"

using namespace testing_support;

namespace {

std::string Patch(const std::string& from, const std::string& to) { return zbdiff::MakePatch(from, to); }

class PatchE2E : public UpdaterE2E {
 protected:
  void SetUp() override {
    UpdaterE2E::SetUp();
    old_ = RandomBytes(20000, 1);
    new_ = old_.substr(0, 5000) + "inserted bytes" + old_.substr(6000) + RandomBytes(300, 2);
  }
  std::string old_, new_;
};

TEST_F(PatchE2E, PatchesAFileKeepingItsMode) {
  Install("bin/app", old_, 0755);
  MakeUpdate("patch \"p/app\" \"bin/app\"\n", {{"p/app", Patch(old_, new_)}}, {{"p/app", 0600}});
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Log(),
            "PREPARE PATCH bin/app\nEXECUTE PATCH bin/app\nFINISH PATCH bin/app\n"
            "succeeded\ncalling QuitProgressUI\n");
  EXPECT_EQ(Installed("bin/app"), new_);
  EXPECT_EQ(ModeOf("bin/app"), 0755u) << "the patched file keeps its own bits, not the item's";
  EXPECT_EQ(Tree(), (std::vector<std::string>{"bin", "bin/app"}));
  EXPECT_EQ(ListTree(update), (std::vector<std::string>{"update.log", "update.manifest", "update.status", "update.zar"}))
      << "the temporary patch file is deleted";
}

TEST_F(PatchE2E, PatchIfBothWaysAndTheNumberingOfTemporaryFiles) {
  Install("a", old_);
  Install("b", new_);
  // Leftovers of an earlier run: 0 and 1 are replaced and deleted, -1 is
  // deleted by the disabled patch-if, 2 is never numbered in this run.
  for (const char* n : {"-1", "0", "1", "2"}) WriteFile(update + "/" + n + ".patch", "leftover");
  MakeUpdate("patch-if \"absent\" \"pa\" \"a\"\npatch \"pa\" \"a\"\npatch-if \"a\" \"pb\" \"b\"\n",
             {{"pa", Patch(old_, new_)}, {"pb", Patch(new_, old_)}});
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Log(),
            "PREPARE PATCH a\nPREPARE PATCH b\nEXECUTE PATCH a\nEXECUTE PATCH b\nFINISH PATCH a\nFINISH PATCH b\n"
            "succeeded\ncalling QuitProgressUI\n");
  EXPECT_EQ(Installed("a"), new_);
  EXPECT_EQ(Installed("b"), old_);
  EXPECT_EQ(ListTree(update),
            (std::vector<std::string>{"2.patch", "update.log", "update.manifest", "update.status", "update.zar"}));
}

TEST_F(PatchE2E, MismatchedSourcesFailBeforeAnythingChanges) {
  Install("first", "untouched", 0640);
  struct Case {
    std::string installed;
    std::string status;
    std::string lines;
  } cases[] = {
      {std::string(old_.size(), 'x'), "failed: 4\n", "CRC check failed\nLoadSourceFile failed\n"},
      {old_ + "!", "failed: 8\n", "LoadSourceFile failed\n"},
      {old_.substr(1), "failed: 8\n", "LoadSourceFile failed\n"},
  };
  for (const Case& c : cases) {
    Install("f", c.installed, 0751);
    MakeUpdate("add \"first\"\npatch \"p\" \"f\"\n", {{"first", "new"}, {"p", Patch(old_, new_)}});
    RunUpdater();
    EXPECT_EQ(Status(), c.status);
    EXPECT_EQ(Log(), "PREPARE ADD first\nPREPARE PATCH f\n" + c.lines + c.status + "calling QuitProgressUI\n");
    EXPECT_EQ(Installed("f"), c.installed);
    EXPECT_EQ(ModeOf("f"), 0751u);
    EXPECT_EQ(Installed("first"), "untouched");
    EXPECT_FALSE(Exists(update + "/0.patch"));
  }
}

TEST_F(PatchE2E, MissingFileOrItemIsReadError) {
  MakeUpdate("patch \"p\" \"absent\"\n", {{"p", Patch(old_, new_)}});
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(Log(), "PREPARE PATCH absent\nfailed: 6\ncalling QuitProgressUI\n");
  EXPECT_FALSE(Exists(update + "/0.patch"));

  Install("f", old_);
  MakeUpdate("patch \"no-such-item\" \"f\"\n");
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 6\n");
}

TEST_F(PatchE2E, MalformedPatchesFailInPrepare) {
  Install("f", old_);
  const std::string good = Patch(old_, new_);
  std::vector<std::string> bad;
  bad.push_back(good.substr(0, 31));                     // short header
  bad.push_back("ZBDIFF11" + good.substr(8));            // magic
  bad.push_back(good + "x");                             // one byte too many
  std::string ragged = good;                             // control block of 13 bytes
  zbs_put_be32((unsigned char*)ragged.data() + 20, 13);
  zbs_put_be32((unsigned char*)ragged.data() + 24, zbs_get_be32((unsigned char*)good.data() + 24) +
                                                         zbs_get_be32((unsigned char*)good.data() + 20) - 13);
  bad.push_back(ragged);
  const char* expected[] = {"failed: 6\n", "failed: 8\n", "failed: 8\n", "failed: 8\n"};
  for (size_t i = 0; i < bad.size(); ++i) {
    MakeUpdate("patch \"p\" \"f\"\n", {{"p", bad[i]}});
    RunUpdater();
    EXPECT_EQ(Status(), expected[i]) << i;
    EXPECT_EQ(Installed("f"), old_) << i;
  }
}

TEST_F(PatchE2E, PatchOutOfRangeFailsInExecuteAndRollsBack) {
  Install("f", old_, 0700);
  // A triple that seeks before the source's start: the header is sound, so
  // this shows only when the patch is applied.
  std::string patch(kZBSHeaderSize + kZBSTripleSize, '\0');
  ZBSPatchHeader h;
  ZBS_InitHeader(&h, uint32_t(old_.size()), crc32((const unsigned char*)old_.data(), uint32_t(old_.size())), 0,
                 kZBSTripleSize, 0, 0);
  ZBS_SerializeHeader(&h, (unsigned char*)patch.data());
  ZBS_PutTriple((unsigned char*)patch.data() + kZBSHeaderSize, 0, 0, -1);
  MakeUpdate("patch \"p\" \"f\"\n", {{"p", patch}});
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 8\n");
  EXPECT_EQ(Installed("f"), old_);
  EXPECT_EQ(ModeOf("f"), 0700u);
  EXPECT_EQ(Tree(), (std::vector<std::string>{"f"}));
}

TEST_F(PatchE2E, LaterFailureRestoresThePatchedFile) {
  Install("f", old_, 0755);
  MakeUpdate("patch \"p\" \"f\"\nadd \"missing\"\n", {{"p", Patch(old_, new_)}});
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(Log(),
            "PREPARE PATCH f\nPREPARE ADD missing\nEXECUTE PATCH f\nEXECUTE ADD missing\n### execution failed\n"
            "FINISH PATCH f\nFINISH ADD missing\nfailed: 6\ncalling QuitProgressUI\n");
  EXPECT_EQ(Installed("f"), old_);
  EXPECT_EQ(ModeOf("f"), 0755u);
  EXPECT_EQ(Tree(), (std::vector<std::string>{"f"}));
  EXPECT_FALSE(Exists(update + "/0.patch"));
}

TEST_F(PatchE2E, EmptySourceAndEmptyResult) {
  Install("empty", "");
  Install("full", "something");
  MakeUpdate("patch \"p1\" \"empty\"\npatch \"p2\" \"full\"\n", {{"p1", Patch("", new_)}, {"p2", Patch("something", "")}});
  RunUpdater();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(Installed("empty"), new_);
  EXPECT_EQ(Installed("full"), "");
}

TEST_F(PatchE2E, UnsafePatchTargetIsAParseError) {
  MakeUpdate("patch-if \"/etc/hostname\" \"../p\" \"ok\"\npatch \"p\" \"../escape\"\n", {{"p", Patch(old_, new_)}});
  RunUpdater();
  EXPECT_EQ(Status(), "failed: 5\n") << "the condition and the item may be anything, the target may not";
}

}  // namespace
