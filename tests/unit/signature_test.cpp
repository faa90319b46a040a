// The signature file parser and bounded reader against files made by the real minisign command, and the
// producer's secret-key reader and signer.
#include "signature.h"

#include <fcntl.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>

#include "common/signing.h"
#include "errors.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// A key pair in the clear and a signature of "data", made by minisign.
class SignatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(data, RandomBytes(100000, 7));
    const char* script = "minisign -G -W -p clear.pub -s clear.key && minisign -S -s clear.key -m data";
    ASSERT_EQ(RunProgram({"/bin/sh", "-c", script}, RunOptions{dir.path(), {}, 60}).exit_code, 0);
  }
  ScratchDir dir;
  std::string data = dir / "data";
};

std::string Replace(const std::string& text, const char* from, const char* to) {
  return std::regex_replace(text, std::regex(from), to);
}

TEST_F(SignatureTest, ReadsTheFormatsVariantsAndNothingElse) {
  const std::string sig = ReadFile(data + ".minisig");
  const size_t room = kSignatureFileMax - sig.size();  // lines after the fourth are ignored
  const size_t secondLf = sig.find('\n', sig.find('\n') + 1);
  WriteFile(dir / "other.pub", Replace(ReadFile(dir / "clear.pub"), "\nRW", "\nRV"));
  const struct {
    const char* what;
    std::string text;
    const char* reason;  // null: verifies
    const char* pub = "clear.pub";
  } rows[] = {
      {"as written", sig, nullptr},
      {"CR LF line ends", Replace(sig, "\n", "\r\n"), nullptr},
      {"a fifth line, at the size bound", sig + std::string(room - 1, 'x') + "\n", nullptr},
      {"one byte over the bound", sig + std::string(room, 'x') + "\n", kSignatureMalformed},
      {"no untrusted comment prefix", sig.substr(2), kSignatureMalformed},
      {"no trusted comment prefix", Replace(sig, "\ntrusted comment: ", "\ntrusted: "), kSignatureMalformed},
      {"a byte after the base64", sig.substr(0, secondLf) + "A" + sig.substr(secondLf), kSignatureMalformed},
      {"another algorithm", Replace(sig, "\nRU", "\nRV"), kSignatureMalformed},
      {"no global signature", sig.substr(0, sig.find('\n', secondLf + 1) + 1), kSignatureMalformed},
      {"a public key of another algorithm", sig, kSignatureKeyMalformed, "other.pub"},
  };
  for (const auto& row : rows) {
    WriteFile(dir / "sig", row.text);
    const char* reason = nullptr;
    const int fd = open(data.c_str(), O_RDONLY);
    EXPECT_EQ(signature_check(fd, (dir / row.pub).c_str(), (dir / "sig").c_str(), &reason),
              row.reason ? ERR_SIGNATURE : 0) << row.what;
    close(fd);
    EXPECT_STREQ(reason, row.reason) << row.what;
  }
}

// Keys derived from minisign's key in the clear (checksum zeros): sealed with a password, broken checksum or key.
TEST_F(SignatureTest, SignsWithKeysInTheClearOnly) {
  const std::string clear = ReadFile(dir / "clear.key");
  WriteFile(dir / "sealed.key", Replace(clear, "\nRWQAAEIy", "\nRWRTY0Iy"));  // "Ed" "\0\0" "B2" -> "Ed" "Sc" "B2"
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (const auto& [name, column] : {std::pair{"bad-sum.key", 190}, {"bad-key.key", 100}}) {  // checksum, secret key
    std::string key = clear;
    char& c = key[key.find('\n') + 1 + column];  // a base64 character of the second line, its value's low bit flipped
    c = alphabet[alphabet.find(c) ^ 1];
    WriteFile(dir / name, key);
  }
  const struct { const char* key, *error; /* "(none)": signs, and the signature verifies */ } rows[] = {
      {"clear.key", "(none)"},
      {"sealed.key", "is encrypted with a password"},
      {"bad-sum.key", "damaged"},
      {"bad-key.key", "damaged"},
  };
  for (const auto& row : rows) {
    std::string error = "(none)";
    try {
      WriteFile(data + ".minisig", signing::Sign(signing::ReadSecretKey(dir / row.key), ReadFile(data), "comment"));
      signing::Verify(data, data + ".minisig", dir / "clear.pub");
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    EXPECT_NE(error.find(row.error), std::string::npos) << row.key << ": " << error;
  }
}

}  // namespace
