#include "journal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/zar_format.h"
#include "errors.h"
#include "file_util.h"
#include "fileio.h"
#include "filesystems.h"
#include "log.h"
#include "patch/binary_patch.h"
#include "paths.h"

namespace {

// Version 2 names backups by content (size and CRC-32) and lists created
// names. A journal of version 1 comes from an older updater that crashed
// before this one was installed; it is recovered by what it recorded: its
// backups by inode (the device number, which a remount changes, is not
// compared), its archive by size and time alone, and it lists no created
// names.
const char kMagic[] = "zel-journal 2";
const char kMagicV1[] = "zel-journal 1";

int sJournalFd = -1;
// Bytes written to the open journal.
off_t sJournalSize = 0;
// This run's first lines, composed by journal_plan and written by journal_begin.
char* sPlanned = nullptr;
size_t sPlannedSize = 0;
// This run recorded COMMIT.
bool sCommitted = false;
// This run began a journal or found one: what it did is worth a synced status.
bool sUsed = false;
// A committed journal waits for the run's outcome to be recorded.
bool sReleasePending = false;

bool JournalPath(char (&buf)[kPathBufferSize]) { return FormatPath(buf, "%s/update.journal", gSourcePath); }

// The identity of the update directory's archive; *absent when there is none.
int ArchiveIdentityOfPath(char (&out)[kArchiveIdentitySize], bool* absent) {
  *absent = false;
  char path[kPathBufferSize];
  if (!FormatPath(path, "%s/update.zar", gSourcePath)) return ERR_READ;
  int fd = robust_open(path, O_RDONLY, 0);
  if (fd < 0) {
    *absent = errno == ENOENT;
    return *absent ? 0 : ERR_READ;
  }
  int rc = archive_identity(fd, out);
  close(fd);
  return rc;
}

// Appends |n| bytes of whole lines with one write, so a crash leaves at most
// the last line cut short; with |synced|, they are on disk when it returns.
int Append(const char* text, size_t n, bool synced) {
  if (sJournalFd < 0) return 0;
  if (!write_all(sJournalFd, text, n)) return ERR_WRITE;
  sJournalSize += off_t(n);
  return synced && !sync_data(sJournalFd) ? ERR_WRITE : 0;
}

// Formats one line into |line|: its length, or -1 when it does not fit.
int FormatLine(char (&line)[kPathBufferSize + 128], const char* format, va_list ap) {
  int n = vsnprintf(line, sizeof(line), format, ap);
  return n >= 0 && n < int(sizeof(line)) ? n : -1;
}

// A line of what was not planned (file_util.h, rule 5), on disk before the
// change it announces is made.
int AppendSynced(const char* format, ...) __attribute__((format(printf, 1, 2)));
int AppendSynced(const char* format, ...) {
  char line[kPathBufferSize + 128];
  va_list ap;
  va_start(ap, format);
  int n = FormatLine(line, format, ap);
  va_end(ap);
  return n < 0 ? ERR_WRITE : Append(line, size_t(n), true);
}

// Appends |format|'s line to the growing buffer *text of *size bytes (of
// *capacity). False when out of memory or the line does not fit.
bool AddText(char** text, size_t* size, size_t* capacity, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
bool AddText(char** text, size_t* size, size_t* capacity, const char* format, ...) {
  char line[kPathBufferSize + 128];
  va_list ap;
  va_start(ap, format);
  int n = FormatLine(line, format, ap);
  va_end(ap);
  if (n < 0) return false;
  if (*size + size_t(n) + 1 > *capacity) {
    size_t grown_capacity = (*capacity + size_t(n) + 1) * 2;
    char* grown = (char*)realloc(*text, grown_capacity);
    if (!grown) return false;
    *text = grown;
    *capacity = grown_capacity;
  }
  memcpy(*text + *size, line, size_t(n) + 1);
  *size += size_t(n);
  return true;
}

// A backup line: "R size crc path", or "R dev ino path" in version 1.
bool ParseBackupLine(char* line, bool v1, BackupIdentity* id, char** path) {
  char* end;
  if (strncmp(line, "R ", 2) != 0) return false;
  uintmax_t first = strtoumax(line + 2, &end, 10);
  if (*end != ' ') return false;
  uintmax_t second = strtoumax(end + 1, &end, v1 ? 10 : 16);
  if (*end != ' ' || !end[1]) return false;
  *path = end + 1;
  *id = v1 ? BackupIdentity{0, 0, true, second} : BackupIdentity{first, uint32_t(second), false, 0};
  return true;
}

// Restores (before COMMIT) or deletes (after) the backup |path|'s line names,
// if it is still that backup. A committed run's backup that cannot be looked
// at or deleted sets *unfinished and is no failure: the installation is whole
// either way, and the journal keeps it listed.
int RecoverBackup(char* path, const BackupIdentity& id, bool committed, bool* unfinished) {
  bool ours;
  int rc = backup_identify(path, id, &ours);
  if (rc) {
    if (!committed) return rc;  // not proven either way: the journal must stay
    *unfinished = true;
    return 0;
  }
  // Skipping is safe: nothing stands at the backup name (a rename already
  // put it back, or it was deleted), or what stands there is provably not the
  // copy this journal lists (a link, another size or CRC-32): restoring that
  // would put foreign bytes over the file.
  if (!ours) return 0;
  if (committed) {
    LogPrintf("RECOVER DISCARD %s\n", path);
    if (backup_discard(path) != 0) *unfinished = true;
    return 0;
  }
  // A restore is synced before the journal goes: when its file system cannot
  // be found for that, the run fails and the journal stays.
  const int noted = fs_note(path);
  LogPrintf("RECOVER RESTORE %s\n", path);
  rc = backup_restore(path);
  return rc ? rc : noted;
}

// The staged patch files of the interrupted run. Skipping any is safe: a
// patch file is only ever read by the run that staged it, and the next
// Prepare replaces it.
void RemoveStagedPatches(const char* line) {
  char* end;
  long count = strtol(line, &end, 10);
  // Far more patches than any update holds: not a count this code wrote.
  if (*end != '\0' || count > (1L << 20)) return;
  for (long i = 0; i < count; ++i) {
    char name[kPathBufferSize];
    if (FormatPath(name, "%s/%d.patch", gSourcePath, int(i))) unlink(name);
  }
}

// The next NUL-terminated line of the journal text, or null at |end|.
char* NextLine(char* line, const char* end) {
  line += strlen(line) + 1;
  return line < end ? line : nullptr;
}

// Acts on a journal whose lines (after the header) run from |first| to |end|,
// each NUL-terminated. *same_archive tells whether a committed journal is
// this archive's; *unfinished whether a committed backup stays.
int RecoverLines(char* first, const char* end, bool v1, bool* committed, bool* same_archive, bool* unfinished) {
  // First pass: every line must be one this code writes, since skipping an
  // unknown one might skip a backup; and the names the run created must be
  // known before any restore needs to clear them.
  const char* archive = nullptr;
  for (char* line = first; line; line = NextLine(line, end)) {
    BackupIdentity id;
    char* path;
    if (strcmp(line, "COMMIT") == 0) {
      *committed = true;
    } else if (strncmp(line, "archive ", 8) == 0) {
      archive = line;
    } else if (!v1 && (strncmp(line, "D ", 2) == 0 || strncmp(line, "A ", 2) == 0)) {
      int rc = backup_note_created(line + 2, line[0] == 'D');
      if (rc) return rc;
    } else if (strncmp(line, "B ", 2) != 0 && strncmp(line, "staged ", 7) != 0 &&
               !ParseBackupLine(line, v1, &id, &path)) {
      return ERR_DATA;
    }
  }
  if (*committed && archive) {
    char identity[kArchiveIdentitySize];
    bool absent;
    int rc = ArchiveIdentityOfPath(identity, &absent);
    if (rc) return rc;  // unknown: taking it for another archive would apply it twice
    // Version 1 recorded the identity without its last field, the CRC-32.
    if (v1 && !absent) *strrchr(identity, ' ') = '\0';
    *same_archive = !absent && strcmp(archive, identity) == 0;
  }

  // A restore that fails stops no other: each backup is put back that can
  // be, and the first failure is the result.
  int rc = 0;
  for (char* line = first; line; line = NextLine(line, end)) {
    BackupIdentity id;
    char* path;
    if (ParseBackupLine(line, v1, &id, &path)) {
      int rc2 = RecoverBackup(path, id, *committed, unfinished);
      if (rc == 0) rc = rc2;
    } else if (strncmp(line, "B ", 2) == 0) {
      // A part file is never restored and its name is reserved: deleting
      // it is always right, and one left behind harms nothing (the next
      // backup of the file removes it). A name that does not fit was never
      // written.
      char part[kPathBufferSize];
      if (FormatPath(part, "%s.zel-part", line + 2)) unlink(part);
    } else if (strncmp(line, "staged ", 7) == 0) {
      RemoveStagedPatches(line + 7);
    }
  }
  return rc;
}

void ReleaseAtExit() { journal_release(true); }

// From here on the journal is deleted only once the outcome is recorded: a
// crash before that must still find the update applied.
void HoldUntilRecorded() {
  static bool registered = false;
  if (!registered) registered = atexit(ReleaseAtExit) == 0;
  sReleasePending = true;
}

}  // namespace

int archive_identity(int fd, char (&out)[kArchiveIdentitySize]) {
  struct stat st;
  if (fstat(fd, &st) != 0) return ERR_READ;
  const uint64_t file_size = uint64_t(st.st_size);
  unsigned char buf[65536];
  const size_t head = file_size < kZarHeaderSize ? size_t(file_size) : kZarHeaderSize;
  if (!pread_all(fd, buf, head, 0)) return ERR_READ;
  uint32_t crc = zbs_crc32_update(0, buf, head);
  if (head == kZarHeaderSize) {
    // The index: its size field and its entries, as far as the file holds them.
    uint64_t pos = zar_get_be32(buf + 4);
    if (pos + 4 <= file_size) {
      if (!pread_all(fd, buf, 4, off_t(pos))) return ERR_READ;
      crc = zbs_crc32_update(crc, buf, 4);
      uint64_t end = pos + 4 + zar_get_be32(buf);
      if (end > file_size) end = file_size;
      for (pos += 4; pos < end;) {
        size_t n = end - pos < sizeof(buf) ? size_t(end - pos) : sizeof(buf);
        if (!pread_all(fd, buf, n, off_t(pos))) return ERR_READ;
        crc = zbs_crc32_update(crc, buf, n);
        pos += n;
      }
    }
  }
  snprintf(out, sizeof(out), "archive %" PRIuMAX " %" PRIdMAX ".%09ld %08" PRIx32, uintmax_t(file_size),
           intmax_t(st.st_mtim.tv_sec), long(st.st_mtim.tv_nsec), crc);
  return 0;
}

int journal_recover(bool* applied) {
  *applied = false;
  char path[kPathBufferSize];
  // A journal name that does not fit was never written (journal_begin forms
  // the same name), and no journal means that the run before completed.
  if (!JournalPath(path)) return 0;
  int fd = robust_open(path, O_RDONLY, 0);
  if (fd < 0) return errno == ENOENT ? 0 : ERR_READ;
  char* text = nullptr;
  size_t length = 0;
  int rc = read_whole(fd, &text, &length);
  close(fd);
  // Read in part, it would look shorter than it is, and backups it lists
  // would be left unrestored: it stays for a later run.
  if (rc) return rc == ERR_DATA ? ERR_READ : rc;

  // A line cut short by the crash was never acted upon: drop it. A NUL byte
  // in a whole line is no text this code wrote: the lines after it must not
  // go unread (ERR_DATA below).
  char* last_nl = (char*)memrchr(text, '\n', length);
  char* end = last_nl ? last_nl + 1 : text;
  const bool has_nul = memchr(text, '\0', size_t(end - text)) != nullptr;
  *end = '\0';
  for (char* p = text; p < end; ++p)
    if (*p == '\n') *p = '\0';

  bool committed = false, same_archive = false, unfinished = false;
  // The first lines are written with one write, and synced, before the first
  // change: a journal without a whole header saw none, and is deleted.
  if (end > text) {
    const bool v1 = strcmp(text, kMagicV1) == 0;
    if (has_nul || (!v1 && strcmp(text, kMagic) != 0)) {
      rc = ERR_DATA;  // not a journal this code can read: kept, never guessed at
    } else {
      char* first = NextLine(text, end);
      if (first) rc = RecoverLines(first, end, v1, &committed, &same_archive, &unfinished);
    }
  }
  free(text);
  sUsed = true;
  *applied = rc == 0 && committed && same_archive;
  // What was put back or deleted is on disk before the journal that lists it
  // goes; an applied update's journal stays until its outcome is recorded.
  if (rc == 0 && !*applied) rc = fs_sync();
  backup_reset_run();
  if (rc) return rc;
  if (*applied) {
    // Kept: until this run records "succeeded", another crash must find the
    // update applied again; a backup left undeleted keeps it for good.
    LogPrintf("RECOVER UPDATE ALREADY APPLIED\n");
    if (!unfinished) HoldUntilRecorded();
    return 0;
  }
  if (unlink(path) != 0 && errno != ENOENT) return ERR_WRITE;
  return 0;
}

int journal_plan(int archive_fd, int staged_patches) {
  // The identity of the bytes being applied, from the descriptor they are
  // read through: the name may meanwhile stand for another file.
  char identity[kArchiveIdentitySize];
  int rc = archive_identity(archive_fd, identity);
  if (rc) return rc;
  free(sPlanned);
  sPlanned = nullptr;
  sPlannedSize = 0;
  size_t capacity = 0;
  bool ok = AddText(&sPlanned, &sPlannedSize, &capacity, "%s\n%s\nstaged %d\n", kMagic, identity, staged_patches);
  PlanLine p;
  for (int i = 0; ok && backup_plan_line(i, &p); ++i) {
    if (p.kind == 'R')
      ok = AddText(&sPlanned, &sPlannedSize, &capacity, "R %" PRIu64 " %08" PRIx32 " %s\n", p.size, p.crc, p.path);
    else if (p.kind)
      ok = AddText(&sPlanned, &sPlannedSize, &capacity, "%c %s\n", p.kind, p.path);
  }
  if (!ok) return ERR_MEMORY;
  // Its own room, with COMMIT's, and the status file's.
  char path[kPathBufferSize];
  if (!JournalPath(path)) return ERR_WRITE;
  rc = fs_plan_bytes(path, sPlannedSize + strlen("COMMIT\n"));
  if (rc == 0 && FormatPath(path, "%s/update.status", gSourcePath)) rc = fs_plan_bytes(path, 1);
  return rc;
}

int journal_begin() {
  char path[kPathBufferSize];
  if (!JournalPath(path) || !sPlanned) return ERR_WRITE;
  sJournalFd = robust_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW, 0644);
  if (sJournalFd < 0) return ERR_WRITE;
  sJournalSize = 0;
  sCommitted = false;
  sUsed = true;
  // Every line Execute needs, with one write and one sync, and the new name
  // in the update directory: nothing in Execute writes the journal again.
  int rc = Append(sPlanned, sPlannedSize, true);
  if (rc == 0 && !sync_directory(gSourcePath)) rc = ERR_WRITE;
  free(sPlanned);
  sPlanned = nullptr;
  if (rc) {
    // Nothing has changed yet.
    close(sJournalFd);
    sJournalFd = -1;
    unlink(path);
  }
  return rc;
}

