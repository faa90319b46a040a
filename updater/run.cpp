// The run sequence's pieces below main: waiting for the application, the
// worker's body, the status file and the callback launch.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

}  // namespace

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
  const bool written = write(fd, text, length) == ssize_t(length);
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
  QuitProgressUI();
  return nullptr;
}

void LaunchCallbackApp(const char* workingDir, int argc, char** argv) {
  static char kNoRestart[] = "NO_EM_RESTART=";
  putenv(kNoRestart);
  (void)!chdir(workingDir);  // on failure the callback starts from the current directory
  LaunchChild(argc, argv);
}

