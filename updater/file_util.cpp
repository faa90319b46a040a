#include "file_util.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "arrays.h"
#include "errors.h"
#include "fileio.h"
#include "filesystems.h"
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

// What Prepare planned (rule 5), in the order planned, and the names created
// that were not planned: backups ('R'), with the identity of the file each
// will hold, and directories ('D') and files ('A') created where nothing
// stood. Walking the list backwards meets the deepest created names first.
struct Planned {
  char* path;  // normalised: no "." or empty components
  char kind;
  bool identified;  // 'R': the file was read, and size and crc are its identity
  uint64_t size;
  uint32_t crc;
  struct stat st;  // 'R': the file as it was identified, to know it again in Execute
};
Planned* sPlan = nullptr;
int sPlanCount = 0;
int sPlanCapacity = 0;

int FindBackup(const struct stat& st) {
  for (int i = 0; i < sBackupCount; ++i)
    if (sBackups[i].dev == st.st_dev && sBackups[i].ino == st.st_ino) return i;
  return -1;
}

bool RememberBackup(const struct stat& st) {
  if (FindBackup(st) >= 0) return true;
  if (!GrowToFit(&sBackups, sBackupCount, &sBackupCapacity)) return false;
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

// The plan indexed by kind and path, for updates of many thousand files:
// open addressing over a table of a power of two slots, at most half full,
// each slot an index into sPlan or -1.
int* sPlanIndex = nullptr;
uint32_t sPlanIndexSize = 0;

uint32_t HashPlanned(const char* path, char kind) {
  uint32_t h = 2166136261u ^ uint8_t(kind);
  for (const char* p = path; *p; ++p) h = (h ^ uint8_t(*p)) * 16777619u;
  return h;
}

// The slot of the entry of |kind| for |path|, or the empty slot it would take.
uint32_t SlotOf(const char* path, char kind) {
  uint32_t slot = HashPlanned(path, kind) & (sPlanIndexSize - 1);
  while (sPlanIndex[slot] >= 0 && (sPlan[sPlanIndex[slot]].kind != kind || strcmp(sPlan[sPlanIndex[slot]].path, path) != 0))
    slot = (slot + 1) & (sPlanIndexSize - 1);
  return slot;
}

// The plan's entry of |kind| for the normalised |path|, or -1.
int FindPlanned(const char* path, char kind) { return sPlanIndexSize ? sPlanIndex[SlotOf(path, kind)] : -1; }

// Indexes sPlan's last entry, growing the table first when it would be more
// than half full. False when out of memory.
bool IndexLastPlanned() {
  if (uint32_t(sPlanCount) * 2 > sPlanIndexSize) {
    const uint32_t size = sPlanIndexSize ? sPlanIndexSize * 2 : 64;
    int* grown = (int*)malloc(sizeof(int) * size);
    if (!grown) return false;
    free(sPlanIndex);
    sPlanIndex = grown;
    sPlanIndexSize = size;
    memset(sPlanIndex, 0xff, sizeof(int) * size);
    for (int i = 0; i < sPlanCount - 1; ++i) sPlanIndex[SlotOf(sPlan[i].path, sPlan[i].kind)] = i;
  }
  sPlanIndex[SlotOf(sPlan[sPlanCount - 1].path, sPlan[sPlanCount - 1].kind)] = sPlanCount - 1;
  return true;
}

// Adds |entry| (its path a normalised copy, owned from now on) to the plan,
// unless an entry of its kind for its path is there. 0 or ERR_MEMORY.
int AddPlanned(const Planned& entry) {
  if (FindPlanned(entry.path, entry.kind) >= 0) {
    free(entry.path);
    return 0;
  }
  if (!GrowToFit(&sPlan, sPlanCount, &sPlanCapacity)) {
    free(entry.path);
    return ERR_MEMORY;
  }
  sPlan[sPlanCount++] = entry;
  if (IndexLastPlanned()) return 0;
  free(sPlan[--sPlanCount].path);
  return ERR_MEMORY;
}

// When a directory that this run created stands at |path| (a file that
// became a directory: "remove a" then "add a/b"), removes what this run
// created below it, deepest first, and then the directory, so that the file
// can take its place again. Whatever else is in there stays, so the directory
// is not empty and the restore fails, keeping the backup: nothing is lost.
// What was planned but never made is not there to remove, or is not this
// run's to remove only if it appeared from elsewhere during the run.
void ClearCreatedDirectory(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return;
  char* dir = NormalizedCopy(path);
  if (!dir) return;
  const size_t len = strlen(dir);
  const bool created = len > 0 && FindPlanned(dir, 'D') >= 0;
  for (int i = sPlanCount - 1; created && i >= 0; --i) {
    const Planned& c = sPlan[i];
    // A failure here shows as a directory that is not empty, below.
    if (c.kind != 'R' && strncmp(c.path, dir, len) == 0 && c.path[len] == '/')
      (void)(c.kind == 'D' ? rmdir(c.path) : unlink(c.path));
  }
  if (created) rmdir(dir);
  free(dir);
}

// Backups this run could not finish (restore or discard): they stay.
int sUnfinished = 0;

// ---- reading a file or a backup ---------------------------------------------

// Opens the regular file |path| to be read, never through a link and never
// blocking on a FIFO, and fstats it into *st. Logs the failure with the
// "copy_file:" prefix that backups have always been logged with. The
// descriptor, or -1.
int OpenSource(const char* path, struct stat* st) {
  int fd = robust_open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0);
  bool ok = fd >= 0 && fstat(fd, st) == 0;
  if (ok && !S_ISREG(st->st_mode)) {
    ok = false;
    errno = EINVAL;
  }
  if (ok) return fd;
  int err = errno;
  LogPrintf("copy_file: failed to open or stat: %d,%s,%d\n", fd, path, err);
  if (fd >= 0) close(fd);
  return -1;
}

