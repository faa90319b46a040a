#include "file_util.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "errors.h"
#include "fileio.h"
#include "journal.h"
#include "log.h"
#include "patch/binary_patch.h"
#include "paths.h"

namespace {

const char kBackupSuffix[] = ".zel-backup";

// ---- what this run made ------------------------------------------------------

// The backups this run made, by device and inode (rule 3 of the header).
struct BackupId {
  dev_t dev;
  ino_t ino;
};
BackupId* sBackups = nullptr;
int sBackupCount = 0;
int sBackupCapacity = 0;

// The names this run created where nothing stood (rule 7), in the order they
// were made, so that walking the list backwards meets the deepest first.
struct CreatedName {
  char* path;  // normalised: no "." or empty components
  bool is_dir;
};
CreatedName* sCreated = nullptr;
int sCreatedCount = 0;
int sCreatedCapacity = 0;

// Grows |*items| (of |*capacity|) so that one more fits. False when out of memory.
template <typename T>
bool Reserve(T** items, int count, int* capacity) {
  if (count < *capacity) return true;
  int grown_capacity = *capacity ? *capacity * 2 : 16;
  T* grown = (T*)realloc(*items, sizeof(T) * size_t(grown_capacity));
  if (!grown) return false;
  *items = grown;
  *capacity = grown_capacity;
  return true;
}

int FindBackup(const struct stat& st) {
  for (int i = 0; i < sBackupCount; ++i)
    if (sBackups[i].dev == st.st_dev && sBackups[i].ino == st.st_ino) return i;
  return -1;
}

bool RememberBackup(const struct stat& st) {
  if (FindBackup(st) >= 0) return true;
  if (!Reserve(&sBackups, sBackupCount, &sBackupCapacity)) return false;
  sBackups[sBackupCount++] = BackupId{st.st_dev, st.st_ino};
  return true;
}

void ForgetBackup(const struct stat& st) {
  int i = FindBackup(st);
  if (i >= 0) sBackups[i] = sBackups[--sBackupCount];
}

// A new copy of |path| without "." and empty components ("./a//b/" gives
// "a/b"). An update's paths hold no ".." (IsInstallPath), so two paths name
// the same entry exactly when their normalised forms are equal (links in the
// installation aside, which then only make a clearing fail).
char* NormalizedCopy(const char* path) {
  char* out = (char*)malloc(strlen(path) + 1);
  if (!out) return nullptr;
  char* w = out;
  for (const char* part = path; *part;) {
    const char* end = strchr(part, '/');
    size_t len = end ? size_t(end - part) : strlen(part);
    if (len > 0 && !(len == 1 && part[0] == '.')) {
      if (w != out) *w++ = '/';
      memcpy(w, part, len);
      w += len;
    }
    part += len;
    if (*part == '/') ++part;
  }
  *w = '\0';
  return out;
}

// When a directory that this run created stands at |path| (a file that
// became a directory: "remove a" then "add a/b"), removes what this run
// created below it, deepest first, and then the directory, so that the file
// can take its place again. Whatever else is in there stays, so the directory
// is not empty and the restore fails, keeping the backup: nothing is lost.
void ClearCreatedDirectory(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return;
  char* dir = NormalizedCopy(path);
  if (!dir) return;
  const size_t len = strlen(dir);
  bool created = false;
  for (int i = 0; i < sCreatedCount && !created; ++i)
    created = sCreated[i].is_dir && strcmp(sCreated[i].path, dir) == 0;
  for (int i = sCreatedCount - 1; created && len > 0 && i >= 0; --i) {
    const CreatedName& c = sCreated[i];
    // A failure here shows as a directory that is not empty, below.
    if (strncmp(c.path, dir, len) == 0 && c.path[len] == '/') (void)(c.is_dir ? rmdir(c.path) : unlink(c.path));
  }
  if (created && len > 0) rmdir(dir);
  free(dir);
}

// Backups this run could not finish (restore or discard): they stay.
int sUnfinished = 0;

// ---- copying -----------------------------------------------------------------

// Opens |path| to be copied and fstats it into *st; with |regular_only|, never
// through a link, never blocking on a FIFO, and only a regular file. Logs the
// failure. The descriptor, or -1.
int OpenSource(const char* path, bool regular_only, struct stat* st) {
  int flags = O_RDONLY | (regular_only ? O_NOFOLLOW | O_NONBLOCK : 0);
  int fd = robust_open(path, flags, 0);
  bool ok = fd >= 0 && fstat(fd, st) == 0;
  if (ok && regular_only && !S_ISREG(st->st_mode)) {
    ok = false;
    errno = EINVAL;
  }
  if (ok) return fd;
  int err = errno;
  LogPrintf("copy_file: failed to open or stat: %d,%s,%d\n", fd, path, err);
  if (fd >= 0) close(fd);
  return -1;
}

// Copies |in| to |out| through one 1024-byte chunk, adding the bytes to *crc
// and *size. 0, ERR_READ or ERR_WRITE, logged.
int CopyData(int in, int out, uint32_t* crc, uint64_t* size) {
  char buf[1024];
  for (;;) {
    ssize_t n = robust_read(in, buf, sizeof(buf));
    if (n < 0) {
      LogPrintf("copy_file: failed to read: %d\n", errno);
      return ERR_READ;
    }
    if (n == 0) return 0;
    if (!write_all(out, buf, size_t(n))) {
      LogPrintf("copy_file: failed to write: %d\n", errno);
      return ERR_WRITE;
    }
    *crc = zbs_crc32_update(*crc, (const unsigned char*)buf, size_t(n));
    *size += uint64_t(n);
  }
}

// Closes |out| after a copy: the file system may report a failed write only
// here. Keeps the first error.
int CloseCopy(int out, int rc) {
  if (close(out) != 0 && rc == 0) {
    LogPrintf("copy_file: failed to write: %d\n", errno);
    rc = ERR_WRITE;
  }
  return rc;
}

// Writes a whole copy of the regular file |source| into |part|, a new file of
// our own (created exclusively, never through a link), with the source's
// permission bits exactly; *size and *crc describe the copy, *copy_st is the
// new file's. Log lines name |logged_dest|, the name the copy is for.
// *part_made tells whether |part| was created (and so must be deleted on
// failure).
int CopyToNewFile(const char* source, const char* part, const char* logged_dest, struct stat* copy_st,
                  uint64_t* size, uint32_t* crc, bool* part_made) {
  *part_made = false;
  struct stat st;
  int in = OpenSource(source, true, &st);
  if (in < 0) return ERR_READ;
  int out = robust_open(part, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  if (out < 0) {
    LogPrintf("copy_file: failed to open: %s,%d\n", logged_dest, errno);
    close(in);
    return ERR_WRITE;
  }
  *part_made = true;
  *size = 0;
  *crc = 0;
  int rc = CopyData(in, out, crc, size);
  // Set explicitly: a creation mode would lose the bits the umask holds.
  if (rc == 0 && fchmod(out, st.st_mode & 07777) != 0) {
    LogPrintf("copy_file: failed to write: %d\n", errno);
    rc = ERR_WRITE;
  }
  if (rc == 0 && fstat(out, copy_st) != 0) rc = ERR_WRITE;
  close(in);
  return CloseCopy(out, rc);
}

// Deletes the backup |name|; one that stays is counted, for the journal to
// keep it listed.
int DeleteBackup(const char* name) {
  struct stat st;
  if (lstat(name, &st) == 0) ForgetBackup(st);
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
  struct stat st;
  if (rc == 0 && lstat(path, &st) != 0) {
    // Noted before it is made: a crash right after the mkdir still finds it.
    if (errno == ENOENT) rc = backup_note_created(path, true);
    if (rc == 0 && mkdir(path, 0755) != 0 && errno != EEXIST) rc = ERR_WRITE;
  }
  *slash = '/';
  return rc;
}

int copy_file(const char* source, const char* dest) {
  int rc = ensure_parent_dir(dest);
  if (rc) return rc;
  struct stat st;
  int in = OpenSource(source, false, &st);
  if (in < 0) return ERR_READ;
  int out = robust_open(dest, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, st.st_mode & 07777);
  if (out < 0) {
    LogPrintf("copy_file: failed to open: %s,%d\n", dest, errno);
    close(in);
    return ERR_WRITE;
  }
  uint32_t crc = 0;
  uint64_t size = 0;
  rc = CopyData(in, out, &crc, &size);
  close(in);
  return CloseCopy(out, rc);
}

int backup_check_target(const char* path, bool* exists) {
  struct stat st;
  *exists = lstat(path, &st) == 0;
  if (!*exists) return errno == ENOENT || errno == ENOTDIR ? 0 : ERR_READ;
  // A FIFO would block the copy for ever, a device would be read without end;
  // a link or a directory cannot be given back as it was.
  if (!S_ISREG(st.st_mode)) return ERR_READ;

  // The backup's name is the file's name and a suffix: it must fit the
  // directory's limit on the length of a name.
  char dir[kPathBufferSize];
  const char* slash = strrchr(path, '/');
  const char* base = slash ? slash + 1 : path;
  if (slash) {
    snprintf(dir, sizeof(dir), "%.*s", int(slash - path), path);
    if (dir[0] == '\0') snprintf(dir, sizeof(dir), "/");
  } else {
    snprintf(dir, sizeof(dir), ".");
  }
  long name_max = pathconf(dir, _PC_NAME_MAX);
  if (name_max < 0) name_max = NAME_MAX;
  if (strlen(base) + strlen(kBackupSuffix) > size_t(name_max)) {
    LogPrintf("file name too long to back up: %s\n", path);
    return ERR_READ;
  }
  return 0;
}

int backup_create(const char* path, bool* made) {
  *made = false;
  char name[kPathBufferSize];
  if (!FormatPath(name, "%s%s", path, kBackupSuffix)) return ERR_WRITE;
  // Shorter than the backup name, so it fits whenever that does.
  char part[kPathBufferSize];
  FormatPath(part, "%s.zel-part", path);

  // lstat: a link planted at the backup name is no backup of ours, whatever
  // it points at (another file's backup, say).
  struct stat st;
  if (lstat(name, &st) == 0) {
    if (S_ISREG(st.st_mode) && FindBackup(st) >= 0) return 0;  // the first backup of this run stays
  } else if (errno != ENOENT) {
    return ERR_READ;  // unknown: must not overwrite what may be this run's first backup
  }

  // The order of the steps is what makes a crash at any point recoverable:
  //  1. "B path" in the journal: a part file cut short by a crash is deleted
  //     by the next run, which finds it named there;
  //  2. the copy is written whole under the part name, into a new file of our
  //     own: whatever stood there (a leftover, a planted link) is removed
  //     first, and the exclusive creation fails rather than write through
  //     anything that appears in between;
  //  3. it is renamed to the backup name, which so only ever holds whole copies;
  //  4. "R size crc path" in the journal: from now on the next run restores it.
  // The file itself is removed by the caller only after all four.
  int rc = journal_note_intent(path);
  if (rc) return rc;
  unlink(part);
  uint64_t size;
  uint32_t crc;
  bool part_made;
  rc = CopyToNewFile(path, part, name, &st, &size, &crc, &part_made);
  if (rc) {
    if (part_made) unlink(part);
    return rc;
  }
  if (rename(part, name) != 0) {
    LogPrintf("copy_file: failed to open: %s,%d\n", name, errno);
    unlink(part);
    return ERR_WRITE;
  }
  // |st| is the part file's, now the backup's: a rename keeps the inode.
  rc = RememberBackup(st) ? journal_note_backup(path, size, crc) : ERR_MEMORY;
  if (rc) {
    // Unrecorded, nobody would finish it: the file itself is still intact.
    ForgetBackup(st);
    unlink(name);
    return rc;
  }
  *made = true;
  return 0;
}

int backup_restore(const char* path) {
  char name[kPathBufferSize];
  if (!FormatPath(name, "%s%s", path, kBackupSuffix)) return ERR_WRITE;
  // The backup as it stands now, never through a link: only this run's own
  // is renamed over the file.
  struct stat st;
  int fd = OpenSource(name, true, &st);
  if (fd < 0) {
    ++sUnfinished;
    return ERR_READ;
  }
  close(fd);
  if (FindBackup(st) < 0) {
    ++sUnfinished;
    return ERR_READ;
  }
  ClearCreatedDirectory(path);
  // A rename replaces the name: a link or another file that stands at |path|
  // now is neither followed nor written into, and the mode is the backup's,
  // exactly the old file's.
  if (rename(name, path) != 0) {
    LogPrintf("copy_file: failed to open: %s,%d\n", path, errno);
    ++sUnfinished;
    return ERR_WRITE;
  }
  ForgetBackup(st);
  return 0;
}

int backup_discard(const char* path) {
  char name[kPathBufferSize];
  if (!FormatPath(name, "%s%s", path, kBackupSuffix)) return ERR_WRITE;
  return DeleteBackup(name);
}

int backup_finish(const char* path, int status) {
  return status ? backup_restore(path) : backup_discard(path);
}

int backup_note_created(const char* path, bool is_dir) {
  int rc = journal_note_created(path, is_dir);
  if (rc) return rc;
  if (!Reserve(&sCreated, sCreatedCount, &sCreatedCapacity)) return ERR_MEMORY;
  char* copy = NormalizedCopy(path);
  if (!copy) return ERR_MEMORY;
  sCreated[sCreatedCount++] = CreatedName{copy, is_dir};
  return 0;
}

int backup_identify(const char* path, const BackupIdentity& id, bool* ours) {
  *ours = false;
  char name[kPathBufferSize];
  if (!FormatPath(name, "%s%s", path, kBackupSuffix)) return 0;  // never written by us
  int fd = robust_open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0);
  // Nothing there, or a link (which we never make): not ours.
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? 0 : ERR_READ;
  struct stat st;
  int rc = fstat(fd, &st) == 0 ? 0 : ERR_READ;
  bool match = rc == 0 && S_ISREG(st.st_mode);
  if (match && id.by_inode) {
    match = uint64_t(st.st_ino) == id.ino;
  } else if (match) {
    match = uint64_t(st.st_size) == id.size;
    uint32_t crc = 0;
    uint64_t size = 0;
    unsigned char buf[65536];
    for (ssize_t n; match && (n = robust_read(fd, buf, sizeof(buf))) != 0; size += uint64_t(n)) {
      if (n < 0) {
        rc = ERR_READ;
        break;
      }
      crc = zbs_crc32_update(crc, buf, size_t(n));
    }
    match = rc == 0 && match && size == id.size && crc == id.crc;
  }
  close(fd);
  if (match && !RememberBackup(st)) return ERR_MEMORY;
  *ours = match;
  return rc;
}

int backup_unfinished() { return sUnfinished; }

void backup_reset_run() {
  sBackupCount = 0;
  sUnfinished = 0;
  for (int i = 0; i < sCreatedCount; ++i) free(sCreated[i].path);
  sCreatedCount = 0;
}
