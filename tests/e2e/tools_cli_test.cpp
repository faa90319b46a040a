// The producer tools with the real programs: the command line and every refusal a run meets, outputs that change only
// when whole, zar's listing, and make-update's --verify with stand-in updaters.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <set>

#include "common/zar_writer.h"
#include "patch/binary_patch.h"
#include "test_support.h"
#include "zbdiff/zbdiff.h"

using namespace testing_support;

namespace {

RunResult Tool(const std::string& tool, std::vector<std::string> args, const std::string& cwd = "") {
  args.insert(args.begin(), BinDir() + "/" + tool);
  return RunProgram(args, RunOptions{cwd, {}, 60});
}

// One table of every refusal made on the command line or on what it names;
// the folder must then hold no output and no temporary file.
TEST(ToolsCliTest, EveryRefusalNamesItsCauseAndWritesNothing) {
  ScratchDir dir;
  const std::string old = RandomBytes(3000, 1), patch = zbdiff::MakePatch(old, RandomBytes(3000, 2));
  for (auto [name, content] : {std::pair{"-old", old}, {"-new", RandomBytes(3000, 2)}, {"p", patch},
                               {"longer", old + "x"}, {"d/huge", ""}, {"in/f", "x"}, {"w/f", "x"}, {"w1/f", "x"}})
    WriteFile(dir / name, content);
  for (const char* empty : {"w/empty", "w/there", "w1/there"}) mkdir((dir / empty).c_str(), 0755);
  ASSERT_EQ(truncate((dir / "d/huge").c_str(), off_t(1) << 31), 0);  // sparse
  symlink("f", (dir / "in/ln").c_str());
  // make-update's refusals in one pair of trees, beside files at each limit that must be accepted.
  std::string deep;  // directories of 1003 bytes: a file below at 1012 fits, at 1016 not
  for (int i = 0; i < 4; ++i) deep.append(i ? "/" : "").append(250, char('a' + i));
  const std::string n244(244, '~'), n245(245, 'n');
  for (const std::string tree : {"ro/", "rn/"}) {
    for (const std::string& name : {n244, std::string("sub/update.manifest"), deep + "/8-bytes", std::string("big")})
      WriteFile(dir / (tree + name), "");
    ASSERT_EQ(truncate((dir / (tree + "big")).c_str(), (off_t(1) << 31) - 1), 0);  // sparse: planning reads no file
  }
  for (const char* name : {"ro/d/a\nb", "ro/x.zel-part", "ro/dir/inner", "rn/a\"b", "rn/a\rb", "rn/d/x.zel-backup",
                                  "rn/update.manifest", "rn/dir", "rn/huge"})
    WriteFile(dir / name, "");
  WriteFile(dir / ("rn/" + n245), "");
  WriteFile(dir / ("rn/" + deep + "/twelve-bytes"), "");
  ASSERT_EQ(truncate((dir / "rn/huge").c_str(), off_t(1) << 31), 0);
  ASSERT_EQ(symlink("t", (dir / "rn/ln").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "rn/fifo").c_str(), 0644), 0);
  const std::string special = "; only regular files and directories can be carried";
  const std::string backup = ", which the updater reserves for its backups";
  const std::string newline = ": its name holds a line break, which would end a manifest line";
  std::string refusals = "cannot build this update:";
  for (const std::string& line : {
           "ro/d/a\\nb" + newline,
           "ro/x.zel-part: its name ends in \".zel-part\"" + backup,
           "rn/a\\rb" + newline,
           std::string("rn/a\"b: its name holds a double quote, which the manifest cannot quote"),
           "rn/" + deep + "/twelve-bytes: its path is 1016 bytes; the updater handles at most 1012",
           "rn/d/x.zel-backup: its name ends in \".zel-backup\"" + backup,
           "rn/fifo: is a named pipe" + special,
           "rn/ln: is a symbolic link" + special,
           "rn/" + n245 + ": its name is 245 bytes; with \".zel-backup\" added for its backup it would pass the file "
           "system's limit of 255: at most 244",
           std::string("rn/dir: a directory in OLD becomes a file in NEW; the updater removes no directories, so this "
                       "cannot be carried"),
           std::string("rn/huge: file of 2 GiB or more (2147483648 bytes); the archive's sizes are 32-bit"),
           std::string("rn/update.manifest: a file of this name at the root would collide with the archive's own "
                       "manifest item")})
    refusals += "\n  " + line;
  // err: all of stderr less the tool's name in front, the line end and, for usage errors (exit 2), the hint
  struct Row { std::string tool; std::vector<std::string> args; int exit; std::string err; };
  std::vector<Row> rows = {
      {"zar", {"-t"}, 2, "option '-t' needs a value"},
      {"zar", {"-c", "x.zar"}, 2, "-c needs at least one PATH"},
      {"zar", {"-t", "a", "-x", "b"}, 2, "give one of -c, -t and -x, once"},
      {"zar", {"-t", "d"}, 1, "d: cannot read: Is a directory"},
      {"zar", {"-t", "p"}, 1, "p: not an update archive (bad magic, or an index that does not fit the file)"},
      {"zar", {"-c", "x.zar", "in"}, 1, "in/ln: cannot archive a symbolic link"},
      {"zbdiff", {"--", "-old", "-new"}, 2, "OLD, NEW and PATCH are needed"},
      {"zbdiff", {"--", "-old", "-new", "-patch"}, 0, ""},
      {"zbdiff", {"--", "nope", "-new", "p"}, 1, "nope: cannot open: No such file or directory"},
      {"zbdiff", {"--", "-old", "d/huge", "o"}, 1,
       "d/huge: file of 2 GiB or more (2147483648 bytes); the formats' sizes are 32-bit"},
      {"zbpatch", {"longer", "p", "o"}, 1, "longer: is 3001 bytes; the patch is for a file of 3000 bytes"},
      {"make-update", {"--to", "d", "-j", "0"}, 2, "--jobs needs a whole number from 1 to 1024, not '0'"},
      {"make-update", {"--to", "d", "--output", "o", "--verify=yes"}, 2, "option '--verify' takes no value"},
      {"make-update", {"--to", "d"}, 2, "--output UPDATE_DIR is required"},
      {"make-update", {"--to", "missing", "--output", "o"}, 1, "missing: cannot stat: No such file or directory"},
      {"make-update", {"--from", "d/huge", "--to", "in", "--output", "o"}, 1, "d/huge: OLD is not a directory"},
      {"make-update", {"--from", "ro", "--to", "rn", "--output", "o"}, 1, refusals},
      {"make-update", {"--from", "w1", "--to", "w", "--output", "wo"}, 0, "warning: w/empty: empty directory, not carried "
       "(the updater makes directories only as parents of files)"},
  };
  // Archives whose last item must be refused before zar -x writes anything.
  const std::pair<std::vector<std::string>, std::string> unsafe[] = {
      {{dir / "victim"}, "absolute name"}, {{"a/../../up"}, "'..' component, which leads out of the target folder"},
      {{"a//b"}, "empty name or component ('//' or a trailing '/')"}, {{"a/."}, "names a folder, not a file"},
      {{"dup", "./dup"}, "a second item for the same path"}};
  for (const auto& [names, why] : unsafe) {
    const std::string archive = std::to_string(rows.size()) + ".zar";
    zar::Writer w;
    w.AddData("ok", 0644, "ok");
    for (const std::string& name : names) w.AddData(name, 0644, "evil");
    w.WriteFile(dir / archive);
    rows.push_back({"zar", {"-x", archive, "-C", "out/sub"}, 1, archive + ": item '" + names.back() + "': " + why});
  }
  for (const char* tool : {"zar", "zbdiff", "zbpatch", "make-update"}) {
    rows.push_back({tool, {"--bogus"}, 2, "unknown option '--bogus'"});
    const RunResult help = Tool(tool, {"--help"});
    EXPECT_EQ(help.exit_code, 0) << tool;
    EXPECT_EQ(help.out.rfind(std::string("Usage: ") + tool + " ", 0), 0u) << help.out;
  }
  std::set<std::string> expected = {"-patch", "wo", "wo/update.zar"};  // what the rows that succeed write
  for (const std::string& path : ListTree(dir.path())) expected.insert(path);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.tool + " " + r.args[0] + " " + r.args[1 % r.args.size()]);
    const RunResult res = Tool(r.tool, r.args, dir.path());
    EXPECT_EQ(res.exit_code, r.exit) << res.err;
    const std::string hint = r.exit == 2 ? "\nTry '" + r.tool + " --help' for more information." : "";
    EXPECT_EQ(res.err, r.err.empty() ? "" : r.tool + ": " + r.err + hint + "\n");
  }
  const std::vector<std::string> after = ListTree(dir.path());
  EXPECT_EQ(std::set<std::string>(after.begin(), after.end()), expected) << "a failed run left an output or a temporary file";
}

