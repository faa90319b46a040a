#include "temp_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace temp_files {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// What the stop handler must undo. The paths belong to the guards, which
// register them only once they exist and forget them before they change;
// atomics, because the handler may read them at any instruction.
std::atomic<const char*> gPaths[16];
std::atomic<pid_t> gChild{0};
pid_t gMainThread = 0;      // the thread that installed the handlers
bool gHandled[NSIG] = {};   // signals whose handler is ours

[[noreturn]] void Fail(const std::string& path, const std::string& what, int err = errno) {
  throw std::runtime_error(path + ": " + what + ": " + strerror(err));
}

// Holds the stop signals back on this thread for its lifetime, so that the
// handler never sees a file that exists but is not registered yet, or the
// other way round.
class StopSignalsHeld {
 public:
  StopSignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kStopSignals) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &mOld);
  }
  ~StopSignalsHeld() { pthread_sigmask(SIG_SETMASK, &mOld, nullptr); }
  const sigset_t& old() const { return mOld; }

 private:
  sigset_t mOld;
};

void Register(const char* path) {
  for (auto& slot : gPaths) {
    const char* empty = nullptr;
    if (slot.compare_exchange_strong(empty, path)) return;
  }
  throw std::logic_error("too many temporary files at once");
}

void Forget(const char* path) {
  for (auto& slot : gPaths) {
    const char* mine = path;
    if (slot.compare_exchange_strong(mine, nullptr)) return;
  }
}

void OnStop(int sig) {
  const int savedErrno = errno;
  if (gettid() != gMainThread) {
    // The main thread may be between a creation and its registration, which
    // it makes with the signals held: only it can clean up consistently.
    tgkill(getpid(), gMainThread, sig);
    errno = savedErrno;
    return;
  }
  // The child first: it may still be writing in a scratch folder.
  if (const pid_t child = gChild.load(); child > 0) {
    kill(child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  for (auto& slot : gPaths)
    if (const char* path = slot.load()) RemoveTree(path);
  // End by the signal itself, so that the caller sees what stopped the tool.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(sig, &dfl, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);
}

bool RemoveAt(int dirfd, const char* name) {
  if (unlinkat(dirfd, name, 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR) return false;
  const int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  bool ok = true;
  // Small: this recurses once per folder level, on the handler's stack too.
  alignas(struct dirent64) char buf[1024];
  for (;;) {
    const ssize_t n = getdents64(fd, buf, sizeof(buf));
    if (n <= 0) {
      ok = ok && n == 0;
      break;
    }
    for (ssize_t at = 0; at < n;) {
      const struct dirent64* d = (const struct dirent64*)(buf + at);
      at += d->d_reclen;
      if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0 && !RemoveAt(fd, d->d_name)) ok = false;
    }
  }
  close(fd);
  return unlinkat(dirfd, name, AT_REMOVEDIR) == 0 ? ok : errno == ENOENT && ok;
}

}  // namespace

void InstallStopHandlers() {
  gMainThread = gettid();
  for (int sig : kStopSignals) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigemptyset(&sa.sa_mask);
    for (int s : kStopSignals) sigaddset(&sa.sa_mask, s);
    // No SA_RESTART: a wait is cut short so the handler runs at once.
    if (sigaction(sig, &sa, nullptr) == 0) gHandled[sig] = true;
  }
}

mode_t CurrentUmask() {
  // umask() can only be read by setting it, which would race with files
  // other threads create; the kernel reports it here instead.
  if (FILE* f = fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask;
    while (fgets(line, sizeof(line), f)) {
      if (sscanf(line, "Umask: %o", &mask) == 1) {
        fclose(f);
        return mode_t(mask);
      }
    }
    fclose(f);
  }
  const mode_t mask = umask(022);
  umask(mask);
  return mask;
}

bool RemoveTree(const char* path) { return RemoveAt(AT_FDCWD, path); }

TempFile::TempFile(std::string dest) : mDest(std::move(dest)) {
  const size_t slash = mDest.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : mDest.substr(0, slash + 1);
  // Hidden, and short enough for the name limit whatever the output's name.
  mPath = folder + "." + mDest.substr(folder.size(), 200) + ".XXXXXX";
  StopSignalsHeld held;
  mFd = mkostemp(mPath.data(), O_CLOEXEC);
  if (mFd < 0) Fail(mDest, "cannot create a temporary file beside it");
  Register(mPath.c_str());
}

TempFile::~TempFile() {
  if (mFd >= 0) close(mFd);
  if (mPath.empty()) return;
  StopSignalsHeld held;
  unlink(mPath.c_str());
  Forget(mPath.c_str());
}

void TempFile::Write(std::string_view data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(mFd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail(mDest, "cannot write", n < 0 ? errno : ENOSPC);
    done += size_t(n);
  }
}

void TempFile::Commit(unsigned mode) {
  if (fchmod(mFd, mode_t(mode & 07777) & ~CurrentUmask()) != 0) Fail(mDest, "cannot set its mode");
  const int fd = mFd;
  mFd = -1;
  // Delayed write errors (a full disk on a network file system) show here.
  if (close(fd) != 0) Fail(mDest, "cannot write");
  StopSignalsHeld held;
  if (rename(mPath.c_str(), mDest.c_str()) != 0) Fail(mDest, "cannot rename into place");
  Forget(mPath.c_str());
  mPath.clear();
}

ScratchFolder::ScratchFolder(const std::string& prefix) {
  const char* tmp = getenv("TMPDIR");
  mPath = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
  StopSignalsHeld held;
  if (!mkdtemp(mPath.data())) Fail(mPath, "cannot create a scratch folder");
  Register(mPath.c_str());
}

ScratchFolder::~ScratchFolder() {
  if (mKept) return;
  StopSignalsHeld held;
  RemoveTree(mPath.c_str());
  Forget(mPath.c_str());
}

void ScratchFolder::Keep() {
  StopSignalsHeld held;
  Forget(mPath.c_str());
  mKept = true;
}

pid_t ForkChild(const std::string& what) {
  StopSignalsHeld held;
  const pid_t pid = fork();
  if (pid < 0) Fail(what, "cannot start");
  if (pid == 0) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : kStopSignals)
      if (gHandled[sig]) sigaction(sig, &dfl, nullptr);
    pthread_sigmask(SIG_SETMASK, &held.old(), nullptr);
    return 0;
  }
  gChild = pid;
  return pid;
}

int WaitChild(pid_t pid, const std::string& what) {
  // Waited for without reaping, so that until it is forgotten the pid is
  // still this child's and never a stranger's that the handler would kill.
  siginfo_t info;
  while (waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) != 0)
    if (errno != EINTR) Fail(what, "cannot wait for it");
  StopSignalsHeld held;
  int status = 0;
  const pid_t reaped = waitpid(pid, &status, 0);
  gChild = 0;
  if (reaped != pid) Fail(what, "cannot wait for it");
  return status;
}

}  // namespace temp_files
