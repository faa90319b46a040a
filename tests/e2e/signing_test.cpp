// Signed updates end to end: a copy of the updater with the publisher's key
// beside it, archives signed by the real minisign command and by make-update,
// every way a signature can fail, and an archive rewritten during the run.
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
    EXPECT_EQ(Installed("app"), "new");
  }
  WriteFile(dir / "v1/app", "one");
  WriteFile(dir / "v2/app", "two");
  auto make_update = [&](const std::string& out, const std::string& pub) {
    return RunProgram({Program("make-update"), "--from", dir / "v1", "--to", dir / "v2", "--output", dir / out, "--sign",
                       dir / "key.key", "--verify", "--public-key", dir / pub});
  };
  RunResult made = make_update("update-1-2", "key.pub");
  ASSERT_EQ(made.exit_code, 0) << made.err;
  RunResult checked = Minisign({"-Vm", dir / "update-1-2/update.zar", "-p", dir / "key.pub"});
  EXPECT_EQ(checked.exit_code, 0) << checked.err;
  const std::string size = std::to_string(ReadFile(dir / "update-1-2/update.zar").size());
  EXPECT_NE(checked.out.find("update:update-1-2\tsize:" + size), std::string::npos) << checked.out;
  // --verify runs the updater's own check: another key is refused, and nothing is written.
  made = make_update("refused", "other.pub");
  EXPECT_EQ(made.exit_code, 1);
  EXPECT_NE(made.err.find("other key id"), std::string::npos) << made.err;
  EXPECT_FALSE(Exists(dir / "refused/update.zar"));
}

TEST_F(SigningE2E, RefusesEveryBadSignatureBeforeAnythingChanges) {
  const std::string sig = update + "/update.zar.minisig", key = bin + "/updater.pub", zar = update + "/update.zar";
  auto flip = [](const std::string& path, size_t at) {
    std::string bytes = ReadFile(path);
    bytes[at] ^= 1;
    WriteFile(path, bytes);
  };
  const struct {
    const char* what;
    std::function<void()> spoil;
    std::string reason;
  } refusals[] = {  // malformed files are unit cases; here what only a whole run shows
      {"no signature file", [&] { fs::remove(sig); }, "no signature file"},
      {"other key", [&] { Ship("other"); }, "other key id"},
      // The index's last byte: the signature is checked before the index is read.
      {"bit in the archive", [&] { flip(zar, ReadFile(zar).size() - 1); }, "bad signature"},
      {"bit in the signature", [&] { FlipBase64Bit(sig, 50); }, "bad signature"},
      {"bit in the trusted comment", [&] { flip(sig, ReadFile(sig).find("\ntrusted comment: ") + 18); }, "bad signature"},
      {"bit in the public key", [&] { FlipBase64Bit(key, 30); }, "bad signature"},
      {"key is a dangling link", [&] { fs::remove(key), fs::create_symlink(dir / "gone", key); }, "unreadable key"},
      {"signature is a directory", [&] { fs::remove(sig), fs::create_directory(sig); }, "malformed signature"},
      {"signature is a FIFO", [&] { fs::remove(sig), mkfifo(sig.c_str(), 0644); }, "malformed signature"},
      {"signature links to a huge sparse file", [&] {
         fs::rename(sig, dir / "huge"), fs::resize_file(dir / "huge", uintmax_t(1) << 40);
         fs::create_symlink(dir / "huge", sig);
       }, "malformed signature"},
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

// The backup of "app" is renamed into place two seconds late; meanwhile (the
// journal is there: the run has begun to execute) the archive gets a new
// modification time. The run fails and rolls back.
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
