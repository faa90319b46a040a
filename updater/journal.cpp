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

#include "errors.h"
#include "file_util.h"
#include "fileio.h"
#include "log.h"
#include "paths.h"

namespace {

const char kMagic[] = "zel-journal 1";

int sJournalFd = -1;
// This run recorded COMMIT.
bool sCommitted = false;
// A committed journal waits for the run's outcome to be recorded.
bool sReleasePending = false;

bool JournalPath(char (&buf)[kPathBufferSize]) { return FormatPath(buf, "%s/update.journal", gSourcePath); }

// The archive's identity: its size and modification time.
bool ArchiveIdentity(char* out, size_t size) {
  char path[kPathBufferSize];
  struct stat st;
  if (!FormatPath(path, "%s/update.zar", gSourcePath) || stat(path, &st) != 0) return false;
  snprintf(out, size, "archive %" PRIdMAX " %" PRIdMAX ".%09ld", intmax_t(st.st_size), intmax_t(st.st_mtim.tv_sec),
           st.st_mtim.tv_nsec);
  return true;
}

// Appends one whole line with one write, so a crash leaves at most the last
// line cut short.
int AppendLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
int AppendLine(const char* format, ...) {
  if (sJournalFd < 0) return 0;
  char line[kPathBufferSize + 128];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line, sizeof(line), format, ap);
  va_end(ap);
  if (n < 0 || n >= int(sizeof(line))) return ERR_WRITE;
  return write_all(sJournalFd, line, size_t(n)) ? 0 : ERR_WRITE;
}

// One line of a journal, as recorded by journal_note_backup.
struct BackupLine {
  uintmax_t dev, ino;
  char* path;
};

bool ParseBackupLine(char* line, BackupLine* out) {
  char* end;
  if (strncmp(line, "R ", 2) != 0) return false;
  out->dev = strtoumax(line + 2, &end, 10);
  if (*end != ' ') return false;
  out->ino = strtoumax(end + 1, &end, 10);
  if (*end != ' ' || !end[1]) return false;
  out->path = end + 1;
  return true;
}

// Restores or deletes the backup of one line, if it is still the file the
// journal names. A backup of a committed run that cannot be deleted sets
// *unfinished and is no failure: the installation is whole either way.
int RecoverBackup(const BackupLine& b, bool committed, bool* unfinished) {
  char name[kPathBufferSize];
  if (!FormatPath(name, "%s.zel-backup", b.path)) return 0;
  struct stat st;
  if (stat(name, &st) != 0) {
    if (errno == ENOENT) return 0;
    if (!committed) return ERR_READ;
    *unfinished = true;  // whether it is still there is unknown: keep it listed
    return 0;
  }
  if (uintmax_t(st.st_dev) != b.dev || uintmax_t(st.st_ino) != b.ino) return 0;
  if (committed) {
    LogPrintf("RECOVER DISCARD %s\n", b.path);
    if (remove(name) != 0) *unfinished = true;
    return 0;
  }
  LogPrintf("RECOVER RESTORE %s\n", b.path);
  return backup_restore(b.path);
}

// The staged patch files of the interrupted run: a run that finds its update
// applied stages none of its own that would replace them.
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

void ReleaseAtExit() { journal_release(true); }

// From here on the journal is deleted only once the outcome is recorded: a
// crash before that must still find the update applied.
void HoldUntilRecorded() {
  static bool registered = false;
  if (!registered) registered = atexit(ReleaseAtExit) == 0;
  sReleasePending = true;
}

}  // namespace

int journal_recover(bool* applied) {
  *applied = false;
  char path[kPathBufferSize];
  if (!JournalPath(path)) return 0;
  int fd = robust_open(path, O_RDONLY, 0);
  if (fd < 0) return errno == ENOENT ? 0 : ERR_READ;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return ERR_READ;
  }
  char* text = (char*)malloc(size_t(st.st_size) + 1);
  if (!text) {
    close(fd);
    return ERR_MEMORY;
  }
  size_t done = 0;
  while (done < size_t(st.st_size)) {
    ssize_t n = robust_read(fd, text + done, size_t(st.st_size) - done);
    if (n <= 0) break;
    done += size_t(n);
  }
  close(fd);
  text[done] = '\0';
  // A line cut short by the crash was never acted upon: drop it.
  char* last_nl = strrchr(text, '\n');
  if (last_nl) last_nl[1] = '\0';
  else text[0] = '\0';

  // Only a journal whose header was written can have seen a change.
  int rc = 0;
  bool committed = false, same_archive = false, unfinished = false;
  char identity[128];
  const bool have_identity = ArchiveIdentity(identity, sizeof(identity));
  char* cursor = text;
  char* line = strsep(&cursor, "\n");
  if (line && strcmp(line, kMagic) == 0 && cursor) {
    // Every line after the header is preceded by the NUL strsep left.
    committed = strstr(cursor, "\nCOMMIT\n") || strncmp(cursor, "COMMIT\n", 7) == 0;
    if (have_identity) {
      char needle[132];
      snprintf(needle, sizeof(needle), "%s\n", identity);
      same_archive = strncmp(cursor, needle, strlen(needle)) == 0;
    }
    // A restore that fails stops no other: each backup is put back that can
    // be, and the first failure is the result.
    while ((line = strsep(&cursor, "\n")) && *line) {
      BackupLine b;
      if (ParseBackupLine(line, &b)) {
        int rc2 = RecoverBackup(b, committed, &unfinished);
        if (rc == 0) rc = rc2;
      } else if (strncmp(line, "B ", 2) == 0) {
        char part[kPathBufferSize];
        if (FormatPath(part, "%s.zel-part", line + 2)) unlink(part);
      } else if (strncmp(line, "staged ", 7) == 0) {
        RemoveStagedPatches(line + 7);
      }
    }
  }
  free(text);
  if (rc) return rc;
  *applied = committed && same_archive;
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

int journal_begin(int staged_patches) {
  char path[kPathBufferSize];
  if (!JournalPath(path)) return ERR_WRITE;
  sJournalFd = robust_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW, 0644);
  if (sJournalFd < 0) return ERR_WRITE;
  char identity[128];
  if (!ArchiveIdentity(identity, sizeof(identity))) snprintf(identity, sizeof(identity), "archive unknown");
  sCommitted = false;
  int rc = AppendLine("%s\n%s\nstaged %d\n", kMagic, identity, staged_patches);
  if (rc) journal_end(false);
  return rc;
}

int journal_note_intent(const char* path) { return AppendLine("B %s\n", path); }

int journal_note_backup(const char* path, dev_t dev, ino_t ino) {
  return AppendLine("R %ju %ju %s\n", uintmax_t(dev), uintmax_t(ino), path);
}

int journal_commit() {
  int rc = AppendLine("COMMIT\n");
  sCommitted = rc == 0 && sJournalFd >= 0;
  return rc;
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
  char path[kPathBufferSize];
  if (JournalPath(path)) unlink(path);
}

void journal_release(bool recorded) {
  if (!sReleasePending) return;
  sReleasePending = false;
  char path[kPathBufferSize];
  if (recorded && JournalPath(path)) unlink(path);
}
