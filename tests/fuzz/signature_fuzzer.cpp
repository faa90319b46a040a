// Feeds arbitrary bytes to the public-key and signature parsers, and checks whatever parses as a signature over the
// input itself with a fixed key, so that no file beside the archive or the program crashes, hangs or overreads the
// updater before its signature is known to be good.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kSignatureFileMax) return 0;  // the reader refuses larger files
  const char* text = reinterpret_cast<const char*>(data);
  SignaturePublicKey key;
  if (signature_parse_public_key(text, size, &key) != 0) memset(&key, 0, sizeof(key));
  SignatureRecord record;
  if (signature_parse(text, size, &record) != 0) return 0;
  memcpy(key.keyId, record.keyId, sizeof(key.keyId));  // reach the checks past the key id
  int fd = memfd_create("archive", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, data, size) == ssize_t(size)) {
    const char* reason = nullptr;
    signature_verify(key, record, fd, &reason);
  }
  close(fd);
  return 0;
}
