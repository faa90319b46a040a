#include "signing.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "errors.h"
#include "fsutil.h"
#include "signature.h"

namespace signing {

namespace {

// The secret key file's fields, in order (see updater/signature.h).
constexpr size_t kAlgorithm = 0, kKdf = 2, kChecksumAlgorithm = 4, kKeyId = 54, kKey = 62, kChecksum = 126,
                 kSecretKeyBytes = 158;

std::string Base64(const unsigned char* data, size_t size) {
  std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  out.resize(strlen(out.c_str()));
  return out;
}

void InitSodium() {
  if (sodium_init() < 0) throw std::runtime_error("cannot initialise libsodium");
}

}  // namespace

SecretKey ReadSecretKey(const std::string& path) {
  InitSodium();
  const std::string text = fsutil::ReadFile(path);
  unsigned char raw[kSecretKeyBytes];
  const char* cursor = text.data();
  if (signature_decode_lines(&cursor, text.data() + text.size(), raw, sizeof(raw)) != 0 ||
      memcmp(raw + kAlgorithm, "Ed", 2) != 0 || memcmp(raw + kChecksumAlgorithm, "B2", 2) != 0)
    throw std::runtime_error(path + ": not a secret key file (a comment line, then one base64 line of 158 bytes)");
  if (memcmp(raw + kKdf, "Sc", 2) == 0)
    throw std::runtime_error(path + ": the secret key is encrypted with a password; signing needs one kept in the "
                             "clear (make it with minisign -G -W, or remove the password with minisign -C -W)");
  if (raw[kKdf] != 0 || raw[kKdf + 1] != 0) throw std::runtime_error(path + ": unknown key protection");

  SecretKey key;
  memcpy(key.keyId, raw + kKeyId, sizeof(key.keyId));
  memcpy(key.key, raw + kKey, sizeof(key.key));
  // Some versions write a zero checksum for a key in the clear; the halves of
  // the key must agree in any case.
  unsigned char checked[2 + 8 + 64], checksum[32], zero[32] = {};
  memcpy(checked, "Ed", 2);
  memcpy(checked + 2, key.keyId, 8);
  memcpy(checked + 10, key.key, 64);
  crypto_generichash(checksum, sizeof(checksum), checked, sizeof(checked), nullptr, 0);
  unsigned char pk[32], sk[64];
  crypto_sign_seed_keypair(pk, sk, key.key);
  const bool checksumOk = memcmp(raw + kChecksum, checksum, 32) == 0 || memcmp(raw + kChecksum, zero, 32) == 0;
  if (!checksumOk || memcmp(sk, key.key, 64) != 0) throw std::runtime_error(path + ": the secret key is damaged");
  return key;
}

std::string Sign(const SecretKey& key, std::string_view data, std::string_view trustedComment) {
  InitSodium();
  if (trustedComment.find_first_of("\r\n") != std::string_view::npos)
    throw std::runtime_error("a trusted comment is one line");
  unsigned char digest[crypto_generichash_BYTES_MAX];
  crypto_generichash(digest, sizeof(digest), reinterpret_cast<const unsigned char*>(data.data()), data.size(), nullptr,
                     0);
  unsigned char record[2 + 8 + 64];
  memcpy(record, "ED", 2);
  memcpy(record + 2, key.keyId, 8);
  crypto_sign_detached(record + 10, nullptr, digest, sizeof(digest), key.key);
  std::string message(reinterpret_cast<const char*>(record + 10), 64);
  message += trustedComment;
  unsigned char global[64];
  crypto_sign_detached(global, nullptr, reinterpret_cast<const unsigned char*>(message.data()), message.size(), key.key);
  return "untrusted comment: signature from make-update secret key\n" + Base64(record, sizeof(record)) +
         "\ntrusted comment: " + std::string(trustedComment) + "\n" + Base64(global, sizeof(global)) + "\n";
}

void Verify(const std::string& path, const std::string& signaturePath, const std::string& publicKeyPath) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error(path + ": cannot open: " + strerror(errno));
  const char* reason = "the file cannot be read";
  const int rc = signature_check(fd, publicKeyPath.c_str(), signaturePath.c_str(), &reason);
  close(fd);
  if (rc != 0)
    throw std::runtime_error(signaturePath + ": the signature of " + path + " does not verify with the public key " +
                             publicKeyPath + ": " + reason);
}

}  // namespace signing
