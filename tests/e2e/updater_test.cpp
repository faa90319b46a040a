// The updater program end to end: command line, status file, log, the
// remove / add / add-if actions and rollback, the parent wait and the callback.
#include <spawn.h>

#include "updater_e2e.h"

extern char** environ;

using namespace testing_support;

namespace {

const std::string kEnd = "calling QuitProgressUI\n";
const std::string kSkip = "file cannot be removed because it does not exist; skipping\n";

// The log of a run of |actions| ("ADD x") that got to Execute.
std::string Ran(const std::vector<std::string>& actions, const std::string& status, bool execute_failed = false) {
  std::string out;
  for (const char* phase : {"PREPARE ", "EXECUTE ", "FINISH "}) {
    for (const std::string& a : actions) out += phase + a + "\n";
    if (execute_failed && phase[0] == 'E') out += "### execution failed\n";
  }
  return out + status + kEnd;
}

// Every shape of an add / remove / add-if run, applied or rolled back: the
// whole log, and every file's bytes and mode afterwards.
struct Case {
  const char* name;
  Files before;
  std::string manifest;
  Files items;
  std::string status, log;
  Files after;
  const char* archive = nullptr;  // raw update.zar bytes instead; "" for none
};

TEST_F(UpdaterE2E, ActionsApplyOrRollBackWhole) {
  // 1013 bytes fit a name buffer, but not with ".zel-backup" after them.
  std::string lng;
  Files lng_tree;
  while (lng.size() < 800) lng_tree[lng += std::string(199, 'd')] = "/", lng += "/";
  lng += std::string(1013 - lng.size(), 'n');
  lng_tree[lng] = "old|644";
  const std::string ok = "succeeded\n", f6 = "failed: 6\n", f7 = "failed: 7\n";
  const Case cases[] = {
      {"no archive", {}, "", {}, f6, f6 + kEnd, {}, ""},
      {"a malformed archive", {}, "", {}, f6, f6 + kEnd, {}, "ZAR1\0\0\0\x08garbage"},
      {"adds and removes; the item's mode", {{"old.txt", "old|644"}, {"keep.txt", "keep|644"}, {"bin/tool", "old|755"}},
       "remove \"old.txt\"\nadd \"bin/tool\"\nadd \"new/deep/file.txt\"\n", {{"bin/tool", "new tool"}, {"new/deep/file.txt", "fresh"}},
       ok, Ran({"REMOVE old.txt", "ADD bin/tool", "ADD new/deep/file.txt"}, ok),
       {{"bin", "/"}, {"bin/tool", "new tool|750"}, {"keep.txt", "keep|644"}, {"new", "/"}, {"new/deep", "/"},
        {"new/deep/file.txt", "fresh|644"}}},
      {"a failure rolls back with the old modes; new files stay", {{"app", "old app|755"}, {"gone", "gone|600"}},
       "add \"app\"\nremove \"gone\"\nadd \"added\"\nadd \"missing-item\"\n", {{"app", "new app"}, {"added", "new"}}, f6,
       Ran({"ADD app", "REMOVE gone", "ADD added", "ADD missing-item"}, f6, true),
       {{"added", "new|644"}, {"app", "old app|755"}, {"gone", "gone|600"}}},
      {"the failing add's own target is restored", {{"f", "precious|640"}}, "add \"f\"\n", {}, f6,
       Ran({"ADD f"}, f6, true), {{"f", "precious|640"}}},
      {"line ends, blanks, comments, tabs, trailing words, bare names", {{"cond", "|644"}},
       "# comment\r\nadd \"a b\"\r\n\r\n\radd\t\"t\"\rremove \"nothing\" trailing words\n\nadd bare\nadd-if \"cond\" \"c\"",
       {{"a b", "1"}, {"t", "2"}, {"bare", "3"}, {"c", "4"}}, ok,
       "PREPARE ADD a b\nPREPARE ADD t\nPREPARE REMOVE nothing\n" + kSkip + "PREPARE ADD bare\nPREPARE ADD c\n"
       "EXECUTE ADD a b\nEXECUTE ADD t\nEXECUTE REMOVE nothing\nEXECUTE ADD bare\nEXECUTE ADD c\nFINISH ADD a b\n"
       "FINISH ADD t\nFINISH REMOVE nothing\nFINISH ADD bare\nFINISH ADD c\n" + ok + kEnd,
       {{"a b", "1|644"}, {"bare", "3|644"}, {"c", "4|644"}, {"cond", "|644"}, {"t", "2|644"}}},
      {"two spaces make the first argument a blank", {}, "add  \"x\"\n", {{" ", "blank"}, {"x", "x"}}, ok,
       Ran({"ADD  "}, ok), {{" ", "blank|644"}}},
      {"an empty manifest", {}, "# nothing to do\n\n", {}, ok, ok + kEnd, {}},
      // Every refused line is a unit case; a refused manifest (keywords are lower case) changes nothing.
      {"a refused line", {{"f", "old|644"}}, "add \"f\"\nADD \"f\"\n", {{"f", "new"}}, "failed: 5\n", "failed: 5\n" + kEnd,
       {{"f", "old|644"}}},
      {"a file removed twice, then rolled back", {{"f", "original|700"}}, "remove \"f\"\nremove \"./f\"\nadd \"missing\"\n",
       {}, f6, "PREPARE REMOVE f\nPREPARE REMOVE ./f\nPREPARE ADD missing\nEXECUTE REMOVE f\n"
       "EXECUTE REMOVE ./f\n" + kSkip + "EXECUTE ADD missing\n### execution failed\nFINISH REMOVE f\nFINISH REMOVE ./f\n"
       "FINISH ADD missing\n" + f6 + kEnd, {{"f", "original|700"}}},
      {"a file changed twice gets its first content back", {{"f", "before|644"}}, "add \"f\"\nadd \"./f\"\nadd \"missing\"\n",
       {{"f", "first"}, {"./f", "second"}}, f6, Ran({"ADD f", "ADD ./f", "ADD missing"}, f6, true), {{"f", "before|644"}}},
      {"a file changed twice, applied: the last wins", {{"f", "before|644"}}, "add \"f\"\nadd \"./f\"\n",
       {{"f", "first"}, {"./f", "second"}}, ok, Ran({"ADD f", "ADD ./f"}, ok), {{"f", "second|644"}}},
      {"an earlier run's backup is neither restored nor deleted", {{"a", "current|644"}, {"a.zel-backup", "stale|644"}},
       "add \"b\"\nadd \"missing\"\n", {{"b", "b"}}, f6, Ran({"ADD b", "ADD missing"}, f6, true),
       {{"a", "current|644"}, {"a.zel-backup", "stale|644"}, {"b", "b|644"}}},
      {"add-if both ways", {{"present", "|644"}}, "add-if \"present\" \"yes\"\nadd-if \"absent\" \"no\"\n",
       {{"yes", "y"}, {"no", "n"}}, ok, Ran({"ADD yes"}, ok), {{"present", "|644"}, {"yes", "y|644"}}},
      {"add-if is decided before anything executes", {}, "add \"cond\"\nadd-if \"cond\" \"later\"\n",
       {{"cond", ""}, {"later", "l"}}, ok, Ran({"ADD cond"}, ok), {{"cond", "|644"}}},
      {"a dangling link at an add's target is not followed", {{"link", "->" + dir / "outside"}}, "add \"link\"\n",
       {{"link", "x"}}, f6, "PREPARE ADD link\n" + f6 + kEnd, {{"link", "->" + dir / "outside"}}},
      {"a file in the way of a directory", {{"blocker", "file|644"}}, "add \"ok\"\nadd \"blocker/inner\"\n",
       {{"ok", "ok"}, {"blocker/inner", "x"}}, f7, Ran({"ADD ok", "ADD blocker/inner"}, f7, true),
       {{"blocker", "file|644"}, {"ok", "ok|644"}}},
      {"a name too long to back up", lng_tree, "add \"" + lng + "\"\n", {{lng, "new"}}, f7, Ran({"ADD " + lng}, f7, true),
       lng_tree},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    for (const auto& [rel, value] : c.before) {
      if (value != "/") Install(Files{{rel, value}});
    }
    // A longer status of an earlier run: the new one replaces it whole.
    WriteFile(update + "/update.status", "failed: 123456789 and a lot more text\n");
    if (!c.archive) {
      MakeUpdate(c.manifest, c.items, {{"bin/tool", 0750}});
    } else if (*c.archive) {
      WriteFile(update + "/update.zar", std::string(c.archive, 15));
    }
    EXPECT_EQ(RunUpdater().exit_code, 0);
    EXPECT_EQ(Status(), c.status);
    EXPECT_EQ(ModeOf(update + "/update.status"), 0644u);
    EXPECT_EQ(Log(), c.log);
    EXPECT_EQ(Snapshot(), c.after);
    EXPECT_FALSE(Exists(dir / "outside"));
  }
}

TEST_F(UpdaterE2E, BadCommandLinesAndUpdateFolders) {
  for (std::vector<std::string> argv : {std::vector<std::string>{Program("updater")},
                                        {Program("updater"), update},
                                        {Program("updater"), "--help"}}) {
    RunResult r = RunProgram(argv, RunOptions{install, {}, 30});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Usage: updater <dir-path> <parent-pid> [working-dir callback args...]\n");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_TRUE(ListTree(update).empty());
  // An update folder whose path is longer than a name buffer holds is never used cut.
  std::string deep = update;
  while (deep.size() < 1100) deep += "/" + std::string(100, 'd');
  ASSERT_EQ(system(("mkdir -p " + deep).c_str()), 0);
  const std::vector<std::string> before = ListTree(dir.path());
  EXPECT_EQ(RunProgram({Program("updater"), deep, "0"}, RunOptions{install, {"DISPLAY="}, 30}).exit_code, 0);
  EXPECT_EQ(ListTree(dir.path()), before) << "no status file, log or other file was written";
}

TEST_F(UpdaterE2E, WaitsForTheApplicationToEndAndOnlyForIt) {
  // The application is the updater's parent in real use; a sibling stands in.
  pid_t app;
  const char* argv[] = {"/bin/sleep", "1", nullptr};
  ASSERT_EQ(posix_spawn(&app, "/bin/sleep", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  MakeUpdate("\n");
  RunResult r = RunProgram({Program("updater"), update, std::to_string(app)}, RunOptions{install, {"DISPLAY="}, 30});
  EXPECT_EQ(r.exit_code, 0);
  int status;
  EXPECT_EQ(waitpid(app, &status, WNOHANG), app) << "the updater returned while the application still ran";
  EXPECT_EQ(Status(), "succeeded\n");
  for (const char* pid : {"0", "-1", "abc", "999999999", "99999999999999"}) {
    RunResult r = RunProgram({Program("updater"), update, pid}, RunOptions{install, {"DISPLAY="}, 20});
    EXPECT_EQ(r.exit_code, 0) << pid;
    EXPECT_EQ(Status(), "succeeded\n") << pid;
  }
}

// The callback: launched with its arguments unchanged, after a failed update
// too, from the current folder when the working folder cannot be entered, and
// not at all without one. It is not waited for.
TEST_F(UpdaterE2E, CallbackLaunch) {
  const std::string work = dir / "work", script = dir / "callback.sh", out = dir / "callback.out";
  mkdir(work.c_str(), 0755);
  WriteFile(script,
            "#!/bin/sh\n{ pwd; echo \"NO_EM_RESTART=${NO_EM_RESTART-unset}\"; for a in \"$@\"; do echo \"[$a]\"; done; }"
            " > " + out + ".tmp\nmv " + out + ".tmp " + out + "\n", 0755);
  const struct {
    std::string manifest;
    std::vector<std::string> args;
    std::string status, seen;
  } cases[] = {
      {"\n", {work, script, "a b", "it's \"quoted\"", "$HOME;*", "--display", "x", ""}, "succeeded\n",
       work + "\nNO_EM_RESTART=\n[a b]\n[it's \"quoted\"]\n[$HOME;*]\n[--display]\n[x]\n[]\n"},
      {"add \"missing\"\n", {work, script}, "failed: 6\n", work + "\nNO_EM_RESTART=\n"},
      {"\n", {dir / "no-such-dir", script, "x"}, "succeeded\n", install + "\nNO_EM_RESTART=\n[x]\n"},
      {"\n", {work}, "succeeded\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.size());
    unlink(out.c_str());
    MakeUpdate(c.manifest);
    EXPECT_EQ(RunUpdater(c.args).exit_code, 0);
    EXPECT_EQ(Status(), c.status);
    if (c.seen.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ((c.seen.empty() ? Exists(out) : Eventually([&] { return Exists(out); })) ? ReadFile(out) : "", c.seen);
  }
}

}  // namespace
