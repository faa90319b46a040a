// Signed updates end to end: a copy of the updater with the publisher's key
// beside it, archives signed by the real minisign command and by make-update,
// every way a signature can fail, and an archive rewritten during the run.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

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
    std::vector<std::string> args = {"-S", "-s", dir / keyName + ".key", "-m", update + "/update.zar"};
    if (legacy) args.push_back("-l");
    ASSERT_EQ(Minisign(args).exit_code, 0);
    fs::remove_all(bin + "/updater.pub");
    fs::copy_file(dir / "key.pub", bin + "/updater.pub");
  }

  RunResult RunCopy(std::vector<std::string> prefix = {}) {
    prefix.insert(prefix.end(), {bin + "/updater", update, "0"});
    return RunProgram(prefix, RunOptions{install, {"DISPLAY=", "WAYLAND_DISPLAY="}, 60});
  }

  std::string bin;
};

// Flips the lowest bit of the 6-bit value of the base64 character at |column|
// of the second line of |path|.
void FlipBase64Bit(const std::string& path, size_t column) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text = ReadFile(path);
  char& c = text[text.find('\n') + 1 + column];
  c = kAlphabet[kAlphabet.find(c) ^ 1];
  WriteFile(path, text);
}

TEST_F(SigningE2E, MinisignSignaturesApplyAndMakeUpdateSignaturesVerifyWithMinisign) {
  for (bool legacy : {false, true}) {
    Ship("key", legacy);
    RunCopy();
    EXPECT_EQ(Status(), "succeeded\n") << "legacy " << legacy << "\n" << Log();
    EXPECT_EQ(Installed("app"), "new");
  }

  WriteFile(dir / "v1/app", "one");
  WriteFile(dir / "v2/app", "two");
  const std::string out = dir / "update-1-2";
  RunResult made = RunProgram({Program("make-update"), "--from", dir / "v1", "--to", dir / "v2", "--output", out,
                               "--sign", dir / "key.key", "--verify", "--public-key", dir / "key.pub"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  RunResult checked = Minisign({"-Vm", out + "/update.zar", "-p", dir / "key.pub"});
  EXPECT_EQ(checked.exit_code, 0) << checked.err;
  EXPECT_NE(checked.out.find("update:update-1-2\tsize:" + std::to_string(ReadFile(out + "/update.zar").size())),
            std::string::npos) << checked.out;

  // --verify runs the updater's own check: another key is refused.
  made = RunProgram({Program("make-update"), "--from", dir / "v1", "--to", dir / "v2", "--output", dir / "refused",
                     "--sign", dir / "key.key", "--verify", "--public-key", dir / "other.pub"});
  EXPECT_EQ(made.exit_code, 1);
  EXPECT_NE(made.err.find("other key id"), std::string::npos) << made.err;
  EXPECT_FALSE(Exists(dir / "refused/update.zar"));
}

TEST_F(SigningE2E, RefusesEveryBadSignatureBeforeAnythingChanges) {
  const std::string sig = update + "/update.zar.minisig", key = bin + "/updater.pub";
  struct Refusal {
    const char* what;
    std::function<void()> spoil;
    const char* reason;
    bool asNobody;
  };
  const std::vector<Refusal> refusals = {
      {"no signature file", [&] { fs::remove(sig); }, "no signature file", false},
      {"empty signature", [&] { WriteFile(sig, ""); }, "malformed signature", false},
      {"truncated signature", [&] { WriteFile(sig, ReadFile(sig).substr(0, 150)); }, "malformed signature", false},
      {"other key", [&] { Ship("other"); }, "other key id", false},
      {"bit in the archive", [&] {
         std::string zar = ReadFile(update + "/update.zar");
         zar.back() ^= 1;  // the index's last byte: checked before the index is read
         WriteFile(update + "/update.zar", zar);
       }, "bad signature", false},
      {"bit in the signature", [&] { FlipBase64Bit(sig, 50); }, "bad signature", false},
      {"bit in the trusted comment", [&] {
         std::string text = ReadFile(sig);
         text[text.find("\ntrusted comment: ") + 18] ^= 1;
         WriteFile(sig, text);
       }, "bad signature", false},
      {"bit in the public key", [&] { FlipBase64Bit(key, 30); }, "bad signature", false},
      {"key unreadable to the user", [&] { chmod(key.c_str(), 0600); }, "unreadable key", true},
      {"key is a directory", [&] { fs::remove(key), fs::create_directory(key); }, "malformed key", false},
      {"key is a dangling link", [&] { fs::remove(key), fs::create_symlink(dir / "gone", key); }, "unreadable key",
       false},
      {"signature is a directory", [&] { fs::remove(sig), fs::create_directory(sig); }, "malformed signature", false},
      {"signature is a FIFO", [&] { fs::remove(sig), mkfifo(sig.c_str(), 0644); }, "malformed signature", false},
      {"signature links to a huge sparse file", [&] {
         WriteFile(dir / "huge", ReadFile(sig));
         ASSERT_EQ(truncate((dir / "huge").c_str(), off_t(1) << 40), 0);
         fs::remove(sig), fs::create_symlink(dir / "huge", sig);
       }, "malformed signature", false},
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
    EXPECT_EQ(Tree(), std::vector<std::string>{"app"});
    EXPECT_EQ(Installed("app"), "old");
    EXPECT_FALSE(Exists(update + "/update.manifest")) << "nothing is extracted";
  }
}

TEST_F(SigningE2E, ArchiveRewrittenDuringTheRunFailsAndRollsBack) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  Ship();
  // The backup of "app" is renamed into place two seconds late; meanwhile the
  // archive gets a new modification time.
  const std::string script =
      "/usr/bin/strace -f -qq -o /dev/null -P app.zel-part -e inject=rename:delay_enter=2000000 \"$0\" \"$1\" 0 &"
      " i=0; while [ ! -e app.zel-part ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done; touch \"$1/update.zar\"; wait";
  RunProgram({"/bin/sh", "-c", script, bin + "/updater", update}, RunOptions{install, {"DISPLAY="}, 60});
  EXPECT_EQ(Status(), "failed: 8\n") << Log();
  EXPECT_EQ(Tree(), std::vector<std::string>{"app"});
  EXPECT_EQ(Installed("app"), "old");
}

}  // namespace
