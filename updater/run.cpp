// The run sequence's pieces below main: waiting for the application, the lock
// that keeps one run at a time, the worker's body, the status file and the
// callback launch.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive_reader.h"
#include "errors.h"
#include "fileio.h"
#include "journal.h"
#include "log.h"
#include "manifest.h"
#include "paths.h"
#include "run.h"
#include "signature.h"
#include "ui/launchchild.h"
#include "ui/progressui.h"

const char* gSourcePath = nullptr;

namespace {

// True when |pid| names no process any more, or only a zombie waiting for its
// parent to collect it.
bool HasEnded(pid_t pid) {
  if (kill(pid, 0) != 0 && errno == ESRCH) return true;
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", int(pid));
  FILE* fp = fopen(path, "re");
  if (!fp) return false;
  char buf[512];
  size_t n = fread(buf, 1, sizeof(buf) - 1, fp);
  fclose(fp);
  buf[n] = '\0';
  // The state follows the command name, which is in parentheses and may
  // itself hold spaces and parentheses.
  const char* close_paren = strrchr(buf, ')');
  return close_paren && close_paren[1] == ' ' && (close_paren[2] == 'Z' || close_paren[2] == 'X');
}

// The update directory, open for its lock from before the log is opened until
// this run's status file and log are written; -1 when no lock is held.
int sLockFd = -1;
// The run this one waited for recorded "succeeded" with the archive that is
// still in place: it is not applied a second time.
bool sAppliedByWaitedRun = false;

// Enough of a file's state to tell that it was replaced or rewritten.
struct FileStamp {
  bool present;
  dev_t dev;
  ino_t ino;
  off_t size;
  struct timespec mtime, ctime;
};

FileStamp StampOf(const char* name) {
  FileStamp stamp = {};
  char path[kPathBufferSize];
  struct stat st;
  if (FormatPath(path, "%s/%s", gSourcePath, name) && stat(path, &st) == 0)
    stamp = {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  return stamp;
}

bool SameStamp(const FileStamp& a, const FileStamp& b) {
  return a.present == b.present && a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
         a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec &&
         a.ctime.tv_sec == b.ctime.tv_sec && a.ctime.tv_nsec == b.ctime.tv_nsec;
}

bool StatusSaysSucceeded() {
  char path[kPathBufferSize];
  if (!FormatPath(path, "%s/update.status", gSourcePath)) return false;
  int fd = robust_open(path, O_RDONLY, 0);
  if (fd < 0) return false;
  char text[16];
  const ssize_t n = robust_read(fd, text, sizeof(text));
  close(fd);
  return n == 10 && memcmp(text, "succeeded\n", 10) == 0;
}

// Lets a waiting run in. The log goes to disk first: the waiting run starts
// its own log anew, and must not meet half of ours.
void UnlockUpdateDirectory() {
  if (gLogFP) fflush(gLogFP);
  if (sLockFd >= 0) close(sLockFd);  // closing the descriptor drops the lock
  sLockFd = -1;
}

}  // namespace

void LockUpdateDirectory() {
  // A run that cannot write here leaves no status file and no log: this line
  // is all its caller can learn of why.
  if (faccessat(AT_FDCWD, gSourcePath, W_OK | X_OK, AT_EACCESS) != 0)
    fprintf(stderr, "updater: %s: %s\n", gSourcePath, strerror(errno));

  // The lock is on the directory itself, so that no file of the updater's own
  // appears in it. Where it cannot be had (a folder we may not read, a file
  // system without locks, as some network ones are) the run goes on without
  // it, as it did before there was one: refusing would strand every update
  // there, and the journal still covers a crash.
  sLockFd = robust_open(gSourcePath, O_RDONLY | O_DIRECTORY, 0);
  if (sLockFd < 0) return;
  // Both taken before the lock is tried, so that a status the holder writes
  // after this point is seen as rewritten. The holder lets go right after
  // writing it; should it have written it just before, the update is applied
  // again, as it would be by a run started a moment later.
  const FileStamp status_before = StampOf("update.status");
  const FileStamp archive_before = StampOf("update.zar");
  if (flock(sLockFd, LOCK_EX | LOCK_NB) == 0) return;
  int rc = -1;
  if (errno == EWOULDBLOCK) {
    while ((rc = flock(sLockFd, LOCK_EX)) != 0 && errno == EINTR) {
    }
  }
  if (rc != 0) {
    close(sLockFd);
    sLockFd = -1;
    return;
  }
  const FileStamp archive_after = StampOf("update.zar");
  sAppliedByWaitedRun = !SameStamp(StampOf("update.status"), status_before) && StatusSaysSucceeded() &&
                        archive_after.present && SameStamp(archive_after, archive_before);
}

void WaitForProcess(pid_t pid) {
  if (pid <= 0 || pid == getpid()) return;
  int status;
  pid_t r;
  do {
    r = waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  if (r >= 0 || errno != ECHILD) return;

  int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    struct pollfd pfd = {pidfd, POLLIN, 0};
    while (poll(&pfd, 1, -1) < 0 && errno == EINTR) {
    }
    close(pidfd);
    return;
  }
  if (errno == ESRCH) return;  // no such process: nothing to wait for
  while (!HasEnded(pid)) usleep(50000);
}

pid_t ParsePid(const char* text) {
  char* end;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno == ERANGE || value > 0x7FFFFFFFL || value < -0x7FFFFFFFL - 1) return 0;
  return pid_t(value);
}