// Each tool's output changes only when whole: a run that cannot write it (a file
// size limit) or is stopped at the temporary file's last step leaves the folder
// as it was, and no run touches a file named like an old fixed temporary name.
TEST(ToolsCliTest, OutputsAreReplacedOnlyWhenWhole) {
  umask(027);
  // The stop signals as a terminal's job has them, whatever started the tests
  // (a signal ignored at start stays ignored in the tools).
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
  ScratchDir dir;
  const std::string a = RandomBytes(20000, 3), b = std::string(a).replace(5000, 10, "edited....");
  WriteFile(dir / "a", a, 0755);
  for (auto [name, content] : {std::pair{"b", b}, {"p", zbdiff::MakePatch(a, b)}, {"v2/f", a}})
    WriteFile(dir / name, content);
  // content "" and mode 0 are not compared; a mode is the item's or OLD's less the umask.
  const struct {
    std::string tool;
    std::vector<std::string> args;
    std::string output, content;
    int stop;
    mode_t mode;
  } rows[] = {
      {"zar", {"-c", "a.zar", "a"}, "a.zar", "", SIGINT, 0},
      {"zar", {"-x", "a.zar", "-C", "x"}, "x/a", a, SIGTERM, 0750},
      {"zbdiff", {"a", "b", "p2"}, "p2", zbdiff::MakePatch(a, b), SIGHUP, 0},
      {"zbpatch", {"a", "p", "b2"}, "b2", b, SIGINT, 0750},
      {"make-update", {"--to", "v2", "--output", "u"}, "u/update.zar", "", SIGTERM, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.tool);
    auto run = [&](std::vector<std::string> argv) {
      argv.push_back(BinDir() + "/" + r.tool);
      argv.insert(argv.end(), r.args.begin(), r.args.end());
      return RunProgram(argv, RunOptions{dir.path(), {}, 60});
    };
    const std::string out = dir / r.output;
    for (const std::string& name : {out, out + ".tmp", out + ".zbpatch-tmp"}) WriteFile(name, "the user's");
    const std::vector<std::string> before = ListTree(dir.path());
    const RunResult failed = run({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 1; exec \"$@\"", "sh"});
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_NE(failed.err.find(r.output + ": cannot write: File too large"), std::string::npos) << failed.err;
    EXPECT_EQ(ListTree(dir.path()), before) << "a temporary file is left";
    const RunResult s = run({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fchmod", "-e",
                             "inject=fchmod:signal=" + std::to_string(r.stop)});
    EXPECT_TRUE(s.signal == r.stop || s.exit_code == 128 + r.stop) << s.exit_code << " " << s.signal << s.err;
    EXPECT_EQ(ListTree(dir.path()), before) << "a temporary file is left";
    EXPECT_EQ(ReadFile(out), "the user's");
    const RunResult ok = run({});
    EXPECT_EQ(ok.exit_code, 0) << ok.err;
    EXPECT_TRUE(r.content.empty() ? ReadFile(out).size() > 1000 : ReadFile(out) == r.content);
    EXPECT_EQ(r.mode ? ModeOf(out) : 0u, r.mode);
    EXPECT_EQ(ReadFile(out + ".tmp") + ReadFile(out + ".zbpatch-tmp"), "the user'sthe user's");
  }
}