// Reads the rest of the open file |fd|, its size and CRC-32 into *size and
// *crc: the identity a journal gives a backup. False when a read fails.
bool ReadIdentity(int fd, uint64_t* size, uint32_t* crc) {
  unsigned char buf[65536];
  *size = 0;
  *crc = 0;
  for (ssize_t n; (n = robust_read(fd, buf, sizeof(buf))) != 0; *size += uint64_t(n)) {
    if (n < 0) return false;
    *crc = zbs_crc32_update(*crc, buf, size_t(n));
  }
  return true;
}

// True when |a| and |b| are one file, unchanged in between.
bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The file at |path|, about to be backed up, with a journal line naming its
// identity on disk: the planned one when it is still that file (*st is set
// from lstat), else read now and journaled with a sync. 0, or ERR_READ /
// ERR_WRITE, logged as a copy's.
int IdentifyForBackup(const char* path, int planned, struct stat* st) {
  if (planned >= 0 && sPlan[planned].identified && lstat(path, st) == 0 && SameFile(*st, sPlan[planned].st))
    return 0;
  int in = OpenSource(path, st);
  if (in < 0) return ERR_READ;
  uint64_t size;
  uint32_t crc;
  int rc = 0;
  if (!ReadIdentity(in, &size, &crc)) {
    LogPrintf("copy_file: failed to read: %d\n", errno);
    rc = ERR_READ;
  }
  close(in);
  if (rc == 0) rc = fs_note(path);
  return rc ? rc : journal_note_backup(path, size, crc);
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

int backup_check_target(const char* path, bool* exists) {
  struct stat st;
  *exists = lstat(path, &st) == 0;
  if (!*exists) return errno == ENOENT || errno == ENOTDIR ? 0 : ERR_READ;
  // A FIFO would block the read for ever, a device would be read without end;
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

int backup_plan_replace(const char* path, const BackupIdentity* known, const struct stat* st) {
  Planned entry = {NormalizedCopy(path), 'R', false, 0, 0, {}};
  if (!entry.path) return ERR_MEMORY;
  if (FindPlanned(entry.path, 'R') >= 0) {
    // An earlier action backs it up, and may take it away: this one may
    // create it anew.
    free(entry.path);
    return backup_plan_create(path);
  }
  if (known) {
    entry.identified = true;
    entry.size = known->size;
    entry.crc = known->crc;
    entry.st = *st;
  } else {
    // Unreadable now, it is left unidentified: Execute opens it again, and
    // fails the backup then if it still cannot be read.
    int fd = robust_open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0);
    entry.identified = fd >= 0 && fstat(fd, &entry.st) == 0 && S_ISREG(entry.st.st_mode) &&
                       ReadIdentity(fd, &entry.size, &entry.crc);
    if (fd >= 0) close(fd);
  }
  int rc = fs_note(path);
  if (rc) {
    free(entry.path);
    return rc;
  }
  return AddPlanned(entry);
}

int backup_plan_create(const char* path) {
  char* norm = NormalizedCopy(path);
  if (!norm) return ERR_MEMORY;
  int rc = 0;
  // Each directory above it that is not one now will be made (or, where a
  // file stands that an earlier action removes, made in its place).
  for (char* slash = strchr(norm, '/'); slash && rc == 0; slash = strchr(slash + 1, '/')) {
    *slash = '\0';
    struct stat st;
    if (FindPlanned(norm, 'D') < 0 && (stat(norm, &st) != 0 || !S_ISDIR(st.st_mode))) {
      char* dir = strdup(norm);
      rc = dir ? AddPlanned(Planned{dir, 'D', false, 0, 0, {}}) : ERR_MEMORY;
      if (rc == 0) rc = fs_plan_directory(norm);
    }
    *slash = '/';
  }
  if (rc) {
    free(norm);
    return rc;
  }
  return AddPlanned(Planned{norm, 'A', false, 0, 0, {}});
}

bool backup_plan_line(int index, PlanLine* out) {
  if (index >= sPlanCount) return false;
  const Planned& p = sPlan[index];
  // A backup of a file that could not be read is journaled when it is made.
  out->kind = p.kind == 'R' && !p.identified ? '\0' : p.kind;
  out->path = p.path;
  out->size = p.size;
  out->crc = p.crc;
  return true;
}

int backup_create(const char* path, bool* made) {
  *made = false;
  char name[kPathBufferSize];
  if (!FormatPath(name, "%s%s", path, kBackupSuffix)) return ERR_WRITE;

  // lstat: a link planted at the backup name is no backup of ours, whatever
  // it points at (another file's backup, say).
  struct stat st;
  if (lstat(name, &st) == 0) {
    if (S_ISREG(st.st_mode) && FindBackup(st) >= 0) return 0;  // the first backup of this run stays
  } else if (errno != ENOENT) {
    return ERR_READ;  // unknown: must not overwrite what may be this run's first backup
  }
  char* norm = NormalizedCopy(path);
  if (!norm) return ERR_MEMORY;
  const int planned = FindPlanned(norm, 'R');
  // Created by this run where nothing stood: a rollback keeps such a file,
  // so it needs no backup.
  const bool ours = planned < 0 && FindPlanned(norm, 'A') >= 0;
  free(norm);
  if (ours) return 0;

  // The journal names the file's identity before it moves (rule 5); then one
  // rename makes it the backup, whole, and whatever stood at the backup name
  // (a leftover, a planted link) is replaced, never written through.
  int rc = IdentifyForBackup(path, planned, &st);
  if (rc) return rc;
  if (!RememberBackup(st)) return ERR_MEMORY;
  if (rename(path, name) != 0) {
    LogPrintf("copy_file: failed to open: %s,%d\n", name, errno);
    ForgetBackup(st);
    return ERR_WRITE;
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
  int fd = OpenSource(name, &st);
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
  // Still remembered: a hard link of the file, backed up by another action,
  // is this same inode, and its backup is restored after this one.
  return 0;
}

int backup_discard(const char* path) {
  char name[kPathBufferSize];
  if (!FormatPath(name, "%s%s", path, kBackupSuffix)) return ERR_WRITE;
  return DeleteBackup(name);
}

// Set once whether this run committed is not known: backups are left alone.
bool sHold = false;

int backup_finish(const char* path, int status) {
  if (sHold) {
    ++sUnfinished;
    return ERR_WRITE;
  }
  return status ? backup_restore(path) : backup_discard(path);
}

void backup_hold() { sHold = true; }

int backup_note_created(const char* path, bool is_dir) {
  char* norm = NormalizedCopy(path);
  if (!norm) return ERR_MEMORY;
  const char kind = is_dir ? 'D' : 'A';
  if (FindPlanned(norm, kind) >= 0) {
    free(norm);
    return 0;
  }
  int rc = journal_note_created(path, is_dir);
  if (rc == 0) rc = fs_note(path);
  if (rc) {
    free(norm);
    return rc;
  }
  return AddPlanned(Planned{norm, kind, false, 0, 0, {}});
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
  } else if (match && uint64_t(st.st_size) == id.size) {
    uint64_t size;
    uint32_t crc;
    if (!ReadIdentity(fd, &size, &crc)) rc = ERR_READ;
    match = rc == 0 && size == id.size && crc == id.crc;
  } else {
    match = false;
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
  sHold = false;
  for (int i = 0; i < sPlanCount; ++i) free(sPlan[i].path);
  sPlanCount = 0;
  if (sPlanIndexSize) memset(sPlanIndex, 0xff, sizeof(int) * sPlanIndexSize);
  fs_reset();
}