int journal_note_backup(const char* path, uint64_t size, uint32_t crc) {
  return AppendSynced("R %" PRIu64 " %08" PRIx32 " %s\n", size, crc, path);
}

int journal_note_created(const char* path, bool is_dir) { return AppendSynced("%c %s\n", is_dir ? 'D' : 'A', path); }

int journal_commit() {
  if (sJournalFd < 0) return 0;
  const off_t before = sJournalSize;
  static const char kCommit[] = "COMMIT\n";
  // A failed write leaves at most a line cut short, which recovery ignores.
  if (!write_all(sJournalFd, kCommit, strlen(kCommit))) return ERR_WRITE;
  if (sync_data(sJournalFd)) {
    sCommitted = true;
    return 0;
  }
  // The line may reach the disk later, or be read from memory by the next
  // run: taken back, so that a rollback is not then taken for an applied
  // update. When even that cannot be made sure of, nothing is rolled back or
  // finished: the next run decides from what the disk holds.
  if (ftruncate(sJournalFd, before) != 0 || !sync_data(sJournalFd)) backup_hold();
  return ERR_WRITE;
}

void journal_end(bool keep) {
  if (sJournalFd < 0) return;
  close(sJournalFd);
  sJournalFd = -1;
  if (keep) return;
  if (sCommitted) {
    HoldUntilRecorded();
    return;
  }
  // The restores are on disk before the journal that would redo them goes.
  char path[kPathBufferSize];
  if (fs_sync() == 0 && JournalPath(path)) unlink(path);
}

bool journal_used() { return sUsed; }

void journal_release(bool recorded) {
  if (!sReleasePending) return;
  sReleasePending = false;
  char path[kPathBufferSize];
  if (recorded && JournalPath(path)) unlink(path);
}
