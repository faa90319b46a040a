// Parsing and checking of detached signatures. The files come from outside,
// so each is read with a fixed bound and every field has a fixed length; the
// cryptography is libsodium's.
#include "signature.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "errors.h"
#include "fileio.h"

const char kSignatureNoFile[] = "no signature file";
const char kSignatureMalformed[] = "malformed signature";
const char kSignatureUnreadable[] = "unreadable signature";
const char kSignatureKeyUnreadable[] = "unreadable key";
const char kSignatureKeyMalformed[] = "malformed key";
const char kSignatureOtherKey[] = "other key id";
const char kSignatureBad[] = "bad signature";

namespace {

const char kUntrustedPrefix[] = "untrusted comment: ";
const char kTrustedPrefix[] = "trusted comment: ";
constexpr size_t kAlgorithmSize = 2;

// The line at |*text|, without its LF or CR LF; |*text| moves past its end.
// False when there is no line left.
bool NextLine(const char** text, const char* end, const char** line, size_t* length) {
  if (*text >= end) return false;
  const char* start = *text;
  const char* lf = static_cast<const char*>(memchr(start, '\n', size_t(end - start)));
  const char* stop = lf ? lf : end;
  *text = lf ? lf + 1 : end;
  if (stop > start && stop[-1] == '\r') --stop;
  *line = start;
  *length = size_t(stop - start);
  return true;
}

bool StartsWith(const char* line, size_t length, const char* prefix) {
  const size_t n = strlen(prefix);
  return length >= n && memcmp(line, prefix, n) == 0;
}

// Decodes the whole of one base64 line into exactly |size| bytes.
bool DecodeLine(const char* line, size_t length, unsigned char* out, size_t size) {
  size_t decoded = 0;
  const char* stop = nullptr;
  if (sodium_base642bin(out, size, line, length, nullptr, &decoded, &stop, sodium_base64_VARIANT_ORIGINAL) != 0)
    return false;
  return decoded == size && stop == line + length;
}

// Feeds every byte of |fd| from offset 0 to the digest.
int DigestFile(int fd, unsigned char (&digest)[crypto_generichash_BYTES_MAX]) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, sizeof(digest));
  unsigned char buf[32768];
  off_t at = 0;
  for (;;) {
    ssize_t n = pread(fd, buf, sizeof(buf), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ERR_READ;
    if (n == 0) break;
    crypto_generichash_update(&state, buf, size_t(n));
    at += n;
  }
  crypto_generichash_final(&state, digest, sizeof(digest));
  return 0;
}

// Verifies |signature| over the bytes of |fd| themselves, mapped read-only.
int VerifyMapped(const unsigned char* signature, const unsigned char* key, int fd, bool* valid) {
  struct stat st;
  if (fstat(fd, &st) != 0) return ERR_READ;
  const size_t size = size_t(st.st_size);
  if (size == 0) {
    static const unsigned char kNothing = 0;
    *valid = crypto_sign_verify_detached(signature, &kNothing, 0, key) == 0;
    return 0;
  }
  void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (map == MAP_FAILED) return ERR_READ;
  *valid = crypto_sign_verify_detached(signature, static_cast<const unsigned char*>(map), size, key) == 0;
  munmap(map, size);
  return 0;
}

}  // namespace

int signature_decode_lines(const char** text, const char* end, unsigned char* out, size_t size) {
  const char* line;
  size_t length;
  if (!NextLine(text, end, &line, &length) || !StartsWith(line, length, kUntrustedPrefix)) return ERR_SIGNATURE;
  if (!NextLine(text, end, &line, &length) || !DecodeLine(line, length, out, size)) return ERR_SIGNATURE;
  return 0;
}

int signature_parse_public_key(const char* text, size_t length, SignaturePublicKey* out) {
  unsigned char raw[kAlgorithmSize + kSignatureKeyIdSize + kSignaturePublicKeySize];
  const char* cursor = text;
  if (signature_decode_lines(&cursor, text + length, raw, sizeof(raw)) != 0) return ERR_SIGNATURE;
  if (memcmp(raw, "Ed", kAlgorithmSize) != 0) return ERR_SIGNATURE;
  memcpy(out->keyId, raw + kAlgorithmSize, kSignatureKeyIdSize);
  memcpy(out->key, raw + kAlgorithmSize + kSignatureKeyIdSize, kSignaturePublicKeySize);
  return 0;
}

