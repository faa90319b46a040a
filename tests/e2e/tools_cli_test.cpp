// The producer tools' shared conventions, with the real programs: the command
// line, outputs that change only when whole, zar's listing, extraction and
// name checks, and what a stop signal leaves behind.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <thread>

#include "common/zar_writer.h"
#include "patch/binary_patch.h"
#include "test_support.h"
#include "zbdiff/zbdiff.h"

using namespace testing_support;

namespace {

std::string Bin(const std::string& tool) { return BinDir() + "/" + tool; }

RunResult Tool(const std::string& tool, std::vector<std::string> args, const std::string& cwd = "") {
  args.insert(args.begin(), Bin(tool));
  return RunProgram(args, RunOptions{cwd, {}, 60});
}

TEST(ToolsCliTest, EveryToolFollowsOneCommandLineConvention) {
  ScratchDir dir;
  const std::string old = RandomBytes(3000, 1), patch = zbdiff::MakePatch(old, RandomBytes(3000, 2));
  std::string other = old, magic = patch, triple = patch;
  other[10] ^= 1;
  magic[0] = 'X';
  zbs_put_be32((unsigned char*)triple.data() + kZBSHeaderSize, 0xFFFFFFF0u);  // the first add count
  for (auto [name, content] : {std::pair{"-old", old}, {"-new", RandomBytes(3000, 2)}, {"p", patch},
                               {"longer", old + "x"}, {"other", other}, {"short", patch.substr(0, 20)},
                               {"magic", magic}, {"triple", triple}, {"d/huge", ""}})
    WriteFile(dir / name, content);
  ASSERT_EQ(truncate((dir / "d/huge").c_str(), off_t(1) << 31), 0);  // sparse
  struct Row {
    std::string tool;
    std::vector<std::string> args;
    int exit;
    std::string err;  // contained in standard error; for exit 2 its first line
  };
  std::vector<Row> rows = {
      {"zar", {"-t"}, 2, "option '-t' needs a value"},
      {"zar", {"-c", "x.zar"}, 2, "-c needs at least one PATH"},
      {"zar", {"-t", "a", "-x", "b"}, 2, "give one of -c, -t and -x, once"},
      {"zar", {"-t", "d"}, 1, "zar: d: cannot read: Is a directory"},
      {"zbdiff", {"--", "-old", "-new"}, 2, "OLD, NEW and PATCH are needed"},
      {"zbdiff", {"--", "-old", "-new", "-patch"}, 0, ""},
      {"zbdiff", {"--", "nope", "-new", "p"}, 1, "zbdiff: nope: cannot open: No such file or directory\n"},
      {"zbdiff", {"--", "-old", "d/huge", "o"}, 1, "d/huge: file of 2 GiB or more (2147483648 bytes)"},
      {"zbpatch", {"a", "b", "c", "d"}, 2, "too many arguments"},
      {"zbpatch", {"longer", "p", "o"}, 1, "longer: is 3001 bytes; the patch is for a file of 3000 bytes"},
      {"zbpatch", {"other", "p", "o"}, 1, "other: CRC-32 is "},
      {"zbpatch", {"--", "-old", "short", "o"}, 1, "short: too short for a 32-byte patch header"},
      {"zbpatch", {"--", "-old", "magic", "o"}, 1, "magic: not a valid patch: bad magic"},
      {"zbpatch", {"--", "-old", "triple", "o"}, 1, "triple: corrupt patch: a triple reaches outside"},
      {"make-update", {"--to", "d", "-j", "0"}, 2, "--jobs needs a whole number from 1 to 1024, not '0'"},
      {"make-update", {"--to", "d", "--output", "o", "--verify=yes"}, 2, "option '--verify' takes no value"},
      {"make-update", {"--to", "d"}, 2, "--output UPDATE_DIR is required"},
  };
  for (const char* tool : {"zar", "zbdiff", "zbpatch", "make-update"}) {
    rows.push_back({tool, {"--bogus"}, 2, "unknown option '--bogus'"});
    RunResult help = Tool(tool, {"--help"}), version = Tool(tool, {"--version"});
    EXPECT_EQ(help.exit_code, 0) << tool;
    EXPECT_EQ(help.out.rfind(std::string("Usage: ") + tool + " ", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("Exit codes: 0 success, 1 failure"), std::string::npos) << help.out;
    EXPECT_EQ(version.exit_code, 0) << tool;
    EXPECT_EQ(version.out, std::string(tool) + " " UPDATER_VERSION "\n");
  }
  for (const Row& r : rows) {
    SCOPED_TRACE(r.tool + " " + r.args[0]);
    const RunResult res = Tool(r.tool, r.args, dir.path());
    EXPECT_EQ(res.exit_code, r.exit) << res.err;
    if (r.exit == 2)
      EXPECT_EQ(res.err, r.tool + ": " + r.err + "\nTry '" + r.tool + " --help' for more information.\n");
    else
      EXPECT_NE(res.err.find(r.err), std::string::npos) << res.err;
  }
  EXPECT_EQ(ListTree(dir.path()), (std::vector<std::string>{"-new", "-old", "-patch", "d", "d/huge", "longer", "magic",
                                                            "other", "p", "short", "triple"}))
      << "a failed run left an output or a temporary file";
}

// Each tool's output changes only when whole: a run that cannot write it (a
// file size limit) or is stopped while writing it (a stop signal injected at
// the temporary file's last step) leaves the folder as it was, and no run
// touches a file named like a temporary.
// The stop signals as a terminal's job has them, whatever started the tests
// (a signal ignored at start stays ignored in the tools).
void DefaultStopSignals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
}

TEST(ToolsCliTest, OutputsAreReplacedOnlyWhenWhole) {
  umask(022);
  DefaultStopSignals();
  const bool traced = access("/usr/bin/strace", X_OK) == 0;
  ScratchDir dir;
  const std::string a = RandomBytes(20000, 3);
  std::string b = a;
  b.replace(5000, 10, "edited....");
  WriteFile(dir / "a", a, 0755);
  WriteFile(dir / "b", b);
  WriteFile(dir / "p", zbdiff::MakePatch(a, b));
  WriteFile(dir / "v2/f", a);
  const struct {
    std::string tool;
    std::vector<std::string> args;
    std::string output, content;  // content "" is not compared
    int stop;
  } rows[] = {
      {"zar", {"-c", "a.zar", "a"}, "a.zar", "", SIGINT},
      {"zar", {"-x", "a.zar", "-C", "x"}, "x/a", a, SIGTERM},
      {"zbdiff", {"a", "b", "p2"}, "p2", zbdiff::MakePatch(a, b), SIGHUP},
      {"zbpatch", {"a", "p", "b2"}, "b2", b, SIGINT},
      {"make-update", {"--to", "v2", "--output", "u"}, "u/update.zar", "", SIGTERM},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.tool);
    auto run = [&](std::vector<std::string> argv) {
      argv.push_back(Bin(r.tool));
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
    if (traced) {
      const RunResult s = run({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fchmod", "-e",
                               "inject=fchmod:signal=" + std::to_string(r.stop)});
      EXPECT_TRUE(s.signal == r.stop || s.exit_code == 128 + r.stop) << s.exit_code << " " << s.signal << s.err;
      EXPECT_EQ(ListTree(dir.path()), before) << "a temporary file is left";
    }
    EXPECT_EQ(ReadFile(out), "the user's");
    const RunResult ok = run({});
    EXPECT_EQ(ok.exit_code, 0) << ok.err;
    EXPECT_TRUE(r.content.empty() ? ReadFile(out).size() > 1000 : ReadFile(out) == r.content);
    if (r.output == "x/a" || r.output == "b2") {
      EXPECT_EQ(ModeOf(out), 0755u) << "the mode of the item or OLD";
    }
    EXPECT_EQ(ReadFile(out + ".tmp") + ReadFile(out + ".zbpatch-tmp"), "the user'sthe user's");
  }
}

TEST(ToolsCliTest, ZarListsBothSizesWithEscapedNamesAndExtractsOnlyWholeItems) {
  umask(022);
  ScratchDir dir;
  const std::pair<std::string, std::string> files[] = {
      {"back\\slash", "b"}, {"e\x1b[31m", std::string(3000, 'e')}, {"plain", "hello"}, {"tab\there", ""}};
  const std::string shown[] = {"back\\\\slash", "e\\x1b[31m", "plain", "tab\\there"};
  std::string expected;
  for (size_t i = 0; i < 4; ++i) {
    WriteFile(dir / ("src/" + files[i].first), files[i].second, i == 2 ? 0750 : 0644);
    char line[128];
    snprintf(line, sizeof(line), "%04o %10zu %10zu %s\n", i == 2 ? 0750 : 0644,
             zar::Compress(files[i].second).size(), files[i].second.size(), shown[i].c_str());
    expected += line;
  }
  ASSERT_EQ(Tool("zar", {"-c", dir / "l.zar", "-C", dir / "src", "."}).exit_code, 0);
  const RunResult list = Tool("zar", {"-t", dir / "l.zar"});
  EXPECT_EQ(list.exit_code, 0) << list.err;
  EXPECT_EQ(list.out, expected + "signature: none (no " + dir / "l.zar.minisig)\n");
  ASSERT_EQ(Tool("zar", {"-x", dir / "l.zar", "-C", dir / "out"}).exit_code, 0);
  for (const auto& [name, content] : files) EXPECT_EQ(ReadFile(dir / ("out/" + name)), content) << name;
  EXPECT_EQ(ModeOf(dir / "out/plain"), 0750u);

  // Cut short in its second bzip2 block: decoding writes a block's worth
  // before it finds out.
  zar::Writer w;
  w.AddData("good", 0644, "fine");
  std::vector<char> cut = zar::Compress(RandomBytes(1200000, 4));
  cut.resize(cut.size() - 1000);
  w.AddStored({"bad", 0644, cut});
  w.WriteFile(dir / "c.zar");
  const RunResult badList = Tool("zar", {"-t", dir / "c.zar"});
  EXPECT_EQ(badList.exit_code, 1);
  EXPECT_NE(badList.out.find(std::to_string(cut.size()) + "          ? bad\n"), std::string::npos) << badList.out;
  EXPECT_EQ(badList.err, "zar: " + dir / "c.zar" + ": item 'bad': corrupt or truncated compressed data\n");
  WriteFile(dir / "c/bad", "previous");
  const RunResult badX = Tool("zar", {"-x", dir / "c.zar", "-C", dir / "c"});
  EXPECT_EQ(badX.exit_code, 1);
  EXPECT_NE(badX.err.find(dir / "c/bad: corrupt or truncated compressed data (item 'bad')"), std::string::npos);
  EXPECT_EQ(ReadFile(dir / "c/bad"), "previous");
  EXPECT_EQ(ListTree(dir / "c"), (std::vector<std::string>{"bad", "good"}));
}

TEST(ToolsCliTest, ZarRefusesUnsafeAndDuplicateNamesBothWays) {
  ScratchDir dir;
  WriteFile(dir / "in/f", "x");
  const std::string victim = dir / "victim";
  const struct {
    bool create;                     // zar -c of these PATHs in "in"; else zar -x of "ok" and these items
    std::vector<std::string> names;
    std::string refused, why;
  } rows[] = {
      {false, {victim}, victim, "absolute name"},
      {false, {"../up"}, "../up", "'..' component"},
      {false, {"a/../../up"}, "a/../../up", "'..' component"},
      {false, {"a//b"}, "a//b", "empty name or component"},
      {false, {"a/"}, "a/", "empty name or component"},
      {false, {"a/."}, "a/.", "names a folder"},
      {false, {"dup", "./dup"}, "./dup", "a second item for the same path"},
      {false, {"ok"}, "ok", "a second item for the same path"},
      {true, {dir / "in/f"}, dir / "in/f", "absolute name"},
      {true, {"../in/f"}, "../in/f", "'..' component"},
      {true, {"f", "./f"}, "./f", "a second item for the same path"},
  };
  for (const auto& c : rows) {
    SCOPED_TRACE(c.refused);
    std::vector<std::string> args = {"-c", dir / "x.zar", "-C", dir / "in"};
    args.insert(args.end(), c.names.begin(), c.names.end());
    if (!c.create) {
      zar::Writer w;
      w.AddData("ok", 0644, "ok");
      for (const std::string& name : c.names) w.AddData(name, 0644, "evil");
      w.WriteFile(dir / "x.zar");
      args = {"-x", dir / "x.zar", "-C", dir / "out/sub"};
    }
    const RunResult r = Tool("zar", args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("x.zar: item '" + c.refused + "': " + c.why), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(dir / "out") || Exists(victim) || Exists(dir / "up")) << "something was written";
    EXPECT_EQ(Exists(dir / "x.zar"), !c.create) << "a refused archive was written";
    unlink((dir / "x.zar").c_str());
  }
}

TEST(ToolsCliTest, AStopSignalDuringVerifyStopsTheUpdaterAndRemovesTheScratchCopy) {
  DefaultStopSignals();
  ScratchDir dir;
  // A make-update whose neighbour, run on the scratch copy of OLD, never ends
  // by itself: a make-update that waits for it times out.
  WriteFile(dir / "fake/make-update", ReadFile(Bin("make-update")), 0755);
  WriteFile(dir / "fake/updater", "#!/bin/sh\necho $PPID $$ > \"$TMPDIR/../pids\"\nexec sleep 600\n", 0755);
  WriteFile(dir / "v1/f", RandomBytes(5000, 7));
  WriteFile(dir / "v2/f", RandomBytes(5000, 8));
  mkdir((dir / "tmp").c_str(), 0755);
  RunResult r;
  std::thread maker([&] {
    r = RunProgram({dir / "fake/make-update", "--from", dir / "v1", "--to", dir / "v2", "--output", dir / "u", "--verify"},
                   RunOptions{"", {"TMPDIR=" + dir / "tmp"}, 30});
  });
  int makerPid = 0, updaterPid = 0;
  for (int i = 0; i < 2000 && sscanf(ReadFile(dir / "pids").c_str(), "%d %d", &makerPid, &updaterPid) != 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (makerPid > 0) kill(makerPid, SIGINT);
  maker.join();
  EXPECT_EQ(r.signal, SIGINT);
  EXPECT_TRUE(updaterPid > 0 && kill(updaterPid, 0) != 0) << "the updater still runs";
  if (updaterPid > 0) kill(updaterPid, SIGKILL);
  EXPECT_EQ(ListTree(dir / "tmp"), std::vector<std::string>{}) << "the scratch copy of OLD is left";
  EXPECT_FALSE(Exists(dir / "u"));
}

TEST(ToolsCliTest, MakeUpdateShowsVerifyProgressOnATerminalUnlessQuiet) {
  if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "no script(1) to give make-update a terminal";
  ScratchDir dir;
  WriteFile(dir / "v1/f", RandomBytes(5000, 9));
  WriteFile(dir / "v2/f", RandomBytes(5000, 10));
  for (const std::string quiet : {"", " -q"}) {
    const std::string command = Bin("make-update") + " --from v1 --to v2 --output u --verify" + quiet;
    const RunResult r = RunProgram({"/usr/bin/script", "-qec", command, "/dev/null"}, RunOptions{dir.path(), {}, 60});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    const bool shown = r.out.find("\rmake-update: verifying: copying OLD, 1 of 1 files") != std::string::npos &&
                       r.out.find("\rmake-update: verifying: comparing with NEW, 1 of 1 files") != std::string::npos;
    EXPECT_EQ(shown, quiet.empty()) << r.out;
    EXPECT_EQ(r.out.find("\rmake-update: 1 of 1 files") == std::string::npos, !quiet.empty()) << r.out;
  }
}

}  // namespace
