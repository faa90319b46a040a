// The patch and patch-if actions end to end, with patches made by the generator and applied by the real updater.
// Malformed patches are unit cases; rollback is the fault sweep's.
#include "updater_e2e.h"
#include "zbdiff/zbdiff.h"

using namespace testing_support;

namespace {

const std::string kOld = RandomBytes(20000, 1);
const std::string kNew = kOld.substr(0, 5000) + "inserted bytes" + kOld.substr(6000) + RandomBytes(300, 2);

TEST_F(UpdaterE2E, PatchActions) {
  const std::string good = zbdiff::MakePatch(kOld, kNew), other = std::string(kOld.size(), 'x') + "|751";
  const struct {
    const char* name;
    Files before;
    std::string manifest, status, log;
    Files after;
    std::vector<std::string> update_dir;
  } cases[] = {
      // Leftovers -1 .. 2 of an earlier run: 0 and 1 are replaced and deleted, -1 is deleted by the disabled
      // patch-if, 2 is never numbered in this run. The patched files keep their own modes, not the items'.
      {"patch-if both ways, and the numbering of staged patches", {{"a", kOld + "|755"}, {"b", kNew + "|644"}},
       "patch-if \"absent\" \"pa\" \"a\"\npatch \"pa\" \"a\"\npatch-if \"a\" \"pb\" \"b\"\n", "succeeded\n",
       "PREPARE PATCH a\nPREPARE PATCH b\nEXECUTE PATCH a\nEXECUTE PATCH b\nFINISH PATCH a\nFINISH PATCH b\n"
       "succeeded\n" + kEnd,
       {{"a", kNew + "|755"}, {"b", kOld + "|644"}},
       {"2.patch", "update.log", "update.manifest", "update.status", "update.zar"}},
      {"a source of the right size and other bytes", {{"first", "untouched|640"}, {"f", other}},
       "add \"first\"\npatch \"pa\" \"f\"\n", "failed: 4\n",
       "PREPARE ADD first\nPREPARE PATCH f\nCRC check failed\nLoadSourceFile failed\nfailed: 4\n" + kEnd,
       {{"first", "untouched|640"}, {"f", other}}, kCleanUpdateDir},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    for (const auto& [rel, v] : c.before)  // as Snapshot() shows it
      Install(rel, v.substr(0, v.rfind('|')), mode_t(std::stoul(v.substr(v.rfind('|') + 1), nullptr, 8)));
    for (const char* n : {"-1", "0", "1", "2"})  // for the run that gets to Finish
      if (c.status == "succeeded\n") WriteFile(update + "/" + n + ".patch", "leftover");
    MakeUpdate(c.manifest, {{"first", "new"}, {"pa", good}, {"pb", zbdiff::MakePatch(kNew, kOld)}}, {{"pa", 0600}});
    RunUpdater();
    EXPECT_EQ(Status(), c.status);
    EXPECT_EQ(Log(), c.log);
    EXPECT_EQ(Snapshot(), c.after);
    EXPECT_EQ(ListTree(update), c.update_dir) << "staged patches are deleted";
  }
}

}  // namespace
