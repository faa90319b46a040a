// The updater's signature policy: an installation that ships the publisher's
// key beside the program applies only archives signed by that key. Kept apart
// from signature.cpp, which the tools link, because it logs and uses the run's
// archive reader.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/archive_reader.h"
#include "errors.h"
#include "fileio.h"
#include "log.h"
#include "paths.h"
#include "signature.h"

namespace {

// The publisher's key file: 0 with *present false when there is none, 0 with
// *present true and |keyPath| set, or ERR_SIGNATURE with *reason when it can't
// be told (the program's folder unknown, lstat failing otherwise than with
// "no such file"): a key that may be there is never taken as absent.
int FindPublisherKey(char (&keyPath)[kPathBufferSize], bool* present, const char** reason) {
  char folder[kPathBufferSize];
  struct stat st;
  *present = false;
  if (!ProgramFolder(folder) || !FormatPath(keyPath, "%s/updater.pub", folder)) {
    *reason = kSignatureKeyUnreadable;
    return ERR_SIGNATURE;
  }
  if (lstat(keyPath, &st) == 0) {
    *present = true;
    return 0;
  }
  if (errno == ENOENT) return 0;
  *reason = kSignatureKeyUnreadable;
  return ERR_SIGNATURE;
}

}  // namespace

int OpenSignedArchive(const char* archivePath) {
  char keyPath[kPathBufferSize];
  bool keyed;
  const char* reason = nullptr;
  int rc = FindPublisherKey(keyPath, &keyed, &reason);
  // The one descriptor of the run's archive: checked here, then applied, and
  // the journal records the identity of the file it reads (journal_begin).
  int fd = -1;
  struct stat opened;
  if (rc == 0) {
    fd = robust_open(archivePath, O_RDONLY, 0);
    if (fd < 0 || fstat(fd, &opened) != 0) rc = ERR_READ;
  }
  if (rc == 0 && keyed) {
    char signaturePath[kPathBufferSize];
    if (FormatPath(signaturePath, "%s.minisig", archivePath))
      rc = signature_check(fd, keyPath, signaturePath, &reason);
    else
      rc = ERR_SIGNATURE, reason = kSignatureUnreadable;
  }
  if (rc == 0) return gArchiveReader.Open(fd, opened);
  if (fd >= 0) close(fd);
  if (rc == ERR_SIGNATURE) LogPrintf("signature check failed: %s\n", reason);
  return rc;
}