TEST(ToolsCliTest, ZarListsBothSizesWithEscapedNamesAndTheSignature) {
  ScratchDir dir;
  const std::string files[][3] = {{"back\\slash", "b", "back\\\\slash"}, {"e\x1b[31m", std::string(3000, 'e'), "e\\x1b[31m"},
                                  {"plain", "hello", "plain"}, {"tab\there", "", "tab\\there"}};
  std::string expected;
  for (const auto& [name, content, shown] : files) {
    WriteFile(dir / ("src/" + name), content, name == "plain" ? 0750 : 0644);
    char line[128];
    snprintf(line, sizeof(line), "%04o %10zu %10zu %s\n", name == "plain" ? 0750 : 0644, zar::Compress(content).size(),
             content.size(), shown.c_str());
    expected += line;
  }
  ASSERT_EQ(Tool("zar", {"-c", dir / "l.zar", "-C", dir / "src", "."}).exit_code, 0);
  const RunResult list = Tool("zar", {"-t", dir / "l.zar"});
  EXPECT_EQ(list.exit_code, 0) << list.err;
  EXPECT_EQ(list.out, expected + "signature: none (no " + dir / "l.zar.minisig)\n");
  WriteFile(dir / "l.zar.minisig", "");
  EXPECT_EQ(Tool("zar", {"-t", dir / "l.zar"}).out, expected + "signature: " + dir / "l.zar.minisig is present\n");
}

