#include "file_util.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "errors.h"
#include "fileio.h"
#include "journal.h"
#include "log.h"
#include "paths.h"

namespace {

// The backups this run made, by device and inode (rule 3 of the header).
struct BackupId {
  dev_t dev;
  ino_t ino;
};
BackupId* sBackups = nullptr;
int sBackupCount = 0;
int sBackupCapacity = 0;

int FindBackup(const struct stat& st) {
  for (int i = 0; i < sBackupCount; ++i)
    if (sBackups[i].dev == st.st_dev && sBackups[i].ino == st.st_ino) return i;
  return -1;
}

bool RememberBackup(const struct stat& st) {
  if (sBackupCount == sBackupCapacity) {
    int capacity = sBackupCapacity ? sBackupCapacity * 2 : 16;
    BackupId* grown = (BackupId*)realloc(sBackups, sizeof(BackupId) * size_t(capacity));
    if (!grown) return false;
    sBackups = grown;
    sBackupCapacity = capacity;
  }
  sBackups[sBackupCount++] = BackupId{st.st_dev, st.st_ino};
  return true;
}

void ForgetBackup(const char* name) {
  struct stat st;
  if (stat(name, &st) != 0) return;
  int i = FindBackup(st);
  if (i >= 0) sBackups[i] = sBackups[--sBackupCount];
}

// Backups this run could not finish (restore or discard): they stay.
int sUnfinished = 0;

// copy_file's body. *dest_opened tells whether |dest| was opened (and so
// truncated); with |give_source_mode|, |dest| gets the source's permission
// bits before it is closed, as the open source reports them. Log lines name
// |logged_dest|, the name the copy is for (a backup is written under a
// temporary name first).
int CopyFile(const char* source, const char* dest, const char* logged_dest, bool give_source_mode, bool* dest_opened) {
  *dest_opened = false;
  int rc = ensure_parent_dir(dest);
  if (rc) return rc;

  int in = robust_open(source, O_RDONLY, 0);
  struct stat st;
  if (in < 0 || fstat(in, &st) != 0) {
    int err = errno;
    LogPrintf("copy_file: failed to open or stat: %d,%s,%d\n", in, source, err);
    if (in >= 0) close(in);
    return ERR_READ;
  }
  int out = robust_open(dest, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, st.st_mode & 07777);
  if (out < 0) {
    LogPrintf("copy_file: failed to open: %s,%d\n", logged_dest, errno);
    close(in);
    return ERR_WRITE;
  }
  *dest_opened = true;

  char buf[1024];
  for (;;) {
    ssize_t n = robust_read(in, buf, sizeof(buf));
    if (n < 0) {
      LogPrintf("copy_file: failed to read: %d\n", errno);
      rc = ERR_READ;
      break;
    }
    if (n == 0) break;
    if (!write_all(out, buf, size_t(n))) {
      LogPrintf("copy_file: failed to write: %d\n", errno);
      rc = ERR_WRITE;
      break;
    }
  }
  if (rc == 0 && give_source_mode && fchmod(out, st.st_mode & 07777) != 0) {
    LogPrintf("copy_file: failed to write: %d\n", errno);
    rc = ERR_WRITE;
  }
  // The file system may report a failed write only here.
  if (close(out) != 0 && rc == 0) {
    LogPrintf("copy_file: failed to write: %d\n", errno);
    rc = ERR_WRITE;
  }
  close(in);
  return rc;
}

// Deletes the backup |name|; one that stays is counted, for the journal to
// keep it listed.
int DeleteBackup(const char* name) {
  ForgetBackup(name);
  if (remove(name) == 0) return 0;
  ++sUnfinished;
  return ERR_WRITE;
}

}  // namespace

int file_exists(const char* path, bool* exists) {
  *exists = access(path, F_OK) == 0;
  if (*exists || errno == ENOENT || errno == ENOTDIR) return 0;
  return ERR_READ;
}

int ensure_parent_dir(const char* path) {
  char* slash = const_cast<char*>(strrchr(path, '/'));
  if (!slash) return 0;
  *slash = '\0';
  int rc = ensure_parent_dir(path);
  if (rc == 0 && mkdir(path, 0755) != 0 && errno != EEXIST) rc = ERR_WRITE;
  *slash = '/';
  return rc;
}

int copy_file(const char* source, const char* dest) {
  bool dest_opened;
  return CopyFile(source, dest, dest, false, &dest_opened);
}

int backup_create(const char* path, bool* made) {
  *made = false;
  char name[kPathBufferSize];
  if (!FormatPath(name, "%s.zel-backup", path)) return ERR_WRITE;
  // Shorter than the backup name, so it fits whenever that does.
  char part[kPathBufferSize];
  FormatPath(part, "%s.zel-part", path);

  struct stat st;
  if (stat(name, &st) == 0) {
    if (FindBackup(st) >= 0) return 0;  // the first backup of this run stays
  } else if (errno != ENOENT) {
    return ERR_READ;  // unknown: must not overwrite what may be this run's first backup
  }

  int rc = journal_note_intent(path);
  if (rc) return rc;
  // Written whole under another name and renamed into place, so that a file
  // under the backup name is always a complete copy, even after a crash.
  bool part_opened;
  rc = CopyFile(path, part, name, false, &part_opened);
  if (rc) {
    if (part_opened) unlink(part);
    return rc;
  }
  if (rename(part, name) != 0) {
    LogPrintf("copy_file: failed to open: %s,%d\n", name, errno);
    unlink(part);
    return ERR_WRITE;
  }
  if (stat(name, &st) != 0) rc = ERR_WRITE;
  if (rc == 0 && !RememberBackup(st)) rc = ERR_MEMORY;
  if (rc == 0) rc = journal_note_backup(path, st.st_dev, st.st_ino);
  if (rc) {
    // Unrecorded, nobody would finish it: the file itself is still intact.
    ForgetBackup(name);
    unlink(name);
    return rc;
  }
  *made = true;
  return 0;
}

int backup_restore(const char* path) {
  char name[kPathBufferSize];
  if (!FormatPath(name, "%s.zel-backup", path)) return ERR_WRITE;
  // The mode comes from the open backup itself: a separate stat that failed
  // would leave the file with the new version's mode.
  bool dest_opened;
  int rc = CopyFile(name, path, path, true, &dest_opened);
  if (rc) {
    ++sUnfinished;
    return rc;
  }
  return DeleteBackup(name);
}

int backup_discard(const char* path) {
  char name[kPathBufferSize];
  if (!FormatPath(name, "%s.zel-backup", path)) return ERR_WRITE;
  return DeleteBackup(name);
}

int backup_finish(const char* path, int status) {
  return status ? backup_restore(path) : backup_discard(path);
}

void backup_reset_run() {
  sBackupCount = 0;
  sUnfinished = 0;
}

int backup_unfinished() { return sUnfinished; }
