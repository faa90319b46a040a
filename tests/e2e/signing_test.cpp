// Signed updates end to end: a copy of the updater with the publisher's key beside it, archives signed by the real
// minisign command (both forms) and by make-update, the refusals only a whole run shows, and an archive rewritten
// during the run.
#include "updater_e2e.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

RunResult Minisign(std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/minisign");
  return RunProgram(args);
}

class SigningE2E : public UpdaterE2E {
 protected:
  void SetUp() override {
    if (access("/usr/bin/minisign", X_OK) != 0) GTEST_SKIP() << "minisign is not installed";
    UpdaterE2E::SetUp();
    for (const char* name : {"key", "other"})
      ASSERT_EQ(Minisign({"-G", "-W", "-p", dir / name + ".pub", "-s", dir / name + ".key"}).exit_code, 0);
    // Never beside build/bin's updater: every other test runs that one.
    WriteFile(bin + "/updater", ReadFile(Program("updater")), 0755);
  }
  // An update of "app" from "old" to "new", signed by |key| with minisign
  // (-q: prehashed, the default; -l: legacy), and "key" beside the copy.
  void Ship(const std::string& key = "key", const char* form = "-q") {
    Reset();
    Install("app", "old");
    MakeUpdate("add \"app\"\n", {{"app", "new"}});
    ASSERT_EQ(Minisign({"-S", form, "-s", dir / key + ".key", "-m", update + "/update.zar"}).exit_code, 0);
    fs::remove_all(bin + "/updater.pub");
    fs::copy_file(dir / "key.pub", bin + "/updater.pub");
  }
  RunResult RunCopy() { return RunProgram({bin + "/updater", update, "0"}, {install, {"DISPLAY="}, 60}); }
  const std::string bin = dir / "bin";
};

TEST_F(SigningE2E, MinisignSignaturesApplyAndMakeUpdateSignaturesVerifyWithMinisign) {
  for (const char* form : {"-q", "-l"}) {
    Ship("key", form);
    RunCopy();
    EXPECT_EQ(Status(), "succeeded\n") << form << "\n" << Log();
    EXPECT_EQ(ReadFile(install + "/app"), "new");
  }
  WriteFile(dir / "v1/app", "one");
  WriteFile(dir / "v2/app", "two");
  RunResult made = RunProgram({Program("make-update"), "--from", dir / "v1", "--to", dir / "v2", "--output",
                               dir / "update-1-2", "--sign", dir / "key.key", "--verify", "--public-key", dir / "key.pub"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  RunResult checked = Minisign({"-Vm", dir / "update-1-2/update.zar", "-p", dir / "key.pub"});
  EXPECT_EQ(checked.exit_code, 0) << checked.err;
  const std::string size = std::to_string(ReadFile(dir / "update-1-2/update.zar").size());
  EXPECT_NE(checked.out.find("update:update-1-2\tsize:" + size), std::string::npos) << checked.out;
}

// Another character at |at|: 'A', or 'B' where there was one (both base64 digits).
void ChangeChar(const std::string& path, size_t at) {
  std::string text = ReadFile(path);
  text[at] = text[at] == 'A' ? 'B' : 'A';
  WriteFile(path, text);
}

TEST_F(SigningE2E, RefusesEveryBadSignatureBeforeAnythingChanges) {
  const std::string sig = update + "/update.zar.minisig", key = bin + "/updater.pub", zar = update + "/update.zar";
  const auto second_line = [](const std::string& path) { return ReadFile(path).find('\n') + 20; };
  const struct {
    const char* what;
    std::function<void()> spoil;
    std::string reason;
  } refusals[] = {
      {"no signature file", [&] { fs::remove(sig); }, "no signature file"},
      {"empty signature", [&] { WriteFile(sig, ""); }, "malformed signature"},
      {"truncated signature", [&] { WriteFile(sig, ReadFile(sig).substr(0, 150)); }, "malformed signature"},
      {"signature is a directory", [&] { fs::remove(sig), fs::create_directory(sig); }, "malformed signature"},
      {"signature links to an endless file", [&] { fs::remove(sig), fs::create_symlink("/dev/zero", sig); },
       "malformed signature"},
      {"byte changed in the archive", [&] { ChangeChar(zar, 100); }, "bad signature"},
      {"signature changed", [&] { ChangeChar(sig, second_line(sig)); }, "bad signature"},
      {"public key changed", [&] { ChangeChar(key, second_line(key)); }, "bad signature"},
      {"key is a directory", [&] { fs::remove(key), fs::create_directory(key); }, "malformed key"},
      {"other key", [&] { Ship("other"); }, "other key id"},
      {"byte changed in the trusted comment",
       [&] { WriteFile(sig, ReadFile(sig).replace(ReadFile(sig).find("\ntrusted") + 18, 1, 1, 'X')); },
       "bad signature"},
      // A key that may be there is never taken for none.
      {"key is a dangling link", [&] { fs::remove(key), fs::create_symlink(dir / "gone", key); }, "unreadable key"},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.what);
    Ship();
    r.spoil();
    RunCopy();
    EXPECT_EQ(Log(), "signature check failed: " + r.reason + "\nfailed: 9\ncalling QuitProgressUI\n");
    EXPECT_EQ(Status(), "failed: 9\n");
    EXPECT_EQ(Snapshot(), (Files{{"app", "old|644"}}));
    EXPECT_FALSE(Exists(update + "/update.manifest")) << "nothing is extracted";
  }
}

// The backup of "app" is renamed into place two seconds late; meanwhile (the journal is there: the run has begun to
// execute) the archive gets a new modification time. The run fails and rolls back.
TEST_F(SigningE2E, ArchiveRewrittenDuringTheRunFailsAndRollsBack) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  Ship();
  RunProgram({"/bin/sh", "-c",
              "/usr/bin/strace -f -qq -o /dev/null -P app -e inject=rename:delay_enter=2000000 \"$0\" \"$1\" 0 &"
              " i=0; while [ ! -e \"$1/update.journal\" ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done;"
              " touch \"$1/update.zar\"; wait", bin + "/updater", update}, {install, {"DISPLAY="}, 60});
  EXPECT_EQ(Status(), "failed: 8\n") << Log();
  EXPECT_EQ(Snapshot(), (Files{{"app", "old|644"}}));
}

}  // namespace