// --verify runs the updater beside make-update on a scratch copy of OLD: here
// stand-ins that change nothing or never end (then a stop signal must stop
// them and remove the scratch copy).
TEST(ToolsCliTest, VerifyCatchesAnUpdaterThatDoesNotApplyAndStopsIt) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
  ScratchDir dir;
  WriteFile(dir / "fake/make-update", ReadFile(BinDir() + "/make-update"), 0755);
  WriteFile(dir / "fake/updater", "#!/bin/sh\necho succeeded > \"$1/update.status\"\n", 0755);
  for (const auto& [path, content] : {std::pair{"v1/f", "1"}, {"v1/gone", "x"}, {"v2/f", "2"}, {"v2/new", "n"}})
    WriteFile(dir / path, content, path == std::string("v2/f") ? 0755 : 0644);
  mkdir((dir / "tmp").c_str(), 0755);  // failed verifications keep their scratch copy there
  RunResult r = RunProgram({"fake/make-update", "--from", "v1", "--to", "v2", "--output", "u", "--verify", "-q"},
                           RunOptions{dir.path(), {"TMPDIR=" + dir / "tmp"}, 60});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  for (const char* problem : {"/fake/updater failed; nothing was written", "\"f\" differs from NEW's",
                              "\"f\" has mode 0644, NEW's is 0755", "\"new\" is missing", "\"gone\" is left over"})
    EXPECT_NE(r.err.find(problem), std::string::npos) << problem << " in: " << r.err;
  EXPECT_FALSE(Exists(dir / "u"));

  // An updater that never ends, and make-update stopped while it waits for it.
  WriteFile(dir / "fake/updater", "#!/bin/sh\necho $$ > \"$TMPDIR/../pid\"\nkill -INT $PPID\nexec sleep 600\n", 0755);
  mkdir((dir / "stop").c_str(), 0755);
  r = RunProgram({"fake/make-update", "--from", "v1", "--to", "v2", "--output", "u", "--verify"},
                 RunOptions{dir.path(), {"TMPDIR=" + dir / "stop"}, 30});
  EXPECT_EQ(r.signal, SIGINT);
  const int updaterPid = atoi(ReadFile(dir / "pid").c_str());
  EXPECT_TRUE(updaterPid > 0 && kill(updaterPid, 0) != 0) << "the updater still runs";
  if (updaterPid > 0) kill(updaterPid, SIGKILL);
  EXPECT_EQ(ListTree(dir / "stop"), std::vector<std::string>{}) << "the scratch copy of OLD is left";
  EXPECT_FALSE(Exists(dir / "u"));
}

}  // namespace