bool WriteStatusFile(int status) {
  char path[kPathBufferSize];
  if (!FormatPath(path, "%s/update.status", gSourcePath)) return false;
  int fd = robust_open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  char text[32];
  if (status == 0)
    snprintf(text, sizeof(text), "succeeded\n");
  else
    snprintf(text, sizeof(text), "failed: %d\n", status);
  const size_t length = strlen(text);
  bool written = write(fd, text, length) == ssize_t(length);
  // A run that changed nothing syncs nothing. Otherwise the line is on disk
  // before a committed journal, which stands for it until then, is deleted.
  // Its name needs no sync of its own: the journal's deletion, in the same
  // directory, comes after it, and directory operations reach the disk in
  // order (journal.h).
  if (written && journal_used()) written = sync_data(fd);
  // An empty or cut status line would be misread by the caller: no status
  // file at all says plainly that the outcome is unknown.
  if (close(fd) == 0 && written) return true;
  unlink(path);
  return false;
}

void* UpdateThreadFunc(void*) {
  // An interrupted run's leftovers are put right first, even when this run
  // cannot read its archive: a failed run never leaves a half update behind.
  bool applied = false;
  int status = journal_recover(&applied);
  if (status == 0 && !applied && sAppliedByWaitedRun) {
    LogPrintf("RECOVER UPDATE ALREADY APPLIED\n");
    applied = true;
  }
  if (status == 0 && !applied) {
    char path[kPathBufferSize];
    status = FormatPath(path, "%s/update.zar", gSourcePath) ? OpenSignedArchive(path) : ERR_READ;
    if (status == 0) {
      status = DoUpdate();
      gArchiveReader.Close();
    }
  }
  if (status)
    LogPrintf("failed: %d\n", status);
  else
    LogPrintf("succeeded\n");
  // A committed journal outlives the status file: until the outcome is on
  // disk, it tells a run after a crash that this update was applied.
  journal_release(WriteStatusFile(status));
  LogPrintf("calling QuitProgressUI\n");
  UnlockUpdateDirectory();
  QuitProgressUI();
  return nullptr;
}

void LaunchCallbackApp(const char* workingDir, int argc, char** argv) {
  static char kNoRestart[] = "NO_EM_RESTART=";
  putenv(kNoRestart);
  (void)!chdir(workingDir);  // on failure the callback starts from the current directory
  LaunchChild(argc, argv);
}

