// The patch and patch-if actions end to end, with patches made by the
// generator and applied by the real updater.
#include "patch/binary_patch.h"
#include "updater_e2e.h"
#include "zbdiff/zbdiff.h"

using namespace testing_support;

namespace {

std::string Patch(const std::string& from, const std::string& to) { return zbdiff::MakePatch(from, to); }

const std::string kOld = RandomBytes(20000, 1);
const std::string kNew = kOld.substr(0, 5000) + "inserted bytes" + kOld.substr(6000) + RandomBytes(300, 2);
const std::string kEnd = "calling QuitProgressUI\n";

// A triple that seeks before the source's start: the header is sound, so
// this shows only when the patch is applied.
std::string OutOfRange() {
  std::string patch(kZBSHeaderSize + kZBSTripleSize, '\0');
  ZBSPatchHeader h;
  ZBS_InitHeader(&h, uint32_t(kOld.size()), crc32((const unsigned char*)kOld.data(), uint32_t(kOld.size())), 0,
                 kZBSTripleSize, 0, 0);
  ZBS_SerializeHeader(&h, (unsigned char*)patch.data());
  ZBS_PutTriple((unsigned char*)patch.data() + kZBSHeaderSize, 0, 0, -1);
  return patch;
}

struct Case {
  const char* name;
  Files before;
  std::string manifest;
  Files items;
  std::string status, log;  // log "": the status says it all
  Files after;
  std::vector<std::string> update_dir = {};  // empty: a clean update folder
};

TEST_F(UpdaterE2E, PatchActions) {
  const std::string good = Patch(kOld, kNew), failed6 = "failed: 6\n", failed8 = "failed: 8\n";
  const std::string before_first = "PREPARE ADD first\nPREPARE PATCH f\n";
  const Files first = {{"first", "untouched|640"}};
  auto with = [&](Files files, const std::string& f) { files["f"] = f; return files; };
  const Case cases[] = {
      {"the patched file keeps its own mode, not the item's", {{"bin/app", kOld + "|755"}},
       "patch \"p/app\" \"bin/app\"\n", {{"p/app", good}}, "succeeded\n",
       "PREPARE PATCH bin/app\nEXECUTE PATCH bin/app\nFINISH PATCH bin/app\nsucceeded\n" + kEnd,
       {{"bin", "/"}, {"bin/app", kNew + "|755"}}},
      // Leftovers -1 .. 2 of an earlier run: 0 and 1 are replaced and deleted,
      // -1 is deleted by the disabled patch-if, 2 is never numbered in this run.
      {"patch-if both ways, and the numbering of staged patches", {{"a", kOld + "|644"}, {"b", kNew + "|644"}},
       "patch-if \"absent\" \"pa\" \"a\"\npatch \"pa\" \"a\"\npatch-if \"a\" \"pb\" \"b\"\n",
       {{"pa", good}, {"pb", Patch(kNew, kOld)}}, "succeeded\n",
       "PREPARE PATCH a\nPREPARE PATCH b\nEXECUTE PATCH a\nEXECUTE PATCH b\nFINISH PATCH a\nFINISH PATCH b\n"
       "succeeded\n" + kEnd,
       {{"a", kNew + "|644"}, {"b", kOld + "|644"}},
       {"2.patch", "update.log", "update.manifest", "update.status", "update.zar"}},
      {"a source of the right size and other bytes", with(first, std::string(kOld.size(), 'x') + "|751"),
       "add \"first\"\npatch \"p\" \"f\"\n", {{"first", "new"}, {"p", good}}, "failed: 4\n",
       before_first + "CRC check failed\nLoadSourceFile failed\nfailed: 4\n" + kEnd,
       with(first, std::string(kOld.size(), 'x') + "|751")},
      {"a longer source", with(first, kOld + "!|751"), "add \"first\"\npatch \"p\" \"f\"\n",
       {{"first", "new"}, {"p", good}}, failed8, before_first + "LoadSourceFile failed\nfailed: 8\n" + kEnd,
       with(first, kOld + "!|751")},
      {"a shorter source", with(first, kOld.substr(1) + "|751"), "add \"first\"\npatch \"p\" \"f\"\n",
       {{"first", "new"}, {"p", good}}, failed8, before_first + "LoadSourceFile failed\nfailed: 8\n" + kEnd,
       with(first, kOld.substr(1) + "|751")},
      {"no file to patch", {}, "patch \"p\" \"absent\"\n", {{"p", good}}, failed6,
       "PREPARE PATCH absent\nfailed: 6\n" + kEnd, {}},
      {"no patch item", {{"f", kOld + "|644"}}, "patch \"no-such-item\" \"f\"\n", {}, failed6, "",
       {{"f", kOld + "|644"}}},
      // Malformed patches are unit cases; here only the status of each kind.
      {"a short header", {{"f", kOld + "|644"}}, "patch \"p\" \"f\"\n", {{"p", good.substr(0, 31)}}, failed6, "",
       {{"f", kOld + "|644"}}},
      {"another magic", {{"f", kOld + "|644"}}, "patch \"p\" \"f\"\n", {{"p", "ZBDIFF11" + good.substr(8)}}, failed8,
       "", {{"f", kOld + "|644"}}},
      {"out of range when applied: rolled back", {{"f", kOld + "|700"}}, "patch \"p\" \"f\"\n", {{"p", OutOfRange()}},
       failed8, "", {{"f", kOld + "|700"}}},
      {"a later failure restores the patched file", {{"f", kOld + "|755"}}, "patch \"p\" \"f\"\nadd \"missing\"\n",
       {{"p", good}}, failed6,
       "PREPARE PATCH f\nPREPARE ADD missing\nEXECUTE PATCH f\nEXECUTE ADD missing\n### execution failed\n"
       "FINISH PATCH f\nFINISH ADD missing\nfailed: 6\n" + kEnd,
       {{"f", kOld + "|755"}}},
      {"an empty source and an empty result", {{"empty", "|644"}, {"full", "something|644"}},
       "patch \"p1\" \"empty\"\npatch \"p2\" \"full\"\n", {{"p1", Patch("", kNew)}, {"p2", Patch("something", "")}},
       "succeeded\n", "", {{"empty", kNew + "|644"}, {"full", "|644"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Install(c.before);
    for (const char* n : {"-1", "0", "1", "2"})
      if (!c.update_dir.empty()) WriteFile(update + "/" + n + ".patch", "leftover");
    MakeUpdate(c.manifest, c.items, {{"p/app", 0600}});
    RunUpdater();
    EXPECT_EQ(Status(), c.status);
    if (!c.log.empty()) {
      EXPECT_EQ(Log(), c.log);
    }
    EXPECT_EQ(Snapshot(), c.after);
    EXPECT_EQ(UpdateDir(), c.update_dir.empty() ? kCleanUpdateDir : c.update_dir) << "staged patches are deleted";
  }
}

}  // namespace