int signature_parse(const char* text, size_t length, SignatureRecord* out) {
  const char* end = text + length;
  unsigned char raw[kAlgorithmSize + kSignatureKeyIdSize + kSignatureSize];
  const char* cursor = text;
  if (signature_decode_lines(&cursor, end, raw, sizeof(raw)) != 0) return ERR_SIGNATURE;
  if (memcmp(raw, "ED", kAlgorithmSize) == 0)
    out->prehashed = true;
  else if (memcmp(raw, "Ed", kAlgorithmSize) == 0)
    out->prehashed = false;
  else
    return ERR_SIGNATURE;
  memcpy(out->keyId, raw + kAlgorithmSize, kSignatureKeyIdSize);
  memcpy(out->signature, raw + kAlgorithmSize + kSignatureKeyIdSize, kSignatureSize);

  const char* line;
  size_t lineLength;
  if (!NextLine(&cursor, end, &line, &lineLength) || !StartsWith(line, lineLength, kTrustedPrefix))
    return ERR_SIGNATURE;
  out->trustedComment = line + strlen(kTrustedPrefix);
  out->trustedLength = lineLength - strlen(kTrustedPrefix);
  if (!NextLine(&cursor, end, &line, &lineLength) || !DecodeLine(line, lineLength, out->globalSignature, kSignatureSize))
    return ERR_SIGNATURE;
  return 0;
}

int signature_read_file(const char* path, char (&buf)[kSignatureFileMax], size_t* length, bool* missing) {
  *missing = false;
  // O_NONBLOCK: a FIFO in the file's place must not hang the run; it is
  // refused below as not a regular file.
  int fd = robust_open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0);
  if (fd < 0) {
    *missing = errno == ENOENT;
    return ERR_READ;
  }
  struct stat st;
  int rc = 0;
  if (fstat(fd, &st) != 0)
    rc = ERR_READ;
  else if (!S_ISREG(st.st_mode) || st.st_size > off_t(kSignatureFileMax))
    rc = ERR_SIGNATURE;
  size_t done = 0;
  while (rc == 0) {
    // One byte more than the bound may fit, so that a file that grew since
    // fstat is caught.
    char extra;
    ssize_t n = done < sizeof(buf) ? robust_read(fd, buf + done, sizeof(buf) - done) : robust_read(fd, &extra, 1);
    if (n < 0) rc = ERR_READ;
    else if (n == 0) break;
    else if (done == sizeof(buf)) rc = ERR_SIGNATURE;
    else done += size_t(n);
  }
  close(fd);
  *length = done;
  return rc;
}

int signature_verify(const SignaturePublicKey& key, const SignatureRecord& record, int fd, const char** reason) {
  if (sodium_init() < 0) return ERR_MEMORY;
  if (memcmp(key.keyId, record.keyId, kSignatureKeyIdSize) != 0) {
    *reason = kSignatureOtherKey;
    return ERR_SIGNATURE;
  }
  bool valid = false;
  if (record.prehashed) {
    unsigned char digest[crypto_generichash_BYTES_MAX];
    int rc = DigestFile(fd, digest);
    if (rc) return rc;
    valid = crypto_sign_verify_detached(record.signature, digest, sizeof(digest), key.key) == 0;
  } else {
    int rc = VerifyMapped(record.signature, key.key, fd, &valid);
    if (rc) return rc;
  }
  if (valid) {
    unsigned char message[kSignatureSize + kSignatureFileMax];
    if (record.trustedLength > kSignatureFileMax) return ERR_SIGNATURE;
    memcpy(message, record.signature, kSignatureSize);
    memcpy(message + kSignatureSize, record.trustedComment, record.trustedLength);
    valid = crypto_sign_verify_detached(record.globalSignature, message, kSignatureSize + record.trustedLength,
                                        key.key) == 0;
  }
  if (valid) return 0;
  *reason = kSignatureBad;
  return ERR_SIGNATURE;
}

int signature_check(int fd, const char* keyPath, const char* signaturePath, const char** reason) {
  char keyText[kSignatureFileMax];
  size_t length;
  bool missing;
  int rc = signature_read_file(keyPath, keyText, &length, &missing);
  SignaturePublicKey key;
  if (rc == 0) rc = signature_parse_public_key(keyText, length, &key);
  if (rc) {
    *reason = rc == ERR_READ ? kSignatureKeyUnreadable : kSignatureKeyMalformed;
    return ERR_SIGNATURE;
  }
  char text[kSignatureFileMax];
  rc = signature_read_file(signaturePath, text, &length, &missing);
  SignatureRecord record;
  if (rc == 0) rc = signature_parse(text, length, &record);
  if (rc) {
    *reason = missing ? kSignatureNoFile : rc == ERR_READ ? kSignatureUnreadable : kSignatureMalformed;
    return ERR_SIGNATURE;
  }
  return signature_verify(key, record, fd, reason);
}
