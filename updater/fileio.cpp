#include "fileio.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

int robust_open(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t robust_read(int fd, void* buf, size_t count) {
  ssize_t n;
  do {
    n = read(fd, buf, count);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool write_all(int fd, const void* buf, size_t count) {
  const char* p = static_cast<const char*>(buf);
  while (count > 0) {
    ssize_t n = write(fd, p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      // Never loop on a write that makes no progress.
      errno = ENOSPC;
      return false;
    }
    p += n;
    count -= size_t(n);
  }
  return true;
}
