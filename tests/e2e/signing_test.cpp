// Signed updates end to end: a copy of the updater with the publisher's key
// beside it, archives signed by the real minisign command and by make-update,
// every way a signature can fail, and an archive rewritten during the run.
#include <filesystem>

#include "updater_e2e.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const char kMinisign[] = "/usr/bin/minisign";

class SigningE2E : public UpdaterE2E {
 protected:
  void SetUp() override {
    if (access(kMinisign, X_OK) != 0) GTEST_SKIP() << "minisign is not installed";
    UpdaterE2E::SetUp();
    for (const char* name : {"key", "other"})
      ASSERT_EQ(Minisign({"-G", "-W", "-p", dir / name + ".pub", "-s", dir / name + ".key"}).exit_code, 0);
    // Never beside build/bin's updater: every other test runs that one.
    bin = dir / "bin";
    WriteFile(bin + "/updater", ReadFile(Program("updater")), 0755);
  }

  RunResult Minisign(std::vector<std::string> args) {
    args.insert(args.begin(), kMinisign);
    return RunProgram(args);
  }

  // An update of "app" from "old" to "new", signed by |keyName| with
  // minisign, and the key "key" installed beside the copy.
  void Ship(const std::string& keyName = "key", bool legacy = false) {
    Install("app", "old");
    fs::remove_all(update);
    fs::create_directory(update);
    MakeUpdate("add \"app\"\n", {{"app", "new"}});
    const char* form = legacy ? "-l" : "-q";  // -q: the default, prehashed
    ASSERT_EQ(Minisign({"-S", form, "-s", dir / keyName + ".key", "-m", update + "/update.zar"}).exit_code, 0);
    fs::remove_all(bin + "/updater.pub");
    fs::copy_file(dir / "key.pub", bin + "/updater.pub");
  }

  RunResult RunCopy(std::vector<std::string> prefix = {}) {
    prefix.insert(prefix.end(), {bin + "/updater", update, "0"});
    return RunProgram(prefix, {install, {"DISPLAY=", "WAYLAND_DISPLAY="}, 60});
  }

  std::string bin;
};

TEST_F(SigningE2E, MinisignSignaturesApplyAndMakeUpdateSignaturesVerifyWithMinisign) {
  for (bool legacy : {false, true}) {
    Ship("key", legacy);
    RunCopy();
    EXPECT_EQ(Status(), "succeeded\n") << "legacy " << legacy << "\n" << Log();
    EXPECT_EQ(Installed("app"), "new");
  }

  WriteFile(dir / "v1/app", "one");
  WriteFile(dir / "v2/app", "two");
  auto makeUpdate = [&](const std::string& out, const std::string& pub) {
    return RunProgram({Program("make-update"), "--from", dir / "v1", "--to", dir / "v2", "--output", dir / out,
                       "--sign", dir / "key.key", "--verify", "--public-key", dir / pub});
  };
  RunResult made = makeUpdate("update-1-2", "key.pub");
  ASSERT_EQ(made.exit_code, 0) << made.err;
  RunResult checked = Minisign({"-Vm", dir / "update-1-2/update.zar", "-p", dir / "key.pub"});
  EXPECT_EQ(checked.exit_code, 0) << checked.err;
  const std::string size = std::to_string(ReadFile(dir / "update-1-2/update.zar").size());
  EXPECT_NE(checked.out.find("update:update-1-2\tsize:" + size), std::string::npos) << checked.out;

  // --verify runs the updater's own check: another key is refused.
  made = makeUpdate("refused", "other.pub");
  EXPECT_EQ(made.exit_code, 1);
  EXPECT_NE(made.err.find("other key id"), std::string::npos) << made.err;
  EXPECT_FALSE(Exists(dir / "refused/update.zar")) << "nothing is written";
}

TEST_F(SigningE2E, RefusesEveryBadSignatureBeforeAnythingChanges) {
  const std::string sig = update + "/update.zar.minisig", key = bin + "/updater.pub";
  struct Refusal {
    const char* what;
    std::function<void()> spoil;
    const char* reason;
    bool asNobody = false;
  };
  auto flipBit = [](const std::string& path, size_t at) {
    std::string bytes = ReadFile(path);
    bytes[at] ^= 1;
    WriteFile(path, bytes);
  };
  const std::vector<Refusal> refusals = {
      {"no signature file", [&] { fs::remove(sig); }, "no signature file"},
      {"empty signature", [&] { WriteFile(sig, ""); }, "malformed signature"},
      {"truncated signature", [&] { WriteFile(sig, ReadFile(sig).substr(0, 150)); }, "malformed signature"},
      {"other key", [&] { Ship("other"); }, "other key id"},
      // The index's last byte: the signature is checked before the index is read.
      {"bit in the archive", [&] { flipBit(update + "/update.zar", ReadFile(update + "/update.zar").size() - 1); },
       "bad signature"},
      {"bit in the signature", [&] { FlipBase64Bit(sig, 50); }, "bad signature"},
      {"bit in the trusted comment", [&] { flipBit(sig, ReadFile(sig).find("\ntrusted comment: ") + 18); },
       "bad signature"},
      {"bit in the public key", [&] { FlipBase64Bit(key, 30); }, "bad signature"},
      {"key unreadable to the user", [&] { chmod(key.c_str(), 0600); }, "unreadable key", true},
      {"key is a directory", [&] { fs::remove(key), fs::create_directory(key); }, "malformed key"},
      {"key is a dangling link", [&] { fs::remove(key), fs::create_symlink(dir / "gone", key); }, "unreadable key"},
      {"signature is a directory", [&] { fs::remove(sig), fs::create_directory(sig); }, "malformed signature"},
      {"signature is a FIFO", [&] { fs::remove(sig), mkfifo(sig.c_str(), 0644); }, "malformed signature"},
      {"signature links to a huge sparse file", [&] {
         fs::rename(sig, dir / "huge"), fs::resize_file(dir / "huge", uintmax_t(1) << 40);
         fs::create_symlink(dir / "huge", sig);
       }, "malformed signature"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.what);
    Ship();
    r.spoil();
    std::vector<std::string> prefix;
    if (r.asNobody) {
      if (geteuid() != 0) continue;  // only root can run as another user
      chmod(dir.path().c_str(), 0755), chmod(update.c_str(), 0777);
      prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    RunCopy(prefix);
    EXPECT_EQ(Log(), "signature check failed: " + std::string(r.reason) + "\nfailed: 9\ncalling QuitProgressUI\n");
    EXPECT_EQ(Status(), "failed: 9\n");
    EXPECT_EQ(Snapshot(), (Files{{"app", "old|644"}}));
    EXPECT_FALSE(Exists(update + "/update.manifest")) << "nothing is extracted";
  }
}

TEST_F(SigningE2E, ArchiveRewrittenDuringTheRunFailsAndRollsBack) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  Ship();
  // The backup of "app" is renamed into place two seconds late; meanwhile
  // (the journal is there: the run has begun to execute) the archive gets a
  // new modification time.
  const std::string script =
      "/usr/bin/strace -f -qq -o /dev/null -P app -e inject=rename:delay_enter=2000000 \"$0\" \"$1\" 0 &"
      " i=0; while [ ! -e \"$1/update.journal\" ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done;"
      " touch \"$1/update.zar\"; wait";
  RunProgram({"/bin/sh", "-c", script, bin + "/updater", update}, RunOptions{install, {"DISPLAY="}, 60});
  EXPECT_EQ(Status(), "failed: 8\n") << Log();
  EXPECT_EQ(Snapshot(), (Files{{"app", "old|644"}}));
}

}  // namespace
